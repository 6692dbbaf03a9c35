#include "sim/programmer_mode.h"

#include <cstring>

#include "sim/packet_fields.h"
#include "sim/request_codes.h"
#include "util/text.h"

namespace quorrel::sim {

namespace {

// Largest data of one write, and of a partition table or an image header.
constexpr size_t kMaxData = 1024;
// Highest flash address an image may reach.
constexpr uint64_t kMaxImageBytes = 64ull * 1024 * 1024;

constexpr char kHostMagic[] = "QCOM fast download protocol host";
constexpr char kTargetMagic[] = "QCOM fast download protocol targ";

// The protocol version the programmer speaks, and the feature bits it
// expects of a host.
constexpr uint8_t kVersion = 2;
constexpr uint8_t kCompatibleVersion = 2;
constexpr uint8_t kFeatures = 3;

}  // namespace

ProgrammerMode::ProgrammerMode(ModemCore& core)
    : core_(core),
      config_(core.config()),
      stream_error_uses_(config_.faults.streamErrors.size(), 0) {}

void ProgrammerMode::Boot() {
  greeted_ = secure_ = partition_sent_ = false;
  if (core_.memory.flash.OpenImage() != nullptr) core_.memory.flash.Abandon();
  stalled_ = false;
}

void ProgrammerMode::Enter() {
  greeted_ = secure_ = partition_sent_ = false;
}

void ProgrammerMode::Error(uint8_t requestCode, uint32_t code, const std::string& why) {
  if (!why.empty()) core_.Violate(why);
  Packet r{stream::kError};
  PutLe32(r, code);
  core_.Reply(requestCode, r, config_.timings.replyMs);
}

bool ProgrammerMode::LengthIs(const Packet& p, size_t n) {
  if (p.size() == n) return true;
  Error(p[0], p.size() < n ? stream::kTooShort : stream::kBadLength,
        Format("streaming request 0x%02X of %zu bytes (expected %zu)", p[0], p.size(), n));
  return false;
}

bool ProgrammerMode::Admit(const HostFrame& frame) {
  const Packet& p = frame.packet;
  if (!frame.leadingFlag) core_.Violate("streaming request without its leading flag");
  const uint8_t code = p.empty() ? 0 : p[0];
  if (!frame.crcGood) {
    core_.Note(PortRole::Diag, p.empty() ? -1 : code, p.size(),
               "streaming request with a bad CRC (no answer)");
    core_.Violate("streaming request with a bad CRC");
    return false;
  }
  core_.Note(PortRole::Diag, code, p.size(),
             code == stream::kWrite && p.size() >= 5
                 ? Format("stream write 0x%08X+%zu", Le32(p, 1), p.size() - 5)
                 : Format("streaming 0x%02X", code));
  if (stalled_ && code != stream::kHello) {
    core_.Note(PortRole::Diag, code, p.size(), "not answered: the programmer is stalled (fault)");
    return false;
  }
  if (code == dmss::kNoOp && p.size() == 1) {
    // The downloader's no-op from a host finding out which mode answers.
    core_.Note(PortRole::Diag, code, p.size(),
               "downloader no-op refused by the programmer (mode probe)");
    Error(code, stream::kUnsupported, "");
    return false;
  }
  if (code != stream::kHello && !greeted_) {
    Error(code, stream::kOutOfOrder, Format("streaming request 0x%02X before hello", code));
    return false;
  }
  return true;
}

void ProgrammerMode::Request(const HostFrame& frame) {
  if (!Admit(frame)) return;
  const Packet& p = frame.packet;
  const uint8_t code = p.empty() ? 0 : p[0];
  switch (code) {
    case stream::kHello:
      Hello(p);
      return;
    case stream::kWrite:
      Write(p);
      return;
    case stream::kNoOp: {
      Packet r;
      r.reserve(p.size());
      r.push_back(stream::kNoOpReply);
      r.insert(r.end(), p.begin() + 1, p.end());
      core_.Reply(code, r, config_.timings.replyMs);
      return;
    }
    case stream::kReset:
      if (!LengthIs(p, 1)) return;
      core_.Reply(code, Packet{stream::kResetReply}, config_.timings.replyMs);
      core_.Restart("programmer reset");
      return;
    case stream::kClose:
      if (LengthIs(p, 1)) Close();
      return;
    case stream::kSecurityMode:
      if (!LengthIs(p, 2)) return;
      secure_ = true;
      core_.Reply(code, Packet{stream::kSecurityModeReply}, config_.timings.replyMs);
      return;
    case stream::kPartitionTable:
      PartitionTable(p);
      return;
    case stream::kOpenMultiImage:
      Open(p);
      return;
    default:
      Error(code, stream::kUnsupported,
            Format("streaming request 0x%02X not known to the programmer", code));
      return;
  }
}

void ProgrammerMode::Hello(const Packet& p) {
  if (p.size() != 36 || std::memcmp(p.data() + 1, kHostMagic, 32) != 0) {
    core_.Violate(
        Format("hello of %zu bytes without the host's greeting (not answered)", p.size()));
    return;
  }
  if (p[33] != kVersion || p[34] != kCompatibleVersion || p[35] != kFeatures) {
    Error(stream::kHello, stream::kIncompatibleHello,
          Format("hello with version %u, compatible version %u, features 0x%02X", p[33], p[34],
                 p[35]));
    return;
  }
  greeted_ = true;
  stalled_ = false;
  Packet r;
  r.reserve(64);
  r.push_back(stream::kHelloReply);
  r.insert(r.end(), kTargetMagic, kTargetMagic + 32);
  r.push_back(kVersion);
  r.push_back(kCompatibleVersion);
  PutLe32(r, static_cast<uint32_t>(kMaxData));  // largest block
  PutLe32(r, 0);                                // flash base
  const std::string flashName = "SIM-NAND-512";
  r.push_back(static_cast<uint8_t>(flashName.size()));
  r.insert(r.end(), flashName.begin(), flashName.end());
  PutLe16(r, 8);  // window
  PutLe16(r, 0);  // sectors
  r.push_back(kFeatures);
  core_.Reply(stream::kHello, r, config_.timings.replyMs);
}

void ProgrammerMode::Close() {
  FlashImage* image = core_.memory.flash.OpenImage();
  if (image != nullptr && image->type == stream::kAmss && image->Length() > 0 &&
      image->Contiguous()) {
    core_.memory.flashed = true;
    core_.memory.bootDownloader = false;
  }
  core_.memory.flash.Close(core_.NowMs());
  core_.Reply(stream::kClose, Packet{stream::kCloseReply}, config_.timings.imageCloseMs);
}

void ProgrammerMode::PartitionTable(const Packet& p) {
  if (p.size() < 3) {
    Error(stream::kPartitionTable, stream::kTooShort, "partition table request without a table");
    return;
  }
  if (!secure_) {
    Error(stream::kPartitionTable, stream::kOutOfOrder, "partition table before security mode");
    return;
  }
  if (p.size() - 2 > kMaxData) {
    Error(stream::kPartitionTable, stream::kBadLength,
          Format("partition table of %zu bytes", p.size() - 2));
    return;
  }
  core_.memory.flash.AddPartitionTable(Packet(p.begin() + 2, p.end()));
  partition_sent_ = true;
  core_.Reply(stream::kPartitionTable, Packet{stream::kPartitionTableReply, 0x00},
              config_.timings.replyMs);
  if (config_.faults.powerLossAfterPartition && !power_loss_done_) LosePower();
}

void ProgrammerMode::LosePower() {
  // The boot images are about to be rewritten: from now on the modem boots
  // into its downloader.
  power_loss_done_ = true;
  core_.memory.bootDownloader = true;
  core_.SwitchMode(ModemMode::Switching);
  core_.CountBootTime(config_.timings.detachAfterMs);
  core_.After(config_.timings.detachAfterMs, [this] {
    core_.DetachNow("power loss");
    core_.ComeBack(config_.timings.reattachAfterMs, std::nullopt, "power back");
  });
}

void ProgrammerMode::Open(const Packet& p) {
  if (p.size() < 2) {
    Error(stream::kOpenMultiImage, stream::kTooShort, "open multi-image without an image type");
    return;
  }
  if (!partition_sent_) {
    Error(stream::kOpenMultiImage, stream::kOutOfOrder,
          "open multi-image before the partition table");
    return;
  }
  const uint8_t type = p[1];
  Packet header(p.begin() + 2, p.end());
  const bool needsHeader = type == 4 || type == stream::kAmss || type == 10;
  const bool plain = type == 1 || type == 2 || type == 3 || type == 9;
  if (!needsHeader && !plain) {
    Error(stream::kOpenMultiImage, stream::kUnsupported,
          Format("open multi-image of unknown type %u", type));
    return;
  }
  if (needsHeader && header.empty()) {
    Error(stream::kOpenMultiImage, stream::kTooShort,
          Format("open multi-image of type %u without its header", type));
    return;
  }
  if (plain && !header.empty()) {
    core_.Violate(Format("open multi-image of type %u with %zu header bytes it does not take", type,
                         header.size()));
    header.clear();
  }
  if (header.size() > kMaxData) {
    Error(stream::kOpenMultiImage, stream::kBadLength,
          Format("image header of %zu bytes", header.size()));
    return;
  }
  core_.memory.flash.Open(type, std::move(header), core_.NowMs());
  core_.Reply(stream::kOpenMultiImage, Packet{stream::kOpenMultiImageReply, 0x00},
              config_.timings.imageOpenMs);
}

void ProgrammerMode::Write(const Packet& p) {
  if (config_.faults.programmerSilentAfter != 0 &&
      ++writes_ > config_.faults.programmerSilentAfter) {
    core_.Note(PortRole::Diag, stream::kWrite, p.size(), "the programmer hangs (fault)");
    core_.SwitchMode(ModemMode::Hung);
    return;
  }
  if (p.size() < 5) {
    Error(stream::kWrite, stream::kTooShort,
          Format("stream write of %zu bytes, shorter than its header", p.size()));
    return;
  }
  const uint32_t address = Le32(p, 1);
  const size_t length = p.size() - 5;
  if (length == 0 || length > kMaxData) {
    Error(stream::kWrite, stream::kBadLength, Format("stream write of %zu data bytes", length));
    return;
  }
  Packet ack{stream::kWriteReply};
  PutLe32(ack, address);
  FlashImage* image = core_.memory.flash.OpenImage();
  if (image == nullptr) {
    // With no image open the programmer takes the block and throws it away.
    core_.Note(PortRole::Diag, stream::kWrite, p.size(),
               Format("write to 0x%08X with no image open (discarded)", address));
    core_.Reply(stream::kWrite, ack, config_.timings.flashWriteMs);
    return;
  }
  if (static_cast<uint64_t>(address) + length > kMaxImageBytes) {
    Error(stream::kWrite, stream::kBeyondFlash,
          Format("stream write to 0x%08X, beyond the flash", address));
    return;
  }
  if (WriteFault(p, image->type, address)) return;
  core_.memory.flash.Write(address, Packet(p.begin() + 5, p.end()));
  core_.Reply(stream::kWrite, ack, config_.timings.flashWriteMs);
}

bool ProgrammerMode::WriteFault(const Packet& p, uint8_t type, uint32_t address) {
  const uint32_t block = address / kMaxData;
  const FaultPlan& faults = config_.faults;
  if (faults.stall && !stall_done_ && faults.stall->imageType == type &&
      faults.stall->block == block) {
    stall_done_ = stalled_ = true;
    core_.Note(PortRole::Diag, stream::kWrite, p.size(),
               Format("write to 0x%08X never completes: the programmer stalls (fault)", address));
    return true;
  }
  if (faults.unplug && !unplug_done_ && faults.unplug->imageType == type &&
      faults.unplug->block == block) {
    unplug_done_ = true;
    const uint64_t replug = faults.unplug->replugMs;
    core_.DetachNow("unplugged during a write");
    if (replug > 0) core_.ComeBack(replug, std::nullopt, "plugged in again");
    return true;
  }
  for (size_t i = 0; i < faults.streamErrors.size(); ++i) {
    const StreamErrorFault& f = faults.streamErrors[i];
    if (f.imageType != type || f.block != block) continue;
    if (f.count != 0 && stream_error_uses_[i] >= f.count) continue;
    ++stream_error_uses_[i];
    Error(stream::kWrite, f.code, "");
    return true;
  }
  return false;
}

}  // namespace quorrel::sim

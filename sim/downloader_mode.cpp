#include "sim/downloader_mode.h"

#include <algorithm>
#include <cstring>

#include "sim/packet_fields.h"
#include "sim/request_codes.h"
#include "util/text.h"

namespace quorrel::sim {

namespace {

// Largest data of one write the downloader's buffer takes.
constexpr size_t kMaxData = 1024;

constexpr char kHostMagic[] = "QCOM fast download protocol host";

}  // namespace

DownloaderMode::DownloaderMode(ModemCore& core) : core_(core), config_(core.config()) {}

void DownloaderMode::Boot(ModemMode boot) {
  if (boot != ModemMode::Programmer) {
    ram_.clear();
    ram_written_.clear();
  }
  if (boot != ModemMode::Normal) writes_ = 0;
}

void DownloaderMode::Enter() {
  ram_.clear();
  ram_written_.clear();
  writes_ = 0;
}

void DownloaderMode::Reject(uint8_t requestCode, uint16_t reason, const std::string& why) {
  if (!why.empty()) core_.Violate(why);
  Packet r{dmss::kNak};
  PutBe16(r, reason);
  core_.Reply(requestCode, r, config_.timings.replyMs);
}

void DownloaderMode::Request(const HostFrame& frame) {
  const Packet& p = frame.packet;
  if (!frame.leadingFlag) core_.Violate("downloader request without its leading flag");
  const uint8_t code = p.empty() ? 0 : p[0];
  if (!frame.crcGood) {
    core_.Note(PortRole::Diag, p.empty() ? -1 : code, p.size(),
               "downloader request with a bad CRC");
    Reject(code, dmss::kBadCrc, "downloader request with a bad CRC");
    return;
  }
  core_.Note(PortRole::Diag, code, p.size(), Format("downloader 0x%02X", code));
  auto lengthIs = [&](size_t n) {
    if (p.size() == n) return true;
    Reject(code, p.size() < n ? dmss::kTooShort : dmss::kTooLong,
           Format("downloader request 0x%02X of %zu bytes (expected %zu)", code, p.size(), n));
    return false;
  };
  switch (code) {
    case dmss::kWrite:
      Write(p);
      return;
    case dmss::kGo:
      if (lengthIs(5)) Go(p);
      return;
    case dmss::kNoOp:
      if (lengthIs(1)) core_.Reply(code, Packet{dmss::kAck}, config_.timings.replyMs);
      return;
    case dmss::kParameters:
      if (lengthIs(1)) Parameters();
      return;
    case dmss::kReset:
      if (!lengthIs(1)) return;
      core_.Reply(code, Packet{dmss::kAck}, config_.timings.replyMs);
      core_.Restart("downloader reset");
      return;
    default:
      if (code == dmss::kProgrammerHello && p.size() == 36 &&
          std::memcmp(p.data() + 1, kHostMagic, 32) == 0) {
        // A host finding out which mode answers: the downloader refuses the
        // programmer's greeting, as a real one does, and nothing is wrong.
        core_.Note(PortRole::Diag, code, p.size(),
                   "programmer hello refused by the downloader (mode probe)");
        Reject(code, dmss::kUnknownRequest, "");
        return;
      }
      Reject(code, dmss::kUnknownRequest,
             Format("downloader request 0x%02X not known to the downloader", code));
      return;
  }
}

void DownloaderMode::Parameters() {
  Packet r{dmss::kParametersReply, config_.dmssVersion, config_.dmssMinVersion};
  PutLe32(r, config_.dmssValue32);
  r.push_back(config_.dmssModel);
  r.push_back(config_.flashSizeCode);
  r.push_back(config_.flashKind);
  core_.Reply(dmss::kParameters, r, config_.timings.replyMs);
}

void DownloaderMode::Write(const Packet& p) {
  if (p.size() < 7) {
    Reject(dmss::kWrite, dmss::kTooShort,
           Format("downloader write of %zu bytes, shorter than its header", p.size()));
    return;
  }
  const uint32_t address = Be32(p, 1);
  const uint16_t length = Be16(p, 5);
  const size_t carried = p.size() - 7;
  if (length == 0 || carried != length) {
    Reject(dmss::kWrite, dmss::kLengthMismatch,
           Format("downloader write whose length field says %u but carries %zu bytes", length,
                  carried));
    return;
  }
  if (length > kMaxData) {
    Reject(dmss::kWrite, dmss::kTooLong,
           Format("downloader write of %u bytes, more than the %zu the buffer takes", length,
                  kMaxData));
    return;
  }
  if (address < config_.ramBase || static_cast<uint64_t>(address) + length >
                                       static_cast<uint64_t>(config_.ramBase) + config_.ramSize) {
    Reject(dmss::kWrite, dmss::kOutsideRam,
           Format("downloader write to 0x%08X..0x%08X, outside RAM", address,
                  static_cast<uint32_t>(address + length - 1)));
    return;
  }
  const uint32_t n = ++writes_;
  for (const DmssRejectFault& f : config_.faults.dmssRejects) {
    if (n >= f.nth && (f.count == 0 || n - f.nth < f.count)) {
      Reject(dmss::kWrite, f.reason, "");
      return;
    }
  }
  if (ram_.empty()) ram_.assign(config_.ramSize, 0);
  const uint32_t offset = address - config_.ramBase;
  std::copy(p.begin() + 7, p.end(), ram_.begin() + offset);
  MarkWritten(offset, offset + length);
  core_.Reply(dmss::kWrite, Packet{dmss::kAck}, config_.timings.replyMs);
}

void DownloaderMode::MarkWritten(uint32_t start, uint32_t end) {
  auto it = ram_written_.upper_bound(start);
  if (it != ram_written_.begin()) {
    auto prev = std::prev(it);
    if (prev->second >= start) {
      start = prev->first;
      end = std::max(end, prev->second);
      it = ram_written_.erase(prev);
    }
  }
  while (it != ram_written_.end() && it->first <= end) {
    end = std::max(end, it->second);
    it = ram_written_.erase(it);
  }
  ram_written_[start] = end;
}

bool DownloaderMode::ProgrammerInRam(std::string* why) const {
  if (ram_written_.empty() || ram_written_.begin()->first != 0) {
    *why = "nothing was uploaded at the load address";
    return false;
  }
  const uint32_t uploaded = ram_written_.begin()->second;
  if (ram_written_.size() > 1) {
    *why = Format("the upload has a gap after 0x%X bytes", uploaded);
    return false;
  }
  const std::vector<uint8_t>& expected = config_.expectedProgrammer;
  if (!expected.empty()) {
    if (uploaded != expected.size() ||
        !std::equal(expected.begin(), expected.end(), ram_.begin())) {
      *why = Format("RAM holds %u bytes that are not the %zu-byte programmer", uploaded,
                    expected.size());
      return false;
    }
  }
  return true;
}

void DownloaderMode::Go(const Packet& p) {
  const uint32_t address = static_cast<uint32_t>(Be16(p, 1)) * 0x10000u + Be16(p, 3);
  core_.Reply(dmss::kGo, Packet{dmss::kAck}, config_.timings.replyMs);
  std::string why;
  if (address != config_.ramBase) {
    why = Format("execution started at 0x%08X, not at the programmer's load address 0x%08X",
                 address, config_.ramBase);
  } else if (!ProgrammerInRam(&why)) {
    why = Format("execution started at 0x%08X: ", address) + why;
  }
  if (!why.empty()) {
    core_.Violate(why + "; the modem hangs");
    core_.SwitchMode(ModemMode::Hung);
    return;
  }
  started_programmer_ = Uploaded();
  if (config_.usb.reenumerate && config_.usb.programmerReenumerates) {
    core_.ReenumerateInto(ModemMode::Programmer, config_.timings.programmerStartMs,
                          "programmer start");
  } else {
    core_.EnterAfter(ModemMode::Programmer, config_.timings.programmerStartMs);
  }
}

std::vector<uint8_t> DownloaderMode::Uploaded() const {
  if (ram_written_.empty() || ram_written_.begin()->first != 0) return {};
  return std::vector<uint8_t>(ram_.begin(), ram_.begin() + ram_written_.begin()->second);
}

std::vector<uint8_t> DownloaderMode::StartedOrUploaded() const {
  return started_programmer_.empty() ? Uploaded() : started_programmer_;
}

}  // namespace quorrel::sim

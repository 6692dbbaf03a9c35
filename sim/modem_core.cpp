#include "sim/modem_core.h"

#include <algorithm>
#include <memory>

#include "link/hdlc.h"
#include "util/text.h"

namespace quorrel::sim {

namespace {

// Request records kept; a long EFS image alone is thousands of writes.
constexpr size_t kMaxRequestRecords = 500000;

bool IsLiveMode(ModemMode mode) {
  return mode == ModemMode::Normal || mode == ModemMode::Downloader ||
         mode == ModemMode::Programmer;
}

bool IsBlank(std::string_view s) {
  return std::all_of(s.begin(), s.end(), [](char c) { return c == ' ' || c == '\t' || c == '\n'; });
}

}  // namespace

ModemMemory::ModemMemory(const ModemConfig& config)
    : nv(config),
      bootDownloader(config.startMode == ModemMode::Downloader),
      autorun(config.autorun),
      switchAA(config.vendorSwitchAA),
      diagPortMode(config.diagPortMode) {}

ModemCore::ModemCore(ModemConfig config, ModemTransport& transport, ModeHandlers& handlers)
    : memory(config),
      config_(std::move(config)),
      transport_(transport),
      handlers_(handlers),
      fault_random_(config_.seed ^ 0xFA017ULL),
      split_random_(config_.seed ^ 0x5B11CE5ULL),
      link_(config_.timings.linkBytesPerSecond),
      reply_fault_seen_(config_.faults.replies.size(), 0) {}

// ---------------------------------------------------------------- life cycle

void ModemCore::PowerOn() {
  if (shut_down_ || ports_) return;
  AttachNow("power on");
}

void ModemCore::Shutdown() {
  if (shut_down_) return;
  for (ModemTransport::TimerId id : timers_) transport_.CancelTimer(id);
  timers_.clear();
  if (ports_) DetachNow("shut down");
  shut_down_ = true;
}
void ModemCore::After(uint64_t delayMs, std::function<void()> fn) {
  const uint64_t epoch = epoch_;
  // The id is only known once scheduled; the callback looks it up by a
  // shared slot, under the lock that is held here until the slot is filled
  // (the transport may run the timer on another thread at once).
  auto slot = std::make_shared<ModemTransport::TimerId>(0);
  ModemTransport::TimerId id = transport_.After(
      delayMs, [this, epoch, slot, fn = std::move(fn)] { OnTimer(epoch, *slot, fn); });
  *slot = id;
  timers_.insert(id);
}

void ModemCore::OnTimer(uint64_t epoch, const ModemTransport::TimerId& slot,
                        const std::function<void()>& fn) {
  std::lock_guard lock(mutex_);
  timers_.erase(slot);
  if (shut_down_ || epoch != epoch_) return;
  fn();
}

ModemMode ModemCore::BootMode() const {
  if (attachments_ == 0 && config_.startMode == ModemMode::Programmer) return ModemMode::Programmer;
  return memory.bootDownloader ? ModemMode::Downloader : ModemMode::Normal;
}

Enumeration ModemCore::ProposeEnumeration(ModemMode boot) {
  Enumeration e;
  e.index = attachments_;
  auto port = [&](int first) {
    int n = (first - 1 + 2 * attachments_) % 254;
    return n + 1;
  };
  e.mode = boot;
  const bool firmware = boot == ModemMode::Normal;
  e.diagPort = firmware && memory.diagPortMode == 0 ? 0 : port(config_.firstDiagPort);
  e.dataPort = firmware ? port(config_.firstDataPort) : 0;
  e.vendor = config_.vendor;
  // The instance names the place the modem is plugged into, as Windows
  // names a device without a serial number: the same at every attachment.
  SeededRandom random(config_.seed * 0x9E3779B1ULL + 1);
  std::string instance = Format("7&%08x&0&%04d", static_cast<uint32_t>(random.Next()), 1);
  e.diagDevicePath =
      Format("USB\\VID_%04X&PID_%04X&MI_01\\", config_.usbVendorId, config_.usbProductId) +
      instance;
  e.modemDevicePath =
      Format("USB\\VID_%04X&PID_%04X&MI_00\\", config_.usbVendorId, config_.usbProductId) +
      instance;
  return e;
}

void ModemCore::AttachNow(const std::string& reason, std::optional<ModemMode> bootInto) {
  // A restart boots the firmware from flash: RAM, the programmer and every
  // transient state are gone; vendor settings and NV survive. Only a
  // programmer that comes back from its own start keeps RAM (it runs there).
  const ModemMode boot = bootInto.value_or(BootMode());
  mode_ = ModemMode::Normal;
  diag_reader_.SetFraming(FrameReader::Framing::Diag);
  data_line_.clear();
  handlers_.Booting(boot);
  // An unfinished flash boots into the downloader (or, for a modem that a
  // host left behind, the programmer is still running).
  if (boot != ModemMode::Normal) SwitchMode(boot);

  Enumeration attached = transport_.Attach(ProposeEnumeration(boot));
  ports_ = attached;
  ++attachments_;
  records.attachHistory.push_back({transport_.NowMs(), true, attached, reason});
}

void ModemCore::DetachNow(const std::string& reason) {
  for (ModemTransport::TimerId id : timers_) transport_.CancelTimer(id);
  timers_.clear();
  ++epoch_;
  mode_ = ModemMode::Detached;
  diag_reader_.Reset();
  data_line_.clear();
  inbound_.clear();
  link_.Reset();
  if (!ports_) return;
  transport_.Detach();
  records.attachHistory.push_back({transport_.NowMs(), false, *ports_, reason});
  ports_.reset();
}

void ModemCore::ComeBack(uint64_t afterMs, std::optional<ModemMode> boot,
                         const std::string& reason) {
  const uint32_t n = ++departures_;
  if (const auto& slow = config_.faults.slowReboot) {
    if (n >= slow->nth && (slow->count == 0 || n - slow->nth < slow->count)) afterMs = slow->ms;
  }
  CountBootTime(afterMs);
  if (config_.swap && config_.swap->at == n && transport_.HandOver(afterMs)) return;
  After(afterMs, [this, boot, reason] { AttachNow(reason, boot); });
}

void ModemCore::ReenumerateInto(ModemMode mode, uint64_t bootMs, const std::string& reason) {
  SwitchMode(ModemMode::Switching);
  CountBootTime(config_.timings.detachAfterMs);
  After(config_.timings.detachAfterMs, [this, mode, bootMs, reason] {
    DetachNow(reason);
    ComeBack(bootMs, mode, std::string(ModeName(mode)) + " started");
  });
}

void ModemCore::EnterAfter(ModemMode mode, uint64_t delayMs) {
  SwitchMode(ModemMode::Switching);
  CountBootTime(delayMs);
  After(delayMs, [this, mode] {
    handlers_.Entering(mode);
    SwitchMode(mode);
  });
}

void ModemCore::Restart(const std::string& reason) {
  ++restarts_;
  const bool comesBack = config_.faults.noReturnAfterReset == 0 ||
                         restarts_ != static_cast<int>(config_.faults.noReturnAfterReset);
  const std::optional<SwapFault> swap =
      config_.faults.swap && restarts_ == static_cast<int>(config_.faults.swap->afterReset)
          ? config_.faults.swap
          : std::nullopt;
  SwitchMode(ModemMode::Switching);
  CountBootTime(config_.timings.detachAfterMs);
  After(config_.timings.detachAfterMs, [this, reason, comesBack, swap] {
    DetachNow(reason);
    if (!comesBack) return;
    // Another modem may come back in this one's place (a user who swapped
    // them while it rebooted).
    if (swap) SwapIdentity(swap->seed, swap->esn);
    ComeBack(config_.timings.reattachAfterMs, std::nullopt,
             swap ? "restarted as another modem" : "restarted");
  });
}

void ModemCore::SwapIdentity(uint64_t seed, uint32_t esn) {
  config_.esn = esn;
  ModemConfig other = config_;
  other.seed = seed;
  other.nvContents.clear();
  memory.nv = NvStore(other);
  memory.autorun = config_.autorun;
  memory.switchAA = config_.vendorSwitchAA;
  memory.diagPortMode = config_.diagPortMode;
  memory.flashed = false;
  memory.bootDownloader = false;
}

void ModemCore::SwitchMode(ModemMode mode) {
  mode_ = mode;
  if (mode == ModemMode::Normal) diag_reader_.SetFraming(FrameReader::Framing::Diag);
  if (mode == ModemMode::Downloader || mode == ModemMode::Programmer) {
    diag_reader_.SetFraming(FrameReader::Framing::Download);
  }
  if (mode == ModemMode::Switching || mode == ModemMode::Hung) diag_reader_.Reset();
  transport_.ModeChanged(mode);
}

void ModemCore::PullPlug() {
  if (shut_down_) return;
  DetachNow("unplugged");
}

void ModemCore::PowerCycle(uint64_t offMs) {
  if (shut_down_) return;
  DetachNow("power cycle");
  ComeBack(offMs, std::nullopt, "power cycle");
}

// ------------------------------------------------------------------ reading

void ModemCore::Arrive(PortRole role, std::span<const uint8_t> bytes,
                       std::function<void(PortRole, std::span<const uint8_t>)> handle) {
  const uint64_t delayMs = link_.Inbound(NowMs(), bytes.size());
  if (!link_.On()) {
    handle(role, bytes);
    return;
  }
  // Every timer takes the oldest bytes on the link, so the order written
  // holds whichever timer fires first.
  inbound_.emplace_back(role, Packet(bytes.begin(), bytes.end()));
  After(delayMs, [this, handle = std::move(handle)] {
    if (inbound_.empty()) return;
    const auto [from, arrived] = std::move(inbound_.front());
    inbound_.pop_front();
    handle(from, arrived);
  });
}

void ModemCore::ReadDiag(std::span<const uint8_t> bytes,
                         const std::function<void(ReaderItem&)>& answer) {
  if (!IsLiveMode(mode_)) {
    Note(PortRole::Diag, -1, bytes.size(),
         Format("%zu bytes ignored while %s", bytes.size(), std::string(ModeName(mode_)).c_str()));
    return;
  }
  std::vector<ReaderItem> items;
  diag_reader_.Feed(bytes.data(), bytes.size(), items);
  for (ReaderItem& item : items) {
    if (!IsLiveMode(mode_)) {
      Note(PortRole::Diag, -1, 0, "request ignored while " + std::string(ModeName(mode_)));
      continue;
    }
    request_mode_ = mode_;
    answer(item);
  }
}

void ModemCore::ReadData(std::span<const uint8_t> bytes,
                         const std::function<void(const std::string&)>& answer) {
  for (uint8_t b : bytes) {
    if (b == '\r') {
      std::string line = std::move(data_line_);
      data_line_.clear();
      if (!IsBlank(line)) answer(line);
      continue;
    }
    if (data_line_.size() < FrameReader::kMaxAtLine) data_line_.push_back(static_cast<char>(b));
  }
}

// ------------------------------------------------------------------ sending

ModemCore::ReplyFate ModemCore::FateOf(uint8_t requestCode, uint64_t delayMs) {
  ReplyFate fate;
  fate.shape.delayMs = delayMs;
  for (size_t i = 0; i < config_.faults.replies.size(); ++i) {
    const ReplyFault& f = config_.faults.replies[i];
    if (f.match.mode && *f.match.mode != request_mode_) continue;
    if (f.match.code && *f.match.code != requestCode) continue;
    uint32_t n = ++reply_fault_seen_[i];
    if (n < f.match.nth) continue;
    if (f.match.count != 0 && n - f.match.nth >= f.match.count) continue;
    if (f.match.every > 1 && (n - f.match.nth) % f.match.every != 0) continue;
    switch (f.kind) {
      case ReplyFault::Kind::Drop:
        fate.drop = true;
        break;
      case ReplyFault::Kind::Corrupt:
        fate.corrupt = true;
        break;
      case ReplyFault::Kind::Noise:
        fate.noise = true;
        break;
      case ReplyFault::Kind::Twice:
        fate.twice = true;
        break;
      case ReplyFault::Kind::Delay:
        fate.shape.delayMs += f.delayMs;
        break;
      case ReplyFault::Kind::Split:
        fate.shape.pieceSize = std::max<size_t>(1, f.pieceSize);
        fate.shape.intervalMs = f.intervalMs;
        fate.randomCuts = f.randomCuts;
        break;
    }
  }
  if (config_.faults.randomDropPerMille > 0 &&
      fault_random_.Below(1000) < config_.faults.randomDropPerMille) {
    fate.drop = true;
  }
  if (config_.faults.randomCorruptPerMille > 0 &&
      fault_random_.Below(1000) < config_.faults.randomCorruptPerMille) {
    fate.corrupt = true;
  }
  return fate;
}

void ModemCore::Reply(uint8_t requestCode, const Packet& packet, uint64_t delayMs) {
  ReplyFate fate = FateOf(requestCode, delayMs);
  const uint8_t replyCode = packet.empty() ? 0 : packet[0];
  if (fate.drop) {
    Note(PortRole::Diag, requestCode, 0, Format("reply 0x%02X dropped (fault)", replyCode));
    return;
  }
  uint16_t crc = FrameCheck(packet);
  if (fate.corrupt) crc ^= 0x00FF;
  const uint8_t crcBytes[2] = {static_cast<uint8_t>(crc & 0xFF), static_cast<uint8_t>(crc >> 8)};
  std::vector<uint8_t> frame;
  frame.reserve(2 * packet.size() + 14);
  if (fate.noise) {
    const uint32_t count = 1 + fault_random_.Below(8);
    for (uint32_t i = 0; i < count; ++i) {
      uint8_t b = static_cast<uint8_t>(fault_random_.Below(256));
      if (b == kFlag || b == kEscape) b = 0x5A;
      frame.push_back(b);
    }
    Note(PortRole::Diag, requestCode, count,
         Format("%u noise bytes before reply 0x%02X (fault)", count, replyCode));
  }
  if (request_mode_ == ModemMode::Downloader || request_mode_ == ModemMode::Programmer)
    frame.push_back(kFlag);
  AppendStuffed(frame, packet);
  AppendStuffed(frame, crcBytes);
  frame.push_back(kFlag);
  if (fate.randomCuts > 0 && frame.size() > 1)
    CutAtRandom(frame.size(), fate.randomCuts, &fate.shape);
  ReplyShape again = fate.shape;
  Send(PortRole::Diag, frame, fate.shape, delayMs);
  if (fate.twice) {
    // The copy goes right behind the reply: the modem did the work once.
    Note(PortRole::Diag, requestCode, 0, Format("reply 0x%02X sent twice (fault)", replyCode));
    again.delayMs = 0;
    Send(PortRole::Diag, std::move(frame), again, 0);
  }
}

void ModemCore::CutAtRandom(size_t length, uint32_t maxCuts, ReplyShape* shape) {
  // Distinct cut points between the first and the last byte.
  const size_t cuts = std::min<size_t>(1 + split_random_.Below(maxCuts), length - 1);
  std::set<size_t> at;
  while (at.size() < cuts) at.insert(1 + split_random_.Below(static_cast<uint32_t>(length - 1)));
  size_t from = 0;
  for (size_t cut : at) {
    shape->pieces.push_back(cut - from);
    from = cut;
  }
  shape->pieces.push_back(length - from);
}

std::vector<size_t> PieceLengths(const ReplyShape& shape, size_t total) {
  std::vector<size_t> lengths;
  if (!shape.pieces.empty()) {
    size_t left = total;
    for (size_t n : shape.pieces) {
      if (left == 0) break;
      lengths.push_back(std::min(n, left));
      left -= lengths.back();
    }
    if (left > 0) lengths.push_back(left);
    return lengths;
  }
  const size_t piece = shape.pieceSize == 0 ? total : shape.pieceSize;
  for (size_t at = 0; at < total; at += piece) lengths.push_back(std::min(piece, total - at));
  return lengths;
}

void ModemCore::SendDiagBytes(std::vector<uint8_t> bytes, uint64_t delayMs) {
  ReplyShape shape;
  shape.delayMs = delayMs;
  Send(PortRole::Diag, std::move(bytes), shape, delayMs);
}

void ModemCore::SendAt(PortRole role, const std::string& text) {
  ReplyShape shape;
  shape.delayMs = config_.timings.atReplyMs;
  Send(role, std::vector<uint8_t>(text.begin(), text.end()), shape, shape.delayMs);
}

void ModemCore::Send(PortRole role, std::vector<uint8_t> bytes, ReplyShape shape,
                     uint64_t processingMs) {
  // What a fault adds on top of the modem's own work delays this reply
  // alone; the modem goes on with the next request meanwhile.
  const uint64_t own = std::min(processingMs, shape.delayMs);
  shape.delayMs = link_.Outbound(NowMs(), own, shape.delayMs - own, bytes.size());
  transport_.Send(role, std::move(bytes), shape);
}

void ModemCore::Note(PortRole port, int code, size_t length, std::string what) {
  if (records.requests.size() >= kMaxRequestRecords) return;
  records.requests.push_back({transport_.NowMs(), port, mode_, code, length, std::move(what)});
}

void ModemCore::Violate(std::string text) {
  records.violations.push_back({transport_.NowMs(), mode_, std::move(text)});
}

}  // namespace quorrel::sim

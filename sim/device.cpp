#include "sim/device.h"

#include <algorithm>
#include <cstring>

#include "link/hdlc.h"
#include "util/md5.h"
#include "util/text.h"

namespace quorrel::sim {

namespace {

using Packet = std::vector<uint8_t>;

// Request records kept; a long EFS image alone is thousands of writes.
constexpr size_t kMaxRequestRecords = 500000;
// Bytes of the request echoed behind a diagnostic error code.
constexpr size_t kMaxErrorEcho = 256;
// Largest data of one DMSS write the downloader's buffer takes.
constexpr size_t kDmssMaxData = 1024;
// Largest data of one stream write, and of a partition table or header.
constexpr size_t kStreamMaxData = 1024;
// Highest flash address an image may reach.
constexpr uint64_t kMaxImageBytes = 64ull * 1024 * 1024;

constexpr char kHostMagic[] = "QCOM fast download protocol host";
constexpr char kTargetMagic[] = "QCOM fast download protocol targ";

uint16_t Le16(const Packet& p, size_t at) {
  return static_cast<uint16_t>(p[at] | p[at + 1] << 8);
}
uint32_t Le32(const Packet& p, size_t at) {
  return static_cast<uint32_t>(p[at]) | static_cast<uint32_t>(p[at + 1]) << 8 |
         static_cast<uint32_t>(p[at + 2]) << 16 | static_cast<uint32_t>(p[at + 3]) << 24;
}
uint16_t Be16(const Packet& p, size_t at) {
  return static_cast<uint16_t>(p[at] << 8 | p[at + 1]);
}
uint32_t Be32(const Packet& p, size_t at) {
  return static_cast<uint32_t>(p[at]) << 24 | static_cast<uint32_t>(p[at + 1]) << 16 |
         static_cast<uint32_t>(p[at + 2]) << 8 | static_cast<uint32_t>(p[at + 3]);
}
void PutLe16(Packet& p, uint16_t v) {
  p.push_back(static_cast<uint8_t>(v));
  p.push_back(static_cast<uint8_t>(v >> 8));
}
void PutLe32(Packet& p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
void PutBe16(Packet& p, uint16_t v) {
  p.push_back(static_cast<uint8_t>(v >> 8));
  p.push_back(static_cast<uint8_t>(v));
}
// A text in a fixed-width, zero-padded field.
void PutField(Packet& p, std::string_view text, size_t width) {
  for (size_t i = 0; i < width; ++i) p.push_back(i < text.size() ? static_cast<uint8_t>(text[i]) : 0);
}

std::string Trimmed(std::string_view s) {
  size_t b = 0, e = s.size();
  while (b < e && (s[b] == ' ' || s[b] == '\t' || s[b] == '\n')) ++b;
  while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t' || s[e - 1] == '\n')) --e;
  return std::string(s.substr(b, e - b));
}

bool IsLiveMode(ModemMode mode) {
  return mode == ModemMode::Normal || mode == ModemMode::Downloader || mode == ModemMode::Programmer;
}

}  // namespace

std::string_view PortRoleName(PortRole role) { return role == PortRole::Diag ? "diag" : "data"; }

std::string_view HandshakeResultName(HandshakeState::Result result) {
  switch (result) {
    case HandshakeState::Result::NotAttempted: return "not attempted";
    case HandshakeState::Result::Passed: return "passed";
    case HandshakeState::Result::Failed: return "failed";
  }
  return "unknown";
}

VirtualModem::VirtualModem(ModemConfig config, ModemTransport& transport)
    : config_(std::move(config)),
      transport_(transport),
      fault_random_(config_.seed ^ 0xFA017ULL),
      challenge_random_(config_.seed ^ 0xC4A11E46EULL),
      split_random_(config_.seed ^ 0x5B11CE5ULL),
      autorun_(config_.autorun),
      switch_aa_(config_.vendorSwitchAA),
      diag_port_mode_(config_.diagPortMode),
      at_echo_(config_.atEcho),
      nv_(config_),
      nv_reply_fault_uses_(config_.faults.nvReplies.size()),
      stream_error_uses_(config_.faults.streamErrors.size(), 0),
      reply_fault_seen_(config_.faults.replies.size(), 0) {
  current_version_ = config_.firmwareVersion;
  boot_downloader_ = config_.startMode == ModemMode::Downloader;
}

VirtualModem::~VirtualModem() { Shutdown(); }

// ---------------------------------------------------------------- life cycle

void VirtualModem::PowerOn() {
  std::lock_guard lock(mutex_);
  if (shut_down_ || ports_) return;
  AttachNow("power on");
}

void VirtualModem::Shutdown() {
  std::lock_guard lock(mutex_);
  if (shut_down_) return;
  for (ModemTransport::TimerId id : timers_) transport_.CancelTimer(id);
  timers_.clear();
  if (ports_) DetachNow("shut down");
  shut_down_ = true;
}

void VirtualModem::After(uint64_t delayMs, std::function<void()> fn) {
  const uint64_t epoch = epoch_;
  // The id is only known once scheduled; the callback looks it up by a
  // shared slot, under the lock that is held here until the slot is filled
  // (the transport may run the timer on another thread at once).
  auto slot = std::make_shared<ModemTransport::TimerId>(0);
  ModemTransport::TimerId id = transport_.After(delayMs, [this, epoch, slot, fn = std::move(fn)] {
    OnTimer(epoch, *slot, fn);
  });
  *slot = id;
  timers_.insert(id);
}

void VirtualModem::OnTimer(uint64_t epoch, const ModemTransport::TimerId& slot,
                           const std::function<void()>& fn) {
  std::lock_guard lock(mutex_);
  timers_.erase(slot);
  if (shut_down_ || epoch != epoch_) return;
  fn();
}

ModemMode VirtualModem::BootMode() const {
  if (attachments_ == 0 && config_.startMode == ModemMode::Programmer) return ModemMode::Programmer;
  return boot_downloader_ ? ModemMode::Downloader : ModemMode::Normal;
}

Enumeration VirtualModem::ProposeEnumeration(ModemMode boot) {
  Enumeration e;
  e.index = attachments_;
  auto port = [&](int first) {
    int n = (first - 1 + 2 * attachments_) % 254;
    return n + 1;
  };
  e.mode = boot;
  const bool firmware = boot == ModemMode::Normal;
  e.diagPort = firmware && diag_port_mode_ == 0 ? 0 : port(config_.firstDiagPort);
  e.dataPort = firmware ? port(config_.firstDataPort) : 0;
  e.vendor = config_.vendor;
  // The instance names the place the modem is plugged into, as Windows
  // names a device without a serial number: the same at every attachment.
  SeededRandom random(config_.seed * 0x9E3779B1ULL + 1);
  std::string instance = Format("7&%08x&0&%04d", static_cast<uint32_t>(random.Next()), 1);
  e.diagDevicePath = Format("USB\\VID_%04X&PID_%04X&MI_01\\", config_.usbVendorId, config_.usbProductId) + instance;
  e.modemDevicePath = Format("USB\\VID_%04X&PID_%04X&MI_00\\", config_.usbVendorId, config_.usbProductId) + instance;
  return e;
}

void VirtualModem::AttachNow(const std::string& reason, std::optional<ModemMode> bootInto) {
  // A restart boots the firmware from flash: RAM, the programmer and every
  // transient state are gone; vendor settings and NV survive. Only a
  // programmer that comes back from its own start keeps RAM (it runs there).
  const ModemMode boot = bootInto.value_or(BootMode());
  mode_ = ModemMode::Normal;
  diag_reader_.SetFraming(FrameReader::Framing::Diag);
  data_line_.clear();
  offline_ = false;
  polls_since_offline_ = 0;
  pending_challenge_.reset();
  spc_unlocked_ = false;
  if (boot != ModemMode::Programmer) {
    ram_.clear();
    ram_written_.clear();
  }
  greeted_ = secure_ = partition_sent_ = false;
  if (flash_.OpenImage() != nullptr) flash_.Abandon();
  current_version_ = flashed_ ? config_.flashedVersion : config_.firmwareVersion;
  stalled_ = false;
  // An unfinished flash boots into the downloader (or, for a modem that a
  // host left behind, the programmer is still running).
  if (boot != ModemMode::Normal) {
    dmss_writes_ = 0;
    SwitchMode(boot);
  }

  Enumeration attached = transport_.Attach(ProposeEnumeration(boot));
  ports_ = attached;
  ++attachments_;
  attach_history_.push_back({transport_.NowMs(), true, attached, reason});
}

void VirtualModem::DetachNow(const std::string& reason) {
  for (ModemTransport::TimerId id : timers_) transport_.CancelTimer(id);
  timers_.clear();
  ++epoch_;
  mode_ = ModemMode::Detached;
  diag_reader_.Reset();
  data_line_.clear();
  if (!ports_) return;
  transport_.Detach();
  attach_history_.push_back({transport_.NowMs(), false, *ports_, reason});
  ports_.reset();
}

void VirtualModem::ComeBack(uint64_t afterMs, std::optional<ModemMode> boot,
                            const std::string& reason) {
  const uint32_t n = ++departures_;
  if (const auto& slow = config_.faults.slowReboot) {
    if (n >= slow->nth && (slow->count == 0 || n - slow->nth < slow->count)) afterMs = slow->ms;
  }
  if (config_.swap && config_.swap->at == n && transport_.HandOver(afterMs)) return;
  After(afterMs, [this, boot, reason] { AttachNow(reason, boot); });
}

void VirtualModem::ReenumerateInto(ModemMode mode, uint64_t bootMs, const std::string& reason) {
  SwitchMode(ModemMode::Switching);
  After(config_.timings.detachAfterMs, [this, mode, bootMs, reason] {
    DetachNow(reason);
    ComeBack(bootMs, mode, std::string(ModeName(mode)) + " started");
  });
}

void VirtualModem::Restart(const std::string& reason) {
  ++restarts_;
  const bool comesBack =
      config_.faults.noReturnAfterReset == 0 || restarts_ != static_cast<int>(config_.faults.noReturnAfterReset);
  const std::optional<SwapFault> swap =
      config_.faults.swap && restarts_ == static_cast<int>(config_.faults.swap->afterReset)
          ? config_.faults.swap
          : std::nullopt;
  SwitchMode(ModemMode::Switching);
  After(config_.timings.detachAfterMs, [this, reason, comesBack, swap] {
    DetachNow(reason);
    if (!comesBack) return;
    // Another modem may come back in this one's place (a user who swapped
    // them while it rebooted).
    if (swap) SwapIdentityLocked(swap->seed, swap->esn);
    ComeBack(config_.timings.reattachAfterMs, std::nullopt, swap ? "restarted as another modem" : "restarted");
  });
}

void VirtualModem::SwapIdentity(uint64_t seed, uint32_t esn) {
  std::lock_guard lock(mutex_);
  SwapIdentityLocked(seed, esn);
}

void VirtualModem::SwapIdentityLocked(uint64_t seed, uint32_t esn) {
  // The seed of the port numbers, instance ids and faults stays: the other
  // modem sits at the same place.
  config_.esn = esn;
  ModemConfig other = config_;
  other.seed = seed;
  other.nvContents.clear();
  nv_ = NvStore(other);
  autorun_ = config_.autorun;
  switch_aa_ = config_.vendorSwitchAA;
  diag_port_mode_ = config_.diagPortMode;
  flashed_ = false;
  boot_downloader_ = false;
}

void VirtualModem::SwitchMode(ModemMode mode) {
  mode_ = mode;
  if (mode == ModemMode::Normal) diag_reader_.SetFraming(FrameReader::Framing::Diag);
  if (mode == ModemMode::Downloader || mode == ModemMode::Programmer) {
    diag_reader_.SetFraming(FrameReader::Framing::Download);
  }
  if (mode == ModemMode::Switching || mode == ModemMode::Hung) diag_reader_.Reset();
  transport_.ModeChanged(mode);
}

void VirtualModem::PullPlug() {
  std::lock_guard lock(mutex_);
  if (shut_down_) return;
  DetachNow("unplugged");
}

void VirtualModem::PowerCycle(uint64_t offMs) {
  std::lock_guard lock(mutex_);
  if (shut_down_) return;
  DetachNow("power cycle");
  ComeBack(offMs, std::nullopt, "power cycle");
}

// ------------------------------------------------------------------ sending

void VirtualModem::Reply(uint8_t requestCode, const Packet& packet, uint64_t delayMs) {
  ReplyShape shape;
  shape.delayMs = delayMs;
  bool drop = false, corrupt = false, noise = false;
  uint32_t randomCuts = 0;
  for (size_t i = 0; i < config_.faults.replies.size(); ++i) {
    const ReplyFault& f = config_.faults.replies[i];
    if (f.match.mode && *f.match.mode != request_mode_) continue;
    if (f.match.code && *f.match.code != requestCode) continue;
    uint32_t n = ++reply_fault_seen_[i];
    if (n < f.match.nth) continue;
    if (f.match.count != 0 && n - f.match.nth >= f.match.count) continue;
    if (f.match.every > 1 && (n - f.match.nth) % f.match.every != 0) continue;
    switch (f.kind) {
      case ReplyFault::Kind::Drop: drop = true; break;
      case ReplyFault::Kind::Corrupt: corrupt = true; break;
      case ReplyFault::Kind::Noise: noise = true; break;
      case ReplyFault::Kind::Delay: shape.delayMs += f.delayMs; break;
      case ReplyFault::Kind::Split:
        shape.pieceSize = std::max<size_t>(1, f.pieceSize);
        shape.intervalMs = f.intervalMs;
        randomCuts = f.randomCuts;
        break;
    }
  }
  if (config_.faults.randomDropPerMille > 0 && fault_random_.Below(1000) < config_.faults.randomDropPerMille) {
    drop = true;
  }
  if (config_.faults.randomCorruptPerMille > 0 &&
      fault_random_.Below(1000) < config_.faults.randomCorruptPerMille) {
    corrupt = true;
  }
  if (drop) {
    Note(PortRole::Diag, requestCode, 0, Format("reply 0x%02X dropped (fault)", packet.empty() ? 0 : packet[0]));
    return;
  }
  uint16_t crc = FrameCheck(packet);
  if (corrupt) crc ^= 0x00FF;
  const uint8_t crcBytes[2] = {static_cast<uint8_t>(crc & 0xFF), static_cast<uint8_t>(crc >> 8)};
  std::vector<uint8_t> frame;
  frame.reserve(2 * packet.size() + 14);
  if (noise) {
    const uint32_t count = 1 + fault_random_.Below(8);
    for (uint32_t i = 0; i < count; ++i) {
      uint8_t b = static_cast<uint8_t>(fault_random_.Below(256));
      if (b == kFlag || b == kEscape) b = 0x5A;
      frame.push_back(b);
    }
    Note(PortRole::Diag, requestCode, count, Format("%u noise bytes before reply 0x%02X (fault)", count,
                                                       packet.empty() ? 0 : packet[0]));
  }
  if (request_mode_ == ModemMode::Downloader || request_mode_ == ModemMode::Programmer) frame.push_back(kFlag);
  AppendStuffed(frame, packet);
  AppendStuffed(frame, crcBytes);
  frame.push_back(kFlag);
  if (randomCuts > 0 && frame.size() > 1) {
    // Distinct cut points between the first and the last byte.
    const size_t cuts = std::min<size_t>(1 + split_random_.Below(randomCuts), frame.size() - 1);
    std::set<size_t> at;
    while (at.size() < cuts) at.insert(1 + split_random_.Below(static_cast<uint32_t>(frame.size() - 1)));
    size_t from = 0;
    for (size_t cut : at) {
      shape.pieces.push_back(cut - from);
      from = cut;
    }
    shape.pieces.push_back(frame.size() - from);
  }
  transport_.Send(PortRole::Diag, std::move(frame), shape);
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

void VirtualModem::SendDiagBytes(std::vector<uint8_t> bytes, uint64_t delayMs) {
  ReplyShape shape;
  shape.delayMs = delayMs;
  transport_.Send(PortRole::Diag, std::move(bytes), shape);
}

void VirtualModem::SendAt(PortRole role, const std::string& text) {
  ReplyShape shape;
  shape.delayMs = config_.timings.atReplyMs;
  transport_.Send(role, std::vector<uint8_t>(text.begin(), text.end()), shape);
}

void VirtualModem::Note(PortRole port, int code, size_t length, std::string what) {
  if (requests_.size() >= kMaxRequestRecords) return;
  requests_.push_back({transport_.NowMs(), port, mode_, code, length, std::move(what)});
}

void VirtualModem::Violate(std::string text) {
  violations_.push_back({transport_.NowMs(), mode_, std::move(text)});
}

// ------------------------------------------------------------------ receiving

void VirtualModem::Receive(PortRole role, std::span<const uint8_t> bytes) {
  std::lock_guard lock(mutex_);
  if (shut_down_ || bytes.empty()) return;
  if (role == PortRole::Data) {
    HandleDataBytes(bytes);
    return;
  }
  if (!IsLiveMode(mode_)) {
    Note(PortRole::Diag, -1, bytes.size(), Format("%zu bytes ignored while %s", bytes.size(),
                                                  std::string(ModeName(mode_)).c_str()));
    return;
  }
  std::vector<ReaderItem> items;
  diag_reader_.Feed(bytes.data(), bytes.size(), items);
  HandleDiagItems(items);
}

void VirtualModem::HandleDiagItems(std::vector<ReaderItem>& items) {
  for (ReaderItem& item : items) {
    if (!IsLiveMode(mode_)) {
      Note(PortRole::Diag, -1, 0, "request ignored while " + std::string(ModeName(mode_)));
      continue;
    }
    request_mode_ = mode_;
    switch (item.kind) {
      case ReaderItem::Kind::Noise:
        Note(PortRole::Diag, -1, 0, item.text);
        Violate(item.text);
        break;
      case ReaderItem::Kind::AtLine:
        HandleAtOnDiag(item.text);
        break;
      case ReaderItem::Kind::Frame:
        for (const std::string& problem : item.frame.problems) Violate(problem);
        if (mode_ == ModemMode::Normal) {
          DiagRequest(item.frame);
        } else if (mode_ == ModemMode::Downloader) {
          DmssRequest(item.frame);
        } else {
          StreamRequest(item.frame);
        }
        break;
    }
  }
}

void VirtualModem::HandleAtOnDiag(const std::string& line) {
  at_commands_.push_back({transport_.NowMs(), PortRole::Diag, line, mode_ == ModemMode::Normal});
  Note(PortRole::Diag, -1, line.size(), "AT text " + line);
  if (mode_ != ModemMode::Normal) {
    Violate("AT text \"" + line + "\" on the diagnostic port of the " + std::string(ModeName(mode_)));
    return;
  }
  // The firmware's command interpreter echoes, then answers.
  std::string upper = ToUpperAscii(line);
  std::string answer = line + "\r";
  if (upper == "AT$QCDMG" || upper == "AT$DLOAD") {
    answer += "\r\nOK\r\n";
  } else {
    Violate("AT command \"" + line + "\" on the diagnostic port");
    answer += "\r\nERROR\r\n";
  }
  SendDiagBytes(std::vector<uint8_t>(answer.begin(), answer.end()), config_.timings.atReplyMs);
}

void VirtualModem::HandleDataBytes(std::span<const uint8_t> bytes) {
  for (uint8_t b : bytes) {
    if (b == '\r') {
      std::string line = std::move(data_line_);
      data_line_.clear();
      if (!Trimmed(line).empty()) HandleAtOnData(line);
      continue;
    }
    if (data_line_.size() < FrameReader::kMaxAtLine) data_line_.push_back(static_cast<char>(b));
  }
}

void VirtualModem::HandleAtOnData(const std::string& raw) {
  const std::string line = Trimmed(raw);
  const bool answering = mode_ == ModemMode::Normal;
  at_commands_.push_back({transport_.NowMs(), PortRole::Data, line, answering});
  Note(PortRole::Data, -1, line.size(), "AT " + line);
  if (!answering) return;  // no AT service outside the firmware

  const std::string upper = ToUpperAscii(line);
  static const std::string kOk = "\r\nOK\r\n";
  static const std::string kError = "\r\nERROR\r\n";
  std::string answer = at_echo_ ? raw + "\r" : std::string();
  if (upper == "AT") {
    answer += kOk;
  } else if (upper == "ATE0" || upper == "ATE1") {
    at_echo_ = upper == "ATE1";
    answer += kOk;
  } else if (upper == "AT+GMR") {
    std::string version = config_.gmrText.empty() ? current_version_ : config_.gmrText;
    answer += "\r\n+GMR: " + version + "\r\n" + kOk;
  } else if (upper == "AT+VDIAG?") {
    answer += Format("\r\n+VDIAG: %d\r\n", diag_port_mode_) + kOk;
  } else if (upper.rfind("AT+VDIAG=", 0) == 0 && upper.size() > 9 && upper.size() <= 11 &&
             std::all_of(upper.begin() + 9, upper.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    diag_port_mode_ = std::stoi(upper.substr(9));
    answer += kOk;
  } else if (upper == "AT+VCDRUN=E" || upper == "AT+VCDRUN=8" || upper == "AT+VCDRUN=F" ||
             upper == "AT+VCDRUN=9") {
    cdrun_.push_back(upper.substr(10));
    answer += kOk;
  } else {
    Violate("AT command \"" + line + "\" not known to the modem");
    answer += kError;
  }
  SendAt(PortRole::Data, answer);
}

// ------------------------------------------------------------ normal firmware

void VirtualModem::DiagError(uint8_t error, const Packet& request, const std::string& why) {
  Violate(why);
  Packet reply{error};
  reply.insert(reply.end(), request.begin(),
               request.begin() + static_cast<long>(std::min(request.size(), kMaxErrorEcho)));
  Reply(request.empty() ? 0 : request[0], reply, config_.timings.replyMs);
}

void VirtualModem::DiagRequest(const HostFrame& frame) {
  const Packet& p = frame.packet;
  if (!frame.crcGood) {
    Note(PortRole::Diag, p.empty() ? -1 : p[0], p.size(), "diagnostic request with a bad CRC (no answer)");
    Violate("diagnostic request with a bad CRC");
    return;
  }
  const uint8_t code = p[0];
  Note(PortRole::Diag, code, p.size(), Format("diagnostic 0x%02X", code));
  auto lengthIs = [&](size_t n) {
    if (p.size() == n) return true;
    DiagError(0x15, p, Format("diagnostic request 0x%02X of %zu bytes (expected %zu)", code, p.size(), n));
    return false;
  };
  switch (code) {
    case 0x01: {
      if (!lengthIs(1)) return;
      Packet r{0x01};
      PutLe32(r, config_.esn);
      Reply(code, r, config_.timings.replyMs);
      return;
    }
    case 0x29:
      if (lengthIs(3)) DiagModeChange(p);
      return;
    case 0x7C:
      if (lengthIs(1)) DiagBuildVersion();
      return;
    case 0x39:
      if (lengthIs(1)) DiagVersionTexts();
      return;
    case 0x3A:
      if (!lengthIs(1)) return;
      Reply(code, Packet{0x3A}, config_.timings.replyMs);
      if (config_.usb.reenumerate) {
        ReenumerateInto(ModemMode::Downloader, config_.timings.downloaderStartMs,
                        "switch to the downloader");
        return;
      }
      SwitchMode(ModemMode::Switching);
      After(config_.timings.downloaderStartMs, [this] {
        ram_.clear();
        ram_written_.clear();
        dmss_writes_ = 0;
        SwitchMode(ModemMode::Downloader);
      });
      return;
    case 0x5C: {
      if (!lengthIs(6)) return;
      vendor_.push_back({transport_.NowMs(), "command_5c", Packet(p.begin() + 1, p.end()), "answered"});
      Reply(code, p, config_.timings.replyMs);
      return;
    }
    case 0x41: {
      if (!lengthIs(7)) return;
      std::string digits(p.begin() + 1, p.end());
      spc_unlocked_ = digits == config_.serviceCode;
      vendor_.push_back({transport_.NowMs(), "spc", Packet(p.begin() + 1, p.end()),
                         spc_unlocked_ ? "accepted" : "refused"});
      Reply(code, Packet{0x41, static_cast<uint8_t>(spc_unlocked_ ? 1 : 0)}, config_.timings.replyMs);
      return;
    }
    case 0x4B:
      DiagSubsystem(p);
      return;
    case 0x26:
    case 0x27:
      if (lengthIs(133)) DiagNv(p);
      return;
    default:
      DiagError(0x13, p, Format("diagnostic request 0x%02X not known to the firmware", code));
      return;
  }
}

void VirtualModem::DiagModeChange(const Packet& p) {
  const uint16_t mode = Le16(p, 1);
  switch (mode) {
    case 1:
      offline_ = true;
      polls_since_offline_ = 0;
      Reply(0x29, p, config_.timings.replyMs);
      return;
    case 2:
      Reply(0x29, p, config_.timings.replyMs);
      Restart("diagnostic reset");
      return;
    case 4:
      offline_ = false;
      Reply(0x29, p, config_.timings.replyMs);
      return;
    default:
      DiagError(0x14, p, Format("mode change to mode %u, which the firmware does not offer", mode));
      return;
  }
}

void VirtualModem::DiagBuildVersion() {
  Packet r{0x7C, 0x00, 0x00, 0x00};
  PutLe32(r, 0x00006290);
  PutLe32(r, 0x00000001);
  PutField(r, config_.buildVersion, 256);
  r.back() = 0;  // the text always ends inside its field
  Reply(0x7C, r, config_.timings.replyMs);
}

void VirtualModem::DiagVersionTexts() {
  // Fixed-width fields, each followed by one zero byte: texts 1-8 (30), the
  // release text (31, running on into fields 10 (13) and 11 (9) when longer).
  Packet r{0x39};
  for (size_t i = 0; i < 8; ++i) {
    std::string_view text = i < config_.versionTexts.size() ? config_.versionTexts[i] : std::string_view();
    PutField(r, text.substr(0, std::min<size_t>(text.size(), 30)), 30);
    r.push_back(0);
  }
  std::string_view version = current_version_;
  auto part = [&](size_t from, size_t width) {
    return from < version.size() ? version.substr(from, std::min(width, version.size() - from))
                                 : std::string_view();
  };
  std::string_view field10 = version.size() > 31 ? part(31, 13) : std::string_view("Mar 15 2010");
  std::string_view field11 = version.size() > 31 ? part(44, 9) : std::string_view("10:20:30");
  PutField(r, part(0, 31), 31);
  r.push_back(0);
  PutField(r, field10, 13);
  r.push_back(0);
  PutField(r, field11, 9);
  r.push_back(0);
  Reply(0x39, r, config_.timings.replyMs);
}

std::vector<uint8_t> VirtualModem::NextChallenge() {
  if (config_.challenge) return *config_.challenge;
  // Drawn challenges avoid the two framing bytes, which travel stuffed.
  std::vector<uint8_t> c;
  while (c.size() < 8) {
    uint8_t b = challenge_random_.NextByte();
    if (!NeedsStuffing(b)) c.push_back(b);
  }
  return c;
}

void VirtualModem::DiagSubsystem(const Packet& p) {
  const uint64_t now = transport_.NowMs();
  if (p.size() < 4) {
    DiagError(0x15, p, Format("subsystem request of %zu bytes", p.size()));
    return;
  }
  const uint8_t sub = p[1];
  if (sub == 0x04 && p[2] == 0x0E && p[3] == 0x00) {
    if (p.size() != 4) {
      DiagError(0x15, p, "readiness poll with extra bytes");
      return;
    }
    ++polls_since_offline_;
    bool ready = !config_.faults.neverReady && offline_ && polls_since_offline_ > config_.readyAfterPolls;
    vendor_.push_back({now, "ready_poll", {}, ready ? "ready" : (offline_ ? "busy" : "busy (online)")});
    Reply(0x4B, Packet{0x4B, 0x04, 0x0E, 0x00, static_cast<uint8_t>(ready ? 0 : 1), 0x00, 0x00, 0x00},
          config_.timings.replyMs);
    return;
  }
  if ((sub == 0xAA || sub == 0xA1) && p[2] == 0x00 && p[3] == 0x00) {
    if (p.size() != 5) {
      DiagError(0x15, p, Format("vendor request 0x%02X of %zu bytes (expected 5)", sub, p.size()));
      return;
    }
    if (sub == 0xAA) {
      switch_aa_ = p[4];
    } else {
      autorun_ = p[4];
    }
    vendor_.push_back({now, sub == 0xAA ? "switch_aa" : "autorun", {p[4]}, "set"});
    Reply(0x4B, Packet{0x4B, sub, 0x00, 0x00, 0x00}, config_.timings.replyMs);
    return;
  }
  if (sub == 0xA3 && p[2] == 0x06 && p[3] == 0x00) {
    if (p.size() != 4) {
      DiagError(0x15, p, "challenge request with extra bytes");
      return;
    }
    pending_challenge_ = NextChallenge();
    ++handshake_.challenges;
    handshake_.challenge = *pending_challenge_;
    vendor_.push_back({now, "get_value", *pending_challenge_, "challenge"});
    Packet r{0x4B, 0xA3, 0x06, 0x00};
    r.insert(r.end(), pending_challenge_->begin(), pending_challenge_->end());
    Reply(0x4B, r, config_.timings.replyMs);
    return;
  }
  if (sub == 0xA3 && p[2] == 0x07 && p[3] == 0x00) {
    if (p.size() != 20) {
      DiagError(0x15, p, Format("challenge answer of %zu bytes (expected 20)", p.size()));
      return;
    }
    Packet answer(p.begin() + 4, p.end());
    ++handshake_.answers;
    handshake_.answer = answer;
    bool good = false;
    if (!pending_challenge_) {
      Violate("challenge answer with no challenge handed out");
    } else {
      Md5Digest expected = Md5::Of(*pending_challenge_);
      good = std::equal(expected.begin(), expected.end(), answer.begin());
    }
    handshake_.result = good ? HandshakeState::Result::Passed : HandshakeState::Result::Failed;
    if (good) pending_challenge_.reset();
    vendor_.push_back({now, "set_value", answer, good ? "passed" : "failed"});
    Reply(0x4B, Packet{0x4B, 0xA3, 0x07, 0x00, static_cast<uint8_t>(good ? 0 : 1)}, config_.timings.replyMs);
    return;
  }
  DiagError(0x13, p, Format("subsystem request 4B %02X %02X %02X not known to the firmware", sub, p[2], p[3]));
}

void VirtualModem::DiagNv(const Packet& p) {
  const bool write = p[0] == 0x27;
  const uint16_t item = Le16(p, 1);
  if (Le16(p, 131) != 0) Violate(Format("NV request for item %u with a status word of %u", item, Le16(p, 131)));
  NvData data{};
  std::copy(p.begin() + 3, p.begin() + 131, data.begin());
  if (FaultyNvReply(p, write, item, data)) return;

  std::optional<uint16_t> forced;
  auto fault = config_.faults.nvStatus.find(item);
  if (fault != config_.faults.nvStatus.end()) {
    const NvStatusFault& f = fault->second;
    std::optional<uint16_t> status = write ? f.write : f.read;
    if (status && (f.count == 0 || nv_fault_uses_[item] < f.count)) {
      ++nv_fault_uses_[item];
      forced = status;
    }
  }

  uint16_t status;
  NvData out = data;
  if (write) {
    status = forced ? *forced : nv_.Write(item, data);
    nv_writes_.push_back({transport_.NowMs(), item, data, status});
  } else if (forced) {
    status = *forced;
    out.fill(0);
    if (status == kNvDone) out = nv_.Data(item);
  } else {
    status = nv_.Read(item, &out);
  }
  Packet r{p[0]};
  PutLe16(r, item);
  r.insert(r.end(), out.begin(), out.end());
  PutLe16(r, status);
  Reply(p[0], r, config_.timings.nvReplyMs);
}

bool VirtualModem::FaultyNvReply(const Packet& p, bool write, uint16_t item, const NvData& data) {
  const NvReplyFault* fault = nullptr;
  for (size_t i = 0; i < config_.faults.nvReplies.size() && !fault; ++i) {
    const NvReplyFault& f = config_.faults.nvReplies[i];
    if (f.write != write || (f.item && *f.item != item)) continue;
    uint32_t& uses = nv_reply_fault_uses_[i][item];
    if (f.count != 0 && uses >= f.count) continue;
    ++uses;
    fault = &f;
  }
  if (!fault) return false;

  Packet r{p[0]};
  uint16_t status = 0xFFFF;  // no status went back
  switch (fault->kind) {
    case NvReplyFault::Kind::DiagError:
      r = Packet{static_cast<uint8_t>(fault->value)};
      r.insert(r.end(), p.begin(), p.begin() + static_cast<long>(std::min(p.size(), kMaxErrorEcho)));
      break;
    case NvReplyFault::Kind::OtherItem: {
      const NvData other = write ? data : nv_.Data(fault->value);
      PutLe16(r, fault->value);
      r.insert(r.end(), other.begin(), other.end());
      PutLe16(r, kNvDone);
      status = kNvDone;
      break;
    }
    case NvReplyFault::Kind::Status: {
      const NvData zeros{};
      PutLe16(r, item);
      r.insert(r.end(), zeros.begin(), zeros.end());
      PutLe16(r, fault->value);
      status = fault->value;
      break;
    }
    case NvReplyFault::Kind::Short: {
      const NvData out = write ? data : nv_.Data(item);
      PutLe16(r, item);
      r.insert(r.end(), out.begin(), out.end());
      PutLe16(r, kNvDone);
      r.resize(std::min<size_t>(r.size(), fault->value));
      break;
    }
  }
  if (write) nv_writes_.push_back({transport_.NowMs(), item, data, status});
  Reply(p[0], r, config_.timings.nvReplyMs);
  return true;
}

// ---------------------------------------------------------------- downloader

void VirtualModem::DmssReject(uint8_t requestCode, uint16_t reason, const std::string& why) {
  if (!why.empty()) Violate(why);
  Packet r{0x03};
  PutBe16(r, reason);
  Reply(requestCode, r, config_.timings.replyMs);
}

void VirtualModem::DmssRequest(const HostFrame& frame) {
  const Packet& p = frame.packet;
  if (!frame.leadingFlag) Violate("downloader request without its leading flag");
  const uint8_t code = p.empty() ? 0 : p[0];
  if (!frame.crcGood) {
    Note(PortRole::Diag, p.empty() ? -1 : code, p.size(), "downloader request with a bad CRC");
    DmssReject(code, 1, "downloader request with a bad CRC");
    return;
  }
  Note(PortRole::Diag, code, p.size(), Format("downloader 0x%02X", code));
  auto lengthIs = [&](size_t n) {
    if (p.size() == n) return true;
    DmssReject(code, p.size() < n ? 4 : 5,
               Format("downloader request 0x%02X of %zu bytes (expected %zu)", code, p.size(), n));
    return false;
  };
  switch (code) {
    case 0x0F:
      DmssWrite(p);
      return;
    case 0x05:
      if (lengthIs(5)) DmssGo(p);
      return;
    case 0x06:
      if (lengthIs(1)) Reply(code, Packet{0x02}, config_.timings.replyMs);
      return;
    case 0x07: {
      if (!lengthIs(1)) return;
      Packet r{0x08, config_.dmssVersion, config_.dmssMinVersion};
      PutLe32(r, config_.dmssValue32);
      r.push_back(config_.dmssModel);
      r.push_back(config_.flashSizeCode);
      r.push_back(config_.flashKind);
      Reply(code, r, config_.timings.replyMs);
      return;
    }
    case 0x0A:
      if (!lengthIs(1)) return;
      Reply(code, Packet{0x02}, config_.timings.replyMs);
      Restart("downloader reset");
      return;
    default:
      if (code == 0x01 && p.size() == 36 && std::memcmp(p.data() + 1, kHostMagic, 32) == 0) {
        // A host finding out which mode answers: the downloader refuses the
        // programmer's greeting, as a real one does, and nothing is wrong.
        Note(PortRole::Diag, code, p.size(), "programmer hello refused by the downloader (mode probe)");
        DmssReject(code, 6, "");
        return;
      }
      DmssReject(code, 6, Format("downloader request 0x%02X not known to the downloader", code));
      return;
  }
}

void VirtualModem::DmssWrite(const Packet& p) {
  if (p.size() < 7) {
    DmssReject(0x0F, 4, Format("downloader write of %zu bytes, shorter than its header", p.size()));
    return;
  }
  const uint32_t address = Be32(p, 1);
  const uint16_t length = Be16(p, 5);
  const size_t carried = p.size() - 7;
  if (length == 0 || carried != length) {
    DmssReject(0x0F, 3, Format("downloader write whose length field says %u but carries %zu bytes", length, carried));
    return;
  }
  if (length > kDmssMaxData) {
    DmssReject(0x0F, 5, Format("downloader write of %u bytes, more than the %zu the buffer takes", length, kDmssMaxData));
    return;
  }
  if (address < config_.ramBase ||
      static_cast<uint64_t>(address) + length > static_cast<uint64_t>(config_.ramBase) + config_.ramSize) {
    DmssReject(0x0F, 2, Format("downloader write to 0x%08X..0x%08X, outside RAM", address,
                               static_cast<uint32_t>(address + length - 1)));
    return;
  }
  const uint32_t n = ++dmss_writes_;
  for (const DmssRejectFault& f : config_.faults.dmssRejects) {
    if (n >= f.nth && (f.count == 0 || n - f.nth < f.count)) {
      DmssReject(0x0F, f.reason, "");
      return;
    }
  }
  if (ram_.empty()) ram_.assign(config_.ramSize, 0);
  const uint32_t offset = address - config_.ramBase;
  std::copy(p.begin() + 7, p.end(), ram_.begin() + offset);
  // Merge [offset, offset + length) into the written ranges.
  uint32_t start = offset, end = offset + length;
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
  Reply(0x0F, Packet{0x02}, config_.timings.replyMs);
}

bool VirtualModem::ProgrammerInRam(std::string* why) {
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
    if (uploaded != expected.size() || !std::equal(expected.begin(), expected.end(), ram_.begin())) {
      *why = Format("RAM holds %u bytes that are not the %zu-byte programmer", uploaded, expected.size());
      return false;
    }
  }
  return true;
}

void VirtualModem::DmssGo(const Packet& p) {
  const uint32_t address = static_cast<uint32_t>(Be16(p, 1)) * 0x10000u + Be16(p, 3);
  Reply(0x05, Packet{0x02}, config_.timings.replyMs);
  std::string why;
  if (address != config_.ramBase) {
    why = Format("execution started at 0x%08X, not at the programmer's load address 0x%08X", address,
                 config_.ramBase);
  } else if (!ProgrammerInRam(&why)) {
    why = Format("execution started at 0x%08X: ", address) + why;
  }
  if (!why.empty()) {
    Violate(why + "; the modem hangs");
    SwitchMode(ModemMode::Hung);
    return;
  }
  started_programmer_.assign(ram_.begin(), ram_.begin() + ram_written_.begin()->second);
  if (config_.usb.reenumerate && config_.usb.programmerReenumerates) {
    ReenumerateInto(ModemMode::Programmer, config_.timings.programmerStartMs, "programmer start");
    return;
  }
  SwitchMode(ModemMode::Switching);
  After(config_.timings.programmerStartMs, [this] {
    greeted_ = secure_ = partition_sent_ = false;
    SwitchMode(ModemMode::Programmer);
  });
}

// ---------------------------------------------------------------- programmer

void VirtualModem::StreamError(uint8_t requestCode, uint32_t code, const std::string& why) {
  if (!why.empty()) Violate(why);
  Packet r{0x0D};
  PutLe32(r, code);
  Reply(requestCode, r, config_.timings.replyMs);
}

void VirtualModem::StreamRequest(const HostFrame& frame) {
  const Packet& p = frame.packet;
  if (!frame.leadingFlag) Violate("streaming request without its leading flag");
  const uint8_t code = p.empty() ? 0 : p[0];
  if (!frame.crcGood) {
    Note(PortRole::Diag, p.empty() ? -1 : code, p.size(), "streaming request with a bad CRC (no answer)");
    Violate("streaming request with a bad CRC");
    return;
  }
  Note(PortRole::Diag, code, p.size(),
       code == 0x07 && p.size() >= 5 ? Format("stream write 0x%08X+%zu", Le32(p, 1), p.size() - 5)
                                     : Format("streaming 0x%02X", code));
  if (stalled_ && code != 0x01) {
    Note(PortRole::Diag, code, p.size(), "not answered: the programmer is stalled (fault)");
    return;
  }
  if (code == 0x06 && p.size() == 1) {
    // The downloader's no-op from a host finding out which mode answers.
    Note(PortRole::Diag, code, p.size(), "downloader no-op refused by the programmer (mode probe)");
    StreamError(code, 5, "");
    return;
  }
  if (code != 0x01 && !greeted_) {
    StreamError(code, 15, Format("streaming request 0x%02X before hello", code));
    return;
  }
  auto lengthIs = [&](size_t n) {
    if (p.size() == n) return true;
    StreamError(code, p.size() < n ? 4 : 3,
                Format("streaming request 0x%02X of %zu bytes (expected %zu)", code, p.size(), n));
    return false;
  };
  switch (code) {
    case 0x01: {
      if (p.size() != 36 || std::memcmp(p.data() + 1, kHostMagic, 32) != 0) {
        Violate(Format("hello of %zu bytes without the host's greeting (not answered)", p.size()));
        return;
      }
      if (p[33] != 2 || p[34] != 2 || p[35] != 3) {
        StreamError(code, 17, Format("hello with version %u, compatible version %u, features 0x%02X", p[33],
                                     p[34], p[35]));
        return;
      }
      greeted_ = true;
      stalled_ = false;
      Packet r{0x02};
      r.insert(r.end(), kTargetMagic, kTargetMagic + 32);
      r.push_back(2);  // version
      r.push_back(2);  // compatible version
      PutLe32(r, static_cast<uint32_t>(kStreamMaxData));  // largest block
      PutLe32(r, 0);   // flash base
      const std::string flashName = "SIM-NAND-512";
      r.push_back(static_cast<uint8_t>(flashName.size()));
      r.insert(r.end(), flashName.begin(), flashName.end());
      PutLe16(r, 8);   // window
      PutLe16(r, 0);   // sectors
      r.push_back(3);  // feature bits
      Reply(code, r, config_.timings.replyMs);
      return;
    }
    case 0x07:
      if (config_.faults.programmerSilentAfter != 0 &&
          ++stream_writes_ > config_.faults.programmerSilentAfter) {
        Note(PortRole::Diag, code, p.size(), "the programmer hangs (fault)");
        SwitchMode(ModemMode::Hung);
        return;
      }
      StreamWrite(p);
      return;
    case 0x09: {
      if (p.size() < 1) return;
      Packet r{0x0A};
      r.insert(r.end(), p.begin() + 1, p.end());
      Reply(code, r, config_.timings.replyMs);
      return;
    }
    case 0x0B:
      if (!lengthIs(1)) return;
      Reply(code, Packet{0x0C}, config_.timings.replyMs);
      Restart("programmer reset");
      return;
    case 0x15: {
      if (!lengthIs(1)) return;
      FlashImage* image = flash_.OpenImage();
      if (image != nullptr && image->type == 5 && image->Length() > 0 && image->Contiguous()) {
        flashed_ = true;
        boot_downloader_ = false;
      }
      flash_.Close(transport_.NowMs());
      Reply(code, Packet{0x16}, config_.timings.replyMs);
      return;
    }
    case 0x17:
      if (!lengthIs(2)) return;
      secure_ = true;
      Reply(code, Packet{0x18}, config_.timings.replyMs);
      return;
    case 0x19: {
      if (p.size() < 3) {
        StreamError(code, 4, "partition table request without a table");
        return;
      }
      if (!secure_) {
        StreamError(code, 15, "partition table before security mode");
        return;
      }
      if (p.size() - 2 > kStreamMaxData) {
        StreamError(code, 3, Format("partition table of %zu bytes", p.size() - 2));
        return;
      }
      flash_.AddPartitionTable(Packet(p.begin() + 2, p.end()));
      partition_sent_ = true;
      Reply(code, Packet{0x1A, 0x00}, config_.timings.replyMs);
      if (config_.faults.powerLossAfterPartition && !power_loss_done_) {
        // The boot images are about to be rewritten: from now on the modem
        // boots into its downloader.
        power_loss_done_ = true;
        boot_downloader_ = true;
        SwitchMode(ModemMode::Switching);
        After(config_.timings.detachAfterMs, [this] {
          DetachNow("power loss");
          ComeBack(config_.timings.reattachAfterMs, std::nullopt, "power back");
        });
      }
      return;
    }
    case 0x1B:
      StreamOpen(p);
      return;
    default:
      StreamError(code, 5, Format("streaming request 0x%02X not known to the programmer", code));
      return;
  }
}

void VirtualModem::StreamOpen(const Packet& p) {
  if (p.size() < 2) {
    StreamError(0x1B, 4, "open multi-image without an image type");
    return;
  }
  if (!partition_sent_) {
    StreamError(0x1B, 15, "open multi-image before the partition table");
    return;
  }
  const uint8_t type = p[1];
  Packet header(p.begin() + 2, p.end());
  const bool needsHeader = type == 4 || type == 5 || type == 10;
  const bool plain = type == 1 || type == 2 || type == 3 || type == 9;
  if (!needsHeader && !plain) {
    StreamError(0x1B, 5, Format("open multi-image of unknown type %u", type));
    return;
  }
  if (needsHeader && header.empty()) {
    StreamError(0x1B, 4, Format("open multi-image of type %u without its header", type));
    return;
  }
  if (plain && !header.empty()) {
    Violate(Format("open multi-image of type %u with %zu header bytes it does not take", type, header.size()));
    header.clear();
  }
  if (header.size() > kStreamMaxData) {
    StreamError(0x1B, 3, Format("image header of %zu bytes", header.size()));
    return;
  }
  flash_.Open(type, std::move(header), transport_.NowMs());
  Reply(0x1B, Packet{0x1C, 0x00}, config_.timings.replyMs);
}

void VirtualModem::StreamWrite(const Packet& p) {
  if (p.size() < 5) {
    StreamError(0x07, 4, Format("stream write of %zu bytes, shorter than its header", p.size()));
    return;
  }
  const uint32_t address = Le32(p, 1);
  const size_t length = p.size() - 5;
  if (length == 0 || length > kStreamMaxData) {
    StreamError(0x07, 3, Format("stream write of %zu data bytes", length));
    return;
  }
  Packet ack{0x08};
  PutLe32(ack, address);
  FlashImage* image = flash_.OpenImage();
  if (image == nullptr) {
    // With no image open the programmer takes the block and throws it away.
    Note(PortRole::Diag, 0x07, p.size(), Format("write to 0x%08X with no image open (discarded)", address));
    Reply(0x07, ack, config_.timings.flashWriteMs);
    return;
  }
  if (static_cast<uint64_t>(address) + length > kMaxImageBytes) {
    StreamError(0x07, 2, Format("stream write to 0x%08X, beyond the flash", address));
    return;
  }
  const uint8_t type = image->type;
  const uint32_t block = address / kStreamMaxData;
  if (config_.faults.stall && !stall_done_ && config_.faults.stall->imageType == type &&
      config_.faults.stall->block == block) {
    stall_done_ = stalled_ = true;
    Note(PortRole::Diag, 0x07, p.size(), Format("write to 0x%08X never completes: the programmer stalls (fault)", address));
    return;
  }
  if (config_.faults.unplug && !unplug_done_ && config_.faults.unplug->imageType == type &&
      config_.faults.unplug->block == block) {
    unplug_done_ = true;
    const uint64_t replug = config_.faults.unplug->replugMs;
    DetachNow("unplugged during a write");
    if (replug > 0) ComeBack(replug, std::nullopt, "plugged in again");
    return;
  }
  for (size_t i = 0; i < config_.faults.streamErrors.size(); ++i) {
    const StreamErrorFault& f = config_.faults.streamErrors[i];
    if (f.imageType != type || f.block != block) continue;
    if (f.count != 0 && stream_error_uses_[i] >= f.count) continue;
    ++stream_error_uses_[i];
    StreamError(0x07, f.code, "");
    return;
  }
  flash_.Write(address, Packet(p.begin() + 5, p.end()));
  Reply(0x07, ack, config_.timings.flashWriteMs);
}

// ---------------------------------------------------------------- inspection

ModemMode VirtualModem::Mode() {
  std::lock_guard lock(mutex_);
  return mode_;
}
std::optional<Enumeration> VirtualModem::Ports() {
  std::lock_guard lock(mutex_);
  return ports_;
}
int VirtualModem::Attachments() {
  std::lock_guard lock(mutex_);
  return attachments_;
}
std::vector<AttachRecord> VirtualModem::AttachHistory() {
  std::lock_guard lock(mutex_);
  return attach_history_;
}
std::vector<RequestRecord> VirtualModem::Requests() {
  std::lock_guard lock(mutex_);
  return requests_;
}
std::vector<Violation> VirtualModem::Violations() {
  std::lock_guard lock(mutex_);
  return violations_;
}
std::vector<AtRecord> VirtualModem::AtCommands() {
  std::lock_guard lock(mutex_);
  return at_commands_;
}
std::vector<VendorRecord> VirtualModem::VendorRequests() {
  std::lock_guard lock(mutex_);
  return vendor_;
}
HandshakeState VirtualModem::Handshake() {
  std::lock_guard lock(mutex_);
  return handshake_;
}
std::vector<NvWriteRecord> VirtualModem::NvWrites() {
  std::lock_guard lock(mutex_);
  return nv_writes_;
}
NvData VirtualModem::NvItem(uint16_t item) {
  std::lock_guard lock(mutex_);
  return nv_.Data(item);
}
void VirtualModem::PutNvItem(uint16_t item, const NvData& data) {
  std::lock_guard lock(mutex_);
  nv_.Put(item, data);
}
NvData VirtualModem::NvDefault(uint16_t item) {
  std::lock_guard lock(mutex_);
  return nv_.DefaultData(item);
}
std::vector<std::vector<uint8_t>> VirtualModem::PartitionTables() {
  std::lock_guard lock(mutex_);
  return flash_.PartitionTables();
}
std::vector<FlashImage> VirtualModem::Images() {
  std::lock_guard lock(mutex_);
  return flash_.Images();
}
std::optional<std::vector<uint8_t>> VirtualModem::ImageBytes(uint8_t type) {
  std::lock_guard lock(mutex_);
  const FlashImage* image = flash_.Latest(type);
  if (image == nullptr) return std::nullopt;
  return image->Assembled();
}
std::optional<std::vector<uint8_t>> VirtualModem::ImageHeader(uint8_t type) {
  std::lock_guard lock(mutex_);
  const FlashImage* image = flash_.Latest(type);
  if (image == nullptr) return std::nullopt;
  return image->header;
}
std::vector<uint8_t> VirtualModem::UploadedProgrammer() {
  std::lock_guard lock(mutex_);
  if (ram_written_.empty() || ram_written_.begin()->first != 0) return {};
  return std::vector<uint8_t>(ram_.begin(), ram_.begin() + ram_written_.begin()->second);
}
std::string VirtualModem::CurrentVersion() {
  std::lock_guard lock(mutex_);
  return current_version_;
}
uint8_t VirtualModem::Autorun() {
  std::lock_guard lock(mutex_);
  return autorun_;
}
uint8_t VirtualModem::VendorSwitchAA() {
  std::lock_guard lock(mutex_);
  return switch_aa_;
}
int VirtualModem::DiagPortMode() {
  std::lock_guard lock(mutex_);
  return diag_port_mode_;
}
std::vector<std::string> VirtualModem::CdRunCommands() {
  std::lock_guard lock(mutex_);
  return cdrun_;
}
bool VirtualModem::Offline() {
  std::lock_guard lock(mutex_);
  return offline_;
}
uint64_t VirtualModem::NowMs() { return transport_.NowMs(); }

ModemSnapshot VirtualModem::Snapshot() {
  std::lock_guard lock(mutex_);
  ModemSnapshot s;
  s.nowMs = transport_.NowMs();
  s.mode = mode_;
  s.ports = ports_;
  s.attachHistory = attach_history_;
  s.requests = requests_;
  s.violations = violations_;
  s.atCommands = at_commands_;
  s.vendorRequests = vendor_;
  s.handshake = handshake_;
  s.nvWrites = nv_writes_;
  s.partitionTables = flash_.PartitionTables();
  s.images = flash_.Images();
  if (!started_programmer_.empty()) {
    s.programmer = started_programmer_;
  } else if (!ram_written_.empty() && ram_written_.begin()->first == 0) {
    s.programmer.assign(ram_.begin(), ram_.begin() + ram_written_.begin()->second);
  }
  s.version = current_version_;
  s.autorun = autorun_;
  s.vendorSwitchAA = switch_aa_;
  s.diagPortMode = diag_port_mode_;
  s.cdRun = cdrun_;
  return s;
}

}  // namespace quorrel::sim

#include "sim/firmware_mode.h"

#include <algorithm>

#include "link/hdlc.h"
#include "sim/packet_fields.h"
#include "sim/request_codes.h"
#include "util/md5.h"
#include "util/text.h"

namespace quorrel::sim {

namespace {

std::string Trimmed(std::string_view s) {
  size_t b = 0, e = s.size();
  while (b < e && (s[b] == ' ' || s[b] == '\t' || s[b] == '\n')) ++b;
  while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t' || s[e - 1] == '\n')) --e;
  return std::string(s.substr(b, e - b));
}

}  // namespace

FirmwareMode::FirmwareMode(ModemCore& core)
    : core_(core),
      config_(core.config()),
      challenge_random_(config_.seed ^ 0xC4A11E46EULL),
      current_version_(config_.firmwareVersion),
      at_echo_(config_.atEcho),
      nv_reply_fault_uses_(config_.faults.nvReplies.size()) {}

void FirmwareMode::Boot() {
  offline_ = false;
  polls_since_offline_ = 0;
  pending_challenge_.reset();
  spc_unlocked_ = false;
  current_version_ = core_.memory.flashed ? config_.flashedVersion : config_.firmwareVersion;
}

// ------------------------------------------------------------------------ AT

void FirmwareMode::AtOnDiag(const std::string& line) {
  const bool firmware = core_.mode() == ModemMode::Normal;
  core_.records.atCommands.push_back({core_.NowMs(), PortRole::Diag, line, firmware});
  core_.Note(PortRole::Diag, -1, line.size(), "AT text " + line);
  if (!firmware) {
    core_.Violate("AT text \"" + line + "\" on the diagnostic port of the " +
                  std::string(ModeName(core_.mode())));
    return;
  }
  // The firmware's command interpreter echoes, then answers.
  std::string upper = ToUpperAscii(line);
  std::string answer = line + "\r";
  if (upper == "AT$QCDMG" || upper == "AT$DLOAD") {
    answer += "\r\nOK\r\n";
  } else {
    core_.Violate("AT command \"" + line + "\" on the diagnostic port");
    answer += "\r\nERROR\r\n";
  }
  core_.SendDiagBytes(std::vector<uint8_t>(answer.begin(), answer.end()),
                      config_.timings.atReplyMs);
}

void FirmwareMode::AtOnData(const std::string& raw) {
  const std::string line = Trimmed(raw);
  const bool answering = core_.mode() == ModemMode::Normal;
  core_.records.atCommands.push_back({core_.NowMs(), PortRole::Data, line, answering});
  core_.Note(PortRole::Data, -1, line.size(), "AT " + line);
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
    answer += Format("\r\n+VDIAG: %d\r\n", core_.memory.diagPortMode) + kOk;
  } else if (upper.rfind("AT+VDIAG=", 0) == 0 && upper.size() > 9 && upper.size() <= 11 &&
             std::all_of(upper.begin() + 9, upper.end(),
                         [](char c) { return c >= '0' && c <= '9'; })) {
    core_.memory.diagPortMode = std::stoi(upper.substr(9));
    answer += kOk;
  } else if (upper == "AT+VCDRUN=E" || upper == "AT+VCDRUN=8" || upper == "AT+VCDRUN=F" ||
             upper == "AT+VCDRUN=9") {
    cdrun_.push_back(upper.substr(10));
    answer += kOk;
  } else {
    core_.Violate("AT command \"" + line + "\" not known to the modem");
    answer += kError;
  }
  core_.SendAt(PortRole::Data, answer);
}

// ---------------------------------------------------------------- diagnostic

void FirmwareMode::Request(const HostFrame& frame) {
  const Packet& p = frame.packet;
  if (!frame.crcGood) {
    core_.Note(PortRole::Diag, p.empty() ? -1 : p[0], p.size(),
               "diagnostic request with a bad CRC (no answer)");
    core_.Violate("diagnostic request with a bad CRC");
    return;
  }
  const uint8_t code = p[0];
  core_.Note(PortRole::Diag, code, p.size(), Format("diagnostic 0x%02X", code));
  auto lengthIs = [&](size_t n) {
    if (p.size() == n) return true;
    Error(diag::kBadLength, p,
          Format("diagnostic request 0x%02X of %zu bytes (expected %zu)", code, p.size(), n));
    return false;
  };
  switch (code) {
    case diag::kEsn: {
      if (!lengthIs(1)) return;
      Packet r{diag::kEsn};
      PutLe32(r, config_.esn);
      core_.Reply(code, r, config_.timings.replyMs);
      return;
    }
    case diag::kModeChange:
      if (lengthIs(3)) ModeChange(p);
      return;
    case diag::kBuildVersion:
      if (lengthIs(1)) BuildVersion();
      return;
    case diag::kVersionTexts:
      if (lengthIs(1)) VersionTexts();
      return;
    case diag::kEnterDownloader:
      if (!lengthIs(1)) return;
      core_.Reply(code, Packet{diag::kEnterDownloader}, config_.timings.replyMs);
      if (config_.usb.reenumerate) {
        core_.ReenumerateInto(ModemMode::Downloader, config_.timings.downloaderStartMs,
                              "switch to the downloader");
      } else {
        core_.EnterAfter(ModemMode::Downloader, config_.timings.downloaderStartMs);
      }
      return;
    case diag::kVendorCommand:
      if (!lengthIs(6)) return;
      core_.records.vendor.push_back(
          {core_.NowMs(), "command_5c", Packet(p.begin() + 1, p.end()), "answered"});
      core_.Reply(code, p, config_.timings.replyMs);
      return;
    case diag::kServiceCode:
      if (lengthIs(7)) ServiceCode(p);
      return;
    case diag::kSubsystem:
      Subsystem(p);
      return;
    case diag::kNvRead:
    case diag::kNvWrite:
      if (lengthIs(133)) Nv(p);
      return;
    default:
      Error(diag::kBadCommand, p,
            Format("diagnostic request 0x%02X not known to the firmware", code));
      return;
  }
}

void FirmwareMode::Error(uint8_t error, const Packet& request, const std::string& why) {
  core_.Violate(why);
  core_.Reply(request.empty() ? 0 : request[0], ErrorReply(error, request),
              config_.timings.replyMs);
}

void FirmwareMode::ModeChange(const Packet& p) {
  const uint16_t mode = Le16(p, 1);
  switch (mode) {
    case diag::kOffline:
      offline_ = true;
      polls_since_offline_ = 0;
      core_.Reply(diag::kModeChange, p, config_.timings.replyMs);
      return;
    case diag::kReset:
      core_.Reply(diag::kModeChange, p, config_.timings.replyMs);
      core_.Restart("diagnostic reset");
      return;
    case diag::kOnline:
      offline_ = false;
      core_.Reply(diag::kModeChange, p, config_.timings.replyMs);
      return;
    default:
      Error(diag::kBadParameters, p,
            Format("mode change to mode %u, which the firmware does not offer", mode));
      return;
  }
}

void FirmwareMode::BuildVersion() {
  Packet r{diag::kBuildVersion, 0x00, 0x00, 0x00};
  PutLe32(r, 0x00006290);
  PutLe32(r, 0x00000001);
  PutField(r, config_.buildVersion, 256);
  r.back() = 0;  // the text always ends inside its field
  core_.Reply(diag::kBuildVersion, r, config_.timings.replyMs);
}

void FirmwareMode::VersionTexts() {
  // Fixed-width fields, each followed by one zero byte: texts 1-8 (30), the
  // release text (31, running on into fields 10 (13) and 11 (9) when longer).
  Packet r{diag::kVersionTexts};
  for (size_t i = 0; i < 8; ++i) {
    std::string_view text =
        i < config_.versionTexts.size() ? config_.versionTexts[i] : std::string_view();
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
  core_.Reply(diag::kVersionTexts, r, config_.timings.replyMs);
}

void FirmwareMode::ServiceCode(const Packet& p) {
  std::string digits(p.begin() + 1, p.end());
  spc_unlocked_ = digits == config_.serviceCode;
  core_.records.vendor.push_back({core_.NowMs(), "spc", Packet(p.begin() + 1, p.end()),
                                  spc_unlocked_ ? "accepted" : "refused"});
  core_.Reply(diag::kServiceCode,
              Packet{diag::kServiceCode, static_cast<uint8_t>(spc_unlocked_ ? 1 : 0)},
              config_.timings.replyMs);
}

// ------------------------------------------------------------------ subsystem

void FirmwareMode::Subsystem(const Packet& p) {
  if (p.size() < 4) {
    Error(diag::kBadLength, p, Format("subsystem request of %zu bytes", p.size()));
    return;
  }
  const uint8_t sub = p[1];
  auto command = [&](uint8_t subsystem, uint8_t code) {
    return sub == subsystem && p[2] == code && p[3] == 0x00;
  };
  if (command(diag::kReadinessSubsystem, diag::kReadinessPoll)) {
    ReadinessPoll(p);
  } else if (command(diag::kSwitchSubsystem, 0x00) || command(diag::kAutorunSubsystem, 0x00)) {
    VendorSetting(p);
  } else if (command(diag::kHandshakeSubsystem, diag::kGetChallenge)) {
    GetChallenge(p);
  } else if (command(diag::kHandshakeSubsystem, diag::kAnswerChallenge)) {
    AnswerChallenge(p);
  } else {
    Error(diag::kBadCommand, p,
          Format("subsystem request 4B %02X %02X %02X not known to the firmware", sub, p[2], p[3]));
  }
}

void FirmwareMode::ReadinessPoll(const Packet& p) {
  if (p.size() != 4) {
    Error(diag::kBadLength, p, "readiness poll with extra bytes");
    return;
  }
  ++polls_since_offline_;
  bool ready =
      !config_.faults.neverReady && offline_ && polls_since_offline_ > config_.readyAfterPolls;
  core_.records.vendor.push_back(
      {core_.NowMs(), "ready_poll", {}, ready ? "ready" : (offline_ ? "busy" : "busy (online)")});
  core_.Reply(diag::kSubsystem,
              Packet{diag::kSubsystem, diag::kReadinessSubsystem, diag::kReadinessPoll, 0x00,
                     static_cast<uint8_t>(ready ? 0 : 1), 0x00, 0x00, 0x00},
              config_.timings.replyMs);
}

void FirmwareMode::VendorSetting(const Packet& p) {
  const uint8_t sub = p[1];
  if (p.size() != 5) {
    Error(diag::kBadLength, p,
          Format("vendor request 0x%02X of %zu bytes (expected 5)", sub, p.size()));
    return;
  }
  const bool isSwitch = sub == diag::kSwitchSubsystem;
  (isSwitch ? core_.memory.switchAA : core_.memory.autorun) = p[4];
  core_.records.vendor.push_back(
      {core_.NowMs(), isSwitch ? "switch_aa" : "autorun", {p[4]}, "set"});
  core_.Reply(diag::kSubsystem, Packet{diag::kSubsystem, sub, 0x00, 0x00, 0x00},
              config_.timings.replyMs);
}

std::vector<uint8_t> FirmwareMode::NextChallenge() {
  if (config_.challenge) return *config_.challenge;
  // Drawn challenges avoid the two framing bytes, which travel stuffed.
  std::vector<uint8_t> c;
  while (c.size() < 8) {
    uint8_t b = challenge_random_.NextByte();
    if (!NeedsStuffing(b)) c.push_back(b);
  }
  return c;
}

void FirmwareMode::GetChallenge(const Packet& p) {
  if (p.size() != 4) {
    Error(diag::kBadLength, p, "challenge request with extra bytes");
    return;
  }
  pending_challenge_ = NextChallenge();
  ++handshake_.challenges;
  handshake_.challenge = *pending_challenge_;
  core_.records.vendor.push_back({core_.NowMs(), "get_value", *pending_challenge_, "challenge"});
  Packet r;
  r.reserve(4 + pending_challenge_->size());
  r.assign({diag::kSubsystem, diag::kHandshakeSubsystem, diag::kGetChallenge, 0x00});
  r.insert(r.end(), pending_challenge_->begin(), pending_challenge_->end());
  core_.Reply(diag::kSubsystem, r, config_.timings.replyMs);
}

void FirmwareMode::AnswerChallenge(const Packet& p) {
  if (p.size() != 20) {
    Error(diag::kBadLength, p, Format("challenge answer of %zu bytes (expected 20)", p.size()));
    return;
  }
  Packet answer(p.begin() + 4, p.end());
  ++handshake_.answers;
  handshake_.answer = answer;
  bool good = false;
  if (!pending_challenge_) {
    core_.Violate("challenge answer with no challenge handed out");
  } else {
    Md5Digest expected = Md5::Of(*pending_challenge_);
    good = std::equal(expected.begin(), expected.end(), answer.begin());
  }
  handshake_.result = good ? HandshakeState::Result::Passed : HandshakeState::Result::Failed;
  if (good) pending_challenge_.reset();
  core_.records.vendor.push_back({core_.NowMs(), "set_value", answer, good ? "passed" : "failed"});
  core_.Reply(diag::kSubsystem,
              Packet{diag::kSubsystem, diag::kHandshakeSubsystem, diag::kAnswerChallenge, 0x00,
                     static_cast<uint8_t>(good ? 0 : 1)},
              config_.timings.replyMs);
}

}  // namespace quorrel::sim

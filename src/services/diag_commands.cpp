#include "services/diag_commands.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "link/status_texts.h"
#include "services/diag_codec.h"
#include "util/text.h"

namespace quorrel {

namespace {

using RequestBuffer = std::array<uint8_t, diag::kMaxRequest>;

// One diagnostic request; check sees each intact reply that echoes its code.
bool Ask(PhoneLink& link, std::span<const uint8_t> packet, uint8_t tries, uint32_t timeoutMs,
         const ReplyCheck& check = {}) {
  return static_cast<bool>(link.Transact({LinkProtocol::Diag, packet, tries, timeoutMs}, check));
}

// A request of the code byte alone.
bool AskCode(PhoneLink& link, uint8_t code, uint32_t timeoutMs, const ReplyCheck& check = {}) {
  RequestBuffer buffer{};
  const size_t n = diag::EncodeCodeOnly(code, buffer);
  return Ask(link, std::span<const uint8_t>(buffer.data(), n), 1, timeoutMs, check);
}

int ModeChange(PhoneLink& link, uint16_t mode, uint32_t timeoutMs, const char* sentence) {
  RequestBuffer buffer{};
  const size_t n = diag::EncodeModeChange(mode, buffer);
  if (Ask(link, std::span<const uint8_t>(buffer.data(), n), 1, timeoutMs)) return 1;
  link.ChainError(sentence);
  return 0;
}

std::string HexBytes(const uint8_t* p, size_t n) {
  std::string out;
  for (size_t i = 0; i < n; ++i) out += Format(i ? " %02X" : "%02X", p[i]);
  return out;
}

// Sends a prepared packet and waits for the undecoded reply.
int RawExchange(PhoneLink& link, std::span<const uint8_t> packet, uint32_t timeoutMs) {
  return link.Transact({LinkProtocol::Raw, packet, 1, timeoutMs}) ? 1 : 0;
}

// True when the raw reply begins with expected. Otherwise the last error
// names what came back, so that a refusal is not reported with an older
// reason.
bool RawReplyBegins(PhoneLink& link, std::initializer_list<uint8_t> expected) {
  const std::span<const uint8_t> reply = link.RawReply();
  const size_t n = expected.size();
  if (reply.size() >= n && std::equal(expected.begin(), expected.end(), reply.begin())) {
    return true;
  }
  const size_t shown = std::min(reply.size(), n);
  link.SetLastError(Format("the Phone Answered %s instead of %s",
                           shown ? HexBytes(reply.data(), shown).c_str() : "nothing",
                           HexBytes(std::data(expected), n).c_str()));
  return false;
}

int Probe(PhoneLink& link, std::string_view command, std::string_view expected) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(command.data());
  const int length = static_cast<int>(command.size());
  SerialPort& port = link.Port();
  if (port.Write(bytes, length) != length) {
    link.SetLastError(kTextSendFailed);
    return 0;
  }
  link.clock().Sleep(100);
  if (port.BytesQueued() <= 0) {
    link.SetLastError(kTextNoReply);
    return 0;
  }
  std::array<uint8_t, 16> answer{};
  const int got = port.Read(answer.data(), static_cast<int>(expected.size()));
  // A short answer ends with a NUL where a character is expected.
  const std::string_view read(reinterpret_cast<const char*>(answer.data()),
                              static_cast<size_t>(std::max(got, 0)));
  if (!EqualsIgnoreCaseAscii(read, expected)) {
    link.SetLastError(Format("the Phone Gave No Proper Answer to %.*s",
                             static_cast<int>(command.size() - 1), command.data()));
    return 0;
  }
  return 1;
}

// The NV status of an NV request whose exchange failed. A diagnostic error
// reply to the last try is the phone refusing the request; it stands for the
// NV status of the same meaning. Anything else is no valid answer.
uint16_t NvStatusOfFailedExchange(const PhoneLink& link) {
  switch (link.ErrorReplyCode()) {
    case diag::kErrorBadCommand:
      return kNvStatusBadCommand;
    case diag::kErrorBadParameters:
    case diag::kErrorBadLength:
      return kNvStatusBadParameter;
    default:
      return kNvStatusFailure;
  }
}

}  // namespace

int GetEsn(PhoneLink& link, uint32_t& esn) {
  uint32_t value = kEsnFailure;
  const auto parse = [&value](const LinkReply& r) {
    value = diag::ParseEsn(r.packet);
    return ReplyVerdict::Accept();
  };
  if (AskCode(link, diag::kEsn, 300, parse)) {
    esn = value;
    return 1;
  }
  link.ChainError("Cannot Get the ESN Number of the Phone, Since %s");
  esn = kEsnFailure;
  return 0;
}

int ProbeEsn(PhoneLink& link, uint32_t timeoutMs) {
  return AskCode(link, diag::kEsn, timeoutMs) ? 1 : 0;
}

int ResetPhone(PhoneLink& link) {
  return ModeChange(link, 2, 10000, "Cannot Reset the Phone, Since %s");
}

int PutOffline(PhoneLink& link) {
  return ModeChange(link, 1, 10000, "Cannot Put the Phone Offline, Since %s");
}

int ChangeModeFour(PhoneLink& link) {
  return ModeChange(link, 4, 2000, "Cannot Put the Phone Offline, Since %s");
}

int GetBuildVersion(PhoneLink& link, std::array<char, kBuildTextSize>& text) {
  diag::BuildVersion version;
  const auto parse = [&version](const LinkReply& r) {
    version = diag::ParseBuildVersion(r.packet);
    return ReplyVerdict::Accept();
  };
  if (AskCode(link, diag::kBuildVersion, 300, parse)) {
    text = version.text;
    return 1;
  }
  link.ChainError("Cannot get software version from the mobile, Since %s");
  text.fill(0);
  return 0;
}

int GetVersionTexts(PhoneLink& link, VersionTexts& texts) {
  texts.Clear();
  VersionTexts parsed;
  const auto parse = [&parsed](const LinkReply& r) {
    ParseVersionTexts(r.packet, static_cast<uint16_t>(std::min<size_t>(r.rawLength, 0xFFFF)),
                      parsed);
    return ReplyVerdict::Accept();
  };
  if (!AskCode(link, diag::kVersionTexts, 5000, parse)) {
    link.ChainError("Cannot get four software version from the mobile, Since %s");
    texts.Clear();
    return 0;
  }
  // Each text as a string: a ninth text that fills its slot runs on through
  // fields 10 and 11 and is copied with them, up to the area's last byte.
  const auto& from = parsed.bytes;
  for (int n = 1; n <= 9; ++n) {
    const size_t off = static_cast<size_t>(n - 1) * VersionTexts::kTextWidth;
    for (size_t i = off; i + 1 < VersionTexts::kSize && from[i] != '\0'; ++i) {
      texts.bytes[i] = from[i];
    }
  }
  return 1;
}

int SwitchToDownloader(PhoneLink& link) {
  if (AskCode(link, diag::kDownloader, 20000)) return 1;
  link.ChainError("Cannot Switch to Downloader, Since %s");
  return 0;
}

int SendCommand5C(PhoneLink& link) {
  RequestBuffer buffer{};
  const size_t n = diag::EncodeVendor5C(buffer);
  return Ask(link, std::span<const uint8_t>(buffer.data(), n), 1, 2000) ? 1 : 0;
}

int PollReady(PhoneLink& link) {
  RequestBuffer buffer{};
  const size_t n = diag::EncodeReadinessPoll(buffer);
  uint8_t readiness = diag::kReadinessUnknown;
  const auto parse = [&readiness](const LinkReply& r) {
    readiness = diag::ParseReadiness(r.packet);
    return ReplyVerdict::Accept();
  };
  if (!Ask(link, std::span<const uint8_t>(buffer.data(), n), 1, 2000, parse)) return 0;
  if (readiness == 0) return 1;
  link.SetLastError(Format("the Phone is not Ready yet (state %u)", readiness));
  return 0;
}

int SendSpc(PhoneLink& link) {
  return SendServiceCode(link, "000000");
}

int SendServiceCode(PhoneLink& link, std::string_view code) {
  RequestBuffer buffer{};
  const size_t n = diag::EncodeSpc(code, buffer);
  return Ask(link, std::span<const uint8_t>(buffer.data(), n), 1, 2000) ? 1 : 0;
}

namespace {

// An NV read or write, three tries; a reply that is not the answer to it is
// refused like a lost one, but one for another item (a late copy of an
// earlier request's) is skipped: the try waits on for its own, and sending
// again for it would only bring more such copies. The reply when one was
// accepted.
std::optional<diag::NvReply> AskNv(PhoneLink& link, uint8_t code, uint16_t item,
                                   std::span<const uint8_t, kNvDataSize> data) {
  RequestBuffer buffer{};
  const size_t n = diag::EncodeNvRequest(code, item, data, buffer);
  std::optional<diag::NvReply> reply;
  const auto parse = [&reply, code, item](const LinkReply& r) {
    const auto parsed = diag::ParseNvReply(code, item, r.packet);
    if (!parsed) {
      const std::string why = diag::NvRefusalText(parsed.error());
      return parsed.error().kind == diag::NvRefusal::Kind::OtherItem ? ReplyVerdict::Skip(why)
                                                                     : ReplyVerdict::Refuse(why);
    }
    reply = *parsed;
    return ReplyVerdict::Accept();
  };
  if (!Ask(link, std::span<const uint8_t>(buffer.data(), n), 3, 2000, parse)) return std::nullopt;
  return reply;
}

}  // namespace

int WriteNvItem(PhoneLink& link, uint16_t item, std::span<const uint8_t, kNvDataSize> data,
                uint16_t& status) {
  status = 0;
  const std::optional<diag::NvReply> reply = AskNv(link, diag::kNvWrite, item, data);
  if (!reply) {
    link.SetLastError(Format("Cannot write #%d NVItem, Since %s", item, link.LastError().c_str()));
    status = NvStatusOfFailedExchange(link);
    return 0;
  }
  if (reply->status != 0) {
    link.SetLastError(Format("Cannot Write #%d NVItem, Since %s", item,
                             std::string(NvStatusText(reply->status)).c_str()));
    status = reply->status;
    return 0;
  }
  status = 0;
  return 1;
}

int ReadNvItem(PhoneLink& link, uint16_t item, std::span<uint8_t, kNvDataSize> data,
               uint16_t& status) {
  const std::optional<diag::NvReply> reply = AskNv(link, diag::kNvRead, item, data);
  if (!reply) {
    link.SetLastError(Format("cannot read #%d NVItem, since %s", item, link.LastError().c_str()));
    status = NvStatusOfFailedExchange(link);
    std::fill(data.begin(), data.end(), 0);
    return 0;
  }
  if (reply->status != 0) {
    link.SetLastError(Format("cannot read #%d NV Item, since %s", item,
                             std::string(NvStatusText(reply->status)).c_str()));
    status = reply->status;
    std::fill(data.begin(), data.end(), 0);
    return 0;
  }
  std::copy(reply->data.begin(), reply->data.end(), data.begin());
  status = 0;
  return 1;
}

int SetVendorSwitchAA(PhoneLink& link, uint8_t value) {
  const uint8_t packet[] = {diag::kSubsystem, 0xAA, 0x00, 0x00, value};
  if (!RawExchange(link, packet, 10000)) return 0;
  return RawReplyBegins(link, {0x4B, 0xAA, 0x00, 0x00, 0x00}) ? 1 : 0;
}

int SetAutorun(PhoneLink& link, uint8_t value) {
  const uint8_t packet[] = {diag::kSubsystem, 0xA1, 0x00, 0x00, value};
  if (!RawExchange(link, packet, 10000)) {
    link.ChainError("Cannot Set Autorun , Since %s");
    return 0;
  }
  return RawReplyBegins(link, {0x4B, 0xA1, 0x00, 0x00, 0x00}) ? 1 : 0;
}

int GetDeviceValue(PhoneLink& link, std::span<uint8_t, kDeviceValueSize> value) {
  const uint8_t packet[] = {diag::kSubsystem, 0xA3, 0x06, 0x00};
  std::fill(value.begin(), value.end(), 0);
  if (!RawExchange(link, packet, 1000)) {
    link.ChainError("Cannot get value from the mobile, Since %s");
    return 0;
  }
  if (!RawReplyBegins(link, {0x4B, 0xA3, 0x06, 0x00})) return 0;
  // The value may hold flag or escape bytes, which arrive stuffed: take
  // packet bytes 4 to 11, not raw ones (zeros where the reply is shorter).
  std::array<uint8_t, 4 + kDeviceValueSize> got{};
  size_t n = 0;
  const std::span<const uint8_t> reply = link.RawReply();
  for (size_t i = 0; i < reply.size() && n < got.size(); ++i) {
    uint8_t b = reply[i];
    if (b == 0x7E) break;
    if (b == 0x7D) {
      if (++i >= reply.size()) break;
      b = static_cast<uint8_t>(reply[i] ^ 0x20);
    }
    got[n++] = b;
  }
  std::copy(got.begin() + 4, got.end(), value.begin());
  return 1;
}

int SetDeviceValue(PhoneLink& link, std::span<const uint8_t, kDeviceAnswerSize> value) {
  std::array<uint8_t, 4 + kDeviceAnswerSize> packet{diag::kSubsystem, 0xA3, 0x07, 0x00};
  std::copy(value.begin(), value.end(), packet.begin() + 4);
  if (!RawExchange(link, packet, 1000)) {
    link.ChainError("Cannot get value from the mobile, Since %s");
    return 0;
  }
  return RawReplyBegins(link, {0x4B, 0xA3, 0x07, 0x00, 0x00}) ? 1 : 0;
}

int ProbeDiagMode(PhoneLink& link) {
  return Probe(link, "AT$QCDMG\r", "AT$QCDMG\r\r\nOK\r\n");
}

int ProbeDownloadMode(PhoneLink& link) {
  return Probe(link, "AT$DLOAD\r", "AT$DLOAD\r");
}

int CheckCommunication(PhoneLink& link) {
  uint32_t esn = 0;
  if (GetEsn(link, esn)) return 1;
  if (ProbeDiagMode(link)) return 1;
  if (GetEsn(link, esn)) return 1;
  link.ChainError("Cannot communicate with the mobile, Since %s");
  return 0;
}

}  // namespace quorrel

#include "services/diag_commands.h"

#include <algorithm>
#include <cstring>
#include <string_view>

#include "link/status_texts.h"
#include "services/diag_codec.h"
#include "util/text.h"

namespace quorrel {

namespace {

int ModeChange(PhoneLink& link, uint16_t mode, uint32_t timeoutMs, const char* sentence) {
  link.BeginRequest(LinkProtocol::Diag, diag::kModeChange);
  link.request.mode = mode;
  if (link.Exchange(1, timeoutMs)) return 1;
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
  link.ResetRequest();
  link.protocol = LinkProtocol::Raw;
  link.requestCode = packet[0];
  std::copy(packet.begin(), packet.end(), link.frameBuffer.begin());
  link.frameLength = static_cast<uint32_t>(packet.size());
  return link.Exchange(1, timeoutMs);
}

// True when the raw reply begins with expected. Otherwise lastError names
// what came back, so that a refusal is not reported with an older reason.
bool RawReplyBegins(PhoneLink& link, std::initializer_list<uint8_t> expected) {
  const size_t n = expected.size();
  if (link.replyLength >= n && std::equal(expected.begin(), expected.end(), link.replyBuffer.begin())) {
    return true;
  }
  const size_t shown = std::min<size_t>(link.replyLength, n);
  link.lastError = Format("the Phone Answered %s instead of %s",
                          shown ? HexBytes(link.replyBuffer.data(), shown).c_str() : "nothing",
                          HexBytes(std::data(expected), n).c_str());
  return false;
}

int Probe(PhoneLink& link, std::string_view command, std::string_view expected) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(command.data());
  const int length = static_cast<int>(command.size());
  if (link.port.Write(bytes, length) != length) {
    link.lastError = kTextSendFailed;
    return 0;
  }
  link.clock().Sleep(100);
  if (link.port.BytesQueued() <= 0) {
    link.lastError = kTextNoReply;
    return 0;
  }
  std::array<uint8_t, 16> answer{};
  const int got = link.port.Read(answer.data(), static_cast<int>(expected.size()));
  // A short answer ends with a NUL where a character is expected.
  const std::string_view read(reinterpret_cast<const char*>(answer.data()),
                              static_cast<size_t>(std::max(got, 0)));
  if (!EqualsIgnoreCaseAscii(read, expected)) {
    link.lastError = Format("the Phone Gave No Proper Answer to %.*s",
                            static_cast<int>(command.size() - 1), command.data());
    return 0;
  }
  return 1;
}

// The NV status of an NV request whose exchange failed. A diagnostic error
// reply to the last try is the phone refusing the request; it stands for the
// NV status of the same meaning. Anything else is no valid answer.
uint16_t NvStatusOfFailedExchange(const PhoneLink& link) {
  switch (link.diagErrorReply) {
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
  link.BeginRequest(LinkProtocol::Diag, diag::kEsn);
  if (link.Exchange(1, 300)) {
    esn = link.reply.esn;
    return 1;
  }
  link.ChainError("Cannot Get the ESN Number of the Phone, Since %s");
  esn = kEsnFailure;
  return 0;
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
  link.BeginRequest(LinkProtocol::Diag, diag::kBuildVersion);
  if (link.Exchange(1, 300)) {
    text = link.reply.buildText;
    return 1;
  }
  link.ChainError("Cannot get software version from the mobile, Since %s");
  text.fill(0);
  return 0;
}

int GetVersionTexts(PhoneLink& link, VersionTexts& texts) {
  texts.Clear();
  link.BeginRequest(LinkProtocol::Diag, diag::kVersionTexts);
  if (!link.Exchange(1, 5000)) {
    link.ChainError("Cannot get four software version from the mobile, Since %s");
    texts.Clear();
    return 0;
  }
  // Each text as a string: a ninth text that fills its slot runs on through
  // fields 10 and 11 and is copied with them, up to the area's last byte.
  const auto& from = link.reply.versions.bytes;
  for (int n = 1; n <= 9; ++n) {
    const size_t off = static_cast<size_t>(n - 1) * VersionTexts::kTextWidth;
    for (size_t i = off; i + 1 < VersionTexts::kSize && from[i] != '\0'; ++i) {
      texts.bytes[i] = from[i];
    }
  }
  return 1;
}

int SwitchToDownloader(PhoneLink& link) {
  link.BeginRequest(LinkProtocol::Diag, diag::kDownloader);
  if (link.Exchange(1, 20000)) return 1;
  link.ChainError("Cannot Switch to Downloader, Since %s");
  return 0;
}

int SendCommand5C(PhoneLink& link) {
  link.BeginRequest(LinkProtocol::Diag, diag::kVendor5C);
  return link.Exchange(1, 2000);
}

int PollReady(PhoneLink& link) {
  link.BeginRequest(LinkProtocol::Diag, diag::kSubsystem);
  if (!link.Exchange(1, 2000)) return 0;
  if (link.reply.readiness == 0) return 1;
  link.lastError = Format("the Phone is not Ready yet (state %u)", link.reply.readiness);
  return 0;
}

int SendSpc(PhoneLink& link) {
  link.BeginRequest(LinkProtocol::Diag, diag::kSpc);
  return link.Exchange(1, 2000);
}

int WriteNvItem(PhoneLink& link, uint16_t item, std::span<const uint8_t, kNvDataSize> data,
                uint16_t& status) {
  link.BeginRequest(LinkProtocol::Diag, diag::kNvWrite);
  link.request.nvItem = item;
  std::copy(data.begin(), data.end(), link.request.nvData.begin());
  link.request.nvStatus = 0;
  status = 0;
  if (!link.Exchange(3, 2000)) {
    link.scratchText = Format("Cannot write #%d NVItem, Since %s", item, link.lastError.c_str());
    link.lastError = link.scratchText;
    status = NvStatusOfFailedExchange(link);
    return 0;
  }
  const uint16_t s = link.reply.nvStatus;
  if (s != 0) {
    link.scratchText = Format("Cannot Write #%d NVItem, Since %s", item,
                              std::string(NvStatusText(s)).c_str());
    link.lastError = link.scratchText;
    status = s;
    return 0;
  }
  status = 0;
  return 1;
}

int ReadNvItem(PhoneLink& link, uint16_t item, std::span<uint8_t, kNvDataSize> data,
               uint16_t& status) {
  link.BeginRequest(LinkProtocol::Diag, diag::kNvRead);
  link.request.nvItem = item;
  std::copy(data.begin(), data.end(), link.request.nvData.begin());
  link.request.nvStatus = 0;
  if (!link.Exchange(3, 2000)) {
    link.scratchText = Format("cannot read #%d NVItem, since %s", item, link.lastError.c_str());
    link.lastError = link.scratchText;
    status = NvStatusOfFailedExchange(link);
    std::fill(data.begin(), data.end(), 0);
    return 0;
  }
  const uint16_t s = link.reply.nvStatus;
  if (s != 0) {
    link.scratchText = Format("cannot read #%d NV Item, since %s", item,
                              std::string(NvStatusText(s)).c_str());
    link.lastError = link.scratchText;
    status = s;
    std::fill(data.begin(), data.end(), 0);
    return 0;
  }
  std::copy(link.reply.nvData.begin(), link.reply.nvData.end(), data.begin());
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
  for (size_t i = 0; i < link.replyLength && n < got.size(); ++i) {
    uint8_t b = link.replyBuffer[i];
    if (b == 0x7E) break;
    if (b == 0x7D) {
      if (++i >= link.replyLength) break;
      b = static_cast<uint8_t>(link.replyBuffer[i] ^ 0x20);
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

int ProbeDownloadMode(PhoneLink& link) { return Probe(link, "AT$DLOAD\r", "AT$DLOAD\r"); }

int CheckCommunication(PhoneLink& link) {
  uint32_t esn = 0;
  if (GetEsn(link, esn)) return 1;
  if (ProbeDiagMode(link)) return 1;
  if (GetEsn(link, esn)) return 1;
  link.ChainError("Cannot communicate with the mobile, Since %s");
  return 0;
}

}  // namespace quorrel

#include "download/dmss.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <string>

#include "link/status_texts.h"
#include "services/packet_bytes.h"
#include "util/text.h"

namespace quorrel {

namespace {

// Flash size by size code; codes 7 and above are taken as 0 (unknown).
uint32_t FlashSizeBytes(uint8_t sizeCode) {
  switch (sizeCode) {
    case 1:
      return 0x00080000;
    case 2:
    case 3:
      return 0x00100000;
    case 4:
      return 0x00200000;
    case 5:
      return 0x00400000;
    case 6:
      return 0x00800000;
    default:
      return 0;
  }
}

void SetUnknown(std::array<char, 64>& text) {
  text.fill(0);
  static constexpr char kUnknown[] = "Unknown";
  std::memcpy(text.data(), kUnknown, sizeof kUnknown);
}

using RequestBuffer = std::array<uint8_t, dmss::kMaxRequest>;

ReplyVerdict RefuseReject(const dmss::Reject& reject) {
  return ReplyVerdict::Refuse(DmssRejectText(reject.reason));
}

// Accepts every reply but a reject; the code of the one accepted in code.
ReplyCheck AcceptCode(uint8_t& code) {
  return [&code](const LinkReply& r) {
    const auto parsed = dmss::ParseReply(r.packet);
    if (!parsed) return RefuseReject(parsed.error());
    code = *parsed;
    return ReplyVerdict::Accept();
  };
}

bool Ask(PhoneLink& link, std::span<const uint8_t> packet, uint8_t tries, uint32_t timeoutMs,
         const ReplyCheck& check) {
  return static_cast<bool>(link.Transact({LinkProtocol::Dmss, packet, tries, timeoutMs}, check));
}

bool AskCode(PhoneLink& link, uint8_t request, uint8_t tries, uint32_t timeoutMs, uint8_t& code) {
  RequestBuffer buffer{};
  const size_t n = dmss::EncodeCodeOnly(request, buffer);
  return Ask(link, std::span<const uint8_t>(buffer.data(), n), tries, timeoutMs, AcceptCode(code));
}

}  // namespace

namespace dmss {

size_t EncodeWrite(uint32_t address, std::span<const uint8_t> data, std::span<uint8_t> out) {
  if (data.size() > kMaxWriteData) return 0;
  PacketWriter w(out);
  w.Byte(kWrite);
  w.Be32(address);
  w.Be16(static_cast<uint16_t>(data.size()));
  w.Bytes(data);
  return w.Result();
}

size_t EncodeGo(uint16_t segment, uint16_t offset, std::span<uint8_t> out) {
  PacketWriter w(out);
  w.Byte(kGo);
  w.Be16(segment);
  w.Be16(offset);
  return w.Result();
}

size_t EncodeCodeOnly(uint8_t code, std::span<uint8_t> out) {
  PacketWriter w(out);
  w.Byte(code);
  return w.Result();
}

Parsed<uint8_t, Reject> ParseReply(std::span<const uint8_t> packet) {
  const PacketReader r(packet);
  if (r.Byte(0) == kReject) return Reject{r.Be16(1)};
  return r.Byte(0);
}

Parsed<FlashParameters, Reject> ParseParameters(std::span<const uint8_t> packet) {
  const PacketReader r(packet);
  if (r.Byte(0) == kReject) return Reject{r.Be16(1)};
  FlashParameters f;
  if (r.Byte(0) != kParametersReply) return f;
  f.replyCode = r.Byte(0);
  f.version = r.Byte(1);
  f.minVersion = r.Byte(2);
  f.value32 = r.Le32(3);
  f.model = r.Byte(7);
  f.rawSizeCode = r.Byte(8);
  f.sizeCode = f.rawSizeCode >= 7 ? 0 : f.rawSizeCode;
  f.flashSizeBytes = FlashSizeBytes(f.sizeCode);
  f.flashKind = r.Byte(9) >= 35 ? 0 : r.Byte(9);
  SetUnknown(f.flashText1);
  SetUnknown(f.flashText2);
  return f;
}

}  // namespace dmss

int DmssWrite(PhoneLink& link, const uint8_t* data, uint32_t address, uint32_t length) {
  static constexpr char kSentence[] = "Write a Block of Data to Memory Failed, Since %s";
  // Refused before anything is sent: the packet carries at most
  // kMaxWriteData bytes (and its length field 16 bits).
  if (length > kMaxWriteData) {
    const std::string reason =
        Format("the Block of %u Bytes is Longer than the %zu Bytes a Write Can Carry", length,
               kMaxWriteData);
    link.SetLastError(Format(kSentence, reason.c_str()));
    return 0;
  }
  if (length > 0 && data == nullptr) {
    link.SetLastError(Format(kSentence, "No Data was Given for the Block"));
    return 0;
  }
  RequestBuffer buffer{};
  const size_t n = dmss::EncodeWrite(address, std::span<const uint8_t>(data, length), buffer);
  uint8_t code = 0;
  if (Ask(link, std::span<const uint8_t>(buffer.data(), n), 3, 5000, AcceptCode(code))) return 1;
  link.ChainError(kSentence);
  return 0;
}

int DmssGo(PhoneLink& link, uint32_t segment, uint32_t offset) {
  RequestBuffer buffer{};
  const size_t n =
      dmss::EncodeGo(static_cast<uint16_t>(segment), static_cast<uint16_t>(offset), buffer);
  uint8_t code = 0;
  if (Ask(link, std::span<const uint8_t>(buffer.data(), n), 3, 2000, AcceptCode(code))) return 1;
  link.ChainError("Cannot begin execution at an address, Since %s");
  return 0;
}

int DmssNoOp(PhoneLink& link) {
  uint8_t code = 0;
  if (AskCode(link, dmss::kNoOp, 1, 20000, code)) {
    if (code == dmss::kAck) return 1;
    // Well framed, but neither acknowledge nor reject: say so rather than
    // repeat an older reason.
    link.SetLastError(Format("the Reply Code 0x%02X is neither Acknowledge nor Reject", code));
  }
  link.ChainError("Cannot Do No Operation, Since %s");
  return 0;
}

int DmssGetParameters(PhoneLink& link, FlashParameters& parameters) {
  RequestBuffer buffer{};
  const size_t n = dmss::EncodeCodeOnly(dmss::kParameters, buffer);
  // A reply other than the parameter reply is accepted too; it must not hand
  // out the parameters of an earlier reply.
  FlashParameters got;
  const auto parse = [&got](const LinkReply& r) {
    const auto parsed = dmss::ParseParameters(r.packet);
    if (!parsed) return RefuseReject(parsed.error());
    got = *parsed;
    return ReplyVerdict::Accept();
  };
  if (Ask(link, std::span<const uint8_t>(buffer.data(), n), 1, 20000, parse)) {
    parameters = got;
    return 1;
  }
  link.ChainError("Cannot Get flash Information, Since %s");
  parameters = FlashParameters{};
  return 0;
}

int DmssReset(PhoneLink& link) {
  uint8_t code = 0;
  if (AskCode(link, dmss::kReset, 3, 2000, code)) return 1;
  link.ChainError("Cannot Reset the Phone, Since %s");
  return 0;
}

int DmssProbeNoOp(PhoneLink& link, uint32_t timeoutMs) {
  uint8_t code = 0;
  return AskCode(link, dmss::kNoOp, 1, timeoutMs, code) ? 1 : 0;
}

}  // namespace quorrel

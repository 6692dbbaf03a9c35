#include "download/dmss.h"

#include <algorithm>
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
    case 1: return 0x00080000;
    case 2:
    case 3: return 0x00100000;
    case 4: return 0x00200000;
    case 5: return 0x00400000;
    case 6: return 0x00800000;
    default: return 0;
  }
}

void SetUnknown(std::array<char, 64>& text) {
  text.fill(0);
  static constexpr char kUnknown[] = "Unknown";
  std::memcpy(text.data(), kUnknown, sizeof kUnknown);
}

class DmssPacketCodec final : public PacketCodec {
 public:
  size_t BuildPacket(const PhoneLink& link, std::span<uint8_t> out) const override {
    PacketWriter w(out);
    const RequestParams& r = link.request;
    switch (link.requestCode) {
      case dmss::kWrite: {
        const size_t n = std::min<size_t>(r.length, kMaxWriteData);
        w.Byte(dmss::kWrite);
        w.Be32(r.address);
        w.Be16(static_cast<uint16_t>(n));
        w.Bytes(std::span<const uint8_t>(r.data.data(), n));
        break;
      }
      case dmss::kGo:
        w.Byte(dmss::kGo);
        w.Be16(r.segment);
        w.Be16(r.offset);
        break;
      case dmss::kNoOp:
      case dmss::kParameters:
      case dmss::kReset:
        w.Byte(link.requestCode);
        break;
      default:
        break;
    }
    return w.Result();
  }

  int ParseReply(PhoneLink& link) const override {
    const uint8_t* p = link.replyBuffer.data();
    switch (link.reply.code) {
      case dmss::kAck:
        return 1;
      case dmss::kReject:
        link.lastError = DmssRejectText(ReadBe16(p + 1));
        return 0;
      case dmss::kParametersReply: {
        FlashParameters& f = link.reply.flash;
        f.replyCode = p[0];
        f.version = p[1];
        f.minVersion = p[2];
        f.value32 = ReadLe32(p + 3);
        f.model = p[7];
        f.rawSizeCode = p[8];
        f.sizeCode = p[8] >= 7 ? 0 : p[8];
        f.flashSizeBytes = FlashSizeBytes(f.sizeCode);
        f.flashKind = p[9] >= 35 ? 0 : p[9];
        SetUnknown(f.flashText1);
        SetUnknown(f.flashText2);
        return 1;
      }
      default:
        return 1;
    }
  }
};

}  // namespace

const PacketCodec& DmssCodec() {
  static const DmssPacketCodec codec;
  return codec;
}

int DmssWrite(PhoneLink& link, const uint8_t* data, uint32_t address, uint32_t length) {
  static constexpr char kSentence[] = "Write a Block of Data to Memory Failed, Since %s";
  // Refused before anything is sent: the packet carries at most
  // kMaxWriteData bytes (and its length field 16 bits).
  if (length > kMaxWriteData) {
    const std::string reason =
        Format("the Block of %u Bytes is Longer than the %zu Bytes a Write Can Carry", length,
               kMaxWriteData);
    link.lastError = Format(kSentence, reason.c_str());
    return 0;
  }
  if (length > 0 && data == nullptr) {
    link.lastError = Format(kSentence, "No Data was Given for the Block");
    return 0;
  }
  link.BeginRequest(LinkProtocol::Dmss, dmss::kWrite);
  link.request.address = address;
  link.request.length = length;
  if (length > 0) std::memcpy(link.request.data.data(), data, length);
  if (link.Exchange(3, 5000)) return 1;
  link.ChainError(kSentence);
  return 0;
}

int DmssGo(PhoneLink& link, uint32_t segment, uint32_t offset) {
  link.BeginRequest(LinkProtocol::Dmss, dmss::kGo);
  link.request.segment = static_cast<uint16_t>(segment);
  link.request.offset = static_cast<uint16_t>(offset);
  if (link.Exchange(3, 2000)) return 1;
  link.ChainError("Cannot begin execution at an address, Since %s");
  return 0;
}

int DmssNoOp(PhoneLink& link) {
  link.BeginRequest(LinkProtocol::Dmss, dmss::kNoOp);
  if (link.Exchange(1, 20000)) {
    if (link.reply.code == dmss::kAck) return 1;
    // Well framed, but neither acknowledge nor reject: say so rather than
    // repeat an older reason.
    link.lastError = Format("the Reply Code 0x%02X is neither Acknowledge nor Reject",
                            link.reply.code);
  }
  link.ChainError("Cannot Do No Operation, Since %s");
  return 0;
}

int DmssGetParameters(PhoneLink& link, FlashParameters& parameters) {
  link.BeginRequest(LinkProtocol::Dmss, dmss::kParameters);
  // A reply other than the parameter reply is accepted too; it must not hand
  // out the parameters of an earlier reply.
  link.reply.flash = FlashParameters{};
  if (link.Exchange(1, 20000)) {
    parameters = link.reply.flash;
    return 1;
  }
  link.ChainError("Cannot Get flash Information, Since %s");
  parameters = FlashParameters{};
  return 0;
}

int DmssReset(PhoneLink& link) {
  link.BeginRequest(LinkProtocol::Dmss, dmss::kReset);
  if (link.Exchange(3, 2000)) return 1;
  link.ChainError("Cannot Reset the Phone, Since %s");
  return 0;
}

}  // namespace quorrel

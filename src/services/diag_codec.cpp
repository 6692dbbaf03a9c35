#include "services/diag_codec.h"

#include <algorithm>
#include <cstring>

#include "services/packet_bytes.h"
#include "util/text.h"

namespace quorrel {

namespace {

struct VersionField {
  size_t slot;   // offset in VersionTexts
  size_t width;  // bytes taken from the reply
};

constexpr size_t Text(int n) { return static_cast<size_t>(n - 1) * VersionTexts::kTextWidth; }
constexpr size_t kF10 = VersionTexts::kField10Offset;
constexpr size_t kF11 = VersionTexts::kField11Offset;

constexpr VersionField kLayoutFull[] = {
    {Text(1), 30}, {Text(2), 30}, {Text(3), 30}, {Text(4), 30}, {Text(5), 30}, {Text(6), 30},
    {Text(7), 30}, {Text(8), 30}, {Text(9), 31}, {kF10, 13},    {kF11, 9}};
constexpr VersionField kLayoutEight[] = {
    {Text(1), 30}, {Text(2), 30}, {Text(3), 30}, {Text(4), 30}, {Text(5), 30},
    {Text(6), 30}, {Text(7), 30}, {Text(8), 30}, {kF10, 12},    {kF11, 9}};
constexpr VersionField kLayoutFour[] = {{Text(1), 30}, {Text(2), 30}, {Text(3), 30},
                                        {Text(4), 30}, {kF10, 12},    {kF11, 9}};
constexpr VersionField kLayoutShort[] = {{Text(1), 22}, {Text(2), 22}, {Text(3), 24},
                                         {Text(4), 24}, {kF10, 13},    {kF11, 10}};

class DiagPacketCodec final : public PacketCodec {
 public:
  size_t BuildPacket(const PhoneLink& link, std::span<uint8_t> out) const override {
    PacketWriter w(out);
    const RequestParams& r = link.request;
    switch (link.requestCode) {
      case diag::kEsn:
      case diag::kVersionTexts:
      case diag::kDownloader:
      case diag::kBuildVersion:
        w.Byte(link.requestCode);
        break;
      case diag::kModeChange:
        w.Byte(link.requestCode);
        w.Le16(r.mode);
        break;
      case diag::kNvRead:
      case diag::kNvWrite:
        w.Byte(link.requestCode);
        w.Le16(r.nvItem);
        w.Bytes(r.nvData);
        w.Le16(r.nvStatus);
        break;
      case diag::kSpc:
        w.Byte(link.requestCode);
        // Exactly six digits: a shorter setting is padded with '0'.
        for (size_t i = 0; i < diag::kSpcDigits; ++i) {
          w.Byte(i < link.serviceCode.size() ? static_cast<uint8_t>(link.serviceCode[i]) : '0');
        }
        break;
      case diag::kSubsystem:
        w.Byte(link.requestCode);
        w.Bytes(std::initializer_list<uint8_t>{0x04, 0x0E, 0x00});
        break;
      case diag::kVendor5C:
        w.Byte(link.requestCode);
        w.Bytes(std::initializer_list<uint8_t>{0x01, 0x00, 0xC2, 0x01, 0x00});
        break;
      default:
        break;
    }
    return w.Result();
  }

  // Accepts every reply that passed the framing, except an NV reply that is
  // not the answer to this request: another command, another item, or too
  // short or too long to hold the item's data and status.
  int ParseReply(PhoneLink& link) const override {
    const uint8_t* p = link.replyBuffer.data();
    ReplyRecord& reply = link.reply;
    switch (reply.code) {
      case diag::kEsn:
        reply.esn = ReadLe32(p + 1);
        break;
      case diag::kModeChange:
        reply.mode = ReadLe16(p + 1);
        break;
      case diag::kNvRead:
      case diag::kNvWrite:
        return ParseNvReply(link);
      case diag::kBuildVersion:
        std::memcpy(reply.buildHead.data(), p + 1, reply.buildHead.size());
        reply.buildValue1 = ReadLe32(p + 4);
        reply.buildValue2 = ReadLe32(p + 8);
        reply.buildText.fill(0);
        std::memcpy(reply.buildText.data(), p + 12, reply.buildText.size());
        break;
      case diag::kSubsystem:
        // A reply too short to carry the readiness byte does not say ready.
        reply.readiness = link.packetLength > 4 ? p[4] : 0xFF;
        break;
      case diag::kVersionTexts:
        ParseVersionTexts(std::span<const uint8_t>(link.replyBuffer), link.rawReplyLength,
                          reply.versions);
        break;
      default:
        break;
    }
    return 1;
  }

 private:
  static int ParseNvReply(PhoneLink& link) {
    const uint8_t* p = link.replyBuffer.data();
    ReplyRecord& reply = link.reply;
    if (reply.code != link.requestCode) {
      link.lastError = Format("the Phone Answered Command 0x%02X to an NV Request 0x%02X", reply.code,
                              link.requestCode);
      return 0;
    }
    if (link.packetLength != diag::kNvPacketSize) {
      link.lastError = Format("the NV Reply is %u Bytes Long instead of %zu", link.packetLength,
                              diag::kNvPacketSize);
      return 0;
    }
    const uint16_t item = ReadLe16(p + 1);
    if (item != link.request.nvItem) {
      link.lastError = Format("the Phone Answered for #%u NVItem instead of #%u", item, link.request.nvItem);
      return 0;
    }
    reply.nvItem = item;
    std::memcpy(reply.nvData.data(), p + 3, kNvDataSize);
    reply.nvStatus = ReadLe16(p + 3 + kNvDataSize);
    return 1;
  }
};

}  // namespace

void ParseVersionTexts(std::span<const uint8_t> packet, uint16_t rawLength, VersionTexts& out) {
  std::span<const VersionField> layout;
  if (rawLength > 290) {
    layout = kLayoutFull;
  } else if (rawLength > 240) {
    layout = kLayoutEight;
  } else if (rawLength > 130) {
    layout = kLayoutFour;
  } else {
    layout = kLayoutShort;
  }

  out.Clear();
  size_t pos = 1;
  for (const VersionField& f : layout) {
    // Bytes past the end of the packet read as zeros.
    for (size_t i = 0; i < f.width; ++i) {
      const size_t at = f.slot + i;
      if (at >= VersionTexts::kSize) break;
      out.bytes[at] = pos + i < packet.size() ? static_cast<char>(packet[pos + i]) : '\0';
    }
    // The terminator lands on the next field's first byte when the text
    // fills its slot; that field then overwrites it.
    if (f.slot + f.width < VersionTexts::kSize) out.bytes[f.slot + f.width] = '\0';
    pos += f.width;
    // One zero separator between fields is skipped.
    if (pos < packet.size() && packet[pos] == 0) ++pos;
  }
}

const PacketCodec& DiagCodec() {
  static const DiagPacketCodec codec;
  return codec;
}

}  // namespace quorrel

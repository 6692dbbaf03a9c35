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

constexpr size_t Text(int n) {
  return static_cast<size_t>(n - 1) * VersionTexts::kTextWidth;
}
constexpr size_t kF10 = VersionTexts::kField10Offset;
constexpr size_t kF11 = VersionTexts::kField11Offset;

constexpr VersionField kLayoutFull[] = {{Text(1), 30}, {Text(2), 30}, {Text(3), 30}, {Text(4), 30},
                                        {Text(5), 30}, {Text(6), 30}, {Text(7), 30}, {Text(8), 30},
                                        {Text(9), 31}, {kF10, 13},    {kF11, 9}};
constexpr VersionField kLayoutEight[] = {{Text(1), 30}, {Text(2), 30}, {Text(3), 30}, {Text(4), 30},
                                         {Text(5), 30}, {Text(6), 30}, {Text(7), 30}, {Text(8), 30},
                                         {kF10, 12},    {kF11, 9}};
constexpr VersionField kLayoutFour[] = {{Text(1), 30}, {Text(2), 30}, {Text(3), 30},
                                        {Text(4), 30}, {kF10, 12},    {kF11, 9}};
constexpr VersionField kLayoutShort[] = {{Text(1), 22}, {Text(2), 22}, {Text(3), 24},
                                         {Text(4), 24}, {kF10, 13},    {kF11, 10}};

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

namespace diag {

size_t EncodeCodeOnly(uint8_t code, std::span<uint8_t> out) {
  PacketWriter w(out);
  w.Byte(code);
  return w.Result();
}

size_t EncodeModeChange(uint16_t mode, std::span<uint8_t> out) {
  PacketWriter w(out);
  w.Byte(kModeChange);
  w.Le16(mode);
  return w.Result();
}

size_t EncodeNvRequest(uint8_t code, uint16_t item, std::span<const uint8_t, kNvDataSize> data,
                       std::span<uint8_t> out) {
  PacketWriter w(out);
  w.Byte(code);
  w.Le16(item);
  w.Bytes(data);
  w.Le16(0);
  return w.Result();
}

size_t EncodeSpc(std::string_view digits, std::span<uint8_t> out) {
  PacketWriter w(out);
  w.Byte(kSpc);
  for (size_t i = 0; i < kSpcDigits; ++i) {
    w.Byte(i < digits.size() ? static_cast<uint8_t>(digits[i]) : '0');
  }
  return w.Result();
}

size_t EncodeReadinessPoll(std::span<uint8_t> out) {
  PacketWriter w(out);
  w.Byte(kSubsystem);
  w.Bytes(std::initializer_list<uint8_t>{0x04, 0x0E, 0x00});
  return w.Result();
}

size_t EncodeVendor5C(std::span<uint8_t> out) {
  PacketWriter w(out);
  w.Byte(kVendor5C);
  w.Bytes(std::initializer_list<uint8_t>{0x01, 0x00, 0xC2, 0x01, 0x00});
  return w.Result();
}

uint32_t ParseEsn(std::span<const uint8_t> packet) {
  return PacketReader(packet).Le32(1);
}

BuildVersion ParseBuildVersion(std::span<const uint8_t> packet) {
  const PacketReader r(packet);
  BuildVersion out;
  r.Copy(1, std::span<uint8_t>(out.head));
  out.value1 = r.Le32(4);
  out.value2 = r.Le32(8);
  r.Copy(12, std::span<char>(out.text));
  return out;
}

uint8_t ParseReadiness(std::span<const uint8_t> packet) {
  return packet.size() > 4 ? packet[4] : kReadinessUnknown;
}

Parsed<NvReply, NvRefusal> ParseNvReply(uint8_t requestCode, uint16_t item,
                                        std::span<const uint8_t> packet) {
  const PacketReader r(packet);
  if (r.Byte(0) != requestCode) {
    return NvRefusal{NvRefusal::Kind::OtherCommand, r.Byte(0), requestCode};
  }
  if (packet.size() != kNvPacketSize) {
    return NvRefusal{NvRefusal::Kind::WrongLength, static_cast<uint32_t>(packet.size()),
                     kNvPacketSize};
  }
  NvReply out;
  out.item = r.Le16(1);
  if (out.item != item) return NvRefusal{NvRefusal::Kind::OtherItem, out.item, item};
  r.Copy(3, std::span<uint8_t>(out.data));
  out.status = r.Le16(3 + kNvDataSize);
  return out;
}

std::string NvRefusalText(const NvRefusal& refusal) {
  switch (refusal.kind) {
    case NvRefusal::Kind::OtherCommand:
      return Format("the Phone Answered Command 0x%02X to an NV Request 0x%02X", refusal.got,
                    refusal.wanted);
    case NvRefusal::Kind::WrongLength:
      return Format("the NV Reply is %u Bytes Long instead of %u", refusal.got, refusal.wanted);
    case NvRefusal::Kind::OtherItem:
      return Format("the Phone Answered for #%u NVItem instead of #%u", refusal.got,
                    refusal.wanted);
  }
  return {};
}

}  // namespace diag

}  // namespace quorrel

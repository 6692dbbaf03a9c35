#include "link/hdlc.h"

#include <array>

namespace quorrel {

namespace {

constexpr std::array<uint16_t, 256> MakeCrcTable() {
  std::array<uint16_t, 256> table{};
  for (unsigned i = 0; i < 256; ++i) {
    uint16_t crc = static_cast<uint16_t>(i);
    for (int bit = 0; bit < 8; ++bit) {
      crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0x8408) : static_cast<uint16_t>(crc >> 1);
    }
    table[i] = crc;
  }
  return table;
}

constexpr std::array<uint16_t, 256> kCrcTable = MakeCrcTable();

}  // namespace

uint16_t Crc16Update(uint16_t crc, std::span<const uint8_t> data) {
  for (uint8_t b : data) crc = static_cast<uint16_t>(kCrcTable[(crc ^ b) & 0xFF] ^ (crc >> 8));
  return crc;
}

uint16_t FrameCheck(std::span<const uint8_t> data) {
  return static_cast<uint16_t>(~Crc16Update(kCrcInit, data));
}

bool FrameCheckGood(std::span<const uint8_t> packetWithCrc) {
  return !packetWithCrc.empty() && Crc16Update(kCrcInit, packetWithCrc) == kCrcGoodResidue;
}

void AppendStuffed(std::vector<uint8_t>& out, std::span<const uint8_t> data) {
  for (uint8_t b : data) {
    if (NeedsStuffing(b)) {
      out.push_back(kEscape);
      out.push_back(static_cast<uint8_t>(b ^ kEscapeXor));
    } else {
      out.push_back(b);
    }
  }
}

size_t StuffInto(std::span<const uint8_t> data, uint8_t* out) {
  size_t n = 0;
  for (uint8_t b : data) {
    if (NeedsStuffing(b)) {
      out[n++] = kEscape;
      out[n++] = static_cast<uint8_t>(b ^ kEscapeXor);
    } else {
      out[n++] = b;
    }
  }
  return n;
}

std::vector<uint8_t> EncodeFrame(std::span<const uint8_t> packet, bool leadingFlag) {
  std::vector<uint8_t> frame;
  frame.reserve(2 * packet.size() + 6);
  if (leadingFlag) frame.push_back(kFlag);
  AppendStuffed(frame, packet);
  uint16_t crc = FrameCheck(packet);
  const uint8_t crcBytes[2] = {static_cast<uint8_t>(crc & 0xFF), static_cast<uint8_t>(crc >> 8)};
  AppendStuffed(frame, crcBytes);
  frame.push_back(kFlag);
  return frame;
}

std::optional<std::vector<uint8_t>> Unstuff(std::span<const uint8_t> data) {
  std::vector<uint8_t> out;
  out.reserve(data.size());
  for (size_t i = 0; i < data.size(); ++i) {
    if (data[i] == kEscape) {
      if (i + 1 >= data.size()) return std::nullopt;
      out.push_back(static_cast<uint8_t>(data[++i] ^ kEscapeXor));
    } else {
      out.push_back(data[i]);
    }
  }
  return out;
}

}  // namespace quorrel

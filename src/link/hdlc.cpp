#include "link/hdlc.h"

#include <algorithm>
#include <array>

namespace quorrel {

namespace {

// The standard table of the FCS-16 (reflected polynomial 0x8408), and seven
// more derived from it so that eight bytes go through the register in one
// step: table k holds the effect of a byte followed by k zero bytes. Every
// byte still costs one lookup, but the lookups of a step are independent.
using CrcTables = std::array<std::array<uint16_t, 256>, 8>;

constexpr CrcTables MakeCrcTables() {
  CrcTables tables{};
  for (unsigned i = 0; i < 256; ++i) {
    uint16_t crc = static_cast<uint16_t>(i);
    for (int bit = 0; bit < 8; ++bit) {
      crc =
          (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0x8408) : static_cast<uint16_t>(crc >> 1);
    }
    tables[0][i] = crc;
  }
  for (size_t k = 1; k < 8; ++k) {
    for (unsigned i = 0; i < 256; ++i) {
      uint16_t prev = tables[k - 1][i];
      tables[k][i] = static_cast<uint16_t>((prev >> 8) ^ tables[0][prev & 0xFF]);
    }
  }
  return tables;
}

constexpr CrcTables kCrc = MakeCrcTables();

}  // namespace

uint16_t Crc16Update(uint16_t crc, std::span<const uint8_t> data) {
  uint32_t c = crc;
  const uint8_t* p = data.data();
  size_t n = data.size();
  while (n >= 8) {
    const uint32_t x0 = (p[0] ^ c) & 0xFF;
    const uint32_t x1 = (p[1] ^ (c >> 8)) & 0xFF;
    c = kCrc[7][x0] ^ kCrc[6][x1] ^ kCrc[5][p[2]] ^ kCrc[4][p[3]] ^ kCrc[3][p[4]] ^ kCrc[2][p[5]] ^
        kCrc[1][p[6]] ^ kCrc[0][p[7]];
    p += 8;
    n -= 8;
  }
  while (n-- > 0) c = kCrc[0][(c ^ *p++) & 0xFF] ^ (c >> 8);
  return static_cast<uint16_t>(c);
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
  uint8_t* const start = out;
  for (uint8_t b : data) {
    // Branch-free: the escape byte is written always and kept only when needed.
    const bool stuff = NeedsStuffing(b);
    *out = kEscape;
    out += stuff;
    *out++ = stuff ? static_cast<uint8_t>(b ^ kEscapeXor) : b;
  }
  return static_cast<size_t>(out - start);
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
  std::vector<uint8_t> out(data.size());
  const int n = UnstuffInto(data, out.data(), out.size());
  if (n < 0) return std::nullopt;
  out.resize(static_cast<size_t>(n));
  return out;
}

int UnstuffInto(std::span<const uint8_t> data, uint8_t* out, size_t capacity) {
  size_t n = 0;
  const size_t size = data.size();
  for (size_t i = 0; i < size && n < capacity; ++i) {
    uint8_t b = data[i];
    if (b == kEscape) {
      if (++i >= size) return -1;
      b = static_cast<uint8_t>(data[i] ^ kEscapeXor);
    }
    out[n++] = b;
  }
  return static_cast<int>(n);
}

}  // namespace quorrel

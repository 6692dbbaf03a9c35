// Reading and writing the fields of a packet, byte by byte in the order the
// protocol gives. Readers expect the caller to have checked the length.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace quorrel::sim {

inline uint16_t Le16(const std::vector<uint8_t>& p, size_t at) {
  return static_cast<uint16_t>(p[at] | p[at + 1] << 8);
}
inline uint32_t Le32(const std::vector<uint8_t>& p, size_t at) {
  return static_cast<uint32_t>(p[at]) | static_cast<uint32_t>(p[at + 1]) << 8 |
         static_cast<uint32_t>(p[at + 2]) << 16 | static_cast<uint32_t>(p[at + 3]) << 24;
}
inline uint16_t Be16(const std::vector<uint8_t>& p, size_t at) {
  return static_cast<uint16_t>(p[at] << 8 | p[at + 1]);
}
inline uint32_t Be32(const std::vector<uint8_t>& p, size_t at) {
  return static_cast<uint32_t>(p[at]) << 24 | static_cast<uint32_t>(p[at + 1]) << 16 |
         static_cast<uint32_t>(p[at + 2]) << 8 | static_cast<uint32_t>(p[at + 3]);
}
inline void PutLe16(std::vector<uint8_t>& p, uint16_t v) {
  p.push_back(static_cast<uint8_t>(v));
  p.push_back(static_cast<uint8_t>(v >> 8));
}
inline void PutLe32(std::vector<uint8_t>& p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
inline void PutBe16(std::vector<uint8_t>& p, uint16_t v) {
  p.push_back(static_cast<uint8_t>(v >> 8));
  p.push_back(static_cast<uint8_t>(v));
}
// A text in a fixed-width, zero-padded field.
inline void PutField(std::vector<uint8_t>& p, std::string_view text, size_t width) {
  for (size_t i = 0; i < width; ++i)
    p.push_back(i < text.size() ? static_cast<uint8_t>(text[i]) : 0);
}

}  // namespace quorrel::sim

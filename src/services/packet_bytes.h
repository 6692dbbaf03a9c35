// Field-by-field writing and reading of packet bytes, little- or big-endian.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace quorrel {

// Appends fields to a fixed buffer. Writes that do not fit are dropped and
// mark the writer as overflowed; nothing is written past the end.
class PacketWriter {
 public:
  explicit PacketWriter(std::span<uint8_t> out) : out_(out) {}

  void Byte(uint8_t b) {
    if (size_ < out_.size()) {
      out_[size_++] = b;
    } else {
      overflow_ = true;
    }
  }
  void Le16(uint16_t v) {
    Byte(static_cast<uint8_t>(v));
    Byte(static_cast<uint8_t>(v >> 8));
  }
  void Le32(uint32_t v) {
    Le16(static_cast<uint16_t>(v));
    Le16(static_cast<uint16_t>(v >> 16));
  }
  void Be16(uint16_t v) {
    Byte(static_cast<uint8_t>(v >> 8));
    Byte(static_cast<uint8_t>(v));
  }
  void Be32(uint32_t v) {
    Be16(static_cast<uint16_t>(v >> 16));
    Be16(static_cast<uint16_t>(v));
  }
  void Bytes(std::span<const uint8_t> data) {
    for (uint8_t b : data) Byte(b);
  }

  size_t size() const { return size_; }
  bool overflowed() const { return overflow_; }
  // The packet length, or 0 when it did not fit.
  size_t Result() const { return overflow_ ? 0 : size_; }

 private:
  std::span<uint8_t> out_;
  size_t size_ = 0;
  bool overflow_ = false;
};

inline uint16_t ReadLe16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] | p[1] << 8);
}
inline uint32_t ReadLe32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}
inline uint16_t ReadBe16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] << 8 | p[1]);
}

}  // namespace quorrel

// Field-by-field writing and reading of packet bytes, little- or big-endian.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <variant>

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

// Reads the fields of a reply packet at fixed offsets. Bytes past the end of
// the packet read as zeros, so a short reply never reads out of bounds.
class PacketReader {
 public:
  explicit PacketReader(std::span<const uint8_t> packet) : packet_(packet) {}

  size_t size() const { return packet_.size(); }
  uint8_t Byte(size_t at) const { return at < packet_.size() ? packet_[at] : 0; }
  uint16_t Le16(size_t at) const { return static_cast<uint16_t>(Byte(at) | Byte(at + 1) << 8); }
  uint32_t Le32(size_t at) const {
    return static_cast<uint32_t>(Le16(at)) | static_cast<uint32_t>(Le16(at + 2)) << 16;
  }
  uint16_t Be16(size_t at) const { return static_cast<uint16_t>(Byte(at) << 8 | Byte(at + 1)); }
  // Fills out with the bytes from at on (zeros past the end).
  template <typename T>
  void Copy(size_t at, std::span<T> out) const {
    for (size_t i = 0; i < out.size(); ++i) out[i] = static_cast<T>(Byte(at + i));
  }

 private:
  std::span<const uint8_t> packet_;
};

// A parsed reply: its value, or the typed reason the reply was refused.
template <typename T, typename E>
class Parsed {
 public:
  Parsed(T value) : v_(std::in_place_index<0>, std::move(value)) {}  // NOLINT: implicit by design
  Parsed(E error) : v_(std::in_place_index<1>, std::move(error)) {}  // NOLINT: implicit by design

  bool ok() const { return v_.index() == 0; }
  explicit operator bool() const { return ok(); }
  const T& value() const { return std::get<0>(v_); }
  const T& operator*() const { return value(); }
  const T* operator->() const { return &value(); }
  const E& error() const { return std::get<1>(v_); }

 private:
  std::variant<T, E> v_;
};

}  // namespace quorrel

// A zero-terminated 8-bit text in a fixed buffer of N bytes, as the settings
// records store their paths. A text that does not fit (N - 1 characters at
// most) is refused, never cut: the old content stays.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace quorrel {

template <size_t N>
class FixedText {
 public:
  static constexpr size_t kCapacity = N;  // terminator included

  FixedText() = default;

  // False (content unchanged) when text has N or more characters or holds a
  // zero byte. The bytes after the terminator are zeroed.
  [[nodiscard]] bool Set(std::string_view text) {
    if (!Fits(text)) return false;
    data_.fill(0);
    std::memcpy(data_.data(), text.data(), text.size());
    return true;
  }
  static constexpr bool Fits(std::string_view text) {
    return text.size() < N && text.find('\0') == std::string_view::npos;
  }
  void Clear() { data_.fill(0); }

  std::string_view view() const {
    return std::string_view(data_.data(), ::strnlen(data_.data(), N));
  }
  std::string str() const { return std::string(view()); }
  const char* c_str() const { return data_.data(); }
  bool empty() const { return data_[0] == 0; }

  // The N stored bytes, as a record holds them.
  void StoreTo(uint8_t* out) const { std::memcpy(out, data_.data(), N); }
  // Takes N bytes from a record; false (content unchanged) when they hold no
  // terminator.
  [[nodiscard]] bool LoadFrom(const uint8_t* in) {
    if (std::memchr(in, 0, N) == nullptr) return false;
    std::memcpy(data_.data(), in, N);
    return true;
  }

  bool operator==(const FixedText& other) const { return data_ == other.data_; }

 private:
  std::array<char, N> data_{};
};

}  // namespace quorrel

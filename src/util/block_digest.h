// The message framing that MD5 and SHA-256 share: the input is cut into
// 64-byte blocks (a partial block waits in a buffer), and the last block is
// padded with 0x80, zeros and the message length in bits.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

namespace quorrel {

// Derived provides `void Block(const uint8_t* block)` for one 64-byte block.
template <class Derived>
class BlockDigest {
 public:
  void Update(std::span<const uint8_t> data) {
    bytes_ += data.size();
    size_t at = 0;
    if (buffered_ > 0) {
      const size_t take = std::min(data.size(), buffer_.size() - buffered_);
      std::memcpy(buffer_.data() + buffered_, data.data(), take);
      buffered_ += take;
      at = take;
      if (buffered_ < buffer_.size()) return;
      Self().Block(buffer_.data());
      buffered_ = 0;
    }
    for (; at + 64 <= data.size(); at += 64) Self().Block(data.data() + at);
    if (at < data.size()) {
      buffered_ = data.size() - at;
      std::memcpy(buffer_.data(), data.data() + at, buffered_);
    }
  }

 protected:
  // Feeds the padding and the bit length (eight bytes, most significant
  // first when bigEndianLength) so that the last block is complete.
  void Pad(bool bigEndianLength) {
    const uint64_t bits = bytes_ * 8;
    uint8_t pad[72] = {0x80};
    const size_t padLength = (buffered_ < 56) ? 56 - buffered_ : 120 - buffered_;
    for (size_t i = 0; i < 8; ++i) {
      const size_t shift = bigEndianLength ? 56 - 8 * i : 8 * i;
      pad[padLength + i] = static_cast<uint8_t>(bits >> shift);
    }
    Update(std::span<const uint8_t>(pad, padLength + 8));
  }

 private:
  Derived& Self() { return static_cast<Derived&>(*this); }

  uint64_t bytes_ = 0;
  std::array<uint8_t, 64> buffer_{};
  size_t buffered_ = 0;
};

}  // namespace quorrel

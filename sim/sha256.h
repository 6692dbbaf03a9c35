// SHA-256 (FIPS 180-4), for the simulator's report of what was flashed.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace quorrel::sim {

using Sha256Digest = std::array<uint8_t, 32>;

class Sha256 {
 public:
  Sha256();
  void Update(std::span<const uint8_t> data);
  Sha256Digest Final();

  static Sha256Digest Of(std::span<const uint8_t> data);
  // Lower-case hexadecimal digest.
  static std::string HexOf(std::span<const uint8_t> data);

 private:
  void Block(const uint8_t* block);

  std::array<uint32_t, 8> state_;
  uint64_t bytes_ = 0;
  std::array<uint8_t, 64> buffer_{};
  size_t buffered_ = 0;
};

// Lower-case hexadecimal text of bytes.
std::string HexText(std::span<const uint8_t> bytes);

}  // namespace quorrel::sim

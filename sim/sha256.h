// SHA-256 (FIPS 180-4), for the simulator's report of what was flashed.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "util/block_digest.h"

namespace quorrel::sim {

using Sha256Digest = std::array<uint8_t, 32>;

class Sha256 : public BlockDigest<Sha256> {
 public:
  Sha256();
  using BlockDigest<Sha256>::Update;
  Sha256Digest Final();

  static Sha256Digest Of(std::span<const uint8_t> data);
  // Lower-case hexadecimal digest.
  static std::string HexOf(std::span<const uint8_t> data);

 private:
  friend class BlockDigest<Sha256>;
  void Block(const uint8_t* block);

  std::array<uint32_t, 8> state_;
};

// Lower-case hexadecimal text of bytes.
std::string HexText(std::span<const uint8_t> bytes);

}  // namespace quorrel::sim

// A small deterministic generator (splitmix64): the same seed gives the same
// stream on every machine.
#pragma once

#include <cstdint>

namespace quorrel::sim {

class SeededRandom {
 public:
  explicit SeededRandom(uint64_t seed) : state_(seed) {}
  uint64_t Next() {
    uint64_t z = (state_ += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
  }
  uint8_t NextByte() { return static_cast<uint8_t>(Next() >> 56); }
  // Uniform in [0, bound) for small bounds.
  uint32_t Below(uint32_t bound) { return bound == 0 ? 0 : static_cast<uint32_t>(Next() % bound); }

 private:
  uint64_t state_;
};

}  // namespace quorrel::sim

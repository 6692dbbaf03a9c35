#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace quorrel::testsupport {

// `n` bytes that take every value, different for each seed.
inline std::vector<uint8_t> Pattern(size_t n, uint8_t seed) {
  std::vector<uint8_t> out(n);
  for (size_t i = 0; i < n; ++i) out[i] = static_cast<uint8_t>(seed * 13 + i * 7 + (i >> 9));
  return out;
}

}  // namespace quorrel::testsupport

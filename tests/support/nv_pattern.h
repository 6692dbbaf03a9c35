#pragma once

#include <array>
#include <cstdint>
#include <numeric>

#include "services/diag_codec.h"

namespace quorrel::testsupport {

// NV item data counting up from `start`.
inline std::array<uint8_t, kNvDataSize> Pattern(uint8_t start) {
  std::array<uint8_t, kNvDataSize> data{};
  std::iota(data.begin(), data.end(), start);
  return data;
}

}  // namespace quorrel::testsupport

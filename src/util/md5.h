// MD5 message digest (RFC 1321). The download job answers the modem's
// challenge with the digest of it, and the device simulator checks that answer.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "util/block_digest.h"

namespace quorrel {

using Md5Digest = std::array<uint8_t, 16>;

class Md5 : public BlockDigest<Md5> {
 public:
  Md5();
  using BlockDigest<Md5>::Update;
  void Update(std::string_view text);
  // Pads, appends the bit length and returns the digest. The object must not
  // be updated afterwards (start a new one).
  Md5Digest Final();

  static Md5Digest Of(std::span<const uint8_t> data);

 private:
  friend class BlockDigest<Md5>;
  void Block(const uint8_t* block);

  std::array<uint32_t, 4> state_;
};

}  // namespace quorrel

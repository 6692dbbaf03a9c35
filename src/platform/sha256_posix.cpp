#include <nettle/sha2.h>

#include <array>

#include "platform/sha256.h"

namespace quorrel {

struct Sha256::State {
  sha256_ctx ctx;
};

Sha256::Sha256() : state_(std::make_unique<State>()) {
  sha256_init(&state_->ctx);
}
Sha256::~Sha256() = default;

void Sha256::Update(std::span<const uint8_t> bytes) {
  sha256_update(&state_->ctx, bytes.size(), bytes.data());
}

std::string Sha256::HexDigest() {
  std::array<uint8_t, SHA256_DIGEST_SIZE> digest{};
  sha256_digest(&state_->ctx, digest.size(), digest.data());
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  for (uint8_t b : digest) {
    out.push_back(kDigits[b >> 4]);
    out.push_back(kDigits[b & 0x0F]);
  }
  return out;
}

}  // namespace quorrel

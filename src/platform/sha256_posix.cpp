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

bool Sha256::Digest(std::span<uint8_t, 32> out) {
  static_assert(SHA256_DIGEST_SIZE == 32);
  sha256_digest(&state_->ctx, out.size(), out.data());
  return true;
}

}  // namespace quorrel

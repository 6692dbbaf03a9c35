// <windows.h> first: <bcrypt.h> builds on its types.
#include <windows.h>

#include <bcrypt.h>

#include <array>

#include "platform/sha256.h"

namespace quorrel {

struct Sha256::State {
  BCRYPT_ALG_HANDLE algorithm = nullptr;
  BCRYPT_HASH_HANDLE hash = nullptr;
  bool failed = false;
};

Sha256::Sha256() : state_(std::make_unique<State>()) {
  if (BCryptOpenAlgorithmProvider(&state_->algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0) != 0) {
    state_->algorithm = nullptr;
    state_->failed = true;
    return;
  }
  if (BCryptCreateHash(state_->algorithm, &state_->hash, nullptr, 0, nullptr, 0, 0) != 0) {
    state_->hash = nullptr;
    state_->failed = true;
  }
}

Sha256::~Sha256() {
  if (state_->hash) BCryptDestroyHash(state_->hash);
  if (state_->algorithm) BCryptCloseAlgorithmProvider(state_->algorithm, 0);
}

void Sha256::Update(std::span<const uint8_t> bytes) {
  if (state_->failed || bytes.empty()) return;
  if (BCryptHashData(state_->hash, const_cast<PUCHAR>(bytes.data()),
                     static_cast<ULONG>(bytes.size()), 0) != 0) {
    state_->failed = true;
  }
}

bool Sha256::Digest(std::span<uint8_t, 32> out) {
  return !state_->failed &&
         BCryptFinishHash(state_->hash, out.data(), static_cast<ULONG>(out.size()), 0) == 0;
}

}  // namespace quorrel

// SHA-256, by the system's own cryptographic library (nettle; CNG on
// Windows).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace quorrel {

class Sha256 {
 public:
  Sha256();
  ~Sha256();
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;

  void Update(std::span<const uint8_t> bytes);
  // The lower-case hex digest of everything fed; empty when the system's
  // library failed. Call once.
  std::string HexDigest();

 private:
  // The digest's 32 bytes; false when the system's library failed.
  bool Digest(std::span<uint8_t, 32> out);

  struct State;
  std::unique_ptr<State> state_;
};

std::string Sha256Hex(std::string_view bytes);
std::string Sha256Hex(std::span<const uint8_t> bytes);
// The digest of a file (a program path, as the file functions take it);
// std::nullopt when it cannot be read.
std::optional<std::string> Sha256OfFile(std::string_view path);

}  // namespace quorrel

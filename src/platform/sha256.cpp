#include "platform/sha256.h"

#include <array>
#include <vector>

#include "platform/files.h"

namespace quorrel {

std::string Sha256::HexDigest() {
  std::array<uint8_t, 32> digest{};
  if (!Digest(digest)) return {};
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  for (uint8_t b : digest) {
    out.push_back(kDigits[b >> 4]);
    out.push_back(kDigits[b & 0x0F]);
  }
  return out;
}

std::string Sha256Hex(std::span<const uint8_t> bytes) {
  Sha256 hash;
  hash.Update(bytes);
  return hash.HexDigest();
}

std::string Sha256Hex(std::string_view bytes) {
  return Sha256Hex(
      std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()));
}

std::optional<std::string> Sha256OfFile(std::string_view path) {
  std::optional<File> file = File::OpenRead(path);
  if (!file) return std::nullopt;
  Sha256 hash;
  std::vector<uint8_t> buffer(64 * 1024);
  for (;;) {
    const int64_t n = file->Read(buffer);
    if (n < 0) return std::nullopt;
    if (n == 0) break;
    hash.Update({buffer.data(), static_cast<size_t>(n)});
  }
  std::string digest = hash.HexDigest();
  if (digest.empty()) return std::nullopt;
  return digest;
}

}  // namespace quorrel

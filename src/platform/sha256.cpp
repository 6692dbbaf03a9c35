#include "platform/sha256.h"

#include <array>
#include <vector>

#include "platform/files.h"

namespace quorrel {

std::string Sha256Hex(std::string_view bytes) {
  Sha256 hash;
  hash.Update({reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()});
  return hash.HexDigest();
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

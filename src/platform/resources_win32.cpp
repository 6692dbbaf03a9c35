#include "platform/resources.h"
#include "platform/win32_api.h"

#include <cstring>

namespace quorrel {

std::optional<std::span<const uint8_t>> ExecutableResource(int id, const char* type) {
  if (type == nullptr || id <= 0 || id > 0xFFFF) return std::nullopt;
  // The bitmaps are of the standard type, found by its number.
  const char* kind = ::_stricmp(type, "BITMAP") == 0 ? MAKEINTRESOURCEA(2) : type;
  HRSRC info = ::FindResourceA(nullptr, MAKEINTRESOURCEA(id), kind);
  if (info == nullptr) return std::nullopt;
  HGLOBAL loaded = ::LoadResource(nullptr, info);
  if (loaded == nullptr) return std::nullopt;
  const void* data = ::LockResource(loaded);
  const DWORD size = ::SizeofResource(nullptr, info);
  if (data == nullptr) return std::nullopt;
  // Resources live as long as the executable's image.
  return std::span<const uint8_t>(static_cast<const uint8_t*>(data), size);
}

}  // namespace quorrel

// The registry of the machine (HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER).
//
// Reads are bounded: a value is read into a buffer of the size the caller
// can take (strings) or of four bytes (DWORDs); a value that is larger, of
// another type, or a string without its terminator is told apart, never cut
// or read past. Values are written one by one (the registry has no
// multi-value update before Vista); a reader may see a key with some of them.
#include <cstring>
#include <string>
#include <vector>

#include "platform/registry.h"
#include "platform/win32_api.h"

namespace quorrel {

namespace {

// Strings longer than this are no value the program reads.
constexpr DWORD kMaxStringBytes = 64 * 1024;

HKEY RootKey(RegistryRoot root) {
  return root == RegistryRoot::CurrentUser ? HKEY_CURRENT_USER : HKEY_LOCAL_MACHINE;
}

// Sub-key paths as the registry takes them: no empty names from doubled or
// outer backslashes, nothing with a zero inside.
bool NormalKey(std::string_view subKey, std::string* out) {
  out->clear();
  if (subKey.find('\0') != std::string_view::npos) return false;
  size_t start = 0;
  while (start <= subKey.size()) {
    size_t end = subKey.find('\\', start);
    if (end == std::string_view::npos) end = subKey.size();
    if (end > start) {
      if (!out->empty()) *out += '\\';
      out->append(subKey.substr(start, end - start));
    }
    start = end + 1;
  }
  return true;
}

bool ValidName(std::string_view name) {
  return name.find('\0') == std::string_view::npos;
}

HKEY AsKey(void* handle) {
  return static_cast<HKEY>(handle);
}

// Deletes key\name with everything below it (RegDeleteTree is Vista and up).
LONG DeleteTree(HKEY parent, const std::string& name) {
  HKEY key = nullptr;
  LONG status = ::RegOpenKeyExA(parent, name.c_str(), 0, KEY_READ | KEY_WRITE, &key);
  if (status != ERROR_SUCCESS) return status;
  for (;;) {
    // Always the first child: each one found is deleted before the next look.
    char child[256];
    DWORD length = sizeof child;
    status = ::RegEnumKeyExA(key, 0, child, &length, nullptr, nullptr, nullptr, nullptr);
    if (status == ERROR_NO_MORE_ITEMS) break;
    if (status != ERROR_SUCCESS) {
      ::RegCloseKey(key);
      return status;
    }
    status = DeleteTree(key, std::string(child, length));
    if (status != ERROR_SUCCESS) {
      ::RegCloseKey(key);
      return status;
    }
  }
  ::RegCloseKey(key);
  return ::RegDeleteKeyA(parent, name.c_str());
}

}  // namespace

long RegistryKey::Open(RegistryRoot parent, std::string_view subKey, uint32_t access) {
  std::string path;
  if (!NormalKey(subKey, &path)) return kRegistryInvalidParameter;
  HKEY key = nullptr;
  LONG status =
      ::RegOpenKeyExA(RootKey(parent), path.c_str(), 0, static_cast<REGSAM>(access), &key);
  if (status != ERROR_SUCCESS) return status;
  Close();
  handle_ = key;
  return kRegistryOk;
}

void RegistryKey::Close() {
  if (handle_ != nullptr) {
    ::RegCloseKey(AsKey(handle_));
    handle_ = nullptr;
  }
}

bool RegistryKey::IsOpen() const {
  return handle_ != nullptr;
}

long RegistryKey::QueryDword(std::string_view name, uint32_t* value) const {
  if (handle_ == nullptr || value == nullptr || !ValidName(name)) return kRegistryInvalidParameter;
  const std::string text(name);
  DWORD type = 0;
  BYTE data[4];
  DWORD size = sizeof data;
  LONG status = ::RegQueryValueExA(AsKey(handle_), text.c_str(), nullptr, &type, data, &size);
  if (status == ERROR_MORE_DATA) return kRegistryInvalidData;
  if (status != ERROR_SUCCESS) return status;
  if (type != REG_DWORD || size != 4) return kRegistryInvalidData;
  *value = static_cast<uint32_t>(data[0]) | static_cast<uint32_t>(data[1]) << 8 |
           static_cast<uint32_t>(data[2]) << 16 | static_cast<uint32_t>(data[3]) << 24;
  return kRegistryOk;
}

long RegistryKey::QueryString(std::string_view name, char* buffer, uint32_t* size) const {
  if (handle_ == nullptr || size == nullptr || !ValidName(name)) return kRegistryInvalidParameter;
  const std::string text(name);
  DWORD type = 0;
  DWORD stored = 0;
  LONG status = ::RegQueryValueExA(AsKey(handle_), text.c_str(), nullptr, &type, nullptr, &stored);
  if (status != ERROR_SUCCESS) return status;
  if (type != REG_SZ && type != REG_EXPAND_SZ) return kRegistryInvalidData;
  if (stored > kMaxStringBytes) return kRegistryInvalidData;
  // One byte more than stored: a string written without its terminator still
  // ends inside the buffer. The value may change between the two calls; the
  // second one is bounded by the buffer all the same.
  std::vector<char> data(stored + 1, '\0');
  DWORD got = stored;
  status = ::RegQueryValueExA(AsKey(handle_), text.c_str(), nullptr, &type,
                              reinterpret_cast<BYTE*>(data.data()), &got);
  if (status == ERROR_MORE_DATA) return kRegistryInvalidData;
  if (status != ERROR_SUCCESS) return status;
  if (type != REG_SZ && type != REG_EXPAND_SZ) return kRegistryInvalidData;
  const size_t length = ::strnlen(data.data(), got);
  const uint32_t needed = static_cast<uint32_t>(length + 1);
  if (buffer == nullptr || *size < needed) {
    *size = needed;
    return kRegistryMoreData;
  }
  std::memcpy(buffer, data.data(), length);
  buffer[length] = '\0';
  *size = needed;
  return kRegistryOk;
}

long RegistryCreateKey(RegistryRoot root, std::string_view subKey) {
  std::string path;
  if (!NormalKey(subKey, &path) || path.empty()) return kRegistryInvalidParameter;
  HKEY key = nullptr;
  LONG status = ::RegCreateKeyExA(RootKey(root), path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                  KEY_WRITE, nullptr, &key, nullptr);
  if (status != ERROR_SUCCESS) return status;
  ::RegCloseKey(key);
  return kRegistryOk;
}

long RegistrySetValues(RegistryRoot root, std::string_view subKey,
                       const std::vector<RegistryValue>& values) {
  std::string path;
  if (!NormalKey(subKey, &path) || path.empty()) return kRegistryInvalidParameter;
  for (const RegistryValue& v : values) {
    if (!ValidName(v.name) || !ValidName(v.text)) return kRegistryInvalidParameter;
  }
  HKEY key = nullptr;
  LONG status = ::RegCreateKeyExA(RootKey(root), path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                  KEY_WRITE, nullptr, &key, nullptr);
  if (status != ERROR_SUCCESS) return status;
  for (const RegistryValue& v : values) {
    if (v.type == RegistryValue::Type::Dword) {
      const BYTE data[4] = {static_cast<BYTE>(v.dword), static_cast<BYTE>(v.dword >> 8),
                            static_cast<BYTE>(v.dword >> 16), static_cast<BYTE>(v.dword >> 24)};
      status = ::RegSetValueExA(key, v.name.c_str(), 0, REG_DWORD, data, sizeof data);
    } else {
      status = ::RegSetValueExA(key, v.name.c_str(), 0, REG_SZ,
                                reinterpret_cast<const BYTE*>(v.text.c_str()),
                                static_cast<DWORD>(v.text.size() + 1));
    }
    if (status != ERROR_SUCCESS) break;
  }
  ::RegCloseKey(key);
  return status == ERROR_SUCCESS ? kRegistryOk : status;
}

long RegistryDeleteValue(RegistryRoot root, std::string_view subKey, std::string_view name) {
  std::string path;
  if (!NormalKey(subKey, &path) || !ValidName(name)) return kRegistryInvalidParameter;
  HKEY key = nullptr;
  LONG status = ::RegOpenKeyExA(RootKey(root), path.c_str(), 0, KEY_SET_VALUE, &key);
  if (status != ERROR_SUCCESS) return status;
  const std::string text(name);
  status = ::RegDeleteValueA(key, text.c_str());
  ::RegCloseKey(key);
  return status;
}

long RegistryDeleteKey(RegistryRoot root, std::string_view subKey) {
  std::string path;
  if (!NormalKey(subKey, &path)) return kRegistryInvalidParameter;
  if (path.empty()) return kRegistryAccessDenied;  // never the whole hive
  return DeleteTree(RootKey(root), path);
}

std::optional<std::filesystem::path> RegistryKeyFolder(RegistryRoot /*root*/,
                                                       std::string_view /*subKey*/) {
  return std::nullopt;
}

}  // namespace quorrel

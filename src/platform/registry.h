// The registry of this machine, kept as folders under <root>/registry.
//
// HKEY_LOCAL_MACHINE\A\B is the folder <root>/registry/HKEY_LOCAL_MACHINE/A/B;
// a key exists when its folder exists, and its values are the lines of the
// file values.reg in that folder, in the syntax of Windows .reg files:
//
//   "Count"=dword:00000001
//   "0"="USB\\VID_1234&PID_5678&MI_01\\7&2f1c0a0b&0&0001"
//
// Writers replace values.reg atomically (values.reg.tmp, then rename), so a
// reader always sees a whole file. Key and value names are matched without
// regard to case, as Windows does; a new key keeps its name as written.
//
// Operations return Win32 status codes: 0 is success.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quorrel {

constexpr long kRegistryOk = 0;                 // ERROR_SUCCESS
constexpr long kRegistryNotFound = 2;           // ERROR_FILE_NOT_FOUND
constexpr long kRegistryAccessDenied = 5;       // ERROR_ACCESS_DENIED
constexpr long kRegistryInvalidData = 13;       // ERROR_INVALID_DATA
constexpr long kRegistryInvalidParameter = 87;  // ERROR_INVALID_PARAMETER
constexpr long kRegistryMoreData = 234;         // ERROR_MORE_DATA
constexpr long kRegistryWriteFault = 29;        // ERROR_WRITE_FAULT

constexpr uint32_t kKeyRead = 0x20019;       // KEY_READ
constexpr uint32_t kKeyAllAccess = 0xF003F;  // KEY_ALL_ACCESS

enum class RegistryRoot { LocalMachine, CurrentUser };

// One open key (empty at construction); closed when destroyed.
class RegistryKey {
 public:
  RegistryKey() = default;
  ~RegistryKey() { Close(); }
  RegistryKey(const RegistryKey&) = delete;
  RegistryKey& operator=(const RegistryKey&) = delete;

  // On success closes the key held before and keeps the new one. Access
  // rights that include writing need a key folder this process may write.
  long Open(RegistryRoot parent, std::string_view subKey, uint32_t access = kKeyAllAccess);
  void Close();
  bool IsOpen() const;

  // A 32-bit value; kRegistryInvalidData when the value is no DWORD.
  long QueryDword(std::string_view name, uint32_t* value) const;
  // A string value with its terminating zero into buffer. *size is the
  // buffer's capacity in bytes on entry and the bytes stored (terminator
  // included) on return; a buffer too small gives kRegistryMoreData with
  // *size set to the bytes needed, and the buffer untouched.
  long QueryString(std::string_view name, char* buffer, uint32_t* size) const;

 private:
  // The open key: its folder on POSIX, its HKEY on Windows.
  std::optional<std::filesystem::path> folder_;
  // POSIX: the key's values as they were when it was opened. A writer
  // replaces them all at once, so what one open key reads is one version of
  // them, never a count from one and the entries from another.
  std::vector<std::string> values_;
  [[maybe_unused]] void* handle_ = nullptr;  // used by the Windows backend only
};

// One value of a key, for the writers.
struct RegistryValue {
  enum class Type { Dword, String };
  std::string name;
  Type type = Type::String;
  uint32_t dword = 0;
  std::string text;

  static RegistryValue Dword(std::string name, uint32_t value);
  static RegistryValue String(std::string name, std::string value);
};

// Creates the key and every missing key above it.
long RegistryCreateKey(RegistryRoot root, std::string_view subKey);
// Creates the key when needed, then sets (adds or replaces) all the values in
// one atomic replacement of values.reg; other values of the key stay.
long RegistrySetValues(RegistryRoot root, std::string_view subKey,
                       const std::vector<RegistryValue>& values);
long RegistrySetDword(RegistryRoot root, std::string_view subKey, std::string_view name,
                      uint32_t value);
long RegistrySetString(RegistryRoot root, std::string_view subKey, std::string_view name,
                       std::string_view value);
// Removes one value; kRegistryNotFound when the key or the value is missing.
long RegistryDeleteValue(RegistryRoot root, std::string_view subKey, std::string_view name);
// Removes the key with everything below it; kRegistryNotFound when missing.
long RegistryDeleteKey(RegistryRoot root, std::string_view subKey);

// The folder of an existing key (names matched without regard to case);
// nullopt on Windows, where keys are no folders.
std::optional<std::filesystem::path> RegistryKeyFolder(RegistryRoot root, std::string_view subKey);

}  // namespace quorrel

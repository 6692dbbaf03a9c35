// Environment variables and scratch folders for tests, on every platform.
#pragma once

#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <system_error>
#include <vector>

#include "platform/os_version.h"
#include "platform/registry.h"
#ifdef _WIN32
#include "platform/win32_api.h"
#endif

namespace quorrel::testing {

#ifdef _WIN32
inline void SetEnv(const char* name, const char* value) {
  ::_putenv_s(name, value);
}
// An empty value removes the variable from the environment.
inline void UnsetEnv(const char* name) {
  ::_putenv_s(name, "");
}

// The registry is the machine's own on Windows, not a folder under the
// scratch root: what one test writes (drivers' Enum keys, USB devices) is
// removed before and after each test instead. The tests run in a Wine prefix
// of their own.
inline void ClearModemKeys() {
  constexpr const char* kServices = "SYSTEM\\CurrentControlSet\\Services";
  std::vector<std::string> drivers;
  HKEY services = nullptr;
  if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, kServices, 0, KEY_READ, &services) == ERROR_SUCCESS) {
    char name[256];
    for (DWORD i = 0;; ++i) {
      DWORD length = sizeof name;
      if (::RegEnumKeyExA(services, i, name, &length, nullptr, nullptr, nullptr, nullptr) !=
          ERROR_SUCCESS) {
        break;
      }
      const std::string text(name, length);
      if (text.size() > 8 && (text.compare(text.size() - 8, 8, "usbser6k") == 0 ||
                              text.compare(text.size() - 8, 8, "usbmdm6k") == 0)) {
        drivers.push_back(text);
      }
    }
    ::RegCloseKey(services);
  }
  for (const std::string& d : drivers) {
    RegistryDeleteKey(RegistryRoot::LocalMachine, std::string(kServices) + "\\" + d);
  }
  RegistryDeleteKey(RegistryRoot::LocalMachine, "SYSTEM\\CurrentControlSet\\Enum\\USB");
  // The flag the driver installer leaves.
  RegistryDeleteKey(RegistryRoot::LocalMachine, "SOFTWARE\\VantrelUSBDriverFlag");
  RegistryDeleteKey(RegistryRoot::LocalMachine, "SOFTWARE\\Wow6432Node\\VantrelUSBDriverFlag");
}

// Removes path with everything below it, read-only files included.
inline void RemoveTree(const std::filesystem::path& path) {
  std::error_code ec;
  if (!std::filesystem::exists(std::filesystem::symlink_status(path, ec))) return;
  for (auto it = std::filesystem::recursive_directory_iterator(path, ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    ::SetFileAttributesA(it->path().string().c_str(), FILE_ATTRIBUTE_NORMAL);
  }
  ::SetFileAttributesA(path.string().c_str(), FILE_ATTRIBUTE_NORMAL);
  std::filesystem::remove_all(path, ec);
}

// Drive C: is the machine's own too: what tests made on it goes, all but
// the system's folders (the tests run in a Wine prefix of their own).
inline void ClearDriveC() {
  static const char* const kSystem[] = {"windows", "users", "program files", "program files (x86)",
                                        "programdata"};
  std::error_code ec;
  std::vector<std::filesystem::path> made;
  for (const auto& entry : std::filesystem::directory_iterator("C:\\", ec)) {
    std::string name = entry.path().filename().string();
    for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    bool system = false;
    for (const char* s : kSystem) system = system || name == s;
    if (!system) made.push_back(entry.path());
  }
  for (const auto& path : made) RemoveTree(path);
  RemoveTree("C:\\Program Files\\Windows Service");
}

inline void ClearMachineState() {
  ClearModemKeys();
  ClearDriveC();
}

// The suites model a machine on which the start-up installs no drivers, as
// it is on POSIX; tests of the driver setup give their own version. Set once,
// when the test program starts.
inline const bool kNoDriverSetupVersion = [] {
  SetOsVersionSource([] { return OsVersion{kPlatformNone, 0, 0}; });
  return true;
}();
#else
inline void SetEnv(const char* name, const char* value) {
  ::setenv(name, value, 1);
}
inline void UnsetEnv(const char* name) {
  ::unsetenv(name);
}
// The registry and the drives live under the scratch root: nothing to clear.
inline void ClearMachineState() {}
#endif

// A new, empty folder <temp>/<prefix>XXXXXX made for the caller alone (an
// existing name is never taken); empty when none could be made.
inline std::filesystem::path MakeScratchFolder(const std::string& prefix) {
  static const char kLetters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  std::random_device seed;
  std::mt19937 random(seed());
  std::error_code ec;
  const std::filesystem::path base = std::filesystem::temp_directory_path(ec);
  if (ec) return {};
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string name = prefix;
    for (int i = 0; i < 6; ++i) name += kLetters[random() % (sizeof kLetters - 1)];
    const std::filesystem::path path = base / name;
    if (std::filesystem::create_directory(path, ec)) return path;
  }
  return {};
}

}  // namespace quorrel::testing

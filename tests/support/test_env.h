// Environment variables and scratch folders for tests, on every platform.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <system_error>

namespace quorrel::testing {

#ifdef _WIN32
inline void SetEnv(const char* name, const char* value) { ::_putenv_s(name, value); }
// An empty value removes the variable from the environment.
inline void UnsetEnv(const char* name) { ::_putenv_s(name, ""); }
#else
inline void SetEnv(const char* name, const char* value) { ::setenv(name, value, 1); }
inline void UnsetEnv(const char* name) { ::unsetenv(name); }
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

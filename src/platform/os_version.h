// The version of the running operating system, in the terms of the Windows
// version information (platform id, major and minor number), and the names
// the program gives to Windows versions.
//
// The source is injectable, so every row of the naming table can be tried on
// any system. A POSIX system is no Windows platform: its source reports
// kPlatformNone and no Windows name applies.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace quorrel {

inline constexpr int kPlatformNone = -1;         // not Windows
inline constexpr int kPlatformWin32s = 0;        // VER_PLATFORM_WIN32s
inline constexpr int kPlatformWin32Windows = 1;  // VER_PLATFORM_WIN32_WINDOWS (9x)
inline constexpr int kPlatformWin32Nt = 2;       // VER_PLATFORM_WIN32_NT

struct OsVersion {
  int platform = kPlatformNone;
  uint32_t major = 0;
  uint32_t minor = 0;
};

using OsVersionSource = std::function<OsVersion()>;

// The version of this system as its own platform reports it.
OsVersion SystemOsVersion();

// The version every caller sees: the system's unless a source was set.
OsVersion CurrentOsVersion();
// Replaces the source (an empty function restores the system's); returns the
// one it replaces.
OsVersionSource SetOsVersionSource(OsVersionSource source);

// "Windows 95" … "Windows 7" for the versions the program knows; nullopt for
// any other (the caller then leaves its name unchanged).
std::optional<std::string> WindowsVersionName(const OsVersion& version);

}  // namespace quorrel

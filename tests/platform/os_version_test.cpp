#include "platform/os_version.h"

#include <gtest/gtest.h>

namespace quorrel {
namespace {

TEST(WindowsVersionNameTest, NamingTable) {
  struct Case {
    OsVersion version;
    const char* name;  // nullptr: no name
  } cases[] = {
      {{kPlatformWin32Windows, 4, 0}, "Windows 95"},
      {{kPlatformWin32Windows, 4, 10}, "Windows 98"},
      {{kPlatformWin32Windows, 4, 90}, "Windows Me"},
      {{kPlatformWin32Windows, 7, 90}, "Windows Me"},  // any major
      {{kPlatformWin32Windows, 4, 5}, nullptr},
      {{kPlatformWin32Nt, 3, 51}, "Windows NT 3.51"},
      {{kPlatformWin32Nt, 4, 0}, "Windows NT 4.0"},
      {{kPlatformWin32Nt, 5, 0}, "Windows 2000"},
      {{kPlatformWin32Nt, 5, 1}, "Windows XP"},
      {{kPlatformWin32Nt, 5, 2}, "Windows XP"},
      {{kPlatformWin32Nt, 6, 0}, "Windows Vista"},
      {{kPlatformWin32Nt, 6, 1}, "Windows 7"},
      {{kPlatformWin32Nt, 6, 2}, "Windows 7"},
      {{kPlatformWin32Nt, 6, 3}, "Windows 7"},
      {{kPlatformWin32Nt, 10, 0}, nullptr},
      {{kPlatformWin32s, 3, 1}, nullptr},
      {{kPlatformNone, 6, 1}, nullptr},
  };
  for (const Case& c : cases) {
    auto name = WindowsVersionName(c.version);
    if (c.name == nullptr) {
      EXPECT_FALSE(name.has_value())
          << c.version.platform << " " << c.version.major << "." << c.version.minor;
    } else {
      EXPECT_EQ(name, c.name);
    }
  }
}

TEST(OsVersionSourceTest, InjectedThenRestored) {
  EXPECT_FALSE(WindowsVersionName(CurrentOsVersion()).has_value());  // POSIX is no Windows
  OsVersionSource old = SetOsVersionSource([] { return OsVersion{kPlatformWin32Nt, 6, 1}; });
  EXPECT_EQ(WindowsVersionName(CurrentOsVersion()), "Windows 7");
  SetOsVersionSource(old);
  EXPECT_EQ(CurrentOsVersion().platform, kPlatformNone);
}

}  // namespace
}  // namespace quorrel

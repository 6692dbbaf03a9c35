#include "platform/os_version.h"

#include <mutex>
#include <utility>

namespace quorrel {

namespace {

std::mutex& SourceMutex() {
  static std::mutex m;
  return m;
}

OsVersionSource& Source() {
  static OsVersionSource source;
  return source;
}

}  // namespace

OsVersion CurrentOsVersion() {
  OsVersionSource source;
  {
    std::lock_guard<std::mutex> lock(SourceMutex());
    source = Source();
  }
  return source ? source() : SystemOsVersion();
}

OsVersionSource SetOsVersionSource(OsVersionSource source) {
  std::lock_guard<std::mutex> lock(SourceMutex());
  return std::exchange(Source(), std::move(source));
}

std::optional<std::string> WindowsVersionName(const OsVersion& v) {
  if (v.platform == kPlatformWin32Windows) {
    switch (v.minor) {
      case 0:
        return "Windows 95";
      case 10:
        return "Windows 98";
      case 90:
        return "Windows Me";
      default:
        return std::nullopt;
    }
  }
  if (v.platform == kPlatformWin32Nt) {
    switch (v.major) {
      case 3:
        return "Windows NT 3.51";
      case 4:
        return "Windows NT 4.0";
      case 5:
        return v.minor == 0 ? "Windows 2000" : "Windows XP";
      case 6:
        return v.minor == 0 ? "Windows Vista" : "Windows 7";
      default:
        return std::nullopt;
    }
  }
  return std::nullopt;
}

}  // namespace quorrel

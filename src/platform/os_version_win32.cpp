#include "platform/os_version.h"
#include "platform/win32_api.h"

namespace quorrel {

namespace {

// RtlGetVersion tells the truth whatever the manifest says about supported
// versions (GetVersionEx answers as the newest version the manifest names).
using RtlGetVersionFn = LONG(WINAPI*)(OSVERSIONINFOW*);

}  // namespace

OsVersion SystemOsVersion() {
  OSVERSIONINFOW info{};
  info.dwOSVersionInfoSize = sizeof info;
  HMODULE ntdll = ::GetModuleHandleA("ntdll.dll");
  auto rtlGetVersion = ntdll == nullptr ? nullptr
                                        : reinterpret_cast<RtlGetVersionFn>(reinterpret_cast<void*>(
                                              ::GetProcAddress(ntdll, "RtlGetVersion")));
  if (rtlGetVersion == nullptr || rtlGetVersion(&info) != 0) {
    return OsVersion{kPlatformNone, 0, 0};
  }
  return OsVersion{static_cast<int>(info.dwPlatformId), info.dwMajorVersion, info.dwMinorVersion};
}

}  // namespace quorrel

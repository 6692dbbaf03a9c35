#include <string>

#include "platform/dosdevices.h"
#include "platform/win32_api.h"

namespace quorrel {

namespace {
bool ValidPort(int n) {
  return n >= kFirstComPort && n <= kLastComPort;
}
}  // namespace

// The device name, valid for every port number (COM10 and above need it).
std::filesystem::path ComPortPath(int n) {
  return "\\\\.\\COM" + std::to_string(n);
}

// Port names belong to the drivers on Windows; the program never makes one.
bool LinkComPort(int /*n*/, const std::filesystem::path& /*tty*/) {
  return false;
}

void UnlinkComPort(int /*n*/) {}

bool ComPortExists(int n) {
  if (!ValidPort(n)) return false;
  char target[512];
  const std::string name = "COM" + std::to_string(n);
  return ::QueryDosDeviceA(name.c_str(), target, sizeof target) != 0;
}

}  // namespace quorrel

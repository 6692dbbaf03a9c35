// Windows has no ModemManager: nothing to inhibit, nothing held.
#include "platform/modem_manager.h"

namespace quorrel {

std::string UsbDeviceOfPort(int) {
  return {};
}

InhibitOutcome InhibitModemManager(const std::string&,
                                   const std::function<void(const std::string&)>&) {
  InhibitOutcome outcome;
  outcome.detail = "no ModemManager on this system";
  return outcome;
}

std::optional<std::vector<ModemManagerPort>> ModemManagerPorts(const std::string&) {
  return std::nullopt;
}

void ReleaseModemManagerInhibitions() {}

int HeldModemManagerInhibitions() {
  return 0;
}

}  // namespace quorrel

// Windows has no ModemManager: nothing to inhibit, nothing held.
#include "platform/modem_manager.h"

namespace quorrel {

std::string UsbDeviceOfPort(int) { return {}; }

InhibitOutcome InhibitModemManager(const std::string&) {
  InhibitOutcome outcome;
  outcome.detail = "no ModemManager on this system";
  return outcome;
}

void ReleaseModemManagerInhibitions() {}

int HeldModemManagerInhibitions() { return 0; }

}  // namespace quorrel

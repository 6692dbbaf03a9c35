#include "app/modem_hold.h"

#include "platform/modem_manager.h"
#include "util/text.h"

namespace quorrel {

std::string ModemManagerRefusalText(const std::string& device, const std::string& detail) {
  return Format(
      "ModemManager is running and would not leave the modem at %s alone (%s). It would probe the modem's "
      "ports in the middle of the job. Install quorrel's udev rule (70-quorrel.rules, in the package) and plug "
      "the modem in again, or stop ModemManager (sudo systemctl stop ModemManager) while you update; "
      "the option --ignore-modem-manager starts regardless.",
      device.c_str(), detail.c_str());
}

std::function<bool(int line, std::shared_ptr<void>* hold, std::string* refusal)> ModemManagerHold(
    JobEnvironment& env, bool ignoreRefusal) {
  CQuorrelDoc* doc = &env.doc;
  LineDisplay* display = &env.display;
  return [doc, display, ignoreRefusal](int line, std::shared_ptr<void>* hold, std::string* refusal) {
    const int port = doc->line(line).settings.diagPort;
    if (port == 0) return true;
    const std::string device = UsbDeviceOfPort(port);
    if (device.empty()) return true;
    InhibitOutcome outcome = InhibitModemManager(device);
    switch (outcome.state) {
      case InhibitOutcome::State::Inhibited:
        *hold = std::move(outcome.hold);
        return true;
      case InhibitOutcome::State::NotNeeded:
        return true;
      case InhibitOutcome::State::Refused:
        break;
    }
    if (ignoreRefusal) {
      display->StatusLine(line,
                          Format("ModemManager would not leave the modem alone (%s); going on as asked",
                                 outcome.detail.c_str()),
                          true);
      return true;
    }
    *refusal = ModemManagerRefusalText(device, outcome.detail);
    return false;
  };
}

}  // namespace quorrel

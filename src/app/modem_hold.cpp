#include "app/modem_hold.h"

#include <vector>

#include "platform/modem_manager.h"
#include "platform/usb_bridge.h"
#include "util/text.h"

namespace quorrel {

std::string ModemManagerRefusalText(const std::string& device, const std::string& detail) {
  return ModemManagerRefusalAdvice(device, detail);
}

std::function<bool(int line, std::shared_ptr<void>* hold, std::string* refusal)> ModemManagerHold(
    JobEnvironment& env, bool ignoreRefusal) {
  CQuorrelDoc* doc = &env.doc;
  LineDisplay* display = &env.display;
  return
      [doc, display, ignoreRefusal](int line, std::shared_ptr<void>* hold, std::string* refusal) {
        const int port = doc->line(line).settings.diagPort;
        if (port == 0) return true;
        const std::string device = UsbDeviceOfPort(port);
        if (device.empty()) return true;
        // Polkit may ask the user for a password first: the state line says
        // what the start waits for.
        auto waiting = [display, line](const std::string& text) {
          display->StatusLine(line, text, true);
        };
        InhibitOutcome outcome = InhibitModemManager(device, waiting);
        switch (outcome.state) {
          case InhibitOutcome::State::Inhibited: {
            auto holds = std::make_shared<std::vector<std::shared_ptr<ModemManagerInhibition>>>();
            holds->push_back(std::move(outcome.hold));
            // The modem may come back on its port's companion (at another speed)
            // when it restarts during the job.
            const std::string companion = CompanionDeviceFolder(device);
            if (!companion.empty()) {
              InhibitOutcome other = InhibitModemManager(companion, waiting);
              if (other.state == InhibitOutcome::State::Inhibited)
                holds->push_back(std::move(other.hold));
            }
            *hold = std::move(holds);
            return true;
          }
          case InhibitOutcome::State::NotNeeded:
            return true;
          case InhibitOutcome::State::Refused:
            break;
        }
        if (ignoreRefusal) {
          display->StatusLine(
              line,
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

// The modem hold of a job start on this system: ModemManager is asked to
// leave alone the USB device behind the line's diagnostic port, and the one
// at its port's companion, while the job runs (platform/modem_manager.h).
// When it waits for a password dialog, the line's state line says so. A port
// that is no USB tty (the virtual modem's pseudo-terminals), no bus, or no
// ModemManager: the job goes on. ModemManager running but refusing: the job
// does not start, and the reason says how to fix it, unless the refusal is to
// be ignored.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "jobs/job_environment.h"

namespace quorrel {

// For LineHooks::holdModem. With ignoreRefusal a refusal is shown on the
// line's state line and the job goes on.
std::function<bool(int line, std::shared_ptr<void>* hold, std::string* refusal)> ModemManagerHold(
    JobEnvironment& env, bool ignoreRefusal);

// The message of a refusal: the device, ModemManager's answer and the fixes
// (a rule line for the modem's identity, stopping ModemManager, dialout).
std::string ModemManagerRefusalText(const std::string& device, const std::string& detail);

}  // namespace quorrel

// The port watch of a line: while no job runs on the line it keeps the line
// ready. It installs the USB driver when that is needed, waits until the
// modem's ports appear, opens them, asks the modem who it is and keeps the
// port, the version and the ready prompt shown.
#pragma once

#include <functional>

#include "jobs/job_environment.h"

namespace quorrel {

struct PortWatchHooks {
  // The driver step (names the Windows version, installs the driver on
  // Windows 7 when it is missing). Empty: skipped.
  std::function<void(int line, const std::function<bool()>& stopRequested)> installUsbDriver;
  // Asked before every pass of the loop and after every poll; true ends the
  // watch (the thread is going away). Empty: never.
  std::function<bool()> quit;
};

// The thread body of a line's port watch. Runs until hooks.quit answers true
// (never, in the program); every sleep is a suspension point of the calling
// thread.
void PortWatchThread(JobEnvironment& env, int line, const PortWatchHooks& hooks);

// One pass of the loop after the driver step and the first port opening: the
// port wait, opening both ports, detecting the phone, the displays. False
// when hooks.quit ended it early.
bool PortWatchPass(JobEnvironment& env, int line, const PortWatchHooks& hooks);

}  // namespace quorrel

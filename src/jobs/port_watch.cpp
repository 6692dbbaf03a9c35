#include "jobs/port_watch.h"

#include "jobs/mode_transitions.h"
#include "platform/port_access.h"

namespace quorrel {

namespace {

bool Quit(const PortWatchHooks& hooks) { return hooks.quit && hooks.quit(); }

}  // namespace

bool PortWatchPass(JobEnvironment& env, int line, const PortWatchHooks& hooks) {
  Clock& clock = env.clock();
  // The port wait: once a second, the successful poll included.
  for (;;) {
    if (Quit(hooks)) return false;
    bool found = env.discoverLinePorts && env.discoverLinePorts(line);
    clock.Sleep(1000);
    if (found) break;
  }
  if (Quit(hooks)) return false;

  LineJob& job = env.doc.line(line);
  OpenDiagPort(env, line);
  OpenAtPort(env, line);
  // A port this user may not open: say which, and how to fix it.
  for (const std::string& text : TakePortAccessProblems()) env.display.StatusLine(line, text, true);

  if (!DetectPhone(env, line)) {
    if (OpenDiagPort(env, line)) {
      DetectPhone(env, line);
    } else {
      job.phoneState = PhoneState::NoAnswer;
      (void)job.SetVersionText(kNoPhoneText);
    }
  }
  clock.Sleep(1000);

  if (env.showLineVersion) env.showLineVersion(line);
  if (env.showLinePort) env.showLinePort(line);
  env.display.UpdateControls(line, true);
  return true;
}

void PortWatchThread(JobEnvironment& env, int line, const PortWatchHooks& hooks) {
  if (hooks.installUsbDriver) hooks.installUsbDriver(line, [&hooks] { return Quit(hooks); });
  OpenDiagPort(env, line);
  while (!Quit(hooks)) {
    if (!PortWatchPass(env, line, hooks)) return;
  }
}

}  // namespace quorrel

#include "jobs/port_watch.h"

#include "jobs/mode_transitions.h"
#include "jobs/schedule.h"
#include "platform/port_access.h"

namespace quorrel {

namespace {

bool Quit(const PortWatchHooks& hooks) {
  return hooks.quit && hooks.quit();
}

// The port wait: a look for the modem's ports once a second, the look that
// finds them included, until they are found or the watch is asked to quit.
constexpr Schedule kPortPolls{{.tries = kUntilDone, .afterMs = 1000}};

}  // namespace

bool PortWatchPass(JobEnvironment& env, int line, const PortWatchHooks& hooks) {
  Clock& clock = env.clock();
  if (Quit(hooks)) return false;
  const bool found = RunSchedule(
      env, line, kPortPolls, [&] { return env.discoverLinePorts && env.discoverLinePorts(line); },
      {.giveUp = [&] { return Quit(hooks); }});
  if (!found || Quit(hooks)) return false;

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

#include "jobs/schedule.h"

#include "jobs/mode_transitions.h"

namespace quorrel {

namespace {

void Pause(JobEnvironment& env, uint32_t ms) {
  if (ms > 0) env.clock().Sleep(ms);
}

void Follow(JobEnvironment& env, int line, const AfterFailure& then) {
  Pause(env, then.pauseMs);
  switch (then.reopen) {
    case Reopen::None:
      break;
    case Reopen::Diag:
      (void)OpenDiagPort(env, line);
      break;
    case Reopen::At:
      (void)OpenAtPort(env, line);
      break;
  }
  Pause(env, then.settleMs);
  if (then.progress != kKeepProgress) env.display.SetProgress(line, then.progress);
}

}  // namespace

bool RunSchedule(JobEnvironment& env, int line, const Schedule& schedule,
                 const std::function<bool()>& attempt, const ScheduleChecks& checks) {
  Pause(env, schedule.leadMs);
  int made = 0;
  for (size_t s = 0; s < schedule.count; ++s) {
    const Step& step = schedule.steps[s];
    for (int i = 0; i < step.tries; ++i) {
      Pause(env, step.beforeMs);
      const bool done = attempt();
      Pause(env, step.afterMs);
      if (checks.afterTry) checks.afterTry(++made);
      if (done) return true;
      if (checks.giveUp && checks.giveUp()) return false;
      Follow(env, line, step.then);
    }
  }
  return schedule.lastFailure == LastFailure::Ignored;
}

}  // namespace quorrel

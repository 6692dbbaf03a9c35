#include "jobs/schedule.h"

#include <algorithm>

#include "jobs/mode_transitions.h"
#include "util/text.h"

namespace quorrel {

namespace {

void Pause(JobEnvironment& env, uint32_t ms) {
  if (ms > 0) env.clock().Sleep(ms);
}

// Caps the link's reply waits for as long as it lives.
class ReplyWaitCap {
 public:
  ReplyWaitCap(PhoneLink& link, uint32_t ms) : link_(link) { link_.CapReplyWait(ms); }
  ~ReplyWaitCap() { link_.CapReplyWait(0); }
  ReplyWaitCap(const ReplyWaitCap&) = delete;
  ReplyWaitCap& operator=(const ReplyWaitCap&) = delete;

 private:
  PhoneLink& link_;
};

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
  int made = 0;
  if (env.fast() && schedule.tryDuringLead) {
    // The lead is a wait for the modem to be ready: a try that finds it
    // ready ends the wait, and the wait is never longer than the lead.
    // A request sent while the modem still starts is lost: each try waits
    // only kLeadReplyWaitMs for its reply, not its request's whole time-out.
    Clock& clock = env.clock();
    PhoneLink& link = env.doc.link(line);
    link.Port().Note(Format("fast: trying every %u ms for up to %u ms, each try waiting %u ms",
                            kLeadPollMs, schedule.leadMs, kLeadReplyWaitMs));
    const uint64_t start = clock.NowMs();
    for (;;) {
      bool done = false;
      {
        const ReplyWaitCap cap(link, kLeadReplyWaitMs);
        done = attempt();
      }
      if (checks.afterTry) checks.afterTry(++made);
      if (done) return true;
      if (checks.giveUp && checks.giveUp()) return false;
      const uint64_t spent = clock.NowMs() - start;
      if (spent >= schedule.leadMs) break;
      Pause(env, static_cast<uint32_t>(std::min<uint64_t>(kLeadPollMs, schedule.leadMs - spent)));
    }
  } else {
    Pause(env, schedule.leadMs);
  }
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

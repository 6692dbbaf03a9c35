// Schedules of tries: how a line's operation tries one request (or one
// step) again, with what pauses, port reopens and progress values in
// between. A schedule is a plain value, declared next to the operation that
// follows it and read like its description ("try; 500 ms, try; reopen,
// 2000 ms, try"); RunSchedule carries out any of them.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <limits>
#include <stdexcept>

#include "jobs/job_environment.h"

namespace quorrel {

// A step whose tries go on until one succeeds or the give-up check ends them.
inline constexpr int kUntilDone = std::numeric_limits<int>::max();
// No progress value is shown.
inline constexpr int kKeepProgress = -1;

// The port opened again (closed first when open), where discovery finds the
// modem now.
enum class Reopen : uint8_t {
  None,
  Diag,  // the line's diagnostic port (OpenDiagPort)
  At,    // the line's AT port (OpenAtPort)
};

// What a failed try is followed by, in this order, before the next try
// (and after the last one, before the schedule ends).
struct AfterFailure {
  uint32_t pauseMs = 0;
  Reopen reopen = Reopen::None;
  uint32_t settleMs = 0;  // after the reopen
  int progress = kKeepProgress;
};

// One or more tries made the same way.
struct Step {
  int tries = 1;
  uint32_t beforeMs = 0;  // before each try
  uint32_t afterMs = 0;   // after each try, whatever came of it
  AfterFailure then{};
};

// What the failure of the last try makes of the schedule.
enum class LastFailure : uint8_t {
  Fails,    // the schedule failed
  Ignored,  // the schedule counts as done: what follows decides
};

struct Schedule {
  static constexpr size_t kMaxSteps = 8;

  constexpr Schedule(std::initializer_list<Step> list) {
    if (list.size() == 0) throw std::length_error("a schedule has at least one step");
    for (const Step& step : list) {
      if (count == kMaxSteps) throw std::length_error("a schedule has at most kMaxSteps steps");
      steps[count++] = step;
    }
  }

  // The same schedule, ms after its start before the first try.
  constexpr Schedule Lead(uint32_t ms) const {
    Schedule copy = *this;
    copy.leadMs = ms;
    return copy;
  }
  // The same schedule; in fast mode its lead is spent trying (a harmless
  // look, such as a no-op), kLeadPollMs apart, each waiting at most
  // kLeadReplyWaitMs for its reply, and a try that succeeds ends it early.
  // After the lead the tries go on as scheduled, with their own time-outs.
  constexpr Schedule TryingDuringLead() const {
    Schedule copy = *this;
    copy.tryDuringLead = true;
    return copy;
  }
  // The same schedule, done even when its last try fails.
  constexpr Schedule IgnoringLastFailure() const {
    Schedule copy = *this;
    copy.lastFailure = LastFailure::Ignored;
    return copy;
  }

  std::array<Step, kMaxSteps> steps{};
  size_t count = 0;
  uint32_t leadMs = 0;  // before the first try
  LastFailure lastFailure = LastFailure::Fails;
  bool tryDuringLead = false;
};

// The pace of the tries during a lead in fast mode, and how long each waits
// for its reply (a modem that is up answers within a few milliseconds).
inline constexpr uint32_t kLeadPollMs = 100;
inline constexpr uint32_t kLeadReplyWaitMs = 200;

// Up to `tries` tries, pauseMs after each failed one (the last one too).
constexpr Schedule Evenly(int tries, uint32_t pauseMs) {
  return Schedule{{.tries = tries, .then = {.pauseMs = pauseMs}}};
}

struct ScheduleChecks {
  // Asked after every failed try (before what follows the failure): true
  // ends the schedule failed at once.
  std::function<bool()> giveUp = {};
  // Called after every try and its afterMs pause with the number of tries
  // made so far.
  std::function<void(int tries)> afterTry = {};
};

// Carries out the schedule for the line: the lead pause, then try after
// try until `attempt` answers true (the result is true) or the tries run
// out (the result is false, or true when the last failure is ignored). The
// pauses go through the environment's clock, so each is a suspension point
// of the calling thread.
bool RunSchedule(JobEnvironment& env, int line, const Schedule& schedule,
                 const std::function<bool()>& attempt, const ScheduleChecks& checks = {});

}  // namespace quorrel

#include "platform/clock.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace quorrel {
namespace {

// What ran, and the clock's time when it ran.
struct Trace {
  std::vector<std::pair<std::string, uint64_t>> entries;
  std::function<void()> Mark(VirtualClock& clock, std::string name) {
    return [this, &clock, name = std::move(name)] { entries.emplace_back(name, clock.NowMs()); };
  }
};

using Entries = std::vector<std::pair<std::string, uint64_t>>;

TEST(VirtualClock, EventsRunInTimeOrderAtTheirOwnTime) {
  VirtualClock clock(1000);
  Trace trace;
  clock.ScheduleAt(1030, trace.Mark(clock, "c"));
  clock.ScheduleAt(1010, trace.Mark(clock, "a"));
  clock.ScheduleAt(1020, trace.Mark(clock, "b1"));
  clock.ScheduleIn(20, trace.Mark(clock, "b2"));  // same time: scheduling order

  clock.Advance(25);
  EXPECT_EQ(trace.entries, (Entries{{"a", 1010}, {"b1", 1020}, {"b2", 1020}}));
  EXPECT_EQ(clock.NowMs(), 1025u);
  EXPECT_EQ(clock.PendingEvents(), 1u);

  clock.Sleep(10);
  EXPECT_EQ(trace.entries.back(), (std::pair<std::string, uint64_t>{"c", 1030}));
  EXPECT_EQ(clock.NowMs(), 1035u);
  EXPECT_EQ(clock.PendingEvents(), 0u);
}

TEST(VirtualClock, EventsScheduledFromEventsRunInTheSameAdvanceWhenDue) {
  VirtualClock clock;
  Trace trace;
  clock.ScheduleAt(10, [&] {
    trace.entries.emplace_back("first", clock.NowMs());
    clock.ScheduleIn(0, trace.Mark(clock, "now"));
    clock.ScheduleIn(5, trace.Mark(clock, "later"));
    clock.ScheduleIn(50, trace.Mark(clock, "beyond"));
  });

  clock.Advance(20);
  EXPECT_EQ(trace.entries, (Entries{{"first", 10}, {"now", 10}, {"later", 15}}));
  EXPECT_EQ(clock.NowMs(), 20u);
  EXPECT_EQ(clock.PendingEvents(), 1u);
  clock.Advance(40);
  EXPECT_EQ(trace.entries.back(), (std::pair<std::string, uint64_t>{"beyond", 60}));
}

TEST(VirtualClock, EventsInThePastRunOnTheNextAdvanceWithoutTurningTimeBack) {
  VirtualClock clock(500);
  Trace trace;
  clock.ScheduleAt(100, trace.Mark(clock, "late"));
  EXPECT_TRUE(trace.entries.empty());  // scheduling never runs anything
  clock.RunDue();
  EXPECT_EQ(trace.entries, (Entries{{"late", 500}}));
  EXPECT_EQ(clock.NowMs(), 500u);
}

TEST(VirtualClock, CancelledEventsNeverRun) {
  VirtualClock clock;
  Trace trace;
  auto a = clock.ScheduleAt(10, trace.Mark(clock, "a"));
  auto b = clock.ScheduleAt(20, trace.Mark(clock, "b"));
  clock.ScheduleAt(30, trace.Mark(clock, "c"));
  clock.ScheduleAt(15, [&] { clock.Cancel(b); });  // an event cancelling a later one
  clock.Cancel(a);
  clock.Cancel(a);      // twice: harmless
  clock.Cancel(12345);  // unknown: harmless
  EXPECT_EQ(clock.PendingEvents(), 3u);

  clock.Advance(100);
  EXPECT_EQ(trace.entries, (Entries{{"c", 30}}));
}

TEST(Clock, RequestedSleepTotalsEverySleep) {
  VirtualClock virtual_clock;
  ScaledClock scaled(0.001);  // 1000 ms asked last 1 ms
  for (uint32_t ms : {0u, 5u, 1000u, 30000u}) {
    virtual_clock.Sleep(ms);
    scaled.Sleep(ms / 1000);
  }
  EXPECT_EQ(virtual_clock.RequestedSleepMs(), 31005u);
  EXPECT_EQ(virtual_clock.NowMs(), 31005u);
  EXPECT_EQ(scaled.RequestedSleepMs(), 31u);
  // Advancing a virtual clock is not a sleep.
  virtual_clock.Advance(7);
  EXPECT_EQ(virtual_clock.RequestedSleepMs(), 31005u);
}

// A run of sleeps, each woken `late` after its deadline, with `gap` of work
// between a wake-up and the next sleep: where the last wake-up lands after
// the run's start, against the sleeps it asked for.
TEST(SleepSchedule, ARunOfSleepsLastsWhatItAskedNotItsWakeUpsLateness) {
  using Us = SleepSchedule::Us;
  struct Case {
    const char* name;
    Us gap;
    Us late;
    Us wanted;
    Us lastWakeAfterAsked;  // of a run of 1000 sleeps
  };
  const Case cases[] = {
      // Only the last wake-up's lateness is left; each gap still counts.
      {"back to back", Us{0}, Us{140}, Us{5000}, Us{140}},
      {"a little work between", Us{20}, Us{140}, Us{5000}, Us{140 + 999 * 20}},
      // Late by more than a tenth of a sleep: a tenth is taken off each.
      {"late by more than a tenth", Us{0}, Us{800}, Us{5000}, Us{800 + 999 * 300}},
      // Work longer than a run's gap: every sleep is whole again.
      {"work between", Us{1500}, Us{140}, Us{5000}, Us{1000 * 140 + 999 * 1500}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SleepSchedule schedule;
    const SleepSchedule::TimePoint start{std::chrono::hours(1)};
    SleepSchedule::TimePoint now = start;
    for (int i = 0; i < 1000; ++i) {
      if (i > 0) now += c.gap;
      const auto deadline = schedule.Deadline(now, c.wanted);
      // Never sooner after the run's start than the sleeps asked so far.
      EXPECT_GE(deadline - start, c.wanted * (i + 1) + c.gap * i);
      now = deadline + c.late;
      schedule.Woke(deadline, now);
    }
    EXPECT_EQ(now - start, c.wanted * 1000 + c.lastWakeAfterAsked);
  }
}

// NowMs is the real time since construction divided by the factor. The real
// time is bracketed on both sides, so the check holds however slow the
// machine is.
TEST(ScaledClock, NowRunsInverselyToTheFactor) {
  using Steady = std::chrono::steady_clock;
  auto us = [](Steady::duration d) {
    return static_cast<double>(std::chrono::duration_cast<std::chrono::microseconds>(d).count());
  };
  for (double factor : {0.1, 0.5, 2.0}) {
    SCOPED_TRACE(factor);
    auto before_create = Steady::now();
    ScaledClock clock(factor);
    auto after_create = Steady::now();
    clock.Sleep(40);  // lasts at least 40 * factor real ms
    auto before_read = Steady::now();
    uint64_t now = clock.NowMs();
    auto after_read = Steady::now();

    double low = us(before_read - after_create) / 1000.0 / factor;
    double high = us(after_read - before_create) / 1000.0 / factor;
    EXPECT_GE(static_cast<double>(now) + 1.0, low);
    EXPECT_LE(static_cast<double>(now), high + 1.0);
    EXPECT_GE(now + 1, 40u);  // a sleep of 40 ms passes 40 ms of its own time
  }
  EXPECT_EQ(ScaledClock(0).factor(), 1.0);
  EXPECT_EQ(ScaledClock(-2).factor(), 1.0);
}

// A worker thread with its own gate that sleeps on the clock, again and again,
// until it has slept `limit` times or is stopped; counts the sleeps finished.
class GatedWorker {
 public:
  GatedWorker(Clock& clock, uint32_t sleep_ms, int limit, bool start_suspended) {
    if (start_suspended) gate_.Suspend();
    thread_ = std::thread([this, &clock, sleep_ms, limit] {
      SuspendGate::Bind bind(gate_);
      for (;;) {
        {
          std::lock_guard lock(mutex_);
          if (stop_ || done_ == limit) return;
        }
        clock.Sleep(sleep_ms);
        std::lock_guard lock(mutex_);
        ++done_;
        changed_.notify_all();
      }
    });
  }
  ~GatedWorker() { Stop(); }

  void Stop() {
    {
      std::lock_guard lock(mutex_);
      stop_ = true;
    }
    gate_.Resume();
    if (thread_.joinable()) thread_.join();
  }

  SuspendGate& gate() { return gate_; }
  int Done() {
    std::lock_guard lock(mutex_);
    return done_;
  }
  // Waits (bounded) until at least n sleeps finished.
  bool WaitForDone(int n) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(10), [&] { return done_ >= n; });
  }

 private:
  SuspendGate gate_;
  std::mutex mutex_;
  std::condition_variable changed_;
  int done_ = 0;
  bool stop_ = false;
  std::thread thread_;
};

constexpr int kUnlimited = -1;

TEST(SuspendGate, SuspendedThreadParksBeforeItsSleepAndGoesOnAfterResume) {
  VirtualClock clock;
  GatedWorker worker(clock, 100, 3, /*start_suspended=*/true);
  worker.gate().WaitUntilParked();
  EXPECT_TRUE(worker.gate().IsParked());
  EXPECT_TRUE(worker.gate().IsSuspended());
  // Parked at the first sleep, before that sleep moved the clock.
  EXPECT_EQ(worker.Done(), 0);
  EXPECT_EQ(clock.NowMs(), 0u);
  EXPECT_EQ(clock.RequestedSleepMs(), 0u);

  worker.gate().Resume();
  ASSERT_TRUE(worker.WaitForDone(3));
  worker.Stop();
  EXPECT_FALSE(worker.gate().IsParked());
  EXPECT_EQ(clock.NowMs(), 300u);
}

TEST(SuspendGate, RunningThreadParksAtItsNextSleepAndMovesOnlyAfterResume) {
  VirtualClock clock;
  GatedWorker worker(clock, 10, kUnlimited, /*start_suspended=*/false);
  ASSERT_TRUE(worker.WaitForDone(5));  // it runs freely first
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE(round);
    worker.gate().Suspend();
    worker.gate().WaitUntilParked();
    int parked_at = worker.Done();
    // Parked between sleeps: the clock shows exactly the finished ones.
    EXPECT_EQ(clock.NowMs(), static_cast<uint64_t>(parked_at) * 10);
    EXPECT_EQ(clock.RequestedSleepMs(), static_cast<uint64_t>(parked_at) * 10);

    worker.gate().Resume();
    ASSERT_TRUE(worker.WaitForDone(parked_at + 2));
  }
}

TEST(SuspendGate, BindingIsPerThreadAndNests) {
  SuspendGate outer;
  SuspendGate inner;
  EXPECT_EQ(SuspendGate::Current(), nullptr);
  {
    SuspendGate::Bind bind_outer(outer);
    EXPECT_EQ(SuspendGate::Current(), &outer);
    {
      SuspendGate::Bind bind_inner(inner);
      EXPECT_EQ(SuspendGate::Current(), &inner);
    }
    EXPECT_EQ(SuspendGate::Current(), &outer);
    SuspendGate* seen_elsewhere = &outer;
    std::thread([&] { seen_elsewhere = SuspendGate::Current(); }).join();
    EXPECT_EQ(seen_elsewhere, nullptr);
  }
  EXPECT_EQ(SuspendGate::Current(), nullptr);

  // A suspended gate that is not bound to this thread does not stop it.
  outer.Suspend();
  VirtualClock clock;
  clock.Sleep(5);
  SuspensionPoint();
  EXPECT_EQ(clock.NowMs(), 5u);
}

TEST(SuspendGate, WaitsEndWhenTheThreadReturnsOrWaitsForTheUser) {
  // A thread that has returned never parks: waiting for it must not hang.
  auto finished = std::make_shared<SuspendGate>();
  std::thread([finished] { SuspendGate::Bind bind(*finished); }).join();
  finished->Suspend();
  finished->WaitUntilParked();
  EXPECT_TRUE(finished->WaitUntilSettled());
  EXPECT_TRUE(finished->IsFinished());

  // A thread in a modal dialog is settled for a shutdown without parking,
  // and parks the moment its dialog returns while suspended.
  SuspendGate gate;
  std::mutex m;
  std::condition_variable cv;
  bool answered = false;
  bool afterDialog = false;
  std::thread worker([&] {
    SuspendGate::Bind bind(gate);
    {
      SuspendGate::Held held;
      std::unique_lock lock(m);
      cv.wait(lock, [&] { return answered; });
    }
    std::lock_guard lock(m);
    afterDialog = true;
  });
  gate.Suspend();
  EXPECT_FALSE(gate.WaitUntilSettled());
  EXPECT_FALSE(gate.IsParked());
  {
    std::lock_guard lock(m);
    answered = true;
  }
  cv.notify_all();
  gate.WaitUntilParked();
  {
    std::lock_guard lock(m);
    EXPECT_FALSE(afterDialog);
  }
  gate.Resume();
  worker.join();
  EXPECT_TRUE(afterDialog);
  EXPECT_TRUE(gate.IsFinished());
}

}  // namespace
}  // namespace quorrel

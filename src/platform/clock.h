// Time for everything that waits: the real monotonic clock, a scaled clock for
// demos against the simulator, and a virtual clock whose sleeps advance time at
// once. Every sleep is also a suspension point of the calling thread.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>

namespace quorrel {

class Clock {
 public:
  virtual ~Clock() = default;

  // Monotonic milliseconds since an arbitrary origin.
  virtual uint64_t NowMs() = 0;

  // Parks at the calling thread's suspension gate first (see SuspendGate),
  // then waits ms milliseconds of this clock's time.
  void Sleep(uint32_t ms);

  // Total of every sleep asked of this clock, in its own milliseconds.
  uint64_t RequestedSleepMs() const { return requested_sleep_ms_.load(); }
  // How many sleeps were asked, and the real microseconds they lasted: what
  // the system's wake-ups add to the sleeps asked (a benchmark's figures).
  uint64_t SleepCount() const { return sleep_count_.load(); }
  uint64_t SleptRealUs() const { return slept_real_us_.load(); }
  // How many real milliseconds ms of this clock last, for a wait that blocks
  // on something else than the clock (a port); 0 when this clock's time is
  // not real time at all (a virtual clock: such a wait must sleep instead).
  virtual uint32_t RealMs(uint32_t ms) const { return ms; }
  // Total of every sleep the calling thread asked of any clock, in the
  // clocks' own milliseconds: the floor of a job thread's time.
  static uint64_t ThreadRequestedSleepMs();

 protected:
  virtual void DoSleep(uint32_t ms) = 0;

 private:
  std::atomic<uint64_t> requested_sleep_ms_{0};
  std::atomic<uint64_t> sleep_count_{0};
  std::atomic<uint64_t> slept_real_us_{0};
};

// Keeps a run of sleeps on schedule. A system wakes a sleeping thread a
// little late (a tenth of a millisecond and more); a sampling loop that
// sleeps thousands of times would add that lateness up into seconds. When a
// sleep follows the previous one at once (the thread did next to nothing in
// between), it is shortened by what the previous wake-up came late, by at
// most a tenth of its length, so the run lasts what it asked for: the n-th
// wake-up of a run comes no sooner after its start than the sleeps asked.
class SleepSchedule {
 public:
  using TimePoint = std::chrono::steady_clock::time_point;
  using Us = std::chrono::microseconds;

  // Work between two sleeps up to this still makes them one run.
  static constexpr Us kRunGap{1000};

  // When a sleep of `wanted` that starts at `start` is to end.
  TimePoint Deadline(TimePoint start, Us wanted) const;
  // Records that the sleep that was to end at deadline woke at woke.
  void Woke(TimePoint deadline, TimePoint woke);

 private:
  TimePoint last_wake_{};
  Us late_{0};
};

class RealClock : public Clock {
 public:
  RealClock();
  uint64_t NowMs() override;

 protected:
  void DoSleep(uint32_t ms) override;

 private:
  std::chrono::steady_clock::time_point origin_;
};

// All waits and time-outs multiplied by a factor: a sleep of ms lasts
// ms * factor real milliseconds, and NowMs runs 1/factor times as fast as real
// time, so time-outs measured with NowMs shrink by the same factor.
class ScaledClock : public Clock {
 public:
  explicit ScaledClock(double factor);
  uint64_t NowMs() override;
  uint32_t RealMs(uint32_t ms) const override;
  double factor() const { return factor_; }

 protected:
  void DoSleep(uint32_t ms) override;

 private:
  double factor_;
  std::chrono::steady_clock::time_point origin_;
};

// Time that moves only when a thread sleeps (or a test advances it). Events
// can be scheduled at a virtual time; they run, in time order, on the thread
// whose sleep carries the clock past them, with NowMs() equal to their time.
class VirtualClock : public Clock {
 public:
  using EventId = uint64_t;

  explicit VirtualClock(uint64_t start_ms = 0) : now_ms_(start_ms) {}

  uint64_t NowMs() override;

  // Runs fn when the clock reaches at_ms (at once on the next advance if
  // at_ms is not in the future). Returns an id for Cancel.
  EventId ScheduleAt(uint64_t at_ms, std::function<void()> fn);
  EventId ScheduleIn(uint64_t delay_ms, std::function<void()> fn);
  void Cancel(EventId id);
  size_t PendingEvents();

  // Moves time forward without a suspension point (for tests and drivers).
  void Advance(uint64_t ms);
  // Runs every event due at the current time.
  void RunDue();

 protected:
  void DoSleep(uint32_t ms) override { Advance(ms); }

 private:
  // Held by the thread carrying the clock forward, for the whole advance:
  // another thread's sleep waits until the events of this one have run, so
  // time never passes an event that is still running (a thread that looks
  // at the clock then finds the event's effects there). Recursive: an event
  // may advance the clock itself.
  std::recursive_mutex advance_mutex_;
  std::mutex mutex_;
  uint64_t now_ms_;
  EventId next_id_ = 1;
  // (time, id) keeps events of the same time in the order they were scheduled.
  std::map<std::pair<uint64_t, EventId>, std::function<void()>> events_;
};

// Cooperative suspension of one thread. The thread binds the gate to itself
// (SuspendGate::Bind); every Clock::Sleep and every exchange with a phone calls
// SuspensionPoint(), which parks the thread while its gate is suspended.
class SuspendGate {
 public:
  void Suspend();
  void Resume();
  bool IsSuspended();
  // True while the owning thread is parked at a suspension point.
  bool IsParked();
  // Blocks the caller until the owning thread has parked or its function has
  // returned (for tests and for callers that must know the thread stopped
  // touching shared state).
  void WaitUntilParked();
  // Blocks until the owning thread has parked, has returned, or waits for the
  // user in a modal dialog (see Held); true when it has returned.
  bool WaitUntilSettled();
  // True once the thread that bound the gate has let it go (its function
  // returned).
  bool IsFinished();

  // Parks while suspended. Called by the owning thread only.
  void Checkpoint();

  // Binds a gate to the calling thread for the lifetime of this object.
  class Bind {
   public:
    explicit Bind(SuspendGate& gate);
    ~Bind();
    Bind(const Bind&) = delete;
    Bind& operator=(const Bind&) = delete;

   private:
    SuspendGate* gate_;
    SuspendGate* previous_;
  };

  // Marks the calling thread, for the lifetime of this object, as waiting
  // for the user (a modal box): a shutdown that parks the line's threads does
  // not wait for it. Leaving the scope is a suspension point, so a thread
  // that comes back from its dialog after a shutdown parks at once.
  class Held {
   public:
    Held();
    ~Held();
    Held(const Held&) = delete;
    Held& operator=(const Held&) = delete;

   private:
    SuspendGate* gate_;
  };

  static SuspendGate* Current();

 private:
  void SetHeld(bool held);
  void SetFinished();

  std::mutex mutex_;
  std::condition_variable changed_;
  bool suspended_ = false;
  bool parked_ = false;
  bool held_ = false;
  bool finished_ = false;
};

// The suspension point of the calling thread (nothing when it has no gate).
void SuspensionPoint();

}  // namespace quorrel

#include "platform/clock.h"

#include <algorithm>
#include <cmath>

#include <thread>
#include <vector>

namespace quorrel {

namespace {
thread_local SuspendGate* t_current_gate = nullptr;
thread_local uint64_t t_requested_sleep_ms = 0;
// Each thread's run of real sleeps.
thread_local SleepSchedule t_real_sleeps;

uint64_t MsSince(std::chrono::steady_clock::time_point origin) {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                   std::chrono::steady_clock::now() - origin)
                                   .count());
}
}  // namespace

void Clock::Sleep(uint32_t ms) {
  SuspensionPoint();
  requested_sleep_ms_ += ms;
  t_requested_sleep_ms += ms;
  const auto start = std::chrono::steady_clock::now();
  DoSleep(ms);
  sleep_count_ += 1;
  slept_real_us_ += static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                              std::chrono::steady_clock::now() - start)
                                              .count());
}

uint64_t Clock::ThreadRequestedSleepMs() {
  return t_requested_sleep_ms;
}

SleepSchedule::TimePoint SleepSchedule::Deadline(TimePoint start, Us wanted) const {
  if (start - last_wake_ > kRunGap) return start + wanted;
  return start + wanted - std::min(late_, wanted / 10);
}

void SleepSchedule::Woke(TimePoint deadline, TimePoint woke) {
  last_wake_ = woke;
  late_ = woke > deadline ? std::chrono::duration_cast<Us>(woke - deadline) : Us{0};
}

RealClock::RealClock() : origin_(std::chrono::steady_clock::now()) {}

uint64_t RealClock::NowMs() {
  return MsSince(origin_);
}

void RealClock::DoSleep(uint32_t ms) {
  const auto deadline =
      t_real_sleeps.Deadline(std::chrono::steady_clock::now(), std::chrono::milliseconds(ms));
  std::this_thread::sleep_until(deadline);
  t_real_sleeps.Woke(deadline, std::chrono::steady_clock::now());
}

ScaledClock::ScaledClock(double factor)
    : factor_(factor > 0 ? factor : 1.0), origin_(std::chrono::steady_clock::now()) {}

uint64_t ScaledClock::NowMs() {
  auto real_us = std::chrono::duration_cast<std::chrono::microseconds>(
                     std::chrono::steady_clock::now() - origin_)
                     .count();
  return static_cast<uint64_t>(static_cast<double>(real_us) / 1000.0 / factor_);
}

uint32_t ScaledClock::RealMs(uint32_t ms) const {
  return std::max<uint32_t>(1, static_cast<uint32_t>(std::ceil(ms * factor_)));
}

void ScaledClock::DoSleep(uint32_t ms) {
  std::this_thread::sleep_for(
      std::chrono::microseconds(static_cast<int64_t>(static_cast<double>(ms) * 1000.0 * factor_)));
}

uint64_t VirtualClock::NowMs() {
  std::lock_guard lock(mutex_);
  return now_ms_;
}

VirtualClock::EventId VirtualClock::ScheduleAt(uint64_t at_ms, std::function<void()> fn) {
  std::lock_guard lock(mutex_);
  EventId id = next_id_++;
  events_.emplace(std::make_pair(at_ms, id), std::move(fn));
  return id;
}

VirtualClock::EventId VirtualClock::ScheduleIn(uint64_t delay_ms, std::function<void()> fn) {
  uint64_t at;
  {
    std::lock_guard lock(mutex_);
    at = now_ms_ + delay_ms;
  }
  return ScheduleAt(at, std::move(fn));
}

void VirtualClock::Cancel(EventId id) {
  std::lock_guard lock(mutex_);
  for (auto it = events_.begin(); it != events_.end(); ++it) {
    if (it->first.second == id) {
      events_.erase(it);
      return;
    }
  }
}

size_t VirtualClock::PendingEvents() {
  std::lock_guard lock(mutex_);
  return events_.size();
}

void VirtualClock::Advance(uint64_t ms) {
  std::lock_guard advancing(advance_mutex_);
  uint64_t target;
  {
    std::lock_guard lock(mutex_);
    target = now_ms_ + ms;
  }
  for (;;) {
    std::function<void()> fn;
    {
      std::lock_guard lock(mutex_);
      auto it = events_.begin();
      if (it == events_.end() || it->first.first > target) {
        if (now_ms_ < target) now_ms_ = target;
        return;
      }
      if (it->first.first > now_ms_) now_ms_ = it->first.first;
      fn = std::move(it->second);
      events_.erase(it);
    }
    fn();  // may schedule further events, also at the current time
  }
}

void VirtualClock::RunDue() {
  Advance(0);
}

void SuspendGate::Suspend() {
  std::lock_guard lock(mutex_);
  suspended_ = true;
}

void SuspendGate::Resume() {
  std::lock_guard lock(mutex_);
  suspended_ = false;
  changed_.notify_all();
}

bool SuspendGate::IsSuspended() {
  std::lock_guard lock(mutex_);
  return suspended_;
}

bool SuspendGate::IsParked() {
  std::lock_guard lock(mutex_);
  return parked_;
}

void SuspendGate::WaitUntilParked() {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [this] { return parked_ || finished_; });
}

bool SuspendGate::WaitUntilSettled() {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [this] { return parked_ || finished_ || held_; });
  return finished_;
}

bool SuspendGate::IsFinished() {
  std::lock_guard lock(mutex_);
  return finished_;
}

void SuspendGate::SetHeld(bool held) {
  std::lock_guard lock(mutex_);
  held_ = held;
  changed_.notify_all();
}

void SuspendGate::SetFinished() {
  std::lock_guard lock(mutex_);
  finished_ = true;
  changed_.notify_all();
}

void SuspendGate::Checkpoint() {
  std::unique_lock lock(mutex_);
  if (!suspended_) return;
  parked_ = true;
  changed_.notify_all();
  changed_.wait(lock, [this] { return !suspended_; });
  parked_ = false;
  changed_.notify_all();
}

SuspendGate::Bind::Bind(SuspendGate& gate) : gate_(&gate), previous_(t_current_gate) {
  t_current_gate = &gate;
}

SuspendGate::Bind::~Bind() {
  t_current_gate = previous_;
  gate_->SetFinished();
}

SuspendGate::Held::Held() : gate_(t_current_gate) {
  if (gate_ != nullptr) gate_->SetHeld(true);
}

SuspendGate::Held::~Held() {
  if (gate_ == nullptr) return;
  gate_->SetHeld(false);
  gate_->Checkpoint();
}

SuspendGate* SuspendGate::Current() {
  return t_current_gate;
}

void SuspensionPoint() {
  if (SuspendGate* gate = t_current_gate) gate->Checkpoint();
}

}  // namespace quorrel

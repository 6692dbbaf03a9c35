#include "sim/link_model.h"

#include <algorithm>

namespace quorrel::sim {

uint64_t LinkModel::BytesUs(size_t bytes) const {
  return rate_ == 0 ? 0 : (static_cast<uint64_t>(bytes) * 1'000'000 + rate_ - 1) / rate_;
}

// Times are kept in microseconds so that short frames add up instead of
// vanishing in a rounding; a delay handed back is whole milliseconds, rounded
// down, and the remainder stays in the running total.
uint64_t LinkModel::Inbound(uint64_t nowMs, size_t bytes) {
  floor_.bytesToModem += bytes;
  if (rate_ == 0) return 0;
  const uint64_t nowUs = nowMs * 1000;
  const uint64_t cost = BytesUs(bytes);
  floor_.linkUs += cost;
  in_free_us_ = std::max(in_free_us_, nowUs) + cost;
  return in_free_us_ / 1000 - nowMs;
}

uint64_t LinkModel::Outbound(uint64_t nowMs, uint64_t processingMs, uint64_t extraMs,
                             size_t bytes) {
  floor_.bytesToHost += bytes;
  floor_.processingMs += processingMs;
  if (rate_ == 0) return processingMs + extraMs;
  const uint64_t nowUs = nowMs * 1000;
  const uint64_t cost = BytesUs(bytes);
  floor_.linkUs += cost;
  busy_until_us_ = std::max(busy_until_us_, nowUs) + processingMs * 1000;
  out_free_us_ = std::max(out_free_us_, busy_until_us_ + extraMs * 1000) + cost;
  return out_free_us_ / 1000 - nowMs;
}

void LinkModel::Reset() {
  in_free_us_ = 0;
  out_free_us_ = 0;
  busy_until_us_ = 0;
}

}  // namespace quorrel::sim

// What the modem costs in time: the USB link that carries its bytes at a
// fixed rate each way, the modem's own processor that handles one request at
// a time, and its boots. The modem core asks it when bytes the host wrote
// have arrived and when a reply's bytes reach the host; it adds up what it
// imposed, so a run can be compared with what the link and the modem allow.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quorrel::sim {

// The sums of the times the model imposed over a session: the host's job can
// take no less than what its bytes needed on the link, plus what the modem
// spent on its requests and its boots, less what of those overlapped.
struct CostFloor {
  uint64_t linkUs = 0;        // every byte, both ways, over the link rate
  uint64_t processingMs = 0;  // every request's own processing time
  uint64_t bootMs = 0;        // leaving the bus, booting, switching modes
  uint64_t bytesToModem = 0;
  uint64_t bytesToHost = 0;
  uint64_t TotalMs() const { return linkUs / 1000 + processingMs + bootMs; }
};

class LinkModel {
 public:
  // bytesPerSecond 0: no link (bytes cross at once) and requests are
  // processed side by side, each on its own delay.
  explicit LinkModel(uint64_t bytesPerSecond) : rate_(bytesPerSecond) {}

  bool On() const { return rate_ > 0; }

  // Bytes the host wrote at nowMs: the time from now until their last byte
  // has reached the modem.
  uint64_t Inbound(uint64_t nowMs, size_t bytes);
  // A reply of bytes, asked for at nowMs, that the modem is ready to send
  // after processingMs of its own work (queued behind the requests it is
  // still working on) plus extraMs that do not hold it up (a late reply):
  // the time from now until the reply's last byte has reached the host.
  uint64_t Outbound(uint64_t nowMs, uint64_t processingMs, uint64_t extraMs, size_t bytes);
  // The modem left the bus, booted or switched modes for ms.
  void Booted(uint64_t ms) { floor_.bootMs += ms; }
  // The modem left the bus: nothing is in flight any more.
  void Reset();

  const CostFloor& floor() const { return floor_; }

 private:
  uint64_t BytesUs(size_t bytes) const;

  uint64_t rate_;
  uint64_t in_free_us_ = 0;     // when the link toward the modem is free
  uint64_t out_free_us_ = 0;    // when the link toward the host is free
  uint64_t busy_until_us_ = 0;  // when the modem has handled what it holds
  CostFloor floor_;
};

}  // namespace quorrel::sim

#include "platform/memory_wire.h"

#include <algorithm>

namespace quorrel {

void MemoryWire::SetReceiver(Receiver receiver) {
  std::lock_guard lock(mutex_);
  receiver_ = std::move(receiver);
}

void MemoryWire::SendToHost(std::span<const uint8_t> bytes, uint64_t delayMs) {
  uint64_t arrival = clock_.NowMs() + delayMs;
  std::lock_guard lock(mutex_);
  if (unplugged_) return;
  // Keep the queue ordered by arrival; bytes sent later never overtake
  // bytes sent earlier.
  if (!to_host_.empty() && to_host_.back().arrival > arrival) arrival = to_host_.back().arrival;
  for (uint8_t b : bytes) to_host_.push_back({arrival, b});
}

void MemoryWire::SendToHostInPieces(std::span<const uint8_t> bytes, size_t pieceSize,
                                    uint64_t firstDelayMs, uint64_t intervalMs) {
  if (pieceSize == 0) pieceSize = bytes.size();
  uint64_t delay = firstDelayMs;
  for (size_t at = 0; at < bytes.size(); at += pieceSize) {
    SendToHost(bytes.subspan(at, std::min(pieceSize, bytes.size() - at)), delay);
    delay += intervalMs;
  }
}

void MemoryWire::Unplug() {
  std::lock_guard lock(mutex_);
  unplugged_ = true;
  to_host_.clear();
}

bool MemoryWire::Unplugged() {
  std::lock_guard lock(mutex_);
  return unplugged_;
}

bool MemoryWire::HostOpen() {
  std::lock_guard lock(mutex_);
  return host_open_;
}

std::vector<uint8_t> MemoryWire::HostWritten() {
  std::lock_guard lock(mutex_);
  return host_written_;
}

bool MemoryWire::OpenHost() {
  std::lock_guard lock(mutex_);
  if (unplugged_ || host_open_) return false;
  host_open_ = true;
  return true;
}

void MemoryWire::CloseHost() {
  std::lock_guard lock(mutex_);
  host_open_ = false;
}

size_t MemoryWire::ArrivedLocked(uint64_t now) const {
  // Arrival times are non-decreasing, so the arrived bytes are a prefix.
  auto it = std::partition_point(to_host_.begin(), to_host_.end(),
                                 [now](const Pending& p) { return p.arrival <= now; });
  return static_cast<size_t>(it - to_host_.begin());
}

void MemoryWire::PurgeHostInput() {
  uint64_t now = clock_.NowMs();
  std::lock_guard lock(mutex_);
  to_host_.erase(to_host_.begin(), to_host_.begin() + static_cast<long>(ArrivedLocked(now)));
}

int MemoryWire::HostWrite(const uint8_t* data, int length) {
  Receiver receiver;
  {
    std::lock_guard lock(mutex_);
    if (unplugged_ || !host_open_) return 0;
    host_written_.insert(host_written_.end(), data, data + length);
    receiver = receiver_;
  }
  if (receiver) receiver(std::span<const uint8_t>(data, static_cast<size_t>(length)));
  return length;
}

int MemoryWire::HostQueued() {
  uint64_t now = clock_.NowMs();
  std::lock_guard lock(mutex_);
  if (unplugged_ || !host_open_) return 0;
  return static_cast<int>(ArrivedLocked(now));
}

int MemoryWire::HostRead(uint8_t* buffer, int maxLength) {
  uint64_t now = clock_.NowMs();
  std::lock_guard lock(mutex_);
  if (unplugged_ || !host_open_ || maxLength <= 0) return 0;
  size_t n = std::min(ArrivedLocked(now), static_cast<size_t>(maxLength));
  for (size_t i = 0; i < n; ++i) buffer[i] = to_host_[i].byte;
  to_host_.erase(to_host_.begin(), to_host_.begin() + static_cast<long>(n));
  return static_cast<int>(n);
}

namespace {

class MemoryDevice : public SerialDevice {
 public:
  explicit MemoryDevice(std::shared_ptr<MemoryWire> wire) : wire_(std::move(wire)) {}
  ~MemoryDevice() override { wire_->CloseHost(); }

  void Purge(bool input, bool /*output*/) override {
    // A write completes at once, so there is never unfinished output.
    if (input) wire_->PurgeHostInput();
  }
  int Write(const uint8_t* data, int length) override { return wire_->HostWrite(data, length); }
  int BytesQueued() override { return wire_->HostQueued(); }
  int Read(uint8_t* buffer, int maxLength) override { return wire_->HostRead(buffer, maxLength); }
  bool HungUp() override { return wire_->Unplugged(); }

 private:
  std::shared_ptr<MemoryWire> wire_;
};

}  // namespace

void MemoryPorts::Attach(int port, std::shared_ptr<MemoryWire> wire) {
  std::lock_guard lock(mutex_);
  wires_[port] = std::move(wire);
}

void MemoryPorts::Detach(int port) {
  std::shared_ptr<MemoryWire> wire;
  {
    std::lock_guard lock(mutex_);
    auto it = wires_.find(port);
    if (it == wires_.end()) return;
    wire = std::move(it->second);
    wires_.erase(it);
  }
  wire->Unplug();
}

std::shared_ptr<MemoryWire> MemoryPorts::Wire(int port) {
  std::lock_guard lock(mutex_);
  auto it = wires_.find(port);
  return it == wires_.end() ? nullptr : it->second;
}

std::unique_ptr<SerialDevice> MemoryPorts::Open(int port, int /*baudRate*/, int /*dataBits*/,
                                                int /*stopBits*/) {
  std::shared_ptr<MemoryWire> wire = Wire(port);
  if (!wire || !wire->OpenHost()) return nullptr;
  return std::make_unique<MemoryDevice>(std::move(wire));
}

}  // namespace quorrel

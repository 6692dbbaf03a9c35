// An in-memory serial cable for tests and the in-process simulator.
//
// The host side looks like any serial port (MemoryPorts hands out
// SerialDevices); the far end receives every block the host writes through a
// callback and answers with SendToHost. Bytes sent to the host become queued
// at the clock time they were sent plus their delay, so with a VirtualClock a
// reply can arrive at an exact moment, or trickle in pieces, and a host's
// settle loop sees precisely what a real port would show at each sample.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <span>
#include <vector>

#include "platform/clock.h"
#include "platform/serial_port.h"

namespace quorrel {

class MemoryWire : public std::enable_shared_from_this<MemoryWire> {
 public:
  using Receiver = std::function<void(std::span<const uint8_t>)>;

  explicit MemoryWire(Clock& clock) : clock_(clock) {}

  // ---- far end ----
  // Called with each block the host writes, on the host's thread, at the
  // moment of the write.
  void SetReceiver(Receiver receiver);
  // Queues bytes for the host; they arrive delayMs after now.
  void SendToHost(std::span<const uint8_t> bytes, uint64_t delayMs = 0);
  // The same bytes in pieces of pieceSize: the first after firstDelayMs, each
  // further one intervalMs later.
  void SendToHostInPieces(std::span<const uint8_t> bytes, size_t pieceSize, uint64_t firstDelayMs,
                          uint64_t intervalMs);
  // The cable is pulled: host writes fail, reads find nothing, for good.
  void Unplug();
  bool Unplugged();
  // True while a host has the port open.
  bool HostOpen();
  // Every byte the host wrote, in order (for tests).
  std::vector<uint8_t> HostWritten();

  // ---- host side (used by the device that MemoryPorts opens) ----
  bool OpenHost();
  void CloseHost();
  void PurgeHostInput();
  int HostWrite(const uint8_t* data, int length);
  int HostQueued();
  int HostRead(uint8_t* buffer, int maxLength);

 private:
  struct Pending {
    uint64_t arrival;
    uint8_t byte;
  };
  size_t ArrivedLocked(uint64_t now) const;

  Clock& clock_;
  std::mutex mutex_;
  Receiver receiver_;
  std::deque<Pending> to_host_;  // ordered by arrival
  std::vector<uint8_t> host_written_;
  bool host_open_ = false;
  bool unplugged_ = false;
};

// Numbered ports backed by memory wires: what a test or the in-process
// simulator attaches is what SerialPort::Open finds.
class MemoryPorts : public SerialDevices {
 public:
  void Attach(int port, std::shared_ptr<MemoryWire> wire);
  // Removes the port and unplugs its wire.
  void Detach(int port);
  std::shared_ptr<MemoryWire> Wire(int port);

  std::unique_ptr<SerialDevice> Open(int port, int baudRate, int dataBits, int stopBits) override;

 private:
  std::mutex mutex_;
  std::map<int, std::shared_ptr<MemoryWire>> wires_;
};

}  // namespace quorrel

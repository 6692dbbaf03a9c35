// A virtual modem at the far end of in-memory wires, on the virtual clock.
//
// Its ports are numbered MemoryPorts that a host's SerialPort opens; its
// registry entries are written under <root>/registry (point QUORREL_ROOT at a
// scratch folder first), so the host's port discovery finds it exactly as it
// finds a real modem. Replies become readable at the virtual time the modem
// sends them; timers (switches, restarts) run when the host's sleeps carry the
// clock past them. A re-enumeration unplugs the old wires, removes the
// services' registry keys and, after the pause, attaches new wires under new
// port numbers.
//
//   VirtualClock clock;
//   MemoryPorts ports;
//   sim::InProcessModem modem(clock, ports, sim::ModemConfig{});
//   modem.PlugIn();
//   PhoneLink link(clock, ports);
//   link.Port().Open(modem.DiagPort(), 115200, 8, 1);
//   ... run the host ...
//   modem.device().ImageBytes(5), modem.device().Violations(), ...
#pragma once

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <optional>

#include "platform/clock.h"
#include "platform/memory_wire.h"
#include "sim/device.h"

namespace quorrel::sim {

class InProcessModem : private ModemTransport {
 public:
  struct Options {
    // Write the registry entries (needs QUORREL_ROOT pointing somewhere
    // disposable); without them only the port table changes.
    bool registry = true;
  };

  InProcessModem(VirtualClock& clock, MemoryPorts& ports, ModemConfig config);
  InProcessModem(VirtualClock& clock, MemoryPorts& ports, ModemConfig config, Options options);
  ~InProcessModem() override;
  InProcessModem(const InProcessModem&) = delete;
  InProcessModem& operator=(const InProcessModem&) = delete;

  // Attaches the modem in its normal firmware at once.
  void PlugIn();
  // Takes the modem off the bus for good (also done by the destructor).
  void Unplug();

  // The modem on the bus now: after a swap (ModemConfig::swap), the one put
  // in; before it, the first one.
  VirtualModem& device() { return *current_.load(); }
  // The modem plugged in first, whatever came after it.
  VirtualModem& first() { return *modem_; }
  // The current port numbers; 0 while off the bus.
  int DiagPort();
  int DataPort();
  // The wire behind the current diagnostic or data port (nullptr when off).
  std::shared_ptr<MemoryWire> DiagWire();
  std::shared_ptr<MemoryWire> DataWire();

 private:
  // ModemTransport
  uint64_t NowMs() override;
  void Send(PortRole role, std::vector<uint8_t> bytes, const ReplyShape& shape) override;
  TimerId After(uint64_t delayMs, std::function<void()> fn) override;
  void CancelTimer(TimerId id) override;
  Enumeration Attach(const Enumeration& proposed) override;
  void Detach() override;
  bool HandOver(uint64_t afterMs) override;

  VirtualClock& clock_;
  MemoryPorts& ports_;
  Options options_;
  std::mutex mutex_;
  std::optional<Enumeration> attached_;
  std::shared_ptr<MemoryWire> diag_wire_;
  std::shared_ptr<MemoryWire> data_wire_;
  std::vector<Enumeration> seen_;                   // every attachment, for the final clean-up
  std::optional<VirtualClock::EventId> hand_over_;  // the swapped-in modem's coming
  // Last: they talk to the members above.
  std::unique_ptr<VirtualModem> modem_;
  std::unique_ptr<VirtualModem> swapped_;  // the modem a swap puts in, when configured
  std::atomic<VirtualModem*> current_{nullptr};
};

}  // namespace quorrel::sim

// How the virtual modem meets the world: the two ports it answers on, the
// shape in which its replies travel, its appearances on the bus, and the
// transport that carries its bytes and runs its timers.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "sim/config.h"

namespace quorrel::sim {

enum class PortRole { Diag, Data };
std::string_view PortRoleName(PortRole role);

// How a block of bytes reaches the host: after delayMs, in one piece or in
// pieces of pieceSize bytes intervalMs apart (pieceSize 0: one piece), or in
// pieces of the given lengths when pieces is not empty.
struct ReplyShape {
  uint64_t delayMs = 0;
  size_t pieceSize = 0;
  uint64_t intervalMs = 0;
  std::vector<size_t> pieces;
};
// The lengths of the pieces in which a block of total bytes is sent.
std::vector<size_t> PieceLengths(const ReplyShape& shape, size_t total);

// One appearance of the modem on the bus.
struct Enumeration {
  int index = 0;  // 0 for the first attachment after power-on
  // The mode it boots into: a download mode shows only the diagnostic port
  // (and, on USB, the download identity).
  ModemMode mode = ModemMode::Normal;
  int diagPort = 0;  // 0 when the diagnostic port is switched off
  int dataPort = 0;
  std::string vendor;
  std::string diagDevicePath;   // USB\VID_xxxx&PID_xxxx&MI_01\<instance>
  std::string modemDevicePath;  // USB\VID_xxxx&PID_xxxx&MI_00\<instance>
};

class ModemTransport {
 public:
  using TimerId = uint64_t;
  virtual ~ModemTransport() = default;
  // The modem's clock, in milliseconds.
  virtual uint64_t NowMs() = 0;
  virtual void Send(PortRole role, std::vector<uint8_t> bytes, const ReplyShape& shape) = 0;
  virtual TimerId After(uint64_t delayMs, std::function<void()> fn) = 0;
  virtual void CancelTimer(TimerId id) = 0;
  // Makes the ports appear. The transport may pick other port numbers than
  // proposed (ports already taken); it returns what it attached.
  virtual Enumeration Attach(const Enumeration& proposed) = 0;
  virtual void Detach() = 0;
  // The modem entered another mode.
  virtual void ModeChanged(ModemMode /*mode*/) {}
  // The modem has left the bus for good, and another modem comes back in
  // its place afterMs later (a swap, ModemConfig::swap). False when the
  // transport has no other modem: this one then comes back itself.
  virtual bool HandOver(uint64_t /*afterMs*/) { return false; }
};

}  // namespace quorrel::sim

// The virtual modem on this machine's bus: each port a pseudo-terminal whose
// slave is linked as <root>/dosdevices/comN, registry keys for the driver
// services, and a real-time event loop (poll) that carries the host's bytes to
// the modem, the modem's replies to the host when they are due, and the
// modem's timers. A time scale multiplies every delay and pause.
//
// Single-threaded: Run() calls the modem, and the modem calls back into the
// bus, on the same thread.
#pragma once

#include <chrono>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/pty.h"
#include "sim/device.h"
#include "sim/usb_sysfs.h"

namespace quorrel::sim {

class PtyBus : public ModemTransport {
 public:
  // announce gets one line per attachment ("attached diag=COM5 data=COM6")
  // and per detachment ("detached"); over USB the lines name the device
  // (UseUsb).
  PtyBus(double timeScale, std::function<void(const std::string&)> announce);
  ~PtyBus() override;
  PtyBus(const PtyBus&) = delete;
  PtyBus& operator=(const PtyBus&) = delete;

  void SetModem(VirtualModem* modem) { modem_ = modem; }
  // Attach as a USB device in a sysfs tree instead of through the registry,
  // laid out as the modem's UsbSettings say. Every attachment is a new
  // device; every detachment hangs up the host's descriptors on its ttys
  // and takes the device out of the tree. The lines printed:
  //   attached usb=PATH diag=TTY|none data=TTY|none id=VVVV:PPPP mode=MODE devnum=N
  //            speed=S serial=SERIAL|none                    (one line)
  //   interfaces usb=PATH diag only      (after it, in a download mode)
  //   detached usb=PATH
  void UseUsb(std::unique_ptr<UsbSysfs> usb);
  // The modem a swap brings in (ModemConfig::swap) when the first one hands
  // over; it is announced as "replaced [usb=PATH ]esn=XXXXXXXX serial=S|none".
  void SetReplacement(VirtualModem* modem) { replacement_ = modem; }
  // Writes the registry keys into this Wine prefix's registry (through Wine,
  // sim/wine_registry.h) instead of the registry folder. The ports' links
  // go under the root as always; the caller makes the prefix the root.
  void SetWinePrefix(std::string prefix) { wine_prefix_ = std::move(prefix); }
  // Serves the ports until stopFd turns readable. False on a failure of the
  // loop itself (poll).
  bool Run(int stopFd);
  // Removes the device instance keys of every attachment (once the modem is
  // off the bus for good).
  void ForgetDevices();
  // True when a port could not be attached (no pseudo-terminal, or the root
  // folder refused the link).
  bool AttachFailed() const { return attach_failed_; }

  uint64_t NowMs() override;
  void Send(PortRole role, std::vector<uint8_t> bytes, const ReplyShape& shape) override;
  TimerId After(uint64_t delayMs, std::function<void()> fn) override;
  void CancelTimer(TimerId id) override;
  Enumeration Attach(const Enumeration& proposed) override;
  void Detach() override;
  bool HandOver(uint64_t afterMs) override;

 private:
  using SteadyClock = std::chrono::steady_clock;
  struct Outgoing {
    SteadyClock::time_point due;
    std::vector<uint8_t> bytes;
  };
  struct Port {
    PortRole role = PortRole::Diag;
    int number = 0;
    PseudoTerminal pty;
    std::deque<Outgoing> out;
    size_t sent = 0;       // bytes of out.front() already written
    bool blocked = false;  // the tty took no more; wait for room
  };

  SteadyClock::time_point Due(uint64_t deviceMs) const;
  Port* PortFor(PortRole role);
  void FlushDue(Port& port, SteadyClock::time_point now);
  void ClearStaleExclusive();
  Enumeration AttachUsb(const Enumeration& proposed);
  // Where the next attachment in the mode goes.
  std::string NextUsbPath(ModemMode mode) const;

  double scale_;
  std::function<void(const std::string&)> announce_;
  VirtualModem* modem_ = nullptr;
  SteadyClock::time_point origin_;
  std::vector<std::unique_ptr<Port>> ports_;
  uint64_t generation_ = 0;  // moves on with every attach and detach
  std::optional<Enumeration> attached_;
  bool attach_failed_ = false;
  std::string wine_prefix_;
  std::vector<Enumeration> seen_;
  std::unique_ptr<UsbSysfs> usb_;
  int usb_attachments_ = 0;
  std::string usb_path_;  // of the device attached now
  VirtualModem* replacement_ = nullptr;
  TimerId next_timer_ = 1;
  std::map<std::pair<SteadyClock::time_point, TimerId>, std::function<void()>> timers_;
};

}  // namespace quorrel::sim

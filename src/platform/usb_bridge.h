// The USB bridge: makes USB serial modems that the Linux kernel shows in
// sysfs appear the way the rest of the program looks for them, as driver
// service Enum keys, device "PortName" values and dosdevices links under the
// root.
//
// At every poll it reads <sysfs>/bus/usb/devices. A device whose VID:PID is
// in the modem table gets its diagnostic interface's tty (and its AT
// interface's, when the table names one) linked as COM ports, with the
// registry keys of the "qc" driver services. A modem is known by its USB
// port path ("1-2"): it keeps its COM numbers when it comes back on the same
// path, or on that port's companion, with new tty names, another product id
// or fewer interfaces. When a
// device goes, its links and keys go. Devices not in the table are never
// touched. What the bridge handed out lives in <root>/usbbridge/ports, so a
// later run of the program (or another one on the same root) keeps the
// numbers and removes what an earlier run left behind.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/modem_table.h"

namespace quorrel {

// The driver services whose Enum keys the bridge writes.
inline constexpr char kUsbBridgeSerialService[] = "qcusbser6k";
inline constexpr char kUsbBridgeModemService[] = "qcusbmdm6k";

// One table modem as the last poll found it.
struct UsbModem {
  std::string portPath;  // "1-2", "3-1.4": where it is attached now
  // Where the modem is known: the port path it was first seen at, which its
  // companion port (a USB3 root hub's other half, where a modem that comes
  // back at another speed appears) shares. Device paths and line bindings
  // name this.
  std::string location;
  // The companion port's path, when the port has one.
  std::string companion;
  uint16_t vendorId = 0;
  uint16_t productId = 0;
  std::string serial;
  int busnum = 0;
  int devnum = 0;
  std::string name;  // the table's name
  int diagInterface = 0;
  std::optional<int> atInterface;  // none in a diagnostic-only mode
  std::string diagTty;             // "ttyUSB0"; empty while it has none
  std::string atTty;
  int diagCom = 0;  // linked COM numbers; 0 while the tty is missing
  int atCom = 0;
  bool lineOne = false;  // the modem the registry offers to line 1
};

// Not for use from two threads at once; the process's bridge below is
// behind a lock.
class UsbBridge {
 public:
  UsbBridge(ModemTable table, std::filesystem::path sysfs, std::filesystem::path dev);

  // One scan of sysfs; writes and removes links and keys under the root.
  // Returns the table modems found, in the order they were first seen.
  std::vector<UsbModem> Poll();

  // The modem that becomes line 1: its USB port path or its serial number.
  // While no attached modem matches, line 1 is offered none. Empty: the modem
  // seen first.
  void SetPreferredDevice(std::string pathOrSerial) { preferred_ = std::move(pathOrSerial); }

  // Texts for the user gathered since the last call: table errors, interfaces
  // without a serial driver (with how to bind one), ttys that are not the
  // device's own. Each is given once until its cause goes away and returns.
  std::vector<std::string> TakeNotices();

  // Removes every link and key the bridge wrote (the numbers stay reserved).
  void DetachAll();

 private:
  std::optional<UsbModem> ReadDevice(const std::filesystem::path& devices, const std::string& name,
                                     std::vector<std::string>* noDriverNow);
  std::string InterfaceTty(const std::filesystem::path& folder, const UsbModem& m, int wanted, const char* role,
                           std::vector<std::string>* noDriverNow);
  std::vector<UsbModem> Publish(std::vector<UsbModem> found);
  void Notice(const std::string& key, const std::string& text);

  ModemTable table_;
  std::filesystem::path sysfs_;
  std::filesystem::path dev_;
  std::string preferred_;
  std::vector<std::string> notices_;
  std::vector<std::string> told_;          // keys of the notices given
  std::vector<std::string> seen_now_;      // keys whose cause is present this poll
  std::vector<std::string> pending_;       // no-driver keys seen on the previous poll
  bool table_errors_told_ = false;
};

// The bridge of this process, over $QUORREL_SYSFS (default /sys),
// $QUORREL_DEV (default /dev), the machine's modem table and the current
// root. On unless $QUORREL_USB_BRIDGE is 0 or DisableUsbBridge was called.
bool UsbBridgeEnabled();
void DisableUsbBridge();
void SetUsbBridgePreferredDevice(const std::string& pathOrSerial);
// Where the notices go (default: standard error, one line each).
void SetUsbBridgeNoticeSink(std::function<void(const std::string&)> sink);
// One poll of the process's bridge; nothing when it is off or the table is
// empty and it never handed out a port.
std::vector<UsbModem> PollUsbBridge();

}  // namespace quorrel

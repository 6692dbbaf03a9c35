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
// or fewer interfaces. When a device goes, its links and keys go. Devices
// not in the table are not bridged; the process's bridge asks its prober
// about those that have modem ports (see SetUsbProber). What the bridge
// handed out lives in <root>/usbbridge/ports, so a later run of the program
// (or another one on the same root) keeps the numbers and removes what an
// earlier run left behind.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/modem_table.h"

namespace quorrel {

// The driver services whose Enum keys the bridge writes.
inline constexpr char kUsbBridgeSerialService[] = "qcusbser6k";
inline constexpr char kUsbBridgeModemService[] = "qcusbmdm6k";

// One interface of a USB device, as sysfs shows it.
struct UsbInterfaceInfo {
  int number = 0;
  int interfaceClass = -1;  // bInterfaceClass; -1 when it cannot be read
  std::string driver;  // the USB driver bound to it ("option", "qcserial", "qmi_wwan"); empty: none
  std::string
      serialDriver;   // the driver of its usb-serial port ("option1", "qcserial"); empty: none
  std::string tty;    // its tty ("ttyUSB0", "ttyACM0"); empty: none
  bool node = false;  // the tty's node is there under the device folder ($QUORREL_DEV)
  std::string
      foreignTty;  // a tty folder under it that the kernel's tty list puts in another device
};

// A USB device as sysfs shows it (hubs included).
struct UsbDeviceInfo {
  std::string portPath;   // "1-2", "3-1.4"
  std::string companion;  // the companion port's path; empty when it has none
  // The device's folder in sysfs, resolved: ModemManager knows the device
  // by it (its uid).
  std::string folder;
  uint16_t vendorId = 0;
  uint16_t productId = 0;
  std::string serial;
  std::string product;  // the product text the device reports, printable ASCII
  int busnum = 0;
  int devnum = 0;
  int interfaceCount = 0;  // bNumInterfaces (the interfaces found when unreadable)
  std::vector<UsbInterfaceInfo> interfaces;  // in the order of their numbers

  // This appearance of the device: a re-enumeration or a replug is another.
  std::string AppearanceKey() const;
  // Exactly one interface, on qcserial: the chipset's download mode.
  bool DownloadMode() const;
  // The serial driver that serves this device's modem ports, or would:
  // qcserial when any interface is on it, or it has a single interface;
  // otherwise option.
  std::string ModemDriver() const;
  // The interfaces that may be modem ports (IsModemCandidate).
  std::vector<const UsbInterfaceInfo*> Candidates() const;
  const UsbInterfaceInfo* Interface(int number) const;
};

// An interface that may be a modem port: vendor-specific (class ff), bound
// to a modem serial driver (option or qcserial), with a tty whose node is
// there. Nothing else is ever opened to find out what a port is.
bool IsModemCandidate(const UsbInterfaceInfo& interface);

// Every USB device under <sysfs>/bus/usb/devices with its interfaces and
// ttys (tty nodes looked for under dev), in the order of their port paths.
// A device that goes while it is read is left out.
std::vector<UsbDeviceInfo> ScanUsbDevices(const std::filesystem::path& sysfs,
                                          const std::filesystem::path& dev);

// The sysfs folder a device at deviceFolder's port would have at the
// companion port; empty when the port has no companion.
std::string CompanionDeviceFolder(const std::string& deviceFolder);

// idVendor and idProduct of the USB device folder; nothing when they cannot
// be read.
std::optional<std::pair<uint16_t, uint16_t>> UsbIdentityOfFolder(const std::string& folder);

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
  std::string name;    // the table's name
  std::string source;  // the table line: "FILE:LINE", or "probe" for a line found in this run
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
  // The same over a scan already made.
  std::vector<UsbModem> Poll(const std::vector<UsbDeviceInfo>& devices);

  // Adds a line found by probing. The table wins: an identity it already
  // has keeps its line, and false is returned.
  bool Learn(const ModemTableEntry& entry);
  const ModemTable& table() const { return table_; }

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
  std::string TableTty(const UsbDeviceInfo& device, const UsbModem& m, int wanted, const char* role,
                       std::vector<std::string>* pendingNow);
  void PendingNotice(const std::string& key, const std::string& text,
                     std::vector<std::string>* pendingNow);
  std::vector<UsbModem> Publish(std::vector<UsbModem> found);
  void Notice(const std::string& key, const std::string& text);

  ModemTable table_;
  std::filesystem::path sysfs_;
  std::filesystem::path dev_;
  std::string preferred_;
  std::vector<std::string> notices_;
  std::vector<std::string> told_;      // keys of the notices given
  std::vector<std::string> seen_now_;  // keys whose cause is present this poll
  std::vector<std::string> pending_;   // keys of causes seen on the previous poll
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
// Gives one text to the notice sink at once (for what is awaited now).
void UsbBridgeNotice(const std::string& text);
// One poll of the process's bridge; nothing when it is off or the table is
// empty, no prober is set and it never handed out a port.
std::vector<UsbModem> PollUsbBridge();
// $QUORREL_SYSFS or /sys, $QUORREL_DEV or /dev.
std::filesystem::path UsbSysfsRoot();
std::filesystem::path UsbDevRoot();

// Finding the ports of a modem that has no table line. The prober (set by
// the layers that know the protocols) is asked once per appearance of a
// device that has modem candidates and whose identity no table line names;
// what it finds is added to the bridge's table, written to the user's table
// file with a comment saying how and when it was found, and told as a
// notice. It runs outside the bridge's lock and may take seconds.
struct UsbProbeFinding {
  ModemTableEntry entry;  // identity and interfaces (name: the device's product text)
  std::string how;        // "probing", "ModemManager's port types"
};
using UsbProber = std::function<std::optional<UsbProbeFinding>(const UsbDeviceInfo&)>;
void SetUsbProber(UsbProber prober);
// On unless $QUORREL_USB_PROBE is 0 or DisableUsbProbing was called.
bool UsbProbingEnabled();
void DisableUsbProbing();

// A line found in this process, and whether it went into the user's table.
struct LearnedUsbModem {
  ModemTableEntry entry;
  std::string portPath;
  std::string how;
  std::filesystem::path file;
  bool written = false;
  std::string why;  // when not written
};
std::vector<LearnedUsbModem> LearnedUsbModems();

}  // namespace quorrel

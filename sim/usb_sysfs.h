// The virtual modem as a USB device: a sysfs tree laid out as the kernel lays
// it out under $QUORREL_SYSFS, and tty nodes under $QUORREL_DEV that lead to
// the modem's pseudo-terminals.
//
//   devices/quorrel-sim/usb1/<port>/{idVendor,idProduct,serial,busnum,devnum,bNumInterfaces}
//   devices/quorrel-sim/usb1/<port>/<port>:1.<n>/{bInterfaceNumber,driver,ttyUSBk/}
//   bus/usb/devices/<port>, bus/usb/devices/<port>:1.<n>   links to the folders
//   class/tty/ttyUSBk                                     link to <interface>/ttyUSBk/tty/ttyUSBk
//   <dev>/ttyUSBk                                          link to the pseudo-terminal
//
// Every attachment takes tty names not used before, as a re-enumerated
// modem gets new ones.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

namespace quorrel::sim {

struct UsbTty {
  int interfaceNumber = 0;
  std::filesystem::path terminal;  // the pseudo-terminal's slave
};

class UsbSysfs {
 public:
  UsbSysfs(std::filesystem::path sysfs, std::filesystem::path dev, std::string portPath, std::string serial);
  ~UsbSysfs();
  UsbSysfs(const UsbSysfs&) = delete;
  UsbSysfs& operator=(const UsbSysfs&) = delete;

  // Lays out the device with interfaces 0 .. interfaceCount-1 (those in ttys
  // with a serial driver and a tty). The tty names given, in the order of
  // ttys, go to names. False when the tree cannot be written.
  bool Attach(uint16_t vendorId, uint16_t productId, int interfaceCount, const std::vector<UsbTty>& ttys,
              std::vector<std::string>* names);
  // Leaves only the given interface in the tree (a download mode's single
  // interface). False when there was nothing else to take away.
  bool KeepOnlyInterface(int interfaceNumber);
  // Takes the device out of the tree, nodes first, as the kernel does.
  void Detach();
  const std::string& portPath() const { return port_; }

 private:
  std::string NextTtyName();

  std::filesystem::path sysfs_;
  std::filesystem::path dev_;
  std::string port_;
  std::string serial_;
  int next_tty_ = 0;
  bool attached_ = false;
  std::vector<std::string> interfaces_;
  std::vector<std::pair<std::string, std::string>> ttys_;  // interface folder, tty name
};

}  // namespace quorrel::sim

// The virtual modem as a Linux USB device: a sysfs tree laid out as the
// kernel lays it out under $QUORREL_SYSFS, and tty nodes under $QUORREL_DEV
// that lead to the modem's pseudo-terminals.
//
//   devices/pci0000:00/0000:00:14.0/usbB/                the root hub of bus B (devnum 1)
//     B-0:1.0/usbB-portN/{device, peer}                  its ports: device -> ../../B-N while
//                                                        one is attached; peer -> the companion
//                                                        port of a USB3 root hub pair
//     B-N/{idVendor, idProduct, bNumInterfaces, busnum, devnum, devpath, speed, serial, ...,
//          driver -> bus/usb/drivers/usb, port -> its port}
//     B-N/B-N:1.i/{bInterfaceNumber, bInterfaceClass, ..., driver -> bus/usb/drivers/D}
//     B-N/B-N:1.i/ttyUSBk/{driver -> bus/usb-serial/drivers/S, port_number}
//     B-N/B-N:1.i/ttyUSBk/tty/ttyUSBk/{dev, device -> ../..}
//   bus/usb/devices/{usbB, B-0:1.0, B-N, B-N:1.i}        links to those folders
//   bus/usb/drivers/<driver>/<device or interface>       links back to what is bound
//   bus/usb-serial/devices/ttyUSBk, bus/usb-serial/drivers/S/ttyUSBk   links to the port
//   class/tty/ttyUSBk                                    link to .../ttyUSBk/tty/ttyUSBk
//   <dev>/ttyUSBk                                        link to the pseudo-terminal slave
//
// A path behind hubs ("1-1.4.2") gets the hubs on its way (devices of class
// 09 with their own ports), which stay when the device goes. Links are
// relative, as the kernel's are.
//
// Several simulators may share one tree: every change is made under a lock
// on <sysfs>/.quorrel-sim/lock, where the tree's own bookkeeping lives too
// (the last devnum of each bus, the terminal behind each ttyUSB number).
// A ttyUSB number is free when no tty of that name is in the tree and no
// process still holds the terminal it last stood for open (usb-serial frees
// a number only at its last close); an attachment takes the lowest free.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace quorrel::sim {

struct UsbInterfaceLayout {
  int number = 0;
  uint8_t interfaceClass = 0xFF;
  std::string driver;              // the bound USB driver ("option"); empty: none
  std::string serialDriver;        // its usb-serial port's driver ("option1"); empty: no tty
  std::filesystem::path terminal;  // with a tty: the pseudo-terminal slave its node leads to
};

struct UsbDeviceLayout {
  std::string path;  // "1-2", "1-1.4.2"
  uint16_t vendorId = 0;
  uint16_t productId = 0;
  std::string serial;  // empty: no serial attribute
  std::string manufacturer;
  std::string product;
  std::vector<UsbInterfaceLayout> interfaces;
};

// What an attachment got from the tree.
struct UsbAttachment {
  int busnum = 0;
  int devnum = 0;
  int speed = 0;                  // 480 or 5000, the root hub's
  std::vector<std::string> ttys;  // per interface of the layout; empty where it has none
};

class UsbSysfs {
 public:
  // companion: the root hubs come in pairs, USB 2.0 on the odd bus and USB3
  // on the even one above it, each port the other's peer.
  UsbSysfs(std::filesystem::path sysfs, std::filesystem::path dev, bool companion);
  ~UsbSysfs();
  UsbSysfs(const UsbSysfs&) = delete;
  UsbSysfs& operator=(const UsbSysfs&) = delete;

  // Lays out the device (taking the one attached before out first). False,
  // with nothing of it left, when the tree cannot be written or another
  // device sits at the path; *why then says which.
  bool Attach(const UsbDeviceLayout& layout, UsbAttachment* out, std::string* why);
  // Takes the device out of the tree: the nodes and tty links first, then
  // the interfaces and the device, as the kernel and udev do.
  void Detach();
  bool attached() const { return !folder_.empty(); }

 private:
  // The port folder the path hangs off, with the hubs on its way; the root
  // hub's speed to *speed. Empty when it cannot be made.
  std::filesystem::path EnsurePort(const std::string& path, int* speed);
  std::filesystem::path EnsureRootHub(int bus);
  int TakeDevnum(int bus);
  std::vector<std::string> TakeTtyNames(size_t count);
  void Link(const std::filesystem::path& target, const std::filesystem::path& link,
            bool removeAtDetach);

  std::filesystem::path sysfs_;
  std::filesystem::path dev_;
  std::filesystem::path state_;  // <sysfs>/.quorrel-sim
  bool companion_ = false;
  std::filesystem::path folder_;              // the attached device's folder
  std::vector<std::filesystem::path> links_;  // made for it, in the order made
};

}  // namespace quorrel::sim

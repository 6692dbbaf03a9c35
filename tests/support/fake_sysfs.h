// sysfs and /dev of a machine, laid out as the kernel lays them out, under a
// test's folder: USB devices (behind hubs where their port path says so)
// with their interface folders, interface classes and drivers, usb-serial
// ports with their own driver links, cdc-acm ttys, the class entries; plain
// files, or links to pseudo-terminals, as the device nodes.
//
// Header-only; include as "support/fake_sysfs.h".
#pragma once

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>
#include <vector>

namespace quorrel::testsupport {

namespace fake_sysfs_detail {
namespace fs = std::filesystem;
inline void WriteText(const fs::path& file, const std::string& text) {
  fs::create_directories(file.parent_path());
  std::ofstream(file) << text;
}

struct Interface {
  int number;
  std::string tty;  // empty: no tty child
  bool driver = true;
  // The USB driver bound (when driver is true): "option", "qcserial",
  // "ftdi_sio", "cdc_acm" (its tty sits in tty/ under the interface, not in
  // a usb-serial port), "qmi_wwan" (no tty).
  std::string driverName = "option";
  int interfaceClass = 0xFF;
  // The device node's target (a pseudo-terminal's slave); empty: a plain file.
  fs::path node = {};
};

class FakeMachine {
 public:
  explicit FakeMachine(const fs::path& base) : sysfs_(base / "sys"), dev_(base / "dev") {
    fs::create_directories(sysfs_ / "bus/usb/devices");
    fs::create_directories(sysfs_ / "bus/usb/drivers/option");
    fs::create_directories(sysfs_ / "bus/usb-serial/devices");
    fs::create_directories(sysfs_ / "class/tty");
    fs::create_directories(dev_);
  }
  const fs::path& sysfs() const { return sysfs_; }
  const fs::path& dev() const { return dev_; }

  // Devices hang on the root hub of their bus (the digits before the dash),
  // behind the hubs their port path names: 1-1.4.2 is usb1/1-1/1-1.4/1-1.4.2.
  fs::path DeviceFolder(const std::string& port) const {
    const size_t dash = port.find('-');
    fs::path folder = sysfs_ / "devices/pci0000:00" / ("usb" + port.substr(0, dash));
    for (size_t dot = port.find('.', dash); dot != std::string::npos;
         dot = port.find('.', dot + 1)) {
      folder /= port.substr(0, dot);
    }
    return folder / port;
  }

  // A USB3 root hub's port pair: root port n of bus a and of bus b are each
  // other's companion ("peer"), as the kernel links them.
  void PairRootPorts(int busA, int busB, int port) {
    auto folder = [&](int bus) {
      const std::string b = std::to_string(bus);
      return sysfs_ / "devices/pci0000:00" / ("usb" + b) / (b + "-0:1.0") /
             ("usb" + b + "-port" + std::to_string(port));
    };
    fs::create_directories(folder(busA));
    fs::create_directories(folder(busB));
    fs::create_directory_symlink(folder(busB), folder(busA) / "peer");
    fs::create_directory_symlink(folder(busA), folder(busB) / "peer");
  }

  // A hub at port: class 09 on its one interface, bound to the hub driver.
  void PlugHub(const std::string& port) {
    Plug(port, "05e3", "0608", {{0, "", true, "hub", 0x09}});
  }

  void Plug(const std::string& port, const std::string& vid, const std::string& pid,
            const std::vector<Interface>& interfaces, const std::string& serial = "") {
    const fs::path device = DeviceFolder(port);
    WriteText(device / "idVendor", vid + "\n");
    WriteText(device / "idProduct", pid + "\n");
    if (!serial.empty()) WriteText(device / "serial", serial + "\n");
    WriteText(device / "busnum", port.substr(0, port.find('-')) + "\n");
    // Every attachment is a new device to the kernel.
    WriteText(device / "devnum", std::to_string(++devnum_) + "\n");
    char count[8];
    std::snprintf(count, sizeof count, "%2zu\n", interfaces.size());
    WriteText(device / "bNumInterfaces", count);
    fs::create_directory_symlink(device, sysfs_ / "bus/usb/devices" / port);
    for (const Interface& i : interfaces) {
      const std::string name = port + ":1." + std::to_string(i.number);
      const fs::path iface = device / name;
      char number[8];
      std::snprintf(number, sizeof number, "%02x\n", i.number);
      WriteText(iface / "bInterfaceNumber", number);
      std::snprintf(number, sizeof number, "%02x\n", i.interfaceClass);
      WriteText(iface / "bInterfaceClass", number);
      if (i.driver) {
        fs::create_directories(sysfs_ / "bus/usb/drivers" / i.driverName);
        fs::create_directory_symlink(sysfs_ / "bus/usb/drivers" / i.driverName, iface / "driver");
      }
      fs::create_directory_symlink(iface, sysfs_ / "bus/usb/devices" / name);
      if (i.tty.empty()) continue;
      fs::path ttyFolder;
      if (i.driverName == "cdc_acm") {
        ttyFolder = iface / "tty" / i.tty;
        fs::create_directories(ttyFolder);
        fs::create_directory_symlink("../..", ttyFolder / "device");
      } else {
        // A usb-serial port: its own folder and driver ("option1" for option).
        const fs::path serialPort = iface / i.tty;
        ttyFolder = serialPort / "tty" / i.tty;
        fs::create_directories(ttyFolder);
        fs::create_directory_symlink("../..", ttyFolder / "device");
        const std::string serialDriver = i.driverName == "option" ? "option1" : i.driverName;
        fs::create_directories(sysfs_ / "bus/usb-serial/drivers" / serialDriver);
        if (i.driver) {
          fs::create_directory_symlink(sysfs_ / "bus/usb-serial/drivers" / serialDriver,
                                       serialPort / "driver");
        }
        fs::create_directory_symlink(serialPort, sysfs_ / "bus/usb-serial/devices" / i.tty);
      }
      fs::create_directory_symlink(ttyFolder, sysfs_ / "class/tty" / i.tty);
      if (i.node.empty()) {
        WriteText(dev_ / i.tty, "");
      } else {
        fs::create_symlink(i.node, dev_ / i.tty);
      }
    }
  }

  void Unplug(const std::string& port) {
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(sysfs_ / "bus/usb/devices")) {
      const std::string name = entry.path().filename().string();
      if (name == port || name.rfind(port + ":", 0) == 0) fs::remove(entry.path(), ec);
    }
    fs::remove_all(DeviceFolder(port), ec);
    for (const fs::path& list : {sysfs_ / "class/tty", sysfs_ / "bus/usb-serial/devices"}) {
      for (const auto& entry : fs::directory_iterator(list)) {
        if (!fs::exists(fs::status(entry.path(), ec))) {
          fs::remove(dev_ / entry.path().filename(), ec);
          fs::remove(entry.path(), ec);
        }
      }
    }
  }

 private:
  fs::path sysfs_;
  fs::path dev_;
  int devnum_ = 1;
};

}  // namespace fake_sysfs_detail

using fake_sysfs_detail::FakeMachine;
using fake_sysfs_detail::Interface;

}  // namespace quorrel::testsupport

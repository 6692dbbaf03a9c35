// sysfs and /dev of a machine, laid out as the kernel lays them out, under a
// test's folder: USB devices with their interface folders, serial drivers,
// tty children and class entries; plain files as the device nodes.
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
};

class FakeMachine {
 public:
  explicit FakeMachine(const fs::path& base) : sysfs_(base / "sys"), dev_(base / "dev") {
    fs::create_directories(sysfs_ / "bus/usb/devices");
    fs::create_directories(sysfs_ / "bus/usb/drivers/option");
    fs::create_directories(sysfs_ / "class/tty");
    fs::create_directories(dev_);
  }
  const fs::path& sysfs() const { return sysfs_; }
  const fs::path& dev() const { return dev_; }

  // Devices hang on the root hub of their bus (the digits before the dash).
  fs::path DeviceFolder(const std::string& port) const {
    return sysfs_ / "devices/pci0000:00" / ("usb" + port.substr(0, port.find('-'))) / port;
  }

  // A USB3 root hub's port pair: root port n of bus a and of bus b are each
  // other's companion ("peer"), as the kernel links them.
  void PairRootPorts(int busA, int busB, int port) {
    auto folder = [&](int bus) {
      const std::string b = std::to_string(bus);
      return sysfs_ / "devices/pci0000:00" / ("usb" + b) / (b + "-0:1.0") / ("usb" + b + "-port" + std::to_string(port));
    };
    fs::create_directories(folder(busA));
    fs::create_directories(folder(busB));
    fs::create_directory_symlink(folder(busB), folder(busA) / "peer");
    fs::create_directory_symlink(folder(busA), folder(busB) / "peer");
  }

  void Plug(const std::string& port, const std::string& vid, const std::string& pid,
            const std::vector<Interface>& interfaces, const std::string& serial = "") {
    const fs::path device = DeviceFolder(port);
    WriteText(device / "idVendor", vid + "\n");
    WriteText(device / "idProduct", pid + "\n");
    if (!serial.empty()) WriteText(device / "serial", serial + "\n");
    WriteText(device / "busnum", "1\n");
    WriteText(device / "devnum", "7\n");
    WriteText(device / "bNumInterfaces", " " + std::to_string(interfaces.size()) + "\n");
    fs::create_directory_symlink(device, sysfs_ / "bus/usb/devices" / port);
    for (const Interface& i : interfaces) {
      const std::string name = port + ":1." + std::to_string(i.number);
      const fs::path iface = device / name;
      char number[8];
      std::snprintf(number, sizeof number, "%02x\n", i.number);
      WriteText(iface / "bInterfaceNumber", number);
      if (i.driver) fs::create_directory_symlink(sysfs_ / "bus/usb/drivers/option", iface / "driver");
      fs::create_directory_symlink(iface, sysfs_ / "bus/usb/devices" / name);
      if (!i.tty.empty()) {
        fs::create_directories(iface / i.tty / "tty" / i.tty);
        fs::create_directory_symlink(iface / i.tty / "tty" / i.tty, sysfs_ / "class/tty" / i.tty);
        WriteText(dev_ / i.tty, "");
      }
    }
  }

  void Unplug(const std::string& port) {
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(sysfs_ / "bus/usb/devices")) {
      const std::string name = entry.path().filename().string();
      if (name == port || name.rfind(port + ":", 0) == 0) fs::remove(entry.path(), ec);
    }
    for (const auto& entry : fs::directory_iterator(sysfs_ / "class/tty")) {
      if (!fs::exists(entry.path())) fs::remove(entry.path(), ec);
    }
    fs::remove_all(DeviceFolder(port), ec);
    for (const auto& entry : fs::directory_iterator(sysfs_ / "class/tty")) {
      if (!fs::exists(fs::status(entry.path(), ec))) {
        fs::remove(dev_ / entry.path().filename(), ec);
        fs::remove(entry.path(), ec);
      }
    }
  }

 private:
  fs::path sysfs_;
  fs::path dev_;
};

}  // namespace fake_sysfs_detail

using fake_sysfs_detail::FakeMachine;
using fake_sysfs_detail::Interface;

}  // namespace quorrel::testsupport

#include "sim/usb_sysfs.h"

#include <unistd.h>

#include <fstream>
#include <system_error>

#include "util/text.h"

namespace quorrel::sim {

namespace fs = std::filesystem;

namespace {

bool WriteText(const fs::path& file, const std::string& text) {
  std::ofstream out(file, std::ios::trunc);
  out << text;
  return static_cast<bool>(out);
}

}  // namespace

UsbSysfs::UsbSysfs(fs::path sysfs, fs::path dev, std::string portPath, std::string serial)
    : sysfs_(std::move(sysfs)), dev_(std::move(dev)), port_(std::move(portPath)), serial_(std::move(serial)) {}

UsbSysfs::~UsbSysfs() { Detach(); }

std::string UsbSysfs::NextTtyName() {
  // Names another device on the same tree holds are skipped.
  for (;;) {
    std::string name = Format("ttyUSB%d", next_tty_++);
    std::error_code ec;
    if (!fs::exists(fs::symlink_status(sysfs_ / "class" / "tty" / name, ec)) &&
        !fs::exists(fs::symlink_status(dev_ / name, ec))) {
      return name;
    }
  }
}

bool UsbSysfs::Attach(uint16_t vendorId, uint16_t productId, int interfaceCount, const std::vector<UsbTty>& ttys,
                      std::vector<std::string>* names) {
  Detach();
  std::error_code ec;
  const fs::path devices = sysfs_ / "devices" / "quorrel-sim" / "usb1";
  const fs::path driver = sysfs_ / "bus" / "usb" / "drivers" / "option";
  fs::create_directories(devices, ec);
  fs::create_directories(driver, ec);
  fs::create_directories(sysfs_ / "bus" / "usb" / "devices", ec);
  fs::create_directories(sysfs_ / "class" / "tty", ec);
  fs::create_directories(dev_, ec);

  // The device is made under a temporary name and moved into place whole,
  // so a reader never sees it without its interfaces.
  const fs::path device = devices / port_;
  const fs::path temp = devices / (".new-" + port_ + "-" + std::to_string(::getpid()));
  fs::remove_all(temp, ec);
  fs::remove_all(device, ec);
  bool ok = fs::create_directory(temp, ec);
  ok = ok && WriteText(temp / "idVendor", Format("%04x\n", vendorId));
  ok = ok && WriteText(temp / "idProduct", Format("%04x\n", productId));
  ok = ok && WriteText(temp / "serial", serial_ + "\n");
  ok = ok && WriteText(temp / "busnum", "1\n");
  ok = ok && WriteText(temp / "devnum", Format("%d\n", 2 + next_tty_));
  ok = ok && WriteText(temp / "bNumInterfaces", Format("%2d\n", interfaceCount));
  names->clear();
  std::vector<std::pair<std::string, fs::path>> nodes;  // tty name, terminal
  for (int n = 0; ok && n < interfaceCount; ++n) {
    const std::string name = port_ + ":1." + std::to_string(n);
    const fs::path iface = temp / name;
    ok = fs::create_directory(iface, ec) && WriteText(iface / "bInterfaceNumber", Format("%02x\n", n));
    for (const UsbTty& t : ttys) {
      if (!ok || t.interfaceNumber != n) continue;
      fs::create_directory_symlink(driver, iface / "driver", ec);
      const std::string tty = NextTtyName();
      ok = !ec && fs::create_directories(iface / tty / "tty" / tty, ec);
      nodes.emplace_back(tty, t.terminal);
    }
    interfaces_.push_back(name);
  }
  ok = ok && (fs::rename(temp, device, ec), !ec);
  if (!ok) {
    fs::remove_all(temp, ec);
    interfaces_.clear();
    return false;
  }
  attached_ = true;
  const fs::path bus = sysfs_ / "bus" / "usb" / "devices";
  fs::create_directory_symlink(device, bus / port_, ec);
  ok = !ec;
  for (const std::string& name : interfaces_) {
    fs::create_directory_symlink(device / name, bus / name, ec);
    ok &= !ec;
  }
  // The tty class entries, then the nodes, as udev makes them.
  for (const UsbTty& t : ttys) {
    for (auto& [tty, terminal] : nodes) {
      if (terminal != t.terminal) continue;
      fs::create_directory_symlink(device / (port_ + ":1." + std::to_string(t.interfaceNumber)) / tty / "tty" / tty,
                                   sysfs_ / "class" / "tty" / tty, ec);
      ok &= !ec;
      fs::create_symlink(terminal, dev_ / tty, ec);
      ok &= !ec;
      ttys_.emplace_back(port_ + ":1." + std::to_string(t.interfaceNumber), tty);
      names->push_back(tty);
    }
  }
  return ok;
}

bool UsbSysfs::KeepOnlyInterface(int interfaceNumber) {
  if (!attached_) return false;
  const std::string keep = port_ + ":1." + std::to_string(interfaceNumber);
  const fs::path device = sysfs_ / "devices" / "quorrel-sim" / "usb1" / port_;
  const fs::path bus = sysfs_ / "bus" / "usb" / "devices";
  std::error_code ec;
  bool removed = false;
  for (auto it = ttys_.begin(); it != ttys_.end();) {
    if (it->first == keep) {
      ++it;
      continue;
    }
    fs::remove(dev_ / it->second, ec);
    fs::remove(sysfs_ / "class" / "tty" / it->second, ec);
    it = ttys_.erase(it);
  }
  for (auto it = interfaces_.begin(); it != interfaces_.end();) {
    if (*it == keep) {
      ++it;
      continue;
    }
    fs::remove(bus / *it, ec);
    fs::remove_all(device / *it, ec);
    it = interfaces_.erase(it);
    removed = true;
  }
  if (removed) WriteText(device / "bNumInterfaces", Format("%2zu\n", interfaces_.size()));
  return removed;
}

void UsbSysfs::Detach() {
  if (!attached_) return;
  std::error_code ec;
  for (const auto& [iface, tty] : ttys_) {
    fs::remove(dev_ / tty, ec);
    fs::remove(sysfs_ / "class" / "tty" / tty, ec);
  }
  const fs::path bus = sysfs_ / "bus" / "usb" / "devices";
  for (const std::string& name : interfaces_) fs::remove(bus / name, ec);
  fs::remove(bus / port_, ec);
  fs::remove_all(sysfs_ / "devices" / "quorrel-sim" / "usb1" / port_, ec);
  ttys_.clear();
  interfaces_.clear();
  attached_ = false;
}

}  // namespace quorrel::sim

// A reader of the sysfs tree and the tty nodes the simulator writes, for its
// tests: finds a device by its port path through bus/usb/devices and follows
// every link the way a reader of the kernel's tree does (canonical paths),
// so that a link leading anywhere else shows as a difference.
#pragma once

#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace quorrel::simtest {

struct TreeInterface {
  std::string folder;           // "1-2:1.0"
  std::string number;           // bInterfaceNumber as written, "00\n"
  std::string cls;              // bInterfaceClass as written
  std::string driver;           // the driver link's folder name under bus/usb/drivers; empty: none
  std::string tty;              // its ttyUSBn child; empty: none
  std::string serialDriver;     // the usb-serial port's driver under bus/usb-serial/drivers
  std::string dev;              // tty/<tty>/dev as written
  bool classLinkHere = false;   // class/tty/<tty> leads to this interface's tty
  bool serialLinkHere = false;  // bus/usb-serial/devices/<tty> leads to its port
  bool ttyDeviceLink = false;   // tty/<tty>/device leads back to the port
  std::string node;             // where <dev>/<tty> leads; empty: no node
};

struct TreeDevice {
  std::string path;
  std::filesystem::path folder;  // canonical
  // The attribute files as written (with their line end); a missing file is
  // missing here.
  std::map<std::string, std::string> attributes;
  std::vector<TreeInterface> interfaces;
  std::filesystem::path port;  // where its port link leads (canonical)
  bool portLeadsBack = false;  // that port's device link leads here
};

inline std::optional<std::string> ReadWhole(const std::filesystem::path& file) {
  std::ifstream in(file);
  if (!in) return std::nullopt;
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

inline std::filesystem::path Canonical(const std::filesystem::path& p) {
  std::error_code ec;
  std::filesystem::path c = std::filesystem::canonical(p, ec);
  return ec ? std::filesystem::path() : c;
}

inline bool Present(const std::filesystem::path& p) {
  std::error_code ec;
  return std::filesystem::exists(std::filesystem::symlink_status(p, ec));
}

// The name of the folder under drivers that the link leads to; empty when
// there is no link or it leads elsewhere.
inline std::string DriverName(const std::filesystem::path& link,
                              const std::filesystem::path& drivers) {
  const std::filesystem::path target = Canonical(link);
  if (target.empty() || target.parent_path() != Canonical(drivers)) return {};
  return target.filename().string();
}

inline std::optional<TreeDevice> ReadTreeDevice(const std::filesystem::path& sysfs,
                                                const std::filesystem::path& dev,
                                                const std::string& path) {
  namespace fs = std::filesystem;
  TreeDevice d;
  d.path = path;
  d.folder = Canonical(sysfs / "bus/usb/devices" / path);
  if (d.folder.empty()) return std::nullopt;
  for (const char* name : {"idVendor", "idProduct", "bNumInterfaces", "busnum", "devnum", "devpath",
                           "speed", "serial", "bDeviceClass"}) {
    if (auto text = ReadWhole(d.folder / name)) d.attributes[name] = *text;
  }
  d.port = Canonical(d.folder / "port");
  d.portLeadsBack = !d.port.empty() && Canonical(d.port / "device") == d.folder;
  std::set<std::string> names;
  std::error_code ec;
  for (fs::directory_iterator it(d.folder, ec); !ec && it != fs::directory_iterator();
       it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (name.rfind(path + ":", 0) == 0) names.insert(name);
  }
  for (const std::string& name : names) {
    TreeInterface i;
    i.folder = name;
    const fs::path iface = d.folder / name;
    i.number = ReadWhole(iface / "bInterfaceNumber").value_or("");
    i.cls = ReadWhole(iface / "bInterfaceClass").value_or("");
    i.driver = DriverName(iface / "driver", sysfs / "bus/usb/drivers");
    for (fs::directory_iterator it(iface, ec); !ec && it != fs::directory_iterator();
         it.increment(ec)) {
      const std::string child = it->path().filename().string();
      if (child.rfind("ttyUSB", 0) != 0) continue;
      i.tty = child;
      const fs::path port = iface / child;
      i.serialDriver = DriverName(port / "driver", sysfs / "bus/usb-serial/drivers");
      i.dev = ReadWhole(port / "tty" / child / "dev").value_or("");
      i.classLinkHere = Canonical(sysfs / "class/tty" / child) == Canonical(port / "tty" / child);
      i.serialLinkHere = Canonical(sysfs / "bus/usb-serial/devices" / child) == Canonical(port);
      i.ttyDeviceLink = Canonical(port / "tty" / child / "device") == Canonical(port);
      std::error_code linkEc;
      fs::path node = fs::read_symlink(dev / child, linkEc);
      if (!linkEc) i.node = node.string();
    }
    d.interfaces.push_back(i);
  }
  return d;
}

// Every name in a folder (links included, dangling or not).
inline std::set<std::string> Names(const std::filesystem::path& folder) {
  std::set<std::string> names;
  std::error_code ec;
  for (std::filesystem::directory_iterator it(folder, ec);
       !ec && it != std::filesystem::directory_iterator(); it.increment(ec)) {
    names.insert(it->path().filename().string());
  }
  return names;
}

// Everything in the tree that still names a device path or a tty: the
// bus/usb/devices entries of path, its drivers' links, the usb-serial and
// tty class entries of the ttys, the nodes.
inline std::vector<std::string> Leftovers(const std::filesystem::path& sysfs,
                                          const std::filesystem::path& dev, const std::string& path,
                                          const std::vector<std::string>& ttys) {
  std::vector<std::string> left;
  for (const std::string& name : Names(sysfs / "bus/usb/devices")) {
    if (name == path || name.rfind(path + ":", 0) == 0) left.push_back("bus/usb/devices/" + name);
  }
  for (const std::string& driver : Names(sysfs / "bus/usb/drivers")) {
    for (const std::string& name : Names(sysfs / "bus/usb/drivers" / driver)) {
      if (name == path || name.rfind(path + ":", 0) == 0)
        left.push_back("bus/usb/drivers/" + driver + "/" + name);
    }
  }
  for (const std::string& tty : ttys) {
    for (const char* place :
         {"class/tty/", "bus/usb-serial/devices/", "bus/usb-serial/drivers/option1/",
          "bus/usb-serial/drivers/qcserial/"}) {
      if (Present(sysfs / (place + tty))) left.push_back(std::string(place) + tty);
    }
    if (Present(dev / tty)) left.push_back("dev/" + tty);
  }
  return left;
}

}  // namespace quorrel::simtest

#include "sim/usb_sysfs.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <set>
#include <system_error>
#include <tuple>

#include "util/text.h"

namespace quorrel::sim {

namespace fs = std::filesystem;

namespace {

// Ports a hub is made with (more when a path needs them).
constexpr int kHubPorts = 4;
// Bounds of a port path: the kernel's bus numbers, port numbers and depth.
constexpr int kMaxBus = 127;
constexpr int kMaxPort = 31;
constexpr size_t kMaxDepth = 7;
// ttyUSB numbers the kernel hands out.
constexpr int kMaxTtyNumbers = 512;
constexpr int kFirstDevnum = 2;
constexpr int kLastDevnum = 127;

struct PortChain {
  int bus = 0;
  std::vector<int> ports;
};

std::optional<int> SmallNumber(const std::string& text, int max) {
  if (text.empty() || text.size() > 3 || text[0] == '0') return std::nullopt;
  int value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  if (value > max) return std::nullopt;
  return value;
}

std::optional<PortChain> ParsePath(const std::string& path) {
  const size_t dash = path.find('-');
  if (dash == std::string::npos) return std::nullopt;
  PortChain chain;
  auto bus = SmallNumber(path.substr(0, dash), kMaxBus);
  if (!bus) return std::nullopt;
  chain.bus = *bus;
  size_t start = dash + 1;
  for (;;) {
    const size_t dot = path.find('.', start);
    auto port = SmallNumber(
        path.substr(start, dot == std::string::npos ? std::string::npos : dot - start), kMaxPort);
    if (!port || chain.ports.size() >= kMaxDepth) return std::nullopt;
    chain.ports.push_back(*port);
    if (dot == std::string::npos) break;
    start = dot + 1;
  }
  return chain;
}

std::string ChainPath(int bus, const std::vector<int>& ports, size_t depth) {
  std::string path = std::to_string(bus) + "-";
  for (size_t i = 0; i < depth; ++i) {
    if (i > 0) path += '.';
    path += std::to_string(ports[i]);
  }
  return path;
}

bool WriteText(const fs::path& file, const std::string& text) {
  std::ofstream out(file, std::ios::trunc);
  out << text;
  out.close();
  return static_cast<bool>(out);
}

std::optional<std::string> ReadText(const fs::path& file) {
  std::ifstream in(file);
  if (!in) return std::nullopt;
  std::string text;
  std::getline(in, text);
  return text;
}

bool Exists(const fs::path& path) {
  std::error_code ec;
  return fs::exists(fs::symlink_status(path, ec));
}

// An advisory lock on the tree for one change; every simulator on the tree
// takes it.
class TreeLock {
 public:
  explicit TreeLock(const fs::path& state) {
    std::error_code ec;
    fs::create_directories(state, ec);
    fd_ = ::open((state / "lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd_ < 0) return;
    while (::flock(fd_, LOCK_EX) != 0) {
      if (errno != EINTR) {
        ::close(fd_);
        fd_ = -1;
        return;
      }
    }
  }
  ~TreeLock() {
    if (fd_ >= 0) ::close(fd_);
  }
  TreeLock(const TreeLock&) = delete;
  TreeLock& operator=(const TreeLock&) = delete;
  bool held() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

// A terminal as the kernel knows it while it lives: its device number and
// the time its inode was made (a device number alone comes back for the
// next pseudo-terminal once the last descriptor on this one is closed).
using TerminalId = std::tuple<uint64_t, int64_t, int64_t>;

std::optional<TerminalId> IdOf(const struct stat& st) {
  if (!S_ISCHR(st.st_mode)) return std::nullopt;
  return TerminalId{static_cast<uint64_t>(st.st_rdev), static_cast<int64_t>(st.st_ctim.tv_sec),
                    static_cast<int64_t>(st.st_ctim.tv_nsec)};
}

std::string IdText(const TerminalId& id) {
  return Format("%llu %lld %lld\n", static_cast<unsigned long long>(std::get<0>(id)),
                static_cast<long long>(std::get<1>(id)), static_cast<long long>(std::get<2>(id)));
}

std::optional<TerminalId> ParseId(const std::string& text) {
  unsigned long long rdev = 0;
  long long sec = 0, nsec = 0;
  if (std::sscanf(text.c_str(), "%llu %lld %lld", &rdev, &sec, &nsec) != 3) return std::nullopt;
  return TerminalId{rdev, sec, nsec};
}

// Every character device any process on this machine (that we may look
// at) holds open, from /proc/<pid>/fd.
std::set<TerminalId> OpenTerminals() {
  std::set<TerminalId> open;
  std::error_code ec;
  for (fs::directory_iterator p("/proc", ec); !ec && p != fs::directory_iterator();
       p.increment(ec)) {
    const std::string pid = p->path().filename().string();
    if (pid.empty() || pid.find_first_not_of("0123456789") != std::string::npos) continue;
    std::error_code fdEc;
    for (fs::directory_iterator f(p->path() / "fd", fdEc); !fdEc && f != fs::directory_iterator();
         f.increment(fdEc)) {
      // Pipes, sockets and the like name no file; only files are looked at.
      char target[8];
      const ssize_t n = ::readlink(f->path().c_str(), target, sizeof target);
      if (n <= 0 || target[0] != '/') continue;
      struct stat st {};
      if (::stat(f->path().c_str(), &st) != 0) continue;
      if (auto id = IdOf(st)) open.insert(*id);
    }
  }
  return open;
}

}  // namespace

UsbSysfs::UsbSysfs(fs::path sysfs, fs::path dev, bool companion)
    : sysfs_(fs::absolute(sysfs).lexically_normal()),
      dev_(fs::absolute(dev).lexically_normal()),
      state_(sysfs_ / ".quorrel-sim"),
      companion_(companion) {}

UsbSysfs::~UsbSysfs() {
  Detach();
}

void UsbSysfs::Link(const fs::path& target, const fs::path& link, bool removeAtDetach) {
  std::error_code ec;
  fs::create_directories(link.parent_path(), ec);
  fs::remove(link, ec);
  fs::create_directory_symlink(target.lexically_relative(link.parent_path()), link, ec);
  if (removeAtDetach && !ec) links_.push_back(link);
}

fs::path UsbSysfs::EnsureRootHub(int bus) {
  const fs::path hub = sysfs_ / "devices" / "pci0000:00" / "0000:00:14.0" / Format("usb%d", bus);
  if (fs::exists(hub / "idVendor")) return hub;
  const bool usb3 = companion_ && bus % 2 == 0;
  const std::string iface = Format("%d-0:1.0", bus);
  std::error_code ec;
  fs::create_directories(hub / iface, ec);
  bool ok = !ec;
  ok = ok && WriteText(hub / "idProduct", usb3 ? "0003\n" : "0002\n");
  ok = ok && WriteText(hub / "bDeviceClass", "09\n");
  ok = ok && WriteText(hub / "bNumInterfaces", " 1\n");
  ok = ok && WriteText(hub / "busnum", Format("%d\n", bus));
  ok = ok && WriteText(hub / "devnum", "1\n");
  ok = ok && WriteText(hub / "devpath", "0\n");
  ok = ok && WriteText(hub / "speed", usb3 ? "5000\n" : "480\n");
  ok = ok && WriteText(hub / "version", usb3 ? " 3.00\n" : " 2.00\n");
  ok = ok && WriteText(hub / "maxchild", Format("%d\n", kHubPorts));
  ok = ok && WriteText(hub / "product", "xHCI Host Controller\n");
  ok = ok && WriteText(hub / iface / "bInterfaceNumber", "00\n");
  ok = ok && WriteText(hub / iface / "bInterfaceClass", "09\n");
  if (!ok) return {};
  Link(sysfs_ / "bus" / "usb" / "drivers" / "hub", hub / iface / "driver", false);
  Link(sysfs_ / "bus" / "usb" / "drivers" / "usb", hub / "driver", false);
  Link(sysfs_ / "bus" / "usb", hub / "subsystem", false);
  Link(hub, sysfs_ / "bus" / "usb" / "drivers" / "usb" / hub.filename(), false);
  Link(hub, sysfs_ / "bus" / "usb" / "devices" / hub.filename(), false);
  Link(hub / iface, sysfs_ / "bus" / "usb" / "devices" / iface, false);
  Link(hub / iface, sysfs_ / "bus" / "usb" / "drivers" / "hub" / iface, false);
  // The root hub is devnum 1 of its bus; idVendor last: it marks the hub made.
  WriteText(state_ / Format("usb%d-devnum", bus), "1\n");
  return WriteText(hub / "idVendor", "1d6b\n") ? hub : fs::path();
}

fs::path UsbSysfs::EnsurePort(const std::string& path, int* speed) {
  auto chain = ParsePath(path);
  if (!chain) return {};
  fs::path hubDevice = EnsureRootHub(chain->bus);
  if (hubDevice.empty()) return {};
  const bool usb3 = ReadText(hubDevice / "speed").value_or("") == "5000";
  *speed = usb3 ? 5000 : 480;
  std::string hubName = Format("usb%d", chain->bus);
  std::string hubIface = Format("%d-0:1.0", chain->bus);
  std::error_code ec;
  auto ensurePorts = [&](const fs::path& device, const std::string& iface, const std::string& name,
                         int needed) {
    const int count = std::max(kHubPorts, needed);
    for (int n = 1; n <= count; ++n)
      fs::create_directories(device / iface / Format("%s-port%d", name.c_str(), n), ec);
    const int had = std::atoi(ReadText(device / "maxchild").value_or("0").c_str());
    if (count > had) WriteText(device / "maxchild", Format("%d\n", count));
  };
  if (companion_ && chain->ports.size() == 1) {
    // Both root hubs of the pair, each port linked to its peer.
    const int other = chain->bus % 2 == 1 ? chain->bus + 1 : chain->bus - 1;
    const fs::path otherHub = EnsureRootHub(other);
    if (otherHub.empty()) return {};
    const std::string otherName = Format("usb%d", other), otherIface = Format("%d-0:1.0", other);
    const int needed = chain->ports[0];
    ensurePorts(hubDevice, hubIface, hubName, needed);
    ensurePorts(otherHub, otherIface, otherName, needed);
    for (int n = 1; n <= std::max(kHubPorts, needed); ++n) {
      const fs::path mine = hubDevice / hubIface / Format("%s-port%d", hubName.c_str(), n);
      const fs::path theirs = otherHub / otherIface / Format("%s-port%d", otherName.c_str(), n);
      if (!Exists(mine / "peer")) Link(theirs, mine / "peer", false);
      if (!Exists(theirs / "peer")) Link(mine, theirs / "peer", false);
    }
  }
  for (size_t depth = 1;; ++depth) {
    const int number = chain->ports[depth - 1];
    ensurePorts(hubDevice, hubIface, hubName, number);
    const fs::path port = hubDevice / hubIface / Format("%s-port%d", hubName.c_str(), number);
    if (depth == chain->ports.size()) return port;
    // A hub at this port, made once and left in place.
    const std::string hubPath = ChainPath(chain->bus, chain->ports, depth);
    const fs::path hub = hubDevice / hubPath;
    if (!fs::exists(hub / "idVendor")) {
      const std::string iface = hubPath + ":1.0";
      fs::create_directories(hub / iface, ec);
      bool ok = !ec;
      ok = ok && WriteText(hub / "idProduct", "0000\n");
      ok = ok && WriteText(hub / "bDeviceClass", "09\n");
      ok = ok && WriteText(hub / "bNumInterfaces", " 1\n");
      ok = ok && WriteText(hub / "busnum", Format("%d\n", chain->bus));
      ok = ok && WriteText(hub / "devnum", Format("%d\n", TakeDevnum(chain->bus)));
      ok = ok && WriteText(hub / "devpath", hubPath.substr(hubPath.find('-') + 1) + "\n");
      ok = ok && WriteText(hub / "speed", Format("%d\n", *speed));
      ok = ok && WriteText(hub / iface / "bInterfaceNumber", "00\n");
      ok = ok && WriteText(hub / iface / "bInterfaceClass", "09\n");
      if (!ok) return {};
      Link(sysfs_ / "bus" / "usb" / "drivers" / "usb", hub / "driver", false);
      Link(sysfs_ / "bus" / "usb", hub / "subsystem", false);
      Link(hub, sysfs_ / "bus" / "usb" / "drivers" / "usb" / hubPath, false);
      Link(sysfs_ / "bus" / "usb" / "drivers" / "hub", hub / iface / "driver", false);
      Link(hub / iface, sysfs_ / "bus" / "usb" / "drivers" / "hub" / iface, false);
      Link(port, hub / "port", false);
      Link(hub, port / "device", false);
      Link(hub, sysfs_ / "bus" / "usb" / "devices" / hubPath, false);
      Link(hub / iface, sysfs_ / "bus" / "usb" / "devices" / iface, false);
      if (!WriteText(hub / "idVendor", "0000\n")) return {};
    }
    hubDevice = hub;
    hubName = hubPath;
    hubIface = hubPath + ":1.0";
  }
}

int UsbSysfs::TakeDevnum(int bus) {
  // Each new device takes the next number after the last one given on its
  // bus, skipping those in use, as the kernel does.
  std::set<int> used;
  std::error_code ec;
  for (fs::directory_iterator it(sysfs_ / "bus" / "usb" / "devices", ec);
       !ec && it != fs::directory_iterator(); it.increment(ec)) {
    if (it->path().filename().string().find(':') != std::string::npos) continue;
    if (std::atoi(ReadText(it->path() / "busnum").value_or("0").c_str()) != bus) continue;
    used.insert(std::atoi(ReadText(it->path() / "devnum").value_or("0").c_str()));
  }
  const fs::path file = state_ / Format("usb%d-devnum", bus);
  int n = std::atoi(ReadText(file).value_or("1").c_str());
  for (int tries = 0; tries < kLastDevnum; ++tries) {
    n = n >= kLastDevnum || n < kFirstDevnum - 1 ? kFirstDevnum : n + 1;
    if (used.count(n) == 0) break;
  }
  WriteText(file, Format("%d\n", n));
  return n;
}

std::vector<std::string> UsbSysfs::TakeTtyNames(size_t count) {
  std::vector<std::string> names;
  std::optional<std::set<TerminalId>> open;  // looked up once, when needed
  std::error_code ec;
  for (int n = 0; n < kMaxTtyNumbers && names.size() < count; ++n) {
    const std::string name = Format("ttyUSB%d", n);
    if (Exists(sysfs_ / "class" / "tty" / name) || Exists(dev_ / name)) continue;
    const fs::path record = state_ / "ttys" / name;
    if (auto text = ReadText(record)) {
      auto id = ParseId(*text);
      if (id) {
        if (!open) open = OpenTerminals();
        if (open->count(*id) != 0) continue;  // a descriptor on the old tty is still open
      }
      fs::remove(record, ec);
    }
    names.push_back(name);
  }
  return names;
}

bool UsbSysfs::Attach(const UsbDeviceLayout& layout, UsbAttachment* out, std::string* why) {
  Detach();
  TreeLock lock(state_);
  if (!lock.held()) {
    *why = "cannot lock " + (state_ / "lock").string();
    return false;
  }
  const std::string& path = layout.path;
  auto chain = ParsePath(path);
  int speed = 0;
  const fs::path port = chain ? EnsurePort(path, &speed) : fs::path();
  if (port.empty()) {
    *why = "cannot lay out the hubs and ports of " + path + " under " + sysfs_.string();
    return false;
  }
  const fs::path devices = sysfs_ / "bus" / "usb" / "devices";
  if (Exists(devices / path) || Exists(port / "device")) {
    *why = "another device is attached at " + path;
    return false;
  }
  const fs::path parent = port.parent_path().parent_path();
  out->busnum = chain->bus;
  out->speed = speed;
  out->devnum = TakeDevnum(chain->bus);
  size_t ttyCount = 0;
  for (const UsbInterfaceLayout& i : layout.interfaces) ttyCount += i.serialDriver.empty() ? 0 : 1;
  std::vector<std::string> names = TakeTtyNames(ttyCount);
  if (names.size() != ttyCount) {
    *why = "no free ttyUSB number";
    return false;
  }

  // The device is made under a temporary name beside its place and moved
  // there whole, so a reader never sees it without its interfaces. Links
  // inside it are relative and keep their meaning across the move.
  const fs::path temp = parent / Format(".new-%s-%d", path.c_str(), static_cast<int>(::getpid()));
  std::error_code ec;
  fs::remove_all(temp, ec);
  bool ok = fs::create_directory(temp, ec);
  ok = ok && WriteText(temp / "idProduct", Format("%04x\n", layout.productId));
  ok = ok && WriteText(temp / "bcdDevice", "0100\n");
  ok = ok && WriteText(temp / "bDeviceClass", "00\n");
  ok = ok && WriteText(temp / "bNumConfigurations", "1\n");
  ok = ok && WriteText(temp / "bConfigurationValue", "1\n");
  ok = ok && WriteText(temp / "bNumInterfaces",
                       Format("%2d\n", static_cast<int>(layout.interfaces.size())));
  ok = ok && WriteText(temp / "busnum", Format("%d\n", out->busnum));
  ok = ok && WriteText(temp / "devnum", Format("%d\n", out->devnum));
  ok = ok && WriteText(temp / "devpath", path.substr(path.find('-') + 1) + "\n");
  ok = ok && WriteText(temp / "speed", Format("%d\n", speed));
  ok = ok && WriteText(temp / "version", speed == 5000 ? " 3.00\n" : " 2.00\n");
  ok = ok && WriteText(temp / "maxchild", "0\n");
  ok = ok &&
       WriteText(
           temp / "uevent",
           Format("MAJOR=189\nMINOR=%d\nDEVNAME=bus/usb/%03d/%03d\nDEVTYPE=usb_device\nDRIVER=usb\n"
                  "PRODUCT=%x/%x/100\nTYPE=0/0/0\nBUSNUM=%03d\nDEVNUM=%03d\n",
                  (out->busnum - 1) * 128 + out->devnum - 1, out->busnum, out->devnum,
                  layout.vendorId, layout.productId, out->busnum, out->devnum));
  if (!layout.manufacturer.empty())
    ok = ok && WriteText(temp / "manufacturer", layout.manufacturer + "\n");
  if (!layout.product.empty()) ok = ok && WriteText(temp / "product", layout.product + "\n");
  if (!layout.serial.empty()) ok = ok && WriteText(temp / "serial", layout.serial + "\n");
  const fs::path usbDrivers = sysfs_ / "bus" / "usb" / "drivers";
  const fs::path serialDrivers = sysfs_ / "bus" / "usb-serial" / "drivers";
  Link(usbDrivers / "usb", temp / "driver", false);
  Link(sysfs_ / "bus" / "usb", temp / "subsystem", false);
  Link(port, temp / "port", false);
  size_t nextName = 0;
  out->ttys.assign(layout.interfaces.size(), std::string());
  for (size_t k = 0; ok && k < layout.interfaces.size(); ++k) {
    const UsbInterfaceLayout& i = layout.interfaces[k];
    const std::string name = Format("%s:1.%d", path.c_str(), i.number);
    const fs::path iface = temp / name;
    ok = fs::create_directory(iface, ec);
    ok = ok && WriteText(iface / "bInterfaceNumber", Format("%02x\n", i.number));
    ok = ok && WriteText(iface / "bAlternateSetting", " 0\n");
    ok = ok && WriteText(iface / "bInterfaceClass", Format("%02x\n", i.interfaceClass));
    ok = ok && WriteText(iface / "bInterfaceSubClass", Format("%02x\n", i.interfaceClass));
    ok = ok && WriteText(iface / "bInterfaceProtocol", Format("%02x\n", i.interfaceClass));
    ok = ok && WriteText(iface / "bNumEndpoints", i.serialDriver.empty() ? "01\n" : "03\n");
    ok = ok &&
         WriteText(
             iface / "uevent",
             Format("DEVTYPE=usb_interface\n%sPRODUCT=%x/%x/100\nTYPE=0/0/0\nINTERFACE=%d/%d/%d\n",
                    i.driver.empty() ? "" : ("DRIVER=" + i.driver + "\n").c_str(), layout.vendorId,
                    layout.productId, i.interfaceClass, i.interfaceClass, i.interfaceClass));
    Link(sysfs_ / "bus" / "usb", iface / "subsystem", false);
    if (!i.driver.empty()) Link(usbDrivers / i.driver, iface / "driver", false);
    if (!ok || i.serialDriver.empty()) continue;
    const std::string& tty = names[nextName++];
    const int minor = std::atoi(tty.c_str() + 6);
    const fs::path serialPort = iface / tty;
    const fs::path node = serialPort / "tty" / tty;
    ok = fs::create_directories(node, ec);
    ok = ok && WriteText(serialPort / "port_number", "0\n");
    ok = ok && WriteText(serialPort / "uevent", "DRIVER=" + i.serialDriver + "\n");
    ok = ok && WriteText(node / "dev", Format("188:%d\n", minor));
    ok = ok && WriteText(node / "uevent",
                         Format("MAJOR=188\nMINOR=%d\nDEVNAME=%s\n", minor, tty.c_str()));
    Link(serialDrivers / i.serialDriver, serialPort / "driver", false);
    Link(sysfs_ / "bus" / "usb-serial", serialPort / "subsystem", false);
    Link(serialPort, node / "device", false);
    Link(sysfs_ / "class" / "tty", node / "subsystem", false);
    out->ttys[k] = tty;
  }
  ok = ok && WriteText(temp / "idVendor", Format("%04x\n", layout.vendorId));
  const fs::path device = parent / path;
  ok = ok && (fs::rename(temp, device, ec), !ec);
  if (!ok) {
    fs::remove_all(temp, ec);
    *why = "cannot write the device under " + parent.string();
    return false;
  }
  folder_ = device;

  // What points into it, in the order the kernel adds it: the device, its
  // interfaces with their drivers, the usb-serial ports, the tty class
  // entries, and last the nodes, as udev makes them.
  Link(device, devices / path, true);
  Link(device, usbDrivers / "usb" / path, true);
  Link(device, port / "device", true);
  for (size_t k = 0; k < layout.interfaces.size(); ++k) {
    const UsbInterfaceLayout& i = layout.interfaces[k];
    const std::string name = Format("%s:1.%d", path.c_str(), i.number);
    Link(device / name, devices / name, true);
    if (!i.driver.empty()) Link(device / name, usbDrivers / i.driver / name, true);
  }
  for (size_t k = 0; k < layout.interfaces.size(); ++k) {
    const UsbInterfaceLayout& i = layout.interfaces[k];
    const std::string& tty = out->ttys[k];
    if (tty.empty()) continue;
    const fs::path serialPort = device / Format("%s:1.%d", path.c_str(), i.number) / tty;
    if (!Exists(serialDrivers / i.serialDriver / "new_id")) {
      fs::create_directories(serialDrivers / i.serialDriver, ec);
      WriteText(serialDrivers / i.serialDriver / "new_id", "");
    }
    Link(serialPort, sysfs_ / "bus" / "usb-serial" / "devices" / tty, true);
    Link(serialPort, serialDrivers / i.serialDriver / tty, true);
    Link(serialPort / "tty" / tty, sysfs_ / "class" / "tty" / tty, true);
  }
  fs::create_directories(dev_, ec);
  fs::create_directories(state_ / "ttys", ec);
  for (size_t k = 0; k < layout.interfaces.size(); ++k) {
    const std::string& tty = out->ttys[k];
    if (tty.empty()) continue;
    // Which terminal the number stands for, so that a later attachment
    // knows while a descriptor on it stays open.
    struct stat st {};
    if (::stat(layout.interfaces[k].terminal.c_str(), &st) == 0) {
      if (auto id = IdOf(st)) WriteText(state_ / "ttys" / tty, IdText(*id));
    }
    fs::remove(dev_ / tty, ec);
    fs::create_symlink(layout.interfaces[k].terminal, dev_ / tty, ec);
    if (ec) ok = false;
    links_.push_back(dev_ / tty);
  }
  if (!ok) *why = "cannot make the tty nodes under " + dev_.string();
  return ok;
}

void UsbSysfs::Detach() {
  if (folder_.empty()) return;
  TreeLock lock(state_);
  std::error_code ec;
  for (auto it = links_.rbegin(); it != links_.rend(); ++it) fs::remove(*it, ec);
  fs::remove_all(folder_, ec);
  links_.clear();
  folder_.clear();
}

}  // namespace quorrel::sim

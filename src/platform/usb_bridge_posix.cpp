#include "platform/usb_bridge.h"

#include <fcntl.h>
#include <sys/file.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <sstream>
#include <system_error>

#include "platform/dosdevices.h"
#include "platform/local_time.h"
#include "platform/registry.h"
#include "platform/root.h"
#include "util/text.h"

namespace quorrel {

namespace fs = std::filesystem;

namespace {

// sysfs attributes are short; anything longer is cut here.
constexpr size_t kMaxAttribute = 256;
// Entries looked at in one folder of the tree.
constexpr int kMaxEntries = 1024;
// COM numbers handed out: from 3 up (1 and 2 are the machine's own ports).
constexpr int kFirstBridgePort = 3;
// Modems remembered in the state file, present or not.
constexpr size_t kMaxRemembered = 64;
constexpr size_t kMaxStateBytes = 64 * 1024;
// How long a poll waits for another program's poll on the same root: 2 s.
constexpr int kLockTries = 200;
constexpr long kLockPauseNs = 10'000'000;

constexpr char kServicesKey[] = "SYSTEM\\CurrentControlSet\\Services\\";
constexpr char kEnumKey[] = "SYSTEM\\CurrentControlSet\\Enum\\";

// One attribute file's text without its line end; nothing when it cannot be
// read (the device may have gone).
std::optional<std::string> ReadAttribute(const fs::path& file) {
  int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) return std::nullopt;
  char buffer[kMaxAttribute];
  ssize_t n;
  do {
    n = ::read(fd, buffer, sizeof buffer);
  } while (n < 0 && errno == EINTR);
  ::close(fd);
  if (n < 0) return std::nullopt;
  std::string text(buffer, static_cast<size_t>(n));
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ' || text.back() == '\r'))
    text.pop_back();
  return text;
}

std::optional<unsigned> ParseHexText(const std::string& text, size_t maxDigits) {
  if (text.empty() || text.size() > maxDigits) return std::nullopt;
  unsigned value = 0;
  for (char c : text) {
    int d = (c >= '0' && c <= '9')   ? c - '0'
            : (c >= 'a' && c <= 'f') ? c - 'a' + 10
            : (c >= 'A' && c <= 'F') ? c - 'A' + 10
                                     : -1;
    if (d < 0) return std::nullopt;
    value = value * 16 + static_cast<unsigned>(d);
  }
  return value;
}

int ParseDecimalText(const std::optional<std::string>& text) {
  if (!text || text->empty() || text->size() > 6) return 0;
  int value = 0;
  for (char c : *text) {
    if (c < '0' || c > '9') return 0;
    value = value * 10 + (c - '0');
  }
  return value;
}

// A USB port path: "1-2", "3-1.4.2" (bus, a dash, port numbers with dots).
bool IsPortPath(const std::string& name) {
  if (name.empty() || name.size() > 64 || name[0] < '0' || name[0] > '9') return false;
  size_t dash = name.find('-');
  if (dash == std::string::npos || dash + 1 >= name.size()) return false;
  for (char c : name) {
    if (!((c >= '0' && c <= '9') || c == '-' || c == '.')) return false;
  }
  return name.find('-', dash + 1) == std::string::npos;
}

// "ttyUSB0", "ttyACM3", "ttyHS1": only letters and digits after "tty".
bool IsTtyName(const std::string& name) {
  if (name.size() <= 3 || name.size() > 32 || name.compare(0, 3, "tty") != 0) return false;
  for (char c : name.substr(3)) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'))) return false;
  }
  return true;
}

// Printable ASCII only, as a serial number is shown and matched.
std::string CleanSerial(const std::optional<std::string>& text) {
  std::string out;
  if (!text) return out;
  for (char c : *text) {
    if (c > ' ' && c < 0x7F) out.push_back(c);
  }
  return out;
}

std::vector<std::string> ListFolder(const fs::path& folder) {
  std::vector<std::string> names;
  std::error_code ec;
  fs::directory_iterator it(folder, ec);
  for (int n = 0; !ec && it != fs::directory_iterator() && n < kMaxEntries; ++n) {
    names.push_back(it->path().filename().string());
    it.increment(ec);
  }
  std::sort(names.begin(), names.end());
  return names;
}

bool Inside(const fs::path& child, const fs::path& folder) {
  const std::string c = child.string(), f = folder.string() + "/";
  return c.size() > f.size() && c.compare(0, f.size(), f) == 0;
}

std::string DevicePath(uint16_t vid, uint16_t pid, int interfaceNumber,
                       const std::string& portPath) {
  return Format("USB\\VID_%04X&PID_%04X&MI_%02X\\", vid, pid, interfaceNumber) + portPath;
}

// ---- what the bridge handed out, kept under the root ----

struct Assignment {
  std::string portPath;
  int diagCom = 0;
  int atCom = 0;
  std::string diagPath;  // device paths whose keys are written now; empty: none
  std::string atPath;
};

struct State {
  bool servicesWritten = false;
  std::vector<Assignment> modems;  // in the order first seen
};

fs::path StateFolder() {
  return QuorrelRoot() / "usbbridge";
}
fs::path StateFile() {
  return StateFolder() / "ports";
}

bool ValidComNumber(int n) {
  return n >= kFirstComPort && n <= kLastComPort;
}

bool ValidDevicePath(const std::string& path) {
  if (path.size() > 200 || path.compare(0, 4, "USB\\") != 0) return false;
  for (char c : path) {
    if (c <= ' ' || c >= 0x7F || c == '/') return false;
  }
  return path.find("..") == std::string::npos;
}

State ParseState(const std::string& text) {
  State state;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line) && state.modems.size() < kMaxRemembered) {
    std::istringstream words(line);
    std::string kind;
    words >> kind;
    if (kind == "services") {
      int written = 0;
      words >> written;
      state.servicesWritten = written != 0;
    } else if (kind == "modem") {
      Assignment a;
      std::string diagPath, atPath;
      if (!(words >> a.portPath >> a.diagCom >> a.atCom >> diagPath >> atPath)) continue;
      if (!IsPortPath(a.portPath) || !ValidComNumber(a.diagCom) || !ValidComNumber(a.atCom) ||
          a.diagCom == a.atCom) {
        continue;
      }
      if (diagPath != "-" && ValidDevicePath(diagPath)) a.diagPath = diagPath;
      if (atPath != "-" && ValidDevicePath(atPath)) a.atPath = atPath;
      bool clash = false;
      for (const Assignment& other : state.modems) {
        clash |= other.portPath == a.portPath || other.diagCom == a.diagCom ||
                 other.diagCom == a.atCom || other.atCom == a.diagCom || other.atCom == a.atCom;
      }
      if (!clash) state.modems.push_back(a);
    }
  }
  return state;
}

std::string StateText(const State& state) {
  std::string text =
      "# COM numbers of the USB modems by port path: path diag at diag-device at-device\n";
  text += Format("services %d\n", state.servicesWritten ? 1 : 0);
  for (const Assignment& a : state.modems) {
    text += Format("modem %s %d %d %s %s\n", a.portPath.c_str(), a.diagCom, a.atCom,
                   a.diagPath.empty() ? "-" : a.diagPath.c_str(),
                   a.atPath.empty() ? "-" : a.atPath.c_str());
  }
  return text;
}

std::optional<std::string> ReadSmallFile(const fs::path& file) {
  int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return std::nullopt;
  std::string text;
  char buffer[4096];
  for (;;) {
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    text.append(buffer, static_cast<size_t>(n));
    if (text.size() > kMaxStateBytes) break;
  }
  ::close(fd);
  return text;
}

bool WriteStateFile(const std::string& text) {
  const fs::path file = StateFile();
  fs::path temp = file;
  temp += ".tmp." + std::to_string(::getpid());
  int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
  if (fd < 0) return false;
  bool ok = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  ok &= ::close(fd) == 0;
  std::error_code ec;
  if (ok) fs::rename(temp, file, ec);
  if (!ok || ec) {
    fs::remove(temp, ec);
    return false;
  }
  return true;
}

// An advisory lock on the root's bridge folder for one poll, so that two
// programs on one root never hand out the same number.
class StateLock {
 public:
  StateLock() {
    std::error_code ec;
    fs::create_directories(StateFolder(), ec);
    fd_ = ::open((StateFolder() / "lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd_ < 0) return;
    // A poll holds it for milliseconds; a holder that hangs must not hang
    // this program's discovery with it.
    for (int tries = 0; tries < kLockTries; ++tries) {
      if (::flock(fd_, LOCK_EX | LOCK_NB) == 0) return;
      if (errno != EWOULDBLOCK && errno != EINTR) break;
      const timespec pause{0, kLockPauseNs};
      ::nanosleep(&pause, nullptr);
    }
    ::close(fd_);
    fd_ = -1;
  }
  ~StateLock() {
    if (fd_ >= 0) ::close(fd_);
  }
  StateLock(const StateLock&) = delete;
  StateLock& operator=(const StateLock&) = delete;
  bool held() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

// ---- the registry side ----

std::optional<std::string> ReadString(const std::string& key, const std::string& name) {
  RegistryKey k;
  if (k.Open(RegistryRoot::LocalMachine, key, kKeyRead) != kRegistryOk) return std::nullopt;
  char buffer[1024];
  uint32_t size = sizeof buffer;
  if (k.QueryString(name, buffer, &size) != kRegistryOk) return std::nullopt;
  return std::string(buffer);
}

std::string ParametersKey(const std::string& devicePath) {
  return kEnumKey + devicePath + "\\Device Parameters";
}

void SetPortName(const std::string& devicePath, int com) {
  const std::string name = Format("COM%d", com);
  if (ReadString(ParametersKey(devicePath), "PortName") == name) return;
  RegistrySetString(RegistryRoot::LocalMachine, ParametersKey(devicePath), "PortName", name);
}

// Removes a device instance key and the interface and "USB" keys above it
// once nothing else is left in them.
void ForgetDevicePath(const std::string& devicePath) {
  if (devicePath.empty()) return;
  std::string key = kEnumKey + devicePath;
  RegistryDeleteKey(RegistryRoot::LocalMachine, key);
  for (int level = 0; level < 2; ++level) {
    size_t cut = key.rfind('\\');
    if (cut == std::string::npos) break;
    key.resize(cut);
    auto folder = RegistryKeyFolder(RegistryRoot::LocalMachine, key);
    std::error_code ec;
    if (!folder || !fs::is_empty(*folder, ec) || ec) break;
    RegistryDeleteKey(RegistryRoot::LocalMachine, key);
  }
}

// A service's Enum key listing paths ("Count", "0", "1", ...); removed when
// paths is empty. Left alone when it already says exactly that.
void WriteServiceEnum(const std::string& service, const std::vector<std::string>& paths) {
  const std::string key = kServicesKey + service + "\\Enum";
  if (paths.empty()) {
    RegistryDeleteKey(RegistryRoot::LocalMachine, key);
    return;
  }
  RegistryKey k;
  uint32_t count = 0;
  if (k.Open(RegistryRoot::LocalMachine, key, kKeyRead) == kRegistryOk) {
    if (k.QueryDword("Count", &count) != kRegistryOk) count = 0;
    bool same = count == paths.size();
    for (size_t i = 0; same && i < paths.size(); ++i) {
      char buffer[1024];
      uint32_t size = sizeof buffer;
      same = k.QueryString(std::to_string(i), buffer, &size) == kRegistryOk && paths[i] == buffer;
    }
    k.Close();
    if (same) return;
  }
  // The new list replaces the old one in one write: a reader (another
  // line's discovery, the station's look) sees either list, never a key
  // missing or half written while modems are attached.
  std::vector<RegistryValue> values = {
      RegistryValue::Dword("Count", static_cast<uint32_t>(paths.size()))};
  for (size_t i = 0; i < paths.size(); ++i)
    values.push_back(RegistryValue::String(std::to_string(i), paths[i]));
  RegistrySetValues(RegistryRoot::LocalMachine, key, values);
  // Entries of a longer earlier list, past the count now, must not linger.
  for (size_t i = paths.size(); i < std::min<size_t>(count, kMaxRemembered * 2 + 8); ++i)
    RegistryDeleteValue(RegistryRoot::LocalMachine, key, std::to_string(i));
}

void LinkIfChanged(int com, const fs::path& tty) {
  std::error_code ec;
  if (fs::read_symlink(ComPortPath(com), ec) == tty && !ec) return;
  LinkComPort(com, tty);
}

bool ComNumberFree(int n, const State& state) {
  for (const Assignment& a : state.modems) {
    if (a.diagCom == n || a.atCom == n) return false;
  }
  std::error_code ec;
  // Any link there, live or dangling, is someone else's.
  return !fs::exists(fs::symlink_status(ComPortPath(n), ec));
}

int TakeFreeNumber(const State& state, int other) {
  for (int n = kFirstBridgePort; n <= kLastComPort; ++n) {
    if (n != other && ComNumberFree(n, state)) return n;
  }
  return 0;
}

}  // namespace

// ---- the USB devices in sysfs ----

namespace {

// The peer of the device's port: the other half of a USB3 port pair, where
// a device that re-enumerates at another speed comes back; empty when the
// port has none. The port folder is the device's "port" link, or
// <hub>/<hub interface>/<hub>-port<N> under the hub it hangs on.
fs::path PeerPort(const fs::path& deviceFolder, const std::string& name) {
  std::error_code ec;
  const size_t cut = name.find_last_of("-.");
  if (cut == std::string::npos || cut + 1 >= name.size()) return {};
  const std::string number = name.substr(cut + 1);
  fs::path port = fs::canonical(deviceFolder / "port", ec);
  if (ec) {
    ec.clear();
    const fs::path hub = deviceFolder.parent_path();
    const std::string suffix = "-port" + number;
    for (const std::string& child : ListFolder(hub)) {
      if (child.find(':') == std::string::npos) continue;
      for (const std::string& entry : ListFolder(hub / child)) {
        if (entry.size() > suffix.size() &&
            entry.compare(entry.size() - suffix.size(), suffix.size(), suffix) == 0) {
          port = hub / child / entry;
        }
      }
    }
    if (port.empty()) return {};
  }
  const fs::path peer = fs::canonical(port / "peer", ec);
  if (ec) return {};
  return peer;
}

// The port path at the peer port; empty when the port has none.
std::string CompanionPath(const fs::path& deviceFolder, const std::string& name) {
  const fs::path peer = PeerPort(deviceFolder, name);
  if (peer.empty()) return {};
  const std::string number = name.substr(name.find_last_of("-.") + 1);
  // "usb2-port2" on a root hub (bus 2), "2-1-port4" on hub 2-1.
  const std::string peerName = peer.filename().string();
  const size_t at = peerName.rfind("-port");
  if (at == std::string::npos || peerName.substr(at + 5) != number) return {};
  const std::string hub = peerName.substr(0, at);
  std::string path =
      hub.compare(0, 3, "usb") == 0 ? hub.substr(3) + "-" + number : hub + "." + number;
  return IsPortPath(path) && path != name ? path : std::string();
}

// The name of the driver a "driver" link leads to; empty without one.
std::string DriverName(const fs::path& link) {
  std::error_code ec;
  const fs::path target = fs::read_symlink(link, ec);
  if (ec) return {};
  std::string name = target.filename().string();
  if (name.empty() || name.size() > 64) return {};
  return name;
}

// Decimal with blanks around it (bNumInterfaces is " 3").
int ParseDecimalBlank(std::optional<std::string> text) {
  if (!text) return 0;
  size_t start = text->find_first_not_of(' ');
  return ParseDecimalText(start == std::string::npos ? std::string() : text->substr(start));
}

UsbInterfaceInfo ReadInterface(const fs::path& sysfs, const fs::path& dev, const fs::path& iface) {
  UsbInterfaceInfo info;
  std::optional<std::string> numberText = ReadAttribute(iface / "bInterfaceNumber");
  std::optional<unsigned> number = numberText ? ParseHexText(*numberText, 2) : std::nullopt;
  info.number = number ? static_cast<int>(*number) : -1;
  std::optional<std::string> classText = ReadAttribute(iface / "bInterfaceClass");
  std::optional<unsigned> cls = classText ? ParseHexText(*classText, 2) : std::nullopt;
  info.interfaceClass = cls ? static_cast<int>(*cls) : -1;
  info.driver = DriverName(iface / "driver");

  // A usb-serial port is a child ttyUSBn of the interface with the tty
  // below it; cdc-acm puts tty/ttyACMn straight under the interface.
  std::vector<std::pair<std::string, bool>> ttys;  // name, a usb-serial port
  for (const std::string& t : ListFolder(iface)) {
    if (IsTtyName(t)) ttys.emplace_back(t, true);
  }
  for (const std::string& t : ListFolder(iface / "tty")) {
    if (IsTtyName(t)) ttys.emplace_back(t, false);
  }
  std::error_code e;
  const fs::path ifaceReal = fs::canonical(iface, e);
  if (e) return info;
  for (const auto& [t, usbSerial] : ttys) {
    // The kernel's own list of ttys must lead back into this very
    // interface; anything else belongs to another device.
    const fs::path owner = fs::canonical(sysfs / "class" / "tty" / t, e);
    if (e) continue;
    if (!Inside(owner, ifaceReal)) {
      info.foreignTty = t;
      continue;
    }
    info.tty = t;
    info.node = fs::exists(dev / t, e);
    if (usbSerial) info.serialDriver = DriverName(iface / t / "driver");
    break;
  }
  return info;
}

std::optional<UsbDeviceInfo> ReadUsbDevice(const fs::path& sysfs, const fs::path& dev,
                                           const std::string& name) {
  if (!IsPortPath(name)) return std::nullopt;  // interfaces and root hubs
  // Every read below may fail when the device goes in the middle of the
  // scan; the device is then left out.
  std::error_code ec;
  const fs::path folder = fs::canonical(sysfs / "bus" / "usb" / "devices" / name, ec);
  if (ec) return std::nullopt;
  std::optional<std::string> vidText = ReadAttribute(folder / "idVendor");
  std::optional<std::string> pidText = ReadAttribute(folder / "idProduct");
  if (!vidText || !pidText) return std::nullopt;
  std::optional<unsigned> vid = ParseHexText(*vidText, 4), pid = ParseHexText(*pidText, 4);
  if (!vid || !pid) return std::nullopt;

  UsbDeviceInfo d;
  d.portPath = name;
  d.folder = folder.string();
  d.companion = CompanionPath(folder, name);
  d.vendorId = static_cast<uint16_t>(*vid);
  d.productId = static_cast<uint16_t>(*pid);
  d.serial = CleanSerial(ReadAttribute(folder / "serial"));
  if (std::optional<std::string> product = ReadAttribute(folder / "product")) {
    for (char c : *product) {
      if (c >= ' ' && c < 0x7F && c != '#') d.product.push_back(c);
    }
    while (!d.product.empty() && d.product.back() == ' ') d.product.pop_back();
  }
  d.busnum = ParseDecimalText(ReadAttribute(folder / "busnum"));
  d.devnum = ParseDecimalText(ReadAttribute(folder / "devnum"));
  for (const std::string& child : ListFolder(folder)) {
    if (child.compare(0, name.size() + 1, name + ":") != 0) continue;
    UsbInterfaceInfo i = ReadInterface(sysfs, dev, folder / child);
    if (i.number >= 0) d.interfaces.push_back(std::move(i));
  }
  std::sort(
      d.interfaces.begin(), d.interfaces.end(),
      [](const UsbInterfaceInfo& a, const UsbInterfaceInfo& b) { return a.number < b.number; });
  d.interfaceCount = ParseDecimalBlank(ReadAttribute(folder / "bNumInterfaces"));
  if (d.interfaceCount == 0) d.interfaceCount = static_cast<int>(d.interfaces.size());
  // Gone while it was read: the device folder no longer there.
  if (!fs::exists(folder, ec)) return std::nullopt;
  return d;
}

// "0, 2 and 3"
std::string NumberList(const std::vector<int>& numbers) {
  std::string text;
  for (size_t k = 0; k < numbers.size(); ++k) {
    if (k > 0) text += k + 1 == numbers.size() ? " and " : ", ";
    text += std::to_string(numbers[k]);
  }
  return text;
}

// The folder under /sys/bus/usb-serial/drivers where a driver takes new ids.
std::string SerialDriverFolder(const std::string& driver) {
  return driver == "option" ? "option1" : driver;
}

}  // namespace

std::vector<UsbDeviceInfo> ScanUsbDevices(const fs::path& sysfs, const fs::path& dev) {
  std::vector<UsbDeviceInfo> devices;
  for (const std::string& name : ListFolder(sysfs / "bus" / "usb" / "devices")) {
    if (std::optional<UsbDeviceInfo> d = ReadUsbDevice(sysfs, dev, name))
      devices.push_back(std::move(*d));
  }
  return devices;
}

std::string CompanionDeviceFolder(const std::string& deviceFolder) {
  const fs::path folder(deviceFolder);
  const std::string name = folder.filename().string();
  const std::string companion = CompanionPath(folder, name);
  if (companion.empty()) return {};
  // The peer port is <hub>/<hub interface>/<port>: the device there would
  // be <hub>/<companion path>.
  return (PeerPort(folder, name).parent_path().parent_path() / companion).string();
}

std::optional<std::pair<uint16_t, uint16_t>> UsbIdentityOfFolder(const std::string& folder) {
  std::optional<std::string> vidText = ReadAttribute(fs::path(folder) / "idVendor");
  std::optional<std::string> pidText = ReadAttribute(fs::path(folder) / "idProduct");
  if (!vidText || !pidText) return std::nullopt;
  std::optional<unsigned> vid = ParseHexText(*vidText, 4), pid = ParseHexText(*pidText, 4);
  if (!vid || !pid) return std::nullopt;
  return std::make_pair(static_cast<uint16_t>(*vid), static_cast<uint16_t>(*pid));
}

UsbBridge::UsbBridge(ModemTable table, fs::path sysfs, fs::path dev)
    : table_(std::move(table)), sysfs_(std::move(sysfs)), dev_(std::move(dev)) {}

void UsbBridge::Notice(const std::string& key, const std::string& text) {
  seen_now_.push_back(key);
  if (std::find(told_.begin(), told_.end(), key) != told_.end()) return;
  told_.push_back(key);
  notices_.push_back(text);
}

std::vector<std::string> UsbBridge::TakeNotices() {
  std::vector<std::string> out;
  out.swap(notices_);
  return out;
}

bool UsbBridge::Learn(const ModemTableEntry& entry) {
  if (table_.Find(entry.vendorId, entry.productId) != nullptr) return false;
  table_.entries.push_back(entry);
  return true;
}

// A driver binds, and its tty appears, a moment after the interface does:
// a cause is only told once it is still there at the next poll.
void UsbBridge::PendingNotice(const std::string& key, const std::string& text,
                              std::vector<std::string>* pendingNow) {
  pendingNow->push_back(key);
  if (std::find(pending_.begin(), pending_.end(), key) != pending_.end()) Notice(key, text);
}

// The tty of the device's interface `wanted`, the table's port for `role`;
// empty while it has none (no such interface, no driver, a driver that gives
// it no serial port, a tty node not made yet, or a tty that is not its own),
// the cause told as a notice.
std::string UsbBridge::TableTty(const UsbDeviceInfo& d, const UsbModem& m, int wanted,
                                const char* role, std::vector<std::string>* pendingNow) {
  const std::string label = Format("USB modem %s (%04x:%04x%s%s)", m.portPath.c_str(), m.vendorId,
                                   m.productId, m.name.empty() ? "" : " ", m.name.c_str());
  const std::string where = m.source.empty() || m.source == "probe" ? std::string("the modem table")
                                                                    : "the table line " + m.source;
  const std::string fix = Format(
      "Correct %s, or remove it and let quorrel find the ports by probing (quorrel-cli list).",
      where.c_str());
  const std::string id =
      Format("%s %04x:%04x %d", m.portPath.c_str(), m.vendorId, m.productId, wanted);
  // The interfaces that have a serial port, and the modem driver's.
  std::vector<int> serial, served;
  const std::string driver = d.ModemDriver();
  for (const UsbInterfaceInfo& i : d.interfaces) {
    if (i.tty.empty()) continue;
    serial.push_back(i.number);
    if (i.driver == driver) served.push_back(i.number);
  }
  const UsbInterfaceInfo* i = d.Interface(wanted);
  if (i == nullptr) {
    // A download mode shows its one interface and no AT port: no fault.
    if (std::string(role) != "diagnostic" && d.interfaceCount <= 1) return {};
    PendingNotice("nointerface " + id,
                  Format("%s: the table's %s interface %d is not there (the device has interfaces "
                         "%s; serial ports "
                         "on %s). %s",
                         label.c_str(), role, wanted,
                         NumberList([&] {
                           std::vector<int> all;
                           for (const UsbInterfaceInfo& x : d.interfaces) all.push_back(x.number);
                           return all;
                         }())
                             .c_str(),
                         serial.empty() ? "none" : NumberList(serial).c_str(), fix.c_str()),
                  pendingNow);
    return {};
  }
  if (!i->foreignTty.empty()) {
    Notice(Format("foreign %s %s", m.portPath.c_str(), i->foreignTty.c_str()),
           Format("%s: %s under interface %d belongs to another device; not linked", label.c_str(),
                  i->foreignTty.c_str(), wanted));
  }
  if (!i->tty.empty()) return i->node ? i->tty : std::string();  // its node may not be made yet
  if (i->driver.empty()) {
    if (!served.empty()) {
      // The modem's driver took the device's serial ports and left this one
      // to another function (a network interface, say): the table is wrong.
      PendingNotice(
          "nodriver " + id,
          Format("%s: interface %d (%s) has no driver: %s drives this modem's serial ports on "
                 "interface%s %s and leaves interface %d to another function. %s",
                 label.c_str(), wanted, role, driver.c_str(), served.size() > 1 ? "s" : "",
                 NumberList(served).c_str(), wanted, fix.c_str()),
          pendingNow);
    } else {
      PendingNotice(
          "nodriver " + id,
          Format("%s: interface %d (%s) has no serial driver bound. To bind the %s driver to this "
                 "modem, as root: modprobe %s && echo %04x %04x > "
                 "/sys/bus/usb-serial/drivers/%s/new_id",
                 label.c_str(), wanted, role, driver.c_str(), driver.c_str(), m.vendorId,
                 m.productId, SerialDriverFolder(driver).c_str()),
          pendingNow);
    }
    return {};
  }
  PendingNotice(
      "otherdriver " + id,
      Format("%s: interface %d (%s) is bound to %s, which gives it no serial port (serial ports on "
             "interface%s %s). %s",
             label.c_str(), wanted, role, i->driver.c_str(), serial.size() > 1 ? "s" : "",
             serial.empty() ? "none" : NumberList(serial).c_str(), fix.c_str()),
      pendingNow);
  return {};
}

std::vector<UsbModem> UsbBridge::Poll() {
  std::error_code ec;
  if (table_.empty() && !fs::exists(fs::symlink_status(StateFile(), ec))) return Poll({});
  return Poll(ScanUsbDevices(sysfs_, dev_));
}

std::vector<UsbModem> UsbBridge::Poll(const std::vector<UsbDeviceInfo>& devices) {
  if (!table_errors_told_) {
    table_errors_told_ = true;
    for (const std::string& e : table_.errors) notices_.push_back("modem table: " + e);
  }
  std::error_code ec;
  const bool stateExists = fs::exists(fs::symlink_status(StateFile(), ec));
  if (table_.empty() && !stateExists) return {};

  // A cause that went away by the last poll may be told again when it
  // comes back.
  told_.erase(std::remove_if(told_.begin(), told_.end(),
                             [&](const std::string& k) {
                               return std::find(seen_now_.begin(), seen_now_.end(), k) ==
                                      seen_now_.end();
                             }),
              told_.end());
  seen_now_.clear();
  std::vector<std::string> pendingNow;
  std::vector<UsbModem> found;
  for (const UsbDeviceInfo& d : devices) {
    const ModemTableEntry* entry = table_.Find(d.vendorId, d.productId);
    if (entry == nullptr) continue;
    UsbModem m;
    m.portPath = d.portPath;
    m.location = d.portPath;
    m.companion = d.companion;
    m.vendorId = entry->vendorId;
    m.productId = entry->productId;
    m.serial = d.serial;
    m.busnum = d.busnum;
    m.devnum = d.devnum;
    m.name = entry->name;
    m.source = entry->source;
    m.diagInterface = entry->diagInterface;
    m.atInterface = entry->atInterface;
    m.diagTty = TableTty(d, m, m.diagInterface, "diagnostic", &pendingNow);
    if (m.atInterface) m.atTty = TableTty(d, m, *m.atInterface, "AT", &pendingNow);
    found.push_back(std::move(m));
  }
  pending_ = pendingNow;
  if (found.empty() && !stateExists) return found;
  return Publish(std::move(found));
}

// Hands out numbers, writes the links and keys of the modems found and
// removes those of the modems gone, under the root's lock.
std::vector<UsbModem> UsbBridge::Publish(std::vector<UsbModem> found) {
  StateLock lock;
  if (!lock.held()) {
    Notice("root", "the USB bridge cannot lock " + (StateFolder() / "lock").string() +
                       " (not writable, or another program holds it)");
    return found;
  }
  State state = ParseState(ReadSmallFile(StateFile()).value_or(""));
  const std::string before = StateText(state);

  // Numbers for modems seen for the first time; links and keys of the
  // modems whose diagnostic tty is there.
  for (UsbModem& m : found) {
    if (m.diagTty.empty()) continue;
    auto it = std::find_if(state.modems.begin(), state.modems.end(),
                           [&](const Assignment& a) { return a.portPath == m.portPath; });
    // Back on the companion port: the same modem, known where it was first
    // seen, unless something else sits there now.
    if (it == state.modems.end() && !m.companion.empty()) {
      const bool companionTaken =
          std::any_of(found.begin(), found.end(), [&](const UsbModem& other) {
            return &other != &m && other.portPath == m.companion && !other.diagTty.empty();
          });
      if (!companionTaken) {
        it = std::find_if(state.modems.begin(), state.modems.end(),
                          [&](const Assignment& a) { return a.portPath == m.companion; });
      }
    }
    if (it == state.modems.end()) {
      if (state.modems.size() >= kMaxRemembered) {
        // Forget the oldest modem that is not attached.
        auto gone = std::find_if(state.modems.begin(), state.modems.end(), [](const Assignment& a) {
          return a.diagPath.empty() && a.atPath.empty();
        });
        if (gone == state.modems.end()) continue;
        state.modems.erase(gone);
      }
      Assignment a;
      a.portPath = m.portPath;
      a.diagCom = TakeFreeNumber(state, 0);
      a.atCom = TakeFreeNumber(state, a.diagCom);
      if (a.diagCom == 0 || a.atCom == 0) {
        Notice("full", "the USB bridge found no free COM number for " + m.portPath);
        continue;
      }
      state.modems.push_back(a);
      it = state.modems.end() - 1;
    }
    Assignment& a = *it;
    m.location = a.portPath;
    const std::string diagPath = DevicePath(m.vendorId, m.productId, m.diagInterface, a.portPath);
    if (!a.diagPath.empty() && a.diagPath != diagPath) ForgetDevicePath(a.diagPath);
    LinkIfChanged(a.diagCom, dev_ / m.diagTty);
    SetPortName(diagPath, a.diagCom);
    a.diagPath = diagPath;
    m.diagCom = a.diagCom;

    const std::string atPath =
        m.atTty.empty() ? std::string()
                        : DevicePath(m.vendorId, m.productId, *m.atInterface, a.portPath);
    if (!a.atPath.empty() && a.atPath != atPath) ForgetDevicePath(a.atPath);
    if (m.atTty.empty()) {
      UnlinkComPort(a.atCom);
    } else {
      LinkIfChanged(a.atCom, dev_ / m.atTty);
      SetPortName(atPath, a.atCom);
      m.atCom = a.atCom;
    }
    a.atPath = atPath;
  }
  // Modems that went (or whose diagnostic tty went): their links and keys go.
  for (Assignment& a : state.modems) {
    bool present = std::any_of(found.begin(), found.end(), [&](const UsbModem& f) {
      return f.location == a.portPath && f.diagCom != 0;
    });
    if (present || (a.diagPath.empty() && a.atPath.empty())) continue;
    UnlinkComPort(a.diagCom);
    UnlinkComPort(a.atCom);
    ForgetDevicePath(a.diagPath);
    ForgetDevicePath(a.atPath);
    a.diagPath.clear();
    a.atPath.clear();
  }

  // The services list every attached modem; the one for line 1 comes last,
  // where discovery reads.
  const Assignment* lineOne = nullptr;
  for (const Assignment& a : state.modems) {
    if (a.diagPath.empty()) continue;
    auto f = std::find_if(found.begin(), found.end(),
                          [&](const UsbModem& x) { return x.location == a.portPath; });
    const bool matches = preferred_.empty() || preferred_ == a.portPath ||
                         (f != found.end() && (preferred_ == f->portPath ||
                                               (!f->serial.empty() && preferred_ == f->serial)));
    if (matches) {
      lineOne = &a;
      break;
    }
  }
  std::vector<std::string> serialPaths, modemPaths;
  if (lineOne != nullptr) {
    for (const Assignment& a : state.modems) {
      if (&a == lineOne) continue;
      if (!a.diagPath.empty()) serialPaths.push_back(a.diagPath);
      if (!a.atPath.empty()) modemPaths.push_back(a.atPath);
    }
    serialPaths.push_back(lineOne->diagPath);
    // Without an AT port of its own, line 1 must not be given another
    // modem's: the data port then keeps the number it had.
    if (lineOne->atPath.empty()) {
      modemPaths.clear();
    } else {
      modemPaths.push_back(lineOne->atPath);
    }
    for (UsbModem& f : found) f.lineOne = f.location == lineOne->portPath;
  }
  if (state.servicesWritten || !serialPaths.empty()) {
    WriteServiceEnum(kUsbBridgeModemService, modemPaths);
    WriteServiceEnum(kUsbBridgeSerialService, serialPaths);
  }
  state.servicesWritten = !serialPaths.empty();

  const std::string after = StateText(state);
  if (after != before && !WriteStateFile(after)) {
    Notice("state", "the USB bridge cannot write " + StateFile().string());
  }

  // Modems with numbers in the order they were first seen, then the others.
  std::vector<UsbModem> out;
  for (const Assignment& a : state.modems) {
    for (UsbModem& f : found) {
      if (f.location == a.portPath) out.push_back(f);
    }
  }
  for (UsbModem& f : found) {
    auto known = std::find_if(state.modems.begin(), state.modems.end(),
                              [&](const Assignment& a) { return a.portPath == f.location; });
    if (known == state.modems.end()) out.push_back(f);
  }
  return out;
}

void UsbBridge::DetachAll() {
  std::error_code ec;
  if (!fs::exists(fs::symlink_status(StateFile(), ec))) return;
  StateLock lock;
  if (!lock.held()) return;
  State state = ParseState(ReadSmallFile(StateFile()).value_or(""));
  for (Assignment& a : state.modems) {
    if (a.diagPath.empty() && a.atPath.empty()) continue;
    UnlinkComPort(a.diagCom);
    UnlinkComPort(a.atCom);
    ForgetDevicePath(a.diagPath);
    ForgetDevicePath(a.atPath);
    a.diagPath.clear();
    a.atPath.clear();
  }
  if (state.servicesWritten) {
    WriteServiceEnum(kUsbBridgeModemService, {});
    WriteServiceEnum(kUsbBridgeSerialService, {});
    state.servicesWritten = false;
  }
  WriteStateFile(StateText(state));
}

// ---- the process's bridge ----

namespace {

// Appearances whose probe is remembered (present or not).
constexpr size_t kMaxProbed = 256;

struct ProcessBridge {
  std::mutex mutex;
  bool disabled = false;
  bool probingDisabled = false;
  std::string preferred;
  std::function<void(const std::string&)> sink;
  UsbProber prober;
  std::string key;
  std::unique_ptr<UsbBridge> bridge;
  // Appearances asked about (or being asked about) once already.
  std::vector<std::string> probed;
  std::vector<LearnedUsbModem> learned;
};

ProcessBridge& Process() {
  static ProcessBridge* process = new ProcessBridge;  // lives until the end
  return *process;
}

std::string Env(const char* name, const char* fallback = "") {
  const char* v = std::getenv(name);
  return v != nullptr && *v != 0 ? std::string(v) : std::string(fallback);
}

void Tell(const std::function<void(const std::string&)>& sink, const std::string& text) {
  if (sink) {
    sink(text);
  } else {
    std::fprintf(stderr, "quorrel: %s\n", text.c_str());
  }
}

std::string InterfacesText(const ModemTableEntry& e) {
  std::string text = Format("diagnostic port on interface %d", e.diagInterface);
  if (e.atInterface) text += Format(", AT port on interface %d", *e.atInterface);
  return text;
}

// Writes a line found into the user's table; the text that tells the user.
LearnedUsbModem Remember(const UsbProbeFinding& finding, const UsbDeviceInfo& device) {
  LearnedUsbModem l;
  l.entry = finding.entry;
  l.portPath = device.portPath;
  l.how = finding.how;
  l.file = UserModemTableFile();
  const LocalTime t = CurrentLocalTime();
  const std::string comment =
      Format("found by %s on %04d-%02d-%02d %02d:%02d:%02d (USB %s%s%s)", finding.how.c_str(),
             t.year, t.month, t.day, t.hour, t.minute, t.second, device.portPath.c_str(),
             device.product.empty() ? "" : ", ", device.product.c_str());
  if (l.file.empty()) {
    l.why = "no user table (neither XDG_CONFIG_HOME nor HOME is set)";
  } else {
    l.written = AddModemTableLine(l.file, l.entry, {comment}, &l.why);
  }
  return l;
}

std::string LearnedText(const LearnedUsbModem& l) {
  const std::string line = ModemTableLine(l.entry);
  if (l.written) {
    return Format(
        "USB modem %s (%04x:%04x): %s found by %s; added to %s as \"%s\". Please send this line to "
        "the "
        "quorrel maintainers, so that a later release knows the modem.",
        l.portPath.c_str(), l.entry.vendorId, l.entry.productId, InterfacesText(l.entry).c_str(),
        l.how.c_str(), l.file.string().c_str(), line.c_str());
  }
  return Format(
      "USB modem %s (%04x:%04x): %s found by %s, used for this run only: %s. To keep it, add the "
      "line "
      "\"%s\" to your modem table.",
      l.portPath.c_str(), l.entry.vendorId, l.entry.productId, InterfacesText(l.entry).c_str(),
      l.how.c_str(), l.why.c_str(), line.c_str());
}

}  // namespace

fs::path UsbSysfsRoot() {
  return Env("QUORREL_SYSFS", "/sys");
}
fs::path UsbDevRoot() {
  return Env("QUORREL_DEV", "/dev");
}

bool UsbBridgeEnabled() {
  ProcessBridge& p = Process();
  std::lock_guard lock(p.mutex);
  return !p.disabled && Env("QUORREL_USB_BRIDGE") != "0";
}

void DisableUsbBridge() {
  ProcessBridge& p = Process();
  std::lock_guard lock(p.mutex);
  p.disabled = true;
}

bool UsbProbingEnabled() {
  ProcessBridge& p = Process();
  std::lock_guard lock(p.mutex);
  return !p.probingDisabled && Env("QUORREL_USB_PROBE") != "0";
}

void DisableUsbProbing() {
  ProcessBridge& p = Process();
  std::lock_guard lock(p.mutex);
  p.probingDisabled = true;
}

void SetUsbProber(UsbProber prober) {
  ProcessBridge& p = Process();
  std::lock_guard lock(p.mutex);
  p.prober = std::move(prober);
  p.probed.clear();
}

void SetUsbBridgePreferredDevice(const std::string& pathOrSerial) {
  ProcessBridge& p = Process();
  std::lock_guard lock(p.mutex);
  p.preferred = pathOrSerial;
  if (p.bridge) p.bridge->SetPreferredDevice(pathOrSerial);
}

void SetUsbBridgeNoticeSink(std::function<void(const std::string&)> sink) {
  ProcessBridge& p = Process();
  std::lock_guard lock(p.mutex);
  p.sink = std::move(sink);
}

void UsbBridgeNotice(const std::string& text) {
  ProcessBridge& p = Process();
  std::function<void(const std::string&)> sink;
  {
    std::lock_guard lock(p.mutex);
    sink = p.sink;
  }
  Tell(sink, text);
}

std::vector<LearnedUsbModem> LearnedUsbModems() {
  ProcessBridge& p = Process();
  std::lock_guard lock(p.mutex);
  return p.learned;
}

std::vector<UsbModem> PollUsbBridge() {
  if (!UsbBridgeEnabled()) return {};
  const bool probing = UsbProbingEnabled();
  ProcessBridge& p = Process();
  std::unique_lock lock(p.mutex);
  const fs::path sysfs = UsbSysfsRoot(), dev = UsbDevRoot();
  // A new bridge whenever what it stands on changes (tests move the root).
  const std::string key = QuorrelRoot().string() + '\n' + sysfs.string() + '\n' + dev.string() +
                          '\n' + Env("QUORREL_MODEMS") + '\n' + Env("XDG_CONFIG_HOME") + '\n' +
                          Env("HOME");
  if (!p.bridge || key != p.key) {
    p.bridge = std::make_unique<UsbBridge>(LoadModemTable(), sysfs, dev);
    p.bridge->SetPreferredDevice(p.preferred);
    p.key = key;
    p.probed.clear();
    p.learned.clear();
  }

  // Devices with modem ports that no table line names: asked about once per
  // appearance, outside the lock (a probe takes a while, and a prober may
  // wait for a person to answer ModemManager's authorization).
  std::optional<std::vector<UsbDeviceInfo>> devices;
  if (probing && p.prober) {
    devices = ScanUsbDevices(sysfs, dev);
    std::vector<UsbDeviceInfo> ask;
    for (const UsbDeviceInfo& d : *devices) {
      if (p.bridge->table().Find(d.vendorId, d.productId) != nullptr || d.Candidates().empty())
        continue;
      const std::string appearance = d.AppearanceKey();
      if (std::find(p.probed.begin(), p.probed.end(), appearance) != p.probed.end()) continue;
      p.probed.push_back(appearance);
      ask.push_back(d);
    }
    if (p.probed.size() > kMaxProbed) p.probed.erase(p.probed.begin(), p.probed.end() - kMaxProbed);
    if (!ask.empty()) {
      const UsbProber prober = p.prober;
      const std::function<void(const std::string&)> sink = p.sink;
      const UsbBridge* asked = p.bridge.get();
      lock.unlock();
      std::vector<std::pair<UsbProbeFinding, UsbDeviceInfo>> findings;
      for (const UsbDeviceInfo& d : ask) {
        if (std::optional<UsbProbeFinding> f = prober(d)) findings.emplace_back(std::move(*f), d);
      }
      std::vector<LearnedUsbModem> learned;
      lock.lock();
      // The bridge may have been replaced meanwhile: its table was read anew.
      for (auto& [finding, device] : findings) {
        finding.entry.source = "probe";
        if (p.bridge.get() != asked || !p.bridge->Learn(finding.entry)) continue;
        learned.push_back(Remember(finding, device));
        p.learned.push_back(learned.back());
      }
      lock.unlock();
      for (const LearnedUsbModem& l : learned) Tell(sink, LearnedText(l));
      lock.lock();
      // What the probes took a while over may have changed: a fresh scan.
      devices.reset();
    }
  }

  std::vector<UsbModem> modems = devices ? p.bridge->Poll(*devices) : p.bridge->Poll();
  const std::vector<std::string> notices = p.bridge->TakeNotices();
  const std::function<void(const std::string&)> sink = p.sink;
  lock.unlock();
  for (const std::string& text : notices) Tell(sink, text);
  return modems;
}

}  // namespace quorrel

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
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ' || text.back() == '\r')) text.pop_back();
  return text;
}

std::optional<unsigned> ParseHexText(const std::string& text, size_t maxDigits) {
  if (text.empty() || text.size() > maxDigits) return std::nullopt;
  unsigned value = 0;
  for (char c : text) {
    int d = (c >= '0' && c <= '9') ? c - '0' : (c >= 'a' && c <= 'f') ? c - 'a' + 10 : (c >= 'A' && c <= 'F') ? c - 'A' + 10 : -1;
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

std::string DevicePath(uint16_t vid, uint16_t pid, int interfaceNumber, const std::string& portPath) {
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

fs::path StateFolder() { return QuorrelRoot() / "usbbridge"; }
fs::path StateFile() { return StateFolder() / "ports"; }

bool ValidComNumber(int n) { return n >= kFirstComPort && n <= kLastComPort; }

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
        clash |= other.portPath == a.portPath || other.diagCom == a.diagCom || other.diagCom == a.atCom ||
                 other.atCom == a.diagCom || other.atCom == a.atCom;
      }
      if (!clash) state.modems.push_back(a);
    }
  }
  return state;
}

std::string StateText(const State& state) {
  std::string text = "# COM numbers of the USB modems by port path: path diag at diag-device at-device\n";
  text += Format("services %d\n", state.servicesWritten ? 1 : 0);
  for (const Assignment& a : state.modems) {
    text += Format("modem %s %d %d %s %s\n", a.portPath.c_str(), a.diagCom, a.atCom,
                   a.diagPath.empty() ? "-" : a.diagPath.c_str(), a.atPath.empty() ? "-" : a.atPath.c_str());
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

std::string ParametersKey(const std::string& devicePath) { return kEnumKey + devicePath + "\\Device Parameters"; }

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
  if (k.Open(RegistryRoot::LocalMachine, key, kKeyRead) == kRegistryOk) {
    uint32_t count = 0;
    bool same = k.QueryDword("Count", &count) == kRegistryOk && count == paths.size();
    for (size_t i = 0; same && i < paths.size(); ++i) {
      char buffer[1024];
      uint32_t size = sizeof buffer;
      same = k.QueryString(std::to_string(i), buffer, &size) == kRegistryOk && paths[i] == buffer;
    }
    k.Close();
    if (same) return;
    // Values of a longer earlier list must not linger.
    RegistryDeleteKey(RegistryRoot::LocalMachine, key);
  }
  std::vector<RegistryValue> values = {RegistryValue::Dword("Count", static_cast<uint32_t>(paths.size()))};
  for (size_t i = 0; i < paths.size(); ++i) values.push_back(RegistryValue::String(std::to_string(i), paths[i]));
  RegistrySetValues(RegistryRoot::LocalMachine, key, values);
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

// The tty of the interface folder <port>:<config>.<n> whose bInterfaceNumber
// is wanted; empty while it has none (no driver, no tty yet, or a tty that
// is not its own).
std::string UsbBridge::InterfaceTty(const fs::path& folder, const UsbModem& m, int wanted, const char* role,
                                    std::vector<std::string>* noDriverNow) {
  const std::string label = Format("USB modem %s (%04x:%04x%s%s)", m.portPath.c_str(), m.vendorId, m.productId,
                                   m.name.empty() ? "" : " ", m.name.c_str());
  for (const std::string& child : ListFolder(folder)) {
    if (child.compare(0, m.portPath.size() + 1, m.portPath + ":") != 0) continue;
    const fs::path iface = folder / child;
    std::optional<std::string> numberText = ReadAttribute(iface / "bInterfaceNumber");
    std::optional<unsigned> number = numberText ? ParseHexText(*numberText, 2) : std::nullopt;
    if (!number || static_cast<int>(*number) != wanted) continue;
    std::error_code e;
    if (!fs::exists(iface / "driver", e)) {
      const std::string key = Format("nodriver %s %04x:%04x %d", m.portPath.c_str(), m.vendorId, m.productId, wanted);
      noDriverNow->push_back(key);
      // A driver binds a moment after the interface appears: only an
      // interface still without one at the next poll is reported.
      if (std::find(pending_.begin(), pending_.end(), key) != pending_.end()) {
        Notice(key, Format("%s: interface %d (%s) has no serial driver bound. To bind the option driver to "
                           "this modem, as root: modprobe option && echo %04x %04x > "
                           "/sys/bus/usb-serial/drivers/option1/new_id",
                           label.c_str(), wanted, role, m.vendorId, m.productId));
      }
      return {};
    }
    std::vector<std::string> candidates;
    for (const std::string& t : ListFolder(iface)) {
      if (IsTtyName(t)) candidates.push_back(t);
    }
    for (const std::string& t : ListFolder(iface / "tty")) {
      if (IsTtyName(t)) candidates.push_back(t);
    }
    const fs::path ifaceReal = fs::canonical(iface, e);
    if (e) return {};
    for (const std::string& t : candidates) {
      // The kernel's own list of ttys must lead back into this very
      // interface; anything else belongs to another device.
      fs::path owner = fs::canonical(sysfs_ / "class" / "tty" / t, e);
      if (e) continue;
      if (!Inside(owner, ifaceReal)) {
        Notice(Format("foreign %s %s", m.portPath.c_str(), t.c_str()),
               Format("%s: %s under interface %d belongs to another device; not linked", label.c_str(),
                      t.c_str(), wanted));
        continue;
      }
      if (!fs::exists(dev_ / t, e)) continue;  // its node is not made yet
      return t;
    }
    return {};
  }
  return {};
}

// The port path at the other half of a USB3 port pair (the port's "peer" in
// sysfs), where a device that re-enumerates at another speed comes back;
// empty when the port has none. The port folder is the device's "port" link,
// or <hub>/<hub interface>/<hub>-port<N> under the hub it hangs on.
std::string CompanionPath(const fs::path& deviceFolder, const std::string& name) {
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
        if (entry.size() > suffix.size() && entry.compare(entry.size() - suffix.size(), suffix.size(), suffix) == 0) {
          port = hub / child / entry;
        }
      }
    }
    if (port.empty()) return {};
  }
  const fs::path peer = fs::canonical(port / "peer", ec);
  if (ec) return {};
  // "usb2-port2" on a root hub (bus 2), "2-1-port4" on hub 2-1.
  const std::string peerName = peer.filename().string();
  const size_t at = peerName.rfind("-port");
  if (at == std::string::npos || peerName.substr(at + 5) != number) return {};
  const std::string hub = peerName.substr(0, at);
  std::string path = hub.compare(0, 3, "usb") == 0 ? hub.substr(3) + "-" + number : hub + "." + number;
  return IsPortPath(path) && path != name ? path : std::string();
}

// One entry of bus/usb/devices: a table modem, or nothing (another device,
// an interface, or a device that went while it was read).
std::optional<UsbModem> UsbBridge::ReadDevice(const fs::path& devices, const std::string& name,
                                              std::vector<std::string>* noDriverNow) {
  if (!IsPortPath(name)) return std::nullopt;  // interfaces and root hubs
  // Every read below may fail when the device goes in the middle of the
  // scan; the device is then left out of this poll.
  std::error_code ec;
  fs::path folder = fs::canonical(devices / name, ec);
  if (ec) return std::nullopt;
  std::optional<std::string> vidText = ReadAttribute(folder / "idVendor");
  std::optional<std::string> pidText = ReadAttribute(folder / "idProduct");
  if (!vidText || !pidText) return std::nullopt;
  std::optional<unsigned> vid = ParseHexText(*vidText, 4), pid = ParseHexText(*pidText, 4);
  if (!vid || !pid) return std::nullopt;
  const ModemTableEntry* entry = table_.Find(static_cast<uint16_t>(*vid), static_cast<uint16_t>(*pid));
  if (entry == nullptr) return std::nullopt;

  UsbModem m;
  m.portPath = name;
  m.location = name;
  m.companion = CompanionPath(folder, name);
  m.vendorId = entry->vendorId;
  m.productId = entry->productId;
  m.serial = CleanSerial(ReadAttribute(folder / "serial"));
  m.busnum = ParseDecimalText(ReadAttribute(folder / "busnum"));
  m.devnum = ParseDecimalText(ReadAttribute(folder / "devnum"));
  m.name = entry->name;
  m.diagInterface = entry->diagInterface;
  m.atInterface = entry->atInterface;
  m.diagTty = InterfaceTty(folder, m, m.diagInterface, "diagnostic", noDriverNow);
  if (m.atInterface) m.atTty = InterfaceTty(folder, m, *m.atInterface, "AT", noDriverNow);
  // Gone while it was read: the device folder no longer there.
  if (!fs::exists(folder, ec)) return std::nullopt;
  return m;
}

std::vector<UsbModem> UsbBridge::Poll() {
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
                               return std::find(seen_now_.begin(), seen_now_.end(), k) == seen_now_.end();
                             }),
              told_.end());
  seen_now_.clear();
  std::vector<std::string> noDriverNow;
  std::vector<UsbModem> found;
  const fs::path devices = sysfs_ / "bus" / "usb" / "devices";
  for (const std::string& name : ListFolder(devices)) {
    if (std::optional<UsbModem> m = ReadDevice(devices, name, &noDriverNow)) found.push_back(std::move(*m));
  }
  pending_ = noDriverNow;
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
      const bool companionTaken = std::any_of(found.begin(), found.end(), [&](const UsbModem& other) {
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
        auto gone = std::find_if(state.modems.begin(), state.modems.end(),
                                 [](const Assignment& a) { return a.diagPath.empty() && a.atPath.empty(); });
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
        m.atTty.empty() ? std::string() : DevicePath(m.vendorId, m.productId, *m.atInterface, a.portPath);
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
    auto f = std::find_if(found.begin(), found.end(), [&](const UsbModem& x) { return x.location == a.portPath; });
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

struct ProcessBridge {
  std::mutex mutex;
  bool disabled = false;
  std::string preferred;
  std::function<void(const std::string&)> sink;
  std::string key;
  std::unique_ptr<UsbBridge> bridge;
};

ProcessBridge& Process() {
  static ProcessBridge* process = new ProcessBridge;  // lives until the end
  return *process;
}

std::string Env(const char* name, const char* fallback = "") {
  const char* v = std::getenv(name);
  return v != nullptr && *v != 0 ? std::string(v) : std::string(fallback);
}

}  // namespace

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

std::vector<UsbModem> PollUsbBridge() {
  if (!UsbBridgeEnabled()) return {};
  ProcessBridge& p = Process();
  std::lock_guard lock(p.mutex);
  const std::string sysfs = Env("QUORREL_SYSFS", "/sys"), dev = Env("QUORREL_DEV", "/dev");
  // A new bridge whenever what it stands on changes (tests move the root).
  const std::string key = QuorrelRoot().string() + '\n' + sysfs + '\n' + dev + '\n' + Env("QUORREL_MODEMS") +
                          '\n' + Env("XDG_CONFIG_HOME") + '\n' + Env("HOME");
  if (!p.bridge || key != p.key) {
    p.bridge = std::make_unique<UsbBridge>(LoadModemTable(), sysfs, dev);
    p.bridge->SetPreferredDevice(p.preferred);
    p.key = key;
  }
  std::vector<UsbModem> modems = p.bridge->Poll();
  for (const std::string& text : p.bridge->TakeNotices()) {
    if (p.sink) {
      p.sink(text);
    } else {
      std::fprintf(stderr, "quorrel: %s\n", text.c_str());
    }
  }
  return modems;
}

}  // namespace quorrel

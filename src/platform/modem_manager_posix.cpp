#include "platform/modem_manager.h"

#include <systemd/sd-bus.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <string_view>
#include <system_error>
#include <vector>

#include "platform/dosdevices.h"

namespace quorrel {

namespace {

// ModemManager may have to tear the modem down before it answers an
// inhibition; a bus call gets this long, then counts as a refusal.
constexpr uint64_t kCallTimeoutUs = 10'000'000;
constexpr char kService[] = "org.freedesktop.ModemManager1";
constexpr char kObject[] = "/org/freedesktop/ModemManager1";
constexpr char kInterface[] = "org.freedesktop.ModemManager1";
// ModemManager's answer for a uid it has no device for: it does not handle
// the modem (the udev rule told it to ignore it, say), so it will not probe it.
constexpr std::string_view kNotFound = "org.freedesktop.ModemManager1.Error.Core.NotFound";
// Folders walked up from a tty's device to its USB device; sysfs nests far
// less deep than this.
constexpr int kMaxLevels = 32;

std::filesystem::path SysfsRoot() {
  const char* env = std::getenv("QUORREL_SYSFS");
  return std::filesystem::path(env != nullptr && *env != 0 ? env : "/sys");
}

std::string BusError(const sd_bus_error& error, int r) {
  if (sd_bus_error_is_set(&error) != 0) {
    std::string text = error.name != nullptr ? error.name : "";
    if (error.message != nullptr && *error.message != 0) text += std::string(": ") + error.message;
    return text;
  }
  return std::strerror(-r);
}

// The bus ModemManager would be on; nullptr (and why) when there is none.
sd_bus* OpenBus(std::string* why) {
  sd_bus* bus = nullptr;
  int r;
  const char* address = std::getenv("QUORREL_SYSTEM_BUS");
  if (address != nullptr && *address != 0) {
    r = sd_bus_new(&bus);
    if (r >= 0) r = sd_bus_set_address(bus, address);
    if (r >= 0) r = sd_bus_set_bus_client(bus, 1);
    if (r >= 0) r = sd_bus_start(bus);
  } else {
    r = sd_bus_open_system(&bus);
  }
  if (r < 0) {
    sd_bus_unref(bus);
    *why = std::string("no system bus (") + std::strerror(-r) + ")";
    return nullptr;
  }
  (void)sd_bus_set_method_call_timeout(bus, kCallTimeoutUs);
  return bus;
}

// InhibitDevice(uid, inhibit); 0 or the negative error, with the bus's text.
int CallInhibit(sd_bus* bus, const std::string& uid, bool inhibit, std::string* errorName, std::string* text) {
  sd_bus_error error{};  // SD_BUS_ERROR_NULL, without its C compound literal
  const int r = sd_bus_call_method(bus, kService, kObject, kInterface, "InhibitDevice", &error, nullptr, "sb",
                                   uid.c_str(), inhibit ? 1 : 0);
  if (r < 0) {
    if (errorName != nullptr && error.name != nullptr) *errorName = error.name;
    if (text != nullptr) *text = BusError(error, r);
  }
  sd_bus_error_free(&error);
  return r < 0 ? r : 0;
}

}  // namespace

// One inhibition: the connection it was asked over (ModemManager also drops
// an inhibition when its asker leaves the bus) and the device.
class ModemManagerInhibition {
 public:
  ModemManagerInhibition(sd_bus* bus, std::string uid);
  ~ModemManagerInhibition();
  ModemManagerInhibition(const ModemManagerInhibition&) = delete;
  ModemManagerInhibition& operator=(const ModemManagerInhibition&) = delete;
  // Gives the device back and closes the connection; harmless twice. The
  // caller holds the registry's lock.
  void ReleaseLocked();
  bool Active() const { return bus_ != nullptr; }

 private:
  sd_bus* bus_;
  std::string uid_;
};

namespace {

std::mutex& RegistryMutex() {
  static std::mutex m;
  return m;
}

std::vector<ModemManagerInhibition*>& Held() {
  static std::vector<ModemManagerInhibition*> held;
  return held;
}

}  // namespace

ModemManagerInhibition::ModemManagerInhibition(sd_bus* bus, std::string uid) : bus_(bus), uid_(std::move(uid)) {
  std::lock_guard<std::mutex> lock(RegistryMutex());
  Held().push_back(this);
}

ModemManagerInhibition::~ModemManagerInhibition() {
  std::lock_guard<std::mutex> lock(RegistryMutex());
  ReleaseLocked();
  auto& held = Held();
  held.erase(std::remove(held.begin(), held.end(), this), held.end());
}

void ModemManagerInhibition::ReleaseLocked() {
  if (bus_ == nullptr) return;
  (void)CallInhibit(bus_, uid_, false, nullptr, nullptr);
  sd_bus_flush_close_unref(bus_);
  bus_ = nullptr;
}

std::string UsbDeviceOfPort(int port) {
  std::error_code ec;
  const std::filesystem::path target = std::filesystem::read_symlink(ComPortPath(port), ec);
  if (ec) return {};
  const std::string tty = target.filename().string();
  if (tty.empty() || tty == "." || tty == "..") return {};
  const std::filesystem::path sysfs = std::filesystem::weakly_canonical(SysfsRoot(), ec);
  if (ec) return {};
  std::filesystem::path device = std::filesystem::canonical(sysfs / "class" / "tty" / tty / "device", ec);
  if (ec) return {};
  for (int level = 0; level < kMaxLevels; ++level) {
    // Never above the sysfs tree the tty was found in.
    const auto [end, rest] = std::mismatch(sysfs.begin(), sysfs.end(), device.begin(), device.end());
    if (end != sysfs.end() || rest == device.end()) return {};
    if (std::filesystem::is_regular_file(device / "idVendor", ec) &&
        std::filesystem::is_regular_file(device / "idProduct", ec)) {
      return device.string();
    }
    device = device.parent_path();
  }
  return {};
}

InhibitOutcome InhibitModemManager(const std::string& uid) {
  InhibitOutcome outcome;
  sd_bus* bus = OpenBus(&outcome.detail);
  if (bus == nullptr) return outcome;

  // Only a running ModemManager is asked: a call to its name would start it
  // through bus activation.
  sd_bus_error error{};  // SD_BUS_ERROR_NULL, without its C compound literal
  sd_bus_message* reply = nullptr;
  int r = sd_bus_call_method(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                             "NameHasOwner", &error, &reply, "s", kService);
  int running = 0;
  if (r >= 0) r = sd_bus_message_read(reply, "b", &running);
  if (r < 0) {
    outcome.state = InhibitOutcome::State::Refused;
    outcome.detail = "cannot tell whether ModemManager runs: " + BusError(error, r);
  }
  sd_bus_message_unref(reply);
  sd_bus_error_free(&error);
  if (r < 0 || running == 0) {
    if (r >= 0) outcome.detail = "ModemManager is not running";
    sd_bus_flush_close_unref(bus);
    return outcome;
  }

  std::string name;
  std::string text;
  r = CallInhibit(bus, uid, true, &name, &text);
  if (r < 0) {
    sd_bus_flush_close_unref(bus);
    if (name == kNotFound) {
      outcome.detail = "ModemManager does not handle the device (" + text + ")";
      return outcome;
    }
    outcome.state = InhibitOutcome::State::Refused;
    outcome.detail = text;
    return outcome;
  }
  outcome.state = InhibitOutcome::State::Inhibited;
  outcome.detail = "inhibited";
  outcome.hold = std::make_shared<ModemManagerInhibition>(bus, uid);
  return outcome;
}

void ReleaseModemManagerInhibitions() {
  std::lock_guard<std::mutex> lock(RegistryMutex());
  for (ModemManagerInhibition* inhibition : Held()) inhibition->ReleaseLocked();
}

int HeldModemManagerInhibitions() {
  std::lock_guard<std::mutex> lock(RegistryMutex());
  int count = 0;
  for (ModemManagerInhibition* inhibition : Held()) count += inhibition->Active() ? 1 : 0;
  return count;
}

}  // namespace quorrel

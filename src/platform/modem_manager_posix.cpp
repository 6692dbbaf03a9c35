#include "platform/modem_manager.h"

#include <systemd/sd-bus.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <string_view>
#include <system_error>
#include <vector>

#include "platform/dosdevices.h"
#include "util/text.h"

namespace quorrel {

namespace {

// A bus call other than the inhibition gets this long, then counts as a
// refusal.
constexpr uint64_t kCallTimeoutUs = 10'000'000;
// The inhibition may wait for polkit, and polkit for a person to answer a
// password dialog.
constexpr uint64_t kInhibitTimeoutUs = static_cast<uint64_t>(kInhibitWaitSeconds) * 1'000'000;
// An answer that takes longer than this is told as awaited.
constexpr uint64_t kWaitingNoticeUs = 1'000'000;
constexpr char kModemInterface[] = "org.freedesktop.ModemManager1.Modem";
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
int CallInhibit(sd_bus* bus, const std::string& uid, bool inhibit, std::string* errorName,
                std::string* text) {
  sd_bus_error error{};  // SD_BUS_ERROR_NULL, without its C compound literal
  const int r = sd_bus_call_method(bus, kService, kObject, kInterface, "InhibitDevice", &error,
                                   nullptr, "sb", uid.c_str(), inhibit ? 1 : 0);
  if (r < 0) {
    if (errorName != nullptr && error.name != nullptr) *errorName = error.name;
    if (text != nullptr) *text = BusError(error, r);
  }
  sd_bus_error_free(&error);
  return r < 0 ? r : 0;
}

// Whether ModemManager owns its name on the bus (a call to its name would
// start it through bus activation otherwise). 1 yes, 0 no, negative when it
// cannot be told (why in *detail).
int ModemManagerRunning(sd_bus* bus, std::string* detail) {
  sd_bus_error error{};  // SD_BUS_ERROR_NULL, without its C compound literal
  sd_bus_message* reply = nullptr;
  int r = sd_bus_call_method(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                             "org.freedesktop.DBus", "NameHasOwner", &error, &reply, "s", kService);
  int running = 0;
  if (r >= 0) r = sd_bus_message_read(reply, "b", &running);
  if (r < 0) *detail = "cannot tell whether ModemManager runs: " + BusError(error, r);
  sd_bus_message_unref(reply);
  sd_bus_error_free(&error);
  if (r < 0) return r;
  if (running == 0) *detail = "ModemManager is not running";
  return running != 0 ? 1 : 0;
}

struct PendingCall {
  bool done = false;
  std::string errorName;
  std::string text;
};

int OnInhibitReply(sd_bus_message* m, void* userdata, sd_bus_error* /*ret*/) {
  auto* call = static_cast<PendingCall*>(userdata);
  call->done = true;
  if (const sd_bus_error* e = sd_bus_message_get_error(m)) {
    call->errorName = e->name != nullptr ? e->name : "";
    call->text = BusError(*e, -sd_bus_message_get_errno(m));
    if (call->errorName.empty()) call->errorName = "error";
  }
  return 0;
}

// InhibitDevice(uid, true) with interactive authorization allowed, waiting
// up to kInhibitTimeoutUs and telling onWaiting once when the answer takes
// longer than kWaitingNoticeUs. 0, or a negative value with the bus's text.
int CallInhibitWaiting(sd_bus* bus, const std::string& uid,
                       const std::function<void(const std::string&)>& onWaiting,
                       std::string* errorName, std::string* text) {
  PendingCall call;
  sd_bus_message* m = nullptr;
  sd_bus_slot* slot = nullptr;
  int r = sd_bus_message_new_method_call(bus, &m, kService, kObject, kInterface, "InhibitDevice");
  if (r >= 0) r = sd_bus_message_append(m, "sb", uid.c_str(), 1);
  if (r >= 0) r = sd_bus_message_set_allow_interactive_authorization(m, 1);
  if (r >= 0) r = sd_bus_call_async(bus, &slot, m, OnInhibitReply, &call, kInhibitTimeoutUs);
  sd_bus_message_unref(m);
  if (r < 0) {
    *text = std::strerror(-r);
    return r;
  }
  const auto start = std::chrono::steady_clock::now();
  auto elapsedUs = [&start] {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                     std::chrono::steady_clock::now() - start)
                                     .count());
  };
  bool told = false;
  while (!call.done) {
    r = sd_bus_process(bus, nullptr);
    if (r < 0) break;
    if (r > 0) continue;
    const uint64_t elapsed = elapsedUs();
    if (!told && elapsed >= kWaitingNoticeUs) {
      told = true;
      if (onWaiting) {
        onWaiting(Format(
            "Waiting for ModemManager to leave the modem at %s alone: it may be asking for an "
            "administrator's password in a dialog. Waiting up to %d minutes.",
            uid.c_str(), kInhibitWaitSeconds / 60));
      }
    }
    // sd-bus ends the call itself at its time-out; this only bounds a bus
    // that would not.
    if (elapsed > kInhibitTimeoutUs + kCallTimeoutUs) break;
    (void)sd_bus_wait(bus, told ? kWaitingNoticeUs : kWaitingNoticeUs - elapsed);
  }
  sd_bus_slot_unref(slot);
  if (!call.done) {
    *text = r < 0 ? std::strerror(-r) : "no answer from ModemManager";
    return r < 0 ? r : -ETIMEDOUT;
  }
  if (!call.errorName.empty()) {
    *errorName = call.errorName;
    *text = call.text;
    return -EACCES;
  }
  return 0;
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
  const std::string& uid() const { return uid_; }

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

ModemManagerInhibition::ModemManagerInhibition(sd_bus* bus, std::string uid)
    : bus_(bus), uid_(std::move(uid)) {
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
  std::filesystem::path device =
      std::filesystem::canonical(sysfs / "class" / "tty" / tty / "device", ec);
  if (ec) return {};
  for (int level = 0; level < kMaxLevels; ++level) {
    // Never above the sysfs tree the tty was found in.
    const auto [end, rest] =
        std::mismatch(sysfs.begin(), sysfs.end(), device.begin(), device.end());
    if (end != sysfs.end() || rest == device.end()) return {};
    if (std::filesystem::is_regular_file(device / "idVendor", ec) &&
        std::filesystem::is_regular_file(device / "idProduct", ec)) {
      return device.string();
    }
    device = device.parent_path();
  }
  return {};
}

InhibitOutcome InhibitModemManager(const std::string& uid,
                                   const std::function<void(const std::string&)>& onWaiting) {
  InhibitOutcome outcome;
  {
    // Asked once already (the probe keeps its inhibition for the whole run):
    // ModemManager would refuse a second one for the same device.
    std::lock_guard<std::mutex> lock(RegistryMutex());
    for (const ModemManagerInhibition* held : Held()) {
      if (held->Active() && held->uid() == uid) {
        outcome.detail = "inhibited already by this program";
        return outcome;
      }
    }
  }
  sd_bus* bus = OpenBus(&outcome.detail);
  if (bus == nullptr) return outcome;

  // Only a running ModemManager is asked: a call to its name would start it
  // through bus activation.
  const int running = ModemManagerRunning(bus, &outcome.detail);
  if (running <= 0) {
    if (running < 0) outcome.state = InhibitOutcome::State::Refused;
    sd_bus_flush_close_unref(bus);
    return outcome;
  }

  std::string name;
  std::string text;
  const int r = CallInhibitWaiting(bus, uid, onWaiting, &name, &text);
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

namespace {

// Reads one modem object's properties: its Device and its Ports.
int ReadModemProperties(sd_bus_message* m, std::string* device,
                        std::vector<ModemManagerPort>* ports) {
  int r = sd_bus_message_enter_container(m, 'a', "{sv}");
  if (r < 0) return r;
  while ((r = sd_bus_message_enter_container(m, 'e', "sv")) > 0) {
    const char* property = nullptr;
    r = sd_bus_message_read(m, "s", &property);
    if (r < 0) return r;
    const std::string_view name = property != nullptr ? property : "";
    if (name == "Device") {
      const char* value = nullptr;
      r = sd_bus_message_read(m, "v", "s", &value);
      if (r < 0) return r;
      *device = value != nullptr ? value : "";
    } else if (name == "Ports") {
      r = sd_bus_message_enter_container(m, 'v', "a(su)");
      if (r < 0) return r;
      r = sd_bus_message_enter_container(m, 'a', "(su)");
      if (r < 0) return r;
      const char* port = nullptr;
      uint32_t type = 0;
      while ((r = sd_bus_message_read(m, "(su)", &port, &type)) > 0) {
        ports->push_back(ModemManagerPort{port != nullptr ? port : "", type});
      }
      if (r < 0) return r;
      r = sd_bus_message_exit_container(m);
      if (r >= 0) r = sd_bus_message_exit_container(m);
      if (r < 0) return r;
    } else {
      r = sd_bus_message_skip(m, "v");
      if (r < 0) return r;
    }
    r = sd_bus_message_exit_container(m);
    if (r < 0) return r;
  }
  if (r < 0) return r;
  return sd_bus_message_exit_container(m);
}

}  // namespace

std::optional<std::vector<ModemManagerPort>> ModemManagerPorts(const std::string& uid) {
  std::string detail;
  sd_bus* bus = OpenBus(&detail);
  if (bus == nullptr) return std::nullopt;
  if (ModemManagerRunning(bus, &detail) <= 0) {
    sd_bus_flush_close_unref(bus);
    return std::nullopt;
  }
  sd_bus_error error{};  // SD_BUS_ERROR_NULL, without its C compound literal
  sd_bus_message* reply = nullptr;
  std::optional<std::vector<ModemManagerPort>> found;
  int r = sd_bus_call_method(bus, kService, kObject, "org.freedesktop.DBus.ObjectManager",
                             "GetManagedObjects", &error, &reply, "");
  // a{oa{sa{sv}}}: objects, their interfaces, the interfaces' properties.
  if (r >= 0) r = sd_bus_message_enter_container(reply, 'a', "{oa{sa{sv}}}");
  while (r >= 0 && !found && (r = sd_bus_message_enter_container(reply, 'e', "oa{sa{sv}}")) > 0) {
    const char* path = nullptr;
    r = sd_bus_message_read(reply, "o", &path);
    if (r >= 0) r = sd_bus_message_enter_container(reply, 'a', "{sa{sv}}");
    while (r >= 0 && (r = sd_bus_message_enter_container(reply, 'e', "sa{sv}")) > 0) {
      const char* interface = nullptr;
      r = sd_bus_message_read(reply, "s", &interface);
      if (r < 0) break;
      if (interface != nullptr && std::string_view(interface) == kModemInterface) {
        std::string device;
        std::vector<ModemManagerPort> ports;
        r = ReadModemProperties(reply, &device, &ports);
        if (r >= 0 && device == uid) found = std::move(ports);
      } else {
        r = sd_bus_message_skip(reply, "a{sv}");
      }
      if (r >= 0) r = sd_bus_message_exit_container(reply);
    }
    if (r >= 0) r = sd_bus_message_exit_container(reply);
    if (r >= 0) r = sd_bus_message_exit_container(reply);
  }
  sd_bus_message_unref(reply);
  sd_bus_error_free(&error);
  sd_bus_flush_close_unref(bus);
  return found;
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

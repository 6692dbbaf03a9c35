// A private message bus (dbus-daemon) with a fake ModemManager on it, for the
// tests of the inhibition: the bus's address goes into QUORREL_SYSTEM_BUS for
// the life of the object; the fake owns ModemManager's name, records every
// InhibitDevice call and answers it as told (at once, or, as polkit does for
// a user who must type a password, only when asked for with interactive
// authorization allowed and once the test says the user approved). Modems
// added with AddModem are modem objects with their Device and Ports, listed
// by the ObjectManager interface as ModemManager lists them.
//
// Also ScopedEnv, and FakeUsbTree: a sysfs tree with one USB modem whose
// interface's tty is ttyUSB<n>, laid out as the kernel does.
//
// Header-only; include as "support/fake_modem_manager.h".
#pragma once

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "support/scoped_env.h"

extern char** environ;

namespace quorrel::testsupport {

struct InhibitCall {
  std::string uid;
  bool inhibit = false;
  bool interactive = false;  // the caller allowed interactive authorization
};

// A modem ModemManager drives: its uid and its ports with their types
// (3 AT, 4 QCDM).
struct FakeModem {
  std::string device;
  std::vector<std::pair<std::string, uint32_t>> ports;
};

class FakeModemManager {
 public:
  // AskAuthorization: a call without interactive authorization allowed is
  // refused as polkit refuses it; one with it waits for Approve().
  enum class Answer { Accept, Refuse, NotFound, AskAuthorization };

  // folder: where the bus's socket and configuration go. With
  // withModemManager false the bus has nobody on ModemManager's name.
  explicit FakeModemManager(const std::filesystem::path& folder, bool withModemManager = true)
      : socket_(folder / "bus.socket") {
    const std::filesystem::path config = folder / "bus.conf";
    std::ofstream(config)
        << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-BUS Bus Configuration 1.0//EN\"\n"
           " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
           "<busconfig>\n"
           "  <type>quorrel-test</type>\n"
           "  <listen>unix:path="
        << socket_.string()
        << "</listen>\n"
           "  <auth>EXTERNAL</auth>\n"
           "  <policy context=\"default\">\n"
           "    <allow user=\"*\"/>\n"
           "    <allow own=\"*\"/>\n"
           "    <allow send_destination=\"*\"/>\n"
           "    <allow receive_sender=\"*\"/>\n"
           "  </policy>\n"
           "</busconfig>\n";
    int fds[2];
    if (::pipe(fds) != 0) {
      ADD_FAILURE() << "pipe";
      return;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, fds[0]);
    const std::string configArg = "--config-file=" + config.string();
    std::vector<char*> argv{const_cast<char*>("dbus-daemon"), const_cast<char*>(configArg.c_str()),
                            const_cast<char*>("--nofork"), const_cast<char*>("--print-address=1"),
                            nullptr};
    const int spawned =
        posix_spawnp(&daemon_, "dbus-daemon", &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    if (spawned != 0) {
      ::close(fds[0]);
      daemon_ = 0;
      ADD_FAILURE() << "cannot start dbus-daemon";
      return;
    }
    // The daemon prints its address once it listens.
    std::string line;
    pollfd p{fds[0], POLLIN, 0};
    while (line.find('\n') == std::string::npos && ::poll(&p, 1, 10000) > 0) {
      char buffer[256];
      const ssize_t n = ::read(fds[0], buffer, sizeof buffer);
      if (n <= 0) break;
      line.append(buffer, static_cast<size_t>(n));
    }
    ::close(fds[0]);
    if (line.find('\n') == std::string::npos) {
      ADD_FAILURE() << "dbus-daemon printed no address";
      return;
    }
    address_ = line.substr(0, line.find('\n'));
    env_.emplace("QUORREL_SYSTEM_BUS", address_);
    if (withModemManager) StartService();
  }

  ~FakeModemManager() {
    stop_ = true;
    if (service_.joinable()) service_.join();
    env_.reset();
    if (daemon_ > 0) {
      ::kill(daemon_, SIGTERM);
      int status = 0;
      ::waitpid(daemon_, &status, 0);
    }
  }
  FakeModemManager(const FakeModemManager&) = delete;
  FakeModemManager& operator=(const FakeModemManager&) = delete;

  const std::string& address() const { return address_; }
  void SetAnswer(Answer answer) { answer_ = answer; }
  // The user answered the password dialog: the calls waiting are accepted.
  void Approve() { approved_ = true; }
  // Calls waiting for an authorization now.
  int Waiting() const { return waiting_.load(); }

  // Adds a modem object (on the fake's own thread); returns once it is there.
  void AddModem(FakeModem modem) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      to_add_.push_back(std::move(modem));
    }
    for (int i = 0; i < 1000; ++i) {
      {
        std::lock_guard<std::mutex> lock(mutex_);
        if (to_add_.empty()) return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ADD_FAILURE() << "the fake ModemManager did not add the modem";
  }

  std::vector<InhibitCall> Calls() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return calls_;
  }
  // The devices inhibited now, by the calls seen.
  int Inhibited() const {
    std::lock_guard<std::mutex> lock(mutex_);
    int n = 0;
    for (const InhibitCall& c : calls_) n += c.inhibit ? 1 : -1;
    return n;
  }
  // Waits (bounded) until `count` calls were seen.
  bool WaitForCalls(size_t count) const {
    for (int i = 0; i < 1000; ++i) {
      if (Calls().size() >= count) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }

 private:
  static int OnInhibit(sd_bus_message* m, void* userdata, sd_bus_error* error) {
    auto* self = static_cast<FakeModemManager*>(userdata);
    const char* uid = nullptr;
    int inhibit = 0;
    int r = sd_bus_message_read(m, "sb", &uid, &inhibit);
    if (r < 0) return r;
    const bool interactive = sd_bus_message_get_allow_interactive_authorization(m) > 0;
    switch (self->answer_.load()) {
      case Answer::Refuse:
        return sd_bus_error_set(error, "org.freedesktop.DBus.Error.AccessDenied", "not authorized");
      case Answer::NotFound:
        return sd_bus_error_set(error, "org.freedesktop.ModemManager1.Error.Core.NotFound",
                                "No device found");
      case Answer::AskAuthorization:
        if (!inhibit) break;  // giving a device back needs no password
        if (!interactive) {
          return sd_bus_error_set(error,
                                  "org.freedesktop.DBus.Error.InteractiveAuthorizationRequired",
                                  "Interactive authentication required.");
        }
        // Answered from the fake's loop once the user approved.
        self->pending_.push_back(
            {sd_bus_message_ref(m), InhibitCall{uid, inhibit != 0, interactive}});
        ++self->waiting_;
        return 1;
      case Answer::Accept:
        break;
    }
    {
      std::lock_guard<std::mutex> lock(self->mutex_);
      self->calls_.push_back(InhibitCall{uid, inhibit != 0, interactive});
    }
    return sd_bus_reply_method_return(m, "");
  }

  static int GetDevice(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply,
                       void* userdata, sd_bus_error*) {
    return sd_bus_message_append(reply, "s", static_cast<FakeModem*>(userdata)->device.c_str());
  }
  static int GetPorts(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply,
                      void* userdata, sd_bus_error*) {
    int r = sd_bus_message_open_container(reply, 'a', "(su)");
    for (const auto& [name, type] : static_cast<FakeModem*>(userdata)->ports) {
      if (r >= 0) r = sd_bus_message_append(reply, "(su)", name.c_str(), type);
    }
    if (r >= 0) r = sd_bus_message_close_container(reply);
    return r;
  }

  // On the fake's thread: answers the calls the user approved, registers
  // the modems added.
  void Serve(sd_bus* bus, std::vector<sd_bus_slot*>* slots) {
    if (approved_) {
      for (auto& [message, call] : pending_) {
        {
          std::lock_guard<std::mutex> lock(mutex_);
          calls_.push_back(call);
        }
        sd_bus_reply_method_return(message, "");
        sd_bus_message_unref(message);
        --waiting_;
      }
      pending_.clear();
    }
    std::vector<FakeModem> add;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      add.swap(to_add_);
    }
    static const sd_bus_vtable modemVtable[] = {
        SD_BUS_VTABLE_START(0),
        SD_BUS_PROPERTY("Device", "s", &FakeModemManager::GetDevice, 0,
                        SD_BUS_VTABLE_PROPERTY_CONST),
        SD_BUS_PROPERTY("Ports", "a(su)", &FakeModemManager::GetPorts, 0,
                        SD_BUS_VTABLE_PROPERTY_CONST),
        SD_BUS_VTABLE_END};
    for (FakeModem& modem : add) {
      modems_.push_back(std::make_unique<FakeModem>(std::move(modem)));
      const std::string path =
          "/org/freedesktop/ModemManager1/Modem/" + std::to_string(modems_.size() - 1);
      sd_bus_slot* slot = nullptr;
      if (sd_bus_add_object_vtable(bus, &slot, path.c_str(), "org.freedesktop.ModemManager1.Modem",
                                   modemVtable, modems_.back().get()) >= 0) {
        slots->push_back(slot);
      }
    }
  }

  void StartService() {
    std::atomic<int> ready{0};
    service_ = std::thread([this, &ready] {
      static const sd_bus_vtable vtable[] = {
          SD_BUS_VTABLE_START(0),
          SD_BUS_METHOD("InhibitDevice", "sb", "", &FakeModemManager::OnInhibit,
                        SD_BUS_VTABLE_UNPRIVILEGED),
          SD_BUS_VTABLE_END};
      sd_bus* bus = nullptr;
      sd_bus_slot* slot = nullptr;
      sd_bus_slot* manager = nullptr;
      std::vector<sd_bus_slot*> modemSlots;
      int r = sd_bus_new(&bus);
      if (r >= 0) r = sd_bus_set_address(bus, address_.c_str());
      if (r >= 0) r = sd_bus_set_bus_client(bus, 1);
      if (r >= 0) r = sd_bus_start(bus);
      if (r >= 0)
        r = sd_bus_add_object_vtable(bus, &slot, "/org/freedesktop/ModemManager1",
                                     "org.freedesktop.ModemManager1", vtable, this);
      if (r >= 0) r = sd_bus_add_object_manager(bus, &manager, "/org/freedesktop/ModemManager1");
      if (r >= 0) r = sd_bus_request_name(bus, "org.freedesktop.ModemManager1", 0);
      ready = r >= 0 ? 1 : -1;
      while (r >= 0 && !stop_) {
        Serve(bus, &modemSlots);
        r = sd_bus_process(bus, nullptr);
        if (r == 0) r = sd_bus_wait(bus, 20'000);
      }
      for (auto& [message, call] : pending_) sd_bus_message_unref(message);
      pending_.clear();
      for (sd_bus_slot* s : modemSlots) sd_bus_slot_unref(s);
      sd_bus_slot_unref(manager);
      sd_bus_slot_unref(slot);
      sd_bus_flush_close_unref(bus);
    });
    for (int i = 0; i < 1000 && ready == 0; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    if (ready != 1) ADD_FAILURE() << "the fake ModemManager did not get onto the bus";
  }

  std::filesystem::path socket_;
  pid_t daemon_ = 0;
  std::string address_;
  std::optional<ScopedEnv> env_;
  std::thread service_;
  std::atomic<bool> stop_{false};
  std::atomic<Answer> answer_{Answer::Accept};
  std::atomic<bool> approved_{false};
  std::atomic<int> waiting_{0};
  mutable std::mutex mutex_;
  std::vector<InhibitCall> calls_;
  std::vector<FakeModem> to_add_;  // under mutex_
  // The fake's thread only:
  std::vector<std::pair<sd_bus_message*, InhibitCall>> pending_;
  std::vector<std::unique_ptr<FakeModem>> modems_;
};

// A sysfs tree under `sysfs` with one USB device at port path `usbPath`
// (devices/usb1/<usbPath>), its interface 0 carrying tty `tty`, and the
// class/tty entry as the kernel links it. `device` is the USB device's folder.
struct FakeUsbTree {
  FakeUsbTree(const std::filesystem::path& sysfsRoot, const std::string& usbPath,
              const std::string& tty)
      : sysfs(sysfsRoot) {
    namespace fs = std::filesystem;
    device = sysfs / "devices" / "usb1" / usbPath;
    const fs::path port = device / (usbPath + ":1.0") / tty;
    fs::create_directories(port / "tty" / tty);
    std::ofstream(device / "idVendor") << "1e0e\n";
    std::ofstream(device / "idProduct") << "9000\n";
    fs::create_symlink("../../../" + tty, port / "tty" / tty / "device");
    fs::create_directories(sysfs / "class" / "tty");
    fs::create_symlink(
        fs::path("../../devices/usb1") / usbPath / (usbPath + ":1.0") / tty / "tty" / tty,
        sysfs / "class" / "tty" / tty);
    device = fs::canonical(device);
  }
  std::filesystem::path sysfs;
  std::filesystem::path device;
};

}  // namespace quorrel::testsupport

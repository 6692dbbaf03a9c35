// A private message bus (dbus-daemon) with a fake ModemManager on it, for the
// tests of the inhibition: the bus's address goes into QUORREL_SYSTEM_BUS for
// the life of the object; the fake owns ModemManager's name, records every
// InhibitDevice call and answers it as told.
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
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "support/scoped_env.h"

extern char** environ;

namespace quorrel::testsupport {

struct InhibitCall {
  std::string uid;
  bool inhibit = false;
};

class FakeModemManager {
 public:
  enum class Answer { Accept, Refuse, NotFound };

  // folder: where the bus's socket and configuration go. With
  // withModemManager false the bus has nobody on ModemManager's name.
  explicit FakeModemManager(const std::filesystem::path& folder, bool withModemManager = true)
      : socket_(folder / "bus.socket") {
    const std::filesystem::path config = folder / "bus.conf";
    std::ofstream(config) << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-BUS Bus Configuration 1.0//EN\"\n"
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
                            const_cast<char*>("--nofork"), const_cast<char*>("--print-address=1"), nullptr};
    const int spawned = posix_spawnp(&daemon_, "dbus-daemon", &actions, nullptr, argv.data(), environ);
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
    switch (self->answer_.load()) {
      case Answer::Refuse:
        return sd_bus_error_set(error, "org.freedesktop.DBus.Error.AccessDenied", "not authorized");
      case Answer::NotFound:
        return sd_bus_error_set(error, "org.freedesktop.ModemManager1.Error.Core.NotFound", "No device found");
      case Answer::Accept:
        break;
    }
    {
      std::lock_guard<std::mutex> lock(self->mutex_);
      self->calls_.push_back(InhibitCall{uid, inhibit != 0});
    }
    return sd_bus_reply_method_return(m, "");
  }

  void StartService() {
    std::atomic<int> ready{0};
    service_ = std::thread([this, &ready] {
      static const sd_bus_vtable vtable[] = {
          SD_BUS_VTABLE_START(0),
          SD_BUS_METHOD("InhibitDevice", "sb", "", &FakeModemManager::OnInhibit, SD_BUS_VTABLE_UNPRIVILEGED),
          SD_BUS_VTABLE_END};
      sd_bus* bus = nullptr;
      sd_bus_slot* slot = nullptr;
      int r = sd_bus_new(&bus);
      if (r >= 0) r = sd_bus_set_address(bus, address_.c_str());
      if (r >= 0) r = sd_bus_set_bus_client(bus, 1);
      if (r >= 0) r = sd_bus_start(bus);
      if (r >= 0)
        r = sd_bus_add_object_vtable(bus, &slot, "/org/freedesktop/ModemManager1", "org.freedesktop.ModemManager1",
                                     vtable, this);
      if (r >= 0) r = sd_bus_request_name(bus, "org.freedesktop.ModemManager1", 0);
      ready = r >= 0 ? 1 : -1;
      while (r >= 0 && !stop_) {
        r = sd_bus_process(bus, nullptr);
        if (r == 0) r = sd_bus_wait(bus, 50'000);
      }
      sd_bus_slot_unref(slot);
      sd_bus_flush_close_unref(bus);
    });
    for (int i = 0; i < 1000 && ready == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    if (ready != 1) ADD_FAILURE() << "the fake ModemManager did not get onto the bus";
  }

  std::filesystem::path socket_;
  pid_t daemon_ = 0;
  std::string address_;
  std::optional<ScopedEnv> env_;
  std::thread service_;
  std::atomic<bool> stop_{false};
  std::atomic<Answer> answer_{Answer::Accept};
  mutable std::mutex mutex_;
  std::vector<InhibitCall> calls_;
};

// A sysfs tree under `sysfs` with one USB device at port path `usbPath`
// (devices/usb1/<usbPath>), its interface 0 carrying tty `tty`, and the
// class/tty entry as the kernel links it. `device` is the USB device's folder.
struct FakeUsbTree {
  FakeUsbTree(const std::filesystem::path& sysfsRoot, const std::string& usbPath, const std::string& tty)
      : sysfs(sysfsRoot) {
    namespace fs = std::filesystem;
    device = sysfs / "devices" / "usb1" / usbPath;
    const fs::path port = device / (usbPath + ":1.0") / tty;
    fs::create_directories(port / "tty" / tty);
    std::ofstream(device / "idVendor") << "1e0e\n";
    std::ofstream(device / "idProduct") << "9000\n";
    fs::create_symlink("../../../" + tty, port / "tty" / tty / "device");
    fs::create_directories(sysfs / "class" / "tty");
    fs::create_symlink(fs::path("../../devices/usb1") / usbPath / (usbPath + ":1.0") / tty / "tty" / tty,
                       sysfs / "class" / "tty" / tty);
    device = fs::canonical(device);
  }
  std::filesystem::path sysfs;
  std::filesystem::path device;
};

}  // namespace quorrel::testsupport

#include "sim/wine_registry.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <thread>
#include <vector>

#include "sim/usb_registry.h"
#include "util/text.h"

extern char** environ;

namespace quorrel::sim {

namespace {

constexpr char kMachine[] = "HKEY_LOCAL_MACHINE\\";

// A string as .reg files write it: backslashes and quotes escaped.
std::string Quoted(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '\\' || c == '"') out += '\\';
    out += c;
  }
  out += '"';
  return out;
}

std::string Header() {
  return "REGEDIT4\r\n\r\n";
}

// The instance key of a device (USB\VID_..&MI_0x\<instance>).
std::string InstanceKey(const std::string& devicePath) {
  const std::string parameters = DeviceParametersKey(devicePath);
  return parameters.substr(0, parameters.rfind('\\'));
}

}  // namespace

std::string WineRegisterText(const Enumeration& e) {
  std::string text = Header();
  auto portName = [&](const std::string& path, int port) {
    text += "[" + std::string(kMachine) + DeviceParametersKey(path) + "]\r\n";
    text += "\"PortName\"=" + Quoted(Format("COM%d", port)) + "\r\n\r\n";
  };
  auto service = [&](const std::string& key, const std::string& path) {
    text += "[" + std::string(kMachine) + key + "]\r\n";
    text += "\"Count\"=dword:00000001\r\n";
    text += "\"0\"=" + Quoted(path) + "\r\n\r\n";
  };
  // Port names first: a reader who finds the service also finds the port.
  if (e.dataPort > 0) portName(e.modemDevicePath, e.dataPort);
  if (e.diagPort > 0) portName(e.diagDevicePath, e.diagPort);
  if (e.dataPort > 0) service(ModemServiceEnumKey(e.vendor), e.modemDevicePath);
  if (e.diagPort > 0) service(SerialServiceEnumKey(e.vendor), e.diagDevicePath);
  return text;
}

std::string WineUnregisterText(const Enumeration& e) {
  std::string text = Header();
  text += "[-" + std::string(kMachine) + SerialServiceEnumKey(e.vendor) + "]\r\n\r\n";
  text += "[-" + std::string(kMachine) + ModemServiceEnumKey(e.vendor) + "]\r\n\r\n";
  return text;
}

std::string WineForgetText(const Enumeration& e) {
  std::string text = Header();
  for (const std::string& path : {e.diagDevicePath, e.modemDevicePath}) {
    if (path.empty()) continue;
    text += "[-" + std::string(kMachine) + InstanceKey(path) + "]\r\n\r\n";
  }
  return text;
}

bool WineImport(const std::string& prefix, const std::string& text, int timeoutMs) {
  static std::atomic<unsigned> counter{0};
  const std::string file = prefix + "/quorrel-sim." + std::to_string(::getpid()) + "." +
                           std::to_string(counter++) + ".reg";
  {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out.flush()) return false;
  }
  const char* wineEnv = std::getenv("QUORREL_WINE");
  const std::string wine = wineEnv != nullptr && *wineEnv != '\0' ? wineEnv : "wine";

  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry = *e;
    if (entry.rfind("WINEPREFIX=", 0) == 0 || entry.rfind("WINEDEBUG=", 0) == 0) continue;
    env.push_back(entry);
  }
  env.push_back("WINEPREFIX=" + prefix);
  env.push_back("WINEDEBUG=-all");
  std::vector<char*> envp;
  for (std::string& entry : env) envp.push_back(entry.data());
  envp.push_back(nullptr);
  std::vector<std::string> args{wine, "regedit", "/S", file};
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  // Its output stays off the simulator's stdout, which scripts read.
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  pid_t child = 0;
  const int rc = ::posix_spawnp(&child, wine.c_str(), &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) {
    ::unlink(file.c_str());
    return false;
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  int status = 0;
  bool done = false;
  while (!done) {
    const pid_t r = ::waitpid(child, &status, WNOHANG);
    if (r == child) {
      done = true;
    } else if (r < 0 && errno != EINTR) {
      break;
    } else if (std::chrono::steady_clock::now() >= deadline) {
      ::kill(child, SIGKILL);
      ::waitpid(child, &status, 0);
      break;
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }
  ::unlink(file.c_str());
  return done && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace quorrel::sim

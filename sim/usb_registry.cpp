#include "sim/usb_registry.h"

#include <filesystem>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/registry.h"
#include "util/text.h"

namespace quorrel::sim {

namespace {
constexpr char kServices[] = "SYSTEM\\CurrentControlSet\\Services\\";
constexpr char kEnum[] = "SYSTEM\\CurrentControlSet\\Enum\\";
}  // namespace

std::string SerialServiceEnumKey(const std::string& vendor) {
  return kServices + vendor + "usbser6k\\Enum";
}

std::string ModemServiceEnumKey(const std::string& vendor) {
  return kServices + vendor + "usbmdm6k\\Enum";
}

std::string DeviceParametersKey(const std::string& devicePath) {
  return kEnum + devicePath + "\\Device Parameters";
}

namespace {

// Several modems of one process (the in-process bus) change the lists from
// the threads whose sleeps run their timers.
std::mutex list_mutex;

std::vector<std::string> ListedPaths(const std::string& key) {
  std::vector<std::string> paths;
  RegistryKey k;
  if (k.Open(RegistryRoot::LocalMachine, key, kKeyRead) != kRegistryOk) return paths;
  uint32_t count = 0;
  if (k.QueryDword("Count", &count) != kRegistryOk) return paths;
  for (uint32_t i = 0; i < count && i < 64; ++i) {
    char buffer[512];
    uint32_t size = sizeof buffer;
    if (k.QueryString(Format("%u", i), buffer, &size) == kRegistryOk) paths.emplace_back(buffer);
  }
  return paths;
}

// Writes a service's list in one step ("Count" and the entries), or removes
// the key when nothing is left on it.
bool WriteList(const std::string& key, const std::vector<std::string>& paths) {
  if (paths.empty()) {
    const long result = RegistryDeleteKey(RegistryRoot::LocalMachine, key);
    return result == kRegistryOk || result == kRegistryNotFound;
  }
  std::vector<RegistryValue> values{
      RegistryValue::Dword("Count", static_cast<uint32_t>(paths.size()))};
  for (size_t i = 0; i < paths.size(); ++i)
    values.push_back(RegistryValue::String(Format("%zu", i), paths[i]));
  return RegistrySetValues(RegistryRoot::LocalMachine, key, values) == kRegistryOk;
}

}  // namespace

bool RegisterPorts(const Enumeration& e) {
  bool ok = true;
  auto service = [&](const std::string& key, const std::string& path) {
    std::lock_guard<std::mutex> lock(list_mutex);
    std::vector<std::string> paths = ListedPaths(key);
    std::erase(paths, path);
    paths.push_back(path);
    ok &= WriteList(key, paths);
  };
  auto portName = [&](const std::string& path, int port) {
    ok &= RegistrySetString(RegistryRoot::LocalMachine, DeviceParametersKey(path), "PortName",
                            Format("COM%d", port)) == kRegistryOk;
  };
  if (e.dataPort > 0) portName(e.modemDevicePath, e.dataPort);
  if (e.diagPort > 0) portName(e.diagDevicePath, e.diagPort);
  if (e.dataPort > 0) service(ModemServiceEnumKey(e.vendor), e.modemDevicePath);
  if (e.diagPort > 0) service(SerialServiceEnumKey(e.vendor), e.diagDevicePath);
  return ok;
}

void UnregisterPorts(const Enumeration& e) {
  std::lock_guard<std::mutex> lock(list_mutex);
  for (const auto& [key, path] : {std::pair{SerialServiceEnumKey(e.vendor), e.diagDevicePath},
                                  std::pair{ModemServiceEnumKey(e.vendor), e.modemDevicePath}}) {
    std::vector<std::string> paths = ListedPaths(key);
    std::erase(paths, path);
    (void)WriteList(key, paths);
  }
}

void ForgetDevice(const Enumeration& e) {
  for (const std::string& path : {e.diagDevicePath, e.modemDevicePath}) {
    if (path.empty()) continue;
    std::string key = kEnum + path;
    RegistryDeleteKey(RegistryRoot::LocalMachine, key);
    // The interface keys above the instance go too once nothing is left in
    // them (USB\VID_xxxx&PID_xxxx&MI_xx, then USB).
    for (int level = 0; level < 2; ++level) {
      size_t cut = key.rfind('\\');
      if (cut == std::string::npos) break;
      key.resize(cut);
      auto folder = RegistryKeyFolder(RegistryRoot::LocalMachine, key);
      std::error_code ec;
      if (!folder || !std::filesystem::is_empty(*folder, ec) || ec) break;
      RegistryDeleteKey(RegistryRoot::LocalMachine, key);
    }
  }
}

}  // namespace quorrel::sim

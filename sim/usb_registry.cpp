#include "sim/usb_registry.h"

#include <filesystem>

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

bool RegisterPorts(const Enumeration& e) {
  bool ok = true;
  auto service = [&](const std::string& key, const std::string& path) {
    ok &= RegistrySetValues(RegistryRoot::LocalMachine, key,
                            {RegistryValue::Dword("Count", 1), RegistryValue::String("0", path)}) ==
          kRegistryOk;
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
  RegistryDeleteKey(RegistryRoot::LocalMachine, SerialServiceEnumKey(e.vendor));
  RegistryDeleteKey(RegistryRoot::LocalMachine, ModemServiceEnumKey(e.vendor));
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

#include "sim/usb_registry.h"

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
    if (!path.empty()) RegistryDeleteKey(RegistryRoot::LocalMachine, kEnum + path);
  }
}

}  // namespace quorrel::sim

// On Windows a modem's own drivers write its service keys and COM ports into
// the registry: there is nothing to bridge, and the bridge stays off.
#include "platform/usb_bridge.h"

#include <utility>

namespace quorrel {

UsbBridge::UsbBridge(ModemTable table, std::filesystem::path sysfs, std::filesystem::path dev)
    : table_(std::move(table)), sysfs_(std::move(sysfs)), dev_(std::move(dev)) {}

std::vector<UsbModem> UsbBridge::Poll() {
  return {};
}

std::vector<UsbModem> UsbBridge::Poll(const std::vector<UsbDeviceInfo>&) {
  return {};
}

bool UsbBridge::Learn(const ModemTableEntry&) {
  return false;
}

std::vector<UsbDeviceInfo> ScanUsbDevices(const std::filesystem::path&,
                                          const std::filesystem::path&) {
  return {};
}

std::string CompanionDeviceFolder(const std::string&) {
  return {};
}

std::optional<std::pair<uint16_t, uint16_t>> UsbIdentityOfFolder(const std::string&) {
  return std::nullopt;
}

std::vector<std::string> UsbBridge::TakeNotices() {
  return std::exchange(notices_, {});
}

void UsbBridge::DetachAll() {}

bool UsbBridgeEnabled() {
  return false;
}

void DisableUsbBridge() {}

void SetUsbBridgePreferredDevice(const std::string&) {}

void SetUsbBridgeNoticeSink(std::function<void(const std::string&)>) {}

void UsbBridgeNotice(const std::string&) {}

std::vector<UsbModem> PollUsbBridge() {
  return {};
}

std::filesystem::path UsbSysfsRoot() {
  return {};
}

std::filesystem::path UsbDevRoot() {
  return {};
}

void SetUsbProber(UsbProber) {}

bool UsbProbingEnabled() {
  return false;
}

void DisableUsbProbing() {}

std::vector<LearnedUsbModem> LearnedUsbModems() {
  return {};
}

}  // namespace quorrel

// On Windows a modem's own drivers write its service keys and COM ports into
// the registry: there is nothing to bridge, and the bridge stays off.
#include "platform/usb_bridge.h"

#include <utility>

namespace quorrel {

UsbBridge::UsbBridge(ModemTable table, std::filesystem::path sysfs, std::filesystem::path dev)
    : table_(std::move(table)), sysfs_(std::move(sysfs)), dev_(std::move(dev)) {}

std::vector<UsbModem> UsbBridge::Poll() { return {}; }

std::vector<std::string> UsbBridge::TakeNotices() { return std::exchange(notices_, {}); }

void UsbBridge::DetachAll() {}

bool UsbBridgeEnabled() { return false; }

void DisableUsbBridge() {}

void SetUsbBridgePreferredDevice(const std::string&) {}

void SetUsbBridgeNoticeSink(std::function<void(const std::string&)>) {}

std::vector<UsbModem> PollUsbBridge() { return {}; }

}  // namespace quorrel

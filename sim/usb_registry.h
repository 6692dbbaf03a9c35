// The registry entries through which a USB modem's two ports are found: the
// Enum keys of the driver services and each device's "PortName". Written
// with the platform's registry writers under <root>/registry.
#pragma once

#include <string>

#include "sim/device.h"

namespace quorrel::sim {

// SYSTEM\CurrentControlSet\Services\<vendor>usbser6k\Enum (diagnostic port)
std::string SerialServiceEnumKey(const std::string& vendor);
// SYSTEM\CurrentControlSet\Services\<vendor>usbmdm6k\Enum (data port)
std::string ModemServiceEnumKey(const std::string& vendor);
// SYSTEM\CurrentControlSet\Enum\<device path>\Device Parameters
std::string DeviceParametersKey(const std::string& devicePath);

// Writes "PortName" of each present port, then lists the device paths
// last in the services' Enum keys ("Count", "0", "1", ...; other modems
// attached stay listed), so that a reader who finds the service also finds
// the port. False when a write fails.
bool RegisterPorts(const Enumeration& e);
// Takes the device paths off the services' Enum keys, removing a key that
// lists nothing more (the Device Parameters keys stay, as they do when a
// device is unplugged).
void UnregisterPorts(const Enumeration& e);
// Removes the device instance keys as well (when the modem goes for good).
void ForgetDevice(const Enumeration& e);

}  // namespace quorrel::sim

// The driver keys of an attachment in a Wine prefix's registry. A running
// wineserver keeps the registry in memory and writes system.reg over at
// will, so the keys go in through Wine itself: a .reg file imported with
// `wine regedit /S`, which returns once the server holds them.
#pragma once

#include <string>

#include "sim/device.h"

namespace quorrel::sim {

// REGEDIT4 text that writes PortName of each present port and the services'
// Enum keys (what RegisterPorts writes into the registry folder).
std::string WineRegisterText(const Enumeration& e);
// Text that removes the services' Enum keys.
std::string WineUnregisterText(const Enumeration& e);
// Text that removes the device instance keys.
std::string WineForgetText(const Enumeration& e);

// Imports text into the prefix's registry: writes it to a file in the
// prefix, runs `$QUORREL_WINE regedit /S` (default "wine") with WINEPREFIX
// set and waits for it, at most timeoutMs. False when the program could not
// be run, failed, or took longer (it is then killed).
bool WineImport(const std::string& prefix, const std::string& text, int timeoutMs = 60000);

}  // namespace quorrel::sim

// Finding the device's ports in the registry, where its USB driver services
// list the devices they drive, and showing a line's port and version.
#pragma once

#include <array>
#include <string>
#include <string_view>
#include <vector>

#include "lines/document.h"
#include "lines/line_display.h"

namespace quorrel {

// The driver services searched, in order.
inline constexpr std::array<const char*, 4> kModemServices = {"Vantrelusbmdm6k", "ONDAusbmdm6k",
                                                              "qcusbmdm6k", "HSPADataCardusbmdm6k"};
inline constexpr std::array<const char*, 4> kSerialServices = {
    "Vantrelusbser6k", "ONDAusbser6k", "qcusbser6k", "HSPADataCardusbser6k"};

// The port number of a "PortName" such as "COM12": the decimal digits after
// the first three characters, up to the first non-digit. A name without such
// digits, shorter than three characters or with a number too large for a
// port gives 0.
int PortNumberFromName(std::string_view portName);

// Reads the data and diagnostic port numbers from the registry into a
// line's settings.
// - As a single line (the document's assignment off): into line 1's
//   settings, whatever line asks. Once line 1 is bound to a modem (see
//   ModemBinding) it gets that modem's ports only, and none while it is
//   away; unbound, the most recently listed instance of the first service
//   that lists one.
// - With every modem on a line of its own (assignment on): into the asking
//   line's settings, the ports of the modem it is bound to or, unbound, of
//   the modem the assignment gives it; none when it has none.
// Records where the ports are (LineJob::Place). 1 when the diagnostic port
// was found; a missing data port leaves its number as it was and is no
// failure.
int DiscoverLinePorts(CQuorrelDoc& doc, int line);

// The places (as DeviceLocation names them) where a modem lists a
// diagnostic port in the registry now, each once, in the order listed.
std::vector<std::string> ListedModemPlaces();

// The place a device path names: its instance part (the USB port path, for
// the modems the USB bridge lists).
std::string DeviceLocation(std::string_view devicePath);

// "COM%d" with the line's diagnostic port, "NULL" when it has none.
void ShowLinePort(CQuorrelDoc& doc, LineDisplay& display, int line);

// Shows the line's version (re-read over the data port when it names a
// 6290 chip) and, on line 1, whether the form is ready for a download.
void ShowLineVersion(CQuorrelDoc& doc, LineDisplay& display, int line);

}  // namespace quorrel

// Ports the system would not let this user open. The serial layer notes the
// device when an open fails for lack of permission; the port watch takes the
// notes and puts them on the line's state line, so that the user learns why
// a plugged-in modem never answers, and what to do about it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace quorrel {

// Notes that COM port `port` (its tty `device`) could not be opened for lack
// of permission. Each device is noted once per process. Thread-safe.
void NotePortAccessDenied(int port, const std::string& device);

// The messages of the notes not taken yet, oldest first. Thread-safe.
std::vector<std::string> TakePortAccessProblems();

// The message for one device: it names the device and the two fixes (a
// udev rule for the modem's own identity when its port is a USB tty).
std::string PortAccessText(int port, const std::string& device);

// The two fixes for a tty this user may not open: the dialout group, or a
// udev rule (for the USB identity given; without one, the package's rule).
std::string PortAccessFix(std::optional<std::pair<uint16_t, uint16_t>> identity);

}  // namespace quorrel

// Numbered COM ports on POSIX: port N is the symbolic link
// <root>/dosdevices/comN to a tty (a USB serial device or the slave side of a
// pseudo-terminal). A missing or dangling link means the port does not exist.
#pragma once

#include <filesystem>

namespace quorrel {

inline constexpr int kFirstComPort = 1;
inline constexpr int kLastComPort = 255;

// <root>/dosdevices/comN (the path only; nothing is created or checked).
std::filesystem::path ComPortPath(int n);

// Points port n at tty, replacing an existing link atomically (a new link
// under a temporary name, renamed over the old one). Creates the dosdevices
// folder when needed. False for a port number outside 1..255 or when the
// file system refuses.
bool LinkComPort(int n, const std::filesystem::path& tty);

// Removes port n's link; nothing happens when there is none.
void UnlinkComPort(int n);

// True when port n's link is present and its target exists.
bool ComPortExists(int n);

}  // namespace quorrel

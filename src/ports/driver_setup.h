// The operating-system checks and the USB driver's installation and removal
// (Windows 7 only), and the uninstall-all request another program can send.
#pragma once

#include <functional>
#include <string_view>

#include "lines/document.h"
#include "lines/line_display.h"

namespace quorrel {

inline constexpr const char kInstallerX86[] = "USBDriverInstaller_x86.exe";
inline constexpr const char kInstallerX64[] = "USBDriverInstaller_x64.exe";

// Names the running Windows version into the document's operating-system
// name (left unchanged for a version it does not know); true only when the
// name it sets is "Windows 7".
bool DetectWindowsVersion(CQuorrelDoc& doc);

// True when the driver installation left its "IsDriverInstalled" value (any
// value) under either of its two keys.
bool IsUsbDriverInstalled();

// The id of the first running process with that executable name (case
// ignored), or -1 when none runs or the list cannot be taken.
int FindProcessByName(std::string_view exeName);

// On Windows 7 without the driver: starts the extracted setup program, waits
// until no installer process runs any more, reports it in the line's log and
// deletes the setup program. The wait ends early, leaving the setup program,
// as soon as stopRequested (asked at every pause) answers true.
void InstallUsbDriver(CQuorrelDoc& doc, LineDisplay& display, int line,
                      const std::function<bool()>& stopRequested = {});

// Starts the driver's four possible uninstallers; failed starts are ignored.
bool RunDriverUninstaller();

// Closes the current line's diagnostic port, waits 1.5 s and starts
// ".\UnInstallAll.exe" maximized; the result of that start. Does nothing
// (0) while no line has a port watch (currentLine outside 0-7).
long OnUninstallAllMessage(CQuorrelDoc& doc, int currentLine);

}  // namespace quorrel

// What a line's job works with: the document (slots, links, AT channels and
// the clock they share), the display it reports through, and the port
// handling it calls back into after each re-enumeration of the modem.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "lines/document.h"
#include "lines/line_display.h"

namespace quorrel {

struct JobEnvironment {
  CQuorrelDoc& doc;
  LineDisplay& display;
  // True once the modem's ports are found in the registry (stores the port
  // numbers in line 1's slot).
  std::function<bool(int line)> discoverLinePorts;
  // Refresh the line's port and version displays.
  std::function<void(int line)> showLinePort;
  std::function<void(int line)> showLineVersion;
  // The longest a job waits for the modem's ports to appear, each time it
  // waits for them; none: as long as it takes.
  std::optional<uint64_t> portWaitLimitMs;
  // One look for where the line's modem is now, before a port is opened or
  // reopened (a re-enumerated modem comes back on other ports). Not a poll
  // of a port wait; none: the port numbers stay as they are.
  std::function<bool(int line)> refreshLinePorts;

  Clock& clock() { return doc.clock(); }
  // Waits end on events: fixed pauses before a request are left out where
  // the request's own time-out and tries cover a modem not ready yet.
  bool fast() const { return doc.Fast(); }
};

// What the line jobs reach outside themselves. StandardLineHooks fills
// the package and driver steps with the program's own; the front end adds
// closeMainWindow and endProcess.
struct LineHooks {
  // "Send the close message to the main window" (failed version check).
  std::function<void()> closeMainWindow;
  // End the process with an exit code (after a successful download).
  std::function<void(int exitCode)> endProcess;
  // The image-set check before a start; shows its own message on failure.
  std::function<bool(int line, bool requirePhone)> checkLineImages;
  // Removes the written-out release after a successful download.
  std::function<void()> cleanUpAfterDownload;
  // Starts the USB driver's uninstallers (only called on Windows 7).
  std::function<void()> runDriverUninstaller;
  // The port watch's first step: names the Windows version and installs the
  // USB driver on Windows 7 when it is missing; its wait for the installer
  // ends when stopRequested answers true.
  std::function<void(int line, const std::function<bool()>& stopRequested)> installUsbDriver;
  // Taken before a job first talks to the modem and kept until the job
  // thread ends, whichever way: keeps other programs off the line's modem
  // (ModemManager on Linux). `hold` receives what releases it when reset.
  // False, with the reason in `refusal`, when the job must not start.
  std::function<bool(int line, std::shared_ptr<void>* hold, std::string* refusal)> holdModem;
};

}  // namespace quorrel

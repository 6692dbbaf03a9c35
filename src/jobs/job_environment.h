// What a line's job works with: the document (slots, links, AT channels and
// the clock they share), the display it reports through, and the port
// handling it calls back into after each re-enumeration of the modem.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>

#include "app/line_display.h"
#include "jobs/document.h"

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

  Clock& clock() { return doc.clock(); }
};

}  // namespace quorrel

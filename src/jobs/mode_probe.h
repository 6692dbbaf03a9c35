// Which of its three modes a modem answers in, found out with requests that
// change nothing: the downloader's no-op, then the programmer's greeting.
// Each mode answers a request of another mode's protocol with an error reply
// of its own, and the first reply of a mode's own protocol ends the probe;
// from then on only that mode's requests are sent.
#pragma once

#include "jobs/job_environment.h"

namespace quorrel {

enum class ModemAnswer {
  None,        // nothing came back that names a mode
  Normal,      // the firmware's diagnostic protocol
  Downloader,  // the boot code's DMSS downloader
  Programmer,  // the flash programmer in RAM
};

struct ModeProbe {
  ModemAnswer mode = ModemAnswer::None;
  // Programmer: the greeting was answered, the programmer takes requests.
  bool greeted = false;
};

// Reopens the line's diagnostic port and asks, in up to `rounds` rounds
// 1000 ms apart, with each request's own time-out. The link's protocol is
// left at the mode found.
ModeProbe ProbeModemMode(JobEnvironment& env, int line, int rounds = 3);

// The reply codes that tell a mode, whatever request they answer.
ModemAnswer ModeOfReplyCode(uint8_t code);

}  // namespace quorrel

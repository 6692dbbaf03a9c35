// The line-level operations that move a line's phone between its normal
// firmware, the downloader in its boot code and the flash programmer in its
// RAM, and that find the phone again after it re-enumerates. Each has its own
// fixed pattern of tries, waits and port re-opens; all run on the calling
// line's thread and use only that line's PhoneLink and AT channel.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "jobs/job_environment.h"

namespace quorrel {

// The tag a release is made for; the current version must contain it.
inline constexpr char kVersionTag[] = "ZIZ_RU_Farrick";

// Closes the line's diagnostic port if open and opens it on the line's
// diagnostic port number at 115200 baud, 8N1. To reopen means this. Port
// discovery looks first, so that the port is the modem's where it is now
// (a re-enumerated modem comes back on other ttys).
bool OpenDiagPort(JobEnvironment& env, int line);
// Opens the line's AT port (115200 baud) where discovery finds it now.
bool OpenAtPort(JobEnvironment& env, int line);
// Makes the line's diagnostic and AT ports open themselves again, through
// discovery, when their device went away under them.
void FollowModem(JobEnvironment& env, int line);
// Closes the line's diagnostic port if open; always true.
bool CloseDiagPort(JobEnvironment& env, int line);

// The phone's ninth version text, upper-cased and without spaces; empty when
// two rounds of two requests got nothing.
std::string ReadCurrentVersion(JobEnvironment& env, int line);
// True when version contains kVersionTag, letters compared without case.
bool VersionCheckPasses(std::string_view version);

// Finds out whether a phone answers and what it calls itself: sets the
// line's phone state and version text ("нет телефона" when not detected).
bool DetectPhone(JobEnvironment& env, int line);

// "Switch to downloader": from the normal firmware into the DMSS downloader,
// ending with the flash parameters stored in the line's flash information.
bool EnterDownloader(JobEnvironment& env, int line);
// The switch's last step, with its tries and reopen: the downloader's flash
// parameters stored in the line's flash information.
bool ReadFlashParameters(JobEnvironment& env, int line);
// Starts the uploaded programmer and greets it over the streaming protocol.
bool StartProgrammer(JobEnvironment& env, int line);
// The part of StartProgrammer after the jump: the greeting (up to three
// hellos, skipped when alreadyGreeted) and a no-op that must be answered.
bool GreetProgrammer(JobEnvironment& env, int line, bool alreadyGreeted);
// Asked after each reconnect pass in which no phone answered, with whether
// the AT port opened; true ends the reconnect at once.
using ReconnectGiveUp = std::function<bool(bool atOpened)>;

// Resets the programmer, waits for the modem's ports and for the phone to
// answer in its normal firmware again (up to 60 passes).
bool ResetAndWaitForReturn(JobEnvironment& env, int line, const ReconnectGiveUp& giveUp = {});
// The wait of ms for the modem to leave the bus after a reset. In fast mode
// it ends as soon as the line's diagnostic port hangs up (it is never
// longer); bytes that come meanwhile are dropped.
void AwaitDeparture(JobEnvironment& env, int line, uint32_t ms);
// Up to 60 passes of: wait 1 s, open the AT port (3 tries), open the
// diagnostic port and detect the phone. True once detected. The passes end
// early once env.portWaitLimitMs have passed (when set), or when giveUp
// answers true.
bool Reconnect(JobEnvironment& env, int line, const ReconnectGiveUp& giveUp = {});

// Thrown out of a port wait that lasted env.portWaitLimitMs without the
// modem's ports appearing. The job that waited ends on it as a failure.
struct ModemDidNotReturn {
  uint64_t limitMs = 0;
  // The serial number of another modem that sits where the line's modem
  // was, when discovery saw one.
  std::string otherModem;
};

// The job's status line for a modem that did not come back.
std::string ModemDidNotReturnText(const ModemDidNotReturn& gone);

// Calls env.discoverLinePorts and waits 1000 ms, until it answers true;
// afterPoll, when given, is called after each wait with the number of polls
// so far. Throws ModemDidNotReturn once env.portWaitLimitMs have passed
// without the ports.
void WaitForPorts(JobEnvironment& env, int line,
                  const std::function<void(int polls)>& afterPoll = {});

}  // namespace quorrel

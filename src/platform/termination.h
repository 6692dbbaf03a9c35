// One last step before the process ends on an interrupt or termination
// request (SIGINT, SIGTERM; Ctrl+C on a console).
#pragma once

#include <functional>

namespace quorrel {

// Call before any other thread starts. On POSIX the two signals are blocked
// in the calling thread (threads started later inherit that) and awaited by
// a thread of its own, which runs `last` and then ends the process by the
// same signal, so that the parent sees what it would have seen without this.
// On Windows nothing is installed.
void RunBeforeTerminationSignals(std::function<void()> last);

}  // namespace quorrel

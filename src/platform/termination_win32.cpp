// Nothing to release on Windows before the process ends.
#include "platform/termination.h"

namespace quorrel {

void RunBeforeTerminationSignals(std::function<void()>) {}

}  // namespace quorrel

// quorrel-cli list: the USB modems the bridge finds, with their ports and the
// mode they answer in.
#pragma once

#include <cstdio>

#include "platform/clock.h"

namespace quorrel::cli {

// Prints the table of modems to out; notices of the bridge (table errors,
// missing drivers) to err. 0 when at least one modem was found, 5 when none.
int ListUsbModems(Clock& clock, std::FILE* out, std::FILE* err);

}  // namespace quorrel::cli

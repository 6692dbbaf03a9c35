// quorrel-cli list: the USB modems the bridge finds (those of the modem table
// and those whose ports probing found), with their ports and the mode they
// answer in, and for every USB device with modem ports which of them
// answered and why the others did not.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "platform/clock.h"

namespace quorrel::cli {

// Prints the table of modems to out; notices of the bridge (table errors,
// missing drivers, lines found by probing) to err. 0 when at least one
// modem's diagnostic port answered, 5 when none did.
int ListUsbModems(Clock& clock, std::FILE* out, std::FILE* err);

// quorrel-cli udev-rule [VID:PID...]: the udev rule for the identities given,
// or for every identity of the modem tables (lines found by probing
// included). 0, 2 for a bad identity, 5 when there is none.
int PrintUdevRule(const std::vector<std::string>& identities, std::FILE* out, std::FILE* err);

}  // namespace quorrel::cli

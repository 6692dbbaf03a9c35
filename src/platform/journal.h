// Structured entries in the system journal (systemd's), for a program whose
// output goes there: log shippers collect them across machines.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace quorrel {

// True when the standard output or error is connected to the journal
// (JOURNAL_STREAM set, as systemd sets it for a service); never on Windows.
bool JournalWanted();

// Sends one entry of upper-case FIELD=value pairs (MESSAGE among them).
// False when the journal took none, or there is none.
bool JournalSend(const std::vector<std::pair<std::string, std::string>>& fields);

}  // namespace quorrel

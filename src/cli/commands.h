// The commands of quorrel-cli that live outside main.cpp.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "app/line_record.h"
#include "cli/cli_display.h"
#include "jobs/job_environment.h"

namespace quorrel::cli {

// Exit codes: a job's (shared with the records every front end keeps) and
// the command line's own.
using quorrel::kExitJobFailed;
using quorrel::kExitModemGone;
using quorrel::kExitNoModem;
using quorrel::kExitNotStarted;
using quorrel::kExitOk;
using quorrel::kExitOtherModem;
using quorrel::kExitVersion;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitSetup = 6;

// quorrel-cli nv dump|diff|import|read ...: the arguments after "nv".
// Returns the exit code.
int RunNvCommand(const std::vector<std::string>& args);
extern const char kNvUsage[];

// Before a repair: the NV file its restore needs must be whole, unless the
// NV option is 0. Returns the exit code of a refusal (the reason printed),
// nothing when the repair may start.
std::optional<int> RepairPreflight(CQuorrelDoc& doc, CliDisplay& display);

// A stuck modem answers no phone request: the repair starts as soon as the
// diagnostic port is found. Polls discovery once a second on the job's
// clock; false when limitMs passed first.
bool WaitForDiagPort(JobEnvironment& env, std::optional<uint64_t> limitMs);

}  // namespace quorrel::cli

// The commands of quorrel-cli that live outside main.cpp.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "cli/cli_display.h"
#include "jobs/job_environment.h"

namespace quorrel::cli {

// Exit codes.
inline constexpr int kExitOk = 0;
inline constexpr int kExitJobFailed = 1;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitNotStarted = 3;
inline constexpr int kExitVersion = 4;
inline constexpr int kExitNoModem = 5;
inline constexpr int kExitSetup = 6;
inline constexpr int kExitModemGone = 7;
// The modem attached is not the one whose NV items were to be written back:
// none was written.
inline constexpr int kExitOtherModem = 8;

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

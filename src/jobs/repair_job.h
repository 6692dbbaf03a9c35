// The repair of a line (line mode 2): a modem that a failed flash left in
// the downloader, or running the flash programmer, is flashed from where it
// stands and brought back to its firmware with its NV items written back
// from the line's NV file, the backup the failed run made.
//
// Before anything is written, the NV file the restore needs is checked; a
// missing or damaged one is named and the user decides whether to flash
// without the restore. Then the mode is found out with harmless requests
// only (mode_probe.h). From the downloader the programmer is uploaded and
// started; from the programmer it is greeted; then the images are written
// and the modem reset and given back as the download does. A modem in its
// normal firmware is not stuck and is left alone.
#pragma once

#include <string>
#include <string_view>

#include "jobs/job_environment.h"

namespace quorrel {

inline constexpr char kRepairStartText[] = "Repair: finding out which mode the modem answers in";
inline constexpr char kRepairNotStuckText[] =
    "The modem answers in its normal firmware and is not stuck: update it with the download "
    "instead";
inline constexpr char kRepairNoAnswerText[] =
    "The modem answers in no mode: unplug it, plug it in again and repeat the repair";
inline constexpr char kRepairNoBackupText[] =
    "Repair not started: no NV backup to write back (NV option 0 repairs without one)";
inline constexpr char kRepairWithoutRestoreQuestion[] =
    "The NV items cannot be written back after the repair. Repair the modem without restoring its "
    "NV items?";

enum class RepairResult {
  Repaired,    // the images were written and the modem is back (Pass)
  Failed,      // a step failed; reported through the job end
  NotStuck,    // the modem answers in its normal firmware; nothing sent but the probe
  NoAnswer,    // no mode answered
  NoBackup,    // the NV file is missing or damaged and the user declined
  Stopped,     // the stop request was noticed
  ModemLost,   // the modem's ports did not come back within the port-wait bound
  OtherModem,  // the flashed modem is not the one the NV file was saved from:
               // no NV item was written into it
};

// The repair of a line (0-7), on the calling thread. The line's run flag is
// set by the caller; the repair clears it at its end, which always goes
// through the job end (Pass or Fail).
RepairResult RunRepairJob(JobEnvironment& env, const LineHooks& hooks, int line);

// The NV file a repair (and a download's phase D) restores from for the
// NV option, empty for option 0 (and for option 3 when no default NV file
// was chosen).
std::string NvRestoreFile(const CQuorrelDoc& doc, int line, int nvOption);

// True when the file can be read and holds exactly one NV table
// (98,600 bytes).
bool NvFileIsWhole(std::string_view path);

}  // namespace quorrel

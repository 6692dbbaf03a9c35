// How a line's job ended, as the exit code and outcome its record carries,
// and the keeping of that record. Shared by every front end: quorrel-cli
// keeps the record of the job it ran, the window (through the line
// controller) that of every job that ends on any line.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "app/job_record.h"
#include "app/line_controller.h"
#include "lines/document.h"

namespace quorrel {

// The exit codes of a job (quorrel-cli exits with them; a record carries
// them whichever front end ran the job).
inline constexpr int kExitOk = 0;
inline constexpr int kExitJobFailed = 1;
inline constexpr int kExitNotStarted = 3;
inline constexpr int kExitVersion = 4;
inline constexpr int kExitNoModem = 5;
inline constexpr int kExitModemGone = 7;
// The modem attached is not the one whose NV items were to be written back:
// none was written.
inline constexpr int kExitOtherModem = 8;

// The job's name in records and texts: download, repair, backup-nv, restore-nv.
const char* JobName(LineMode mode);
// The record's outcome for an exit code.
const char* OutcomeName(int code);
// The exit code of a job that ended as the controller saw it; an NV task
// passed when its end kind says so.
int JobExitCode(JobOutcome outcome, std::optional<EndKind> endKind);

// What a job that ended with `code` failed of, for its record: the modem
// lost, the stop, else the job's last status line (its last box when it had
// none), with the box that names quorrel-cli repair as the way out of a
// modem left stuck. Empty on success.
std::string JobEndReason(JobOutcome outcome, int code, const std::string& lastStatus,
                         const std::string& lastBox);

// Completes the record of a job on `line` that just ended with `code` and
// keeps it (results.jsonl, the journal under systemd). binding: the modem
// the job was bound to. The NV file is described when this job wrote it
// (nvBefore: the file at the job's start) or wrote it into the modem.
// *said: what to tell the user about where the record went. Returns the
// record as JSON.
std::string KeepLineRecord(JobRecord& record, const NvFileMark& nvBefore, CQuorrelDoc& doc,
                           const ModemBinding& binding, int line, LineMode mode, int code,
                           const std::string& reason, std::string* said);

}  // namespace quorrel

#include "app/line_record.h"

#include <system_error>

#include "platform/paths.h"

namespace quorrel {

const char* JobName(LineMode mode) {
  switch (mode) {
    case LineMode::Download:
      return "download";
    case LineMode::Repair:
      return "repair";
    case LineMode::BackupNv:
      return "backup-nv";
    case LineMode::RestoreNv:
      return "restore-nv";
  }
  return "download";
}

const char* OutcomeName(int code) {
  switch (code) {
    case kExitOk:
      return "success";
    case kExitNotStarted:
      return "not-started";
    case kExitOtherModem:
      return "other-modem";
    case kExitModemGone:
      return "modem-lost";
    case kExitVersion:
      return "other-version";
    default:
      return "failed";
  }
}

int JobExitCode(JobOutcome outcome, std::optional<EndKind> endKind) {
  switch (outcome) {
    case JobOutcome::Succeeded:
      return kExitOk;
    case JobOutcome::Returned:
      return endKind && Passed(*endKind) ? kExitOk : kExitJobFailed;
    case JobOutcome::NotStarted:
      return kExitNotStarted;
    case JobOutcome::OtherModem:
      return kExitOtherModem;
    case JobOutcome::ModemLost:
      return kExitModemGone;
    case JobOutcome::VersionRejected:
      return kExitVersion;
    default:
      return kExitJobFailed;
  }
}

std::string JobEndReason(JobOutcome outcome, int code, const std::string& lastStatus,
                         const std::string& lastBox) {
  if (code == kExitOk) return {};
  if (outcome == JobOutcome::ModemLost) return "modem did not come back";
  if (outcome == JobOutcome::Stopped) return "stopped";
  std::string reason = lastStatus.empty() ? lastBox : lastStatus;
  if (lastBox != reason && lastBox.find("quorrel-cli repair") != std::string::npos)
    reason += " " + lastBox;
  return reason;
}

std::string KeepLineRecord(JobRecord& record, const NvFileMark& nvBefore, CQuorrelDoc& doc,
                           const ModemBinding& binding, int line, LineMode mode, int code,
                           const std::string& reason, std::string* said) {
  record.ended = RecordTimeNow();
  record.line = line + 1;
  record.job = JobName(mode);
  const ModemPlace place = doc.line(line).Place();
  record.usbPath = !binding.location.empty() ? binding.location : place.location;
  record.usbSerial = !binding.serial.empty() ? binding.serial : place.serial;
  record.esn = binding.esn;
  record.versionAfter = doc.line(line).ShownVersionText();
  // The line's NV file, when this job wrote it or wrote it into the modem: a
  // file left by an earlier job on another modem says nothing of this one.
  const std::string nvFile = doc.line(line).settings.nvFile.str();
  std::error_code ec;
  const bool ours = mode == LineMode::RestoreNv
                        ? !nvFile.empty() && std::filesystem::exists(MapPath(nvFile), ec)
                        : WrittenSince(nvBefore, nvFile);
  if (ours) {
    DescribeNvFile(record, nvFile);
    record.nvFile = NativePath(nvFile);
  }
  record.outcome = OutcomeName(code);
  record.exitCode = code;
  record.lastError = code == kExitOk ? std::string() : reason;
  std::string path, error;
  const bool kept = KeepJobRecord(record, &path, &error);
  if (said != nullptr) {
    *said = kept ? "record: " + NativePath(path) : "record: not kept (" + error + ")";
  }
  return JobRecordJson(record);
}

}  // namespace quorrel

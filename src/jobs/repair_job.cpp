#include "jobs/repair_job.h"

#include "download/dmss.h"
#include "download/streaming.h"
#include "jobs/download_job.h"
#include "jobs/mode_probe.h"
#include "jobs/mode_transitions.h"
#include "jobs/nv_backup.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "util/text.h"

namespace quorrel {

std::string NvRestoreFile(const CQuorrelDoc& doc, int line, int nvOption) {
  switch (nvOption) {
    case kNvRestoreRf:
    case kNvRestoreRfImei:
      return doc.line(line).settings.nvFile.str();
    case kNvLoadDefault:
      return doc.line(0).settings.defaultNvFile.str();
    default:
      return {};
  }
}

bool NvFileIsWhole(std::string_view path) {
  if (path.empty()) return false;
  std::optional<File> file = File::OpenRead(path);
  if (!file) return false;
  const bool whole = file->Size() == static_cast<int64_t>(NvTable::kFileSize);
  file->Close();
  return whole;
}

namespace {

class RepairRun {
 public:
  RepairRun(JobEnvironment& env, const LineHooks& hooks, int line)
      : env_(env),
        hooks_(hooks),
        display_(env.display),
        link_(env.doc.link(line)),
        job_(env.doc.line(line)),
        line_(line) {}

  RepairResult Run();

 private:
  void Status(std::string_view text) { display_.StatusLine(line_, text, true); }
  RepairResult End(std::string_view text, RepairResult result) {
    // A refusal or a failure before anything was written: Fail, no restart.
    display_.JobEnd(line_, text, EndKind::Fail);
    job_.runFlag = 0;
    return result;
  }
  // The NV restore phase D can make; kNvNoBackup when there is none and the
  // user agreed to go on without it, nullopt when not.
  std::optional<int> RestoreOption();

  JobEnvironment& env_;
  const LineHooks& hooks_;
  LineDisplay& display_;
  PhoneLink& link_;
  LineJob& job_;
  const int line_;
};

std::optional<int> RepairRun::RestoreOption() {
  const int option = env_.doc.nvOption.load();
  if (option == kNvNoBackup) return option;
  const std::string file = NvRestoreFile(env_.doc, line_, option);
  if (NvFileIsWhole(file)) return option;
  Status(Format("The NV file %s is missing or not %zu bytes: its NV items cannot be written back",
                NativePath(file).c_str(), NvTable::kFileSize));
  const MessageResult answer = display_.MessageBox(MessageBoxRequest{
      kRepairWithoutRestoreQuestion, kErrorCaption, MessageButtons::YesNo, MessageIcon::Warning});
  if (answer != MessageResult::Yes) return std::nullopt;
  Status("Repairing without writing NV items back");
  return kNvNoBackup;
}

RepairResult RepairRun::Run() {
  display_.SetProgress(line_, 0);
  display_.ClearLogText(line_);
  display_.AppendLogText(line_, "Repair\n");
  display_.AppendLogText(line_, "Download Version : ");
  display_.AppendLogText(line_, env_.doc.line(0).settings.firmwareFolder.view());
  display_.AppendLogText(line_, "\nArmprg path : ");
  display_.AppendLogText(line_, job_.settings.armprgPath.view());
  display_.AppendLogText(line_, "\n\n");

  // Nothing is written before the restore is known to be possible.
  const std::optional<int> option = RestoreOption();
  if (!option) return End(kRepairNoBackupText, RepairResult::NoBackup);

  Status(kRepairStartText);
  const ModeProbe probe = ProbeModemMode(env_, line_);
  if (env_.showLinePort) env_.showLinePort(line_);
  if (job_.runFlag == 0) {
    display_.FinishDisplay(line_, EndKind::Fail, false);
    return RepairResult::Stopped;
  }

  RepairEntry entry = RepairEntry::Downloader;
  switch (probe.mode) {
    case ModemAnswer::None:
      return End(kRepairNoAnswerText, RepairResult::NoAnswer);
    case ModemAnswer::Normal:
      return End(kRepairNotStuckText, RepairResult::NotStuck);
    case ModemAnswer::Downloader:
      Status("The modem answers in its downloader: the flash programmer is uploaded and started");
      if (!ReadFlashParameters(env_, line_)) {
        return End("The downloader does not give its flash parameters: " + link_.LastError(),
                   RepairResult::Failed);
      }
      entry = RepairEntry::Downloader;
      break;
    case ModemAnswer::Programmer:
      Status("The modem answers with its flash programmer running: the images are written at once");
      if (!GreetProgrammer(env_, line_, probe.greeted)) {
        return End("The flash programmer does not answer: " + link_.LastError(),
                   RepairResult::Failed);
      }
      // The run that failed may have left an image open; it is closed before
      // anything else is written, as a second write attempt begins.
      (void)StreamClose(link_);
      entry = RepairEntry::Programmer;
      break;
  }

  switch (RunDownloadFromStuckModem(env_, hooks_, line_, entry, *option)) {
    case DownloadResult::Succeeded:
      return RepairResult::Repaired;
    case DownloadResult::Stopped:
      return RepairResult::Stopped;
    case DownloadResult::ModemLost:
      return RepairResult::ModemLost;
    case DownloadResult::OtherModem:
      return RepairResult::OtherModem;
    case DownloadResult::Failed:
    case DownloadResult::VersionRejected:
      break;
  }
  return RepairResult::Failed;
}

}  // namespace

RepairResult RunRepairJob(JobEnvironment& env, const LineHooks& hooks, int line) {
  RepairRun run(env, hooks, line);
  return run.Run();
}

}  // namespace quorrel

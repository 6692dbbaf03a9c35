#include "jobs/download_job.h"

#include <array>
#include <functional>
#include <optional>

#include "download/streaming.h"
#include "jobs/image_steps.h"
#include "jobs/mode_probe.h"
#include "jobs/mode_transitions.h"
#include "jobs/modem_identity.h"
#include "jobs/nv_backup.h"
#include "jobs/schedule.h"
#include "platform/paths.h"
#include "services/diag_commands.h"
#include "util/md5.h"
#include "util/text.h"

namespace quorrel {

std::array<uint8_t, 16> ChallengeAnswer(std::span<const uint8_t, 8> challenge) {
  return Md5::Of(challenge);
}

namespace {

constexpr int kReplugAfterPolls = 30;

// Phase A.
// Offline: up to 3 tries, 3000 ms after each failure.
constexpr Schedule kOfflineTries = Evenly(3, 3000);
// The vendor switch and autorun off: up to 3 tries, 1000 ms after each
// failure.
constexpr Schedule kAutorunOffTries = Evenly(3, 1000);
// An AT command: up to 3 tries; after each failed one the AT port is opened
// again, and 2000 ms pass (5000 ms when the modem is given back).
constexpr Schedule kAtCommandTries{
    {.tries = 3, .then = {.reopen = Reopen::At, .settleMs = 2000}},
};
constexpr Schedule kAtCommandTriesBack{
    {.tries = 3, .then = {.reopen = Reopen::At, .settleMs = 5000}},
};
// Offline and reset: up to 3 passes, 3000 ms after each failed one.
constexpr Schedule kRestartPasses = Evenly(3, 3000);
// The ESN and NV item 22 (read, and written back in phase D): up to 3
// tries, 200 ms after each failure.
constexpr Schedule kReadTries = Evenly(3, 200);
// The challenge: up to 3 tries, 500 ms after each failure.
constexpr Schedule kChallengeTries = Evenly(3, 500);

// Phase C: at most two attempts at the images.
constexpr Schedule kImageAttempts{{.tries = 2}};
// Before the second attempt, 2000 ms after the close: the no-op; 500 ms,
// the no-op; on failure 5000 ms, and the attempt fails.
constexpr Schedule kSecondAttemptNoOps =
    Schedule{{.then = {.pauseMs = 500}}, {.then = {.pauseMs = 5000}}}.Lead(2000);
// The security mode, qcsblhd_cfgdata and oemsbl: try; 500 ms, try; reopen,
// 2000 ms, try.
constexpr Schedule kStageTries{
    {.then = {.pauseMs = 500}},
    {.then = {.reopen = Reopen::Diag, .settleMs = 2000}},
    {},
};
// The probe write: as kStageTries, and 5000 ms after the last failure.
constexpr Schedule kProbeWriteTries{
    {.then = {.pauseMs = 500}},
    {.then = {.reopen = Reopen::Diag, .settleMs = 2000}},
    {.then = {.pauseMs = 5000}},
};
// The partition table: try; 5000 ms, try; reopen, 2000 ms, try.
constexpr Schedule kPartitionTableStage{
    {.then = {.pauseMs = 5000}},
    {.then = {.reopen = Reopen::Diag, .settleMs = 2000}},
    {},
};
// qcsbl: try; 500 ms, try; try at once; 2000 ms after the third failure.
constexpr Schedule kQcsblStage{
    {.then = {.pauseMs = 500}},
    {},
    {.then = {.pauseMs = 2000}},
};
// amss: try; progress 4, try; 2000 ms, reopen, progress 4, try.
constexpr Schedule kAmssStage{
    {.then = {.progress = 4}},
    {.then = {.pauseMs = 2000, .reopen = Reopen::Diag, .progress = 4}},
    {},
};
// The NAND programmer image: up to 3 tries, 2000 ms after each failure;
// its failure does not fail the attempt.
constexpr Schedule kNandProgrammerStage = Evenly(3, 2000).IgnoringLastFailure();
// EFS: try; 2000 ms, try; 2000 ms, reopen, try.
constexpr Schedule kEfsStage{
    {.then = {.pauseMs = 2000}},
    {.then = {.pauseMs = 2000, .reopen = Reopen::Diag}},
    {},
};

// Phase D, giving the modem back: the vendor switch and autorun on, up to
// 3 tries, 2000 ms after each failure.
constexpr Schedule kAutorunOnTries = Evenly(3, 2000);
// The restart into the firmware: offline, then the reset, each up to 3
// tries, 3000 ms after each failure.
constexpr Schedule kResetTries = Evenly(3, 3000);

// A failure that ends the job through the job end, once phase D is through.
struct PendingEnd {
  std::string text;
  EndKind endKind;
  // The failure box follows the job end (not after a failed NV restore).
  bool box;
  // What the box says; empty: the install-failed text.
  std::string boxText = {};
};

class DownloadRun {
 public:
  DownloadRun(JobEnvironment& env, const LineHooks& hooks, int line)
      : env_(env),
        hooks_(hooks),
        doc_(env.doc),
        display_(env.display),
        link_(env.doc.link(line)),
        job_(env.doc.line(line)),
        clock_(env.clock()),
        line_(line) {}

  DownloadResult Run();
  // A repair: the download from the mode the modem was found in.
  DownloadResult RunFrom(RepairEntry entry, int nvOption);
  // The modem's ports stayed away longer than the port-wait bound: the job
  // ends through the job end with a Fail picture.
  DownloadResult ModemLost(const ModemDidNotReturn& gone);

 private:
  // ---- phases ----
  std::optional<DownloadResult> PhaseA();
  std::optional<DownloadResult> PhaseB();
  // Phase B once the downloader answers: the programmer upload and start.
  std::optional<DownloadResult> ProgrammerIntoRam();
  bool PhaseC();
  bool ImageAttempt(int attempt);
  DownloadResult PhaseD();

  // ---- pieces ----
  void Wait(uint32_t ms) { clock_.Sleep(ms); }
  // A pause before a request whose own time-out and tries cover a modem
  // that is not ready yet: left out in fast mode.
  void Settle(uint32_t ms) {
    if (!env_.fast()) Wait(ms);
  }
  void Progress(int percent) { display_.SetProgress(line_, percent); }
  void Status(std::string_view text) { display_.StatusLine(line_, text, true); }
  void Box(std::string_view text, std::string_view caption = kErrorCaption,
           MessageIcon icon = MessageIcon::Error) {
    display_.MessageBox(
        MessageBoxRequest{std::string(text), std::string(caption), MessageButtons::Ok, icon});
  }
  bool ReopenDiag() { return OpenDiagPort(env_, line_); }
  void ShowPort() {
    if (env_.showLinePort) env_.showLinePort(line_);
  }
  void ShowVersion() {
    if (env_.showLineVersion) env_.showLineVersion(line_);
  }

  // Runs the schedule for this line.
  bool Run(const Schedule& schedule, const std::function<bool()>& attempt) {
    return RunSchedule(env_, line_, schedule, attempt);
  }
  // A diagnostic request that takes only the link.
  template <typename Request>
  bool Ask(const Schedule& schedule, Request request) {
    return Run(schedule, [&] { return request(link_) != 0; });
  }
  // An AT command by the given schedule.
  bool SendAt(std::string_view command, const Schedule& schedule) {
    return Run(schedule, [&] { return doc_.SendAtCommand(line_, command) != 0; });
  }
  // Until the modem's ports are found: a poll, a second, the progress; the
  // re-plug request after 30 polls.
  void PortWaitWithProgress();
  // Ends the job through the job end with a Fail picture, then the box.
  DownloadResult FailWithBox(std::string_view text, EndKind endKind, std::string_view boxText);
  // The vendor switch back, autorun on, and a restart into the firmware:
  // the modem as it was before phase A switched its autorun off.
  // showProgress: the progress of phase D goes with it.
  void GiveModemBack(bool showProgress);
  // The NV option phase D restores by.
  int NvOption() const { return repair_nv_option_ ? *repair_nv_option_ : doc_.nvOption.load(); }
  // After a failure: when the modem was taken into a download mode and has
  // not been seen back in its firmware, asks which mode answers now (unless
  // phase D found out already); a modem in the downloader or the programmer
  // gets the way out named (a status line, returned for the box).
  std::string StuckModemHint();
  // Before phase D writes NV items: whether the modem is the one the job
  // started with. Another modem becomes the job's end; an identity that
  // could not be read is said in a status line.
  IdentityMatch CheckSameModem(int option);
  // Records a failure of phases C and D: the first one is the job's end,
  // reported once phase D has given the modem back. Until then the state
  // line says that the modem is being given back.
  void NoteFailure(std::string_view text, EndKind endKind, bool box = true) {
    if (pending_) return;
    pending_ = PendingEnd{std::string(text), endKind, box};
    Status(kGivingBackText);
  }
  // Asked in phase D after each reconnect pass in which the firmware did not
  // answer: true (with stuck_ set) when the modem answers in a download mode,
  // where nothing of phase D can work. Probes only on a hint: a reply of a
  // download mode, or, once, no AT port (a download mode has none).
  bool FoundStuck(bool atOpened);
  // The end of a failed job, once the modem is given back or known stuck:
  // the job end, then the box, then the way out for a stuck modem.
  DownloadResult EndFailed();
  // After a failed NV backup: the modem may have been unplugged and come
  // back on other ports. True when it answers, on its ports or on new ones
  // found within the port-wait bound (kGiveBackWaitMs without one).
  bool FindModemAgain();

  JobEnvironment& env_;
  const LineHooks& hooks_;
  CQuorrelDoc& doc_;
  LineDisplay& display_;
  PhoneLink& link_;
  LineJob& job_;
  Clock& clock_;
  const int line_;

  uint64_t start_ms_ = 0;
  std::array<uint8_t, kNvDataSize> nv22_{};
  std::array<uint8_t, kSavedNvPrefix> nv22_saved_{};
  bool nv22_read_ = false;
  std::optional<PendingEnd> pending_;
  // Set for a repair: the NV option of its phase D.
  std::optional<int> repair_nv_option_;
  // The modem was taken into the downloader, and not yet seen back in its
  // firmware.
  bool in_download_mode_ = false;
  // The download mode phase D found the modem answering in.
  ModemAnswer stuck_ = ModemAnswer::None;
  // The probe asked for want of an AT port has been made.
  bool probed_without_at_ = false;
  // The modem's ESN, read once it was reconnected in phase A.
  std::optional<uint32_t> esn_at_start_;
  // Phase D found another modem than the one the job started with.
  bool other_modem_ = false;
};

std::string DownloadRun::StuckModemHint() {
  ModemAnswer answer = stuck_;
  if (answer == ModemAnswer::None) {
    if (!in_download_mode_) return {};
    // One round: the failure is reported either way, and a modem that
    // answers nothing is not kept waiting for.
    answer = ProbeModemMode(env_, line_, 1).mode;
  }
  if (answer != ModemAnswer::Downloader && answer != ModemAnswer::Programmer) return {};
  const int option = NvOption();
  std::string backup;
  if (option == kNvRestoreRf || option == kNvRestoreRfImei) {
    backup = "its NV items are kept in " + NativePath(job_.settings.nvFile.view());
  } else {
    backup = "no NV backup was made by this run";
  }
  std::string hint = Format(
      "The modem is left in its %s: repair it with \"quorrel-cli repair\" or the repair mode "
      "of the window; %s",
      answer == ModemAnswer::Downloader ? "downloader" : "flash programmer", backup.c_str());
  Status(hint);
  return hint;
}

bool DownloadRun::FoundStuck(bool atOpened) {
  const ModemAnswer hinted = ModeOfReplyCode(link_.ErrorReplyCode());
  if (hinted != ModemAnswer::Downloader && hinted != ModemAnswer::Programmer) {
    // A modem still booting has no AT port either: asked once.
    if (atOpened || probed_without_at_) return false;
    probed_without_at_ = true;
  }
  const ModemAnswer answer = ProbeModemMode(env_, line_, 1).mode;
  if (answer != ModemAnswer::Downloader && answer != ModemAnswer::Programmer) return false;
  stuck_ = answer;
  return true;
}

DownloadResult DownloadRun::EndFailed() {
  const std::string hint = StuckModemHint();
  // A modem stuck in a download mode is left where a repair finds it: a
  // restart would only bring it back stuck, on other ports.
  const EndKind endKind = !hint.empty() && pending_->endKind == EndKind::WriteFailRestart
                              ? EndKind::Fail
                              : pending_->endKind;
  display_.JobEnd(line_, pending_->text, endKind);
  job_.runFlag = 0;
  if (pending_->box)
    Box(pending_->boxText.empty() ? std::string_view(kInstallFailedText) : pending_->boxText);
  if (!hint.empty()) Box(hint);
  return other_modem_ ? DownloadResult::OtherModem : DownloadResult::Failed;
}

IdentityMatch DownloadRun::CheckSameModem(int option) {
  // The NV file's items 0 and 550 say whose items it holds; the ESN read at
  // the start says which modem the job flashed. The default NV file (option
  // 3) is meant for any modem.
  const bool ownFile = option == kNvRestoreRf || option == kNvRestoreRfImei;
  const IdentityCheck identity = CheckModemIdentity(
      env_, line_, ownFile ? job_.settings.nvFile.view() : std::string_view(), esn_at_start_);
  switch (identity.match) {
    case IdentityMatch::Same:
      return identity.match;
    case IdentityMatch::Unread:
      Status(identity.text);
      return identity.match;
    case IdentityMatch::Other:
      break;
  }
  // Another modem outweighs whatever failed before: it is what the user
  // must hear about. The earlier failure stays in the log.
  other_modem_ = true;
  if (pending_) Status(pending_->text);
  Status(identity.text);
  pending_ = PendingEnd{identity.text, EndKind::FailManualRestart, true, identity.text};
  Status(kGivingBackText);
  return identity.match;
}

bool DownloadRun::FindModemAgain() {
  if (ReopenDiag() && DetectPhone(env_, line_)) return true;
  JobEnvironment bounded = env_;
  bounded.portWaitLimitMs = env_.portWaitLimitMs.value_or(kGiveBackWaitMs);
  try {
    WaitForPorts(bounded, line_);
  } catch (const ModemDidNotReturn&) {
    return false;
  }
  return Reconnect(bounded, line_);
}

DownloadResult DownloadRun::FailWithBox(std::string_view text, EndKind endKind,
                                        std::string_view boxText) {
  // Nothing is flashed yet: a job end of kind 4 restarts the modem from
  // the downloader into its firmware.
  display_.JobEnd(line_, text, endKind);
  job_.runFlag = 0;
  Box(boxText);
  return DownloadResult::Failed;
}

void DownloadRun::PortWaitWithProgress() {
  WaitForPorts(env_, line_, [this](int polls) {
    Progress(3 + polls / 10);
    if (polls == kReplugAfterPolls) display_.Message(kReplugText);
  });
}

DownloadResult DownloadRun::ModemLost(const ModemDidNotReturn& gone) {
  display_.JobEnd(line_, ModemDidNotReturnText(gone), EndKind::Fail);
  job_.runFlag = 0;
  return DownloadResult::ModemLost;
}

void DownloadRun::GiveModemBack(bool showProgress) {
  // Autorun back on.
  Run(kAutorunOnTries, [&] { return SetVendorSwitchAA(link_, 0) != 0; });
  Settle(500);
  if (showProgress) Progress(97);
  Run(kAutorunOnTries, [&] { return SetAutorun(link_, 1) != 0; });
  Settle(500);
  SendAt("AT+VCDRUN=F", kAtCommandTriesBack);
  Settle(2000);
  SendAt("AT+VCDRUN=9", kAtCommandTriesBack);
  Settle(1000);
  if (showProgress) Progress(98);

  // A restart into the firmware.
  Ask(kResetTries, PutOffline);
  Ask(kResetTries, ResetPhone);
  if (showProgress) Progress(99);
}

std::optional<DownloadResult> DownloadRun::PhaseA() {
  start_ms_ = clock_.NowMs();
  Progress(0);
  Status(kInstallingText);

  Ask(kOfflineTries, PutOffline);
  // The vendor switch and autorun off.
  Settle(3000);
  Run(kAutorunOffTries, [&] { return SetVendorSwitchAA(link_, 1) != 0; });
  Settle(2000);
  Progress(1);
  Run(kAutorunOffTries, [&] { return SetAutorun(link_, 0) != 0; });
  // The same over the data port.
  Settle(2000);
  SendAt("AT+VCDRUN=E", kAtCommandTries);
  Settle(2000);
  SendAt("AT+VCDRUN=8", kAtCommandTries);

  // Offline and reset: a pass succeeds with the reset.
  Settle(2000);
  Progress(2);
  Run(kRestartPasses, [&] {
    if (!PutOffline(link_)) return false;
    Settle(2000);
    return ResetPhone(link_) != 0;
  });

  // The modem re-enumerates; find it again.
  AwaitDeparture(env_, line_, 10000);
  Progress(3);
  PortWaitWithProgress();
  Progress(7);
  Reconnect(env_, line_);
  Progress(8);
  ShowPort();

  // The modem's ESN: before NV items are written back, the modem must still
  // be this one.
  uint32_t esn = 0;
  if (Run(kReadTries, [&] { return GetEsn(link_, esn) != 0; })) {
    esn_at_start_ = esn;
    job_.SetBoundEsn(esn);
  }

  // The log header.
  display_.ClearLogText(line_);
  display_.AppendLogText(line_, "Current Version : ");
  display_.AppendLogText(line_, job_.VersionText());
  display_.AppendLogText(line_, "\n");
  display_.AppendLogText(line_, "Download Version : ");
  display_.AppendLogText(line_, doc_.line(0).settings.firmwareFolder.view());
  display_.AppendLogText(line_, "\n");
  display_.AppendLogText(line_, "Armprg path : ");
  display_.AppendLogText(line_, job_.settings.armprgPath.view());
  display_.AppendLogText(line_, "\n");
  display_.AppendLogText(line_, "\n");

  // NV item 22: only its first 22 bytes survive the download.
  nv22_read_ = Run(kReadTries, [&] {
    uint16_t status = 0;
    return ReadNvItem(link_, kSavedNvItem, nv22_, status) != 0;
  });
  if (nv22_read_) {
    std::copy_n(nv22_.begin(), kSavedNvKeep, nv22_saved_.begin());
  }
  Settle(200);
  Progress(9);

  // The NV backup.
  const int option = doc_.nvOption.load();
  if (option == kNvRestoreRf || option == kNvRestoreRfImei) {
    bool ok = CheckNvDirectory(env_, job_.settings.nvDirectory.view()) &&
              BackupNv(env_, line_, job_.settings.nvFile.view()) != 0;
    if (!ok) {
      // Nothing is flashed without a backup. Autorun is off since the start:
      // switch it on again and restart the modem before giving up, wherever
      // it answers now. The restart is done, so the job end does not reset
      // it once more.
      Status(kGivingBackText);
      if (FindModemAgain()) {
        GiveModemBack(false);
      } else {
        Status(kNotGivenBackText);
      }
      return FailWithBox(kInstallFailedDotText, EndKind::Fail, kInstallFailedDotText);
    }
  }

  // The version once more.
  Progress(20);
  std::string version = ReadCurrentVersion(env_, line_);
  if (!VersionCheckPasses(version)) {
    Box(kVersionMismatchText, kWarningCaption);
    if (hooks_.closeMainWindow) hooks_.closeMainWindow();
    return DownloadResult::VersionRejected;
  }

  // The challenge; nothing of it is reported.
  std::array<uint8_t, kDeviceValueSize> challenge{};
  if (Run(kChallengeTries, [&] { return GetDeviceValue(link_, challenge) != 0; })) {
    std::array<uint8_t, kDeviceAnswerSize> answer = ChallengeAnswer(challenge);
    SetDeviceValue(link_, answer);
  }
  Status(kInstallingText);
  return std::nullopt;
}

std::optional<DownloadResult> DownloadRun::PhaseB() {
  if (!EnterDownloader(env_, line_))
    return FailWithBox(kInstallFailedText, EndKind::WriteFailRestart, kInstallFailedText);
  in_download_mode_ = true;
  return ProgrammerIntoRam();
}

std::optional<DownloadResult> DownloadRun::ProgrammerIntoRam() {
  // A stop request made so far is seen here.
  ShowPort();
  if (job_.runFlag == 0) {
    display_.FinishDisplay(line_, EndKind::WriteFailRestart,
                           link_.Protocol() == LinkProtocol::Dmss);
    return DownloadResult::Stopped;
  }
  if (!UploadProgrammer(env_, line_))
    return FailWithBox(kInstallFailedText, EndKind::WriteFailRestart, kInstallFailedText);
  Progress(21);
  Settle(5000);
  if (!StartProgrammer(env_, line_))
    return FailWithBox(kSkipFailText, EndKind::WriteFailRestart, kInstallFailedText);
  ShowPort();
  Progress(22);
  return std::nullopt;
}

bool DownloadRun::ImageAttempt(int attempt) {
  // A second attempt starts from a closed image and a programmer that
  // answers.
  if (attempt == 2) {
    Settle(2000);
    StreamClose(link_);
    if (!Ask(kSecondAttemptNoOps, StreamNoOp)) return false;
  }

  // The probe write.
  Progress(23);
  std::array<uint8_t, kStreamBlock> probe{};
  probe[0] = 0x61;
  if (!Run(kProbeWriteTries,
           [&] { return StreamWrite(link_, probe.data(), kProbeAddress, kStreamBlock) != 0; })) {
    return false;
  }

  Settle(500);
  if (!Ask(kStageTries, StreamSecurityMode)) return false;

  Progress(24);
  if (!Run(kPartitionTableStage, [&] { return WritePartitionTable(env_, line_); })) return false;

  Settle(500);
  Progress(25);
  if (!Run(kStageTries, [&] { return WritePlainImage(env_, line_, PlainImage::QcsblHdCfgData); }))
    return false;
  if (!Run(kQcsblStage, [&] { return WritePlainImage(env_, line_, PlainImage::Qcsbl); }))
    return false;
  if (!Run(kStageTries, [&] { return WriteImageWithHeader(env_, line_, HeaderedImage::Oemsbl); }))
    return false;

  // The modem software.
  Progress(26);
  Status(kInstallingText);
  if (!Run(kAmssStage, [&] { return WriteImageWithHeader(env_, line_, HeaderedImage::Amss); }))
    return false;

  Settle(10000);
  Run(kNandProgrammerStage,
      [&] { return WriteImageWithHeader(env_, line_, HeaderedImage::NandProgrammer); });

  Status(kInstallingText);
  if (!Run(kEfsStage, [&] { return WriteEfsImage(env_, line_); })) return false;

  Progress(80);
  return true;
}

bool DownloadRun::PhaseC() {
  int attempt = 0;
  if (Run(kImageAttempts, [&] { return ImageAttempt(++attempt); })) return true;
  // Both attempts failed. The modem still goes back to its normal mode and
  // gets its NV items back; the job ends as a failure after that.
  NoteFailure(kDownloadFailText, EndKind::WriteFailRestart);
  return false;
}

DownloadResult DownloadRun::PhaseD() {
  const ReconnectGiveUp stuck = [this](bool atOpened) { return FoundStuck(atOpened); };
  if (ResetAndWaitForReturn(env_, line_, stuck)) {
    in_download_mode_ = false;
  } else {
    NoteFailure(kResetFailText, EndKind::FailManualRestart);
  }
  // In a download mode neither the NV items nor autorun can be written:
  // the way out is a repair.
  if (stuck_ != ModemAnswer::None) return EndFailed();
  ShowPort();
  ShowVersion();
  Progress(81);
  ShowPort();
  ShowVersion();

  // Nothing is written into a modem that is not the one the job started
  // with: it is given back as it came.
  const int option = NvOption();
  const IdentityMatch identity = CheckSameModem(option);
  const bool sameModem = identity == IdentityMatch::Same;

  // NV item 22 back, with only its first 22 bytes as they were; only
  // when it could be read before.
  if (nv22_read_ && sameModem) {
    std::array<uint8_t, kNvDataSize> data = nv22_;
    std::copy(nv22_saved_.begin(), nv22_saved_.end(), data.begin());
    Run(kReadTries, [&] {
      uint16_t status = 0;
      return WriteNvItem(link_, kSavedNvItem, data, status) != 0;
    });
  }

  // The NV restore.
  // After a failure the state line already says the modem is being given back.
  if (!pending_) Status(kInstallingText);
  Progress(82);
  int restored = 1;
  if (identity == IdentityMatch::Unread && option != kNvNoBackup) {
    // Not known to be the same modem: the items wait in their file.
    restored = 0;
  } else if (sameModem && (option == kNvRestoreRf || option == kNvRestoreRfImei)) {
    restored = RestoreNv(env_, line_, job_.settings.nvFile.view());
  } else if (sameModem && option == kNvLoadDefault) {
    restored = RestoreNv(env_, line_, doc_.line(0).settings.defaultNvFile.view());
  }
  if (!restored) {
    // The modem still gets its autorun back; the items stay in the file for
    // a restore of their own.
    const std::string_view file = option == kNvLoadDefault
                                      ? doc_.line(0).settings.defaultNvFile.view()
                                      : job_.settings.nvFile.view();
    NoteFailure(kRestoreFailText, EndKind::FailManualRestart, false);
    Status(Format("The NV items were not written back; they are kept in %s for an NV restore",
                  NativePath(file).c_str()));
  }

  // Find the modem again.
  Progress(95);
  WaitForPorts(env_, line_);
  if (Reconnect(env_, line_, stuck)) in_download_mode_ = false;
  if (stuck_ != ModemAnswer::None) {
    NoteFailure(kResetFailText, EndKind::FailManualRestart);
    return EndFailed();
  }
  Progress(96);
  ShowPort();
  Settle(1000);

  GiveModemBack(true);

  // No success: the release stays for the next try, the line can be
  // started again.
  if (pending_) return EndFailed();

  if (repair_nv_option_) {
    // A repair ends here, the line given back with a Pass; the release
    // stays for the next modem.
    Progress(100);
    display_.JobEnd(line_, kRepairDoneText, EndKind::Pass);
    job_.runFlag = 0;
    return DownloadResult::Succeeded;
  }

  if (hooks_.cleanUpAfterDownload) hooks_.cleanUpAfterDownload();
  Settle(3000);
  const uint64_t seconds = (clock_.NowMs() - start_ms_) / 1000;
  Progress(100);
  Status(kDoneText);
  job_.runFlag = 0;
  Box(Format(kSuccessFormat, static_cast<int>(seconds / 60), static_cast<int>(seconds % 60)),
      kSuccessCaption, MessageIcon::Information);
  if (doc_.OsName() == "Windows 7" && hooks_.runDriverUninstaller) hooks_.runDriverUninstaller();
  if (hooks_.endProcess) hooks_.endProcess(0);
  return DownloadResult::Succeeded;
}

DownloadResult DownloadRun::RunFrom(RepairEntry entry, int nvOption) {
  repair_nv_option_ = nvOption;
  start_ms_ = clock_.NowMs();
  in_download_mode_ = true;
  if (entry == RepairEntry::Downloader) {
    Progress(20);
    if (auto end = ProgrammerIntoRam()) return *end;
  } else {
    ShowPort();
    Progress(22);
  }
  PhaseC();
  return PhaseD();
}

DownloadResult DownloadRun::Run() {
  if (auto end = PhaseA()) return *end;
  if (auto end = PhaseB()) return *end;
  PhaseC();
  return PhaseD();
}

}  // namespace

DownloadResult RunDownloadFromStuckModem(JobEnvironment& env, const LineHooks& hooks, int line,
                                         RepairEntry entry, int nvOption) {
  DownloadRun run(env, hooks, line);
  try {
    return run.RunFrom(entry, nvOption);
  } catch (const ModemDidNotReturn& gone) {
    return run.ModemLost(gone);
  }
}

DownloadResult RunDownloadJob(JobEnvironment& env, const LineHooks& hooks, int line) {
  DownloadRun run(env, hooks, line);
  try {
    return run.Run();
  } catch (const ModemDidNotReturn& gone) {
    return run.ModemLost(gone);
  }
}

}  // namespace quorrel

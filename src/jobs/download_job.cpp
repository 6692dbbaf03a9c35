#include "jobs/download_job.h"

#include <array>
#include <functional>
#include <initializer_list>
#include <optional>

#include "download/streaming.h"
#include "jobs/image_steps.h"
#include "jobs/modem_identity.h"
#include "jobs/mode_probe.h"
#include "jobs/mode_transitions.h"
#include "jobs/nv_backup.h"
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

// A failure that ends the job through the job end, once phase D is through.
struct PendingEnd {
  std::string text;
  int endKind;
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
  void Progress(int percent) { display_.SetProgress(line_, percent); }
  void Status(std::string_view text) { display_.StatusLine(line_, text, true); }
  void Box(std::string_view text, std::string_view caption = kErrorCaption,
           MessageIcon icon = MessageIcon::Error) {
    display_.MessageBox(MessageBoxRequest{std::string(text), std::string(caption), MessageButtons::Ok, icon});
  }
  bool Reopen() { return OpenDiagPort(env_, line_); }
  bool OpenAt() { return OpenAtPort(env_, line_); }
  void ShowPort() {
    if (env_.showLinePort) env_.showLinePort(line_);
  }
  void ShowVersion() {
    if (env_.showLineVersion) env_.showLineVersion(line_);
  }

  // Up to `tries` tries, waiting waitMs after each failed one.
  bool Tries(int tries, uint32_t waitMs, const std::function<bool()>& op) {
    for (int i = 0; i < tries; ++i) {
      if (op()) return true;
      Wait(waitMs);
    }
    return false;
  }
  // A try; while it fails, the next preparation and another try.
  static bool Stage(const std::function<bool()>& attempt,
                    std::initializer_list<std::function<void()>> beforeRetries) {
    if (attempt()) return true;
    for (const auto& prepare : beforeRetries) {
      prepare();
      if (attempt()) return true;
    }
    return false;
  }
  // An AT command: up to 3 tries; after each failed one the AT port is
  // opened again and waitMs pass.
  bool SendAt(std::string_view command, uint32_t waitMs) {
    for (int i = 0; i < 3; ++i) {
      if (doc_.SendAtCommand(line_, command)) return true;
      OpenAt();
      Wait(waitMs);
    }
    return false;
  }
  // Until the modem's ports are found: a poll, a second, the progress; the
  // re-plug request after 30 polls.
  void PortWaitWithProgress();
  // Ends the job through the job end with a Fail picture, then the box.
  DownloadResult FailWithBox(std::string_view text, int endKind, std::string_view boxText);
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
  void NoteFailure(std::string_view text, int endKind, bool box = true) {
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
  std::string hint = Format("The modem is left in its %s: repair it with \"quorrel-cli repair\" or the repair mode "
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
  const int endKind = !hint.empty() && pending_->endKind == 4 ? 3 : pending_->endKind;
  display_.JobEnd(line_, pending_->text, endKind);
  job_.runFlag = 0;
  if (pending_->box) Box(pending_->boxText.empty() ? std::string_view(kInstallFailedText) : pending_->boxText);
  if (!hint.empty()) Box(hint);
  return other_modem_ ? DownloadResult::OtherModem : DownloadResult::Failed;
}

IdentityMatch DownloadRun::CheckSameModem(int option) {
  // The NV file's items 0 and 550 say whose items it holds; the ESN read at
  // the start says which modem the job flashed. The default NV file (option
  // 3) is meant for any modem.
  const bool ownFile = option == kNvRestoreRf || option == kNvRestoreRfImei;
  const IdentityCheck identity =
      CheckModemIdentity(env_, line_, ownFile ? job_.settings.nvFile.view() : std::string_view(), esn_at_start_);
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
  pending_ = PendingEnd{identity.text, 5, true, identity.text};
  Status(kGivingBackText);
  return identity.match;
}

bool DownloadRun::FindModemAgain() {
  if (Reopen() && DetectPhone(env_, line_)) return true;
  JobEnvironment bounded = env_;
  bounded.portWaitLimitMs = env_.portWaitLimitMs.value_or(kGiveBackWaitMs);
  try {
    WaitForPorts(bounded, line_);
  } catch (const ModemDidNotReturn&) {
    return false;
  }
  return Reconnect(bounded, line_);
}

DownloadResult DownloadRun::FailWithBox(std::string_view text, int endKind, std::string_view boxText) {
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
  display_.JobEnd(line_, ModemDidNotReturnText(gone), 3);
  job_.runFlag = 0;
  return DownloadResult::ModemLost;
}

void DownloadRun::GiveModemBack(bool showProgress) {
  // 42-45. Autorun back on.
  Tries(3, 2000, [&] { return SetVendorSwitchAA(link_, 0) != 0; });
  Wait(500);
  if (showProgress) Progress(97);
  Tries(3, 2000, [&] { return SetAutorun(link_, 1) != 0; });
  Wait(500);
  SendAt("AT+VCDRUN=F", 5000);
  Wait(2000);
  SendAt("AT+VCDRUN=9", 5000);
  Wait(1000);
  if (showProgress) Progress(98);

  // 46. Restart it.
  Tries(3, 3000, [&] { return PutOffline(link_) != 0; });
  Tries(3, 3000, [&] { return ResetPhone(link_) != 0; });
  if (showProgress) Progress(99);
}

std::optional<DownloadResult> DownloadRun::PhaseA() {
  // 1.
  start_ms_ = clock_.NowMs();
  Progress(0);
  Status(kInstallingText);

  // 2. Offline.
  Tries(3, 3000, [&] { return PutOffline(link_) != 0; });
  // 3-4. The vendor switch and autorun off.
  Wait(3000);
  Tries(3, 1000, [&] { return SetVendorSwitchAA(link_, 1) != 0; });
  Wait(2000);
  Progress(1);
  Tries(3, 1000, [&] { return SetAutorun(link_, 0) != 0; });
  // 5-6. The same over the data port.
  Wait(2000);
  SendAt("AT+VCDRUN=E", 2000);
  Wait(2000);
  SendAt("AT+VCDRUN=8", 2000);

  // 7. Offline and reset: up to 3 passes.
  Wait(2000);
  Progress(2);
  for (int pass = 0; pass < 3; ++pass) {
    if (PutOffline(link_)) {
      Wait(2000);
      if (ResetPhone(link_)) break;
    }
    Wait(3000);
  }

  // 8-11. The modem re-enumerates; find it again.
  Wait(10000);
  Progress(3);
  PortWaitWithProgress();
  Progress(7);
  Reconnect(env_, line_);
  Progress(8);
  ShowPort();

  // The modem's ESN: before NV items are written back, the modem must still
  // be this one.
  uint32_t esn = 0;
  if (Tries(3, 200, [&] { return GetEsn(link_, esn) != 0; })) {
    esn_at_start_ = esn;
    job_.SetBoundEsn(esn);
  }

  // 12. The log header.
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

  // 13. NV item 22: only its first 22 bytes survive the download.
  nv22_read_ = Tries(3, 200, [&] {
    uint16_t status = 0;
    return ReadNvItem(link_, kSavedNvItem, nv22_, status) != 0;
  });
  if (nv22_read_) {
    std::copy_n(nv22_.begin(), kSavedNvKeep, nv22_saved_.begin());
  }
  // 14.
  Wait(200);
  Progress(9);

  // 15. The NV backup.
  const int option = doc_.nvOption.load();
  if (option == kNvRestoreRf || option == kNvRestoreRfImei) {
    bool ok = CheckNvDirectory(env_, job_.settings.nvDirectory.view()) &&
              BackupNv(env_, line_, job_.settings.nvFile.view()) != 0;
    if (!ok) {
      // Nothing is flashed without a backup. Autorun is off since step 4:
      // switch it on again and restart the modem before giving up, wherever
      // it answers now. The restart is done, so the job end does not reset
      // it once more.
      Status(kGivingBackText);
      if (FindModemAgain()) {
        GiveModemBack(false);
      } else {
        Status(kNotGivenBackText);
      }
      return FailWithBox(kInstallFailedDotText, 3, kInstallFailedDotText);
    }
  }

  // 16. The version once more.
  Progress(20);
  std::string version = ReadCurrentVersion(env_, line_);
  if (!VersionCheckPasses(version)) {
    Box(kVersionMismatchText, kWarningCaption);
    if (hooks_.closeMainWindow) hooks_.closeMainWindow();
    return DownloadResult::VersionRejected;
  }

  // 17. The challenge; nothing of it is reported.
  std::array<uint8_t, kDeviceValueSize> challenge{};
  bool got = Tries(3, 500, [&] { return GetDeviceValue(link_, challenge) != 0; });
  if (got) {
    std::array<uint8_t, kDeviceAnswerSize> answer = ChallengeAnswer(challenge);
    SetDeviceValue(link_, answer);
  }
  // 18.
  Status(kInstallingText);
  return std::nullopt;
}

std::optional<DownloadResult> DownloadRun::PhaseB() {
  // 19.
  if (!EnterDownloader(env_, line_)) return FailWithBox(kInstallFailedText, 4, kInstallFailedText);
  in_download_mode_ = true;
  return ProgrammerIntoRam();
}

std::optional<DownloadResult> DownloadRun::ProgrammerIntoRam() {
  // 20. A stop request made so far is seen here.
  ShowPort();
  if (job_.runFlag == 0) {
    display_.FinishDisplay(line_, 4, link_.Protocol() == LinkProtocol::Dmss);
    return DownloadResult::Stopped;
  }
  // 21.
  if (!UploadProgrammer(env_, line_)) return FailWithBox(kInstallFailedText, 4, kInstallFailedText);
  // 22.
  Progress(21);
  Wait(5000);
  if (!StartProgrammer(env_, line_)) return FailWithBox(kSkipFailText, 4, kInstallFailedText);
  // 23.
  ShowPort();
  Progress(22);
  return std::nullopt;
}

bool DownloadRun::ImageAttempt(int attempt) {
  auto wait = [this](uint32_t ms) { return [this, ms] { Wait(ms); }; };
  auto reopenWait = [this](uint32_t ms) {
    return [this, ms] {
      Reopen();
      Wait(ms);
    };
  };

  // 24.
  if (attempt == 2) {
    Wait(2000);
    StreamClose(link_);
    Wait(2000);
    if (!StreamNoOp(link_)) {
      Wait(500);
      if (!StreamNoOp(link_)) {
        Wait(5000);
        return false;
      }
    }
  }

  // 25. The probe write.
  Progress(23);
  std::array<uint8_t, kStreamBlock> probe{};
  probe[0] = 0x61;
  if (!Stage([&] { return StreamWrite(link_, probe.data(), kProbeAddress, kStreamBlock) != 0; },
             {wait(500), reopenWait(2000)})) {
    Wait(5000);
    return false;
  }

  // 26.
  Wait(500);
  if (!Stage([&] { return StreamSecurityMode(link_) != 0; }, {wait(500), reopenWait(2000)})) return false;

  // 27.
  Progress(24);
  if (!Stage([&] { return WritePartitionTable(env_, line_); }, {wait(5000), reopenWait(2000)})) return false;

  // 28.
  Wait(500);
  Progress(25);
  if (!Stage([&] { return WritePlainImage(env_, line_, PlainImage::QcsblHdCfgData); },
             {wait(500), reopenWait(2000)}))
    return false;

  // 29. A third try at once.
  if (!Stage([&] { return WritePlainImage(env_, line_, PlainImage::Qcsbl); }, {wait(500), [] {}})) {
    Wait(2000);
    return false;
  }

  // 30.
  if (!Stage([&] { return WriteImageWithHeader(env_, line_, HeaderedImage::Oemsbl); },
             {wait(500), reopenWait(2000)}))
    return false;

  // 31. The modem software.
  Progress(26);
  Status(kInstallingText);
  if (!Stage([&] { return WriteImageWithHeader(env_, line_, HeaderedImage::Amss); },
             {[this] { Progress(4); },
              [this] {
                Wait(2000);
                Reopen();
                Progress(4);
              }}))
    return false;

  // 32. The NAND programmer image; its failure does not fail the attempt.
  Wait(10000);
  Tries(3, 2000, [&] { return WriteImageWithHeader(env_, line_, HeaderedImage::NandProgrammer); });

  // 33. The EFS image.
  Status(kInstallingText);
  if (!Stage([&] { return WriteEfsImage(env_, line_); },
             {wait(2000),
              [this] {
                Wait(2000);
                Reopen();
              }}))
    return false;

  // 34.
  Progress(80);
  return true;
}

bool DownloadRun::PhaseC() {
  for (int attempt = 1; attempt <= 2; ++attempt) {
    if (ImageAttempt(attempt)) return true;
  }
  // Both attempts failed. The modem still goes back to its normal mode and
  // gets its NV items back; the job ends as a failure after that.
  NoteFailure(kDownloadFailText, 4);
  return false;
}

DownloadResult DownloadRun::PhaseD() {
  const ReconnectGiveUp stuck = [this](bool atOpened) { return FoundStuck(atOpened); };
  // 35.
  if (ResetAndWaitForReturn(env_, line_, stuck)) {
    in_download_mode_ = false;
  } else {
    NoteFailure(kResetFailText, 5);
  }
  // In a download mode neither the NV items nor autorun can be written:
  // the way out is a repair.
  if (stuck_ != ModemAnswer::None) return EndFailed();
  // 36.
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

  // 37. NV item 22 back, with only its first 22 bytes as they were; only
  // when it could be read before.
  if (nv22_read_ && sameModem) {
    std::array<uint8_t, kNvDataSize> data = nv22_;
    std::copy(nv22_saved_.begin(), nv22_saved_.end(), data.begin());
    Tries(3, 200, [&] {
      uint16_t status = 0;
      return WriteNvItem(link_, kSavedNvItem, data, status) != 0;
    });
  }

  // 38-39. The NV restore.
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
    const std::string_view file = option == kNvLoadDefault ? doc_.line(0).settings.defaultNvFile.view()
                                                          : job_.settings.nvFile.view();
    NoteFailure(kRestoreFailText, 5, false);
    Status(Format("The NV items were not written back; they are kept in %s for an NV restore",
                  NativePath(file).c_str()));
  }

  // 40-41. Find the modem again.
  Progress(95);
  WaitForPorts(env_, line_);
  if (Reconnect(env_, line_, stuck)) in_download_mode_ = false;
  if (stuck_ != ModemAnswer::None) {
    NoteFailure(kResetFailText, 5);
    return EndFailed();
  }
  Progress(96);
  ShowPort();
  Wait(1000);

  // 42-46.
  GiveModemBack(true);

  // No success: the release stays for the next try, the line can be
  // started again.
  if (pending_) return EndFailed();

  if (repair_nv_option_) {
    // A repair ends here, the line given back with a Pass; the release
    // stays for the next modem.
    Progress(100);
    display_.JobEnd(line_, kRepairDoneText, 1);
    job_.runFlag = 0;
    return DownloadResult::Succeeded;
  }

  // 47-48.
  if (hooks_.cleanUpAfterDownload) hooks_.cleanUpAfterDownload();
  Wait(3000);
  const uint64_t seconds = (clock_.NowMs() - start_ms_) / 1000;
  Progress(100);
  Status(kDoneText);
  job_.runFlag = 0;
  // 49.
  Box(Format(kSuccessFormat, static_cast<int>(seconds / 60), static_cast<int>(seconds % 60)), kSuccessCaption,
      MessageIcon::Information);
  // 50-51.
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

DownloadResult RunDownloadFromStuckModem(JobEnvironment& env, const LineHooks& hooks, int line, RepairEntry entry,
                                         int nvOption) {
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

#include "app/line_controller.h"

#include "app/form_model.h"
#include "app/line_record.h"
#include "app/modem_hold.h"
#include "download/dmss.h"
#include "jobs/download_job.h"
#include "jobs/mode_transitions.h"
#include "jobs/nv_backup.h"
#include "jobs/port_watch.h"
#include "jobs/repair_job.h"
#include "package/embedded_release.h"
#include "package/image_checks.h"
#include "platform/files.h"
#include "ports/driver_setup.h"
#include "ports/port_discovery.h"
#include "services/diag_commands.h"
#include "util/text.h"

namespace quorrel {

LineHooks StandardLineHooks(JobEnvironment& env) {
  LineHooks hooks;
  CQuorrelDoc* doc = &env.doc;
  LineDisplay* display = &env.display;
  hooks.checkLineImages = [doc, display](int line, bool requirePhone) {
    return CheckLineImages(*doc, *display, line, requirePhone ? 1 : 0) != 0;
  };
  hooks.cleanUpAfterDownload = [doc] {
    CleanUpAfterDownload(*doc, [] { RunDriverUninstaller(); });
  };
  hooks.runDriverUninstaller = [] { RunDriverUninstaller(); };
  hooks.installUsbDriver = [doc, display](int line, const std::function<bool()>& stopRequested) {
    InstallUsbDriver(*doc, *display, line, stopRequested);
  };
  hooks.holdModem = ModemManagerHold(env, false);
  return hooks;
}

LineHooks StationLineHooks(LineHooks hooks) {
  hooks.closeMainWindow = nullptr;
  hooks.endProcess = nullptr;
  hooks.cleanUpAfterDownload = nullptr;
  hooks.runDriverUninstaller = nullptr;
  return hooks;
}

JobEnvironment StandardJobEnvironment(CQuorrelDoc& doc, LineDisplay& display) {
  CQuorrelDoc* d = &doc;
  LineDisplay* v = &display;
  return JobEnvironment{
      doc,
      display,
      [d](int line) { return DiscoverLinePorts(*d, line) != 0; },
      [d, v](int line) { ShowLinePort(*d, *v, line); },
      [d, v](int line) { ShowLineVersion(*d, *v, line); },
      std::nullopt,
      [d](int line) { return DiscoverLinePorts(*d, line) != 0; },
  };
}

namespace {

thread_local int this_thread_line = -1;

// Names the line of the calling thread while it lives.
class ThreadLine {
 public:
  explicit ThreadLine(int line) : previous_(this_thread_line) { this_thread_line = line; }
  ~ThreadLine() { this_thread_line = previous_; }
  ThreadLine(const ThreadLine&) = delete;
  ThreadLine& operator=(const ThreadLine&) = delete;

 private:
  int previous_;
};

}  // namespace

int LineOfThisThread() {
  return this_thread_line;
}

namespace {

// What a line's job last said, for its record.
struct JobNote {
  std::optional<EndKind> endKind;
  const std::string_view* status = nullptr;
  const std::string_view* box = nullptr;
};
using JobNoter = std::function<void(int line, const JobNote& note)>;

// Forwards everything to the front end's display; a thread inside one of its
// modal dialogs counts as waiting for the user. The job's end kind, status
// lines and boxes are noted for its record.
class DialogMarkingDisplay final : public LineDisplay {
 public:
  DialogMarkingDisplay(LineDisplay& inner, JobNoter noter)
      : inner_(inner), noter_(std::move(noter)) {}

  void ShowStatus(int line, int kind) override { inner_.ShowStatus(line, kind); }
  void SetProgress(int line, int percent) override { inner_.SetProgress(line, percent); }
  void UpdateControls(int line, bool startEnabled) override {
    inner_.UpdateControls(line, startEnabled);
  }
  void FinishDisplay(int line, EndKind endKind, bool downloadMode) override {
    inner_.FinishDisplay(line, endKind, downloadMode);
  }
  void StatusLine(int line, std::string_view text, bool withTimeStamp) override {
    JobNote note;
    note.status = &text;
    noter_(line, note);
    inner_.StatusLine(line, text, withTimeStamp);
  }
  void JobEnd(int line, std::string_view text, EndKind endKind) override {
    JobNote note;
    note.endKind = endKind;
    noter_(line, note);
    inner_.JobEnd(line, text, endKind);
  }
  void ClearLogText(int line) override { inner_.ClearLogText(line); }
  void AppendLogText(int line, std::string_view text) override { inner_.AppendLogText(line, text); }
  std::string LogText(int line) const override { return inner_.LogText(line); }
  void SetPortText(int line, std::string_view text) override { inner_.SetPortText(line, text); }
  void SetVersionText(int line, std::string_view text) override {
    inner_.SetVersionText(line, text);
  }
  void SetControlText(int id, std::string_view text) override { inner_.SetControlText(id, text); }
  void EnableControl(int id, bool enabled) override { inner_.EnableControl(id, enabled); }

  // After a shutdown the controller may be gone when the dialog returns: the
  // answer is taken from the front end before the wait ends, and leaving the
  // wait parks the thread (SuspendGate::Held) without touching this object.
  MessageResult MessageBox(const MessageBoxRequest& request) override {
    JobNote note;
    const std::string_view text = request.text;
    note.box = &text;
    noter_(LineOfThisThread(), note);
    LineDisplay& inner = inner_;
    SuspendGate::Held held;
    return inner.MessageBox(request);
  }
  std::optional<std::string> BrowseForFolder(std::string_view title) override {
    LineDisplay& inner = inner_;
    SuspendGate::Held held;
    return inner.BrowseForFolder(title);
  }

 private:
  LineDisplay& inner_;
  JobNoter noter_;
};

}  // namespace

LineController::LineController(JobEnvironment& env, LineHooks hooks)
    : env_(env),
      thread_display_(std::make_unique<DialogMarkingDisplay>(
          env.display,
          [this](int line, const JobNote& note) {
            if (line < 0 || line >= kLineCount) return;
            std::lock_guard<std::mutex> lock(mutex_);
            LineThreads& t = lines_[static_cast<size_t>(line)];
            if (note.endKind) t.endKind = note.endKind;
            if (note.status != nullptr) t.lastStatus = *note.status;
            if (note.box != nullptr) t.lastBox = *note.box;
          })),
      thread_env_{env.doc,
                  *thread_display_,
                  env.discoverLinePorts,
                  env.showLinePort,
                  env.showLineVersion,
                  env.portWaitLimitMs,
                  env.refreshLinePorts},
      hooks_(std::move(hooks)) {
  // A port wait has no bound; it gives up when the controller goes.
  thread_env_.discoverLinePorts = [this, inner = env.discoverLinePorts](int line) {
    if (Quitting()) throw LineThreadQuit{};
    bool found = inner && inner(line);
    if (FreeLineOfGoneModem(line, found)) found = inner && inner(line);
    if (Quitting()) throw LineThreadQuit{};
    return found;
  };
  thread_env_.refreshLinePorts = [this, inner = env.refreshLinePorts](int line) {
    if (Quitting()) throw LineThreadQuit{};
    return inner && inner(line);
  };
  // A download that ends the process keeps its record first.
  if (hooks_.endProcess) {
    hooks_.endProcess = [this, end = std::move(hooks_.endProcess)](int code) {
      const int line = LineOfThisThread();
      if (line >= 0) KeepRecord(line, JobOutcome::Succeeded, thread_env_.doc.line(line).Binding());
      end(code);
    };
  }
  // A port whose modem went away under it opens again where the modem is.
  for (int line = 0; line < kLineCount; ++line) FollowModem(thread_env_, line);
}

LineController::~LineController() {
  Shutdown();
  for (int line = 0; line < kLineCount; ++line) {
    thread_env_.doc.link(line).Port().SetReopener({});
    thread_env_.doc.at(line).port.SetReopener({});
  }
}

void LineController::Shutdown() {
  quitting_ = true;
  SuspendAll();
  // Collect every thread the controller started; nothing starts new ones now.
  std::vector<std::pair<std::thread, std::shared_ptr<SuspendGate>>> threads;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (LineThreads& t : lines_) {
      if (t.job.joinable()) threads.emplace_back(std::move(t.job), t.jobGate);
      for (size_t i = 0; i < t.watchThreads.size(); ++i) {
        if (t.watchThreads[i].joinable())
          threads.emplace_back(std::move(t.watchThreads[i]), t.watchGates[i]);
      }
    }
  }
  for (auto& [thread, gate] : threads) {
    if (gate->WaitUntilSettled()) {
      thread.join();
    } else {
      // Parked for good, or held by a dialog that parks it on return. Its
      // gate stays alive with it.
      thread.detach();
    }
  }
}

void LineController::AttachForm(FormModel& form) {
  form.SetPortWatchResumer([this](int line) { ResumePortWatch(line); });
  form.SetPhoneResetter([](PhoneLink& link, bool downloadMode) {
    if (downloadMode) {
      DmssReset(link);
    } else {
      ResetPhone(link);
    }
  });
}

// ---- commands ----

bool LineController::StartChecks(int line) {
  CQuorrelDoc& doc = thread_env_.doc;
  LineDisplay& display = thread_env_.display;
  LineJob& job = doc.line(line);

  // A modem stuck in the downloader or the programmer cannot tell its
  // version: a repair starts without the version read and check.
  if (job.lineMode.load() != LineMode::Repair) {
    // The version, and whether the modem is the carrier variant this
    // release is made for.
    std::string version = ReadCurrentVersion(thread_env_, line);
    if (version.size() > 5) job.phoneState = PhoneState::Answered;
    doc.SetCurrentVersionText(version);
    if (!VersionCheckPasses(version)) {
      display.MessageBox(MessageBoxRequest{kVersionMismatchText, kWarningCaption,
                                           MessageButtons::Ok, MessageIcon::Error});
      SetOutcome(line, JobOutcome::VersionRejected);
      if (hooks_.closeMainWindow) hooks_.closeMainWindow();
      return false;
    }
  }

  display.ShowStatus(line, kStatusReady);

  const int lineNumber = line + 1;
  switch (job.lineMode.load()) {
    case LineMode::Download:
    case LineMode::Repair:
      if (hooks_.checkLineImages &&
          !hooks_.checkLineImages(line, job.lineMode == LineMode::Download))
        return false;
      break;
    case LineMode::BackupNv:
    case LineMode::RestoreNv: {
      if (job.phoneState != PhoneState::Answered) return false;
      if (job.settings.nvDirectory.empty()) {
        display.Message(Format("Line%d No NV directory!", lineNumber));
        return false;
      }
      if (job.lineMode == LineMode::BackupNv) {
        // The backup writes a new file next to the old one and renames it
        // over; test that such a file can be made there, leaving an earlier
        // backup as it is.
        std::string probe;
        std::optional<File> file = File::CreateTemporary(job.settings.nvFile.str(), &probe);
        if (!file) {
          display.Message(Format("Line%d can't create or open NV file!", lineNumber));
          return false;
        }
        file->Close();
        DeleteFileAt(probe);
      }
      break;
    }
    default:
      break;
  }
  return true;
}

bool LineController::StartLine(int line) {
  if (line < 0 || line >= kLineCount || Quitting()) return false;
  CQuorrelDoc& doc = thread_env_.doc;
  LineDisplay& display = thread_env_.display;
  LineJob& job = doc.line(line);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!lines_[static_cast<size_t>(line)].jobDone) return false;
  }
  if (job.runFlag == 1) return false;
  const std::string versionBefore = job.ShownVersionText();

  // The checks talk to the phone over the line's link, which the port watch
  // uses too: park it first.
  bool watching = HasPortWatch(line);
  if (watching) SuspendPortWatch(line, true);

  // Nothing else may talk to the modem while the job does: the hold comes
  // before the checks' first request and goes with the job thread.
  std::shared_ptr<void> hold;
  if (hooks_.holdModem) {
    std::string refusal;
    if (!hooks_.holdModem(line, &hold, &refusal)) {
      display.Message(refusal);
      if (watching) ResumePortWatch(line);
      return false;
    }
  }

  ThreadLine checking(line);
  if (!StartChecks(line)) {
    hold.reset();
    if (watching) ResumePortWatch(line);
    return false;
  }

  for (int i = 0; i < kLineCount; ++i) {
    if (doc.line(i).runFlag == 0) display.UpdateControls(i, false);
  }
  // From here until the job ends the line works with this modem only,
  // wherever it is re-enumerated.
  const ModemPlace place = job.Place();
  if (!place.location.empty())
    job.SetBinding(ModemBinding{place.location, place.serial, std::nullopt});
  job.runFlag = 1;
  display.UpdateControls(line, false);
  display.ShowStatus(line, kStatusRunning);

  const LineMode mode = job.lineMode.load();
  {
    std::unique_lock<std::mutex> lock(mutex_);
    LineThreads& t = lines_[static_cast<size_t>(line)];
    if (t.job.joinable()) {
      // The line's previous job thread has returned (jobDone); collect it.
      std::thread old = std::move(t.job);
      lock.unlock();
      old.join();
      lock.lock();
    }
    hand_off_ = line;
    hand_off_taken_ = false;
    t.jobDone = false;
    t.outcome = JobOutcome::Running;
    t.record = JobRecord{};
    t.record.started = RecordTimeNow();
    t.record.versionBefore = versionBefore;
    t.nvBefore = MarkNvFile(job.settings.nvFile.str());
    t.mode = job.lineMode.load();
    t.recordKept = false;
    t.endKind.reset();
    t.lastStatus.clear();
    t.lastBox.clear();
    t.jobGate = std::make_shared<SuspendGate>();
  }
  display.SetProgress(line, 0);
  {
    std::unique_lock<std::mutex> lock(mutex_);
    LineThreads& t = lines_[static_cast<size_t>(line)];
    std::shared_ptr<SuspendGate> gate = t.jobGate;
    t.job = std::thread([this, mode, gate, hold = std::move(hold)]() mutable {
      SuspendGate::Bind bind(*gate);
      JobThreadMain(mode, std::move(hold));
    });
    // The new thread takes the hand-off field before anything else.
    changed_.wait(lock, [this] { return hand_off_taken_; });
  }

  for (int i = 0; i < kLineCount; ++i) {
    if (doc.line(i).runFlag == 0) display.UpdateControls(i, true);
  }
  return true;
}

void LineController::JobThreadMain(LineMode mode, std::shared_ptr<void> hold) {
  int line;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    line = hand_off_.load();
    hand_off_taken_ = true;
  }
  changed_.notify_all();
  ThreadLine named(line);

  JobOutcome outcome = JobOutcome::Returned;
  try {
    switch (mode) {
      case LineMode::Download:
        switch (RunDownloadJob(thread_env_, hooks_, line)) {
          case DownloadResult::Succeeded:
            outcome = JobOutcome::Succeeded;
            break;
          case DownloadResult::Failed:
            outcome = JobOutcome::Failed;
            break;
          case DownloadResult::Stopped:
            outcome = JobOutcome::Stopped;
            break;
          case DownloadResult::VersionRejected:
            outcome = JobOutcome::VersionRejected;
            break;
          case DownloadResult::ModemLost:
            outcome = JobOutcome::ModemLost;
            break;
          case DownloadResult::OtherModem:
            outcome = JobOutcome::OtherModem;
            break;
        }
        break;
      case LineMode::BackupNv:
        RunNvBackupJob(thread_env_, line);
        break;
      case LineMode::RestoreNv:
        if (RunNvRestoreJob(thread_env_, line) == NvRestoreResult::OtherModem)
          outcome = JobOutcome::OtherModem;
        break;
      case LineMode::Repair:
        switch (RunRepairJob(thread_env_, hooks_, line)) {
          case RepairResult::Repaired:
            outcome = JobOutcome::Succeeded;
            break;
          case RepairResult::NotStuck:
          case RepairResult::NoBackup:
            outcome = JobOutcome::NotStarted;
            break;
          case RepairResult::Stopped:
            outcome = JobOutcome::Stopped;
            break;
          case RepairResult::ModemLost:
            outcome = JobOutcome::ModemLost;
            break;
          case RepairResult::OtherModem:
            outcome = JobOutcome::OtherModem;
            break;
          case RepairResult::Failed:
          case RepairResult::NoAnswer:
            outcome = JobOutcome::Failed;
            break;
        }
        break;
      default: {
        // No such mode: give the line back at once.
        LineDisplay& display = thread_env_.display;
        thread_env_.doc.line(line).runFlag = 0;
        display.ShowStatus(line, kStatusReady);
        display.UpdateControls(line, true);
        ResumePortWatch(line);
        break;
      }
    }
  } catch (const LineThreadQuit&) {
    outcome = JobOutcome::Stopped;
  } catch (...) {
    // Whatever a job throws, the modem hold goes before the thread does.
    hold.reset();
    throw;
  }
  // Given back before the job counts as done, so that whoever waits for the
  // job finds the modem free; the line may take another modem from now on.
  hold.reset();
  if (end_line_jobs_only_ && mode == LineMode::Download &&
      (outcome == JobOutcome::Succeeded || outcome == JobOutcome::VersionRejected)) {
    // The job's box has been answered; the other lines go on.
    LineDisplay& display = thread_env_.display;
    thread_env_.doc.line(line).runFlag = 0;
    display.ShowStatus(line, outcome == JobOutcome::Succeeded ? kStatusPass : kStatusFail);
    display.UpdateControls(line, true);
    ResumePortWatch(line);
  }
  const ModemBinding binding = thread_env_.doc.line(line).Binding();
  KeepRecord(line, outcome, binding);
  if (!keep_binding_) thread_env_.doc.line(line).ClearBinding();

  {
    std::lock_guard<std::mutex> lock(mutex_);
    LineThreads& t = lines_[static_cast<size_t>(line)];
    t.outcome = outcome;
    t.lastBinding = binding;
    t.sleptMs = Clock::ThreadRequestedSleepMs();
    t.endedAt = std::chrono::steady_clock::now();
    t.jobDone = true;
  }
  changed_.notify_all();
}

bool LineController::FreeLineOfGoneModem(int line, bool found) {
  // A modem restarting after its job is away for well under this many of
  // the port watch's looks (one a second). Looks, not the clock: they are
  // the watch's own, whatever else runs.
  constexpr int kRestartAwayLooks = 60;
  if (!free_gone_ || line < 0 || line >= kLineCount) return false;
  LineJob& job = thread_env_.doc.line(line);
  std::lock_guard<std::mutex> lock(mutex_);
  LineThreads& t = lines_[static_cast<size_t>(line)];
  // While a job runs (or starts) its binding is its own.
  if (!t.jobDone || job.runFlag == 1 || !job.Binding().Bound() || found) {
    t.boundAwayLooks = 0;
    return false;
  }
  const bool otherModem = !job.Place().takenBy.empty();
  if (!otherModem && ++t.boundAwayLooks < kRestartAwayLooks) return false;
  t.boundAwayLooks = 0;
  job.ClearBinding();
  return true;
}

void LineController::KeepRecord(int line, JobOutcome outcome, const ModemBinding& binding) {
  if (!keep_records_) return;
  JobRecord record;
  NvFileMark nvBefore;
  LineMode mode;
  std::optional<EndKind> endKind;
  std::string status, box;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    LineThreads& t = lines_[static_cast<size_t>(line)];
    if (t.recordKept) return;
    t.recordKept = true;
    record = t.record;
    nvBefore = t.nvBefore;
    mode = t.mode;
    endKind = t.endKind;
    status = t.lastStatus;
    box = t.lastBox;
  }
  const int code = JobExitCode(outcome, endKind);
  (void)KeepLineRecord(record, nvBefore, thread_env_.doc, binding, line, mode, code,
                       JobEndReason(outcome, code, status, box), nullptr);
}

void LineController::StopLine(int line) {
  if (line < 0 || line >= kLineCount) return;
  thread_env_.doc.line(line).runFlag = 0;
}

void LineController::StartAll() {
  CQuorrelDoc& doc = thread_env_.doc;
  for (int line = 0; line < kLineCount; ++line) {
    LineJob& job = doc.line(line);
    if (job.settings.diagPort > 0 && job.runFlag == 0) {
      StartLine(line);
      thread_env_.clock().Sleep(100);
    }
  }
}

void LineController::StopAll() {
  for (int line = 0; line < kLineCount; ++line) StopLine(line);
}

// ---- port watch ----

void LineController::StartPortWatch(int line) {
  if (line < 0 || line >= kLineCount || Quitting()) return;
  // The line's earlier watch is suspended for good; the new one starts only
  // once it has stopped touching the line.
  if (std::shared_ptr<SuspendGate> old = CurrentWatchGate(line)) {
    old->Suspend();
    old->WaitUntilParked();
  }
  std::lock_guard<std::mutex> lock(mutex_);
  LineThreads& t = lines_[static_cast<size_t>(line)];
  current_line_ = line;
  auto gate = std::make_shared<SuspendGate>();
  t.watchGates.push_back(gate);
  t.watchThreads.emplace_back([this, line, gate] { PortWatchMain(line, gate); });
}

void LineController::PortWatchMain(int line, std::shared_ptr<SuspendGate> gate) {
  SuspendGate::Bind bind(*gate);
  ThreadLine named(line);
  PortWatchHooks hooks;
  hooks.installUsbDriver = hooks_.installUsbDriver;
  hooks.quit = [this] { return Quitting(); };
  try {
    PortWatchThread(thread_env_, line, hooks);
  } catch (const LineThreadQuit&) {
  }
}

std::shared_ptr<SuspendGate> LineController::CurrentWatchGate(int line) const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (line < 0 || line >= kLineCount) return nullptr;
  const LineThreads& t = lines_[static_cast<size_t>(line)];
  return t.watchGates.empty() ? nullptr : t.watchGates.back();
}

void LineController::SuspendPortWatch(int line, bool wait) {
  std::shared_ptr<SuspendGate> gate = CurrentWatchGate(line);
  if (!gate) return;
  gate->Suspend();
  if (wait) gate->WaitUntilParked();
}

void LineController::ResumePortWatch(int line) {
  if (std::shared_ptr<SuspendGate> gate = CurrentWatchGate(line)) gate->Resume();
}

bool LineController::HasPortWatch(int line) const {
  return CurrentWatchGate(line) != nullptr;
}

void LineController::SuspendAll() {
  std::lock_guard<std::mutex> lock(mutex_);
  for (LineThreads& t : lines_) {
    for (auto& gate : t.watchGates) gate->Suspend();
    if (t.jobGate) t.jobGate->Suspend();
  }
}

// ---- waiting ----

bool LineController::JobRunning(int line) const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (line < 0 || line >= kLineCount) return false;
  return !lines_[static_cast<size_t>(line)].jobDone;
}

bool LineController::WaitForJob(int line, std::chrono::milliseconds timeout) {
  if (line < 0 || line >= kLineCount) return true;
  std::unique_lock<std::mutex> lock(mutex_);
  auto done = [&] { return lines_[static_cast<size_t>(line)].jobDone; };
  if (timeout == std::chrono::milliseconds::max()) {
    changed_.wait(lock, done);
    return true;
  }
  return changed_.wait_for(lock, timeout, done);
}

ModemBinding LineController::LastBinding(int line) const {
  if (line < 0 || line >= kLineCount) return {};
  std::lock_guard<std::mutex> lock(mutex_);
  return lines_[static_cast<size_t>(line)].lastBinding;
}

std::chrono::steady_clock::time_point LineController::LastJobEnd(int line) const {
  if (line < 0 || line >= kLineCount) return {};
  std::lock_guard<std::mutex> lock(mutex_);
  return lines_[static_cast<size_t>(line)].endedAt;
}

uint64_t LineController::LastJobSleepMs(int line) const {
  if (line < 0 || line >= kLineCount) return 0;
  std::lock_guard<std::mutex> lock(mutex_);
  return lines_[static_cast<size_t>(line)].sleptMs;
}

JobOutcome LineController::LastOutcome(int line) const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (line < 0 || line >= kLineCount) return JobOutcome::None;
  return lines_[static_cast<size_t>(line)].outcome;
}

void LineController::SetOutcome(int line, JobOutcome outcome) {
  std::lock_guard<std::mutex> lock(mutex_);
  lines_[static_cast<size_t>(line)].outcome = outcome;
}

}  // namespace quorrel

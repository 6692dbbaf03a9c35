// The line threads and the commands that drive them, without a toolkit: per
// line a job thread and a port-watch thread, the hand-off field that tells a
// starting job thread its line, the start and stop commands, "all start" and
// "全部停止", and the worker of each line mode (1 download, 2 repair, 3 back
// up NV, 4 restore NV).
//
// Threads are std::threads that are never killed. Each binds its own
// SuspendGate, so suspending one is cooperative: it parks at its next sleep or
// exchange and goes on from there when resumed. The line's run flag is the
// stop request. A front end (the window, quorrel-cli, a test) owns one
// controller, calls the commands on its user-interface thread and supplies
// the hooks through which a job closes the main window or ends the process.
//
// Destroying the controller (or Shutdown) parks its threads, as the view's
// shutdown suspends them: each stops at its next sleep or exchange and is
// never resumed, so no download carries on behind a closing program. A
// thread waiting for the modem's ports gives up at its next poll and ends.
// Nothing waits for a thread that is waiting for the user in a message box.
// Threads that ended are joined; parked ones are let go and stay parked
// until the process ends.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "app/job_record.h"
#include "jobs/job_environment.h"

namespace quorrel {

class FormModel;

// The hooks of the package and driver steps wired to the program's own
// (CheckLineImages, CleanUpAfterDownload, RunDriverUninstaller,
// InstallUsbDriver, ModemManagerHold refusing when ModemManager refuses);
// closeMainWindow and endProcess stay empty.
LineHooks StandardLineHooks(JobEnvironment& env);

// A station's hooks: no job's end closes the main window or ends the
// process, and the written-out release and the USB driver stay for the
// other lines (they go when the program does).
LineHooks StationLineHooks(LineHooks hooks);

// The environment of the program's own port handling over a document and a
// display: discovery in the registry, the port and version displays.
JobEnvironment StandardJobEnvironment(CQuorrelDoc& doc, LineDisplay& display);

// How the last job of a line ended, as far as the controller saw it.
enum class JobOutcome {
  None,  // no job ran yet
  Running,
  Succeeded,        // download: success reported and the process asked to end;
                    // repair: the modem flashed and back in its firmware
  Failed,           // ended through the job end or a failure box
  Stopped,          // stop request noticed
  VersionRejected,  // the version check failed; the main window was closed
  ModemLost,        // download: the modem's ports did not come back in time
  Returned,         // an NV task (its end kind tells pass or fail)
  NotStarted,       // repair: refused before anything was written (the modem is
                    // not stuck, or there is no NV backup to write back)
  OtherModem,       // download, repair, NV restore: the modem attached is not the
                    // one whose NV items were to be written back; none was written
};

class LineController {
 public:
  // env.doc, env.display and the hooks must outlive the controller.
  LineController(JobEnvironment& env, LineHooks hooks);
  ~LineController();
  LineController(const LineController&) = delete;
  LineController& operator=(const LineController&) = delete;

  // Lets a form model resume the port watch at a job's end and restart the
  // phone (downloader reset in download mode, diagnostic reset otherwise).
  void AttachForm(FormModel& form);

  // ---- commands, on the user-interface thread ----
  // The start button of a line (0-7): the checks, then the job thread of the
  // line's mode. Returns true when a job thread was started.
  bool StartLine(int line);
  // The stop button: clears the run flag (the job looks at it when it can).
  void StopLine(int line);
  // "all start": every line with a diagnostic port and run flag 0, in line
  // order, 100 ms apart.
  void StartAll();
  // "全部停止": clears every run flag.
  void StopAll();

  // ---- port watch ----
  // Starts the port-watch thread of a line; a thread the line had before is
  // suspended for good. The line becomes the form's current line.
  void StartPortWatch(int line);
  // Suspends the line's port-watch thread; with wait, returns once it parked.
  void SuspendPortWatch(int line, bool wait = false);
  void ResumePortWatch(int line);
  bool HasPortWatch(int line) const;
  // The line whose port-watch thread was started last (-1: none).
  int CurrentLine() const { return current_line_.load(); }

  // View shutdown: suspends every port-watch and job thread.
  void SuspendAll();
  // Ends the controller's work for good: suspends every thread and returns
  // once each has parked, ended, or waits for the user in a box. No command
  // starts anything afterwards. The destructor does it too.
  void Shutdown();

  // ---- waiting, for the command-line front end and tests ----
  // True while the line's job thread has not returned.
  bool JobRunning(int line) const;
  // Blocks until the line's current job thread has returned (at once when
  // none runs). False when the timeout passed first.
  bool WaitForJob(int line, std::chrono::milliseconds timeout = std::chrono::milliseconds::max());
  JobOutcome LastOutcome(int line) const;
  // The modem the line's last job was bound to (its place, serial and ESN
  // as the job learnt them); unbound before any job ended.
  ModemBinding LastBinding(int line) const;
  // What the line's last job thread slept, in its clock's milliseconds (the
  // floor of the job's time).
  uint64_t LastJobSleepMs(int line) const;
  // When the line's last job thread returned.
  std::chrono::steady_clock::time_point LastJobEnd(int line) const;

  // With keep set, a line stays bound to its modem when its job ends (a
  // station keeps the line for the modem until it is unplugged, through
  // the restart at the job's end); the front end then clears the binding
  // itself. Off by default: the line is free for any modem.
  void KeepBindingAfterJob(bool keep) { keep_binding_ = keep; }
  // With keep set (a station window), the line's port watch clears the
  // binding kept after a job itself: when another modem (another serial
  // number) is in the bound modem's place, the line takes it; when the
  // modem stays away for longer than a restart takes, the line is free for
  // any modem.
  void FreeLinesOfGoneModems(bool on) { free_gone_ = on; }
  // A station window's line handling: a job's end ends only its line, and a
  // modem keeps its line through the restart after its job until it is
  // gone (EndLineJobsOnly, KeepBindingAfterJob, FreeLinesOfGoneModems).
  void ServeAsStation() {
    EndLineJobsOnly(true);
    KeepBindingAfterJob(true);
    FreeLinesOfGoneModems(true);
  }

  // With keep set, every job that ends, on any line and in any mode, leaves
  // its record (results.jsonl, the journal under systemd), kept on its job
  // thread before the job counts as done; a download that ends the process
  // keeps it before the process ends. Off by default: quorrel-cli keeps the
  // records of its jobs itself.
  void KeepRecords(bool keep) { keep_records_ = keep; }
  // With set, no job's end ends the program (a station window, whose other
  // lines go on; the front end leaves endProcess and closeMainWindow empty):
  // a download that succeeded, or that found another version, ends its
  // line's job as any other end does. The line shows its pass or failure,
  // gets its controls back and watches for its modem again. Off by default:
  // the line stays as the success left it, for a program about to end.
  void EndLineJobsOnly(bool on) { end_line_jobs_only_ = on; }

  // The environment the line threads work with (discovery wrapped so that a
  // port wait gives up when the controller is destroyed).
  JobEnvironment& env() { return thread_env_; }
  const LineHooks& hooks() const { return hooks_; }

 private:
  // The gate of the line's current port-watch thread; nullptr when it has none.
  std::shared_ptr<SuspendGate> CurrentWatchGate(int line) const;
  void JobThreadMain(LineMode mode, std::shared_ptr<void> hold);
  void PortWatchMain(int line, std::shared_ptr<SuspendGate> gate);
  bool StartChecks(int line);
  // After a look for the line's modem between jobs: clears a binding kept
  // after a job once its modem is gone (FreeLinesOfGoneModems). True when
  // the binding was cleared and the line should look again.
  bool FreeLineOfGoneModem(int line, bool found);
  void SetOutcome(int line, JobOutcome outcome);
  // Keeps the record of the line's job that ended (once per job).
  void KeepRecord(int line, JobOutcome outcome, const ModemBinding& binding);
  bool Quitting() const { return quitting_.load(); }

  JobEnvironment& env_;
  // The front end's display as the line threads see it: their modal dialogs
  // are marked as waits for the user (SuspendGate::Held).
  std::unique_ptr<LineDisplay> thread_display_;
  JobEnvironment thread_env_;
  LineHooks hooks_;

  struct LineThreads {
    // The job thread of the line's last start and its gate.
    std::thread job;
    std::shared_ptr<SuspendGate> jobGate;
    bool jobDone = true;
    JobOutcome outcome = JobOutcome::None;
    ModemBinding lastBinding;
    uint64_t sleptMs = 0;
    std::chrono::steady_clock::time_point endedAt;
    // What the job's record needs from its start, and whether it was kept.
    JobRecord record;
    NvFileMark nvBefore;
    LineMode mode = LineMode::Download;
    bool recordKept = true;
    // What the line's job last said: its end kind, status line and box.
    std::optional<EndKind> endKind;
    std::string lastStatus;
    std::string lastBox;
    // Port-watch threads: the last one is the line's; earlier ones stay
    // suspended until the controller goes.
    std::vector<std::thread> watchThreads;
    std::vector<std::shared_ptr<SuspendGate>> watchGates;
    // How many looks in a row found the modem of a binding kept after a job
    // away.
    int boundAwayLooks = 0;
  };

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::array<LineThreads, kLineCount> lines_;
  std::atomic<int> current_line_{-1};
  std::atomic<bool> quitting_{false};
  std::atomic<bool> keep_binding_{false};
  std::atomic<bool> keep_records_{false};
  std::atomic<bool> free_gone_{false};
  std::atomic<bool> end_line_jobs_only_{false};

  // The hand-off field: the line whose job thread is starting. The new
  // thread takes it and acknowledges, so that the next start cannot
  // overwrite it first.
  std::atomic<int> hand_off_{-1};
  bool hand_off_taken_ = false;
};

// The line (0-7) whose job or port-watch thread calls, or whose start
// checks run on the calling thread; -1 elsewhere. Lets a display shared by
// every line tell which line a message box comes from.
int LineOfThisThread();

// Thrown inside a line thread when the controller is going away, to leave a
// wait that has no bound. Caught at the top of the thread.
struct LineThreadQuit {};

}  // namespace quorrel

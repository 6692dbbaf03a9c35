#include "cli/station.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "app/job_record.h"
#include "app/line_controller.h"
#include "app/modem_hold.h"
#include "app/station_file.h"
#include "cli/commands.h"
#include "cli/session.h"
#include "cli/station_display.h"
#include "jobs/mode_transitions.h"
#include "jobs/usb_probe.h"
#include "lines/line_assignment.h"
#include "package/embedded_release.h"
#include "platform/files.h"
#include "platform/modem_manager.h"
#include "platform/termination.h"
#include "platform/usb_bridge.h"
#include "platform/user_folders.h"
#include "ports/driver_setup.h"
#include "ports/port_discovery.h"

namespace quorrel::cli {

namespace {

// How often the station looks at its lines (job clock).
constexpr uint64_t kLookMs = 500;
// A line keeps a modem whose job ended through the restart the job ends
// with: while it is away for up to this long (job clock; a slow modem
// reboots in a minute) it is taken to be restarting, unless it was seen back
// since or another modem (another serial number) came in its place.
constexpr uint64_t kRestartAwayMs = 120'000;
// With --once, a modem attached that does not answer within this long (job
// clock; --wait-seconds where given) is reported as failed.
constexpr uint64_t kOnceAnswerWaitMs = 120'000;

enum class Phase {
  Empty,    // no modem, or one not answering yet
  Running,  // the line's job runs
  Done,     // the job ended; waiting for the modem to be unplugged
};

struct LineState {
  Phase phase = Phase::Empty;
  // Empty: the place the station last showed for the line and since when a
  // modem is there.
  std::string shownPlace;
  std::optional<uint64_t> foundAtMs;
  uint64_t versionsAtIdle = 0;
  // Running: what the record needs from the start.
  JobRecord record;
  NvFileMark nvBefore;
  std::chrono::steady_clock::time_point startedAt;
  uint64_t checkSleepsMs = 0;  // what the start checks slept (this thread)
  // Done: the modem the job was bound to; whether it went away since the
  // job's end (the restart the job ends with) and came back answering; since
  // when it is away.
  ModemBinding binding;
  bool restarted = false;
  uint64_t versionsAtReturn = 0;
  bool seenBack = false;
  std::optional<uint64_t> awayFromMs;
  int code = 0;
};

// The port watch's last look found the modem answering: it holds a version
// (as the single form's ready prompt has it).
bool Answered(const LineJob& job) {
  const std::string version = job.VersionText();
  return !version.empty() && version != "NULL" && version != kNoPhoneText;
}

// Ctrl-C (SIGINT, SIGTERM): the station is asked to stop and the signal's
// thread waits until it has.
class StopRequest {
 public:
  void Request() {
    std::unique_lock<std::mutex> lock(mutex_);
    requested_ = true;
    changed_.wait(lock, [this] { return stopped_; });
  }
  bool Requested() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requested_;
  }
  void Stopped() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopped_ = true;
    }
    changed_.notify_all();
  }

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  bool requested_ = false;
  bool stopped_ = false;
};

class Station {
 public:
  Station(const Options& o, Session& session, StationDisplay& display, JobEnvironment& env,
          LineController& controller)
      : o_(o),
        clock_(*session.clock),
        doc_(*session.doc),
        display_(display),
        env_(env),
        controller_(controller),
        time_scale_(session.timeScale) {}

  // The station's loop; returns the exit code.
  int Run(StopRequest& stop);

 private:
  uint64_t Now() const { return clock_.NowMs(); }
  bool Repair() const { return o_.mode == LineMode::Repair; }
  void LookAtEmpty(int line, const std::vector<std::string>& places, bool stopping);
  void Start(int line);
  void Finish(int line);
  // A job that could not start, or a modem that never answered: recorded as
  // a job that ended with `code`.
  void RecordRefusal(int line, int code, const std::string& reason);
  void LookAtDone(int line, const std::vector<std::string>& places);
  void ToDone(int line, const ModemBinding& binding, int code);

  const Options& o_;
  Clock& clock_;
  CQuorrelDoc& doc_;
  StationDisplay& display_;
  JobEnvironment& env_;
  LineController& controller_;
  const double time_scale_;
  bool stopping_ = false;
  std::array<LineState, kLineCount> lines_{};
  std::set<std::string> served_;
  int jobs_ = 0;
  int succeeded_ = 0;
};

void Station::LookAtEmpty(int line, const std::vector<std::string>& places, bool stopping) {
  LineState& st = lines_[static_cast<size_t>(line)];
  LineJob& job = doc_.line(line);
  const std::string place = doc_.assignment().PlaceOf(line);
  const bool present =
      !place.empty() && std::find(places.begin(), places.end(), place) != places.end();
  if (!present) {
    if (!st.shownPlace.empty()) {
      display_.SetModem(line, {}, {}, std::nullopt);
      st.shownPlace.clear();
    }
    st.foundAtMs.reset();
    display_.SetState(line, "waiting for a modem");
    return;
  }
  if (place != st.shownPlace) {
    st.shownPlace = place;
    st.foundAtMs = Now();
    st.versionsAtIdle = display_.VersionsShown(line);
    display_.SetModem(line, place, job.Place().serial, std::nullopt);
  }
  if (stopping) return;
  // A stuck modem answers no phone request: a repair starts as soon as its
  // diagnostic port is there. Any other job waits for a look at the modem
  // made since it came that found it answering.
  const bool ready = Repair() ? env_.discoverLinePorts && env_.discoverLinePorts(line)
                              : Answered(job) && display_.VersionsShown(line) > st.versionsAtIdle;
  if (ready) {
    Start(line);
    return;
  }
  display_.SetState(line, "modem found, waiting for it to answer");
  const uint64_t waitMs =
      o_.waitSeconds >= 0 ? static_cast<uint64_t>(o_.waitSeconds) * 1000 : kOnceAnswerWaitMs;
  if (o_.once && st.foundAtMs && Now() - *st.foundAtMs >= waitMs) {
    st.record = JobRecord{};
    st.record.started = RecordTimeNow();
    st.nvBefore = MarkNvFile(doc_.line(line).settings.nvFile.str());
    RecordRefusal(line, kExitNoModem, "the modem did not answer");
  }
}

void Station::Start(int line) {
  LineState& st = lines_[static_cast<size_t>(line)];
  LineJob& job = doc_.line(line);
  display_.ClearJobState(line);
  st.record = JobRecord{};
  st.record.started = RecordTimeNow();
  st.record.versionBefore = job.ShownVersionText();
  st.nvBefore = MarkNvFile(job.settings.nvFile.str());
  st.startedAt = std::chrono::steady_clock::now();
  job.lineMode = o_.mode;
  const uint64_t sleptBefore = Clock::ThreadRequestedSleepMs();
  const bool started = controller_.StartLine(line);
  st.checkSleepsMs = Clock::ThreadRequestedSleepMs() - sleptBefore;
  if (started) {
    st.phase = Phase::Running;
    display_.SetState(line, "running");
    return;
  }
  // Refused by the start checks: the version, the release, the NV folder.
  const bool version = controller_.LastOutcome(line) == JobOutcome::VersionRejected;
  std::string reason =
      version ? std::string("the modem carries another version") : display_.LastBox(line);
  if (reason.empty()) reason = "the start checks failed";
  RecordRefusal(line, version ? kExitVersion : kExitNotStarted, reason);
}

void Station::RecordRefusal(int line, int code, const std::string& reason) {
  LineState& st = lines_[static_cast<size_t>(line)];
  // The place the line serves: discovery may not have found the modem's
  // ports there yet (a modem that never answered). Bound to it, the line
  // keeps the modem until it is unplugged, as after any job.
  const ModemPlace place = doc_.line(line).Place();
  ModemBinding binding{place.location, place.serial, std::nullopt};
  if (binding.location.empty() || binding.location != st.shownPlace) {
    binding = ModemBinding{st.shownPlace, {}, std::nullopt};
  }
  std::string said;
  const std::string json =
      KeepLineRecord(st.record, st.nvBefore, doc_, binding, line, o_.mode, code, reason, &said);
  display_.Say("line " + std::to_string(line + 1) + ": " + said);
  display_.Result(line, code, reason, json);
  ++jobs_;
  doc_.line(line).SetBinding(binding);
  ToDone(line, binding, code);
}

void Station::Finish(int line) {
  LineState& st = lines_[static_cast<size_t>(line)];
  // A download that succeeded ends without the job end that resumes the
  // line's port watch (the program would end there): the station goes on
  // watching the modem through its restart.
  controller_.ResumePortWatch(line);
  const JobOutcome outcome = controller_.LastOutcome(line);
  const int code = JobExitCode(outcome, display_.LastEndKind(line));
  std::string reason =
      JobEndReason(outcome, code, display_.LastStatus(line), display_.LastBox(line));
  if (code != kExitOk && stopping_) reason = "stopped (Ctrl-C): " + reason;
  const ModemBinding binding = controller_.LastBinding(line);
  std::string said;
  const std::string json =
      KeepLineRecord(st.record, st.nvBefore, doc_, binding, line, o_.mode, code, reason, &said);
  display_.Say("line " + std::to_string(line + 1) + ": " + said);
  display_.SetModem(line, st.record.usbPath, st.record.usbSerial, binding.esn);
  StationDisplay::JobTimes times;
  // From the start checks to the job thread's return, against every sleep
  // the two asked for.
  times.wallMs = static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                           controller_.LastJobEnd(line) - st.startedAt)
                                           .count());
  times.floorMs = static_cast<uint64_t>(
      static_cast<double>(controller_.LastJobSleepMs(line) + st.checkSleepsMs) * time_scale_);
  display_.Result(line, code, reason, json, times);
  ++jobs_;
  if (code == kExitOk) ++succeeded_;
  ToDone(line, binding, code);
}

void Station::ToDone(int line, const ModemBinding& binding, int code) {
  LineState& st = lines_[static_cast<size_t>(line)];
  st.phase = Phase::Done;
  st.binding = binding;
  st.restarted = false;
  st.seenBack = false;
  st.awayFromMs.reset();
  st.code = code;
  if (!binding.location.empty()) served_.insert(binding.location);
  if (!st.shownPlace.empty()) served_.insert(st.shownPlace);
  // A modem flashed is unplugged once it is back from its restart; one that
  // failed may never come back as it was.
  display_.SetState(line,
                    code == kExitOk ? "done: the modem restarts" : "failed: unplug the modem");
}

void Station::LookAtDone(int line, const std::vector<std::string>& places) {
  LineState& st = lines_[static_cast<size_t>(line)];
  LineJob& job = doc_.line(line);
  const std::string& place = st.binding.location;
  const bool present =
      !place.empty() && std::find(places.begin(), places.end(), place) != places.end();
  bool gone = place.empty();
  if (!job.Place().takenBy.empty()) {
    // Another modem (another serial number) in the place of the one done.
    gone = true;
  } else if (present) {
    // Back from the restart; it counts as back once a look at it made
    // since then found it answering. Until it went away once, it may still
    // be on its way into the restart.
    if (st.awayFromMs) {
      st.awayFromMs.reset();
      st.restarted = true;
      st.versionsAtReturn = display_.VersionsShown(line);
    }
    if (!st.seenBack && st.restarted &&
        (Repair() || (Answered(job) && display_.VersionsShown(line) > st.versionsAtReturn))) {
      st.seenBack = true;
      if (st.code == kExitOk) display_.SetState(line, "done: unplug the modem");
    }
  } else {
    if (!st.awayFromMs) st.awayFromMs = Now();
    // Away after it was seen back, or away for longer than a restart takes.
    if (st.seenBack || Now() - *st.awayFromMs >= kRestartAwayMs) gone = true;
  }
  if (!gone) return;
  job.ClearBinding();
  st = LineState{};
  st.versionsAtIdle = display_.VersionsShown(line);
  display_.SetModem(line, {}, {}, std::nullopt);
  display_.SetState(line, "waiting for a modem");
}

int Station::Run(StopRequest& stop) {
  (void)PollUsbBridge();
  const std::vector<std::string> initial = ListedModemPlaces();
  const uint64_t startMs = Now();
  bool stopSent = false;
  for (;;) {
    const bool stopping = stop.Requested();
    if (stopping && !stopSent) {
      // As the window's stop: every running job stops at its next safe
      // point and gives its modem back; nothing new starts.
      display_.Say("stopping: no new job starts; running jobs stop at their next safe point");
      controller_.StopAll();
      stopSent = true;
      stopping_ = true;
    }
    // The port watches poll the bridge; a repair station has none.
    if (Repair()) (void)PollUsbBridge();
    const std::vector<std::string> places = ListedModemPlaces();
    bool running = false;
    for (int line = 0; line < kLineCount; ++line) {
      LineState& st = lines_[static_cast<size_t>(line)];
      if (st.phase == Phase::Running && !controller_.JobRunning(line)) Finish(line);
      switch (st.phase) {
        case Phase::Empty:
          LookAtEmpty(line, places, stopping);
          break;
        case Phase::Running:
          running = true;
          break;
        case Phase::Done:
          LookAtDone(line, places);
          break;
      }
    }
    if (stopping && !running) break;
    if (o_.once && !running) {
      const bool allServed = std::all_of(places.begin(), places.end(),
                                         [&](const std::string& p) { return served_.count(p); }) &&
                             std::all_of(initial.begin(), initial.end(),
                                         [&](const std::string& p) { return served_.count(p); });
      if (jobs_ > 0 && allServed) break;
      if (jobs_ == 0 && places.empty() && o_.waitSeconds >= 0 &&
          Now() - startMs >= static_cast<uint64_t>(o_.waitSeconds) * 1000) {
        display_.Say("no modem came");
        return kExitNoModem;
      }
    }
    clock_.Sleep(kLookMs);
  }
  const int code = jobs_ == 0 ? kExitNoModem : succeeded_ == jobs_ ? kExitOk : kExitJobFailed;
  display_.Summary(jobs_, succeeded_, code);
  return code;
}

}  // namespace

int RunStation(const Options& o) {
  // Before any thread starts: Ctrl-C stops the station cleanly, then gives
  // ModemManager its devices back.
  StopRequest stop;
  RunBeforeTerminationSignals([&stop] {
    stop.Request();
    ReleaseModemManagerInhibitions();
  });

  std::string stationError;
  std::optional<StationMap> map = LoadStationFile(o.stationFile, &stationError);
  if (!map) {
    std::fprintf(stderr, "quorrel-cli: %s\n", stationError.c_str());
    return kExitSetup;
  }

  Session session;
  if (std::optional<int> refused = OpenSession(o, session)) return *refused;
  EnableUsbProbing(*session.clock);
  CQuorrelDoc& doc = *session.doc;
  StationDisplay display(
      doc, session.folders.logBase.empty() ? session.startup : session.folders.logBase, stdout,
      ::isatty(STDOUT_FILENO) != 0, o.json);
  JobEnvironment env = StandardJobEnvironment(doc, display);
  if (o.waitSeconds >= 0) env.portWaitLimitMs = static_cast<uint64_t>(o.waitSeconds) * 1000;

  // A job's end neither closes a window nor ends the process here, and the
  // release stays for the next modem.
  LineHooks hooks = StationLineHooks(StandardLineHooks(env));
  if (o.ignoreModemManager) hooks.holdModem = ModemManagerHold(env, true);

  if (std::optional<int> refused = PrepareLines(o, session, display, env)) return *refused;
  // The release written out is every line's.
  if (session.embedded) {
    for (int line = 1; line < kLineCount; ++line) PointAtExtractedRelease(doc, line);
  }
  display.Say("NV folder: " + doc.line(0).settings.nvDirectory.str());
  doc.assignment().Enable(*map);
  for (int line = 0; line < kLineCount; ++line) doc.line(line).lineMode = o.mode;

  int code;
  {
    LineController controller(env, hooks);
    controller.AttachForm(display);
    controller.KeepBindingAfterJob(true);
    // A stuck modem answers no phone request: a repair station looks for
    // diagnostic ports only, with no port watch asking the phone.
    if (o.mode != LineMode::Repair) {
      for (int line = 0; line < kLineCount; ++line) controller.StartPortWatch(line);
    }
    Station station(o, session, display, env, controller);
    code = station.Run(stop);
    if (session.embedded) CleanUpOnDestroy(doc, [] { RunDriverUninstaller(); });
    std::fflush(stdout);
    if (session.traceFile != nullptr) std::fflush(session.traceFile);
    stop.Stopped();
    // Stopped by a signal: its thread ends the process by that signal, as
    // the parent expects of Ctrl-C.
    while (stop.Requested()) std::this_thread::sleep_for(std::chrono::hours(1));
    // The line threads are never awaited (a port watch may sit in a wait):
    // the process ends here.
    std::_Exit(code);
  }
}

}  // namespace quorrel::cli

// quorrel-cli: the line jobs without a window. It writes out the release as
// the program does at start-up (or takes a release folder), watches line 1's
// ports until a modem answers, starts the job as the start button would and
// prints what the form would show. Exit code 0 on success; otherwise the
// reason is printed and the code says where it failed.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/job_record.h"
#include "app/line_controller.h"
#include "app/modem_hold.h"
#include "cli/cli_display.h"
#include "cli/cli_options.h"
#include "cli/commands.h"
#include "cli/session.h"
#include "cli/station.h"
#include "cli/trace.h"
#include "cli/usb_list.h"
#include "jobs/nv_backup.h"
#include "jobs/usb_probe.h"
#include "lines/document.h"
#include "package/embedded_release.h"
#include "package/image_checks.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "platform/modem_manager.h"
#include "platform/named_mutex.h"
#include "platform/paths.h"
#include "platform/termination.h"
#include "platform/usb_bridge.h"
#include "platform/user_folders.h"
#include "ports/driver_setup.h"
#include "release/embedded_resources.h"

namespace quorrel::cli {
namespace {

int Run(const Options& o) {
  // Before any thread starts: an interrupt gives ModemManager its device back
  // before the process goes.
  RunBeforeTerminationSignals([] { ReleaseModemManagerInhibitions(); });

  Session session;
  if (std::optional<int> refused = OpenSession(o, session)) return *refused;
  Clock* clock = session.clock.get();
  // A USB modem that no table line names has its ports found by probing.
  EnableUsbProbing(*clock);
  const auto wallStart = std::chrono::steady_clock::now();
  std::FILE* traceFile = session.traceFile;
  CQuorrelDoc& doc = *session.doc;
  const ProgramFolders& folders = session.folders;
  const std::string& startup = session.startup;

  CliDisplay display(doc, folders.logBase.empty() ? startup : folders.logBase, stdout,
                     ::isatty(STDOUT_FILENO) != 0);
  display.SetJson(o.json);
  JobEnvironment env = StandardJobEnvironment(doc, display);
  if (o.waitSeconds >= 0) env.portWaitLimitMs = static_cast<uint64_t>(o.waitSeconds) * 1000;

  std::optional<int> exitCode;
  bool closed = false;
  LineHooks hooks = StandardLineHooks(env);
  hooks.closeMainWindow = [&closed] { closed = true; };
  hooks.endProcess = [&exitCode](int code) { exitCode = code; };
  if (o.ignoreModemManager) hooks.holdModem = ModemManagerHold(env, true);

  if (std::optional<int> refused = PrepareLines(o, session, display, env)) return *refused;
  const bool embedded = session.embedded;
  // The folder a user must find again.
  display.Say("NV folder: " + doc.line(0).settings.nvDirectory.str());
  doc.line(0).lineMode = o.mode;

  const bool repair = o.mode == LineMode::Repair;
  if (repair) {
    if (std::optional<int> refused = RepairPreflight(doc, display)) {
      if (embedded) CleanUpOnDestroy(doc, [] { RunDriverUninstaller(); });
      std::fflush(stdout);
      std::_Exit(*refused);
    }
  }

  int code;
  std::string reason;
  JobRecord record;
  NvFileMark nvBefore;
  bool jobStarted = false;
  {
    LineController controller(env, hooks);
    controller.AttachForm(display);
    display.Say("waiting for the modem...");
    // A stuck modem answers no phone request: a repair waits only for its
    // diagnostic port, with no port watch asking the phone.
    if (!repair) controller.StartPortWatch(0);
    // The first wait is on the job's clock too.
    std::optional<std::chrono::milliseconds> readyWithin;
    if (o.waitSeconds >= 0) {
      readyWithin = std::chrono::milliseconds(
          static_cast<int64_t>(o.waitSeconds * 1000.0 * (o.timeScale > 0 ? o.timeScale : 1.0)));
    }
    const bool found =
        repair ? WaitForDiagPort(env, env.portWaitLimitMs) : display.WaitUntilReady(readyWithin);
    if (found) {
      record.started = RecordTimeNow();
      nvBefore = MarkNvFile(doc.line(0).settings.nvFile.str());
      record.versionBefore = doc.line(0).ShownVersionText();
      jobStarted = controller.StartLine(0);
    }
    if (!found) {
      code = kExitNoModem;
      reason = "no modem answered";
    } else if (!jobStarted) {
      code = closed ? kExitVersion : kExitNotStarted;
      reason = closed ? "the modem carries another version" : display.LastBox();
      if (reason.empty()) reason = "the start checks failed";
    } else {
      controller.WaitForJob(0);
      if (exitCode) {
        code = *exitCode;
      } else if (controller.LastOutcome(0) == JobOutcome::NotStarted) {
        code = kExitNotStarted;
        reason = display.LastStatus();
      } else if (controller.LastOutcome(0) == JobOutcome::OtherModem) {
        code = kExitOtherModem;
        reason = display.LastStatus();
      } else if (controller.LastOutcome(0) == JobOutcome::ModemLost) {
        code = kExitModemGone;
        reason = "modem did not come back";
      } else if (closed) {
        code = kExitVersion;
        reason = "the modem carries another version";
      } else if (o.mode != LineMode::Download && display.LastEndKind() &&
                 Passed(*display.LastEndKind())) {
        code = kExitOk;
      } else {
        code = kExitJobFailed;
        reason = display.LastStatus();
        if (reason.empty()) reason = display.LastBox();
        // A modem left stuck: the box names the way out.
        const std::string box = display.LastBox();
        if (box != reason && box.find("quorrel-cli repair") != std::string::npos)
          reason += " " + box;
      }
    }

    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count();
    const double floorMs =
        static_cast<double>(clock->RequestedSleepMs()) * (o.timeScale > 0 ? o.timeScale : 1.0);
    std::string recordJson;
    if (jobStarted) {
      std::string said;
      recordJson = KeepLineRecord(record, nvBefore, doc, controller.LastBinding(0), 0, o.mode, code,
                                  reason, &said);
      display.Say(said);
    }
    // The result comes last.
    char summary[200];
    std::snprintf(summary, sizeof summary,
                  "wall time: %.3f s; requested sleeps: %.3f s; slept %.3f s in %llu sleeps", wall,
                  floorMs / 1000.0, static_cast<double>(clock->SleptRealUs()) / 1e6,
                  static_cast<unsigned long long>(clock->SleepCount()));
    display.Say(summary);
    display.Result(code, code == kExitOk ? std::string() : reason, recordJson);
    if (embedded && (code != kExitOk || repair))
      CleanUpOnDestroy(doc, [] { RunDriverUninstaller(); });
    std::fflush(stdout);
    if (traceFile != nullptr) std::fflush(traceFile);
    // The line threads are never awaited: the process ends here, as the
    // program does after a download.
    std::_Exit(code);
  }
}

}  // namespace
}  // namespace quorrel::cli

int main(int argc, char** argv) {
  if (argc >= 2 && std::string(argv[1]) == "nv") {
    return quorrel::cli::RunNvCommand(std::vector<std::string>(argv + 2, argv + argc));
  }
  if (argc >= 2 && std::string(argv[1]) == "udev-rule") {
    return quorrel::cli::PrintUdevRule(std::vector<std::string>(argv + 2, argv + argc), stdout,
                                       stderr);
  }
  std::string error;
  std::optional<quorrel::cli::Options> options = quorrel::cli::Parse(argc, argv, &error);
  if (!options) {
    std::fprintf(stderr, "quorrel-cli: %s\n\n%s", error.c_str(), quorrel::cli::kUsage);
    return quorrel::cli::kExitUsage;
  }
  if (options->help) {
    std::fputs(quorrel::cli::kUsage, stdout);
    return 0;
  }
  if (options->noUsbBridge) quorrel::DisableUsbBridge();
  if (options->noUsbProbe) quorrel::DisableUsbProbing();
  if (!options->device.empty()) quorrel::SetUsbBridgePreferredDevice(options->device);
  if (options->station) return quorrel::cli::RunStation(*options);
  if (options->list) {
    // ModemManager gets back what it was asked to leave alone when the
    // listing is interrupted.
    quorrel::RunBeforeTerminationSignals([] { quorrel::ReleaseModemManagerInhibitions(); });
    quorrel::ScaledClock clock(options->timeScale > 0 ? options->timeScale : 1.0);
    quorrel::EnableUsbProbing(clock);
    const int code = quorrel::cli::ListUsbModems(clock, stdout, stderr);
    quorrel::ReleaseModemManagerInhibitions();
    return code;
  }
  return quorrel::cli::Run(*options);
}

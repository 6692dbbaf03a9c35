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
#include "cli/commands.h"
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

constexpr char kMutexName[] =
    "VantrelBrenlow,0x12,0xab,0x4f,0x06,0xab,0x1e,0x2c,0x8d,0x9b,0x1d,0x66";
constexpr char kMutexTaken[] =
    "Запущен Коннект менеджер. Закройте его и запустите программу обновления повторно!";

struct Options {
  LineMode mode = LineMode::Download;
  bool command = false;  // download, backup-nv, restore-nv or repair given
  std::optional<int> nvOption;
  std::string release;
  std::string nvDir;
  std::string defaultNv;
  double timeScale = 0;  // 0: real time
  std::string trace;
  int waitSeconds = -1;
  bool ignoreModemManager = false;
  bool help = false;
  bool list = false;
  std::string device;  // --device: the USB modem for line 1
  bool noUsbBridge = false;
  bool otherModem = false;  // restore-nv --other-modem
  bool json = false;        // --json: the events as JSON lines
  bool noUsbProbe = false;
};

const char kUsage[] =
    "usage: quorrel-cli COMMAND [options]\n"
    "\n"
    "Runs a line job on the modem that port discovery finds (line 1).\n"
    "\n"
    "commands:\n"
    "  download      write the release into the modem (line mode 1)\n"
    "  backup-nv     save the modem's NV items into the NV file (line mode 3)\n"
    "  restore-nv    write the NV file back into the modem (line mode 4)\n"
    "  list          the USB modems attached: line, COM numbers, ttys, VID:PID,\n"
    "                USB path, serial, name, mode, and for each port whether it\n"
    "                answered and why not; exits 5 when no modem answered\n"
    "  udev-rule [VID:PID...]\n"
    "                print a udev rule that gives the user at the seat these\n"
    "                modems (default: every modem of the modem tables) and keeps\n"
    "                ModemManager off them, for /etc/udev/rules.d\n"
    "  repair        flash a modem that a failed download left in the downloader\n"
    "                or the programmer, and write its NV backup back (line mode 2);\n"
    "                starts as soon as the diagnostic port is found\n"
    "  nv ...        NV file tools: dump, diff, import, read (quorrel-cli nv --help)\n"
    "\n"
    "options:\n"
    "  --nv-option N      0 no NV backup, 1 restore RF NV only, 2 RF NV and IMEI\n"
    "                     (default), 3 load the default NV file\n"
    "  --release DIR      the release folder (default: the embedded release,\n"
    "                     written out as at start-up)\n"
    "  --nv-dir DIR       the NV folder (ChannelN.nvm); default: the program's folder,\n"
    "                     or $XDG_DATA_HOME/quorrel/nv when that cannot be written\n"
    "  --default-nv FILE  the default NV file (option 3)\n"
    "  --other-modem      restore-nv: write the NV file (option 1 or 2) into the\n"
    "                     modem attached even when it is not the modem the file\n"
    "                     was saved from (without it such a restore is refused)\n"
    "  --time-scale F     every wait and time-out times F (for the simulator)\n"
    "  --trace FILE       every block sent and received, with time and direction, in hex\n"
    "  --json             every event (status, progress, port, version, box, message,\n"
    "                     result with the job's record) as a JSON line on stdout\n"
    "  --wait-seconds S   give up when no modem answers within S seconds at the\n"
    "                     start, or its ports do not come back within S seconds\n"
    "                     each time the job waits for them after a reset (on the\n"
    "                     job's clock: --time-scale shortens it too; default:\n"
    "                     wait without end)\n"
    "  --device PATH|SERIAL  the USB modem (port path such as 1-2, or serial\n"
    "                     number) that becomes line 1 when several are attached\n"
    "  --no-usb-bridge    do not bring USB modems in sysfs into the registry\n"
    "                     (also QUORREL_USB_BRIDGE=0)\n"
    "  --no-usb-probe     do not probe the serial ports of a USB modem that no\n"
    "                     modem table line names (also QUORREL_USB_PROBE=0)\n"
    "  --ignore-modem-manager\n"
    "                     start even when ModemManager runs and would not leave\n"
    "                     the modem alone\n"
    "\n"
    "exit codes: 0 success, 1 the job failed, 2 usage, 3 the job was not started\n"
    "            (repair: the modem is not stuck, or no whole NV backup without\n"
    "            --nv-option 0),\n"
    "            4 the modem carries another version, 5 no modem, 6 set-up failed,\n"
    "            7 the modem did not come back, 8 another modem is attached than\n"
    "            the one whose NV items were to be written back (none was written)\n";

std::optional<Options> Parse(int argc, char** argv, std::string* error) {
  Options o;
  std::vector<std::string> args(argv + 1, argv + argc);
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    auto value = [&](std::string* out) {
      if (i + 1 >= args.size()) {
        *error = a + " needs a value";
        return false;
      }
      *out = args[++i];
      return true;
    };
    std::string v;
    if (a == "-h" || a == "--help") {
      o.help = true;
    } else if (a == "download") {
      o.mode = LineMode::Download;
      o.command = true;
    } else if (a == "backup-nv") {
      o.mode = LineMode::BackupNv;
      o.command = true;
    } else if (a == "restore-nv") {
      o.mode = LineMode::RestoreNv;
      o.command = true;
    } else if (a == "list") {
      o.list = true;
    } else if (a == "--device") {
      if (!value(&o.device)) return std::nullopt;
    } else if (a == "--no-usb-bridge") {
      o.noUsbBridge = true;
    } else if (a == "--no-usb-probe") {
      o.noUsbProbe = true;
    } else if (a == "repair") {
      o.mode = LineMode::Repair;
      o.command = true;
    } else if (a == "--nv-option") {
      if (!value(&v)) return std::nullopt;
      if (v.size() != 1 || v[0] < '0' || v[0] > '3') {
        *error = "--nv-option takes 0, 1, 2 or 3";
        return std::nullopt;
      }
      o.nvOption = v[0] - '0';
    } else if (a == "--release") {
      if (!value(&o.release)) return std::nullopt;
    } else if (a == "--nv-dir") {
      if (!value(&o.nvDir)) return std::nullopt;
    } else if (a == "--default-nv") {
      if (!value(&o.defaultNv)) return std::nullopt;
    } else if (a == "--other-modem") {
      o.otherModem = true;
    } else if (a == "--json") {
      o.json = true;
    } else if (a == "--ignore-modem-manager") {
      o.ignoreModemManager = true;
    } else if (a == "--trace") {
      if (!value(&o.trace)) return std::nullopt;
    } else if (a == "--time-scale") {
      if (!value(&v)) return std::nullopt;
      char* end = nullptr;
      o.timeScale = std::strtod(v.c_str(), &end);
      if (end == v.c_str() || *end != 0 || !(o.timeScale > 0) || o.timeScale > 1000) {
        *error = "--time-scale takes a number above 0";
        return std::nullopt;
      }
    } else if (a == "--wait-seconds") {
      if (!value(&v)) return std::nullopt;
      char* end = nullptr;
      long s = std::strtol(v.c_str(), &end, 10);
      if (end == v.c_str() || *end != 0 || s < 0 || s > 86400) {
        *error = "--wait-seconds takes a whole number of seconds";
        return std::nullopt;
      }
      o.waitSeconds = static_cast<int>(s);
    } else {
      *error = "unknown argument: " + a;
      return std::nullopt;
    }
  }
  if (!o.help && !o.command && !o.list) {
    *error = "no command given";
    return std::nullopt;
  }
  if (o.otherModem && o.mode != LineMode::RestoreNv) {
    *error = "--other-modem goes with restore-nv only";
    return std::nullopt;
  }
  return o;
}

// Drops one trailing separator, as the folder choosers do.
std::string Folder(std::string dir) {
  if (dir.size() > 1 && (dir.back() == '/' || dir.back() == '\\')) dir.pop_back();
  return dir;
}

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

// The record of the job just ended, kept in the user's results.jsonl (and
// the journal under systemd).
std::string KeepRecord(JobRecord& record, std::filesystem::file_time_type startedFiles,
                       CQuorrelDoc& doc, const LineController& controller, LineMode mode, int code,
                       const std::string& reason, CliDisplay& display) {
  record.ended = RecordTimeNow();
  record.line = 1;
  record.job = JobName(mode);
  const ModemBinding binding = controller.LastBinding(0);
  const ModemPlace place = doc.line(0).Place();
  record.usbPath = !binding.location.empty() ? binding.location : place.location;
  record.usbSerial = !binding.serial.empty() ? binding.serial : place.serial;
  record.esn = binding.esn;
  record.versionAfter = doc.line(0).VersionText();
  // The line's NV file, when this job wrote it or wrote it into the modem: a
  // file left by an earlier job on another modem says nothing of this one.
  const std::string nvFile = doc.line(0).settings.nvFile.str();
  std::error_code ec;
  const auto written = std::filesystem::last_write_time(MapPath(nvFile), ec);
  if (!nvFile.empty() && !ec && (written >= startedFiles || mode == LineMode::RestoreNv)) {
    DescribeNvFile(record, nvFile);
    record.nvFile = NativePath(nvFile);
  }
  record.outcome = OutcomeName(code);
  record.exitCode = code;
  record.lastError = code == kExitOk ? std::string() : reason;
  std::string path, error;
  if (KeepJobRecord(record, &path, &error)) {
    display.Say("record: " + NativePath(path));
  } else {
    display.Say("record: not kept (" + error + ")");
  }
  return JobRecordJson(record);
}

int Run(const Options& o) {
  // Before any thread starts: an interrupt gives ModemManager its device back
  // before the process goes.
  RunBeforeTerminationSignals([] { ReleaseModemManagerInhibitions(); });

  // The clock every wait goes through.
  std::unique_ptr<Clock> clock;
  if (o.timeScale > 0) {
    clock = std::make_unique<ScaledClock>(o.timeScale);
  } else {
    clock = std::make_unique<RealClock>();
  }
  // A USB modem that no table line names has its ports found by probing.
  EnableUsbProbing(*clock);
  const auto wallStart = std::chrono::steady_clock::now();

  std::FILE* traceFile = nullptr;
  std::unique_ptr<TracingSerialDevices> tracer;
  SerialDevices* devices = &SystemSerialDevices();
  if (!o.trace.empty()) {
    traceFile = std::fopen(o.trace.c_str(), "w");
    if (traceFile == nullptr) {
      std::fprintf(stderr, "quorrel-cli: cannot write the trace %s\n", o.trace.c_str());
      return kExitSetup;
    }
    tracer = std::make_unique<TracingSerialDevices>(*devices, traceFile);
    devices = tracer.get();
  }

  bool taken = false;
  std::unique_ptr<NamedMutex> mutex = NamedMutex::Create(kMutexName, &taken);
  if (taken) {
    std::printf("%s\n", kMutexTaken);
    return kExitSetup;
  }

  std::error_code ec;
  const std::string startup = std::filesystem::current_path(ec).string();
  CQuorrelDoc doc(*clock, *devices);
  std::string error;
  // Installed under /usr, the NV backups and logs go to the user's folders.
  const ProgramFolders folders = DefaultProgramFolders();
  if (!doc.OnNewDocument(folders.nvFolder, &error)) {
    std::fprintf(stderr, "quorrel-cli: %s\n", error.c_str());
    return kExitSetup;
  }
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

  // The release.
  const bool embedded = o.release.empty();
  if (embedded) {
    if (!ExtractEmbeddedImages(doc, display, EmbeddedResources())) return kExitSetup;
  } else {
    const std::string dir = Folder(o.release);
    display.SetFolderBrowser([dir](std::string_view) { return std::optional<std::string>(dir); });
    ChooseVersionDirectory(doc, display);
    const std::string programmer = dir + "\\armprg.bin";
    if (PathExists(programmer)) {
      for (int line = 0; line < kLineCount; ++line)
        (void)doc.line(line).settings.armprgPath.Set(programmer);
    }
  }
  if (!o.nvDir.empty()) {
    const std::string dir = Folder(o.nvDir);
    display.SetFolderBrowser([dir](std::string_view) { return std::optional<std::string>(dir); });
    ChooseNvDirectory(env);
  }
  if (!o.defaultNv.empty()) {
    for (int line = 0; line < kLineCount; ++line) {
      if (!doc.line(line).settings.defaultNvFile.Set(o.defaultNv)) {
        std::fprintf(stderr, "quorrel-cli: the default NV file path is too long\n");
        return kExitUsage;
      }
    }
  }
  // The folder a user must find again.
  display.Say("NV folder: " + doc.line(0).settings.nvDirectory.str());
  if (o.nvOption) doc.nvOption = *o.nvOption;
  doc.nvRestoreIntoOtherModem = o.otherModem;
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
  std::filesystem::file_time_type startedFiles;
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
      startedFiles = std::filesystem::file_time_type::clock::now();
      record.versionBefore = doc.line(0).VersionText();
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
    const std::string recordJson = jobStarted ? KeepRecord(record, startedFiles, doc, controller,
                                                           o.mode, code, reason, display)
                                              : std::string();
    // The result comes last.
    char summary[160];
    std::snprintf(summary, sizeof summary, "wall time: %.3f s; requested sleeps: %.3f s", wall,
                  floorMs / 1000.0);
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

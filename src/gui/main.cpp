// quorrel: the desktop updater's window. One form, line 1's "Загрузка"
// button, its port, version, state line and progress; with --all-lines every
// line's controls and the options as well, each line serving a modem of its
// own (a station).
#include <QApplication>
#include <QCommandLineParser>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <string_view>

#include "app/form_model.h"
#include "app/line_controller.h"
#include "app/modem_hold.h"
#include "app/quorrel_view.h"
#include "app/station_file.h"
#include "gui/main_window.h"
#include "jobs/usb_probe.h"
#include "lines/control_ids.h"
#include "lines/document.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "platform/modem_manager.h"
#include "platform/serial_port.h"
#include "platform/usb_bridge.h"
#include "platform/user_folders.h"
#include "release/embedded_resources.h"

namespace {

[[noreturn]] void QuickExit(int code) {
  std::fflush(nullptr);
  std::_Exit(code);
}

void Describe(QCoreApplication& app) {
  app.setApplicationName("quorrel");
  app.setApplicationVersion(quorrel::ProgramVersion());
  app.setOrganizationName("Local AppWizard-Generated Applications");
}

// --help and --version need no display.
bool AsksForText(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view a = argv[i];
    if (a == "-h" || a == "--help" || a == "-?" || a == "--help-all" || a == "-v" ||
        a == "--version")
      return true;
  }
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  QCommandLineParser parser;
  parser.setApplicationDescription("Writes the firmware release it carries into a USB modem.");
  parser.addHelpOption();
  parser.addVersionOption();
  QCommandLineOption allLines("all-lines", "Show the controls of all eight lines and the options.");
  QCommandLineOption timeScale("time-scale", "Every wait and time-out times F (for the simulator).",
                               "F");
  QCommandLineOption noUsbBridge(
      "no-usb-bridge",
      "Do not bring USB modems in sysfs into the registry (also QUORREL_USB_BRIDGE=0).");
  QCommandLineOption noUsbProbe(
      "no-usb-probe",
      "Do not probe the serial ports of a USB modem that no modem table line names (also "
      "QUORREL_USB_PROBE=0).");
  QCommandLineOption fast(
      "fast",
      "Read replies as they arrive and end waits on events instead of the modem's fixed pace "
      "(also QUORREL_FAST=1).");
  QCommandLineOption device("device", "The USB modem (port path or serial number) for line 1.",
                            "PATH|SERIAL");
  parser.addOption(allLines);
  parser.addOption(fast);
  parser.addOption(timeScale);
  parser.addOption(noUsbBridge);
  parser.addOption(noUsbProbe);
  parser.addOption(device);
  QCommandLineOption ignoreModemManager(
      "ignore-modem-manager",
      "Start a job even when ModemManager runs and would not leave the modem alone.");
  parser.addOption(ignoreModemManager);
  QCommandLineOption station(
      "station",
      "With --all-lines: the station file that maps USB port paths to lines (default: "
      "station.conf in the user's config folder).",
      "FILE");
  parser.addOption(station);
  if (AsksForText(argc, argv)) {
    QCoreApplication text(argc, argv);
    Describe(text);
    parser.process(text);  // prints and ends the process
    return 0;
  }
  QApplication app(argc, argv);
  Describe(app);
  parser.process(app);

  double scale = 0;
  if (parser.isSet(timeScale)) {
    bool ok = false;
    scale = parser.value(timeScale).toDouble(&ok);
    if (!ok || !(scale > 0) || scale > 1000) {
      std::fprintf(stderr, "quorrel: --time-scale takes a number above 0\n");
      return 2;
    }
  }

  // A station gives every modem a line of its own; the station file fixes
  // the lines of named USB ports.
  std::optional<quorrel::StationMap> stationMap;
  if (parser.isSet(allLines)) {
    std::string error;
    stationMap = quorrel::LoadStationFile(parser.value(station).toStdString(), &error);
    if (!stationMap) {
      std::fprintf(stderr, "quorrel: %s\n", error.c_str());
      return 2;
    }
  }

  if (parser.isSet(noUsbBridge)) quorrel::DisableUsbBridge();
  if (parser.isSet(noUsbProbe)) quorrel::DisableUsbProbing();
  if (parser.isSet(device))
    quorrel::SetUsbBridgePreferredDevice(parser.value(device).toStdString());

  std::unique_ptr<quorrel::Clock> clock;
  if (scale > 0) {
    clock = std::make_unique<quorrel::ScaledClock>(scale);
  } else {
    clock = std::make_unique<quorrel::RealClock>();
  }
  // A USB modem that no table line names has its ports found by probing.
  quorrel::EnableUsbProbing(*clock);

  using namespace quorrel;
  CQuorrelDoc doc(*clock, SystemSerialDevices());
  doc.SetFast(parser.isSet(fast) || FastModeFromEnvironment());
  std::string error;
  // Installed under /usr the NV backups and logs go to the user's folders;
  // the NV folder's text on the form shows where.
  const ProgramFolders folders = DefaultProgramFolders();
  if (!doc.OnNewDocument(folders.nvFolder, &error)) {
    std::fprintf(stderr, "quorrel: %s\n", error.c_str());
    return 1;
  }
  std::error_code ec;
  FormModel form(
      doc, folders.logBase.empty() ? std::filesystem::current_path(ec).string() : folders.logBase);
  JobEnvironment env = StandardJobEnvironment(doc, form);
  // What the USB bridge has to say (a modem interface without a driver, a
  // bad modem table line) stays in the state line while no modem is found.
  SetUsbBridgeNoticeSink([&form](const std::string& text) {
    std::fprintf(stderr, "quorrel: %s\n", text.c_str());
    form.SetControlText(controls::kStateLine, text);
  });

  gui::WindowOptions options;
  options.allLines = parser.isSet(allLines);
  options.timeScale = scale > 0 ? scale : 1.0;
  options.exitProcess = QuickExit;
  gui::MainWindow window(form, options);

  LineHooks hooks = StandardLineHooks(env);
  // The job's close request after a failed version check ends the program.
  hooks.closeMainWindow = [&window] { window.RequestClose(false); };
  // The process ends without unwinding: ModemManager gets its device back first.
  hooks.endProcess = [](int code) {
    ReleaseModemManagerInhibitions();
    QuickExit(code);
  };
  if (parser.isSet(ignoreModemManager)) hooks.holdModem = ModemManagerHold(env, true);
  // A station's job ends only its line.
  if (stationMap) hooks = StationLineHooks(std::move(hooks));
  LineController controller(env, hooks);
  controller.AttachForm(form);
  controller.KeepRecords(true);
  if (stationMap) controller.ServeAsStation();

  CQuorrelView view(doc, form, controller, window.Hooks());
  window.SetView(&view);
  if (view.OnInitialUpdate(EmbeddedResources()) != StartupResult::Ready) {
    view.Shutdown();
    QuickExit(0);
  }
  if (stationMap) view.OpenStation(std::move(*stationMap));
  window.show();
  const int code = app.exec();
  view.Shutdown();
  view.OnDestroy();
  ReleaseModemManagerInhibitions();
  QuickExit(code);
}

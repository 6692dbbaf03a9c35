// quorrel: the desktop updater's native window. One form, line 1's
// "Загрузка" button, its port, version, state line and progress; with
// --all-lines every line's controls and the options as well, each line
// serving a modem of its own (a station).
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "app/form_model.h"
#include "app/line_controller.h"
#include "app/quorrel_view.h"
#include "app/station_file.h"
#include "gui_win32/main_window.h"
#include "lines/document.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "platform/serial_port.h"
#include "platform/win32_api.h"
#include "release/embedded_resources.h"

#include <objbase.h>

namespace {

[[noreturn]] void QuickExit(int code) {
  std::fflush(nullptr);
  std::_Exit(code);
}

constexpr char kUsage[] =
    "Usage: quorrel [--all-lines [--station FILE]] [--time-scale F]\n"
    "Writes the firmware release it carries into a USB modem.\n\n"
    "  --all-lines      Show the controls of all eight lines and the options.\n"
    "  --station FILE   With --all-lines: the station file that maps USB port paths\n"
    "                   to lines (default: station.conf in the user's config folder).\n"
    "  --time-scale F   Every wait and time-out times F (for the simulator).\n"
    "  -h, --help       This text.\n"
    "  -v, --version    The program's version.\n";

// A GUI program has no console: what it would print goes into a box.
void Tell(const std::string& text, bool error) {
  MessageBoxW(nullptr, quorrel::win32::Wide(text).c_str(), quorrel::win32::Wide("quorrel").c_str(),
              MB_OK | (error ? MB_ICONERROR : MB_ICONINFORMATION));
}

}  // namespace

int main(int argc, char** argv) {
  using namespace quorrel;
  bool allLines = false;
  std::string stationFile;
  double scale = 0;
  for (int i = 1; i < argc; ++i) {
    const std::string_view a = argv[i];
    if (a == "-h" || a == "--help" || a == "-?") {
      Tell(kUsage, false);
      return 0;
    }
    if (a == "-v" || a == "--version") {
      Tell(std::string("quorrel ") + ProgramVersion(), false);
      return 0;
    }
    if (a == "--all-lines") {
      allLines = true;
    } else if (a == "--station" && i + 1 < argc) {
      stationFile = argv[++i];
    } else if (a == "--time-scale" && i + 1 < argc) {
      char* end = nullptr;
      scale = std::strtod(argv[++i], &end);
      if (end == argv[i] || *end != '\0' || !(scale > 0) || scale > 1000) {
        Tell("quorrel: --time-scale takes a number above 0", true);
        return 2;
      }
    } else {
      Tell(std::string("quorrel: unknown option ") + std::string(a) + "\n\n" + kUsage, true);
      return 2;
    }
  }

  // A station gives every modem a line of its own; the station file fixes
  // the lines of named USB ports.
  std::optional<StationMap> stationMap;
  if (allLines) {
    std::string stationError;
    stationMap = LoadStationFile(stationFile, &stationError);
    if (!stationMap) {
      Tell("quorrel: " + stationError, true);
      return 2;
    }
  }

  std::unique_ptr<Clock> clock;
  if (scale > 0) {
    clock = std::make_unique<ScaledClock>(scale);
  } else {
    clock = std::make_unique<RealClock>();
  }

  // The folder browser needs COM on the window thread.
  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);

  CQuorrelDoc doc(*clock, SystemSerialDevices());
  doc.SetFast(FastModeFromEnvironment());
  std::string error;
  if (!doc.OnNewDocument(ExecutableDirectory(), &error)) {
    Tell("quorrel: " + error, true);
    return 1;
  }
  std::error_code ec;
  FormModel form(doc, std::filesystem::current_path(ec).string());
  JobEnvironment env = StandardJobEnvironment(doc, form);

  win32::WindowOptions options;
  options.allLines = allLines;
  options.timeScale = scale > 0 ? scale : 1.0;
  options.exitProcess = QuickExit;
  win32::MainWindow window(form, options);
  if (!window.Create(GetModuleHandleW(nullptr))) {
    Tell("quorrel: the window could not be made", true);
    return 1;
  }

  LineHooks hooks = StandardLineHooks(env);
  // The job's close request after a failed version check ends the program.
  hooks.closeMainWindow = [&window] { window.RequestClose(false); };
  hooks.endProcess = [](int code) { QuickExit(code); };
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
  // What the start-up changed is on the form before it shows.
  window.Flush();
  const int code = window.Run();
  view.Shutdown();
  view.OnDestroy();
  QuickExit(code);
}

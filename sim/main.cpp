// quorrel-sim: a virtual modem attached to this machine through pseudo-
// terminals and the registry folder under $QUORREL_ROOT, for scripts and for
// people without a modem on the desk.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "sim/device.h"
#include "sim/options.h"
#include "sim/pty_bus.h"
#include "sim/report.h"
#include "sim/usb_sysfs.h"

namespace {

int g_stop_pipe[2] = {-1, -1};

extern "C" void OnStopSignal(int) {
  const char byte = 1;
  ssize_t ignored = ::write(g_stop_pipe[1], &byte, 1);
  (void)ignored;
}

bool InstallStopSignals() {
  if (::pipe2(g_stop_pipe, O_CLOEXEC | O_NONBLOCK) != 0) return false;
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  for (int sig : {SIGTERM, SIGINT, SIGHUP}) {
    if (::sigaction(sig, &action, nullptr) != 0) return false;
  }
  ::signal(SIGPIPE, SIG_IGN);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace quorrel::sim;
  std::vector<std::string> args(argv + 1, argv + argc);
  std::string error;
  auto options = ParseSimOptions(args, &error);
  if (!options) {
    std::fprintf(stderr, "quorrel-sim: %s\n", error.c_str());
    return 2;
  }
  if (options->help) {
    std::fputs(SimUsage().c_str(), stdout);
    return 0;
  }
  if (!InstallStopSignals()) {
    std::perror("quorrel-sim: signals");
    return 1;
  }

  // A Wine prefix is the root: its dosdevices folder is where Wine looks
  // for COM ports.
  if (!options->winePrefix.empty()) ::setenv("QUORREL_ROOT", options->winePrefix.c_str(), 1);

  PtyBus bus(options->timeScale, [](const std::string& line) {
    std::fprintf(stdout, "%s\n", line.c_str());
    std::fflush(stdout);
  });
  if (options->usb) {
    // Never the machine's own tree: a test or a demo gives its folders.
    const char* sysfs = std::getenv("QUORREL_SYSFS");
    const char* dev = std::getenv("QUORREL_DEV");
    if (sysfs == nullptr || dev == nullptr || *sysfs == 0 || *dev == 0 ||
        std::string(sysfs) == "/sys" || std::string(dev) == "/dev") {
      std::fprintf(
          stderr,
          "quorrel-sim: --usb needs QUORREL_SYSFS and QUORREL_DEV set to scratch folders\n");
      return 2;
    }
    bus.UseUsb(
        std::make_unique<UsbSysfs>(sysfs, dev, options->modem.usb.companion != UsbCompanion::None));
  }
  if (!options->winePrefix.empty()) bus.SetWinePrefix(options->winePrefix);
  VirtualModem modem(options->modem, bus);
  // The modem a swap puts in its place, waiting off the bus until then.
  std::unique_ptr<VirtualModem> swapped;
  if (options->modem.swap) {
    swapped = std::make_unique<VirtualModem>(SwappedInConfig(options->modem), bus);
    bus.SetReplacement(swapped.get());
  }
  bus.SetModem(&modem);
  modem.PowerOn();
  if (bus.AttachFailed()) {
    modem.Shutdown();
    bus.ForgetDevices();
    std::fprintf(stderr, "quorrel-sim: the modem could not be attached\n");
    return 1;
  }
  const bool loopOk = bus.Run(g_stop_pipe[0]);
  modem.Shutdown();
  if (swapped) swapped->Shutdown();
  bus.ForgetDevices();

  int status = loopOk ? 0 : 1;
  auto leaveBehind = [&](VirtualModem& m, const std::string& report, const std::string& dump,
                         const char* which) {
    ModemSnapshot snapshot = m.Snapshot();
    if (!report.empty()) {
      ReportContext context{m.config().seed, options->timeScale, m.config().esn};
      if (!WriteFileAtomically(report, ReportJson(snapshot, context))) {
        std::fprintf(stderr, "quorrel-sim: cannot write the report %s\n", report.c_str());
        status = 1;
      }
    }
    if (!dump.empty() && !DumpImages(snapshot, dump, &error)) {
      std::fprintf(stderr, "quorrel-sim: %s\n", error.c_str());
      status = 1;
    }
    if (!options->quiet) {
      std::fprintf(
          stderr, "quorrel-sim: %s%zu requests, %zu violations, %zu images opened, handshake %s\n",
          which, snapshot.requests.size(), snapshot.violations.size(), snapshot.images.size(),
          std::string(HandshakeResultName(snapshot.handshake.result)).c_str());
      for (const Violation& v : snapshot.violations) {
        std::fprintf(stderr, "  %8llu ms  %s: %s\n", static_cast<unsigned long long>(v.timeMs),
                     std::string(ModeName(v.mode)).c_str(), v.text.c_str());
      }
    }
  };
  leaveBehind(modem, options->reportPath, options->dumpDir, swapped ? "first modem: " : "");
  if (swapped)
    leaveBehind(*swapped, options->swapReportPath, options->swapDumpDir, "swapped-in modem: ");
  return status;
}

#include "cli/cli_options.h"

#include <cstdlib>
#include <vector>

namespace quorrel::cli {

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
    "  nv ...        NV file tools: dump, diff, import, read, find (quorrel-cli nv --help)\n"
    "  station       a flashing station: every modem attached gets a line of its\n"
    "                own (1-8) and the job (--job, default download) as soon as it\n"
    "                answers, all at once; a modem done is told to be unplugged,\n"
    "                and its line takes the next one plugged in. On a terminal one\n"
    "                live row per line, else one line per event (--json: JSON).\n"
    "                Ctrl-C stops: no new job starts, running jobs stop at their\n"
    "                next safe point and give their modems back\n"
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
    "  --fast             read replies as they arrive and end waits on events\n"
    "                     instead of the modem's fixed pace (off by default)\n"
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
    "  --job JOB          station: download (default), backup-nv, restore-nv or repair\n"
    "  --once             station: end once every modem attached (at the start, or\n"
    "                     plugged in while others run) is done, with a summary;\n"
    "                     exit code 0 only when every job succeeded\n"
    "  --station FILE     station: USB port paths fixed to lines, one \"<path> <line>\"\n"
    "                     per line (default: station.conf in the user's config\n"
    "                     folder, when there is one)\n"
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
  bool jobGiven = false;
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
    } else if (a == "station") {
      o.station = true;
      o.command = true;
    } else if (a == "--once") {
      o.once = true;
    } else if (a == "--station") {
      if (!value(&o.stationFile)) return std::nullopt;
    } else if (a == "--job") {
      if (!value(&v)) return std::nullopt;
      if (v == "download") {
        o.mode = LineMode::Download;
      } else if (v == "backup-nv") {
        o.mode = LineMode::BackupNv;
      } else if (v == "restore-nv") {
        o.mode = LineMode::RestoreNv;
      } else if (v == "repair") {
        o.mode = LineMode::Repair;
      } else {
        *error = "--job takes download, backup-nv, restore-nv or repair";
        return std::nullopt;
      }
      jobGiven = true;
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
    } else if (a == "--fast") {
      o.fast = true;
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
  if ((o.once || !o.stationFile.empty() || jobGiven) && !o.station) {
    *error = "--job, --once and --station go with station only";
    return std::nullopt;
  }
  if (o.station && (o.list || !o.device.empty())) {
    *error = "station takes every modem: list and --device do not go with it";
    return std::nullopt;
  }
  if (o.otherModem && o.mode != LineMode::RestoreNv) {
    *error = "--other-modem goes with restore-nv only";
    return std::nullopt;
  }
  return o;
}

}  // namespace quorrel::cli

#include "cli/usb_list.h"

#include <cerrno>
#include <cstring>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "download/dmss.h"
#include "download/streaming.h"
#include "jobs/usb_probe.h"
#include "link/phone_link.h"
#include "platform/modem_table.h"
#include "platform/serial_port.h"
#include "platform/usb_bridge.h"
#include "services/at_channel.h"
#include "services/diag_codec.h"
#include "services/diag_commands.h"
#include "util/text.h"

namespace quorrel::cli {

namespace {

constexpr int kBaud = 115200;
constexpr uint32_t kProbeMs = 500;
constexpr uint32_t kSecondPollMs = 500;

// Port 1 of this source is one tty node, opened as a job opens its ports.
class NodeDevices : public SerialDevices {
 public:
  explicit NodeDevices(std::filesystem::path node) : node_(std::move(node)) {}
  std::unique_ptr<SerialDevice> Open(int, int baudRate, int, int) override {
    return OpenSerialPath(node_, baudRate, &error_);
  }
  int error() const { return error_; }
  const std::filesystem::path& node() const { return node_; }

 private:
  std::filesystem::path node_;
  int error_ = 0;
};

std::string OpenFailureText(const NodeDevices& tty, const UsbDeviceInfo& d) {
  std::string why;
  (void)OpenFailure(tty.error(), tty.node(), d.vendorId, d.productId, &why);
  return why;
}

// What the diagnostic port answers in, with one read-only request per
// protocol, each answered only in its own mode: the ESN (firmware; never
// sent to a download mode), a downloader no-op, a programmer no-op. Empty
// when it answered none, with why.
std::string DiagMode(Clock& clock, const UsbDeviceInfo& d, const std::string& tty,
                     std::string* why) {
  NodeDevices node(UsbDevRoot() / tty);
  PhoneLink link(clock, node);
  if (link.Port().Open(1, kBaud, 8, 1) == 0) {
    *why = OpenFailureText(node, d);
    return {};
  }
  std::string mode;
  if (!d.DownloadMode()) {
    if (ProbeEsn(link, kProbeMs)) mode = "diagnostic";
  }
  if (mode.empty()) {
    if (DmssProbeNoOp(link, kProbeMs) && link.LastReply()[0] == dmss::kAck) mode = "downloader";
  }
  if (mode.empty()) {
    if (StreamProbeNoOp(link, kProbeMs)) mode = "programmer";
  }
  link.Port().Close();
  if (mode.empty())
    *why = "no answer to a request of the firmware, the downloader or the programmer";
  return mode;
}

bool AtAnswers(Clock& clock, const UsbDeviceInfo& d, const std::string& tty, std::string* why) {
  NodeDevices node(UsbDevRoot() / tty);
  AtChannel at(clock, node);
  if (at.port.Open(1, kBaud, 8, 1) == 0) {
    *why = OpenFailureText(node, d);
    return false;
  }
  at.SetTimeout(kProbeMs);
  at.SetTries(1);
  at.SetCommand("AT");
  const bool answered = at.SendAndWait();
  at.port.Close();
  if (!answered) *why = "no answer to AT";
  return answered;
}

std::string Com(int n) {
  return n != 0 ? Format("COM%d", n) : std::string("-");
}

const UsbModem* ModemAt(const std::vector<UsbModem>& modems, const std::string& path) {
  for (const UsbModem& m : modems) {
    if (m.portPath == path) return &m;
  }
  return nullptr;
}

// The interfaces the report does not cover otherwise: no driver, a driver
// without a serial port, a serial port that is no modem candidate.
std::string InterfaceState(const UsbInterfaceInfo& i) {
  if (i.driver.empty()) return "no driver";
  if (i.tty.empty()) return "bound to " + i.driver + ", no serial port";
  if (!i.node) return i.tty + ": its node is not there (yet)";
  if (!IsModemCandidate(i)) return i.tty + ": on " + i.driver + ", not a modem port; not opened";
  return {};
}

struct Row {
  std::vector<std::string> lines;  // one per interface
  std::string mode;
  bool usable = false;
};

// A table modem: its diagnostic port's mode and whether its AT port answers,
// and why not.
Row CheckTableModem(Clock& clock, const UsbDeviceInfo& d, const UsbModem& m) {
  Row row;
  const std::string from =
      m.source == "probe" ? "found by probing in this run" : "table line " + m.source;
  for (const UsbInterfaceInfo& i : d.interfaces) {
    std::string line = Format("interface %d", i.number);
    if (i.number == m.diagInterface) {
      line +=
          Format(" %s: diagnostic port (%s): ", i.tty.empty() ? "-" : i.tty.c_str(), from.c_str());
      if (m.diagTty.empty()) {
        line += InterfaceState(i).empty() ? "not linked" : InterfaceState(i);
        row.mode = "no diagnostic port";
      } else {
        std::string why;
        const std::string mode = DiagMode(clock, d, m.diagTty, &why);
        line += mode.empty() ? why : "answers in the " + mode + " mode";
        row.mode = mode.empty() ? "no answer" : mode;
        row.usable = !mode.empty();
      }
    } else if (m.atInterface && i.number == *m.atInterface) {
      line += Format(" %s: AT port (%s): ", i.tty.empty() ? "-" : i.tty.c_str(), from.c_str());
      if (m.atTty.empty()) {
        line += InterfaceState(i).empty() ? "not linked" : InterfaceState(i);
        row.mode += ", no AT port";
      } else {
        std::string why;
        const bool answered = AtAnswers(clock, d, m.atTty, &why);
        line += answered ? "answers" : why;
        row.mode += answered ? ", AT answers" : ", AT silent";
      }
    } else {
      const std::string state = InterfaceState(i);
      line += state.empty() ? " " + i.tty + ": not used by the table line" : ": " + state;
    }
    row.lines.push_back(line);
  }
  if (d.Interface(m.diagInterface) == nullptr) {
    row.lines.push_back(Format("interface %d: not there, but %s names it for the diagnostic port",
                               m.diagInterface, from.c_str()));
  }
  if (row.mode.empty() || row.mode[0] == ',') row.mode = "no diagnostic port" + row.mode;
  return row;
}

// A device with modem ports that no table line names: what its probe found.
Row ProbedDevice(const UsbDeviceInfo& d) {
  Row row;
  const std::optional<DeviceProbeReport> report = UsbProbeReportFor(d.AppearanceKey());
  for (const UsbInterfaceInfo& i : d.interfaces) {
    std::string line = Format("interface %d", i.number);
    const std::string state = InterfaceState(i);
    if (!state.empty()) {
      line += ": " + state;
    } else {
      line += " " + i.tty + ": ";
      const PortProbeResult* r = nullptr;
      if (report) {
        for (const PortProbeResult& p : report->ports) {
          if (p.interfaceNumber == i.number) r = &p;
        }
      }
      if (r == nullptr) {
        line += "not probed (probing is off: --no-usb-probe or QUORREL_USB_PROBE=0)";
      } else {
        line += ProbeOutcomeText(r->outcome);
        if (!r->detail.empty()) line += ": " + r->detail;
      }
    }
    row.lines.push_back(line);
  }
  if (report && !report->modemManager.empty())
    row.lines.push_back("ModemManager: " + report->modemManager);
  row.mode = report ? "not in the table; no diagnostic port found" : "not in the table; not probed";
  return row;
}

}  // namespace

int ListUsbModems(Clock& clock, std::FILE* out, std::FILE* err) {
  if (!UsbBridgeEnabled()) {
    std::fprintf(err,
                 "quorrel-cli: the USB bridge is off (--no-usb-bridge or QUORREL_USB_BRIDGE=0)\n");
    return 5;
  }
  std::vector<std::string> notices;
  SetUsbBridgeNoticeSink([&notices](const std::string& text) { notices.push_back(text); });
  // Two polls: an interface without a driver is only reported once it is
  // still without one a moment later (a driver binds just after plugging).
  (void)PollUsbBridge();
  clock.Sleep(kSecondPollMs);
  const std::vector<UsbModem> modems = PollUsbBridge();
  SetUsbBridgeNoticeSink({});
  for (const std::string& text : notices) std::fprintf(err, "quorrel-cli: %s\n", text.c_str());

  // Every device in the table, and every device with modem ports.
  std::vector<UsbDeviceInfo> shown;
  for (const UsbDeviceInfo& d : ScanUsbDevices(UsbSysfsRoot(), UsbDevRoot())) {
    if (ModemAt(modems, d.portPath) != nullptr || !d.Candidates().empty()) shown.push_back(d);
  }
  std::string files;
  for (const auto& file : ModemTableFiles()) files += (files.empty() ? "" : ", ") + file.string();
  if (shown.empty()) {
    std::fprintf(out,
                 "no modem of the modem table is attached, and no USB device with a serial port on "
                 "option or "
                 "qcserial (table: %s)\n",
                 files.c_str());
    return 5;
  }

  std::fprintf(out, "%-4s %-6s %-6s %-10s %-10s %-9s %-12s %-16s %-20s %s\n", "line", "diag", "at",
               "diag tty", "at tty", "VID:PID", "USB path", "serial", "name", "mode");
  bool usable = false;
  for (const UsbDeviceInfo& d : shown) {
    const UsbModem* m = ModemAt(modems, d.portPath);
    const Row row = m != nullptr ? CheckTableModem(clock, d, *m) : ProbedDevice(d);
    usable = usable || row.usable;
    const std::string name = m != nullptr ? m->name : d.product;
    std::fprintf(out, "%-4s %-6s %-6s %-10s %-10s %04x:%04x %-12s %-16s %-20s %s\n",
                 m != nullptr && m->lineOne ? "1" : "-", Com(m != nullptr ? m->diagCom : 0).c_str(),
                 Com(m != nullptr ? m->atCom : 0).c_str(),
                 m == nullptr || m->diagTty.empty() ? "-" : m->diagTty.c_str(),
                 m == nullptr || m->atTty.empty() ? "-" : m->atTty.c_str(), d.vendorId, d.productId,
                 d.portPath.c_str(), d.serial.empty() ? "-" : d.serial.c_str(),
                 name.empty() ? "-" : name.c_str(), row.mode.c_str());
    for (const std::string& line : row.lines) std::fprintf(out, "     %s\n", line.c_str());
  }
  for (const LearnedUsbModem& l : LearnedUsbModems()) {
    std::fprintf(out, "found by %s at %s: %s\n", l.how.c_str(), l.portPath.c_str(),
                 ModemTableLine(l.entry).c_str());
    if (l.written) {
      std::fprintf(out, "     added to %s; please send the line to the quorrel maintainers\n",
                   l.file.string().c_str());
    } else {
      std::fprintf(out, "     not kept (%s): add the line to your modem table\n", l.why.c_str());
    }
  }
  if (!usable) {
    std::fprintf(out, "no usable modem: no diagnostic port answered (table: %s)\n", files.c_str());
    return 5;
  }
  return 0;
}

int PrintUdevRule(const std::vector<std::string>& identities, std::FILE* out, std::FILE* err) {
  std::vector<std::pair<uint16_t, uint16_t>> ids;
  for (const std::string& text : identities) {
    ModemTable one;
    ParseModemTable(text + " diag=0", "", &one);
    if (one.entries.size() != 1 || text.find(':') == std::string::npos ||
        text.find(' ') != std::string::npos) {
      std::fprintf(
          err,
          "quorrel-cli: udev-rule takes VID:PID in hexadecimal (such as 1e0e:9000), not \"%s\"\n",
          text.c_str());
      return 2;
    }
    ids.emplace_back(one.entries[0].vendorId, one.entries[0].productId);
  }
  if (identities.empty()) {
    const ModemTable table = LoadModemTable();
    for (const std::string& e : table.errors)
      std::fprintf(err, "quorrel-cli: modem table: %s\n", e.c_str());
    for (const ModemTableEntry& e : table.entries) ids.emplace_back(e.vendorId, e.productId);
    for (const LearnedUsbModem& l : LearnedUsbModems())
      ids.emplace_back(l.entry.vendorId, l.entry.productId);
    if (ids.empty()) {
      std::string files;
      for (const auto& file : ModemTableFiles())
        files += (files.empty() ? "" : ", ") + file.string();
      std::fprintf(err, "quorrel-cli: no identity given, and none in the modem tables (%s)\n",
                   files.c_str());
      return 5;
    }
  }
  std::fputs(UdevRulesText(ids).c_str(), out);
  return 0;
}

}  // namespace quorrel::cli

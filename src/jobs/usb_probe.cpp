#include "jobs/usb_probe.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <utility>

#include "download/dmss.h"
#include "link/phone_link.h"
#include "platform/modem_manager.h"
#include "platform/port_access.h"
#include "platform/process_list.h"
#include "platform/serial_port.h"
#include "services/at_channel.h"
#include "services/diag_codec.h"
#include "services/diag_commands.h"
#include "util/text.h"

namespace quorrel {

namespace fs = std::filesystem;

namespace {

constexpr int kBaud = 115200;
// An ESN reply: its code and four bytes. An AT port that echoes the request
// gives back the code alone.
constexpr size_t kEsnReplyLength = 5;
// After a diagnostic frame on a port that turned out not to take it, a
// carriage return ends whatever the frame left in an AT port's command line.
constexpr uint32_t kLineEndPauseMs = 100;
// Reports kept, one per appearance probed.
constexpr size_t kMaxReports = 64;

// Port number 1 of this source is the one tty node.
class OneTty : public SerialDevices {
 public:
  explicit OneTty(fs::path node) : node_(std::move(node)) {}
  std::unique_ptr<SerialDevice> Open(int /*port*/, int baudRate, int /*dataBits*/,
                                     int /*stopBits*/) override {
    return OpenSerialPath(node_, baudRate, &error_);
  }
  int error() const { return error_; }
  const fs::path& node() const { return node_; }

 private:
  fs::path node_;
  int error_ = 0;
};

bool OpenFor(SerialPort& port, const OneTty& tty, const UsbDeviceInfo& d, PortProbeResult* r) {
  if (port.Open(1, kBaud, 8, 1) != 0) return true;
  r->outcome = OpenFailure(tty.error(), tty.node(), d.vendorId, d.productId, &r->detail);
  return false;
}

bool HasOkLine(const std::string& response) {
  for (size_t at = response.find("OK"); at != std::string::npos; at = response.find("OK", at + 1)) {
    const bool starts = at == 0 || response[at - 1] == '\n' || response[at - 1] == '\r';
    const bool ends =
        at + 2 == response.size() || response[at + 2] == '\r' || response[at + 2] == '\n';
    if (starts && ends) return true;
  }
  return false;
}

// One read-only diagnostic request; true when the port answered it as only
// a diagnostic port does.
bool AskDiagnostic(Clock& clock, OneTty& tty, const UsbDeviceInfo& d, PortProbeResult* r) {
  PhoneLink link(clock, tty);
  if (!OpenFor(link.Port(), tty, d, r)) return false;
  const bool answered = ProbeEsn(link, kUsbProbeReplyMs) != 0;
  const uint8_t error = link.ErrorReplyCode();
  link.Port().Close();
  if (answered && link.LastReply().size() >= kEsnReplyLength) {
    r->outcome = PortProbeResult::Outcome::Diagnostic;
    r->detail = "answered the diagnostic request";
    return true;
  }
  if (error == diag::kErrorBadCommand || error == diag::kErrorBadParameters ||
      error == diag::kErrorBadLength) {
    r->outcome = PortProbeResult::Outcome::Diagnostic;
    r->detail = Format("answered the diagnostic request with error reply 0x%02X", error);
    return true;
  }
  r->outcome = PortProbeResult::Outcome::NoAnswer;
  r->detail = "no answer to the diagnostic request";
  return false;
}

bool AskAt(Clock& clock, OneTty& tty, const UsbDeviceInfo& d, bool hadFrame, PortProbeResult* r) {
  AtChannel at(clock, tty);
  if (!OpenFor(at.port, tty, d, r)) return false;
  if (hadFrame) {
    static const uint8_t kLineEnd[] = {'\r'};
    (void)at.port.Write(kLineEnd, 1);
    clock.Sleep(kLineEndPauseMs);
  }
  at.SetTimeout(kUsbProbeReplyMs);
  at.SetTries(1);
  at.SetCommand("AT");
  const bool ok = at.SendAndWait() && HasOkLine(at.response);
  at.port.Close();
  r->outcome = ok ? PortProbeResult::Outcome::At : PortProbeResult::Outcome::NoAnswer;
  r->detail = ok ? "answered AT with OK"
                 : (r->detail.empty() ? "no OK to AT" : r->detail + ", no OK to AT");
  return ok;
}

bool AskDownloader(Clock& clock, OneTty& tty, const UsbDeviceInfo& d, PortProbeResult* r) {
  PhoneLink link(clock, tty);
  if (!OpenFor(link.Port(), tty, d, r)) return false;
  const bool answered = DmssProbeNoOp(link, kUsbProbeReplyMs) != 0;
  link.Port().Close();
  // A reply of its own protocol, whatever it says (the flash programmer
  // answers the downloader's no-op with an error reply), with a good check.
  if (answered || !link.LastReply().empty()) {
    r->outcome = PortProbeResult::Outcome::Download;
    r->detail = "answered the downloader's no-op";
    return true;
  }
  r->outcome = PortProbeResult::Outcome::NoAnswer;
  r->detail = "no answer to the downloader's no-op";
  return false;
}

struct ProbeState {
  std::mutex mutex;
  std::vector<DeviceProbeReport> reports;  // oldest first
  std::vector<std::shared_ptr<ModemManagerInhibition>> holds;
};

ProbeState& State() {
  static ProbeState* state = new ProbeState;  // lives until the end
  return *state;
}

// When ModemManager drives the device: its port types, and the device taken
// from it. True when they name the diagnostic port.
bool FromModemManager(const UsbDeviceInfo& d, DeviceProbeReport* report) {
  std::optional<std::vector<ModemManagerPort>> known = ModemManagerPorts(d.folder);
  if (!known) return false;
  // It holds the ports it drives: it is asked to let go of them first.
  InhibitOutcome outcome =
      InhibitModemManager(d.folder, [](const std::string& text) { UsbBridgeNotice(text); });
  switch (outcome.state) {
    case InhibitOutcome::State::Inhibited: {
      report->modemManager = "asked to leave the modem alone: done";
      ProbeState& s = State();
      std::lock_guard<std::mutex> lock(s.mutex);
      s.holds.push_back(std::move(outcome.hold));
      break;
    }
    case InhibitOutcome::State::NotNeeded:
      report->modemManager = outcome.detail;
      break;
    case InhibitOutcome::State::Refused:
      report->modemManager = ModemManagerRefusalAdvice(d.folder, outcome.detail);
      UsbBridgeNotice(report->modemManager);
      break;
  }
  std::optional<int> diag, at;
  std::vector<PortProbeResult> ports;
  for (const UsbInterfaceInfo* i : d.Candidates()) {
    PortProbeResult r;
    r.interfaceNumber = i->number;
    r.tty = i->tty;
    r.outcome = PortProbeResult::Outcome::NotAsked;
    for (const ModemManagerPort& p : *known) {
      if (p.name != i->tty) continue;
      if (p.type == ModemManagerPort::Qcdm && !diag) {
        diag = i->number;
        r.outcome = PortProbeResult::Outcome::Diagnostic;
        r.detail = "ModemManager found a diagnostic (QCDM) port";
      } else if (p.type == ModemManagerPort::At && !at) {
        at = i->number;
        r.outcome = PortProbeResult::Outcome::At;
        r.detail = "ModemManager found an AT port";
      }
    }
    ports.push_back(r);
  }
  if (!diag) return false;
  report->how = "ModemManager's port types";
  report->ports = std::move(ports);
  ModemTableEntry e;
  e.vendorId = d.vendorId;
  e.productId = d.productId;
  e.diagInterface = *diag;
  e.atInterface = at;
  e.name = d.product;
  report->found = e;
  return true;
}

void Keep(const DeviceProbeReport& report) {
  ProbeState& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.reports.erase(
      std::remove_if(s.reports.begin(), s.reports.end(),
                     [&](const DeviceProbeReport& r) { return r.appearance == report.appearance; }),
      s.reports.end());
  s.reports.push_back(report);
  if (s.reports.size() > kMaxReports) s.reports.erase(s.reports.begin());
}

}  // namespace

PortProbeResult::Outcome OpenFailure(int error, const fs::path& node, uint16_t vendorId,
                                     uint16_t productId, std::string* why) {
  if (error == EACCES || error == EPERM) {
    *why = "permission denied. " + PortAccessFix(std::make_pair(vendorId, productId));
    return PortProbeResult::Outcome::Denied;
  }
  if (error == EBUSY) {
    std::string holders;
    for (const ProcessEntry& p : ProcessesHoldingOpen(node)) {
      holders += Format("%s%s (pid %d)", holders.empty() ? "" : ", ", p.exeName.c_str(), p.pid);
    }
    *why = holders.empty() ? "busy: another program holds it open" : "busy: held by " + holders;
    return PortProbeResult::Outcome::Busy;
  }
  if (error == ENOENT) {
    *why = "its node " + node.string() + " is missing";
  } else {
    *why = std::string("cannot be opened: ") + std::strerror(error);
  }
  return PortProbeResult::Outcome::CannotOpen;
}

DeviceProbeReport ProbeUsbDevice(Clock& clock, const UsbDeviceInfo& d, const fs::path& dev) {
  DeviceProbeReport report;
  report.appearance = d.AppearanceKey();
  report.how = "probing";
  const std::vector<const UsbInterfaceInfo*> candidates = d.Candidates();
  if (candidates.empty()) return report;
  if (FromModemManager(d, &report)) return report;

  ModemTableEntry e;
  e.vendorId = d.vendorId;
  e.productId = d.productId;
  e.name = d.product;
  report.ports.clear();
  for (const UsbInterfaceInfo* i : candidates) {
    PortProbeResult r;
    r.interfaceNumber = i->number;
    r.tty = i->tty;
    report.ports.push_back(r);
  }

  if (d.DownloadMode()) {
    // The download mode: its one port gets the downloader's no-op alone.
    OneTty tty(dev / candidates[0]->tty);
    if (AskDownloader(clock, tty, d, &report.ports[0])) {
      e.diagInterface = candidates[0]->number;
      report.found = e;
    }
    return report;
  }

  // One diagnostic request on each port in turn until one answers it.
  std::optional<size_t> diag;
  std::vector<bool> hadFrame(candidates.size(), false);
  for (size_t k = 0; k < candidates.size() && !diag; ++k) {
    OneTty tty(dev / candidates[k]->tty);
    if (AskDiagnostic(clock, tty, d, &report.ports[k])) diag = k;
    hadFrame[k] = report.ports[k].outcome == PortProbeResult::Outcome::NoAnswer;
  }
  // Then "AT" on the others until one says OK.
  std::optional<size_t> at;
  bool inconclusive = false;
  for (size_t k = 0; k < candidates.size(); ++k) {
    PortProbeResult& r = report.ports[k];
    if (diag && k == *diag) continue;
    if (r.outcome != PortProbeResult::Outcome::NotAsked &&
        r.outcome != PortProbeResult::Outcome::NoAnswer) {
      inconclusive = true;  // it could not be opened
      continue;
    }
    if (at) continue;
    OneTty tty(dev / candidates[k]->tty);
    if (AskAt(clock, tty, d, hadFrame[k], &r)) {
      at = k;
    } else if (r.outcome != PortProbeResult::Outcome::NoAnswer) {
      inconclusive = true;
    }
  }
  if (!diag) return report;
  // A diagnostic port without an AT port is a modem that shows only that
  // port, and only when every other port was asked.
  if (!at && inconclusive) return report;
  e.diagInterface = candidates[*diag]->number;
  if (at) e.atInterface = candidates[*at]->number;
  report.found = e;
  return report;
}

void EnableUsbProbing(Clock& clock) {
  if (!UsbProbingEnabled()) return;
  Clock* c = &clock;
  SetUsbProber([c](const UsbDeviceInfo& d) -> std::optional<UsbProbeFinding> {
    DeviceProbeReport report = ProbeUsbDevice(*c, d, UsbDevRoot());
    Keep(report);
    if (!report.found) return std::nullopt;
    return UsbProbeFinding{*report.found, report.how};
  });
}

std::optional<DeviceProbeReport> UsbProbeReportFor(const std::string& appearance) {
  ProbeState& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  for (const DeviceProbeReport& r : s.reports) {
    if (r.appearance == appearance) return r;
  }
  return std::nullopt;
}

const char* ProbeOutcomeText(PortProbeResult::Outcome outcome) {
  switch (outcome) {
    case PortProbeResult::Outcome::Diagnostic:
      return "diagnostic port";
    case PortProbeResult::Outcome::Download:
      return "download port";
    case PortProbeResult::Outcome::At:
      return "AT port";
    case PortProbeResult::Outcome::NoAnswer:
      return "no answer";
    case PortProbeResult::Outcome::Busy:
      return "busy";
    case PortProbeResult::Outcome::Denied:
      return "permission denied";
    case PortProbeResult::Outcome::CannotOpen:
      return "cannot be opened";
    case PortProbeResult::Outcome::NotAsked:
      return "not asked";
  }
  return "";
}

}  // namespace quorrel

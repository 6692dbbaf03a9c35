#include "cli/usb_list.h"

#include <string>
#include <vector>

#include "download/codecs.h"
#include "download/dmss.h"
#include "download/streaming.h"
#include "link/phone_link.h"
#include "platform/modem_table.h"
#include "platform/serial_port.h"
#include "platform/usb_bridge.h"
#include "services/at_channel.h"
#include "services/diag_codec.h"
#include "util/text.h"

namespace quorrel::cli {

namespace {

constexpr int kBaud = 115200;
constexpr uint32_t kProbeMs = 500;
constexpr uint32_t kSecondPollMs = 500;

// One read-only request per protocol, each answered only in its own mode:
// the ESN (firmware), a downloader no-op, a programmer no-op.
std::string ProbeMode(Clock& clock, int diagCom, int atCom) {
  if (diagCom == 0) return "-";
  PhoneLink link(clock, SystemSerialDevices(), StandardCodecs());
  if (!link.port.Open(diagCom, kBaud, 8, 1)) return "cannot open COM" + std::to_string(diagCom);
  std::string mode = "no answer";
  link.BeginRequest(LinkProtocol::Diag, diag::kEsn);
  if (link.Exchange(1, kProbeMs)) {
    mode = "diagnostic";
  } else {
    link.BeginRequest(LinkProtocol::Dmss, dmss::kNoOp);
    if (link.Exchange(1, kProbeMs) && link.reply.code == dmss::kAck) {
      mode = "downloader";
    } else {
      link.BeginRequest(LinkProtocol::Streaming, stream::kNoOp);
      if (link.Exchange(1, kProbeMs)) mode = "programmer";
    }
  }
  link.port.Close();
  if (atCom != 0) {
    AtChannel at(clock, SystemSerialDevices());
    if (at.port.Open(atCom, kBaud, 8, 1)) {
      at.SetTimeout(kProbeMs);
      at.SetTries(1);
      at.SetCommand("AT");
      mode += at.SendAndWait() ? ", AT answers" : ", AT silent";
      at.port.Close();
    }
  }
  return mode;
}

std::string Com(int n) { return n != 0 ? Format("COM%d", n) : std::string("-"); }

}  // namespace

int ListUsbModems(Clock& clock, std::FILE* out, std::FILE* err) {
  if (!UsbBridgeEnabled()) {
    std::fprintf(err, "quorrel-cli: the USB bridge is off (--no-usb-bridge or QUORREL_USB_BRIDGE=0)\n");
    return 5;
  }
  std::vector<std::string> notices;
  SetUsbBridgeNoticeSink([&notices](const std::string& text) { notices.push_back(text); });
  // Two polls: an interface without a driver is only reported once it is
  // still without one a moment later (a driver binds just after plugging).
  (void)PollUsbBridge();
  clock.Sleep(kSecondPollMs);
  std::vector<UsbModem> modems = PollUsbBridge();
  for (const std::string& text : notices) std::fprintf(err, "quorrel-cli: %s\n", text.c_str());
  if (modems.empty()) {
    std::string files;
    for (const auto& file : ModemTableFiles()) files += (files.empty() ? "" : ", ") + file.string();
    std::fprintf(out, "no modem of the modem table is attached (table: %s)\n", files.c_str());
    return 5;
  }
  std::fprintf(out, "%-4s %-6s %-6s %-10s %-10s %-9s %-12s %-16s %-20s %s\n", "line", "diag", "at", "diag tty",
               "at tty", "VID:PID", "USB path", "serial", "name", "mode");
  for (const UsbModem& m : modems) {
    std::fprintf(out, "%-4s %-6s %-6s %-10s %-10s %04x:%04x %-12s %-16s %-20s %s\n", m.lineOne ? "1" : "-",
                 Com(m.diagCom).c_str(), Com(m.atCom).c_str(), m.diagTty.empty() ? "-" : m.diagTty.c_str(),
                 m.atTty.empty() ? "-" : m.atTty.c_str(), m.vendorId, m.productId, m.portPath.c_str(),
                 m.serial.empty() ? "-" : m.serial.c_str(), m.name.empty() ? "-" : m.name.c_str(),
                 ProbeMode(clock, m.diagCom, m.atCom).c_str());
  }
  return 0;
}

}  // namespace quorrel::cli

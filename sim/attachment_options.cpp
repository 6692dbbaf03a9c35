// The options about where the modem attaches (pseudo-terminals, a USB device,
// a Wine prefix), the modem swapped in, and what the program writes.
#include <algorithm>
#include <map>

#include "sim/option_table.h"
#include "sim/option_values.h"

namespace quorrel::sim {

namespace {

// An option that means nothing without --usb.
UsbSettings& Usb(OptionCall& call) {
  call.state.usbOnly = call.name;
  return call.modem().usb;
}

bool ReadText(const std::string& v, std::string* out) {
  *out = v;
  return true;
}

bool ReadDownloadId(OptionCall& call, const std::string& v) {
  uint64_t vid = 0, pid = 0;
  const size_t colon = v.find(':');
  if (colon != 4 || v.size() != 9 || !ParseNumber("0x" + v.substr(0, 4), &vid) ||
      !ParseNumber("0x" + v.substr(5), &pid)) {
    return call.Fail("expected VID:PID in hexadecimal, such as 05c6:9008");
  }
  UsbSettings& u = Usb(call);
  u.downloadVendorId = static_cast<uint16_t>(vid);
  u.downloadProductId = static_cast<uint16_t>(pid);
  return true;
}

bool ReadInterfaces(OptionCall& call, const std::string& v) {
  std::map<std::string, std::string> values;
  if (!ParseKeyValues(v, &values, call.error)) return false;
  const bool countGiven = values.count("count") != 0;
  Keys keys(std::move(values), call.error);
  UsbSettings& u = call.modem().usb;
  std::optional<std::string> at = keys.Text("at");
  if (at && *at == "none") {
    u.atInterface = -1;
  } else if (at && !ParseBounded(*at, 31, &u.atInterface)) {
    return call.Fail("at= an interface number or none");
  }
  if (!keys.Number("diag", 31, &u.diagInterface) || !keys.Number("count", 32, &u.interfaceCount) ||
      !keys.Done()) {
    return false;
  }
  if (!countGiven) u.interfaceCount = std::max(u.diagInterface, u.atInterface) + 1;
  if (u.diagInterface == u.atInterface || u.diagInterface >= u.interfaceCount ||
      u.atInterface >= u.interfaceCount) {
    return call.Fail("diag and at must differ and lie below count");
  }
  Usb(call);
  return true;
}

bool ReadSwapModem(OptionCall& call, const std::string& v) {
  std::map<std::string, std::string> values;
  if (!ParseKeyValues(v, &values, call.error)) return false;
  call.state.seedGivenForSwap = values.count("seed") != 0;
  call.state.esnGivenForSwap = values.count("esn") != 0;
  Keys keys(std::move(values), call.error);
  SwapPlan plan;
  if (!keys.Number("at", 0xFFFFFFFF, &plan.at) || !keys.Number("seed", UINT64_MAX, &plan.seed))
    return false;
  if (auto esn = keys.Text("esn")) {
    if (!ParseEsn(*esn, &plan.esn)) return call.Fail("esn= a hexadecimal ESN");
  }
  if (auto serial = keys.Text("serial")) {
    if (!ValidSerial(*serial))
      return call.Fail("serial= printable characters without spaces, or none");
    plan.serial = *serial == "none" ? std::string() : *serial;
  }
  if (!keys.Done()) return false;
  if (plan.at == 0) return call.Fail("at counts from 1");
  call.modem().swap = plan;
  return true;
}

constexpr Option kAttachmentOptions[] = {
    {"--help", false,
     [](OptionCall& call, const std::string&) {
       call.options().help = true;
       return true;
     }},
    {"-h", false,
     [](OptionCall& call, const std::string&) {
       call.options().help = true;
       return true;
     }},
    {"--quiet", false,
     [](OptionCall& call, const std::string&) {
       call.options().quiet = true;
       return true;
     }},
    {"--report", true,
     [](OptionCall& call, const std::string& v) {
       return ReadText(v, &call.options().reportPath);
     }},
    {"--dump", true,
     [](OptionCall& call, const std::string& v) { return ReadText(v, &call.options().dumpDir); }},
    {"--wine-prefix", true,
     [](OptionCall& call, const std::string& v) {
       return ReadText(v, &call.options().winePrefix);
     }},
    {"--usb", false,
     [](OptionCall& call, const std::string&) {
       call.options().usb = true;
       call.modem().usb.reenumerate = true;
       return true;
     }},
    {"--usb-programmer-stays", false,
     [](OptionCall& call, const std::string&) {
       Usb(call).programmerReenumerates = false;
       return true;
     }},
    {"--usb-path", true,
     [](OptionCall& call, const std::string& v) {
       if (!ValidUsbPortPath(v))
         return call.Fail("expected a USB port path such as 1-2 or 1-1.4.2");
       Usb(call).path = v;
       return true;
     }},
    {"--usb-download-id", true, ReadDownloadId},
    {"--usb-serial", true,
     [](OptionCall& call, const std::string& v) {
       if (!ValidSerial(v))
         return call.Fail("printable characters without spaces, at most 64, or none");
       Usb(call).serial = v == "none" ? std::string() : v;
       return true;
     }},
    {"--usb-interfaces", true, ReadInterfaces},
    {"--usb-companion", true,
     [](OptionCall& call, const std::string& v) {
       if (v != "every" && v != "download") return call.Fail("expected every or download");
       Usb(call).companion = v == "every" ? UsbCompanion::Every : UsbCompanion::Download;
       return true;
     }},
    {"--swap-modem", true, ReadSwapModem},
    {"--swap-report", true,
     [](OptionCall& call, const std::string& v) {
       return ReadText(v, &call.options().swapReportPath);
     }},
    {"--swap-dump", true,
     [](OptionCall& call, const std::string& v) {
       return ReadText(v, &call.options().swapDumpDir);
     }},
};

}  // namespace

std::span<const Option> AttachmentOptions() {
  return kAttachmentOptions;
}

}  // namespace quorrel::sim

#include "sim/options.h"

#include <algorithm>
#include <cstdlib>
#include <map>

#include "sim/option_table.h"
#include "sim/option_values.h"

namespace quorrel::sim {

namespace {

bool Flag(bool* flag) {
  *flag = true;
  return true;
}

// A firmware release text, which the version reply carries in 53 bytes.
bool ReadRelease(OptionCall& call, const std::string& v, std::string* out) {
  if (v.size() > 53) return call.Fail("at most 53 characters");
  *out = v;
  return true;
}

bool ReadFirstPort(OptionCall& call, const std::string& v) {
  int port = 0;
  if (!ParseBounded(v, 254, &port) || port < 1) return call.Fail("a port number from 1 to 254");
  call.modem().firstDiagPort = port;
  call.modem().firstDataPort = port + 1;
  return true;
}

bool ReadTimeScale(OptionCall& call, const std::string& v) {
  double& scale = call.options().timeScale;
  char* end = nullptr;
  scale = std::strtod(v.c_str(), &end);
  if (end == v.c_str() || *end != '\0' || !(scale > 0.0) || scale > 1000.0)
    return call.Fail("a factor above 0");
  return true;
}

bool ReadTimings(OptionCall& call, const std::string& v) {
  std::map<std::string, std::string> values;
  if (!ParseKeyValues(v, &values, call.error)) return false;
  Keys keys(std::move(values), call.error);
  Timings& t = call.modem().timings;
  const uint64_t max = 3600000;
  return keys.Number("reply", max, &t.replyMs) && keys.Number("nv-reply", max, &t.nvReplyMs) &&
         keys.Number("at-reply", max, &t.atReplyMs) &&
         keys.Number("flash-write", max, &t.flashWriteMs) &&
         keys.Number("image-open", max, &t.imageOpenMs) &&
         keys.Number("image-close", max, &t.imageCloseMs) &&
         keys.Number("link-rate", 1'000'000'000, &t.linkBytesPerSecond) &&
         keys.Number("downloader-start", max, &t.downloaderStartMs) &&
         keys.Number("programmer-start", max, &t.programmerStartMs) &&
         keys.Number("detach-after", max, &t.detachAfterMs) &&
         keys.Number("reattach-after", max, &t.reattachAfterMs) && keys.Done();
}

bool ReadStartMode(OptionCall& call, const std::string& v) {
  for (ModemMode m : {ModemMode::Normal, ModemMode::Downloader, ModemMode::Programmer}) {
    if (ModeName(m) == v) {
      call.modem().startMode = m;
      return true;
    }
  }
  return call.Fail("expected normal, downloader or programmer");
}

constexpr Option kModemOptions[] = {
    {"--seed", true,
     [](OptionCall& call, const std::string& v) {
       return ParseNumber(v, &call.modem().seed) || call.Fail("not a number");
     }},
    {"--esn", true,
     [](OptionCall& call, const std::string& v) {
       return ParseEsn(v, &call.modem().esn) || call.Fail("not a hexadecimal ESN");
     }},
    {"--version", true,
     [](OptionCall& call, const std::string& v) {
       if (!ReadRelease(call, v, &call.modem().firmwareVersion)) return false;
       call.state.versionGiven = true;
       return true;
     }},
    {"--no-carrier-tag", false,
     [](OptionCall& call, const std::string&) { return Flag(&call.state.noTag); }},
    {"--flashed-version", true,
     [](OptionCall& call, const std::string& v) {
       return ReadRelease(call, v, &call.modem().flashedVersion);
     }},
    {"--build", true,
     [](OptionCall& call, const std::string& v) {
       if (v.size() > 255) return call.Fail("at most 255 characters");
       call.modem().buildVersion = v;
       return true;
     }},
    {"--gmr", true,
     [](OptionCall& call, const std::string& v) {
       call.modem().gmrText = v;
       return true;
     }},
    {"--at-echo", false,
     [](OptionCall& call, const std::string&) { return Flag(&call.modem().atEcho); }},
    {"--vendor", true,
     [](OptionCall& call, const std::string& v) {
       if (v.empty() || v.find_first_of("\\/") != std::string::npos)
         return call.Fail("not a service name prefix");
       call.modem().vendor = v;
       return true;
     }},
    {"--first-port", true, ReadFirstPort},
    {"--diag-port-mode", true,
     [](OptionCall& call, const std::string& v) {
       return ParseBounded(v, 99, &call.modem().diagPortMode) || call.Fail("0 to 99");
     }},
    {"--spc", true,
     [](OptionCall& call, const std::string& v) {
       if (v.size() != 6) return call.Fail("six digits");
       call.modem().serviceCode = v;
       return true;
     }},
    {"--programmer", true,
     [](OptionCall& call, const std::string& v) {
       return ReadWholeFile(v, &call.modem().expectedProgrammer) || call.Fail("cannot read " + v);
     }},
    {"--nv-inactive", true,
     [](OptionCall& call, const std::string& v) {
       return ParseItems(v, &call.modem().inactiveItems, call.error);
     }},
    {"--nv-readonly", true,
     [](OptionCall& call, const std::string& v) {
       return ParseItems(v, &call.modem().readOnlyItems, call.error);
     }},
    {"--ready-after", true,
     [](OptionCall& call, const std::string& v) {
       return ParseBounded(v, 100000, &call.modem().readyAfterPolls) || call.Fail("not a count");
     }},
    {"--challenge", true,
     [](OptionCall& call, const std::string& v) {
       std::vector<uint8_t> c;
       if (!ParseHex(v, &c) || c.size() != 8) return call.Fail("sixteen hexadecimal digits");
       call.modem().challenge = c;
       return true;
     }},
    {"--time-scale", true, ReadTimeScale},
    {"--timing", true, ReadTimings},
    {"--start-in", true, ReadStartMode},
};

const Option* Find(const std::string& name) {
  for (std::span<const Option> table : {ModemOptions(), FaultOptions(), AttachmentOptions()}) {
    auto it =
        std::find_if(table.begin(), table.end(), [&](const Option& o) { return name == o.name; });
    if (it != table.end()) return &*it;
  }
  return nullptr;
}

// What no single option can check: the options that need another one.
bool CheckTogether(ParseState& state, std::string* error) {
  SimOptions& o = state.options;
  ModemConfig& m = o.modem;
  if (state.noTag && !state.versionGiven) m.firmwareVersion = "ZIZ_KZ_Brenta_B01";
  if (!state.usbOnly.empty() && !o.usb) {
    *error = state.usbOnly + " needs --usb";
    return false;
  }
  if (m.usb.companion != UsbCompanion::None && UsbCompanionPath(m.usb.path).empty()) {
    *error = "--usb-companion needs a root port path such as 1-2 (not " + m.usb.path + ")";
    return false;
  }
  if (m.swap) {
    // The other modem differs from this one whatever order the options came in.
    if (!state.seedGivenForSwap) m.swap->seed = m.seed + 1;
    if (!state.esnGivenForSwap) m.swap->esn = m.esn + 1;
  } else if (!o.swapReportPath.empty() || !o.swapDumpDir.empty()) {
    *error = "--swap-report and --swap-dump need --swap-modem";
    return false;
  }
  return true;
}

}  // namespace

std::span<const Option> ModemOptions() {
  return kModemOptions;
}

std::optional<SimOptions> ParseSimOptions(const std::vector<std::string>& args,
                                          std::string* error) {
  ParseState state;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    const Option* option = Find(arg);
    if (option == nullptr) {
      *error = "unknown option " + arg + " (see --help)";
      return std::nullopt;
    }
    std::string value;
    if (option->takesValue) {
      if (i + 1 >= args.size()) {
        *error = arg + " needs a value";
        return std::nullopt;
      }
      value = args[++i];
    }
    OptionCall call{arg, state, error};
    if (!option->read(call, value)) return std::nullopt;
  }
  if (!CheckTogether(state, error)) return std::nullopt;
  return state.options;
}

}  // namespace quorrel::sim

#include "sim/options.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>

#include "util/text.h"

namespace quorrel::sim {

namespace {

bool ParseNumber(const std::string& text, uint64_t* out) {
  if (text.empty()) return false;
  errno = 0;
  char* end = nullptr;
  unsigned long long v = std::strtoull(text.c_str(), &end, 0);
  if (errno != 0 || end == nullptr || *end != '\0' || text[0] == '-') return false;
  *out = v;
  return true;
}

template <typename T>
bool ParseBounded(const std::string& text, uint64_t max, T* out) {
  uint64_t v = 0;
  if (!ParseNumber(text, &v) || v > max) return false;
  *out = static_cast<T>(v);
  return true;
}

std::vector<std::string> Split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    size_t at = text.find(separator, start);
    parts.push_back(text.substr(start, at == std::string::npos ? std::string::npos : at - start));
    if (at == std::string::npos) break;
    start = at + 1;
  }
  return parts;
}

// "a=1,b=2" into a map; false on a part without '=' or a repeated key.
bool ParseKeyValues(const std::string& pattern, std::map<std::string, std::string>* out, std::string* error) {
  for (const std::string& part : Split(pattern, ',')) {
    size_t eq = part.find('=');
    if (eq == std::string::npos || eq == 0) {
      *error = "expected key=value, got \"" + part + "\"";
      return false;
    }
    if (!out->emplace(part.substr(0, eq), part.substr(eq + 1)).second) {
      // Formatted rather than concatenated: GCC 12 at -O3 sees a false
      // overlap in the std::string concatenation here (-Wrestrict).
      *error = Format("\"%s\" given twice", part.substr(0, eq).c_str());
      return false;
    }
  }
  return true;
}

// Takes keys off the map; whatever is left at the end is unknown.
class Keys {
 public:
  Keys(std::map<std::string, std::string> values, std::string* error) : values_(std::move(values)), error_(error) {}
  template <typename T>
  bool Number(const std::string& key, uint64_t max, T* out, bool required = false) {
    auto it = values_.find(key);
    if (it == values_.end()) {
      if (required) *error_ = "missing " + key + "=";
      return !required;
    }
    std::string text = it->second;
    values_.erase(it);
    if (!ParseBounded(text, max, out)) {
      *error_ = "bad value for " + key + ": \"" + text + "\"";
      return false;
    }
    return true;
  }
  std::optional<std::string> Text(const std::string& key) {
    auto it = values_.find(key);
    if (it == values_.end()) return std::nullopt;
    std::string text = it->second;
    values_.erase(it);
    return text;
  }
  bool Done() {
    if (values_.empty()) return true;
    *error_ = "unknown key \"" + values_.begin()->first + "\"";
    return false;
  }

 private:
  std::map<std::string, std::string> values_;
  std::string* error_;
};

std::optional<ModemMode> ModeByName(const std::string& name) {
  for (ModemMode m : {ModemMode::Normal, ModemMode::Downloader, ModemMode::Programmer}) {
    if (ModeName(m) == name) return m;
  }
  if (name == "diag") return ModemMode::Normal;
  if (name == "dmss") return ModemMode::Downloader;
  if (name == "streaming") return ModemMode::Programmer;
  return std::nullopt;
}

bool ParseItems(const std::string& list, std::set<uint16_t>* out, std::string* error) {
  for (const std::string& part : Split(list, ',')) {
    uint16_t item = 0;
    if (!ParseBounded(part, 0xFFFF, &item)) {
      *error = "bad NV item \"" + part + "\"";
      return false;
    }
    out->insert(item);
  }
  return true;
}

bool ParseHex(const std::string& text, std::vector<uint8_t>* out) {
  if (text.size() % 2 != 0) return false;
  out->clear();
  for (size_t i = 0; i < text.size(); i += 2) {
    uint64_t v = 0;
    if (!ParseNumber("0x" + text.substr(i, 2), &v)) return false;
    out->push_back(static_cast<uint8_t>(v));
  }
  return true;
}

// A USB serial number as given: printable, no spaces ("none": no serial).
bool ValidSerial(const std::string& text) {
  if (text.empty() || text.size() > 64) return false;
  for (char c : text) {
    if (c <= ' ' || c >= 0x7F) return false;
  }
  return true;
}

bool ReadWholeFile(const std::string& path, std::vector<uint8_t>* out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  out->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}

}  // namespace

bool ParseReplyPattern(const std::string& pattern, ReplyFault* fault, std::string* error) {
  std::map<std::string, std::string> values;
  if (!pattern.empty() && !ParseKeyValues(pattern, &values, error)) return false;
  Keys keys(std::move(values), error);
  if (!keys.Number("nth", 0xFFFFFFFF, &fault->match.nth) || !keys.Number("count", 0xFFFFFFFF, &fault->match.count) ||
      !keys.Number("every", 0xFFFFFFFF, &fault->match.every)) {
    return false;
  }
  if (fault->match.nth == 0 || fault->match.every == 0) {
    *error = fault->match.nth == 0 ? "nth counts from 1" : "every counts from 1";
    return false;
  }
  if (auto mode = keys.Text("mode")) {
    fault->match.mode = ModeByName(*mode);
    if (!fault->match.mode) {
      *error = "unknown mode \"" + *mode + "\" (normal, downloader, programmer)";
      return false;
    }
  }
  uint8_t code = 0;
  if (auto text = keys.Text("code")) {
    if (!ParseBounded(*text, 0xFF, &code)) {
      *error = "bad request code \"" + *text + "\"";
      return false;
    }
    fault->match.code = code;
  }
  if (fault->kind == ReplyFault::Kind::Delay && !keys.Number("ms", 3600000, &fault->delayMs, true)) return false;
  if (fault->kind == ReplyFault::Kind::Split &&
      (!keys.Number("piece", 65536, &fault->pieceSize) || !keys.Number("interval", 3600000, &fault->intervalMs) ||
       !keys.Number("cuts", 65536, &fault->randomCuts))) {
    return false;
  }
  if (fault->kind == ReplyFault::Kind::Split && fault->pieceSize == 0) {
    *error = "piece must be at least 1";
    return false;
  }
  return keys.Done();
}

std::optional<SimOptions> ParseSimOptions(const std::vector<std::string>& args, std::string* error) {
  SimOptions o;
  ModemConfig& m = o.modem;
  bool versionGiven = false, noTag = false;
  std::string usbOnly;  // the last option given that means nothing without --usb
  bool seedGivenForSwap = false, esnGivenForSwap = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    auto value = [&](std::string* out) {
      if (i + 1 >= args.size()) {
        *error = arg + " needs a value";
        return false;
      }
      *out = args[++i];
      return true;
    };
    auto fail = [&](const std::string& why) {
      *error = arg + ": " + why;
      return std::nullopt;
    };
    std::string v;
    if (arg == "--help" || arg == "-h") {
      o.help = true;
      continue;
    }
    if (arg == "--quiet") {
      o.quiet = true;
      continue;
    }
    if (arg == "--never-ready") {
      m.faults.neverReady = true;
      continue;
    }
    if (arg == "--power-loss-after-partition") {
      m.faults.powerLossAfterPartition = true;
      continue;
    }
    if (arg == "--no-carrier-tag") {
      noTag = true;
      continue;
    }
    if (arg == "--usb") {
      o.usb = true;
      m.usb.reenumerate = true;
      continue;
    }
    if (arg == "--usb-programmer-stays") {
      m.usb.programmerReenumerates = false;
      usbOnly = arg;
      continue;
    }
    if (arg == "--at-echo") {
      m.atEcho = true;
      continue;
    }
    static const std::set<std::string> kValueOptions = {
        "--seed", "--esn", "--version", "--flashed-version", "--build", "--gmr", "--vendor", "--first-port",
        "--diag-port-mode", "--spc", "--programmer", "--nv-inactive", "--nv-readonly", "--nv-status",
        "--nv-reply", "--ready-after", "--challenge", "--time-scale", "--timing", "--drop-reply", "--corrupt-reply", "--noise-reply",
        "--delay-reply", "--split-replies", "--random-drop", "--random-corrupt", "--reject-dmss-write",
        "--stream-error", "--no-return-after-reset", "--unplug-during-write", "--programmer-silent-after",
        "--report", "--dump", "--usb-path", "--start-in", "--stall-image", "--wine-prefix",
        "--swap-at-reset"};
    static const std::set<std::string> kComingBackOptions = {
        "--usb-download-id", "--usb-serial", "--usb-interfaces", "--usb-companion",
        "--slow-reboot", "--swap-modem", "--swap-report", "--swap-dump"};
    if (kValueOptions.count(arg) == 0 && kComingBackOptions.count(arg) == 0) {
      *error = "unknown option " + arg + " (see --help)";
      return std::nullopt;
    }
    if (!value(&v)) return std::nullopt;

    if (arg == "--seed") {
      if (!ParseNumber(v, &m.seed)) return fail("not a number");
    } else if (arg == "--esn") {
      uint64_t esn = 0;
      if (!ParseNumber(v.rfind("0x", 0) == 0 ? v : "0x" + v, &esn) || esn > 0xFFFFFFFF) return fail("not a hexadecimal ESN");
      m.esn = static_cast<uint32_t>(esn);
    } else if (arg == "--version") {
      if (v.size() > 53) return fail("at most 53 characters");
      m.firmwareVersion = v;
      versionGiven = true;
    } else if (arg == "--flashed-version") {
      if (v.size() > 53) return fail("at most 53 characters");
      m.flashedVersion = v;
    } else if (arg == "--build") {
      if (v.size() > 255) return fail("at most 255 characters");
      m.buildVersion = v;
    } else if (arg == "--gmr") {
      m.gmrText = v;
    } else if (arg == "--vendor") {
      if (v.empty() || v.find_first_of("\\/") != std::string::npos) return fail("not a service name prefix");
      m.vendor = v;
    } else if (arg == "--first-port") {
      int port = 0;
      if (!ParseBounded(v, 254, &port) || port < 1) return fail("a port number from 1 to 254");
      m.firstDiagPort = port;
      m.firstDataPort = port + 1;
    } else if (arg == "--diag-port-mode") {
      if (!ParseBounded(v, 99, &m.diagPortMode)) return fail("0 to 99");
    } else if (arg == "--spc") {
      if (v.size() != 6) return fail("six digits");
      m.serviceCode = v;
    } else if (arg == "--programmer") {
      if (!ReadWholeFile(v, &m.expectedProgrammer)) return fail("cannot read " + v);
    } else if (arg == "--nv-inactive") {
      if (!ParseItems(v, &m.inactiveItems, error)) return std::nullopt;
    } else if (arg == "--nv-readonly") {
      if (!ParseItems(v, &m.readOnlyItems, error)) return std::nullopt;
    } else if (arg == "--nv-status") {
      std::map<std::string, std::string> values;
      if (!ParseKeyValues(v, &values, error)) return std::nullopt;
      Keys keys(std::move(values), error);
      uint16_t item = 0, read = 0, write = 0;
      NvStatusFault f;
      if (!keys.Number("item", 0xFFFF, &item, true)) return std::nullopt;
      if (auto t = keys.Text("read")) {
        if (!ParseBounded(*t, 0xFFFF, &read)) return fail("bad read status");
        f.read = read;
      }
      if (auto t = keys.Text("write")) {
        if (!ParseBounded(*t, 0xFFFF, &write)) return fail("bad write status");
        f.write = write;
      }
      if (!keys.Number("count", 0xFFFFFFFF, &f.count) || !keys.Done()) return std::nullopt;
      m.faults.nvStatus[item] = f;
    } else if (arg == "--nv-reply") {
      std::map<std::string, std::string> values;
      if (!ParseKeyValues(v, &values, error)) return std::nullopt;
      Keys keys(std::move(values), error);
      static const std::map<std::string, NvReplyFault::Kind> kKinds = {
          {"other", NvReplyFault::Kind::OtherItem},
          {"short", NvReplyFault::Kind::Short},
          {"error", NvReplyFault::Kind::DiagError},
          {"status", NvReplyFault::Kind::Status}};
      NvReplyFault f;
      const std::optional<std::string> kind = keys.Text("kind");
      if (!kind || kKinds.count(*kind) == 0) return fail("kind=other|short|error|status");
      f.kind = kKinds.at(*kind);
      const std::optional<std::string> dir = keys.Text("dir");
      if (dir && *dir != "read" && *dir != "write") return fail("dir=read|write");
      f.write = dir && *dir == "write";
      uint16_t item = 0;
      if (auto t = keys.Text("item")) {
        if (!ParseBounded(*t, 0xFFFF, &item)) return fail("bad NV item");
        f.item = item;
      }
      if (!keys.Number("value", 0xFFFF, &f.value, true) || !keys.Number("count", 0xFFFFFFFF, &f.count) ||
          !keys.Done()) {
        return std::nullopt;
      }
      m.faults.nvReplies.push_back(f);
    } else if (arg == "--ready-after") {
      if (!ParseBounded(v, 100000, &m.readyAfterPolls)) return fail("not a count");
    } else if (arg == "--challenge") {
      std::vector<uint8_t> c;
      if (!ParseHex(v, &c) || c.size() != 8) return fail("sixteen hexadecimal digits");
      m.challenge = c;
    } else if (arg == "--time-scale") {
      char* end = nullptr;
      o.timeScale = std::strtod(v.c_str(), &end);
      if (end == v.c_str() || *end != '\0' || !(o.timeScale > 0.0) || o.timeScale > 1000.0) {
        return fail("a factor above 0");
      }
    } else if (arg == "--timing") {
      std::map<std::string, std::string> values;
      if (!ParseKeyValues(v, &values, error)) return std::nullopt;
      Keys keys(std::move(values), error);
      Timings& t = m.timings;
      const uint64_t max = 3600000;
      if (!keys.Number("reply", max, &t.replyMs) || !keys.Number("nv-reply", max, &t.nvReplyMs) ||
          !keys.Number("at-reply", max, &t.atReplyMs) || !keys.Number("flash-write", max, &t.flashWriteMs) ||
          !keys.Number("downloader-start", max, &t.downloaderStartMs) ||
          !keys.Number("programmer-start", max, &t.programmerStartMs) ||
          !keys.Number("detach-after", max, &t.detachAfterMs) ||
          !keys.Number("reattach-after", max, &t.reattachAfterMs) || !keys.Done()) {
        return std::nullopt;
      }
    } else if (arg == "--drop-reply" || arg == "--corrupt-reply" || arg == "--delay-reply" ||
               arg == "--split-replies" || arg == "--noise-reply") {
      ReplyFault f;
      f.kind = arg == "--drop-reply"      ? ReplyFault::Kind::Drop
               : arg == "--corrupt-reply" ? ReplyFault::Kind::Corrupt
               : arg == "--delay-reply"   ? ReplyFault::Kind::Delay
               : arg == "--noise-reply"   ? ReplyFault::Kind::Noise
                                          : ReplyFault::Kind::Split;
      if (f.kind == ReplyFault::Kind::Split) f.match.count = 0;
      if (!ParseReplyPattern(v, &f, error)) return fail(*error);
      m.faults.replies.push_back(f);
    } else if (arg == "--random-drop") {
      if (!ParseBounded(v, 1000, &m.faults.randomDropPerMille)) return fail("0 to 1000 (per mille)");
    } else if (arg == "--random-corrupt") {
      if (!ParseBounded(v, 1000, &m.faults.randomCorruptPerMille)) return fail("0 to 1000 (per mille)");
    } else if (arg == "--reject-dmss-write") {
      std::map<std::string, std::string> values;
      if (!ParseKeyValues(v, &values, error)) return std::nullopt;
      Keys keys(std::move(values), error);
      DmssRejectFault f;
      if (!keys.Number("nth", 0xFFFFFFFF, &f.nth) || !keys.Number("count", 0xFFFFFFFF, &f.count) ||
          !keys.Number("reason", 0xFFFF, &f.reason) || !keys.Done()) {
        return std::nullopt;
      }
      if (f.nth == 0) return fail("nth counts from 1");
      m.faults.dmssRejects.push_back(f);
    } else if (arg == "--stream-error") {
      std::map<std::string, std::string> values;
      if (!ParseKeyValues(v, &values, error)) return std::nullopt;
      Keys keys(std::move(values), error);
      StreamErrorFault f;
      if (!keys.Number("type", 0xFF, &f.imageType, true) || !keys.Number("block", 0xFFFFFFFF, &f.block) ||
          !keys.Number("code", 0xFFFFFFFF, &f.code) || !keys.Number("count", 0xFFFFFFFF, &f.count) ||
          !keys.Done()) {
        return std::nullopt;
      }
      m.faults.streamErrors.push_back(f);
    } else if (arg == "--no-return-after-reset") {
      if (!ParseBounded(v, 100000, &m.faults.noReturnAfterReset)) return fail("not a count");
    } else if (arg == "--programmer-silent-after") {
      if (!ParseBounded(v, 0xFFFFFFFF, &m.faults.programmerSilentAfter)) return fail("not a count");
    } else if (arg == "--unplug-during-write") {
      std::map<std::string, std::string> values;
      if (!ParseKeyValues(v, &values, error)) return std::nullopt;
      Keys keys(std::move(values), error);
      UnplugFault f;
      if (!keys.Number("type", 0xFF, &f.imageType, true) || !keys.Number("block", 0xFFFFFFFF, &f.block) ||
          !keys.Number("replug-ms", 3600000, &f.replugMs) || !keys.Done()) {
        return std::nullopt;
      }
      m.faults.unplug = f;
    } else if (arg == "--start-in") {
      if (v == "normal") {
        m.startMode = ModemMode::Normal;
      } else if (v == "downloader") {
        m.startMode = ModemMode::Downloader;
      } else if (v == "programmer") {
        m.startMode = ModemMode::Programmer;
      } else {
        return fail("expected normal, downloader or programmer");
      }
    } else if (arg == "--stall-image") {
      std::map<std::string, std::string> values;
      if (!ParseKeyValues(v, &values, error)) return std::nullopt;
      Keys keys(std::move(values), error);
      StallFault f;
      if (!keys.Number("type", 0xFF, &f.imageType, true) || !keys.Number("block", 0xFFFFFFFF, &f.block) ||
          !keys.Done()) {
        return std::nullopt;
      }
      m.faults.stall = f;
    } else if (arg == "--swap-at-reset") {
      std::map<std::string, std::string> values;
      if (!ParseKeyValues(v, &values, error)) return std::nullopt;
      Keys keys(std::move(values), error);
      SwapFault f;
      std::optional<std::string> esn = keys.Text("esn");
      if (!keys.Number("reset", 100000, &f.afterReset, true) ||
          !keys.Number("seed", UINT64_MAX, &f.seed) || !keys.Done()) {
        return std::nullopt;
      }
      if (f.afterReset == 0) return fail("reset= counts from 1");
      if (esn) {
        uint64_t number = 0;
        if (!ParseNumber(esn->rfind("0x", 0) == 0 ? *esn : "0x" + *esn, &number) ||
            number > 0xFFFFFFFF) {
          return fail("not a hexadecimal ESN");
        }
        f.esn = static_cast<uint32_t>(number);
      }
      m.faults.swap = f;
    } else if (arg == "--report") {
      o.reportPath = v;
    } else if (arg == "--dump") {
      o.dumpDir = v;
    } else if (arg == "--usb-path") {
      if (!ValidUsbPortPath(v)) return fail("expected a USB port path such as 1-2 or 1-1.4.2");
      m.usb.path = v;
      usbOnly = arg;
    } else if (arg == "--usb-download-id") {
      uint64_t vid = 0, pid = 0;
      const size_t colon = v.find(':');
      if (colon != 4 || v.size() != 9 || !ParseNumber("0x" + v.substr(0, 4), &vid) ||
          !ParseNumber("0x" + v.substr(5), &pid)) {
        return fail("expected VID:PID in hexadecimal, such as 05c6:9008");
      }
      m.usb.downloadVendorId = static_cast<uint16_t>(vid);
      m.usb.downloadProductId = static_cast<uint16_t>(pid);
      usbOnly = arg;
    } else if (arg == "--usb-serial") {
      if (!ValidSerial(v)) return fail("printable characters without spaces, at most 64, or none");
      m.usb.serial = v == "none" ? std::string() : v;
      usbOnly = arg;
    } else if (arg == "--usb-interfaces") {
      std::map<std::string, std::string> values;
      if (!ParseKeyValues(v, &values, error)) return std::nullopt;
      const bool countGiven = values.count("count") != 0;
      Keys keys(std::move(values), error);
      UsbSettings& u = m.usb;
      std::optional<std::string> at = keys.Text("at");
      if (at && *at == "none") {
        u.atInterface = -1;
      } else if (at && !ParseBounded(*at, 31, &u.atInterface)) {
        return fail("at= an interface number or none");
      }
      if (!keys.Number("diag", 31, &u.diagInterface) ||
          !keys.Number("count", 32, &u.interfaceCount) || !keys.Done()) {
        return std::nullopt;
      }
      if (!countGiven) u.interfaceCount = std::max(u.diagInterface, u.atInterface) + 1;
      if (u.diagInterface == u.atInterface || u.diagInterface >= u.interfaceCount ||
          u.atInterface >= u.interfaceCount) {
        return fail("diag and at must differ and lie below count");
      }
      usbOnly = arg;
    } else if (arg == "--usb-companion") {
      if (v == "every") {
        m.usb.companion = UsbCompanion::Every;
      } else if (v == "download") {
        m.usb.companion = UsbCompanion::Download;
      } else {
        return fail("expected every or download");
      }
      usbOnly = arg;
    } else if (arg == "--slow-reboot") {
      std::map<std::string, std::string> values;
      if (!ParseKeyValues(v, &values, error)) return std::nullopt;
      Keys keys(std::move(values), error);
      SlowReboot f;
      if (!keys.Number("ms", 86400000, &f.ms, true) || !keys.Number("nth", 0xFFFFFFFF, &f.nth) ||
          !keys.Number("count", 0xFFFFFFFF, &f.count) || !keys.Done()) {
        return std::nullopt;
      }
      if (f.nth == 0) return fail("nth counts from 1");
      m.faults.slowReboot = f;
    } else if (arg == "--swap-modem") {
      std::map<std::string, std::string> values;
      if (!ParseKeyValues(v, &values, error)) return std::nullopt;
      seedGivenForSwap = values.count("seed") != 0;
      esnGivenForSwap = values.count("esn") != 0;
      Keys keys(std::move(values), error);
      SwapPlan plan;
      if (!keys.Number("at", 0xFFFFFFFF, &plan.at) ||
          !keys.Number("seed", UINT64_MAX, &plan.seed)) {
        return std::nullopt;
      }
      if (auto esn = keys.Text("esn")) {
        uint64_t esnValue = 0;
        if (!ParseNumber(esn->rfind("0x", 0) == 0 ? *esn : "0x" + *esn, &esnValue) ||
            esnValue > 0xFFFFFFFF) {
          return fail("esn= a hexadecimal ESN");
        }
        plan.esn = static_cast<uint32_t>(esnValue);
      }
      if (auto serial = keys.Text("serial")) {
        if (!ValidSerial(*serial))
          return fail("serial= printable characters without spaces, or none");
        plan.serial = *serial == "none" ? std::string() : *serial;
      }
      if (!keys.Done()) return std::nullopt;
      if (plan.at == 0) return fail("at counts from 1");
      m.swap = plan;
    } else if (arg == "--swap-report") {
      o.swapReportPath = v;
    } else if (arg == "--swap-dump") {
      o.swapDumpDir = v;
    } else if (arg == "--wine-prefix") {
      o.winePrefix = v;
    } else {
      *error = "unknown option " + arg + " (see --help)";
      return std::nullopt;
    }
  }
  if (noTag && !versionGiven) m.firmwareVersion = "ZIZ_KZ_Brenta_B01";
  if (!usbOnly.empty() && !o.usb) {
    *error = usbOnly + " needs --usb";
    return std::nullopt;
  }
  if (m.usb.companion != UsbCompanion::None && UsbCompanionPath(m.usb.path).empty()) {
    *error = "--usb-companion needs a root port path such as 1-2 (not " + m.usb.path + ")";
    return std::nullopt;
  }
  if (m.swap) {
    // The other modem differs from this one whatever order the options came in.
    if (!seedGivenForSwap) m.swap->seed = m.seed + 1;
    if (!esnGivenForSwap) m.swap->esn = m.esn + 1;
  } else if (!o.swapReportPath.empty() || !o.swapDumpDir.empty()) {
    *error = "--swap-report and --swap-dump need --swap-modem";
    return std::nullopt;
  }
  return o;
}

std::string SimUsage() {
  return R"(Usage: quorrel-sim [options]

Attaches a virtual modem under $QUORREL_ROOT: two pseudo-terminals linked as
dosdevices/comN, registry keys for the driver services (or, with --usb, a
USB device in a sysfs tree). Prints a line on every attachment and
detachment (see "Lines printed" below). SIGTERM or SIGINT detaches, writes
the report and exits.

Modem:
  --seed N                 seed of everything drawn (NV contents, challenge, faults) [1]
  --esn HEX                the ESN [8A3F21C4]
  --version TEXT           the firmware release (ninth version text) [ZIZ_RU_Farrick_B01]
  --no-carrier-tag         a release without the carrier tag (ZIZ_KZ_Brenta_B01)
  --flashed-version TEXT   the release after a flash [ZIZ_RU_Farrick_B02]
  --build TEXT             the build version text
  --gmr TEXT               the AT+GMR answer [the release]
  --at-echo                echo AT commands on the data port
  --vendor NAME            driver services NAMEusbser6k / NAMEusbmdm6k [Vantrel]
  --first-port N           first diagnostic port (data port N+1); each restart moves on by 2 [5]
  --diag-port-mode N       AT+VDIAG mode; 0 leaves out the diagnostic port [6]
  --spc DIGITS             the service programming code [000000]
  --programmer FILE        go starts the programmer only if RAM holds exactly this file
  --nv-inactive LIST       NV items that answer "not active" (comma-separated)
  --nv-readonly LIST       NV items that refuse writes
  --ready-after N          readiness polls answered "busy" after going offline [0]
  --challenge HEX          the 8-byte handshake challenge [drawn from the seed]
  --timing K=MS,...        reply, nv-reply, at-reply, flash-write, downloader-start,
                           programmer-start, detach-after, reattach-after
  --time-scale F           multiply every delay and pause by F (0.1: ten times faster) [1]
  --start-in MODE          attach in normal, downloader or programmer mode [normal]; the
                           last two show only the diagnostic port

Faults (PATTERN: nth=N,count=C,every=E,mode=normal|downloader|programmer,code=X; count 0 = all
        from nth on; every=E: only every Eth of them):
  --drop-reply PATTERN        leave matching diagnostic-port replies out
  --corrupt-reply PATTERN     send them with a wrong CRC
  --noise-reply PATTERN       send 1 to 8 stray bytes in front of them
  --delay-reply PATTERN,ms=D  send them D ms late
  --split-replies PATTERN,piece=P,interval=I   send them in P-byte pieces I ms apart
                           (cuts=K instead of piece=: cut each at 1 to K random points)
  --random-drop PERMILLE   drop replies at random (seeded)
  --random-corrupt PERMILLE
  --reject-dmss-write nth=N,count=C,reason=R
  --stream-error type=T,block=B,code=C,count=N
  --nv-status item=I,read=S,write=S,count=N
  --nv-reply kind=other|short|error|status,value=V[,item=I][,dir=read|write][,count=N]
                           NV replies (of item I, else every item) naming item V, cut to
                           V bytes, a diagnostic error reply V, or status V
  --no-return-after-reset N   stay away after the Nth restart
  --unplug-during-write type=T,block=B[,replug-ms=MS]
  --never-ready            the readiness poll never says ready
  --programmer-silent-after N  the programmer answers N stream writes, then nothing at all
  --power-loss-after-partition  power fails after the partition table; the modem comes
                           back in its downloader until an amss image is written again
  --stall-image type=T[,block=B]  the programmer stops answering at block B of image
                           type T, until the host greets it again
  --swap-at-reset reset=N[,seed=S][,esn=HEX]  another modem comes back after the Nth
                           restart, at the same place: ESN HEX [5C0FFEE5], NV items of
                           seed S [2], its own firmware and settings

USB (Linux):
  --usb                    attach as a USB device instead, as the kernel shows one: a sysfs tree
                           under $QUORREL_SYSFS (root hubs and ports, the device at its port path,
                           its interfaces, drivers, usb-serial ports and tty class entries) and
                           tty nodes $QUORREL_DEV/ttyUSBn leading to the pseudo-terminals; nothing
                           is written under $QUORREL_ROOT. Every mode change is a disconnect: the
                           switch into the downloader, the programmer's start, every reset, a
                           replug. The device leaves the tree, the host's descriptors on its ttys
                           hang up (reads end, writes fail with EIO, poll says POLLHUP), and after
                           its boot time a new device comes (a new devnum):
                             firmware: VID:PID of the modem (1e0e:9000), its serial (the ESN),
                               interfaces 0 diagnostic and 2 AT on option (usb-serial option1),
                               1 reserved without a driver
                             downloader, programmer: the download identity, one interface 0 on
                               qcserial, no serial
                           A ttyUSB number stays taken while any process holds the tty it last
                           stood for open; a new tty takes the lowest free number. Several
                           simulators may share one tree (each at its own path).
  --usb-path PATH          the USB port path, 1-2 or behind hubs 1-1.4.2 [1-2]
  --usb-download-id VID:PID  the download modes' identity [05c6:9008]
  --usb-serial TEXT        the firmware's serial number, or none [the ESN]
  --usb-interfaces diag=N,at=M[,count=K]  the firmware's layout: at=none leaves out the AT
                           port; interfaces below K without a port are reserved
                           [diag=0,at=2,count=3]
  --usb-programmer-stays   the programmer starts on the downloader's device, without re-enumerating
  --usb-companion every|download  a USB3 root hub pair (USB 2.0 on the odd bus, USB3 on the even
                           one, each port the other's peer; the path must be a root port): the
                           modem comes back on the companion port (1-2 <-> 2-2) at every
                           re-enumeration, or in its download modes only

Coming back (any attachment):
  --slow-reboot ms=MS[,nth=N][,count=C]  the Nth return to the bus (and C-1 after it; 0: all)
                           takes MS instead of its usual pause [nth=1,count=1]
  --swap-modem at=N[,seed=S][,esn=HEX][,serial=TEXT|none]  at its Nth departure another modem
                           comes back in its place: its own seed (NV contents) [seed+1], ESN
                           [ESN+1] and serial [its ESN]; no faults; the firmware, not flashed
  --swap-report FILE       the JSON report of the swapped-in modem
  --swap-dump DIR          its images

Lines printed (standard output), one per event:
  attached diag=COMd data=COMm                  a registry attachment (none: no such port)
  detached                                      its ports went
  attached usb=PATH diag=TTY data=TTY id=VVVV:PPPP mode=normal|downloader|programmer devnum=N
           speed=480|5000 serial=SERIAL         a USB attachment (one line; TTY or none)
  interfaces usb=PATH diag only                 after it, in a download mode
  detached usb=PATH                             the device left (its ttys already hung up)
  replaced [usb=PATH ]esn=XXXXXXXX serial=S     a swapped-in modem comes; its attach line follows
  attach failed                                 the ports or the device could not be made

Output:
  --report FILE            JSON report at exit
  --dump DIR               the flashed images, headers, partition table and programmer at exit
  --quiet                  print only the attach and detach lines

Attachment:
  --wine-prefix DIR        attach to a Wine prefix: the ports linked as DIR/dosdevices/comN, the
                           driver keys imported into its registry with `wine regedit` ($QUORREL_WINE)
)";
}

}  // namespace quorrel::sim

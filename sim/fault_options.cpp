// The fault plan's options: which replies, requests and moments misbehave.
#include <map>

#include "sim/option_table.h"
#include "sim/option_values.h"

namespace quorrel::sim {

namespace {

// The value's "key=value,..." pattern, or nothing (with the error) when it
// is not one.
std::optional<Keys> Pattern(OptionCall& call, const std::string& value) {
  std::map<std::string, std::string> values;
  if (!ParseKeyValues(value, &values, call.error)) return std::nullopt;
  return Keys(std::move(values), call.error);
}

bool ReadReplyFault(OptionCall& call, const std::string& value, ReplyFault::Kind kind) {
  ReplyFault f;
  f.kind = kind;
  if (f.kind == ReplyFault::Kind::Split) f.match.count = 0;
  if (!ParseReplyPattern(value, &f, call.error)) return call.Fail(std::string(*call.error));
  call.faults().replies.push_back(f);
  return true;
}

bool ReadNvStatus(OptionCall& call, const std::string& value) {
  std::optional<Keys> keys = Pattern(call, value);
  if (!keys) return false;
  uint16_t item = 0, read = 0, write = 0;
  NvStatusFault f;
  if (!keys->Number("item", 0xFFFF, &item, true)) return false;
  if (auto t = keys->Text("read")) {
    if (!ParseBounded(*t, 0xFFFF, &read)) return call.Fail("bad read status");
    f.read = read;
  }
  if (auto t = keys->Text("write")) {
    if (!ParseBounded(*t, 0xFFFF, &write)) return call.Fail("bad write status");
    f.write = write;
  }
  if (!keys->Number("count", 0xFFFFFFFF, &f.count) || !keys->Done()) return false;
  call.faults().nvStatus[item] = f;
  return true;
}

bool ReadNvReply(OptionCall& call, const std::string& value) {
  std::optional<Keys> keys = Pattern(call, value);
  if (!keys) return false;
  static const std::map<std::string, NvReplyFault::Kind> kKinds = {
      {"other", NvReplyFault::Kind::OtherItem},
      {"short", NvReplyFault::Kind::Short},
      {"error", NvReplyFault::Kind::DiagError},
      {"status", NvReplyFault::Kind::Status}};
  NvReplyFault f;
  const std::optional<std::string> kind = keys->Text("kind");
  if (!kind || kKinds.count(*kind) == 0) return call.Fail("kind=other|short|error|status");
  f.kind = kKinds.at(*kind);
  const std::optional<std::string> dir = keys->Text("dir");
  if (dir && *dir != "read" && *dir != "write") return call.Fail("dir=read|write");
  f.write = dir && *dir == "write";
  uint16_t item = 0;
  if (auto t = keys->Text("item")) {
    if (!ParseBounded(*t, 0xFFFF, &item)) return call.Fail("bad NV item");
    f.item = item;
  }
  if (!keys->Number("value", 0xFFFF, &f.value, true) ||
      !keys->Number("count", 0xFFFFFFFF, &f.count) || !keys->Done()) {
    return false;
  }
  call.faults().nvReplies.push_back(f);
  return true;
}

bool ReadDmssReject(OptionCall& call, const std::string& value) {
  std::optional<Keys> keys = Pattern(call, value);
  if (!keys) return false;
  DmssRejectFault f;
  if (!keys->Number("nth", 0xFFFFFFFF, &f.nth) || !keys->Number("count", 0xFFFFFFFF, &f.count) ||
      !keys->Number("reason", 0xFFFF, &f.reason) || !keys->Done()) {
    return false;
  }
  if (f.nth == 0) return call.Fail("nth counts from 1");
  call.faults().dmssRejects.push_back(f);
  return true;
}

bool ReadStreamError(OptionCall& call, const std::string& value) {
  std::optional<Keys> keys = Pattern(call, value);
  if (!keys) return false;
  StreamErrorFault f;
  if (!keys->Number("type", 0xFF, &f.imageType, true) ||
      !keys->Number("block", 0xFFFFFFFF, &f.block) || !keys->Number("code", 0xFFFFFFFF, &f.code) ||
      !keys->Number("count", 0xFFFFFFFF, &f.count) || !keys->Done()) {
    return false;
  }
  call.faults().streamErrors.push_back(f);
  return true;
}

bool ReadUnplug(OptionCall& call, const std::string& value) {
  std::optional<Keys> keys = Pattern(call, value);
  if (!keys) return false;
  UnplugFault f;
  if (!keys->Number("type", 0xFF, &f.imageType, true) ||
      !keys->Number("block", 0xFFFFFFFF, &f.block) ||
      !keys->Number("replug-ms", 3600000, &f.replugMs) || !keys->Done()) {
    return false;
  }
  call.faults().unplug = f;
  return true;
}

bool ReadStall(OptionCall& call, const std::string& value) {
  std::optional<Keys> keys = Pattern(call, value);
  if (!keys) return false;
  StallFault f;
  if (!keys->Number("type", 0xFF, &f.imageType, true) ||
      !keys->Number("block", 0xFFFFFFFF, &f.block) || !keys->Done()) {
    return false;
  }
  call.faults().stall = f;
  return true;
}

bool ReadSwapAtReset(OptionCall& call, const std::string& value) {
  std::optional<Keys> keys = Pattern(call, value);
  if (!keys) return false;
  SwapFault f;
  std::optional<std::string> esn = keys->Text("esn");
  if (!keys->Number("reset", 100000, &f.afterReset, true) ||
      !keys->Number("seed", UINT64_MAX, &f.seed) || !keys->Done()) {
    return false;
  }
  if (f.afterReset == 0) return call.Fail("reset= counts from 1");
  if (esn && !ParseEsn(*esn, &f.esn)) return call.Fail("not a hexadecimal ESN");
  call.faults().swap = f;
  return true;
}

bool ReadSlowReboot(OptionCall& call, const std::string& value) {
  std::optional<Keys> keys = Pattern(call, value);
  if (!keys) return false;
  SlowReboot f;
  if (!keys->Number("ms", 86400000, &f.ms, true) || !keys->Number("nth", 0xFFFFFFFF, &f.nth) ||
      !keys->Number("count", 0xFFFFFFFF, &f.count) || !keys->Done()) {
    return false;
  }
  if (f.nth == 0) return call.Fail("nth counts from 1");
  call.faults().slowReboot = f;
  return true;
}

constexpr Option kFaultOptions[] = {
    {"--never-ready", false,
     [](OptionCall& call, const std::string&) {
       call.faults().neverReady = true;
       return true;
     }},
    {"--power-loss-after-partition", false,
     [](OptionCall& call, const std::string&) {
       call.faults().powerLossAfterPartition = true;
       return true;
     }},
    {"--nv-status", true, ReadNvStatus},
    {"--nv-reply", true, ReadNvReply},
    {"--drop-reply", true,
     [](OptionCall& call, const std::string& v) {
       return ReadReplyFault(call, v, ReplyFault::Kind::Drop);
     }},
    {"--corrupt-reply", true,
     [](OptionCall& call, const std::string& v) {
       return ReadReplyFault(call, v, ReplyFault::Kind::Corrupt);
     }},
    {"--noise-reply", true,
     [](OptionCall& call, const std::string& v) {
       return ReadReplyFault(call, v, ReplyFault::Kind::Noise);
     }},
    {"--twice-reply", true,
     [](OptionCall& call, const std::string& v) {
       return ReadReplyFault(call, v, ReplyFault::Kind::Twice);
     }},
    {"--delay-reply", true,
     [](OptionCall& call, const std::string& v) {
       return ReadReplyFault(call, v, ReplyFault::Kind::Delay);
     }},
    {"--split-replies", true,
     [](OptionCall& call, const std::string& v) {
       return ReadReplyFault(call, v, ReplyFault::Kind::Split);
     }},
    {"--random-drop", true,
     [](OptionCall& call, const std::string& v) {
       return ParseBounded(v, 1000, &call.faults().randomDropPerMille) ||
              call.Fail("0 to 1000 (per mille)");
     }},
    {"--random-corrupt", true,
     [](OptionCall& call, const std::string& v) {
       return ParseBounded(v, 1000, &call.faults().randomCorruptPerMille) ||
              call.Fail("0 to 1000 (per mille)");
     }},
    {"--reject-dmss-write", true, ReadDmssReject},
    {"--stream-error", true, ReadStreamError},
    {"--no-return-after-reset", true,
     [](OptionCall& call, const std::string& v) {
       return ParseBounded(v, 100000, &call.faults().noReturnAfterReset) ||
              call.Fail("not a count");
     }},
    {"--programmer-silent-after", true,
     [](OptionCall& call, const std::string& v) {
       return ParseBounded(v, 0xFFFFFFFF, &call.faults().programmerSilentAfter) ||
              call.Fail("not a count");
     }},
    {"--unplug-during-write", true, ReadUnplug},
    {"--stall-image", true, ReadStall},
    {"--swap-at-reset", true, ReadSwapAtReset},
    {"--slow-reboot", true, ReadSlowReboot},
};

}  // namespace

bool ParseReplyPattern(const std::string& pattern, ReplyFault* fault, std::string* error) {
  std::map<std::string, std::string> values;
  if (!pattern.empty() && !ParseKeyValues(pattern, &values, error)) return false;
  Keys keys(std::move(values), error);
  if (!keys.Number("nth", 0xFFFFFFFF, &fault->match.nth) ||
      !keys.Number("count", 0xFFFFFFFF, &fault->match.count) ||
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
  if (fault->kind == ReplyFault::Kind::Delay && !keys.Number("ms", 3600000, &fault->delayMs, true))
    return false;
  if (fault->kind == ReplyFault::Kind::Split &&
      (!keys.Number("piece", 65536, &fault->pieceSize) ||
       !keys.Number("interval", 3600000, &fault->intervalMs) ||
       !keys.Number("cuts", 65536, &fault->randomCuts))) {
    return false;
  }
  if (fault->kind == ReplyFault::Kind::Split && fault->pieceSize == 0) {
    *error = "piece must be at least 1";
    return false;
  }
  return keys.Done();
}

std::span<const Option> FaultOptions() {
  return kFaultOptions;
}

}  // namespace quorrel::sim

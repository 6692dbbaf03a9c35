#include "jobs/modem_identity.h"

#include <algorithm>

#include "jobs/schedule.h"
#include "platform/paths.h"
#include "util/text.h"

namespace quorrel {

namespace {

// NV status of an item a flash reset.
constexpr uint16_t kNvNotActive = 5;

// An identity item or the ESN: up to 3 tries, 200 ms after each failure. A
// status from the phone is its answer; only silence is asked again.
constexpr Schedule kIdentityReadTries = Evenly(3, 200);
// Bytes of an item shown in a message.
constexpr size_t kShownBytes = 16;

bool AllZero(std::span<const uint8_t> data) {
  return std::all_of(data.begin(), data.end(), [](uint8_t b) { return b == 0; });
}

// Same, Other, or Unread for one item.
IdentityMatch CompareItem(const NvRecord& saved, const NvRecord& now) {
  if (StateOf(saved) != ItemState::Value) return IdentityMatch::Same;
  switch (StateOf(now)) {
    case ItemState::Blank:
      return IdentityMatch::Same;
    case ItemState::Unknown:
      return IdentityMatch::Unread;
    case ItemState::Value:
      break;
  }
  return saved.data == now.data ? IdentityMatch::Same : IdentityMatch::Other;
}

void ReadItem(JobEnvironment& env, int line, NvRecord& record) {
  PhoneLink& link = env.doc.link(line);
  (void)RunSchedule(env, line, kIdentityReadTries,
                    [&] { return ReadNvItem(link, record.item, record.data, record.status) != 0; },
                    {.giveUp = [&] { return record.status != kNvStatusFailure; }});
}

std::optional<uint32_t> ReadEsn(JobEnvironment& env, int line) {
  PhoneLink& link = env.doc.link(line);
  uint32_t esn = 0;
  if (RunSchedule(env, line, kIdentityReadTries, [&] { return GetEsn(link, esn) != 0; }))
    return esn;
  return std::nullopt;
}

std::string Hex(std::span<const uint8_t> data) {
  size_t used = data.size();
  while (used > 0 && data[used - 1] == 0) --used;
  std::string out;
  for (size_t i = 0; i < std::min(used, kShownBytes); ++i) out += Format("%02x", data[i]);
  if (used > kShownBytes) out += "...";
  return out;
}

std::string DescribeItem(const NvRecord& record, bool withUnknown) {
  switch (StateOf(record)) {
    case ItemState::Value:
      if (record.item == kIdentityItemImei) {
        if (std::optional<std::string> imei = ImeiDigits(record.data)) return "IMEI " + *imei;
      }
      return Format("NV item %u %s", record.item, Hex(record.data).c_str());
    case ItemState::Blank:
      return Format("NV item %u blank", record.item);
    case ItemState::Unknown:
      break;
  }
  return withUnknown ? Format("NV item %u not read", record.item) : std::string();
}

}  // namespace

ItemState StateOf(const NvRecord& record) {
  if (record.status == kNvNotActive) return ItemState::Blank;
  if (record.status != 0) return ItemState::Unknown;
  return AllZero(record.data) ? ItemState::Blank : ItemState::Value;
}

IdentityMatch CompareIdentity(const ModemIdentity& saved, const ModemIdentity& now) {
  IdentityMatch esn = IdentityMatch::Same;
  if (saved.esn) {
    if (!now.esn) {
      esn = IdentityMatch::Unread;
    } else if (*now.esn != *saved.esn) {
      esn = IdentityMatch::Other;
    }
  }
  const IdentityMatch results[] = {esn, CompareItem(saved.item0, now.item0),
                                   CompareItem(saved.item550, now.item550)};
  if (std::find(std::begin(results), std::end(results), IdentityMatch::Other) !=
      std::end(results)) {
    return IdentityMatch::Other;
  }
  if (std::find(std::begin(results), std::end(results), IdentityMatch::Unread) !=
      std::end(results)) {
    return IdentityMatch::Unread;
  }
  return IdentityMatch::Same;
}

ModemIdentity IdentityInTable(const NvTable& table, std::optional<uint32_t> esnAtStart) {
  ModemIdentity identity;
  identity.esn = esnAtStart;
  bool found0 = false, found550 = false;
  for (const NvRecord& record : table.records) {
    if (record.item >= kNvEndItem) break;
    if (record.item == kIdentityItemEsn && !found0) {
      identity.item0 = record;
      found0 = true;
    } else if (record.item == kIdentityItemImei && !found550) {
      identity.item550 = record;
      found550 = true;
    }
  }
  return identity;
}

ModemIdentity ReadModemIdentity(JobEnvironment& env, int line, const ModemIdentity& saved) {
  ModemIdentity now;
  if (saved.esn) now.esn = ReadEsn(env, line);
  if (StateOf(saved.item0) == ItemState::Value) ReadItem(env, line, now.item0);
  if (StateOf(saved.item550) == ItemState::Value) ReadItem(env, line, now.item550);
  return now;
}

std::optional<std::string> ImeiDigits(std::span<const uint8_t> item550) {
  if (item550.size() < 9 || item550[0] != 8 || (item550[1] & 0x0F) != 0x0A) return std::nullopt;
  std::string digits;
  auto add = [&digits](uint8_t nibble) {
    if (nibble > 9) return false;
    digits += static_cast<char>('0' + nibble);
    return true;
  };
  if (!add(static_cast<uint8_t>(item550[1] >> 4))) return std::nullopt;
  for (size_t i = 2; i < 9; ++i) {
    if (!add(item550[i] & 0x0F) || !add(static_cast<uint8_t>(item550[i] >> 4))) return std::nullopt;
  }
  return digits;
}

std::string DescribeIdentity(const ModemIdentity& identity, bool withUnknown) {
  std::string out;
  auto add = [&out](const std::string& part) {
    if (part.empty()) return;
    if (!out.empty()) out += ", ";
    out += part;
  };
  if (identity.esn) {
    add(Format("ESN %08X", *identity.esn));
  } else if (withUnknown) {
    add("ESN not read");
  }
  add(DescribeItem(identity.item550, withUnknown));
  add(DescribeItem(identity.item0, withUnknown));
  return out.empty() ? "nothing that identifies it" : out;
}

IdentityCheck CheckModemIdentity(JobEnvironment& env, int line, std::string_view nvFile,
                                 std::optional<uint32_t> esnAtStart) {
  ModemIdentity saved;
  saved.esn = esnAtStart;
  if (!nvFile.empty()) {
    if (std::optional<NvTable> table = ReadNvTable(nvFile))
      saved = IdentityInTable(*table, esnAtStart);
  }
  const bool anything = saved.esn || StateOf(saved.item0) == ItemState::Value ||
                        StateOf(saved.item550) == ItemState::Value;
  if (!anything) return {};

  ModemIdentity now = ReadModemIdentity(env, line, saved);
  IdentityCheck check;
  check.match = CompareIdentity(saved, now);
  if (check.match == IdentityMatch::Same) return check;

  if (check.match == IdentityMatch::Unread) {
    check.text = Format(
        "The modem's identity could not be read (%s), so it cannot be told from another modem: "
        "no NV item was written into it",
        DescribeIdentity(now, true).c_str());
    return check;
  }
  const std::string file = nvFile.empty() ? std::string() : NativePath(nvFile);
  // Another modem: everything it tells about itself, for the user to tell
  // the two apart.
  ModemIdentity attached = now;
  if (!saved.esn) attached.esn = ReadEsn(env, line);
  if (StateOf(saved.item0) != ItemState::Value) ReadItem(env, line, attached.item0);
  if (StateOf(saved.item550) != ItemState::Value) ReadItem(env, line, attached.item550);
  const std::string theirs = DescribeIdentity(attached, true);
  const std::string ours = DescribeIdentity(saved, false);
  if (file.empty()) {
    check.text = Format(
        "Not the same modem: the modem attached has %s, the job started with the modem with %s; "
        "no NV item was written into it",
        theirs.c_str(), ours.c_str());
  } else {
    check.text = Format(
        "Not the same modem: the modem attached has %s, the NV file %s is that of the modem "
        "with %s; no NV item was written into it and the NV file is kept",
        theirs.c_str(), file.c_str(), ours.c_str());
  }
  return check;
}

}  // namespace quorrel

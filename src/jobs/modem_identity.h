// Which modem answers on a line. NV items hold what makes a modem itself
// (its ESN in item 0, its IMEI in item 550, its RF calibration), so before a
// restore writes NV items into a modem, the modem must be shown to be the one
// they were saved from: its NV items 0 and 550 against the NV file's records
// of them, and its ESN against the one the job read at its start.
//
// A flash may reset an item: an item the modem reports as not active, or
// with all-zero data, is blank and says nothing about which modem it is. A
// record that was not saved (or saved blank) says nothing either. Only an
// item both sides hold, with other data, or another ESN, shows another modem.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "jobs/job_environment.h"
#include "jobs/nv_backup.h"
#include "services/diag_commands.h"

namespace quorrel {

// The NV items that identify a modem.
inline constexpr uint16_t kIdentityItemEsn = 0;
inline constexpr uint16_t kIdentityItemImei = 550;

// What identifies a modem, as read from it or as saved in an NV file. An
// item's status is that of its read (0xFFFF: not read, or not saved).
struct ModemIdentity {
  std::optional<uint32_t> esn;
  NvRecord item0{kIdentityItemEsn, {}, kNvStatusFailure};
  NvRecord item550{kIdentityItemImei, {}, kNvStatusFailure};
};

// What one identifying value shows.
enum class ItemState {
  Value,    // read, with data
  Blank,    // not active, or all zero: reset by a flash
  Unknown,  // not read (no answer, another status, not saved)
};
ItemState StateOf(const NvRecord& record);

enum class IdentityMatch {
  Same,    // nothing shows another modem
  Other,   // an item or the ESN differs: another modem
  Unread,  // nothing differs, but a value the saved side holds could not be read
};

// The modem now against what was saved. An ESN or an item the saved side does
// not hold is not compared.
IdentityMatch CompareIdentity(const ModemIdentity& saved, const ModemIdentity& now);

// The identity an NV table holds: the first record of items 0 and 550 before
// the end marker, with the ESN the job read at its start (none for a file
// alone).
ModemIdentity IdentityInTable(const NvTable& table, std::optional<uint32_t> esnAtStart);

// Reads from the line's modem what the saved identity can be compared with:
// its items 0 and 550 where the saved side holds data, its ESN where the saved
// side holds one. Up to 3 tries of each read that gets no answer.
ModemIdentity ReadModemIdentity(JobEnvironment& env, int line, const ModemIdentity& saved);

// Item 550 as the 15 IMEI digits it holds (length 8, type 0xA, then the BCD
// digits, low nibble first), or nothing when it does not hold them.
std::optional<std::string> ImeiDigits(std::span<const uint8_t> item550);

// "ESN 8A3F21C4, IMEI 490154203237518, NV item 0 705d65fc...": what the
// identity holds. A value that is not known is named as such when
// withUnknown is set, else left out.
std::string DescribeIdentity(const ModemIdentity& identity, bool withUnknown);

// The outcome of the check before a restore.
struct IdentityCheck {
  IdentityMatch match = IdentityMatch::Same;
  // For Other and Unread: what the user is told (both identities, the file).
  std::string text;
};

// The check before NV items are written into the line's modem. nvFile: the
// NV file whose items 0 and 550 the modem must match (empty: none; a file that
// cannot be read is not compared, the restore reports it); esnAtStart: the
// ESN the job read at its start. Nothing is asked of the modem when there is
// nothing to compare.
IdentityCheck CheckModemIdentity(JobEnvironment& env, int line, std::string_view nvFile,
                                 std::optional<uint32_t> esnAtStart);

}  // namespace quorrel

// The table of USB modems the updater drives on Linux: one USB identity a
// line,
//
//   VID:PID diag=N [at=M] [name...]
//
// ids and interface numbers in hexadecimal (as sysfs shows idVendor and
// bInterfaceNumber), '#' starting a comment. An entry without at= is a mode
// in which the modem shows only its diagnostic interface (its downloader or
// its flash programmer).
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quorrel {

struct ModemTableEntry {
  uint16_t vendorId = 0;
  uint16_t productId = 0;
  int diagInterface = 0;
  std::optional<int> atInterface;
  std::string name;
  std::string source;  // "FILE:LINE" it was read from
};

struct ModemTable {
  std::vector<ModemTableEntry> entries;
  // One text per bad line or unreadable file: "FILE:LINE: what is wrong".
  std::vector<std::string> errors;

  const ModemTableEntry* Find(uint16_t vendorId, uint16_t productId) const;
  bool empty() const { return entries.empty(); }
};

// Reads the lines of one table into table. A line of an identity already in
// the table replaces it (a user's file overrides the shipped one); the same
// identity twice in one file is an error. Bad lines are reported and left out.
void ParseModemTable(std::string_view text, const std::string& fileName, ModemTable* table);

// Reads file into table. A missing file is no error unless required; a file
// that cannot be read or is larger than a table can be is one.
void ReadModemTableFile(const std::filesystem::path& file, bool required, ModemTable* table);

// The table shipped with the program: in a build tree the copy in its data
// folder (<build>/data/modems.conf, the build tree being the executable's
// folder or one or two folders above it, where CMakeCache.txt is); installed,
// <prefix>/share/quorrel/modems.conf beside the executable's bin folder, then
// /usr/share/quorrel/modems.conf. The first that exists; the last when none.
std::filesystem::path ShippedModemTableFile();

// The user's table, where lines found by probing are added: $QUORREL_MODEMS
// when set, otherwise ${XDG_CONFIG_HOME:-$HOME/.config}/quorrel/modems.conf.
// Empty when neither can be formed.
std::filesystem::path UserModemTableFile();

// The files read, in order: $QUORREL_MODEMS alone when set; otherwise
// ShippedModemTableFile(), then the user's table.
std::vector<std::filesystem::path> ModemTableFiles();

// The table of this machine, read from ModemTableFiles() (the file named by
// $QUORREL_MODEMS must exist).
ModemTable LoadModemTable();

// The table line of an entry: "1e0e:9000 diag=0 at=2 name".
std::string ModemTableLine(const ModemTableEntry& entry);

// Adds entry's line, under the comment lines given (each written with a
// leading "# "), at the end of the table file, creating it and its folder
// when missing. The file is replaced whole (a temporary file renamed over
// it), so a reader never sees half a line. False, with why, when it cannot
// be written or already holds a line of that identity (the line there wins).
bool AddModemTableLine(const std::filesystem::path& file, const ModemTableEntry& entry,
                       const std::vector<std::string>& comments, std::string* why);

// The udev rule that gives the user at the seat a modem's ttys and tells
// ModemManager to leave it alone: one line per identity, as the package's
// rule file has them, and that whole file for a list of identities.
std::string UdevRuleLine(uint16_t vendorId, uint16_t productId);
std::string UdevRulesText(const std::vector<std::pair<uint16_t, uint16_t>>& identities);

}  // namespace quorrel

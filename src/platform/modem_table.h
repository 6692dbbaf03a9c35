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

// The files read, in order: $QUORREL_MODEMS alone when set; otherwise
// /usr/share/quorrel/modems.conf, then
// ${XDG_CONFIG_HOME:-$HOME/.config}/quorrel/modems.conf.
std::vector<std::filesystem::path> ModemTableFiles();

// The table of this machine, read from ModemTableFiles() (the file named by
// $QUORREL_MODEMS must exist).
ModemTable LoadModemTable();

}  // namespace quorrel

#include "platform/modem_table.h"

#include <cstdlib>
#include <fstream>
#include <random>
#include <set>
#include <utility>

#include "platform/files.h"
#include "util/text.h"

namespace quorrel {

namespace fs = std::filesystem;

namespace {

// Far more than any table needs; a larger file is not a table.
constexpr std::uintmax_t kMaxTableBytes = 1 << 20;
constexpr size_t kMaxLineLength = 1024;

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r';
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

// 1 to maxDigits hexadecimal digits, nothing else.
std::optional<unsigned> ParseHex(std::string_view s, size_t maxDigits) {
  if (s.empty() || s.size() > maxDigits) return std::nullopt;
  unsigned value = 0;
  for (char c : s) {
    int digit;
    if (c >= '0' && c <= '9') {
      digit = c - '0';
    } else if (c >= 'a' && c <= 'f') {
      digit = c - 'a' + 10;
    } else if (c >= 'A' && c <= 'F') {
      digit = c - 'A' + 10;
    } else {
      return std::nullopt;
    }
    value = value * 16 + static_cast<unsigned>(digit);
  }
  return value;
}

// Parses one line without its comment; empty text when it is good.
std::string ParseEntry(std::string_view line, ModemTableEntry* entry) {
  auto nextWord = [&line]() {
    line = Trim(line);
    size_t end = 0;
    while (end < line.size() && !IsBlank(line[end])) ++end;
    std::string_view word = line.substr(0, end);
    line.remove_prefix(end);
    return word;
  };
  std::string_view id = nextWord();
  size_t colon = id.find(':');
  if (colon == std::string_view::npos)
    return Format("expected VID:PID, got \"%.*s\"", int(id.size()), id.data());
  std::optional<unsigned> vid = ParseHex(id.substr(0, colon), 4);
  std::optional<unsigned> pid = ParseHex(id.substr(colon + 1), 4);
  if (!vid || !pid) {
    return Format("expected VID:PID in hexadecimal (up to four digits each), got \"%.*s\"",
                  int(id.size()), id.data());
  }
  entry->vendorId = static_cast<uint16_t>(*vid);
  entry->productId = static_cast<uint16_t>(*pid);

  bool haveDiag = false;
  for (;;) {
    std::string_view rest = Trim(line);
    std::string_view word = nextWord();
    std::optional<int>* target = nullptr;
    std::optional<int> diag;
    if (word.starts_with("diag=")) {
      if (haveDiag) return "diag= given twice";
      target = &diag;
    } else if (word.starts_with("at=")) {
      if (entry->atInterface) return "at= given twice";
      target = &entry->atInterface;
    } else {
      // The rest of the line, as written, is the name.
      entry->name = std::string(rest);
      break;
    }
    std::string_view number = word.substr(word.find('=') + 1);
    std::optional<unsigned> value = ParseHex(number, 2);
    if (!value) {
      return Format("expected an interface number in hexadecimal (00 to ff), got \"%.*s\"",
                    int(word.size()), word.data());
    }
    *target = static_cast<int>(*value);
    if (target == &diag) {
      entry->diagInterface = *diag;
      haveDiag = true;
    }
  }
  if (!haveDiag) return "no diag= interface";
  if (entry->atInterface && *entry->atInterface == entry->diagInterface) {
    return "the diag= and at= interfaces are the same";
  }
  return {};
}

}  // namespace

const ModemTableEntry* ModemTable::Find(uint16_t vendorId, uint16_t productId) const {
  for (const ModemTableEntry& e : entries) {
    if (e.vendorId == vendorId && e.productId == productId) return &e;
  }
  return nullptr;
}

void ParseModemTable(std::string_view text, const std::string& fileName, ModemTable* table) {
  std::set<std::pair<uint16_t, uint16_t>> inThisFile;
  int number = 0;
  while (!text.empty()) {
    ++number;
    size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    const std::string where = Format("%s:%d", fileName.c_str(), number);
    if (line.size() > kMaxLineLength) {
      table->errors.push_back(where + ": the line is longer than " +
                              std::to_string(kMaxLineLength) + " characters");
      continue;
    }
    line = Trim(line.substr(0, line.find('#')));
    if (line.empty()) continue;
    ModemTableEntry entry;
    std::string problem = ParseEntry(line, &entry);
    if (!problem.empty()) {
      table->errors.push_back(where + ": " + problem);
      continue;
    }
    if (!inThisFile.emplace(entry.vendorId, entry.productId).second) {
      table->errors.push_back(
          where + Format(": %04x:%04x is already in this file", entry.vendorId, entry.productId));
      continue;
    }
    entry.source = where;
    bool replaced = false;
    for (ModemTableEntry& old : table->entries) {
      if (old.vendorId == entry.vendorId && old.productId == entry.productId) {
        old = entry;
        replaced = true;
      }
    }
    if (!replaced) table->entries.push_back(std::move(entry));
  }
}

void ReadModemTableFile(const fs::path& file, bool required, ModemTable* table) {
  std::error_code ec;
  const fs::file_status status = fs::status(file, ec);
  if (!fs::exists(status)) {
    if (required) table->errors.push_back(file.string() + ": no such file");
    return;
  }
  if (!fs::is_regular_file(status)) {
    table->errors.push_back(file.string() + ": not a file");
    return;
  }
  std::ifstream in(file, std::ios::binary);
  std::string text;
  if (in) {
    text.resize(kMaxTableBytes + 1);
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<size_t>(in.gcount()));
  }
  if (!in && !in.eof()) {
    table->errors.push_back(file.string() + ": cannot be read");
    return;
  }
  if (text.size() > kMaxTableBytes) {
    table->errors.push_back(file.string() + ": larger than " + std::to_string(kMaxTableBytes) +
                            " bytes");
    return;
  }
  ParseModemTable(text, file.string(), table);
}

fs::path ShippedModemTableFile() {
  std::error_code ec;
  const fs::path program(ExecutableDirectory());
  // Run from a build tree: the table copied into its data folder.
  fs::path folder = program;
  for (int up = 0; up < 3 && !folder.empty(); ++up) {
    if (fs::is_regular_file(folder / "CMakeCache.txt", ec)) {
      const fs::path copy = folder / "data" / "modems.conf";
      if (fs::is_regular_file(copy, ec)) return copy;
      break;
    }
    folder = folder.parent_path();
  }
  const fs::path installed = program.parent_path() / "share" / "quorrel" / "modems.conf";
  if (program.filename() == "bin" && fs::is_regular_file(installed, ec)) return installed;
  return fs::path("/usr/share/quorrel/modems.conf");
}

fs::path UserModemTableFile() {
  const char* only = std::getenv("QUORREL_MODEMS");
  if (only != nullptr && *only != 0) return fs::path(only);
  const char* config = std::getenv("XDG_CONFIG_HOME");
  const char* home = std::getenv("HOME");
  if (config != nullptr && *config == '/') return fs::path(config) / "quorrel" / "modems.conf";
  if (home != nullptr && *home != 0) return fs::path(home) / ".config" / "quorrel" / "modems.conf";
  return {};
}

std::vector<fs::path> ModemTableFiles() {
  const char* only = std::getenv("QUORREL_MODEMS");
  if (only != nullptr && *only != 0) return {fs::path(only)};
  std::vector<fs::path> files = {ShippedModemTableFile()};
  const fs::path user = UserModemTableFile();
  if (!user.empty()) files.push_back(user);
  return files;
}

ModemTable LoadModemTable() {
  const char* only = std::getenv("QUORREL_MODEMS");
  const bool required = only != nullptr && *only != 0;
  ModemTable table;
  for (const fs::path& file : ModemTableFiles()) ReadModemTableFile(file, required, &table);
  return table;
}

std::string ModemTableLine(const ModemTableEntry& entry) {
  std::string line =
      Format("%04x:%04x diag=%x", entry.vendorId, entry.productId, entry.diagInterface);
  if (entry.atInterface) line += Format(" at=%x", *entry.atInterface);
  if (!entry.name.empty()) line += " " + entry.name;
  return line;
}

bool AddModemTableLine(const fs::path& file, const ModemTableEntry& entry,
                       const std::vector<std::string>& comments, std::string* why) {
  std::error_code ec;
  std::string text;
  const fs::file_status status = fs::status(file, ec);
  if (fs::exists(status)) {
    if (!fs::is_regular_file(status)) {
      *why = file.string() + ": not a file";
      return false;
    }
    std::ifstream in(file, std::ios::binary);
    text.resize(kMaxTableBytes + 1);
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<size_t>(in.gcount()));
    if (!in && !in.eof()) {
      *why = file.string() + ": cannot be read";
      return false;
    }
    if (text.size() > kMaxTableBytes) {
      *why = file.string() + ": larger than " + std::to_string(kMaxTableBytes) + " bytes";
      return false;
    }
    ModemTable present;
    ParseModemTable(text, file.string(), &present);
    if (const ModemTableEntry* there = present.Find(entry.vendorId, entry.productId)) {
      *why = Format("%s already has a line for %04x:%04x", there->source.c_str(), entry.vendorId,
                    entry.productId);
      return false;
    }
  } else {
    fs::create_directories(file.parent_path(), ec);
  }
  if (!text.empty() && text.back() != '\n') text += '\n';
  if (!text.empty()) text += '\n';
  for (const std::string& c : comments) text += "# " + c + "\n";
  text += ModemTableLine(entry) + "\n";

  fs::path temp = file;
  // A name of its own, so that two programs adding lines at once never
  // write into each other's file.
  std::random_device random;
  temp += Format(".tmp.%08x%08x", random(), random());
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
    out.flush();
    if (!out) {
      out.close();
      fs::remove(temp, ec);
      *why = file.string() + ": cannot be written";
      return false;
    }
  }
  fs::rename(temp, file, ec);
  if (ec) {
    std::error_code ignored;
    fs::remove(temp, ignored);
    *why = file.string() + ": cannot be written (" + ec.message() + ")";
    return false;
  }
  return true;
}

std::string UdevRuleLine(uint16_t vendorId, uint16_t productId) {
  return Format(
      "SUBSYSTEMS==\"usb\", ATTRS{idVendor}==\"%04x\", ATTRS{idProduct}==\"%04x\", "
      "TAG+=\"uaccess\", "
      "ENV{ID_MM_DEVICE_IGNORE}=\"1\"",
      vendorId, productId);
}

std::string UdevRulesText(const std::vector<std::pair<uint16_t, uint16_t>>& identities) {
  std::string text =
      "# Made by quorrel-cli udev-rule. Install it as /etc/udev/rules.d/70-quorrel-local.rules, "
      "then\n"
      "# sudo udevadm control --reload and plug the modem in again. The logged-in user may open\n"
      "# these modems' ttys, and ModemManager leaves them alone.\n"
      "ACTION==\"remove\", GOTO=\"quorrel_local_end\"\n";
  std::set<std::pair<uint16_t, uint16_t>> seen;
  for (const auto& id : identities) {
    if (seen.insert(id).second) text += UdevRuleLine(id.first, id.second) + "\n";
  }
  text += "LABEL=\"quorrel_local_end\"\n";
  return text;
}

}  // namespace quorrel

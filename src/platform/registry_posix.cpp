// The registry folder under <root>/registry (see registry.h).
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>

#include "platform/registry.h"
#include "platform/root.h"

namespace quorrel {

namespace fs = std::filesystem;

namespace {

constexpr const char* kValuesFile = "values.reg";
constexpr const char* kValuesTemp = "values.reg.tmp";

const char* RootName(RegistryRoot root) {
  switch (root) {
    case RegistryRoot::LocalMachine:
      return "HKEY_LOCAL_MACHINE";
    case RegistryRoot::CurrentUser:
      return "HKEY_CURRENT_USER";
  }
  return "HKEY_LOCAL_MACHINE";
}

bool EqualNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

// The key names of a backslash-separated path; empty names are skipped. A name
// that would leave its folder ("." or "..") or carries a '/' is refused.
bool SplitKey(std::string_view subKey, std::vector<std::string>* parts) {
  parts->clear();
  size_t start = 0;
  while (start <= subKey.size()) {
    size_t end = subKey.find('\\', start);
    if (end == std::string_view::npos) end = subKey.size();
    std::string_view part = subKey.substr(start, end - start);
    if (!part.empty()) {
      if (part == "." || part == ".." || part.find('/') != std::string_view::npos ||
          part.find('\0') != std::string_view::npos) {
        return false;
      }
      parts->emplace_back(part);
    }
    start = end + 1;
  }
  return true;
}

// The existing folder of one child key: the exact name first, then any name
// equal without regard to case.
std::optional<fs::path> FindChild(const fs::path& parent, const std::string& name) {
  std::error_code ec;
  fs::path exact = parent / name;
  if (fs::is_directory(exact, ec)) return exact;
  for (fs::directory_iterator it(parent, ec), end; !ec && it != end; it.increment(ec)) {
    if (EqualNoCase(it->path().filename().string(), name) && it->is_directory(ec)) {
      return it->path();
    }
  }
  return std::nullopt;
}

// Resolves the key's folder; with create, makes the missing keys on the way.
long Resolve(RegistryRoot root, std::string_view subKey, bool create, fs::path* out) {
  std::vector<std::string> parts;
  if (!SplitKey(subKey, &parts)) return kRegistryInvalidParameter;
  fs::path folder = QuorrelRoot() / "registry" / RootName(root);
  std::error_code ec;
  if (create) fs::create_directories(folder, ec);
  for (const std::string& part : parts) {
    std::optional<fs::path> child = FindChild(folder, part);
    if (child) {
      folder = *child;
      continue;
    }
    if (!create) return kRegistryNotFound;
    folder /= part;
    fs::create_directory(folder, ec);
    if (ec && !fs::is_directory(folder)) return kRegistryAccessDenied;
  }
  if (!fs::is_directory(folder, ec)) return kRegistryNotFound;
  *out = folder;
  return kRegistryOk;
}

// A quoted .reg text starting at s[*pos] (the opening quote); on success *pos
// is just past the closing quote.
bool ParseQuoted(const std::string& s, size_t* pos, std::string* out) {
  if (*pos >= s.size() || s[*pos] != '"') return false;
  out->clear();
  for (size_t i = *pos + 1; i < s.size(); ++i) {
    char c = s[i];
    if (c == '\\') {
      if (i + 1 >= s.size()) return false;
      out->push_back(s[++i]);
    } else if (c == '"') {
      *pos = i + 1;
      return true;
    } else {
      out->push_back(c);
    }
  }
  return false;
}

std::string Quote(std::string_view text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '\\' || c == '"') out.push_back('\\');
    out.push_back(c);
  }
  out.push_back('"');
  return out;
}

struct ParsedLine {
  std::string name;
  std::string data;  // what follows the '='
};

std::optional<ParsedLine> ParseLine(std::string line) {
  if (!line.empty() && line.back() == '\r') line.pop_back();
  if (line.empty() || line[0] == ';') return std::nullopt;
  ParsedLine parsed;
  size_t pos = 0;
  if (line[0] == '@') {
    pos = 1;  // the key's default value has the empty name
  } else if (!ParseQuoted(line, &pos, &parsed.name)) {
    return std::nullopt;
  }
  if (pos >= line.size() || line[pos] != '=') return std::nullopt;
  parsed.data = line.substr(pos + 1);
  return parsed;
}

// A key's values file is small; anything larger than this is not read.
constexpr size_t kMaxValuesFile = 64 * 1024;

bool ReadLines(const fs::path& folder, std::vector<std::string>* lines) {
  lines->clear();
  std::ifstream in(folder / kValuesFile, std::ios::binary);
  if (!in) return false;
  std::string text(kMaxValuesFile + 1, '\0');
  in.read(text.data(), static_cast<std::streamsize>(text.size()));
  if (in.bad() || static_cast<size_t>(in.gcount()) > kMaxValuesFile) return false;
  text.resize(static_cast<size_t>(in.gcount()));
  std::istringstream split(text);
  std::string line;
  while (std::getline(split, line)) lines->push_back(line);
  return true;
}

// A key deleted while open reads nothing more, as on Windows.
bool KeyStillThere(const fs::path& folder) {
  std::error_code ec;
  return fs::is_directory(folder, ec);
}
const std::vector<std::string> kNoValues;

// Finds the data of the named value among a key's values.reg lines.
long FindValue(const std::vector<std::string>& lines, std::string_view name, std::string* data) {
  for (const std::string& line : lines) {
    std::optional<ParsedLine> parsed = ParseLine(line);
    if (parsed && EqualNoCase(parsed->name, name)) {
      *data = parsed->data;
      return kRegistryOk;
    }
  }
  return kRegistryNotFound;
}

std::string FormatValue(const RegistryValue& v) {
  std::string line = v.name.empty() ? std::string("@") : Quote(v.name);
  line += '=';
  if (v.type == RegistryValue::Type::Dword) {
    char hex[16];
    std::snprintf(hex, sizeof hex, "dword:%08x", static_cast<unsigned>(v.dword));
    line += hex;
  } else {
    line += Quote(v.text);
  }
  return line;
}

// Writers of this process take turns; writers of other processes are kept out
// by an advisory lock on the key's folder.
std::mutex& WriterMutex() {
  static std::mutex m;
  return m;
}

class FolderLock {
 public:
  explicit FolderLock(const fs::path& folder)
      : fd_(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
    if (fd_ >= 0) ::flock(fd_, LOCK_EX);
  }
  ~FolderLock() {
    if (fd_ >= 0) ::close(fd_);
  }
  FolderLock(const FolderLock&) = delete;
  FolderLock& operator=(const FolderLock&) = delete;

 private:
  int fd_;
};

long ReplaceValuesFile(const fs::path& folder, const std::vector<std::string>& lines) {
  fs::path temp = folder / kValuesTemp;
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    if (!out) return kRegistryAccessDenied;
    for (const std::string& line : lines) out << line << '\n';
    out.flush();
    if (!out) return kRegistryWriteFault;
  }
  std::error_code ec;
  fs::rename(temp, folder / kValuesFile, ec);
  return ec ? kRegistryWriteFault : kRegistryOk;
}

bool ValidName(std::string_view name) {
  return name.find('\n') == std::string_view::npos && name.find('\r') == std::string_view::npos &&
         name.find('\0') == std::string_view::npos;
}

}  // namespace

long RegistryKey::Open(RegistryRoot parent, std::string_view subKey, uint32_t access) {
  fs::path folder;
  long status = Resolve(parent, subKey, false, &folder);
  if (status != kRegistryOk) return status;
  // Rights to change the key need a folder this process may change.
  constexpr uint32_t kWriteRights = 0x0002 | 0x0004 | 0x10000 | 0x40000 | 0x80000;
  int mode = R_OK | X_OK;
  if ((access & kWriteRights) != 0) mode |= W_OK;
  if (::eaccess(folder.c_str(), mode) != 0) return kRegistryAccessDenied;
  Close();
  folder_ = folder;
  ReadLines(folder, &values_);
  return kRegistryOk;
}

void RegistryKey::Close() {
  folder_.reset();
  values_.clear();
}

bool RegistryKey::IsOpen() const {
  return folder_.has_value();
}

long RegistryKey::QueryDword(std::string_view name, uint32_t* value) const {
  if (!folder_) return kRegistryInvalidParameter;
  std::string data;
  long status = FindValue(KeyStillThere(*folder_) ? values_ : kNoValues, name, &data);
  if (status != kRegistryOk) return status;
  constexpr std::string_view kPrefix = "dword:";
  if (data.size() != kPrefix.size() + 8 || data.compare(0, kPrefix.size(), kPrefix) != 0) {
    return kRegistryInvalidData;
  }
  uint32_t v = 0;
  for (size_t i = kPrefix.size(); i < data.size(); ++i) {
    char c = data[i];
    int digit;
    if (c >= '0' && c <= '9') {
      digit = c - '0';
    } else if (c >= 'a' && c <= 'f') {
      digit = c - 'a' + 10;
    } else if (c >= 'A' && c <= 'F') {
      digit = c - 'A' + 10;
    } else {
      return kRegistryInvalidData;
    }
    v = (v << 4) | static_cast<uint32_t>(digit);
  }
  *value = v;
  return kRegistryOk;
}

long RegistryKey::QueryString(std::string_view name, char* buffer, uint32_t* size) const {
  if (!folder_ || size == nullptr) return kRegistryInvalidParameter;
  std::string data;
  long status = FindValue(KeyStillThere(*folder_) ? values_ : kNoValues, name, &data);
  if (status != kRegistryOk) return status;
  std::string text;
  size_t pos = 0;
  if (!ParseQuoted(data, &pos, &text) || pos != data.size()) return kRegistryInvalidData;
  uint32_t needed = static_cast<uint32_t>(text.size() + 1);
  if (buffer == nullptr || *size < needed) {
    *size = needed;
    return kRegistryMoreData;
  }
  std::memcpy(buffer, text.c_str(), needed);
  *size = needed;
  return kRegistryOk;
}

long RegistryCreateKey(RegistryRoot root, std::string_view subKey) {
  std::lock_guard<std::mutex> guard(WriterMutex());
  fs::path folder;
  return Resolve(root, subKey, true, &folder);
}

long RegistrySetValues(RegistryRoot root, std::string_view subKey,
                       const std::vector<RegistryValue>& values) {
  for (const RegistryValue& v : values) {
    if (!ValidName(v.name) || !ValidName(v.text)) return kRegistryInvalidParameter;
  }
  std::lock_guard<std::mutex> guard(WriterMutex());
  fs::path folder;
  long status = Resolve(root, subKey, true, &folder);
  if (status != kRegistryOk) return status;
  FolderLock lock(folder);
  std::vector<std::string> lines;
  ReadLines(folder, &lines);
  for (const RegistryValue& v : values) {
    bool replaced = false;
    for (std::string& line : lines) {
      std::optional<ParsedLine> parsed = ParseLine(line);
      if (parsed && EqualNoCase(parsed->name, v.name)) {
        line = FormatValue(v);
        replaced = true;
        break;
      }
    }
    if (!replaced) lines.push_back(FormatValue(v));
  }
  return ReplaceValuesFile(folder, lines);
}

long RegistryDeleteValue(RegistryRoot root, std::string_view subKey, std::string_view name) {
  std::lock_guard<std::mutex> guard(WriterMutex());
  fs::path folder;
  long status = Resolve(root, subKey, false, &folder);
  if (status != kRegistryOk) return status;
  FolderLock lock(folder);
  std::vector<std::string> lines;
  ReadLines(folder, &lines);
  std::vector<std::string> kept;
  bool found = false;
  for (const std::string& line : lines) {
    std::optional<ParsedLine> parsed = ParseLine(line);
    if (!found && parsed && EqualNoCase(parsed->name, name)) {
      found = true;
      continue;
    }
    kept.push_back(line);
  }
  if (!found) return kRegistryNotFound;
  return ReplaceValuesFile(folder, kept);
}

long RegistryDeleteKey(RegistryRoot root, std::string_view subKey) {
  std::vector<std::string> parts;
  if (!SplitKey(subKey, &parts)) return kRegistryInvalidParameter;
  if (parts.empty()) return kRegistryAccessDenied;  // never the whole hive
  std::lock_guard<std::mutex> guard(WriterMutex());
  fs::path folder;
  long status = Resolve(root, subKey, false, &folder);
  if (status != kRegistryOk) return status;
  std::error_code ec;
  fs::remove_all(folder, ec);
  return ec ? kRegistryAccessDenied : kRegistryOk;
}

std::optional<fs::path> RegistryKeyFolder(RegistryRoot root, std::string_view subKey) {
  fs::path folder;
  if (Resolve(root, subKey, false, &folder) != kRegistryOk) return std::nullopt;
  return folder;
}

}  // namespace quorrel

#include "sim/option_values.h"

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <iterator>

#include "util/text.h"

namespace quorrel::sim {

namespace {

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

}  // namespace

bool ParseNumber(const std::string& text, uint64_t* out) {
  if (text.empty()) return false;
  errno = 0;
  char* end = nullptr;
  unsigned long long v = std::strtoull(text.c_str(), &end, 0);
  if (errno != 0 || end == nullptr || *end != '\0' || text[0] == '-') return false;
  *out = v;
  return true;
}

bool ParseEsn(const std::string& text, uint32_t* out) {
  uint64_t esn = 0;
  if (!ParseNumber(text.rfind("0x", 0) == 0 ? text : "0x" + text, &esn) || esn > 0xFFFFFFFF)
    return false;
  *out = static_cast<uint32_t>(esn);
  return true;
}

bool ParseKeyValues(const std::string& pattern, std::map<std::string, std::string>* out,
                    std::string* error) {
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

std::optional<std::string> Keys::Text(const std::string& key) {
  auto it = values_.find(key);
  if (it == values_.end()) return std::nullopt;
  std::string text = it->second;
  values_.erase(it);
  return text;
}

bool Keys::Done() {
  if (values_.empty()) return true;
  *error_ = "unknown key \"" + values_.begin()->first + "\"";
  return false;
}

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

}  // namespace quorrel::sim

// The small grammar of quorrel-sim's option values: numbers with bounds,
// "key=value,..." patterns, NV item lists, hexadecimal bytes.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "sim/config.h"

namespace quorrel::sim {

// A number in C notation (decimal, 0x hexadecimal, 0 octal), not negative.
bool ParseNumber(const std::string& text, uint64_t* out);

template <typename T>
bool ParseBounded(const std::string& text, uint64_t max, T* out) {
  uint64_t v = 0;
  if (!ParseNumber(text, &v) || v > max) return false;
  *out = static_cast<T>(v);
  return true;
}

// An ESN in hexadecimal, with or without its 0x.
bool ParseEsn(const std::string& text, uint32_t* out);

// "a=1,b=2" into a map; false on a part without '=' or a repeated key.
bool ParseKeyValues(const std::string& pattern, std::map<std::string, std::string>* out,
                    std::string* error);

// Takes keys off a pattern's map; whatever is left at the end is unknown.
class Keys {
 public:
  Keys(std::map<std::string, std::string> values, std::string* error)
      : values_(std::move(values)), error_(error) {}

  template <typename T>
  bool Number(const std::string& key, uint64_t max, T* out, bool required = false) {
    std::optional<std::string> text = Text(key);
    if (!text) {
      if (required) *error_ = "missing " + key + "=";
      return !required;
    }
    if (!ParseBounded(*text, max, out)) {
      *error_ = "bad value for " + key + ": \"" + *text + "\"";
      return false;
    }
    return true;
  }
  std::optional<std::string> Text(const std::string& key);
  bool Has(const std::string& key) const { return values_.count(key) != 0; }
  bool Done();

 private:
  std::map<std::string, std::string> values_;
  std::string* error_;
};

std::optional<ModemMode> ModeByName(const std::string& name);
bool ParseItems(const std::string& list, std::set<uint16_t>* out, std::string* error);
bool ParseHex(const std::string& text, std::vector<uint8_t>* out);
// A USB serial number as given: printable, no spaces ("none": no serial).
bool ValidSerial(const std::string& text);
bool ReadWholeFile(const std::string& path, std::vector<uint8_t>* out);

}  // namespace quorrel::sim

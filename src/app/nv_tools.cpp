#include "app/nv_tools.h"

#include <nlohmann/json.hpp>

#include "platform/files.h"
#include "util/text.h"

namespace quorrel {

namespace {

constexpr uint16_t kStatusOk = 0;
constexpr uint16_t kStatusInactive = 5;
constexpr uint16_t kStatusNoAnswer = 0xFFFF;
// The statuses an NV store answers (NV_DONE_S .. NV_NOTALLOC_S), and the
// link's own "no valid answer".
constexpr uint16_t kLastStoreStatus = 10;

std::string Hex(std::span<const uint8_t> bytes) {
  return LowerHex(bytes);
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string StatusText(uint16_t status) {
  return Format("%u (%s)", static_cast<unsigned>(status),
                std::string(NvStatusName(status)).c_str());
}

// A whole number in [0, max] held by field `key` of object o.
bool Unsigned(const nlohmann::json& o, const char* key, uint64_t max, uint64_t* out,
              std::string* error, size_t index) {
  auto it = o.find(key);
  if (it == o.end()) {
    *error = Format("object %zu has no \"%s\"", index, key);
    return false;
  }
  if (!it->is_number_unsigned() || it->get<uint64_t>() > max) {
    *error = Format("object %zu: \"%s\" is not a whole number from 0 to %llu", index, key,
                    static_cast<unsigned long long>(max));
    return false;
  }
  *out = it->get<uint64_t>();
  return true;
}

}  // namespace

std::string_view NvStatusName(uint16_t status) {
  switch (status) {
    case kStatusOk:
      return "ok";
    case kStatusInactive:
      return "inactive";
    case kStatusNoAnswer:
      return "no answer";
    default:
      return "other";
  }
}

std::optional<NvTable> LoadNvFile(std::string_view path, std::string* error) {
  std::optional<File> file = File::OpenRead(path);
  if (!file) {
    *error = Format("cannot read %.*s", static_cast<int>(path.size()), path.data());
    return std::nullopt;
  }
  const int64_t size = file->Size();
  if (size != static_cast<int64_t>(NvTable::kFileSize)) {
    *error = Format("%.*s holds %lld bytes, not the %zu bytes of an NV file",
                    static_cast<int>(path.size()), path.data(), static_cast<long long>(size),
                    NvTable::kFileSize);
    return std::nullopt;
  }
  std::vector<uint8_t> bytes(NvTable::kFileSize);
  if (file->Read(bytes) != static_cast<int64_t>(bytes.size())) {
    *error = Format("cannot read %.*s", static_cast<int>(path.size()), path.data());
    return std::nullopt;
  }
  NvTable table;
  table.LoadFrom(std::span<const uint8_t, NvTable::kFileSize>(bytes.data(), bytes.size()));
  return table;
}

bool SaveNvFile(std::string_view path, const NvTable& table, std::string* error) {
  std::vector<uint8_t> bytes(NvTable::kFileSize);
  table.StoreTo(std::span<uint8_t, NvTable::kFileSize>(bytes.data(), bytes.size()));
  std::string temporary;
  std::optional<File> file = File::CreateTemporary(path, &temporary);
  if (!file) {
    *error = Format("cannot write next to %.*s", static_cast<int>(path.size()), path.data());
    return false;
  }
  const bool written = file->Write(bytes);
  file->Close();
  if (!written || !ReplaceFile(temporary, path)) {
    DeleteFileAt(temporary);
    *error = Format("cannot write %.*s", static_cast<int>(path.size()), path.data());
    return false;
  }
  return true;
}

std::string NvRecordText(size_t index, const NvRecord& record) {
  return Format("record %3zu  item %5u  status %s  data %s", index,
                static_cast<unsigned>(record.item), StatusText(record.status).c_str(),
                Hex(record.data).c_str());
}

std::string NvDumpText(const NvTable& table) {
  std::string out;
  size_t read = 0, inactive = 0, unanswered = 0;
  bool listed = true;
  for (size_t i = 0; i < NvTable::kRecords; ++i) {
    const NvRecord& r = table.records[i];
    out += NvRecordText(i, r);
    out += '\n';
    if (r.item >= kNvEndItem) listed = false;
    if (!listed) continue;
    if (r.status == kStatusOk) ++read;
    if (r.status == kStatusInactive) ++inactive;
    if (r.status == kStatusNoAnswer) ++unanswered;
  }
  out +=
      Format("items read: %zu, inactive: %zu, without answer: %zu\n", read, inactive, unanswered);
  return out;
}

std::string NvDumpJson(const NvTable& table) {
  // One record a line, its fields in the order of the file.
  std::string out = "[\n";
  for (size_t i = 0; i < NvTable::kRecords; ++i) {
    const NvRecord& r = table.records[i];
    const nlohmann::ordered_json o = {{"record", i},
                                      {"item", r.item},
                                      {"status", r.status},
                                      {"status_name", NvStatusName(r.status)},
                                      {"data", Hex(r.data)}};
    out += "  " + o.dump();
    out += i + 1 < NvTable::kRecords ? ",\n" : "\n";
  }
  out += "]\n";
  return out;
}

std::optional<NvTable> NvTableFromJson(std::string_view json, std::string* error) {
  nlohmann::json all = nlohmann::json::parse(json.begin(), json.end(), nullptr, false);
  if (all.is_discarded()) {
    *error = "not valid JSON";
    return std::nullopt;
  }
  if (!all.is_array() || all.size() != NvTable::kRecords) {
    *error = Format("expected an array of %zu records", NvTable::kRecords);
    return std::nullopt;
  }
  NvTable table;
  for (size_t i = 0; i < NvTable::kRecords; ++i) {
    const nlohmann::json& o = all[i];
    if (!o.is_object()) {
      *error = Format("element %zu is not an object", i);
      return std::nullopt;
    }
    for (const auto& [key, value] : o.items()) {
      if (key != "record" && key != "item" && key != "status" && key != "status_name" &&
          key != "data") {
        *error = Format("object %zu: unknown field \"%s\"", i, key.c_str());
        return std::nullopt;
      }
    }
    uint64_t record = 0, item = 0, status = 0;
    if (!Unsigned(o, "record", NvTable::kRecords - 1, &record, error, i) ||
        !Unsigned(o, "item", 0xFFFF, &item, error, i) ||
        !Unsigned(o, "status", 0xFFFF, &status, error, i)) {
      return std::nullopt;
    }
    if (record != i) {
      *error = Format("object %zu carries record number %llu", i,
                      static_cast<unsigned long long>(record));
      return std::nullopt;
    }
    if (status > kLastStoreStatus && status != kStatusNoAnswer) {
      *error = Format("object %zu: status %llu is no NV status", i,
                      static_cast<unsigned long long>(status));
      return std::nullopt;
    }
    auto data = o.find("data");
    if (data == o.end() || !data->is_string() ||
        data->get_ref<const std::string&>().size() != 2 * kNvDataSize) {
      *error = Format("object %zu: \"data\" must be %zu hexadecimal digits (%zu bytes)", i,
                      2 * kNvDataSize, kNvDataSize);
      return std::nullopt;
    }
    const std::string& hex = data->get_ref<const std::string&>();
    NvRecord& r = table.records[i];
    for (size_t b = 0; b < kNvDataSize; ++b) {
      const int hi = HexDigit(hex[2 * b]), lo = HexDigit(hex[2 * b + 1]);
      if (hi < 0 || lo < 0) {
        *error = Format("object %zu: \"data\" holds a character that is no hexadecimal digit", i);
        return std::nullopt;
      }
      r.data[b] = static_cast<uint8_t>(hi << 4 | lo);
    }
    r.item = static_cast<uint16_t>(item);
    r.status = static_cast<uint16_t>(status);
  }
  return table;
}

std::vector<std::string> NvDifferences(const NvTable& a, const NvTable& b) {
  std::vector<std::string> out;
  for (size_t i = 0; i < NvTable::kRecords; ++i) {
    const NvRecord& x = a.records[i];
    const NvRecord& y = b.records[i];
    if (x == y) continue;
    std::string line = Format("record %zu item %u:", i, static_cast<unsigned>(x.item));
    if (x.item != y.item)
      line +=
          Format(" item %u -> %u;", static_cast<unsigned>(x.item), static_cast<unsigned>(y.item));
    if (x.status != y.status) {
      line += " status " + StatusText(x.status) + " -> " + StatusText(y.status) + ";";
    }
    size_t changed = 0, first = 0;
    for (size_t k = 0; k < kNvDataSize; ++k) {
      if (x.data[k] == y.data[k]) continue;
      if (changed++ == 0) first = k;
    }
    if (changed > 0) {
      line += Format(" %zu data byte%s differ%s, the first at offset %zu: %02x -> %02x;", changed,
                     changed == 1 ? "" : "s", changed == 1 ? "s" : "", first, x.data[first],
                     y.data[first]);
    }
    line.pop_back();
    out.push_back(line);
  }
  return out;
}

}  // namespace quorrel

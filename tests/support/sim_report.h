// What a quorrel-sim run's JSON report says about the NV items the host
// wrote, checked against an NV backup file.
//
// Header-only; include as "support/sim_report.h".
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "jobs/nv_backup.h"
#include "support/sim_line.h"
#include "util/text.h"

namespace quorrel::testsupport {

inline nlohmann::json ReadSimReport(const std::filesystem::path& path) {
  std::vector<uint8_t> bytes = ReadBytes(path);
  if (bytes.empty()) return nlohmann::json::object();
  return nlohmann::json::parse(bytes.begin(), bytes.end());
}

inline NvTable ReadNvFile(const std::filesystem::path& path) {
  std::vector<uint8_t> bytes = ReadBytes(path);
  NvTable table;
  EXPECT_EQ(bytes.size(), NvTable::kFileSize) << path;
  if (bytes.size() == NvTable::kFileSize) {
    table.LoadFrom(std::span<const uint8_t, NvTable::kFileSize>(bytes.data(), NvTable::kFileSize));
  }
  return table;
}

// Every item the backup read ends, in the modem the report is of, with the
// backup's data, and nothing else was written. A write sent again after a
// late reply on a loaded machine is no fault: what counts is the data each
// item ends with (the last write of it).
inline void ExpectBackupWrittenBack(const nlohmann::json& report, const NvTable& backup) {
  std::map<int, std::string> last;
  for (const nlohmann::json& w : report["nv_writes"])
    last[w["item"].get<int>()] = w["data"].get<std::string>();
  std::map<int, std::string> expected;
  for (const NvRecord& r : backup.records) {
    if (r.item >= kNvEndItem) break;
    if (r.status == 0) expected[r.item] = LowerHex(r.data);
  }
  ASSERT_FALSE(expected.empty()) << "the backup holds no item";
  for (const auto& [item, data] : expected) {
    auto it = last.find(item);
    ASSERT_NE(it, last.end()) << "item " << item << " not written back";
    EXPECT_EQ(it->second, data) << "item " << item;
  }
  EXPECT_EQ(last.size(), expected.size());
}

}  // namespace quorrel::testsupport

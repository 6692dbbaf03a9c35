// The NV file tools: a backup read as text and JSON, made back from its
// JSON byte for byte, two files compared record by record, and every kind
// of bad file or bad JSON refused with a reason and nothing written.
#include "app/nv_tools.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>

#include <nlohmann/json.hpp>

#include "platform/scratch_root.h"

namespace quorrel {
namespace {

namespace fs = std::filesystem;

// A backup as a modem gives it: most items read, some inactive or silent.
NvTable SampleBackup() {
  NvTable table = BuildBackupTable();
  for (size_t i = 0; i < NvTable::kRecords; ++i) {
    NvRecord& r = table.records[i];
    if (r.item >= kNvEndItem) break;
    for (size_t b = 0; b < r.data.size(); ++b) r.data[b] = static_cast<uint8_t>(i * 7 + b);
  }
  table.records[3].status = 5;
  table.records[3].data.fill(0);
  table.records[4].status = 0xFFFF;
  table.records[4].data.fill(0);
  return table;
}

std::vector<uint8_t> Bytes(const NvTable& table) {
  std::vector<uint8_t> bytes(NvTable::kFileSize);
  table.StoreTo(std::span<uint8_t, NvTable::kFileSize>(bytes.data(), bytes.size()));
  return bytes;
}

std::vector<uint8_t> FileBytes(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)),
                              std::istreambuf_iterator<char>());
}

void WriteFile(const fs::path& p, const std::vector<uint8_t>& bytes) {
  std::ofstream out(p, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

class NvTools : public ::testing::Test {
 protected:
  fs::path Path(const char* name) const { return root_.path() / name; }
  quorrel::testing::ScratchRoot root_;
};

TEST_F(NvTools, DumpThenImportGivesTheSameFileByteForByte) {
  const NvTable backup = SampleBackup();
  // The reserved bytes of a record are not kept; a file written by the
  // program has them zero, as this one.
  WriteFile(Path("Channel1.nvm"), Bytes(backup));
  std::string error;
  std::optional<NvTable> loaded = LoadNvFile(Path("Channel1.nvm").string(), &error);
  ASSERT_TRUE(loaded) << error;

  const std::string json = NvDumpJson(*loaded);
  nlohmann::json parsed = nlohmann::json::parse(json);
  ASSERT_TRUE(parsed.is_array());
  ASSERT_EQ(parsed.size(), NvTable::kRecords);
  EXPECT_EQ(parsed[1]["record"], 1);
  EXPECT_EQ(parsed[1]["item"], 22);
  EXPECT_EQ(parsed[1]["status_name"], "ok");
  EXPECT_EQ(parsed[3]["status_name"], "inactive");
  EXPECT_EQ(parsed[4]["status"], 65535);
  EXPECT_EQ(parsed[4]["status_name"], "no answer");
  EXPECT_EQ(parsed[0]["data"].get<std::string>().substr(0, 8), "00010203");
  EXPECT_EQ(parsed[713]["item"], kNvEndItem);

  std::optional<NvTable> back = NvTableFromJson(json, &error);
  ASSERT_TRUE(back) << error;
  ASSERT_TRUE(SaveNvFile(Path("again.nvm").string(), *back, &error)) << error;
  EXPECT_EQ(FileBytes(Path("again.nvm")), FileBytes(Path("Channel1.nvm")));
  // Nothing is left behind next to it.
  size_t files = 0;
  for (const auto& e : fs::directory_iterator(root_.path())) files += e.is_regular_file() ? 1 : 0;
  EXPECT_EQ(files, 2u);
}

TEST_F(NvTools, TextDumpListsEveryRecordAndCountsTheListedItems) {
  const std::string text = NvDumpText(SampleBackup());
  size_t lines = 0;
  for (char c : text) lines += c == '\n' ? 1 : 0;
  EXPECT_EQ(lines, NvTable::kRecords + 1);
  EXPECT_NE(text.find("record   1  item    22  status 0 (ok)  data 07"), std::string::npos);
  EXPECT_NE(text.find("status 5 (inactive)"), std::string::npos);
  EXPECT_NE(text.find("status 65535 (no answer)"), std::string::npos);
  // 713 listed items; the end marker and the zero records after it are not
  // counted.
  EXPECT_NE(text.find("items read: 711, inactive: 1, without answer: 1\n"), std::string::npos)
      << text.substr(text.size() - 200);
}

TEST_F(NvTools, DiffNamesTheRecordAndItemOfOneChangedByte) {
  const NvTable a = SampleBackup();
  NvTable b = a;
  EXPECT_TRUE(NvDifferences(a, b).empty());
  b.records[281].data[17] ^= 0x01;  // the first item 2724
  std::vector<std::string> d = NvDifferences(a, b);
  ASSERT_EQ(d.size(), 1u);
  EXPECT_NE(d[0].find("record 281 item 2724"), std::string::npos) << d[0];
  EXPECT_NE(d[0].find("1 data byte differs, the first at offset 17"), std::string::npos) << d[0];

  b = a;
  b.records[3].status = 0;
  b.records[9].item = 4051;
  d = NvDifferences(a, b);
  ASSERT_EQ(d.size(), 2u);
  EXPECT_NE(d[0].find("status 5 (inactive) -> 0 (ok)"), std::string::npos) << d[0];
  EXPECT_NE(d[1].find("item 522 -> 4051"), std::string::npos) << d[1];
}

TEST_F(NvTools, FilesOfAnyOtherLengthAreRefused) {
  for (size_t size : {size_t{0}, NvTable::kFileSize - 1, NvTable::kFileSize + 1}) {
    SCOPED_TRACE(size);
    WriteFile(Path("bad.nvm"), std::vector<uint8_t>(size, 0));
    std::string error;
    EXPECT_FALSE(LoadNvFile(Path("bad.nvm").string(), &error));
    EXPECT_NE(error.find("not the 98600 bytes"), std::string::npos) << error;
  }
  std::string error;
  EXPECT_FALSE(LoadNvFile(Path("missing.nvm").string(), &error));
  EXPECT_NE(error.find("cannot read"), std::string::npos);
}

TEST_F(NvTools, MalformedJsonIsRefusedWithItsFirstProblem) {
  const nlohmann::json good = nlohmann::json::parse(NvDumpJson(SampleBackup()));
  struct Case {
    const char* name;
    std::function<void(nlohmann::json&)> spoil;
    const char* says;
  };
  const Case cases[] = {
      {"one record short", [](nlohmann::json& j) { j.erase(j.size() - 1); }, "array of 725"},
      {"not an array", [](nlohmann::json& j) { j = nlohmann::json::object(); }, "array of 725"},
      {"records swapped", [](nlohmann::json& j) { std::swap(j[5], j[6]); },
       "carries record number"},
      {"item too large", [](nlohmann::json& j) { j[2]["item"] = 65536; },
       "\"item\" is not a whole number"},
      {"negative item", [](nlohmann::json& j) { j[2]["item"] = -1; },
       "\"item\" is not a whole number"},
      {"item as text", [](nlohmann::json& j) { j[2]["item"] = "90"; },
       "\"item\" is not a whole number"},
      {"no such status", [](nlohmann::json& j) { j[2]["status"] = 11; }, "is no NV status"},
      {"data short", [](nlohmann::json& j) { j[2]["data"] = std::string(254, '0'); },
       "256 hexadecimal digits"},
      {"data long", [](nlohmann::json& j) { j[2]["data"] = std::string(258, '0'); },
       "256 hexadecimal digits"},
      {"data not hex", [](nlohmann::json& j) { j[2]["data"] = std::string(255, '0') + "g"; },
       "no hexadecimal digit"},
      {"data missing", [](nlohmann::json& j) { j[2].erase("data"); }, "\"data\" must be"},
      {"unknown field", [](nlohmann::json& j) { j[2]["comment"] = "x"; }, "unknown field"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    nlohmann::json j = good;
    c.spoil(j);
    std::string error;
    EXPECT_FALSE(NvTableFromJson(j.dump(), &error));
    EXPECT_NE(error.find(c.says), std::string::npos) << error;
  }
  std::string error;
  EXPECT_FALSE(NvTableFromJson("[{\"record\": 0,", &error));
  EXPECT_EQ(error, "not valid JSON");
}

TEST_F(NvTools, AFailedSaveLeavesTheOldFileAsItWas) {
  WriteFile(Path("Channel1.nvm"), Bytes(SampleBackup()));
  const std::vector<uint8_t> before = FileBytes(Path("Channel1.nvm"));
  std::string error;
  // A folder where the file should go cannot be replaced by it.
  fs::create_directories(Path("taken.nvm"));
  EXPECT_FALSE(SaveNvFile(Path("taken.nvm").string(), NvTable{}, &error));
  EXPECT_FALSE(SaveNvFile((root_.path() / "no" / "such" / "dir.nvm").string(), NvTable{}, &error));
  EXPECT_EQ(FileBytes(Path("Channel1.nvm")), before);
}

}  // namespace
}  // namespace quorrel

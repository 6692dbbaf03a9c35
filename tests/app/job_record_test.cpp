#include "app/job_record.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "jobs/nv_backup.h"
#include "platform/scratch_root.h"
#include "platform/sha256.h"

namespace quorrel {
namespace {

namespace fs = std::filesystem;

TEST(Sha256Test, KnownDigests) {
  EXPECT_EQ(Sha256Hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(Sha256Hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

// A backup whose item 550 holds an IMEI as modems store it: a length byte,
// then the digits two to a byte, low half first, behind the 0xA marker.
TEST(JobRecordTest, TheNvFileGivesItsDigestAndTheImeiItHolds) {
  testing::ScratchRoot root;
  struct Case {
    const char* name;
    std::vector<uint8_t> item550;
    uint16_t status;
    const char* imei;  // nullptr: none
  } cases[] = {
      {"an IMEI", {0x08, 0x3A, 0x25, 0x10, 0x32, 0x54, 0x76, 0x98, 0x10}, 0, "352012345678901"},
      {"a blank item", {}, 0, nullptr},
      {"an item the modem did not give",
       {0x08, 0x3A, 0x25, 0x10, 0x32, 0x54, 0x76, 0x98, 0x10},
       5,
       nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    NvTable table = BuildBackupTable();
    for (NvRecord& r : table.records) {
      if (r.item != 550) continue;
      std::copy(c.item550.begin(), c.item550.end(), r.data.begin());
      r.status = c.status;
    }
    std::vector<uint8_t> bytes(NvTable::kFileSize);
    table.StoreTo(std::span<uint8_t, NvTable::kFileSize>(bytes.data(), bytes.size()));
    const fs::path file = root.path() / "Channel1.nvm";
    std::ofstream(file, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));

    JobRecord record;
    DescribeNvFile(record, file.string());
    ASSERT_TRUE(record.nvSha256);
    EXPECT_EQ(*record.nvSha256, Sha256Hex(std::string(bytes.begin(), bytes.end())));
    EXPECT_EQ(record.imei.has_value(), c.imei != nullptr);
    if (c.imei) {
      EXPECT_EQ(*record.imei, c.imei);
    }
  }
  JobRecord missing;
  DescribeNvFile(missing, (root.path() / "none.nvm").string());
  EXPECT_FALSE(missing.nvSha256);
  EXPECT_FALSE(missing.imei);
}

// Lines writing at once never interleave their records; each is whole JSON
// with every field, unknowns as null, and texts that are not UTF-8 survive.
TEST(JobRecordTest, RecordsAppendedAtOnceStayWholeLines) {
  testing::ScratchRoot root;
  const std::string folder = (root.path() / "state").string();
  std::vector<std::thread> threads;
  for (int line = 1; line <= 8; ++line) {
    threads.emplace_back([&folder, line] {
      for (int i = 0; i < 25; ++i) {
        JobRecord r;
        r.line = line;
        r.job = "download";
        r.outcome = line % 2 ? "success" : "failed";
        r.exitCode = line % 2 ? 0 : 1;
        r.esn = 0x8A3F21C4u + static_cast<uint32_t>(line);
        r.lastError = line % 2 ? "" : std::string("reset modem fail! \xff") + std::string(300, 'x');
        ASSERT_TRUE(AppendJobRecord(folder, r));
      }
    });
  }
  for (std::thread& t : threads) t.join();

  std::ifstream in(fs::path(folder) / "results.jsonl");
  int count = 0;
  for (std::string text; std::getline(in, text); ++count) {
    const nlohmann::json j = nlohmann::json::parse(text);
    for (const char* key : {"started", "ended", "line", "job", "usb_path", "usb_serial", "esn",
                            "imei", "version_before", "version_after", "nv_file", "nv_sha256",
                            "outcome", "exit_code", "last_error"}) {
      EXPECT_TRUE(j.contains(key)) << key;
    }
    const int line = j["line"].get<int>();
    EXPECT_EQ(j["esn"],
              (std::vector<std::string>{"", "8A3F21C5", "8A3F21C6", "8A3F21C7", "8A3F21C8",
                                        "8A3F21C9", "8A3F21CA", "8A3F21CB", "8A3F21CC"}[line]));
    EXPECT_TRUE(j["imei"].is_null());
    EXPECT_EQ(j["exit_code"], line % 2 ? 0 : 1);
  }
  EXPECT_EQ(count, 8 * 25);
}

// Whether a job wrote its line's NV file. The kernel stamps a file from a
// coarse clock: one made just after the job's start can carry a time a few
// milliseconds before it, and is still this job's.
TEST(JobRecordTest, AnNvFileCountsAsWrittenWhenTheJobMadeOrRewroteIt) {
  testing::ScratchRoot root;
  const fs::path file = root.path() / "Channel1.nvm";
  const auto write = [&file] { std::ofstream(file, std::ios::binary) << "nv"; };
  struct Case {
    const char* name;
    bool before;        // a file there at the start
    bool writtenAfter;  // the job wrote it
    int stampMs;        // its time after, from the start's (or from its old one)
    bool counts;
  } cases[] = {
      {"made, stamped before the start", false, true, -5, true},
      {"made, stamped after the start", false, true, 5, true},
      {"rewritten", true, true, 1000, true},
      {"left as it was", true, false, 0, false},
      {"none at all", false, false, 0, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove(file);
    if (c.before) {
      write();
      fs::last_write_time(file, fs::file_time_type::clock::now() - std::chrono::hours(1));
    }
    const NvFileMark mark = MarkNvFile(file.string());
    if (c.writtenAfter) {
      const fs::file_time_type from = c.before ? *mark.written : mark.markedAt;
      write();
      fs::last_write_time(file, from + std::chrono::milliseconds(c.stampMs));
    }
    EXPECT_EQ(WrittenSince(mark, file.string()), c.counts);
  }
  EXPECT_FALSE(WrittenSince(MarkNvFile(""), ""));
}

}  // namespace
}  // namespace quorrel

// The stand-alone NV tasks of line 1 (modes 3 and 4), started with the start
// button against the virtual modem: their start checks, the backup file, and
// each rule of the restore as the user and the modem see it.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "jobs/nv_backup.h"
#include "support/sim_line.h"

namespace quorrel {
namespace {

using testsupport::Contains;
using testsupport::Seen;
using testsupport::SimLine;

using testsupport::kNvReadCode;
using testsupport::NvPath;
using testsupport::ReadTable;
using testsupport::WriteTable;

std::optional<Seen> LastJobEnd(SimLine& s) {
  std::vector<Seen> ends = s.form().Of(Seen::Kind::JobEnd);
  if (ends.empty()) return std::nullopt;
  return ends.back();
}

TEST(NvJobs, BackupWritesTheModemsItemsAndPasses) {
  SimLine s;
  s.PlugInAndFind();
  s.doc_.line(0).lineMode = LineMode::BackupNv;

  ASSERT_TRUE(s.StartAndWait());
  std::optional<Seen> end = LastJobEnd(s);
  ASSERT_TRUE(end);
  EXPECT_EQ(end->text, "备份NV区成功");
  EXPECT_EQ(end->value, 1);
  EXPECT_EQ(s.form().Values(Seen::Kind::Picture).back(), kStatusPass);
  ASSERT_EQ(std::filesystem::file_size(NvPath()), NvTable::kFileSize);
  NvTable table = ReadTable(NvPath());
  EXPECT_EQ(table.records[0].data, s.modem().NvItem(0));
  EXPECT_EQ(table.records[712].item, 550);
  EXPECT_EQ(table.records[713].item, kNvEndItem);
  EXPECT_EQ(s.doc_.line(0).runFlag, 0);
}

TEST(NvJobs, BackupStartCheckLeavesAnEarlierBackupAsItWas) {
  SimLine s;
  s.PlugInAndFind();
  s.doc_.line(0).lineMode = LineMode::BackupNv;
  const std::string old(NvTable::kFileSize, '\x5A');
  std::ofstream(NvPath(), std::ios::binary) << old;
  std::optional<std::string> seenAtJobStart;
  s.form().onStatus = [&](std::string_view text) {
    if (text == "NV区备份目录建立成功" && !seenAtJobStart) {
      std::ifstream in(NvPath(), std::ios::binary);
      seenAtJobStart =
          std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    }
  };

  ASSERT_TRUE(s.StartAndWait());
  ASSERT_TRUE(seenAtJobStart);
  EXPECT_TRUE(*seenAtJobStart == old);
  // No probe file is left behind; the backup's archive copy is a folder's.
  for (const auto& entry : std::filesystem::directory_iterator(NvPath().parent_path())) {
    if (entry.path().filename() == kNvArchiveFolder) continue;
    EXPECT_EQ(entry.path().filename(), "Channel1.nvm");
  }
}

TEST(NvJobs, StartChecksOfTheNvModes) {
  struct Case {
    const char* name;
    LineMode mode;
    const char* nvDirectory;  // empty: none
    const char* nvFile;
    const char* message;
  };
  const Case cases[] = {
      {"backup without NV directory", LineMode::BackupNv, "", testsupport::kNvFile,
       "Line1 No NV directory!"},
      {"restore without NV directory", LineMode::RestoreNv, "", testsupport::kNvFile,
       "Line1 No NV directory!"},
      {"backup into a missing folder", LineMode::BackupNv, "C:\\missing",
       "C:\\missing\\Channel1.nvm", "Line1 can't create or open NV file!"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SimLine s;
    s.PlugInAndFind();
    LineJob& job = s.doc_.line(0);
    job.lineMode = c.mode;
    if (*c.nvDirectory == 0) {
      job.settings.nvDirectory.Clear();
    } else {
      ASSERT_TRUE(job.settings.nvDirectory.Set(c.nvDirectory));
    }
    ASSERT_TRUE(job.settings.nvFile.Set(c.nvFile));

    EXPECT_FALSE(s.controller().StartLine(0));
    EXPECT_EQ(s.form().Texts(Seen::Kind::Box), (std::vector<std::string>{c.message}));
    EXPECT_EQ(job.runFlag, 0);
    EXPECT_FALSE(s.controller().JobRunning(0));
    EXPECT_TRUE(s.modem().NvWrites().empty());
  }
}

// A backup that misses items, or reads none, fails: the earlier NV file
// stays, the job end says which items failed, the picture is Fail.
TEST(NvJobs, BackupWithoutEveryItemFailsAndKeepsTheEarlierFile) {
  struct Case {
    const char* name;
    std::function<void(sim::ModemConfig&)> configure;
    const char* failure;
  };
  const Case cases[] = {
      {"the third item unanswered",
       [](sim::ModemConfig& c) {
         // Three attempts of three exchange tries each.
         sim::ReplyFault drop;
         drop.kind = sim::ReplyFault::Kind::Drop;
         drop.match.nth = 3;
         drop.match.count = 9;
         drop.match.code = kNvReadCode;
         c.faults.replies.push_back(drop);
       },
       "NV backup failed: no valid answer for NV item 90; C:\\nvbackup\\Channel1.nvm was not "
       "written"},
      {"the NV store answers nothing",
       [](sim::ModemConfig& c) {
         sim::ReplyFault drop;
         drop.kind = sim::ReplyFault::Kind::Drop;
         drop.match.count = 0;
         drop.match.code = kNvReadCode;
         c.faults.replies.push_back(drop);
       },
       "NV backup failed: no valid answer for NV items 0, 22, 90, 141, 148, 453, 519, 520, and the "
       "items after "
       "them were not read; C:\\nvbackup\\Channel1.nvm was not written"},
      {"every item inactive",
       [](sim::ModemConfig& c) {
         sim::NvReplyFault inactive;
         inactive.kind = sim::NvReplyFault::Kind::Status;
         inactive.value = 5;
         c.faults.nvReplies.push_back(inactive);
       },
       "NV backup failed: the phone gave the data of no NV item; C:\\nvbackup\\Channel1.nvm was "
       "not written"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sim::ModemConfig config;
    c.configure(config);
    SimLine s(config);
    s.PlugInAndFind();
    s.doc_.line(0).lineMode = LineMode::BackupNv;
    const std::string old(NvTable::kFileSize, '\x5A');
    std::ofstream(NvPath(), std::ios::binary) << old;

    ASSERT_TRUE(s.StartAndWait());
    std::optional<Seen> end = LastJobEnd(s);
    ASSERT_TRUE(end);
    EXPECT_EQ(end->text, c.failure);
    EXPECT_EQ(end->value, 5);
    EXPECT_EQ(s.form().Values(Seen::Kind::Picture).back(), kStatusFail);
    std::vector<uint8_t> kept = testsupport::ReadBytes(NvPath());
    EXPECT_TRUE(std::string(kept.begin(), kept.end()) == old);
    EXPECT_EQ(s.doc_.line(0).runFlag, 0);
  }
}

TEST(NvJobs, RestoreSkipsRecordsThatWereNotRead) {
  SimLine s;
  s.PlugInAndFind();
  NvTable table = BuildBackupTable();
  for (NvRecord& r : table.records) {
    if (r.item >= kNvEndItem) break;
    r.data.fill(static_cast<uint8_t>(r.item));
    // Saved from this modem: the items that identify it are its own.
    if (r.item == 0 || r.item == 550) r.data = s.modem().NvItem(r.item);
  }
  table.records[2].status = 0xFFFF;  // item 90
  table.records[3].status = 5;       // item 141
  WriteTable(NvPath(), table);
  s.doc_.line(0).lineMode = LineMode::RestoreNv;

  ASSERT_TRUE(s.StartAndWait());
  EXPECT_EQ(LastJobEnd(s)->text, "恢复NV区成功");
  std::vector<sim::NvWriteRecord> writes = s.modem().NvWrites();
  for (uint16_t skipped : {90, 141}) {
    EXPECT_TRUE(std::none_of(writes.begin(), writes.end(),
                             [&](const auto& w) { return w.item == skipped; }));
  }
  EXPECT_TRUE(
      std::any_of(writes.begin(), writes.end(), [](const auto& w) { return w.item == 148; }));
}

struct RestoreCase {
  const char* name;
  int nvOption;
  // The NV file: written from the backup table, its length changed, or none.
  enum class File { Table, Short, Missing } file;
  std::vector<uint16_t> readOnly;    // items the modem refuses (status 7)
  std::optional<uint16_t> failItem;  // an item whose writes fail (status 4)
  const char* endText;
  int endKind;
  const char* statusText;  // a status line that must be there ("" none)
  bool phoneTouched;
};

void PrintTo(const RestoreCase& c, std::ostream* os) {
  *os << c.name;
}

class NvRestore : public ::testing::TestWithParam<RestoreCase> {};

TEST_P(NvRestore, EndsAsTheRuleSays) {
  const RestoreCase& c = GetParam();
  sim::ModemConfig config;
  for (uint16_t item : c.readOnly) {
    sim::NvStatusFault f;
    f.write = 7;
    f.count = 0;
    config.faults.nvStatus[item] = f;
  }
  if (c.failItem) {
    sim::NvStatusFault f;
    f.write = 4;
    f.count = 0;
    config.faults.nvStatus[*c.failItem] = f;
  }
  SimLine s(config);
  s.PlugInAndFind();
  s.doc_.nvOption = c.nvOption;

  NvTable table = BuildBackupTable();
  for (NvRecord& r : table.records) {
    if (r.item >= kNvEndItem) break;
    r.data.fill(static_cast<uint8_t>(r.item));
    // Saved from this modem: the items that identify it are its own.
    if (r.item == 0 || r.item == 550) r.data = s.modem().NvItem(r.item);
  }
  if (c.file == RestoreCase::File::Table) {
    WriteTable(NvPath(), table);
  } else if (c.file == RestoreCase::File::Short) {
    std::ofstream(NvPath(), std::ios::binary) << std::string(NvTable::kFileSize - 1, '\0');
  }
  s.doc_.line(0).lineMode = LineMode::RestoreNv;

  ASSERT_TRUE(s.StartAndWait());
  std::optional<Seen> end = LastJobEnd(s);
  ASSERT_TRUE(end);
  EXPECT_EQ(end->text, c.endText);
  EXPECT_EQ(end->value, c.endKind);
  if (*c.statusText) {
    EXPECT_TRUE(Contains(s.form().Texts(Seen::Kind::Status), c.statusText));
  }
  EXPECT_EQ(s.doc_.line(0).runFlag, 0);
  EXPECT_TRUE(s.form().Control(controls::kDownload).enabled);

  std::vector<sim::NvWriteRecord> writes = s.modem().NvWrites();
  EXPECT_EQ(!writes.empty(), c.phoneTouched);
  for (uint16_t item : c.readOnly) {
    // Refused as read-only: skipped without a second try.
    EXPECT_EQ(
        std::count_if(writes.begin(), writes.end(), [&](const auto& w) { return w.item == item; }),
        1);
  }
  if (c.failItem) {
    EXPECT_EQ(std::count_if(writes.begin(), writes.end(),
                            [&](const auto& w) { return w.item == *c.failItem; }),
              2);
    EXPECT_EQ(writes.back().item, *c.failItem);
    EXPECT_TRUE(s.modem().Offline());
  }
  if (c.file == RestoreCase::File::Table && !c.failItem && c.nvOption != 0) {
    // Every other saved item now holds the file's data.
    for (const NvRecord& r : table.records) {
      if (r.item >= kNvEndItem) break;
      if (std::count(c.readOnly.begin(), c.readOnly.end(), r.item) != 0) continue;
      if (c.nvOption == 1 && (r.item == 550 || r.item == 4051)) continue;
      ASSERT_EQ(s.modem().NvItem(r.item), r.data) << "item " << r.item;
    }
  }
  if (c.nvOption == 1) {
    EXPECT_TRUE(
        std::none_of(writes.begin(), writes.end(), [](const auto& w) { return w.item == 550; }));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Rules, NvRestore,
    ::testing::Values(
        RestoreCase{
            "Full", 2, RestoreCase::File::Table, {}, {}, "恢复NV区成功", 0, "重载NV区参数", true},
        RestoreCase{
            "RfOnlySkips550", 1, RestoreCase::File::Table, {}, {}, "恢复NV区成功", 0, "", true},
        RestoreCase{"ReadOnlySkipped",
                    2,
                    RestoreCase::File::Table,
                    {519, 3675},
                    {},
                    "恢复NV区成功",
                    0,
                    "",
                    true},
        RestoreCase{"WriteFailsTwice",
                    2,
                    RestoreCase::File::Table,
                    {},
                    141,
                    "重载NV区参数失败",
                    5,
                    "",
                    true},
        RestoreCase{"WrongLength",
                    2,
                    RestoreCase::File::Short,
                    {},
                    {},
                    "重载NV区参数失败",
                    5,
                    "NVM file for backup NV doesn't exist or destroyed",
                    false},
        RestoreCase{
            "MissingFile", 2, RestoreCase::File::Missing, {}, {}, "重载NV区参数失败", 5, "", false},
        RestoreCase{"OptionZeroTouchesNothing",
                    0,
                    RestoreCase::File::Missing,
                    {},
                    {},
                    "恢复NV区成功",
                    0,
                    "",
                    false}),
    [](const ::testing::TestParamInfo<RestoreCase>& p) { return std::string(p.param.name); });

}  // namespace
}  // namespace quorrel

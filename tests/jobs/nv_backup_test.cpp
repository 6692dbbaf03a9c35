#include "jobs/nv_backup.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <numeric>
#include <set>
#include <string>
#include <vector>

#include "jobs/fake_phone.h"
#include "lines/control_ids.h"
#include "platform/paths.h"
#include "platform/scoped_root.h"
#include "support/peer_link.h"

namespace quorrel {
namespace {

using testsupport::Bytes;
using testsupport::FakePhone;
using testsupport::LineBench;
using testsupport::Proto;
using testsupport::SilentTryMs;
using testsupport::WriteFileAt;

constexpr uint8_t kNvRead = 0x26, kModeChange = 0x29;
constexpr char kNvDir[] = "C:\\nv";
constexpr char kNvFile[] = "C:\\nv\\Channel1.nvm";

Bytes ReadFileAt(std::string_view winPath) {
  std::ifstream in(MapPath(winPath), std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

// Entries in the NV folder besides the NV file: a temporary file left over.
size_t FilesBesideTheNvFile() {
  size_t n = 0;
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator(MapPath(kNvDir), ec)) {
    if (e.path().filename() != "Channel1.nvm" && e.path().filename() != kNvArchiveFolder) ++n;
  }
  return n;
}

NvTable TableOf(const Bytes& file) {
  NvTable t;
  t.LoadFrom(std::span<const uint8_t, NvTable::kFileSize>(file.data(), NvTable::kFileSize));
  return t;
}

Bytes FileOf(const NvTable& t) {
  Bytes out(NvTable::kFileSize);
  t.StoreTo(std::span<uint8_t, NvTable::kFileSize>(out.data(), out.size()));
  return out;
}

NvRecord Record(uint16_t item, uint16_t status = 0) {
  NvRecord r;
  r.item = item;
  r.data.fill(static_cast<uint8_t>(item * 3));
  r.status = status;
  return r;
}

struct NvBench : LineBench {
  testing::ScopedRoot root;
  NvBench() {
    std::filesystem::create_directories(MapPath(kNvDir));
    (void)doc.line(0).settings.nvDirectory.Set(kNvDir);
    (void)doc.line(0).settings.nvFile.Set(kNvFile);
  }
  // The modes asked for, in order (1 offline, 4).
  std::vector<int> ModeChanges() {
    std::vector<int> out;
    for (const auto& r : phone.Requests(Proto::Diag, kModeChange)) out.push_back(r.packet[1]);
    return out;
  }
  std::vector<std::string> Status() { return display.StatusTexts(0); }
};

// ---------------------------------------------------------------------------
// File format

TEST(NvFormat, RecordIsWrittenFieldByFieldLittleEndian) {
  NvRecord r;
  r.item = 0x1234;
  std::iota(r.data.begin(), r.data.end(), uint8_t{0x40});
  r.status = 0x0506;
  std::array<uint8_t, NvRecord::kSize> bytes;
  bytes.fill(0xEE);
  r.StoreTo(bytes);
  EXPECT_EQ(bytes[0], 0x34);
  EXPECT_EQ(bytes[1], 0x12);
  EXPECT_EQ(bytes[2], 0);
  EXPECT_EQ(bytes[3], 0);
  EXPECT_EQ(bytes[4], 0x40);
  EXPECT_EQ(bytes[131], 0x40 + 127);
  EXPECT_EQ(bytes[132], 0x06);
  EXPECT_EQ(bytes[133], 0x05);
  EXPECT_EQ(bytes[134], 0);
  EXPECT_EQ(bytes[135], 0);
  // Reserved bytes are not interpreted when reading.
  bytes[2] = bytes[3] = bytes[134] = bytes[135] = 0xFF;
  NvRecord back;
  back.LoadFrom(bytes);
  EXPECT_EQ(back, r);
}

TEST(NvFormat, BackupListCheckpoints) {
  EXPECT_EQ(NvBackupItems.size(), 714u);
  const std::pair<size_t, uint16_t> checkpoints[] = {{0, 0},      {5, 453},   {281, 2724},
                                                     {439, 2724}, {712, 550}, {713, 9999}};
  for (const auto& [index, item] : checkpoints) EXPECT_EQ(NvBackupItems[index], item) << index;
  std::map<uint16_t, int> count;
  for (size_t i = 0; i < 713; ++i) ++count[NvBackupItems[i]];
  EXPECT_EQ(count.size(), 704u);
  for (uint16_t twice : {2724, 2725, 2729, 4965, 4970, 4975}) EXPECT_EQ(count[twice], 2) << twice;
  EXPECT_EQ(count.count(4051), 0u);
}

// ---------------------------------------------------------------------------
// Backup

TEST(BackupNv, WritesTheWholeTableWithWhatThePhoneAnswered) {
  NvBench b;
  b.phone.nvReadStatus[22] = 5;               // not active
  b.phone.FailNext(Proto::Diag, kNvRead, 3);  // item 0: its first attempt of three tries
  ASSERT_EQ(BackupNv(b.env, 0, kNvFile), 1);

  const Bytes file = ReadFileAt(kNvFile);
  ASSERT_EQ(file.size(), 98600u);
  const NvTable t = TableOf(file);
  EXPECT_EQ(t.records[1].item, 22);
  EXPECT_EQ(t.records[1].status, 5);
  EXPECT_EQ(t.records[1].data, (std::array<uint8_t, kNvDataSize>{}));
  for (size_t i = 0; i < 713; ++i) {
    if (i == 1) continue;
    ASSERT_EQ(t.records[i].item, NvBackupItems[i]);
    ASSERT_EQ(t.records[i].status, 0) << i;
    ASSERT_EQ(t.records[i].data[127], static_cast<uint8_t>(NvBackupItems[i])) << i;
  }
  EXPECT_EQ(t.records[713], NvRecord{.item = 9999});
  EXPECT_TRUE(std::all_of(file.begin() + 714 * 136, file.end(), [](uint8_t v) { return v == 0; }));

  const auto reads = b.phone.Requests(Proto::Diag, kNvRead);
  // Item 22's "not active" answers are failed attempts too.
  EXPECT_EQ(reads.size(), 3u + 1u + 3u + 711u);

  std::vector<int> progress;
  for (const auto& e : b.display.Events(DisplayEvent::Kind::SetProgress))
    progress.push_back(e.value);
  ASSERT_EQ(progress.size(), 714u);
  EXPECT_EQ(progress.front(), 10);
  EXPECT_EQ(progress.back(), 19);
  EXPECT_EQ(FilesBesideTheNvFile(), 0u);
}

// A backup that misses an item, or holds no item at all, is no backup: the
// earlier NV file stays, and the user learns which items failed.
TEST(BackupNv, IncompleteBackupFailsAndKeepsThePreviousFile) {
  struct Case {
    const char* name;
    std::function<void(FakePhone&)> setup;
    std::string text;
    size_t reads;  // NV read requests made
  };
  const Case cases[] = {
      {"one item unanswered", [](FakePhone& p) { p.FailNext(Proto::Diag, kNvRead, 9); },
       "NV backup failed: no valid answer for NV item 0; C:\\nv\\Channel1.nvm was not written",
       9 + 712},
      {"items 0 and 2724 unanswered",
       [](FakePhone& p) {
         p.FailNext(Proto::Diag, kNvRead, 9);
         p.SetInterceptor([](const testsupport::FakeRequest& r,
                             std::optional<testsupport::FakeReply>& reply) {
           if (r.code() != kNvRead || r.packet[1] != (2724 & 0xFF) || r.packet[2] != (2724 >> 8))
             return false;
           reply.reset();
           return true;
         });
       },
       "NV backup failed: no valid answer for NV items 0, 2724; C:\\nv\\Channel1.nvm was not "
       "written",
       9 + 2 * 9 + 710},
      {"silent phone", [](FakePhone& p) { p.SetSilent(true); },
       "NV backup failed: no valid answer for NV items 0, 22, 90, 141, 148, 453, 519, 520, and the "
       "items "
       "after them were not read; C:\\nv\\Channel1.nvm was not written",
       8 * 9},
      {"every item inactive",
       [](FakePhone& p) {
         for (uint16_t item : NvBackupItems) p.nvReadStatus[item] = 5;
       },
       "NV backup failed: the phone gave the data of no NV item; C:\\nv\\Channel1.nvm was not "
       "written",
       713 * 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    NvBench b;
    const Bytes previous(98600, 0x5A);
    WriteFileAt(kNvFile, previous);
    c.setup(b.phone);
    EXPECT_EQ(BackupNv(b.env, 0, kNvFile), 0);
    EXPECT_EQ(ReadFileAt(kNvFile), previous);
    EXPECT_EQ(FilesBesideTheNvFile(), 0u);
    EXPECT_EQ(b.Status(), std::vector<std::string>{c.text});
    EXPECT_EQ(b.link().LastError(), c.text);
    EXPECT_EQ(b.phone.Requests(Proto::Diag, kNvRead).size(), c.reads);
  }
}

TEST(RestoreNv, RecordsOfUnansweredItemsAreNotWritten) {
  NvBench b;
  NvTable t = BuildBackupTable();
  for (size_t i = 0; i < 713; ++i) t.records[i].status = 0xFFFF;
  WriteFileAt(kNvFile, FileOf(t));
  EXPECT_EQ(RestoreNv(b.env, 0, kNvFile), 1);
  EXPECT_TRUE(b.phone.NvWrites().empty());
  EXPECT_EQ(b.ModeChanges(), (std::vector<int>{1, 4}));
  const auto modes = b.phone.Requests(Proto::Diag, kModeChange);
  EXPECT_EQ(modes[1].atMs - modes[0].atMs, 10u + 1000u);
}

TEST(BackupNv, FailedWriteKeepsThePreviousBackup) {
  struct Case {
    const char* name;
    std::function<void()> setup;
    int cause;
  };
  const Case cases[] = {
      {"read-only backup file",
       [] {
         std::filesystem::permissions(MapPath(kNvFile), std::filesystem::perms::owner_read |
                                                            std::filesystem::perms::group_read);
       },
       EACCES},
      {"folder in the way of the backup file",
       [] {
         std::filesystem::remove(MapPath(kNvFile));
         std::filesystem::create_directories(MapPath(kNvFile));
       },
       EISDIR},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    NvBench b;
    const Bytes previous(98600, 0x5A);
    WriteFileAt(kNvFile, previous);
    c.setup();
    b.link().SetLastError("an older phone failure");
    EXPECT_EQ(BackupNv(b.env, 0, kNvFile), 0);
    if (std::filesystem::is_regular_file(MapPath(kNvFile))) {
      EXPECT_EQ(ReadFileAt(kNvFile), previous);
    }
    EXPECT_EQ(FilesBesideTheNvFile(), 0u);
    const std::string text = std::string("线路 1 失败,保存数据到 C:\\nv\\Channel1.nvm (") +
                             std::to_string(c.cause) + ")";
    EXPECT_EQ(b.Status(), std::vector<std::string>{text});
    EXPECT_EQ(b.link().LastError(), text);
    ASSERT_EQ(b.display.Messages().size(), 1u);
    EXPECT_EQ(b.display.Messages()[0].rfind("C:\\nv\\Channel1.nvm: ", 0), 0u);
  }
  {
    SCOPED_TRACE("missing folder");
    NvBench b;
    EXPECT_EQ(BackupNv(b.env, 0, "C:\\gone\\Channel1.nvm"), 0);
    EXPECT_EQ(b.Status(),
              std::vector<std::string>{"线路 1 失败,保存数据到 C:\\gone\\Channel1.nvm (2)"});
  }
}

TEST(BackupNv, SuccessReplacesThePreviousBackup) {
  NvBench b;
  WriteFileAt(kNvFile, Bytes(500, 0x5A));
  ASSERT_EQ(BackupNv(b.env, 0, kNvFile), 1);
  EXPECT_EQ(ReadFileAt(kNvFile).size(), 98600u);
  EXPECT_EQ(FilesBesideTheNvFile(), 0u);
}

// ---------------------------------------------------------------------------
// Restore

TEST(RestoreNv, RejectsFilesThatAreMissingOrNotExactlyOneTable) {
  for (size_t size : {size_t{98599}, size_t{98601}, size_t{0}}) {
    SCOPED_TRACE(size);
    NvBench b;
    WriteFileAt(kNvFile, Bytes(size, 0));
    EXPECT_EQ(RestoreNv(b.env, 0, kNvFile), 0);
    const std::string text = "NVM file for backup NV doesn't exist or destroyed";
    EXPECT_EQ(b.Status(), std::vector<std::string>{text});
    EXPECT_EQ(b.display.Messages(), std::vector<std::string>{text});
    EXPECT_TRUE(b.phone.Requests().empty());
  }
  NvBench b;
  EXPECT_EQ(RestoreNv(b.env, 0, "C:\\nv\\none.nvm"), 0);
  EXPECT_EQ(b.Status(),
            std::vector<std::string>{"fails to read data from file C:\\nv\\none.nvm (2)"});
  EXPECT_EQ(b.display.Messages().size(), 1u);
  EXPECT_TRUE(b.phone.Requests().empty());
}

TEST(RestoreNv, WhichRecordsAreWrittenAndRetried) {
  // 550 and 4051 (IMEI-related), one unread record, items the phone refuses
  // with "not active", "read-only" and "failed" once, and one after the end.
  NvTable t;
  const NvRecord records[] = {Record(550), Record(4051), Record(10, 5), Record(20), Record(30),
                              Record(40),  Record(50),   Record(9999),  Record(60)};
  std::copy(std::begin(records), std::end(records), t.records.begin());
  struct Case {
    int option;
    uint16_t failsOf40;  // status 4 answers to item 40
    int result;
    std::vector<uint16_t> writes;
    std::vector<int> modes;
  };
  const Case cases[] = {
      {1, 1, 1, {20, 30, 40, 40, 50}, {1, 4}},
      {2, 1, 1, {550, 4051, 20, 30, 40, 40, 50}, {1, 4}},
      {3, 1, 1, {550, 4051, 20, 30, 40, 40, 50}, {1, 4}},
      {2, 2, 0, {550, 4051, 20, 30, 40, 40}, {1}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.option * 10 + c.failsOf40);
    NvBench b;
    WriteFileAt(kNvFile, FileOf(t));
    b.doc.nvOption = c.option;
    b.phone.nvWriteStatuses[20] = {5};
    b.phone.nvWriteStatuses[30] = {7};
    b.phone.nvWriteStatuses[40] = std::vector<uint16_t>(c.failsOf40, 4);
    EXPECT_EQ(RestoreNv(b.env, 0, kNvFile), c.result);
    EXPECT_EQ(b.phone.NvWrites(), c.writes);
    EXPECT_EQ(b.ModeChanges(), c.modes);
    EXPECT_EQ(b.phone.nv.count(40), c.result ? 1u : 0u);
  }
}

TEST(RestoreNv, WritesAnyFilesItemsInFileOrderUpToTheEndOrTheLastRecord) {
  {
    NvBench b;
    NvTable t;
    for (size_t i = 0; i < NvTable::kRecords; ++i)
      t.records[i] = Record(static_cast<uint16_t>(2000 - i));
    WriteFileAt(kNvFile, FileOf(t));
    EXPECT_EQ(RestoreNv(b.env, 0, kNvFile), 1);
    const auto writes = b.phone.NvWrites();
    ASSERT_EQ(writes.size(), 725u);
    EXPECT_EQ(writes.front(), 2000);
    EXPECT_EQ(writes.back(), 2000 - 724);
    std::vector<int> progress;
    for (const auto& e : b.display.Events(DisplayEvent::Kind::SetProgress))
      progress.push_back(e.value);
    EXPECT_EQ(progress.front(), 82);
    EXPECT_EQ(progress.back(), 94);
  }
  {
    NvBench b;
    NvTable t;
    t.records[0] = Record(9999);
    t.records[1] = Record(5);
    WriteFileAt(kNvFile, FileOf(t));
    EXPECT_EQ(RestoreNv(b.env, 0, kNvFile), 1);
    EXPECT_TRUE(b.phone.NvWrites().empty());
    EXPECT_EQ(b.ModeChanges(), (std::vector<int>{1, 4}));
  }
}

// ---------------------------------------------------------------------------
// The stand-alone tasks

TEST(NvTasks, RestoreByOption) {
  struct Case {
    int option;
    bool fileThere;
    std::vector<std::string> status;
    int kind;
    int picture;
    bool phoneUsed;
  };
  const Case cases[] = {
      {0, false, {"恢复NV区成功"}, 0, kStatusPass, false},
      {2, true, {"重载NV区参数", "恢复NV区成功"}, 0, kStatusPass, true},
      {1,
       false,
       {"重载NV区参数", "fails to read data from file C:\\nv\\Channel1.nvm (2)",
        "重载NV区参数失败"},
       5,
       kStatusFail,
       false},
      {3, true, {"装载缺省NV区", "恢复NV区成功"}, 0, kStatusPass, true},
      {3,
       false,
       {"装载缺省NV区", "fails to read data from file C:\\nv\\default.nvm (2)", "装载缺省NV区失败"},
       5,
       kStatusFail,
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.option);
    NvBench b;
    b.doc.nvOption = c.option;
    (void)b.doc.line(0).settings.defaultNvFile.Set("C:\\nv\\default.nvm");
    NvTable t;
    t.records[0] = Record(7);
    t.records[1] = Record(9999);
    if (c.fileThere) WriteFileAt(c.option == 3 ? "C:\\nv\\default.nvm" : kNvFile, FileOf(t));
    RunNvRestoreJob(b.env, 0);
    EXPECT_EQ(b.Status(), c.status);
    const auto ends = b.display.Events(DisplayEvent::Kind::JobEnd);
    ASSERT_EQ(ends.size(), 1u);
    EXPECT_EQ(ends[0].value, c.kind);
    const auto pictures = b.display.Events(DisplayEvent::Kind::ShowStatus);
    ASSERT_FALSE(pictures.empty());
    EXPECT_EQ(pictures.back().value, c.picture);
    EXPECT_EQ(!b.phone.Requests().empty(), c.phoneUsed);
  }
}

TEST(NvTasks, BackupTask) {
  {
    NvBench b;
    RunNvBackupJob(b.env, 0);
    EXPECT_EQ(b.phone.Requests().front().packet, Bytes{0x01});  // the ESN first
    EXPECT_EQ(b.Status(), (std::vector<std::string>{"NV区备份目录建立成功", "现在开始备份NV区",
                                                    "备份NV区成功"}));
    EXPECT_EQ(b.display.Events(DisplayEvent::Kind::JobEnd).at(0).value, 1);
    EXPECT_EQ(b.display.Events(DisplayEvent::Kind::ShowStatus).back().value, kStatusPass);
    EXPECT_EQ(b.display.Events(DisplayEvent::Kind::SetProgress).back().value, 100);
    EXPECT_EQ(ReadFileAt(kNvFile).size(), 98600u);
  }
  {
    NvBench b;
    (void)b.doc.line(0).settings.nvDirectory.Set("C:\\nope");
    RunNvBackupJob(b.env, 0);
    EXPECT_EQ(b.display.Messages(), std::vector<std::string>{"Cannot create directory:C:\\nope"});
    EXPECT_EQ(b.Status(),
              std::vector<std::string>{"不能建立NV区目录，请检查备份路径设置是否正确!"});
    EXPECT_EQ(b.display.Events(DisplayEvent::Kind::JobEnd).at(0).value, 5);
    EXPECT_EQ(b.display.Events(DisplayEvent::Kind::ShowStatus).back().value, kStatusFail);
    EXPECT_TRUE(b.phone.Requests(Proto::Diag, kNvRead).empty());
  }
  {
    // The file cannot be written: the job end names the file, not the phone.
    NvBench b;
    (void)b.doc.line(0).settings.nvFile.Set("C:\\nv\\sub\\Channel1.nvm");
    b.link().SetLastError("an older phone failure");
    RunNvBackupJob(b.env, 0);
    const auto ends = b.display.Events(DisplayEvent::Kind::JobEnd);
    ASSERT_EQ(ends.size(), 1u);
    EXPECT_EQ(ends[0].text, "线路 1 失败,保存数据到 C:\\nv\\sub\\Channel1.nvm (2)");
    EXPECT_EQ(ends[0].value, 5);
  }
}

TEST(NvTasks, ChooseNvDirectory) {
  struct Case {
    const char* name;
    std::optional<std::string> picked;
    std::string line1;
    std::string line8File;
    size_t messages;
  };
  const std::string tooLong = "D:\\" + std::string(250, 'x');
  const Case cases[] = {
      {"picked", "D:\\backup", "D:\\backup", "D:\\backup\\Channel8.nvm", 0},
      {"cancelled", std::nullopt, kNvDir, "C:\\old\\Channel8.nvm", 0},
      {"too long for the NV files", tooLong, kNvDir, "C:\\old\\Channel8.nvm", 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    NvBench b;
    (void)b.doc.line(7).settings.nvFile.Set("C:\\old\\Channel8.nvm");
    b.display.SetFolderBrowser([&](std::string_view title) {
      EXPECT_EQ(title, "Please choose the NV directory");
      return c.picked;
    });
    ChooseNvDirectory(b.env);
    EXPECT_EQ(b.doc.line(0).settings.nvDirectory.str(), c.line1);
    EXPECT_EQ(b.doc.line(7).settings.nvFile.str(), c.line8File);
    if (c.picked && c.messages == 0) {
      for (int i = 0; i < kLineCount; ++i) {
        EXPECT_EQ(b.doc.line(i).settings.nvDirectory.str(), *c.picked);
        EXPECT_EQ(b.doc.line(i).settings.nvFile.str(),
                  *c.picked + "\\Channel" + std::to_string(i + 1) + ".nvm");
      }
    }
    EXPECT_EQ(b.display.Messages().size(), c.messages);
    const auto texts = b.display.Events(DisplayEvent::Kind::ControlText);
    ASSERT_EQ(texts.size(), 1u);
    EXPECT_EQ(texts[0].line, controls::kNvDirectoryEdit);
    EXPECT_EQ(texts[0].text, c.line1);
  }
}

}  // namespace
}  // namespace quorrel

// The NV items of line 1's modem through a download against a virtual modem
// that answers NV requests wrongly: which item gets which data back, and
// that nothing is flashed without a whole backup.
#include <gtest/gtest.h>

#include <algorithm>

#include "jobs/download_job.h"
#include "jobs/nv_backup.h"
#include "lines/control_ids.h"
#include "platform/paths.h"
#include "support/sim_line.h"

namespace quorrel {
namespace {

using testsupport::Contains;
using testsupport::Seen;
using testsupport::SimLine;

using testsupport::kNvReadCode;
using testsupport::kNvWriteCode;
using testsupport::NvPath;
using testsupport::ReadTable;

sim::NvReplyFault NvReply(sim::NvReplyFault::Kind kind, std::optional<uint16_t> item,
                          uint16_t value, bool write = false, uint32_t count = 0) {
  sim::NvReplyFault f;
  f.kind = kind;
  f.item = item;
  f.value = value;
  f.write = write;
  f.count = count;
  return f;
}

std::vector<sim::NvWriteRecord> WritesOf(SimLine& s, uint16_t item) {
  std::vector<sim::NvWriteRecord> out;
  for (const sim::NvWriteRecord& w : s.modem().NvWrites()) {
    if (w.item == item) out.push_back(w);
  }
  return out;
}

bool NothingUploadedOrFlashed(sim::VirtualModem& m) {
  return m.Images().empty() && m.PartitionTables().empty() && m.UploadedProgrammer().empty();
}

std::vector<std::string> BoxTexts(SimLine& s) {
  return s.form().Texts(Seen::Kind::Box);
}

// The modem as the user had it: autorun and the vendor switch back, and
// restarted after that, so that it comes back in its firmware.
void ExpectModemGivenBack(SimLine& s) {
  sim::VirtualModem& m = s.modem();
  EXPECT_EQ(m.Autorun(), 1);
  EXPECT_EQ(m.VendorSwitchAA(), 0);
  EXPECT_EQ(m.CdRunCommands(), (std::vector<std::string>{"E", "8", "F", "9"}));
  uint64_t autorunOn = 0;
  for (const sim::VendorRecord& v : m.VendorRequests()) {
    if (v.name == "autorun") autorunOn = v.timeMs;
  }
  s.clock_.Advance(60000);  // the restart runs its course
  std::vector<sim::AttachRecord> history = m.AttachHistory();
  EXPECT_TRUE(std::any_of(history.begin(), history.end(), [&](const sim::AttachRecord& a) {
    return !a.attached && a.reason == "diagnostic reset" && a.timeMs > autorunOn;
  }));
  EXPECT_EQ(m.Mode(), sim::ModemMode::Normal);
}

// The line ended as a failure and can be started again.
void ExpectFailedAndLineGivenBack(SimLine& s) {
  EXPECT_EQ(s.controller().LastOutcome(0), JobOutcome::Failed);
  EXPECT_NE(s.exitCode_, 0);
  EXPECT_EQ(s.doc_.line(0).runFlag, 0);
  EXPECT_TRUE(s.form().Control(controls::kDownload).enabled);
  std::vector<int> pictures = s.form().Values(Seen::Kind::Picture);
  ASSERT_FALSE(pictures.empty());
  EXPECT_EQ(pictures.back(), kStatusFail);
  EXPECT_EQ(s.form().Control(controls::ProgressText(0)).text, "0/100");
  EXPECT_FALSE(Contains(s.form().Texts(Seen::Kind::Status), kDoneText));
  std::vector<Seen> boxes = s.form().Of(Seen::Kind::Box);
  EXPECT_TRUE(std::none_of(boxes.begin(), boxes.end(),
                           [](const Seen& b) { return b.caption == kSuccessCaption; }));
}

// A stray reply (for another item, or cut short) is taken for no answer and
// asked again; the item gets its own data back, never another's or zeros.
TEST(DownloadNv, StrayNvRepliesAreNeverRestoredIntoTheWrongItem) {
  struct Case {
    const char* name;
    sim::NvReplyFault fault;
  };
  const Case cases[] = {
      {"read answered for another item",
       NvReply(sim::NvReplyFault::Kind::OtherItem, 90, 91, false, 1)},
      {"read answered with 3 bytes", NvReply(sim::NvReplyFault::Kind::Short, 90, 3, false, 1)},
      {"write answered for another item",
       NvReply(sim::NvReplyFault::Kind::OtherItem, 90, 91, true, 1)},
      {"write answered with 3 bytes", NvReply(sim::NvReplyFault::Kind::Short, 90, 3, true, 1)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sim::ModemConfig config;
    config.faults.nvReplies.push_back(c.fault);
    SimLine s(config);
    s.PlugInAndFind();
    const sim::NvData item90 = s.modem().NvItem(90);
    ASSERT_NE(item90, s.modem().NvItem(91));
    // The flash loses item 90: only the restore can bring it back.
    s.form().onProgress = [&](int percent) {
      if (percent == 81) s.modem().PutNvItem(90, sim::NvData{});
    };

    ASSERT_TRUE(s.StartAndWait());
    EXPECT_EQ(s.exitCode_, 0);
    EXPECT_EQ(ReadTable(NvPath()).records[2].data, item90);
    std::vector<sim::NvWriteRecord> writes = WritesOf(s, 90);
    ASSERT_FALSE(writes.empty());
    for (const sim::NvWriteRecord& w : writes) EXPECT_EQ(w.data, item90);
    EXPECT_EQ(writes.back().status, 0);
    EXPECT_EQ(s.modem().NvItem(90), item90);
    EXPECT_EQ(s.modem().ImageBytes(5), s.EmbeddedFile(164));
  }
}

// Items the modem refuses with a diagnostic error reply are saved as such,
// with zeros, and are not written back; the download goes on.
TEST(DownloadNv, ErrorRepliesToNvReadsAreKeptAsRefusals) {
  sim::ModemConfig config;
  config.faults.nvReplies = {NvReply(sim::NvReplyFault::Kind::DiagError, 90, 0x13),
                             NvReply(sim::NvReplyFault::Kind::DiagError, 141, 0x14),
                             NvReply(sim::NvReplyFault::Kind::DiagError, 148, 0x15)};
  SimLine s(config);
  s.PlugInAndFind();

  ASSERT_TRUE(s.StartAndWait());
  EXPECT_EQ(s.exitCode_, 0);
  const NvTable table = ReadTable(NvPath());
  const std::pair<size_t, uint16_t> refused[] = {{2, 2}, {3, 6}, {4, 6}};  // record, status
  for (const auto& [record, status] : refused) {
    EXPECT_EQ(table.records[record].status, status) << table.records[record].item;
    EXPECT_EQ(table.records[record].data, (std::array<uint8_t, kNvDataSize>{}));
    EXPECT_TRUE(WritesOf(s, table.records[record].item).empty()) << table.records[record].item;
  }
  EXPECT_EQ(table.records[5].status, 0);
  EXPECT_FALSE(WritesOf(s, 453).empty());
  EXPECT_EQ(s.modem().ImageBytes(5), s.EmbeddedFile(164));
}

// Without a whole backup nothing is flashed: the modem gets its autorun back
// and is restarted, the previous NV file stays, the user learns which items
// failed, and the line can be started again.
TEST(DownloadNv, NoFlashWithoutAWholeBackup) {
  struct Case {
    const char* name;
    std::function<void(sim::ModemConfig&)> configure;
    const char* failure;  // the start of the status line that tells it
  };
  const Case cases[] = {
      {"the NV store answers nothing",
       [](sim::ModemConfig& c) {
         for (uint8_t code : {kNvReadCode, kNvWriteCode}) {
           sim::ReplyFault drop;
           drop.kind = sim::ReplyFault::Kind::Drop;
           drop.match.count = 0;
           drop.match.code = code;
           c.faults.replies.push_back(drop);
         }
       },
       "NV backup failed: no valid answer for NV items 0, 22, 90, 141, 148, 453, 519, 520, and the "
       "items after "
       "them were not read"},
      {"every item inactive",
       [](sim::ModemConfig& c) {
         c.faults.nvReplies.push_back(NvReply(sim::NvReplyFault::Kind::Status, {}, 5));
       },
       "NV backup failed: the phone gave the data of no NV item"},
      {"one item always answered for another",
       [](sim::ModemConfig& c) {
         c.faults.nvReplies.push_back(NvReply(sim::NvReplyFault::Kind::OtherItem, 2724, 2725));
       },
       "NV backup failed: no valid answer for NV item 2724;"},
      {"one item always cut short",
       [](sim::ModemConfig& c) {
         c.faults.nvReplies.push_back(NvReply(sim::NvReplyFault::Kind::Short, 550, 3));
       },
       "NV backup failed: no valid answer for NV item 550;"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sim::ModemConfig config;
    c.configure(config);
    SimLine s(config);
    s.PlugInAndFind();
    const std::string previous(NvTable::kFileSize, '\x5A');
    std::ofstream(NvPath(), std::ios::binary) << previous;

    ASSERT_TRUE(s.StartAndWait());
    ExpectFailedAndLineGivenBack(s);
    std::vector<std::string> status = s.form().Texts(Seen::Kind::Status);
    EXPECT_TRUE(std::any_of(status.begin(), status.end(), [&](const std::string& t) {
      return t.rfind(c.failure, 0) == 0 &&
             t.find("C:\\nvbackup\\Channel1.nvm was not written") != std::string::npos;
    }));
    std::vector<Seen> ends = s.form().Of(Seen::Kind::JobEnd);
    EXPECT_EQ(ends.size(), 1u);
    if (!ends.empty()) {
      EXPECT_EQ(ends.back().text, kInstallFailedDotText);
    }
    EXPECT_EQ(BoxTexts(s), (std::vector<std::string>{kInstallFailedDotText}));

    EXPECT_TRUE(NothingUploadedOrFlashed(s.modem()));
    EXPECT_TRUE(s.modem().NvWrites().empty());
    std::vector<uint8_t> kept = testsupport::ReadBytes(NvPath());
    EXPECT_TRUE(std::string(kept.begin(), kept.end()) == previous);
    for (const auto& entry : std::filesystem::directory_iterator(NvPath().parent_path())) {
      EXPECT_EQ(entry.path().filename(), "Channel1.nvm");
    }
    ExpectModemGivenBack(s);
  }
}

// NV option 0 is the way to flash without a backup.
TEST(DownloadNv, OptionZeroFlashesAModemWhoseNvStoreAnswersNothing) {
  sim::ModemConfig config;
  sim::ReplyFault drop;
  drop.kind = sim::ReplyFault::Kind::Drop;
  drop.match.count = 0;
  drop.match.code = kNvReadCode;
  config.faults.replies.push_back(drop);
  SimLine s(config);
  s.PlugInAndFind();
  s.doc_.nvOption = kNvNoBackup;

  ASSERT_TRUE(s.StartAndWait());
  EXPECT_EQ(s.exitCode_, 0);
  EXPECT_EQ(s.modem().ImageBytes(5), s.EmbeddedFile(164));
  EXPECT_FALSE(std::filesystem::exists(NvPath()));
}

// A restore that fails still gives the modem back, and the failure names
// the file the items are kept in.
TEST(DownloadNv, FailedRestoreStillGivesTheModemBack) {
  struct Case {
    const char* name;
    sim::NvReplyFault fault;
    size_t writesOf90;  // two writes: of one try each, or of three tries each
  };
  const Case cases[] = {
      {"a write refused", NvReply(sim::NvReplyFault::Kind::Status, 90, 4, true), 2},
      {"writes answered for another item",
       NvReply(sim::NvReplyFault::Kind::OtherItem, 90, 91, true), 6},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sim::ModemConfig config;
    config.faults.nvReplies.push_back(c.fault);
    SimLine s(config);
    s.PlugInAndFind();
    const sim::NvData item90 = s.modem().NvItem(90);

    ASSERT_TRUE(s.StartAndWait());
    ExpectFailedAndLineGivenBack(s);
    std::vector<Seen> ends = s.form().Of(Seen::Kind::JobEnd);
    EXPECT_EQ(ends.size(), 1u);
    if (!ends.empty()) {
      EXPECT_EQ(ends.back().text, kRestoreFailText);
      EXPECT_EQ(ends.back().value, 5);
    }
    EXPECT_TRUE(BoxTexts(s).empty());
    EXPECT_TRUE(Contains(s.form().Texts(Seen::Kind::Status),
                         "The NV items were not written back; they are kept in " +
                             NativePath(testsupport::kNvFile) + " for an NV restore"));
    // Item 90 was written with its own data, once and once more; nothing
    // after it.
    std::vector<sim::NvWriteRecord> writes = s.modem().NvWrites();
    std::vector<sim::NvWriteRecord> of90 = WritesOf(s, 90);
    EXPECT_EQ(of90.size(), c.writesOf90);
    for (const sim::NvWriteRecord& w : of90) EXPECT_EQ(w.data, item90);
    if (!writes.empty()) {
      EXPECT_EQ(writes.back().item, 90);
    }
    // The flash holds the release; the file is there for a later restore.
    EXPECT_EQ(s.modem().ImageBytes(5), s.EmbeddedFile(164));
    EXPECT_EQ(ReadTable(NvPath()).records[2].data, item90);
    ExpectModemGivenBack(s);
  }
}

}  // namespace
}  // namespace quorrel

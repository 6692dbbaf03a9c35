// The repair of line 1 (line mode 2) against the virtual modem on the
// virtual clock: modems that a download failed on half way, left in the
// downloader (power lost after the partition table) or with the programmer
// running (an amss write that never completed), and modems that attach in
// either mode. A repair writes the release, writes the NV backup back and
// gives the modem its autorun; a modem in its normal firmware, or a repair
// without a usable backup, is refused with nothing written.
#include "jobs/repair_job.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "jobs/download_job.h"
#include "jobs/mode_probe.h"
#include "jobs/nv_backup.h"
#include "platform/paths.h"
#include "support/sim_line.h"

namespace quorrel {
namespace {

using testsupport::Seen;
using testsupport::SimLine;

constexpr int kAmss = 164, kPartition = 169, kCfgData = 171, kQcsbl = 172, kOemsbl = 168,
              kEfs = 166, kNand = 185;

std::filesystem::path NvPath() {
  return MapPath(testsupport::kNvFile);
}

NvTable ReadTable(const std::filesystem::path& p) {
  std::vector<uint8_t> bytes = testsupport::ReadBytes(p);
  NvTable table;
  EXPECT_EQ(bytes.size(), NvTable::kFileSize);
  if (bytes.size() == NvTable::kFileSize) {
    table.LoadFrom(std::span<const uint8_t, NvTable::kFileSize>(bytes.data(), NvTable::kFileSize));
  }
  return table;
}

void WriteTable(const std::filesystem::path& p, const NvTable& table) {
  std::vector<uint8_t> bytes(NvTable::kFileSize);
  table.StoreTo(std::span<uint8_t, NvTable::kFileSize>(bytes.data(), bytes.size()));
  std::ofstream out(p, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

// A backup of the modem whose listed items differ from what it holds now,
// but for the items that identify it (0 and 550).
NvTable BackupDifferingFrom(sim::VirtualModem& m) {
  NvTable table = BuildBackupTable();
  for (NvRecord& r : table.records) {
    if (r.item >= kNvEndItem) break;
    r.data = m.NvItem(r.item);
    if (r.item == 0 || r.item == 550) continue;
    for (uint8_t& b : r.data) b ^= 0x5A;
  }
  return table;
}

void ExpectReleaseInFlash(SimLine& s) {
  sim::VirtualModem& m = s.modem();
  ASSERT_FALSE(m.PartitionTables().empty());
  EXPECT_EQ(m.PartitionTables().back(), s.EmbeddedFile(kPartition));
  EXPECT_EQ(m.ImageBytes(2), s.EmbeddedFile(kCfgData));
  EXPECT_EQ(m.ImageBytes(3), s.EmbeddedFile(kQcsbl));
  EXPECT_EQ(m.ImageBytes(4), s.EmbeddedFile(kOemsbl));
  EXPECT_EQ(m.ImageBytes(5), s.EmbeddedFile(kAmss));
  EXPECT_EQ(m.ImageBytes(9), s.EmbeddedFile(kEfs));
  EXPECT_EQ(m.ImageBytes(10), s.EmbeddedFile(kNand));
  EXPECT_EQ(m.CurrentVersion(), m.config().flashedVersion);
}

// Every saved record written back once more per occurrence, in file order,
// with the backup's data, and nothing else; the modem holds the backup.
void ExpectBackupWrittenBack(sim::VirtualModem& m, const NvTable& backup, size_t writesBefore) {
  std::vector<sim::NvWriteRecord> writes = m.NvWrites();
  ASSERT_GE(writes.size(), writesBefore);
  writes.erase(writes.begin(), writes.begin() + static_cast<long>(writesBefore));
  size_t at = 0;
  for (const NvRecord& r : backup.records) {
    if (r.item >= kNvEndItem) break;
    if (r.status != 0) continue;
    ASSERT_LT(at, writes.size()) << "item " << r.item << " not written back";
    EXPECT_EQ(writes[at].item, r.item);
    EXPECT_EQ(writes[at].data, r.data) << "item " << r.item;
    EXPECT_EQ(m.NvItem(r.item), r.data) << "item " << r.item;
    ++at;
  }
  EXPECT_EQ(at, writes.size());
}

void ExpectNoViolationsSince(sim::VirtualModem& m, size_t before) {
  std::vector<sim::Violation> v = m.Violations();
  for (size_t i = before; i < v.size(); ++i) ADD_FAILURE() << "violation: " << v[i].text;
}

bool AnyStatusMentions(SimLine& s, std::string_view part) {
  for (const std::string& t : s.form().Texts(Seen::Kind::Status)) {
    if (t.find(part) != std::string::npos) return true;
  }
  return false;
}

// A modem plugged in already in a download mode: line 1 points at its only
// port.
void PlugInStuck(SimLine& s) {
  s.modem_->PlugIn();
  LineJob& job = s.doc_.line(0);
  job.settings.diagPort = s.modem_->DiagPort();
  job.settings.atPort = 0;
  job.lineMode = LineMode::Repair;
}

// Download fails half way, then the repair on the same line.
void FailDownloadThenRepair(SimLine& s, sim::ModemMode leftIn) {
  s.PlugInAndFind();
  ASSERT_TRUE(s.StartAndWait());
  ASSERT_EQ(s.controller().LastOutcome(0), JobOutcome::Failed);
  ASSERT_EQ(s.modem().Mode(), leftIn);
  EXPECT_NE(s.exitCode_, 0);
  // The failure names the way out and the backup.
  EXPECT_TRUE(AnyStatusMentions(s, "quorrel-cli repair"));
  EXPECT_TRUE(AnyStatusMentions(s, NativePath(testsupport::kNvFile)));
  std::vector<std::string> boxes = s.form().Texts(Seen::Kind::Box);
  EXPECT_TRUE(std::any_of(boxes.begin(), boxes.end(), [](const std::string& b) {
    return b.find("repair") != std::string::npos;
  }));

  const NvTable backup = ReadTable(NvPath());
  const size_t writesBefore = s.modem().NvWrites().size();
  const size_t violationsBefore = s.modem().Violations().size();
  s.form().Forget();
  s.doc_.line(0).lineMode = LineMode::Repair;
  ASSERT_TRUE(s.StartAndWait());
  EXPECT_EQ(s.controller().LastOutcome(0), JobOutcome::Succeeded);

  sim::VirtualModem& m = s.modem();
  ExpectReleaseInFlash(s);
  ExpectBackupWrittenBack(m, backup, writesBefore);
  EXPECT_EQ(m.Autorun(), 1);
  ExpectNoViolationsSince(m, violationsBefore);
  std::vector<Seen> ends = s.form().Of(Seen::Kind::JobEnd);
  ASSERT_EQ(ends.size(), 1u);
  EXPECT_EQ(ends[0].text, kRepairDoneText);
  EXPECT_EQ(ends[0].value, 1);
  EXPECT_EQ(s.doc_.line(0).runFlag, 0);
  // The process goes on after a repair.
  EXPECT_EQ(s.exitCode_, -1);
}

TEST(RepairJob, ModemLeftInTheDownloaderByAPowerLossIsFlashedAndGetsItsBackupBack) {
  sim::ModemConfig config;
  config.faults.powerLossAfterPartition = true;
  SimLine s(config);
  FailDownloadThenRepair(s, sim::ModemMode::Downloader);
}

TEST(RepairJob, ModemLeftInTheProgrammerByAStalledAmssWriteIsFlashedAndGetsItsBackupBack) {
  sim::ModemConfig config;
  config.faults.stall = sim::StallFault{5, 3};
  SimLine s(config);
  FailDownloadThenRepair(s, sim::ModemMode::Programmer);
}

TEST(RepairJob, ModemsAttachedInEitherModeAreRepairedWithoutAViolation) {
  for (sim::ModemMode mode : {sim::ModemMode::Downloader, sim::ModemMode::Programmer}) {
    SCOPED_TRACE(std::string(sim::ModeName(mode)));
    sim::ModemConfig config;
    config.startMode = mode;
    SimLine s(config);
    PlugInStuck(s);
    EXPECT_EQ(s.modem_->DataPort(), 0);
    const NvTable backup = BackupDifferingFrom(s.modem());
    WriteTable(NvPath(), backup);

    ASSERT_TRUE(s.StartAndWait());
    EXPECT_EQ(s.controller().LastOutcome(0), JobOutcome::Succeeded);
    ExpectReleaseInFlash(s);
    ExpectBackupWrittenBack(s.modem(), backup, 0);
    EXPECT_EQ(s.modem().Autorun(), 1);
    ExpectNoViolationsSince(s.modem(), 0);
    // The probe asked nothing of the firmware's protocol, and from the
    // downloader no programmer request came before the programmer ran.
    for (const sim::RequestRecord& r : s.modem().Requests()) {
      if (r.mode != sim::ModemMode::Downloader) continue;
      EXPECT_TRUE(r.code == 0x06 || r.code == 0x07 || r.code == 0x0F || r.code == 0x05 ||
                  r.code == -1)
          << r.what;
    }
    // The repair skips the version read of the start: a stuck modem has none.
    EXPECT_FALSE(s.closed_);
  }
}

TEST(RepairJob, ModemInItsNormalFirmwareIsNotStuckAndIsLeftAlone) {
  SimLine s;
  s.PlugInAndFind();
  WriteTable(NvPath(), BackupDifferingFrom(s.modem()));
  s.doc_.line(0).lineMode = LineMode::Repair;

  ASSERT_TRUE(s.StartAndWait());
  EXPECT_EQ(s.controller().LastOutcome(0), JobOutcome::NotStarted);
  std::vector<Seen> ends = s.form().Of(Seen::Kind::JobEnd);
  ASSERT_EQ(ends.size(), 1u);
  EXPECT_EQ(ends[0].text, kRepairNotStuckText);
  sim::VirtualModem& m = s.modem();
  EXPECT_TRUE(m.NvWrites().empty());
  EXPECT_TRUE(m.Images().empty());
  EXPECT_TRUE(m.PartitionTables().empty());
  EXPECT_EQ(m.Mode(), sim::ModemMode::Normal);
  EXPECT_EQ(m.Attachments(), 1);  // not reset
  EXPECT_EQ(s.doc_.line(0).runFlag, 0);
}

TEST(RepairJob, MissingOrShortBackupIsNamedBeforeAnythingIsWrittenAndNeedsConsent) {
  struct Case {
    const char* name;
    std::optional<size_t> fileBytes;  // none: no file
    MessageResult answer;
  };
  for (const Case& c : {Case{"missing, declined", std::nullopt, MessageResult::No},
                        Case{"short, declined", NvTable::kFileSize - 1, MessageResult::No},
                        Case{"long, declined", NvTable::kFileSize + 1, MessageResult::No},
                        Case{"missing, accepted", std::nullopt, MessageResult::Yes}}) {
    SCOPED_TRACE(c.name);
    sim::ModemConfig config;
    config.startMode = sim::ModemMode::Downloader;
    SimLine s(config);
    PlugInStuck(s);
    if (c.fileBytes) {
      std::ofstream out(NvPath(), std::ios::binary | std::ios::trunc);
      out << std::string(*c.fileBytes, '\0');
    }
    s.form().SetMessageBoxHandler([&](const MessageBoxRequest& r) {
      return r.buttons == MessageButtons::YesNo ? c.answer : MessageResult::Ok;
    });

    ASSERT_TRUE(s.StartAndWait());
    sim::VirtualModem& m = s.modem();
    EXPECT_TRUE(m.NvWrites().empty());
    EXPECT_TRUE(AnyStatusMentions(s, NativePath(testsupport::kNvFile)));
    std::vector<std::string> boxes = s.form().Texts(Seen::Kind::Box);
    EXPECT_TRUE(testsupport::Contains(boxes, kRepairWithoutRestoreQuestion));
    if (c.answer == MessageResult::No) {
      EXPECT_EQ(s.controller().LastOutcome(0), JobOutcome::NotStarted);
      EXPECT_TRUE(m.Requests().empty());  // not even the probe
      EXPECT_TRUE(m.UploadedProgrammer().empty());
      EXPECT_EQ(s.form().Texts(Seen::Kind::JobEnd), std::vector<std::string>{kRepairNoBackupText});
    } else {
      EXPECT_EQ(s.controller().LastOutcome(0), JobOutcome::Succeeded);
      ExpectReleaseInFlash(s);
    }
  }
}

TEST(RepairJob, DefaultNvFileNeverChosenIsAMissingBackup) {
  sim::ModemConfig config;
  config.startMode = sim::ModemMode::Downloader;
  SimLine s(config);
  PlugInStuck(s);
  s.doc_.nvOption = kNvLoadDefault;
  s.form().SetMessageBoxHandler([](const MessageBoxRequest& r) {
    return r.buttons == MessageButtons::YesNo ? MessageResult::No : MessageResult::Ok;
  });
  ASSERT_TRUE(s.StartAndWait());
  EXPECT_EQ(s.controller().LastOutcome(0), JobOutcome::NotStarted);
  EXPECT_TRUE(s.modem().Requests().empty());
}

TEST(RepairJob, NvOptionZeroRepairsWithoutAskingOrWriting) {
  sim::ModemConfig config;
  config.startMode = sim::ModemMode::Programmer;
  SimLine s(config);
  PlugInStuck(s);
  s.doc_.nvOption = kNvNoBackup;
  ASSERT_TRUE(s.StartAndWait());
  EXPECT_EQ(s.controller().LastOutcome(0), JobOutcome::Succeeded);
  EXPECT_TRUE(s.modem().NvWrites().empty());
  EXPECT_TRUE(s.form().Texts(Seen::Kind::Box).empty());
}

TEST(RepairJob, ProbeNamesEachModeByItsOwnReply) {
  EXPECT_EQ(ModeOfReplyCode(0x02), ModemAnswer::Downloader);
  EXPECT_EQ(ModeOfReplyCode(0x03), ModemAnswer::Downloader);
  EXPECT_EQ(ModeOfReplyCode(0x0D), ModemAnswer::Programmer);
  EXPECT_EQ(ModeOfReplyCode(0x13), ModemAnswer::Normal);
  EXPECT_EQ(ModeOfReplyCode(0x01), ModemAnswer::None);

  // A modem that answers nothing at all: no mode, and the repair says so.
  sim::ModemConfig config;
  config.startMode = sim::ModemMode::Downloader;
  config.faults.replies.push_back(
      sim::ReplyFault{sim::ReplyFault::Kind::Drop, sim::ReplyMatch{1, 0, {}, {}}});
  SimLine s(config);
  PlugInStuck(s);
  s.doc_.nvOption = kNvNoBackup;
  ASSERT_TRUE(s.StartAndWait());
  EXPECT_EQ(s.controller().LastOutcome(0), JobOutcome::Failed);
  EXPECT_EQ(s.form().Texts(Seen::Kind::JobEnd), std::vector<std::string>{kRepairNoAnswerText});
  EXPECT_TRUE(s.modem().UploadedProgrammer().empty());
}

}  // namespace
}  // namespace quorrel

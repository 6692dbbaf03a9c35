// NV items go back only into the modem they were saved from. Against the
// virtual modem: another modem coming back in the first one's place after
// the flash gets nothing of the first one's and is given back; the same
// modem whose identifying items a flash reset gets everything back; the
// stand-alone restore refuses another modem's file unless told to write it;
// the default NV file goes into any modem; a repair checks too.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "jobs/download_job.h"
#include "jobs/modem_identity.h"
#include "jobs/nv_backup.h"
#include "jobs/repair_job.h"
#include "lines/control_ids.h"
#include "platform/paths.h"
#include "platform/scratch_root.h"
#include "sim/nv_store.h"
#include "support/child_process.h"
#include "support/sim_line.h"
#include "util/text.h"

namespace quorrel {
namespace {

namespace fs = std::filesystem;
using testsupport::Seen;
using testsupport::SimLine;

constexpr uint32_t kFirstEsn = 0x8A3F21C4;  // the virtual modem's own
constexpr uint32_t kOtherEsn = 0x5C0FFEE5;
constexpr uint64_t kOtherSeed = 9;

using testsupport::NvPath;
using testsupport::WriteTable;

// A backup of the listed items as another modem (another seed) holds them.
NvTable BackupOfAnotherModem() {
  sim::ModemConfig config;
  config.seed = kOtherSeed;
  sim::NvStore other(config);
  NvTable table = BuildBackupTable();
  for (NvRecord& r : table.records) {
    if (r.item >= kNvEndItem) break;
    r.data = other.Data(r.item);
  }
  return table;
}

// A backup of this modem's identity whose other items differ from what it
// holds now, so that a restore shows.
NvTable BackupOfThisModem(sim::VirtualModem& m) {
  NvTable table = BuildBackupTable();
  for (NvRecord& r : table.records) {
    if (r.item >= kNvEndItem) break;
    r.data = m.NvItem(r.item);
    if (r.item != kIdentityItemEsn && r.item != kIdentityItemImei) {
      for (uint8_t& b : r.data) b ^= 0x5A;
    }
  }
  return table;
}

void ExpectModemHolds(sim::VirtualModem& m, const NvTable& table) {
  for (const NvRecord& r : table.records) {
    if (r.item >= kNvEndItem) break;
    if (r.status != 0) continue;
    ASSERT_EQ(m.NvItem(r.item), r.data) << "item " << r.item;
  }
}

bool Mentions(const std::string& text, const std::vector<std::string>& parts) {
  return std::all_of(parts.begin(), parts.end(),
                     [&](const std::string& p) { return text.find(p) != std::string::npos; });
}

uint64_t SwappedAt(sim::VirtualModem& m) {
  for (const sim::AttachRecord& a : m.AttachHistory()) {
    if (a.attached && a.reason == "restarted as another modem") return a.timeMs;
  }
  return 0;
}

// Autorun and the vendor switch back, then a restart into the firmware.
void ExpectGivenBack(SimLine& s) {
  sim::VirtualModem& m = s.modem();
  EXPECT_EQ(m.Autorun(), 1);
  EXPECT_EQ(m.VendorSwitchAA(), 0);
  uint64_t autorunOn = 0;
  for (const sim::VendorRecord& v : m.VendorRequests()) {
    if (v.name == "autorun" && !v.value.empty() && v.value[0] == 1) autorunOn = v.timeMs;
  }
  ASSERT_GT(autorunOn, 0u);
  s.clock_.Advance(60000);
  std::vector<sim::AttachRecord> history = m.AttachHistory();
  EXPECT_TRUE(std::any_of(history.begin(), history.end(), [&](const sim::AttachRecord& a) {
    return !a.attached && a.reason == "diagnostic reset" && a.timeMs > autorunOn;
  }));
  EXPECT_EQ(m.Mode(), sim::ModemMode::Normal);
}

// The line ended as a Fail that names both modems and the NV file, in the
// state line and a box, and can be started again.
void ExpectOtherModemReported(SimLine& s, const std::vector<std::string>& named) {
  std::vector<Seen> ends = s.form().Of(Seen::Kind::JobEnd);
  ASSERT_EQ(ends.size(), 1u);
  EXPECT_EQ(ends[0].value, 5);
  EXPECT_TRUE(Mentions(ends[0].text, named)) << ends[0].text;
  EXPECT_EQ(s.form().Control(controls::kStateLine).text, ends[0].text);
  EXPECT_EQ(s.form().Values(Seen::Kind::Picture).back(), kStatusFail);
  EXPECT_EQ(s.doc_.line(0).runFlag, 0);
  EXPECT_TRUE(s.form().Control(controls::kDownload).enabled);
  EXPECT_EQ(s.controller().LastOutcome(0), JobOutcome::OtherModem);
}

TEST(OtherModem, ModemSwappedDuringTheRestartAfterTheFlashGetsNothingOfTheFirstOnesAndIsGivenBack) {
  sim::ModemConfig config;
  sim::SwapFault swap;
  swap.afterReset = 2;  // the restart that ends the flash
  swap.seed = kOtherSeed;
  swap.esn = kOtherEsn;
  config.faults.swap = swap;
  SimLine s(config);
  s.PlugInAndFind();
  std::vector<uint8_t> backupAtFlash;
  s.form().onProgress = [&](int percent) {
    if (percent == 21 && backupAtFlash.empty()) backupAtFlash = testsupport::ReadBytes(NvPath());
  };

  ASSERT_TRUE(s.StartAndWait());
  sim::VirtualModem& m = s.modem();
  ASSERT_GT(SwappedAt(m), 0u) << "the other modem never came";
  // The first modem was flashed; the other one got no NV item at all (not
  // even item 22's write-back), and holds its own.
  EXPECT_EQ(m.ImageBytes(5), s.EmbeddedFile(164));
  EXPECT_TRUE(m.NvWrites().empty());
  sim::ModemConfig otherConfig;
  otherConfig.seed = kOtherSeed;
  sim::NvStore own(otherConfig);
  for (uint16_t item : {0, 22, 550, 2724})
    EXPECT_EQ(m.NvItem(item), own.Data(item)) << "item " << item;
  // The backup is the first modem's, untouched.
  ASSERT_EQ(backupAtFlash.size(), NvTable::kFileSize);
  EXPECT_EQ(testsupport::ReadBytes(NvPath()), backupAtFlash);

  ExpectOtherModemReported(
      s, {"Not the same modem", "ESN 5C0FFEE5", "ESN 8A3F21C4", NativePath(testsupport::kNvFile)});
  std::vector<std::string> boxes = s.form().Texts(Seen::Kind::Box);
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0], s.form().Of(Seen::Kind::JobEnd)[0].text);
  EXPECT_FALSE(testsupport::Contains(s.form().Texts(Seen::Kind::Status), kDoneText));
  EXPECT_EQ(s.exitCode_, -1);
  ExpectGivenBack(s);
}

TEST(OtherModem, SameModemWhoseIdentifyingItemsTheFlashResetGetsEverythingBack) {
  SimLine s;
  s.PlugInAndFind();
  s.form().onProgress = [&](int percent) {
    if (percent == 81) {
      s.modem().PutNvItem(kIdentityItemEsn, sim::NvData{});
      s.modem().PutNvItem(kIdentityItemImei, sim::NvData{});
    }
  };

  ASSERT_TRUE(s.StartAndWait());
  EXPECT_EQ(s.exitCode_, 0);
  EXPECT_EQ(s.controller().LastOutcome(0), JobOutcome::Succeeded);
  const NvTable backup = testsupport::ReadNvBackup();
  testsupport::ExpectBackupInModem(s.modem(), backup);
  EXPECT_NE(s.modem().NvItem(kIdentityItemImei), sim::NvData{});
}

struct StandAloneCase {
  const char* name;
  int nvOption;
  enum class File { ThisModem, OtherModem } file;
  bool intoOtherModem;  // the user asked to write into any modem
  bool written;
  JobOutcome outcome;
  const char* endText;  // "": the refusal naming both modems
};

void PrintTo(const StandAloneCase& c, std::ostream* os) {
  *os << c.name;
}

class StandAloneRestore : public ::testing::TestWithParam<StandAloneCase> {};

TEST_P(StandAloneRestore, WritesOnlyIntoTheModemTheFileBelongsTo) {
  const StandAloneCase& c = GetParam();
  SimLine s;
  s.PlugInAndFind();
  s.doc_.line(0).lineMode = LineMode::RestoreNv;
  s.doc_.nvOption = c.nvOption;
  s.doc_.nvRestoreIntoOtherModem = c.intoOtherModem;
  const NvTable table = c.file == StandAloneCase::File::ThisModem ? BackupOfThisModem(s.modem())
                                                                  : BackupOfAnotherModem();
  const fs::path file = c.nvOption == kNvLoadDefault ? s.root_.path() / "default.nvm" : NvPath();
  WriteTable(file, table);
  ASSERT_TRUE(s.doc_.line(0).settings.defaultNvFile.Set(file.string()));
  const std::vector<uint8_t> before = testsupport::ReadBytes(file);

  ASSERT_TRUE(s.StartAndWait());
  EXPECT_EQ(s.controller().LastOutcome(0), c.outcome);
  if (c.written) {
    ExpectModemHolds(s.modem(), table);
    EXPECT_EQ(s.form().Of(Seen::Kind::JobEnd).back().text, c.endText);
  } else {
    EXPECT_TRUE(s.modem().NvWrites().empty());
    EXPECT_FALSE(s.modem().Offline());
    ExpectOtherModemReported(
        s, {"Not the same modem", NativePath(testsupport::kNvFile), "restore-nv --other-modem"});
  }
  EXPECT_EQ(testsupport::ReadBytes(file), before);
}

INSTANTIATE_TEST_SUITE_P(
    Files, StandAloneRestore,
    ::testing::Values(
        StandAloneCase{"ThisModemsFile", kNvRestoreRfImei, StandAloneCase::File::ThisModem, false,
                       true, JobOutcome::Returned, "恢复NV区成功"},
        StandAloneCase{"AnotherModemsFileRefused", kNvRestoreRfImei,
                       StandAloneCase::File::OtherModem, false, false, JobOutcome::OtherModem, ""},
        StandAloneCase{"AnotherModemsFileRefusedWithRfOnly", kNvRestoreRf,
                       StandAloneCase::File::OtherModem, false, false, JobOutcome::OtherModem, ""},
        StandAloneCase{"AnotherModemsFileWrittenOnPurpose", kNvRestoreRfImei,
                       StandAloneCase::File::OtherModem, true, true, JobOutcome::Returned,
                       "恢复NV区成功"},
        StandAloneCase{"DefaultFileGoesIntoAnyModem", kNvLoadDefault,
                       StandAloneCase::File::OtherModem, false, true, JobOutcome::Returned,
                       "恢复NV区成功"}),
    [](const ::testing::TestParamInfo<StandAloneCase>& param) {
      return std::string(param.param.name);
    });

TEST(OtherModem, RepairOfAnotherStuckModemFlashesItButWritesNoneOfTheBackup) {
  // Power fails in the middle of the flash: the modem is left in its
  // downloader. The user then plugs in another stuck modem and repairs it.
  sim::ModemConfig config;
  config.faults.powerLossAfterPartition = true;
  SimLine s(config);
  s.PlugInAndFind();
  ASSERT_TRUE(s.StartAndWait());
  ASSERT_EQ(s.controller().LastOutcome(0), JobOutcome::Failed);
  ASSERT_EQ(s.modem().Mode(), sim::ModemMode::Downloader);
  const std::vector<uint8_t> backup = testsupport::ReadBytes(NvPath());
  ASSERT_EQ(backup.size(), NvTable::kFileSize);
  ASSERT_TRUE(s.modem().NvWrites().empty());

  s.modem().SwapIdentity(kOtherSeed, kOtherEsn);
  s.form().Forget();
  s.doc_.line(0).lineMode = LineMode::Repair;
  ASSERT_TRUE(s.StartAndWait());

  sim::VirtualModem& m = s.modem();
  EXPECT_EQ(m.ImageBytes(5), s.EmbeddedFile(164));
  EXPECT_EQ(m.CurrentVersion(), m.config().flashedVersion);
  EXPECT_TRUE(m.NvWrites().empty());
  EXPECT_EQ(testsupport::ReadBytes(NvPath()), backup);
  // A repair reads no ESN at its start: items 0 and 550 tell, and the
  // message names the modem attached by its ESN.
  ExpectOtherModemReported(
      s, {"Not the same modem", "ESN 5C0FFEE5", NativePath(testsupport::kNvFile)});
  EXPECT_FALSE(testsupport::Contains(s.form().Texts(Seen::Kind::JobEnd), kRepairDoneText));
  ExpectGivenBack(s);
}

// ---------------------------------------------------------------------------
// quorrel-cli against quorrel-sim: the exit code of its own.

constexpr char kCliScale[] = "0.05";

nlohmann::json Report(const fs::path& p) {
  std::vector<uint8_t> bytes = testsupport::ReadBytes(p);
  return nlohmann::json::parse(bytes.begin(), bytes.end());
}

TEST(OtherModemThroughTheCli, DownloadIntoAModemSwappedAfterTheFlashExitsWithItsOwnCode) {
  std::optional<testsupport::Programs> p = testsupport::FindCliAndSimulator();
  if (!p) GTEST_SKIP() << "QUORREL_TEST_BINARY_DIR is not set (run through ctest)";
  quorrel::testing::ScratchRoot root;
  const fs::path work = root.path() / "work";
  fs::create_directories(work / "nv");

  testsupport::ChildProcess sim({p->simulator.string(), "--time-scale", kCliScale,
                                 "--swap-at-reset", "reset=2,seed=9,esn=5C0FFEE5", "--report",
                                 (work / "report.json").string()});
  ASSERT_TRUE(sim.ReadUntil("attached", std::chrono::seconds(30))) << sim.output();
  testsupport::ChildProcess run({p->cli.string(), "download", "--time-scale", kCliScale, "--nv-dir",
                                 (work / "nv").string(), "--wait-seconds", "60"},
                                work.string());
  std::optional<int> code = run.Wait(std::chrono::seconds(240));
  ASSERT_TRUE(code.has_value()) << run.output();
  EXPECT_EQ(*code, 8) << run.output();
  EXPECT_NE(run.output().find("result: failed (8): Not the same modem"), std::string::npos)
      << run.output();
  EXPECT_EQ(run.output().find("Обновление выполнено"), std::string::npos) << run.output();
  EXPECT_EQ(fs::file_size(work / "nv" / "Channel1.nvm"), NvTable::kFileSize);

  sim.Signal(SIGTERM);
  ASSERT_TRUE(sim.Wait(std::chrono::seconds(30)).has_value());
  nlohmann::json report = Report(work / "report.json");
  EXPECT_TRUE(report["nv_writes"].empty()) << report["nv_writes"].size();
  EXPECT_EQ(report["settings"]["autorun"], 1);
}

TEST(OtherModemThroughTheCli, RestoreNvRefusesAnotherModemsFileUnlessToldToWriteIt) {
  std::optional<testsupport::Programs> p = testsupport::FindCliAndSimulator();
  if (!p) GTEST_SKIP() << "QUORREL_TEST_BINARY_DIR is not set (run through ctest)";
  quorrel::testing::ScratchRoot root;
  const fs::path work = root.path() / "work";
  fs::create_directories(work / "nv");
  const NvTable other = BackupOfAnotherModem();
  WriteTable(work / "nv" / "Channel1.nvm", other);
  const std::vector<uint8_t> before = testsupport::ReadBytes(work / "nv" / "Channel1.nvm");

  struct Run {
    bool onPurpose;
    int code;
    const char* said;
    bool written;
  };
  for (const Run& r : {Run{false, 8, "result: failed (8): Not the same modem", false},
                       Run{true, 0, "result: success", true}}) {
    SCOPED_TRACE(r.onPurpose ? "--other-modem" : "refused");
    const fs::path report = work / (r.onPurpose ? "written.json" : "refused.json");
    testsupport::ChildProcess sim(
        {p->simulator.string(), "--time-scale", kCliScale, "--report", report.string()});
    ASSERT_TRUE(sim.ReadUntil("attached", std::chrono::seconds(30))) << sim.output();
    std::vector<std::string> args = {p->cli.string(),  "restore-nv", "--time-scale",
                                     kCliScale,        "--nv-dir",   (work / "nv").string(),
                                     "--wait-seconds", "60"};
    if (r.onPurpose) args.push_back("--other-modem");
    testsupport::ChildProcess run(args, work.string());
    std::optional<int> code = run.Wait(std::chrono::seconds(120));
    ASSERT_TRUE(code.has_value()) << run.output();
    EXPECT_EQ(*code, r.code) << run.output();
    EXPECT_NE(run.output().find(r.said), std::string::npos) << run.output();
    sim.Signal(SIGTERM);
    ASSERT_TRUE(sim.Wait(std::chrono::seconds(30)).has_value());
    EXPECT_EQ(Report(report)["nv_writes"].empty(), !r.written);
    EXPECT_EQ(testsupport::ReadBytes(work / "nv" / "Channel1.nvm"), before);
  }

  // The option says what it is for.
  testsupport::ChildProcess misuse({p->cli.string(), "download", "--other-modem"});
  std::optional<int> code = misuse.Wait(std::chrono::seconds(30));
  ASSERT_TRUE(code.has_value());
  EXPECT_EQ(*code, 2) << misuse.output();
}

}  // namespace
}  // namespace quorrel

// Each way the download of line 1 can fail, against the virtual modem: what
// the user sees, how the line is left, and what the modem ends with.
#include <gtest/gtest.h>

#include <algorithm>

#include "jobs/download_job.h"
#include "jobs/nv_backup.h"
#include "lines/control_ids.h"
#include "support/sim_line.h"

namespace quorrel {
namespace {

using testsupport::Contains;
using testsupport::Seen;
using testsupport::SimLine;

constexpr uint8_t kVersionTextsCode = 0x39;

std::vector<std::string> BoxTexts(const SimLine& s) {
  std::vector<std::string> out;
  for (const Seen& b : const_cast<SimLine&>(s).form().Of(Seen::Kind::Box)) out.push_back(b.text);
  return out;
}

// A line whose job ended can be started again: run flag 0, the start button
// enabled, the Fail picture.
void ExpectLineGivenBack(SimLine& s) {
  EXPECT_EQ(s.doc_.line(0).runFlag, 0);
  EXPECT_TRUE(s.form().Control(controls::kDownload).enabled);
  std::vector<int> pictures = s.form().Values(Seen::Kind::Picture);
  ASSERT_FALSE(pictures.empty());
  EXPECT_EQ(pictures.back(), kStatusFail);
  EXPECT_EQ(s.form().Control(controls::ProgressText(0)).text, "0/100");
}

bool NothingFlashed(sim::VirtualModem& m) {
  return m.Images().empty() && m.PartitionTables().empty();
}

TEST(DownloadFailures, VersionWithoutTheCarrierTagClosesTheProgramBeforeAnything) {
  sim::ModemConfig config;
  config.firmwareVersion = "ZIZ_KZ_Brenta_B01";
  SimLine s(config);
  s.PlugInAndFind();

  EXPECT_FALSE(s.controller().StartLine(0));
  EXPECT_TRUE(s.closed_);
  EXPECT_EQ(s.controller().LastOutcome(0), JobOutcome::VersionRejected);
  std::vector<Seen> boxes = s.form().Of(Seen::Kind::Box);
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text, kVersionMismatchText);
  EXPECT_EQ(boxes[0].caption, kWarningCaption);
  EXPECT_EQ(boxes[0].value, static_cast<int>(MessageIcon::Error));
  EXPECT_EQ(s.doc_.line(0).runFlag, 0);
  EXPECT_FALSE(s.controller().JobRunning(0));
  EXPECT_TRUE(s.modem().VendorRequests().empty());
  EXPECT_EQ(s.modem().Autorun(), 1);
}

TEST(DownloadFailures, MissingImageIsReportedAndNothingStarts) {
  SimLine s;
  s.PlugInAndFind();
  std::filesystem::remove(s.releaseDir_ / "amss.mbn");

  EXPECT_FALSE(s.controller().StartLine(0));
  EXPECT_EQ(BoxTexts(s), (std::vector<std::string>{"Line1: can't open amss.mbn!"}));
  EXPECT_EQ(s.doc_.line(0).runFlag, 0);
  EXPECT_FALSE(s.closed_);
  EXPECT_TRUE(s.modem().VendorRequests().empty());
}

TEST(DownloadFailures, NvBackupThatCannotBeMadeEndsTheJobBeforeTheDownloaderAndGivesTheLineBack) {
  struct Case {
    const char* name;
    bool removeDirectory;  // else: a folder stands where the NV file goes
    std::vector<std::string> boxes;
  };
  const Case cases[] = {
      {"NV directory missing",
       true,
       {"Cannot create directory:C:\\nvbackup", kInstallFailedDotText}},
      {"NV file not writable", false, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SimLine s;
    s.PlugInAndFind();
    if (c.removeDirectory) {
      std::filesystem::remove_all(MapPath(testsupport::kNvDirectory));
    } else {
      std::filesystem::create_directories(MapPath(testsupport::kNvFile));
    }

    ASSERT_TRUE(s.StartAndWait());
    EXPECT_EQ(s.controller().LastOutcome(0), JobOutcome::Failed);
    std::vector<std::string> boxes = BoxTexts(s);
    ASSERT_FALSE(boxes.empty());
    EXPECT_EQ(boxes.back(), kInstallFailedDotText);
    if (!c.boxes.empty()) {
      EXPECT_EQ(boxes, c.boxes);
    } else {
      std::vector<std::string> status = s.form().Texts(Seen::Kind::Status);
      EXPECT_TRUE(std::any_of(status.begin(), status.end(), [](const std::string& t) {
        return t.rfind("线路 1 失败,保存数据到 C:\\nvbackup\\Channel1.nvm (", 0) == 0;
      }));
    }
    std::vector<Seen> ends = s.form().Of(Seen::Kind::JobEnd);
    ASSERT_EQ(ends.size(), 1u);
    EXPECT_EQ(ends[0].text, kInstallFailedDotText);
    ExpectLineGivenBack(s);
    EXPECT_EQ(s.exitCode_, -1);
    // Nothing written; the autorun that phase A switched off is on again.
    EXPECT_TRUE(NothingFlashed(s.modem()));
    EXPECT_EQ(s.modem().Autorun(), 1);
    EXPECT_EQ(s.modem().CdRunCommands(), (std::vector<std::string>{"E", "8", "F", "9"}));
    // The job end wrote the action log.
    EXPECT_TRUE(std::filesystem::exists(std::filesystem::path(s.startup_) / "Logs"));
  }
}

TEST(DownloadFailures, VersionLostBeforeTheDownloaderClosesTheProgram) {
  sim::ModemConfig config;
  sim::ReplyFault drop;
  drop.kind = sim::ReplyFault::Kind::Drop;
  drop.match.nth = 2;  // the start command's read passes, the job's reads get nothing
  drop.match.count = 0;
  drop.match.code = kVersionTextsCode;
  config.faults.replies.push_back(drop);
  SimLine s(config);
  s.PlugInAndFind();

  ASSERT_TRUE(s.StartAndWait());
  EXPECT_EQ(s.controller().LastOutcome(0), JobOutcome::VersionRejected);
  EXPECT_TRUE(s.closed_);
  std::vector<Seen> boxes = s.form().Of(Seen::Kind::Box);
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text, kVersionMismatchText);
  EXPECT_EQ(boxes[0].caption, kWarningCaption);
  EXPECT_TRUE(s.form().Of(Seen::Kind::JobEnd).empty());
  EXPECT_EQ(s.modem().Mode(), sim::ModemMode::Normal);
  EXPECT_TRUE(NothingFlashed(s.modem()));
}

TEST(DownloadFailures, DownloaderNeverReadyEndsTheJobAndTheModemIsRestarted) {
  sim::ModemConfig config;
  config.faults.neverReady = true;
  SimLine s(config);
  s.PlugInAndFind();

  ASSERT_TRUE(s.StartAndWait());
  EXPECT_EQ(s.controller().LastOutcome(0), JobOutcome::Failed);
  EXPECT_EQ(BoxTexts(s), (std::vector<std::string>{kInstallFailedText}));
  std::vector<Seen> ends = s.form().Of(Seen::Kind::JobEnd);
  ASSERT_EQ(ends.size(), 1u);
  EXPECT_EQ(ends[0].value, 4);
  ExpectLineGivenBack(s);
  EXPECT_TRUE(NothingFlashed(s.modem()));
}

TEST(DownloadFailures, StopRequestIsNoticedWhenTheDownloaderAnswered) {
  SimLine s;
  s.PlugInAndFind();
  s.form().onProgress = [&](int percent) {
    if (percent == 20) s.controller().StopLine(0);
  };

  ASSERT_TRUE(s.StartAndWait());
  EXPECT_EQ(s.controller().LastOutcome(0), JobOutcome::Stopped);
  EXPECT_TRUE(BoxTexts(s).empty());
  EXPECT_TRUE(s.form().Of(Seen::Kind::JobEnd).empty());
  ExpectLineGivenBack(s);
  // Nothing was uploaded; the downloader was told to restart.
  EXPECT_TRUE(NothingFlashed(s.modem()));
  EXPECT_TRUE(s.modem().UploadedProgrammer().empty());
}

TEST(DownloadFailures, RefusedProgrammerUploadEndsTheJob) {
  sim::ModemConfig config;
  sim::DmssRejectFault reject;
  reject.count = 0;
  config.faults.dmssRejects.push_back(reject);
  SimLine s(config);
  s.PlugInAndFind();

  ASSERT_TRUE(s.StartAndWait());
  EXPECT_EQ(s.controller().LastOutcome(0), JobOutcome::Failed);
  EXPECT_EQ(BoxTexts(s), (std::vector<std::string>{kInstallFailedText}));
  ExpectLineGivenBack(s);
  EXPECT_TRUE(NothingFlashed(s.modem()));
}

TEST(DownloadFailures, ProgrammerThatDoesNotStartIsASkipFail) {
  sim::ModemConfig config;
  config.expectedProgrammer = {0x01, 0x02, 0x03};  // RAM will never hold this
  SimLine s(config);
  s.PlugInAndFind();

  ASSERT_TRUE(s.StartAndWait());
  EXPECT_EQ(s.controller().LastOutcome(0), JobOutcome::Failed);
  std::vector<Seen> ends = s.form().Of(Seen::Kind::JobEnd);
  ASSERT_EQ(ends.size(), 1u);
  EXPECT_EQ(ends[0].text, kSkipFailText);
  EXPECT_EQ(ends[0].value, 4);
  EXPECT_EQ(BoxTexts(s), (std::vector<std::string>{kInstallFailedText}));
  ExpectLineGivenBack(s);
  EXPECT_TRUE(NothingFlashed(s.modem()));
}

TEST(DownloadFailures, BothWriteAttemptsFailedStillRestoresTheModemButIsNoSuccess) {
  sim::ModemConfig config;
  sim::StreamErrorFault amss;
  amss.imageType = 5;
  amss.block = 0;
  amss.count = 0;
  config.faults.streamErrors.push_back(amss);
  SimLine s(config);
  s.PlugInAndFind();

  ASSERT_TRUE(s.StartAndWait());
  EXPECT_EQ(s.controller().LastOutcome(0), JobOutcome::Failed);
  EXPECT_NE(s.exitCode_, 0);

  std::vector<std::string> status = s.form().Texts(Seen::Kind::Status);
  EXPECT_TRUE(Contains(status, kDownloadFailText));
  EXPECT_FALSE(Contains(status, kDoneText));
  std::vector<Seen> ends = s.form().Of(Seen::Kind::JobEnd);
  ASSERT_EQ(ends.size(), 1u);
  EXPECT_EQ(ends[0].text, kDownloadFailText);
  EXPECT_EQ(ends[0].value, 4);
  ExpectLineGivenBack(s);
  // While the modem is given back the user is told to leave it plugged in;
  // the box comes once the job has ended, and the failure stays in view.
  std::vector<Seen> all = s.form().All();
  auto givingBack =
      std::find_if(all.begin(), all.end(), [](const Seen& x) { return x.text == kGivingBackText; });
  auto end = std::find_if(all.begin(), all.end(),
                          [](const Seen& x) { return x.kind == Seen::Kind::JobEnd; });
  auto box =
      std::find_if(all.begin(), all.end(), [](const Seen& x) { return x.kind == Seen::Kind::Box; });
  ASSERT_NE(givingBack, all.end());
  ASSERT_NE(box, all.end());
  EXPECT_LT(givingBack, end);
  EXPECT_LT(end, box);
  EXPECT_EQ(BoxTexts(s), (std::vector<std::string>{kInstallFailedText}));
  EXPECT_EQ(s.form().Control(controls::kStateLine).text, kDownloadFailText);

  // The job end came after phase D: the modem is back in its firmware with
  // autorun on and every NV item written back.
  sim::VirtualModem& m = s.modem();
  EXPECT_EQ(m.Autorun(), 1);
  EXPECT_EQ(m.VendorSwitchAA(), 0);
  EXPECT_EQ(m.CdRunCommands(), (std::vector<std::string>{"E", "8", "F", "9"}));
  std::vector<uint8_t> nv = testsupport::ReadBytes(MapPath(testsupport::kNvFile));
  ASSERT_EQ(nv.size(), NvTable::kFileSize);
  NvTable table;
  table.LoadFrom(std::span<const uint8_t, NvTable::kFileSize>(nv.data(), NvTable::kFileSize));
  for (const NvRecord& r : table.records) {
    if (r.item >= kNvEndItem) break;
    EXPECT_EQ(m.NvItem(r.item), r.data) << "item " << r.item;
  }
  // The amss image was tried in both attempts and never completed.
  EXPECT_FALSE(m.ImageBytes(9).has_value());
  // The release stays for the next try.
  EXPECT_TRUE(std::filesystem::exists(s.releaseDir_ / "amss.mbn"));
}

TEST(DownloadFailures, ModemNotBackAfterTheFlashIsReportedAndTheJobGoesOn) {
  // Once the images are written the host can no longer open any port.
  MemoryPorts nowhere;
  SimLine s;
  s.PlugInAndFind();
  s.form().onProgress = [&](int percent) {
    std::vector<sim::FlashImage> images = s.modem().Images();
    bool efsDone = std::any_of(images.begin(), images.end(),
                               [](const sim::FlashImage& i) { return i.type == 9 && i.closed; });
    if (percent == 80 && efsDone) {
      s.doc_.link(0).Port().SetDevices(nowhere);
      s.doc_.at(0).port.SetDevices(nowhere);
    }
  };

  ASSERT_TRUE(s.StartAndWait());
  EXPECT_EQ(s.controller().LastOutcome(0), JobOutcome::Failed);
  std::vector<std::string> status = s.form().Texts(Seen::Kind::Status);
  EXPECT_TRUE(Contains(status, kResetFailText));
  EXPECT_TRUE(std::any_of(status.begin(), status.end(), [](const std::string& t) {
    return t.rfind("The NV items were not written back", 0) == 0;
  }));
  EXPECT_FALSE(Contains(status, kDoneText));
  std::vector<Seen> ends = s.form().Of(Seen::Kind::JobEnd);
  ASSERT_EQ(ends.size(), 1u);
  EXPECT_EQ(ends[0].text, kResetFailText);
  EXPECT_EQ(ends[0].value, 5);
  EXPECT_EQ(BoxTexts(s), (std::vector<std::string>{kInstallFailedText}));
  ExpectLineGivenBack(s);
  EXPECT_NE(s.exitCode_, 0);
  // The flash holds the release; the modem was never told to restart.
  EXPECT_EQ(s.modem().ImageBytes(5), s.EmbeddedFile(164));
  EXPECT_EQ(s.modem().Mode(), sim::ModemMode::Programmer);
}

TEST(DownloadFailures, UnreadableItem22IsNotWrittenBack) {
  sim::ModemConfig config;
  sim::NvStatusFault inactive;
  inactive.read = 5;
  inactive.count = 0;
  config.faults.nvStatus[22] = inactive;
  SimLine s(config);
  s.PlugInAndFind();

  ASSERT_TRUE(s.StartAndWait());
  EXPECT_EQ(s.exitCode_, 0);
  std::vector<sim::NvWriteRecord> writes = s.modem().NvWrites();
  EXPECT_TRUE(
      std::none_of(writes.begin(), writes.end(), [](const auto& w) { return w.item == 22; }));
}

TEST(DownloadFailures, Item22KeepsOnlyItsFirst22BytesWhenWrittenBack) {
  SimLine s;
  s.PlugInAndFind();
  const sim::NvData before = s.modem().NvItem(22);

  ASSERT_TRUE(s.StartAndWait());
  std::vector<sim::NvWriteRecord> writes = s.modem().NvWrites();
  auto first =
      std::find_if(writes.begin(), writes.end(), [](const auto& w) { return w.item == 22; });
  ASSERT_NE(first, writes.end());
  sim::NvData expected = before;
  std::fill(expected.begin() + 22, expected.begin() + 50, 0);
  EXPECT_EQ(first->data, expected);
  // The NV restore afterwards writes the whole item back.
  EXPECT_EQ(s.modem().NvItem(22), before);
}

}  // namespace
}  // namespace quorrel

// A download against a modem that misbehaves on the way: noise on the wire,
// an unplug during the NV backup, a power loss while the flash is written.
// Each case checks what the modem ends with and what the user is told.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <sstream>

#include "jobs/download_job.h"
#include "lines/control_ids.h"
#include "platform/paths.h"
#include "support/sim_line.h"

namespace quorrel {
namespace {

using testsupport::Contains;
using testsupport::ExpectImagesInFlash;
using testsupport::Seen;
using testsupport::SimLine;

using testsupport::kNvReadCode;
using testsupport::kNvWriteCode;

bool AnyStatusStartsWith(SimLine& s, std::string_view start) {
  for (const std::string& t : s.form().Texts(Seen::Kind::Status)) {
    if (t.rfind(start, 0) == 0) return true;
  }
  return false;
}

TEST(MisbehavingModem, NoiseBeforeRepliesOfEveryKindDoesNotFailTheDownload) {
  sim::ModemConfig config;
  for (sim::ModemMode mode :
       {sim::ModemMode::Normal, sim::ModemMode::Downloader, sim::ModemMode::Programmer}) {
    sim::ReplyFault noise;
    noise.kind = sim::ReplyFault::Kind::Noise;
    noise.match.mode = mode;
    noise.match.count = 0;
    noise.match.every = 5;
    config.faults.replies.push_back(noise);
  }
  SimLine s(config);
  s.PlugInAndFind();

  ASSERT_TRUE(s.StartAndWait());
  EXPECT_EQ(s.controller().LastOutcome(0), JobOutcome::Succeeded);
  EXPECT_EQ(s.exitCode_, 0);
  ExpectImagesInFlash(s);
  testsupport::ExpectBackupInModem(s.modem(), testsupport::ReadNvBackup());
  // Noise went out before replies of each mode.
  size_t noisy = 0;
  for (const sim::RequestRecord& r : s.modem().Requests()) {
    if (r.what.find("noise bytes") != std::string::npos) ++noisy;
  }
  EXPECT_GT(noisy, 100u);
}

// The modem is pulled out while its NV items are read. The backup fails and
// nothing is flashed; the modem must still get its autorun back, wherever it
// comes back.
TEST(MisbehavingModem, UnplugDuringTheBackupGivesTheModemBackOnItsNewPortsOrSaysItCouldNot) {
  struct Case {
    const char* name;
    std::optional<uint64_t> replugAfterMs;  // after the job says it gives the modem back
    std::optional<uint64_t> waitLimitMs;    // --wait-seconds; none in the window
  };
  const Case cases[] = {
      {"plugged in again, window", 5000, std::nullopt},
      {"plugged in again, --wait-seconds 30", 5000, 30000},
      {"never plugged in again, window", std::nullopt, std::nullopt},
      {"never plugged in again, --wait-seconds 30", std::nullopt, 30000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SimLine s;
    s.env_->portWaitLimitMs = c.waitLimitMs;
    s.controller().env().portWaitLimitMs = c.waitLimitMs;
    s.PlugInAndFind();
    const int firstDiagPort = s.modem_->DiagPort();
    bool pulled = false;
    s.form().onProgress = [&](int percent) {
      if (percent == 9 && !pulled) {
        pulled = true;
        s.modem().PullPlug();
      }
    };
    bool scheduled = false;
    s.form().onStatus = [&](std::string_view text) {
      if (text == kGivingBackText && c.replugAfterMs && !scheduled) {
        scheduled = true;
        s.clock_.ScheduleIn(*c.replugAfterMs, [&] { s.modem().PowerOn(); });
      }
    };

    const uint64_t start = s.clock_.NowMs();
    ASSERT_TRUE(s.StartAndWait());
    EXPECT_EQ(s.controller().LastOutcome(0), JobOutcome::Failed);
    EXPECT_TRUE(s.modem().Images().empty());
    EXPECT_TRUE(Contains(s.form().Texts(Seen::Kind::Box), kInstallFailedDotText));
    sim::VirtualModem& m = s.modem();
    if (c.replugAfterMs) {
      EXPECT_NE(s.modem_->DiagPort(), firstDiagPort);
      EXPECT_EQ(m.Autorun(), 1);
      EXPECT_EQ(m.VendorSwitchAA(), 0);
      EXPECT_EQ(m.CdRunCommands(), (std::vector<std::string>{"E", "8", "F", "9"}));
      EXPECT_FALSE(Contains(s.form().Texts(Seen::Kind::Status), kNotGivenBackText));
    } else {
      EXPECT_TRUE(Contains(s.form().Texts(Seen::Kind::Status), kNotGivenBackText));
      EXPECT_EQ(m.Autorun(), 0);
      // The search for the modem has an end.
      EXPECT_LT(s.clock_.NowMs() - start, 15u * 60 * 1000);
    }
  }
}

// Power fails while amss is written: the modem comes back in its downloader.
// The job reports the failure and the way out without sending the downloader
// NV requests or spending many minutes on a modem that cannot answer them.
TEST(MisbehavingModem, PowerLossDuringAmssEndsPhaseDOnceTheModemAnswersInItsDownloader) {
  for (std::optional<uint64_t> waitLimit :
       {std::optional<uint64_t>(30000), std::optional<uint64_t>()}) {
    SCOPED_TRACE(waitLimit ? "--wait-seconds 30" : "window");
    sim::ModemConfig config;
    config.faults.powerLossAfterPartition = true;
    SimLine s(config);
    s.env_->portWaitLimitMs = waitLimit;
    s.controller().env().portWaitLimitMs = waitLimit;
    s.PlugInAndFind();
    uint64_t failedAt = 0;
    s.form().onStatus = [&](std::string_view text) {
      if (text == kGivingBackText && failedAt == 0) failedAt = s.clock_.NowMs();
    };

    ASSERT_TRUE(s.StartAndWait());
    EXPECT_EQ(s.controller().LastOutcome(0), JobOutcome::Failed);
    EXPECT_EQ(s.modem().Mode(), sim::ModemMode::Downloader);
    // From the failure to the end: a reset, the wait for the ports and one
    // reconnect pass, not an hour-long loop.
    ASSERT_GT(failedAt, 0u);
    EXPECT_LT(s.clock_.NowMs() - failedAt, 3u * 60 * 1000);
    for (const sim::RequestRecord& r : s.modem().Requests()) {
      if (r.mode != sim::ModemMode::Downloader) continue;
      EXPECT_NE(r.code, kNvReadCode) << r.what;
      EXPECT_NE(r.code, kNvWriteCode) << r.what;
    }
    // The user is told what happened and what to do, with the backup named
    // as this system writes paths.
    std::vector<Seen> ends = s.form().Of(Seen::Kind::JobEnd);
    ASSERT_EQ(ends.size(), 1u);
    EXPECT_EQ(ends[0].text, kDownloadFailText);
    EXPECT_TRUE(AnyStatusStartsWith(s, "The modem is left in its downloader"));
    std::vector<std::string> boxes = s.form().Texts(Seen::Kind::Box);
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[0], kInstallFailedText);
    EXPECT_NE(boxes[1].find("quorrel-cli repair"), std::string::npos);
    EXPECT_NE(boxes[1].find(NativePath(testsupport::kNvFile)), std::string::npos);
    EXPECT_EQ(s.form().Control(controls::kStateLine).text, kDownloadFailText);
  }
}

// The action log of a failed download holds every line once: the give-back
// text when the failure came, the failure itself at the end.
TEST(MisbehavingModem, ActionLogOfAFailedDownloadHoldsTheFinalMessageOnce) {
  sim::ModemConfig config;
  sim::StreamErrorFault amss;
  amss.imageType = 5;
  amss.count = 0;
  config.faults.streamErrors.push_back(amss);
  SimLine s(config);
  s.PlugInAndFind();
  ASSERT_TRUE(s.StartAndWait());

  std::filesystem::path log;
  for (const auto& entry :
       std::filesystem::directory_iterator(std::filesystem::path(s.startup_) / "Logs")) {
    log = entry.path();
  }
  ASSERT_FALSE(log.empty());
  std::ifstream in(log, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  const std::string content = text.str();
  auto count = [&](std::string_view what) {
    size_t n = 0;
    for (size_t at = content.find(what); at != std::string::npos; at = content.find(what, at + 1))
      ++n;
    return n;
  };
  EXPECT_EQ(count(kDownloadFailText), 1u);
  EXPECT_EQ(count(kGivingBackText), 1u);
}

}  // namespace
}  // namespace quorrel

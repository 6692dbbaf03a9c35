// Line 1 as the program runs it: the port-watch thread finds the modem, the
// start button runs the job on the job thread with the watch suspended, and
// the job end gives the line back to the watch.
#include <gtest/gtest.h>

#include "app/control_ids.h"
#include "jobs/download_job.h"
#include "support/sim_line.h"

namespace quorrel {
namespace {

using testsupport::Seen;
using testsupport::SimLine;

constexpr char kReady[] = "Готово. Нажмите кнопку для начала обновления";

TEST(LineThreads, PortWatchFindsTheModemAndTheDownloadRunsWithTheWatchParked) {
  SimLine s;
  s.env_->showLineVersion(0);
  s.controller().StartPortWatch(0);
  EXPECT_EQ(s.controller().CurrentLine(), 0);
  s.modem_->PlugIn();
  ASSERT_TRUE(s.form().WaitForStateLine(kReady));

  // The job has the modem to itself: with the watch talking in between, the
  // strict modem would see requests out of order.
  ASSERT_TRUE(s.StartAndWait());
  EXPECT_EQ(s.controller().LastOutcome(0), JobOutcome::Succeeded);
  EXPECT_EQ(s.exitCode_, 0);
  EXPECT_TRUE(s.modem().Violations().empty()) << s.modem().Violations().front().text;
  EXPECT_EQ(s.modem().ImageBytes(5), s.EmbeddedFile(164));
}

TEST(LineThreads, AfterAFailedJobTheWatchShowsTheModemReadyAgainAndTheLineStartsAgain) {
  sim::ModemConfig config;
  config.expectedProgrammer = {0x01};  // the programmer never starts
  SimLine s(config);
  s.env_->showLineVersion(0);
  s.controller().StartPortWatch(0);
  s.modem_->PlugIn();
  ASSERT_TRUE(s.form().WaitForStateLine(kReady));

  ASSERT_TRUE(s.StartAndWait());
  EXPECT_EQ(s.controller().LastOutcome(0), JobOutcome::Failed);
  EXPECT_EQ(s.form().Texts(Seen::Kind::JobEnd), (std::vector<std::string>{kSkipFailText}));
  // The modem hangs in RAM that holds no programmer; once it is plugged in
  // again the resumed watch finds it in its firmware.
  EXPECT_EQ(s.modem().Mode(), sim::ModemMode::Hung);
  s.modem().PowerCycle(2000);
  ASSERT_TRUE(s.form().WaitForStateLine(kReady));
  EXPECT_TRUE(s.form().Control(controls::kDownload).enabled);

  s.form().Forget();
  ASSERT_TRUE(s.StartAndWait());
  EXPECT_EQ(s.form().Texts(Seen::Kind::JobEnd), (std::vector<std::string>{kSkipFailText}));
}

TEST(LineThreads, ARunningLineCannotBeStartedTwiceAndStopAllClearsEveryRunFlag) {
  SimLine s;
  s.PlugInAndFind();
  std::atomic<bool> secondStart{true};
  s.form().onProgress = [&](int percent) {
    if (percent == 2) {
      secondStart = s.controller().StartLine(0);
      s.controller().StopAll();
    }
  };
  // StartLine is called from the job thread here only to see it refused.
  ASSERT_TRUE(s.StartAndWait());
  EXPECT_FALSE(secondStart);
  // The stop was seen once the downloader answered.
  EXPECT_EQ(s.controller().LastOutcome(0), JobOutcome::Stopped);
  for (int line = 0; line < kLineCount; ++line) EXPECT_EQ(s.doc_.line(line).runFlag, 0);
}

TEST(LineThreads, RepairModeGivesTheLineBackAtOnce) {
  SimLine s;
  s.PlugInAndFind();
  s.doc_.line(0).lineMode = kModeRepair;
  ASSERT_TRUE(s.StartAndWait());
  EXPECT_EQ(s.doc_.line(0).runFlag, 0);
  EXPECT_TRUE(s.form().Control(controls::kDownload).enabled);
  EXPECT_EQ(s.form().Values(Seen::Kind::Picture).back(), kStatusReady);
  EXPECT_TRUE(s.modem().VendorRequests().empty());
}

}  // namespace
}  // namespace quorrel

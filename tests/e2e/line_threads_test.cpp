// Line 1 as the program runs it: the port-watch thread finds the modem, the
// start button runs the job on the job thread with the watch suspended, and
// the job end gives the line back to the watch.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "jobs/download_job.h"
#include "jobs/repair_job.h"
#include "lines/control_ids.h"
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

TEST(LineThreads, AfterAFailedJobTheWatchFindsTheModemAgainAndTheLineStartsAgain) {
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
  s.form().Forget();
  s.modem().PowerCycle(2000);
  const std::string version = s.modem().config().firmwareVersion;  // as the data port tells it
  ASSERT_TRUE(s.form().WaitUntil([&] {
    return testsupport::Contains(s.form().Texts(Seen::Kind::Version), version) &&
           s.form().Control(controls::kDownload).enabled;
  }));
  // The failure stays in view until the next start.
  EXPECT_EQ(s.form().Control(controls::kStateLine).text, kSkipFailText);
  EXPECT_EQ(s.form().Values(Seen::Kind::Picture), std::vector<int>{});

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

TEST(LineThreads, RepairOfAModemThatIsNotStuckGivesTheLineBack) {
  SimLine s;
  s.PlugInAndFind();
  s.doc_.line(0).lineMode = LineMode::Repair;
  ASSERT_TRUE(s.StartAndWait());
  EXPECT_EQ(s.controller().LastOutcome(0), JobOutcome::NotStarted);
  EXPECT_EQ(s.doc_.line(0).runFlag, 0);
  EXPECT_TRUE(s.form().Control(controls::kDownload).enabled);
  EXPECT_EQ(s.form().Values(Seen::Kind::Picture).back(), kStatusFail);
  EXPECT_EQ(s.form().Texts(Seen::Kind::JobEnd), std::vector<std::string>{kRepairNotStuckText});
  EXPECT_TRUE(s.modem().VendorRequests().empty());
  EXPECT_FALSE(s.closed_);
}

// A test-side latch: set once, waited for (bounded) by another thread.
class Latch {
 public:
  void Set() {
    std::lock_guard<std::mutex> lock(mutex_);
    set_ = true;
    changed_.notify_all();
  }
  bool Wait() {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(60), [this] { return set_; });
  }
  void WaitForever() {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return set_; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool set_ = false;
};

TEST(LineThreads, ShutdownParksARunningDownloadInsteadOfCarryingItOn) {
  SimLine s;
  s.PlugInAndFind();
  Latch writing;
  std::atomic<bool> held{false};
  s.form().onProgress = [&](int percent) {
    // Ask for the park from the job's own thread, before the partition
    // table goes out: the test thread may be slow to wake, and the job must
    // not write the release meanwhile. Shutdown then has to keep it parked.
    if (percent >= 20 && !held.exchange(true)) {
      s.controller().SuspendAll();
      writing.Set();
    }
  };
  ASSERT_TRUE(s.controller().StartLine(0));
  ASSERT_TRUE(writing.Wait());
  s.controller().Shutdown();

  // The job stopped where it was: it never returned, nothing ended, and the
  // modem holds no complete release.
  EXPECT_TRUE(s.controller().JobRunning(0));
  EXPECT_EQ(s.controller().LastOutcome(0), JobOutcome::Running);
  EXPECT_EQ(s.exitCode_, -1);
  EXPECT_TRUE(s.form().Texts(Seen::Kind::JobEnd).empty());
  EXPECT_NE(s.modem().ImageBytes(5), s.EmbeddedFile(164));
  // Nothing starts after a shutdown.
  s.controller().StartPortWatch(1);
  EXPECT_FALSE(s.controller().HasPortWatch(1));
}

TEST(LineThreads, ShutdownDoesNotWaitForAJobInsideAMessageBox) {
  SimLine s;
  s.PlugInAndFind();
  Latch boxShown;
  // Nobody answers: the box stays open until the process ends, as when the
  // window closes over it.
  auto* never = new Latch;
  s.form().SetMessageBoxHandler([&boxShown, never](const MessageBoxRequest&) {
    boxShown.Set();
    never->WaitForever();
    return MessageResult::Ok;
  });
  ASSERT_TRUE(s.controller().StartLine(0));
  ASSERT_TRUE(boxShown.Wait());  // the success box, before the process ends
  s.controller().Shutdown();     // returns with the box still open
  EXPECT_EQ(s.exitCode_, -1);
  // The open box belongs to the form: it must outlive the test.
  (void)s.form_.release();
}

TEST(LineThreads, ANewPortWatchStartsOnlyOnceTheOldOneHasParked) {
  SimLine s;
  s.controller().StartPortWatch(0);
  s.controller().StartPortWatch(0);  // returns once the first one parked
  s.controller().StartPortWatch(0);
  s.modem_->PlugIn();
  ASSERT_TRUE(s.form().WaitForStateLine(kReady));
  // Only the newest watch talks to the modem: the strict modem saw no
  // request out of place.
  EXPECT_TRUE(s.modem().Violations().empty()) << s.modem().Violations().front().text;
}

}  // namespace
}  // namespace quorrel

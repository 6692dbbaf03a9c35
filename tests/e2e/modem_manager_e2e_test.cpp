// A line job against a modem that ModemManager would probe: the device is
// inhibited before the job's first request and given back when the job ends,
// however it ends; a refusal keeps the job from starting and says how to fix
// it. The fake ModemManager sits on a private bus; the modem's diagnostic
// port leads through a sysfs tree to its USB device.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "app/modem_hold.h"
#include "platform/dosdevices.h"
#include "platform/modem_manager.h"
#include "support/fake_modem_manager.h"
#include "support/sim_line.h"

namespace quorrel {
namespace {

using testsupport::FakeModemManager;
using testsupport::FakeUsbTree;
using testsupport::ScopedEnv;
using testsupport::Seen;
using testsupport::SimLine;

// Line 1 with its modem found, its diagnostic port a USB tty of the tree.
struct UsbSimLine {
  explicit UsbSimLine(sim::ModemConfig config = {}, bool withModemManager = true)
      : line(std::move(config)),
        tree(line.root_.path() / "sys", "1-2", "ttyUSB0"),
        sysfs("QUORREL_SYSFS", (line.root_.path() / "sys").string()),
        mm(line.root_.path(), withModemManager) {
    line.PlugInAndFind();
    EXPECT_TRUE(LinkComPort(line.doc_.line(0).settings.diagPort, "/dev/ttyUSB0"));
  }
  SimLine line;
  FakeUsbTree tree;
  ScopedEnv sysfs;
  FakeModemManager mm;
};

void ExpectTakenAndGivenBack(const FakeModemManager& mm, const std::string& device) {
  // Given back before the job counted as done: no waiting here.
  const std::vector<testsupport::InhibitCall> calls = mm.Calls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].uid, device);
  EXPECT_TRUE(calls[0].inhibit);
  EXPECT_EQ(calls[1].uid, device);
  EXPECT_FALSE(calls[1].inhibit);
  EXPECT_EQ(HeldModemManagerInhibitions(), 0);
}

TEST(ModemManagerJobs, ADownloadRunsInhibitedAndGivesTheDeviceBackAfterSuccess) {
  UsbSimLine s;
  std::atomic<int> heldDuringJob{-1};
  s.line.form().onProgress = [&](int percent) {
    if (percent == 2) heldDuringJob = s.mm.Inhibited();
  };
  ASSERT_TRUE(s.line.StartAndWait());
  EXPECT_EQ(s.line.controller().LastOutcome(0), JobOutcome::Succeeded);
  EXPECT_EQ(heldDuringJob, 1);
  ExpectTakenAndGivenBack(s.mm, s.tree.device.string());
}

TEST(ModemManagerJobs, AFailedOrStoppedJobGivesTheDeviceBackToo) {
  {
    sim::ModemConfig config;
    config.expectedProgrammer = {0x01};  // the programmer never starts
    UsbSimLine s(config);
    ASSERT_TRUE(s.line.StartAndWait());
    EXPECT_EQ(s.line.controller().LastOutcome(0), JobOutcome::Failed);
    ExpectTakenAndGivenBack(s.mm, s.tree.device.string());
  }
  {
    UsbSimLine s;
    s.line.form().onProgress = [&](int percent) {
      if (percent == 2) s.line.controller().StopLine(0);
    };
    ASSERT_TRUE(s.line.StartAndWait());
    EXPECT_EQ(s.line.controller().LastOutcome(0), JobOutcome::Stopped);
    ExpectTakenAndGivenBack(s.mm, s.tree.device.string());
  }
}

TEST(ModemManagerJobs, ARefusalKeepsTheJobFromStartingAndSaysHowToFixIt) {
  UsbSimLine s;
  s.mm.SetAnswer(FakeModemManager::Answer::Refuse);
  const size_t requestsBefore = s.line.modem().Requests().size();
  EXPECT_FALSE(s.line.controller().StartLine(0));
  EXPECT_EQ(s.line.doc_.line(0).runFlag, 0);
  // Not a byte went to the modem.
  EXPECT_EQ(s.line.modem().Requests().size(), requestsBefore);
  const std::vector<std::string> boxes = s.line.form().Texts(Seen::Kind::Box);
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0],
            ModemManagerRefusalText(s.tree.device.string(),
                                    "org.freedesktop.DBus.Error.AccessDenied: not authorized"));
  // A rule for the modem's own identity, written out in full.
  EXPECT_NE(boxes[0].find("ATTRS{idVendor}==\"1e0e\", ATTRS{idProduct}==\"9000\""),
            std::string::npos)
      << boxes[0];
  EXPECT_NE(boxes[0].find("70-quorrel-local.rules"), std::string::npos);
  EXPECT_NE(boxes[0].find("systemctl stop ModemManager"), std::string::npos);
  EXPECT_NE(boxes[0].find("--ignore-modem-manager"), std::string::npos);

  // Told to ignore the refusal, the job runs, and says so on the state line.
  s.line.controller_.reset();
  LineHooks hooks = StandardLineHooks(*s.line.env_);
  hooks.endProcess = [&s](int code) { s.line.exitCode_ = code; };
  hooks.holdModem = ModemManagerHold(*s.line.env_, true);
  s.line.controller_ = std::make_unique<LineController>(*s.line.env_, std::move(hooks));
  s.line.controller_->AttachForm(s.line.form());
  ASSERT_TRUE(s.line.StartAndWait());
  EXPECT_EQ(s.line.controller().LastOutcome(0), JobOutcome::Succeeded);
  bool said = false;
  for (const std::string& text : s.line.form().Texts(Seen::Kind::Status)) {
    said = said || text.find("ModemManager would not leave the modem alone") != std::string::npos;
  }
  EXPECT_TRUE(said);
}

TEST(ModemManagerJobs, AnAuthorizationIsWaitedForWithTheStateLineSayingSo) {
  // ModemManager asks polkit, and polkit the user, for a password: the start
  // allows it, says what it waits for, and goes on once the user approved.
  UsbSimLine s;
  s.mm.SetAnswer(FakeModemManager::Answer::AskAuthorization);
  auto saidWaiting = [&s] {
    for (const std::string& text : s.line.form().Texts(Seen::Kind::Status)) {
      if (text.find("administrator's password") != std::string::npos) return true;
    }
    return false;
  };
  std::thread user([&] {
    if (s.line.form().WaitUntil(saidWaiting)) s.mm.Approve();
  });
  const bool started = s.line.StartAndWait();
  user.join();
  ASSERT_TRUE(started);
  EXPECT_EQ(s.line.controller().LastOutcome(0), JobOutcome::Succeeded);
  EXPECT_TRUE(saidWaiting());
  const std::vector<testsupport::InhibitCall> calls = s.mm.Calls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_TRUE(calls[0].inhibit);
  EXPECT_TRUE(calls[0].interactive);
  EXPECT_FALSE(calls[1].inhibit);
  EXPECT_EQ(HeldModemManagerInhibitions(), 0);
}

TEST(ModemManagerJobs, WithoutModemManagerOnTheBusTheJobJustRuns) {
  UsbSimLine s({}, /*withModemManager=*/false);
  ASSERT_TRUE(s.line.StartAndWait());
  EXPECT_EQ(s.line.controller().LastOutcome(0), JobOutcome::Succeeded);
  EXPECT_TRUE(s.mm.Calls().empty());
}

}  // namespace
}  // namespace quorrel

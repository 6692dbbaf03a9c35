// Fast mode against a modem that misbehaves: replies read as they arrive and
// waits that end on events must still leave the release in flash and the NV
// items back in the modem, whatever the modem does on the way.
#include <gtest/gtest.h>

#include <functional>

#include "jobs/download_job.h"
#include "support/sim_line.h"

namespace quorrel {
namespace {

using testsupport::ExpectImagesInFlash;
using testsupport::SimLine;

sim::ReplyFault EveryNth(sim::ReplyFault::Kind kind, uint32_t every,
                         std::optional<sim::ModemMode> mode = std::nullopt) {
  sim::ReplyFault f;
  f.kind = kind;
  f.match.count = 0;
  f.match.every = every;
  f.match.mode = mode;
  return f;
}

TEST(FastMode, EveryMisbehaviourStillEndsWithTheReleaseInFlashAndTheNvItemsBack) {
  struct Case {
    const char* name;
    std::function<void(sim::ModemConfig&)> fault;
  };
  const Case cases[] = {
      {"a modem that behaves", [](sim::ModemConfig&) {}},
      {"replies in pieces",
       [](sim::ModemConfig& c) {
         sim::ReplyFault f = EveryNth(sim::ReplyFault::Kind::Split, 3);
         f.randomCuts = 3;
         f.intervalMs = 15;
         c.faults.replies.push_back(f);
       }},
      {"late replies",
       [](sim::ModemConfig& c) {
         sim::ReplyFault f = EveryNth(sim::ReplyFault::Kind::Delay, 7);
         f.delayMs = 400;
         c.faults.replies.push_back(f);
       }},
      {"replies twice",
       [](sim::ModemConfig& c) {
         c.faults.replies.push_back(EveryNth(sim::ReplyFault::Kind::Twice, 7));
       }},
      {"noise before replies of every mode",
       [](sim::ModemConfig& c) {
         for (sim::ModemMode mode :
              {sim::ModemMode::Normal, sim::ModemMode::Downloader, sim::ModemMode::Programmer}) {
           c.faults.replies.push_back(EveryNth(sim::ReplyFault::Kind::Noise, 5, mode));
         }
       }},
      {"lost acknowledgements of blocks",
       [](sim::ModemConfig& c) {
         c.faults.replies.push_back(
             EveryNth(sim::ReplyFault::Kind::Drop, 97, sim::ModemMode::Programmer));
       }},
      {"a refused amss block",
       [](sim::ModemConfig& c) {
         sim::StreamErrorFault refused;
         refused.imageType = 5;
         refused.block = 3;
         c.faults.streamErrors.push_back(refused);
       }},
      {"a modem that reboots slowly",
       [](sim::ModemConfig& c) {
         c.faults.slowReboot = sim::SlowReboot{1, 0, 25000};
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sim::ModemConfig config;
    c.fault(config);
    SimLine s(config);
    s.doc_.SetFast(true);
    s.PlugInAndFind();

    ASSERT_TRUE(s.StartAndWait());
    EXPECT_EQ(s.controller().LastOutcome(0), JobOutcome::Succeeded);
    ExpectImagesInFlash(s);
    testsupport::ExpectBackupInModem(s.modem(), testsupport::ReadNvBackup());
    EXPECT_EQ(s.modem().Autorun(), 1);
    EXPECT_EQ(s.modem().CdRunCommands(), (std::vector<std::string>{"E", "8", "F", "9"}));
  }
}

// Power fails while amss is written: the download fails with the modem in
// its downloader, and the repair that follows, fast too, flashes it and
// gives it its NV items back.
TEST(FastMode, PowerLossDuringAmssThenRepair) {
  sim::ModemConfig config;
  config.faults.powerLossAfterPartition = true;
  SimLine s(config);
  s.doc_.SetFast(true);
  s.PlugInAndFind();

  ASSERT_TRUE(s.StartAndWait());
  EXPECT_EQ(s.controller().LastOutcome(0), JobOutcome::Failed);
  EXPECT_EQ(s.modem().Mode(), sim::ModemMode::Downloader);

  s.doc_.line(0).lineMode = LineMode::Repair;
  ASSERT_TRUE(s.StartAndWait());
  EXPECT_EQ(s.controller().LastOutcome(0), JobOutcome::Succeeded);
  ExpectImagesInFlash(s);
  testsupport::ExpectBackupInModem(s.modem(), testsupport::ReadNvBackup());
}

// A programmer that hangs in the middle of amss: fast mode gives up as the
// default does, and never reports a success.
TEST(FastMode, AProgrammerThatHangsInTheMiddleOfAmssFailsTheJob) {
  sim::ModemConfig config;
  config.faults.programmerSilentAfter = 40;
  SimLine s(config);
  s.doc_.SetFast(true);
  s.PlugInAndFind();

  ASSERT_TRUE(s.StartAndWait());
  EXPECT_EQ(s.controller().LastOutcome(0), JobOutcome::Failed);
  EXPECT_TRUE(testsupport::Contains(s.form().Texts(testsupport::Seen::Kind::Status),
                                    "The programmer stopped answering: 8 writes in a row got no "
                                    "reply!"));
  EXPECT_EQ(s.doc_.line(0).runFlag, 0);
}

}  // namespace
}  // namespace quorrel

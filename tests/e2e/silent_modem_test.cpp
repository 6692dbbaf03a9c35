// A modem that stops answering in the middle of a download: a flash
// programmer that hangs, an acknowledgement that never comes, a modem whose
// ports never come back after a restart. Each must end the job in bounded
// time with the line given back, never as a success.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "jobs/download_job.h"
#include "jobs/image_steps.h"
#include "lines/control_ids.h"
#include "support/sim_line.h"

namespace quorrel {
namespace {

using testsupport::Contains;
using testsupport::Seen;
using testsupport::SimLine;

constexpr char kSilenceText[] = "The programmer stopped answering: 8 writes in a row got no reply!";
constexpr uint8_t kStreamWriteCode = 0x07;

// The virtual time of the first status line with this text.
std::optional<uint64_t> StatusTime(SimLine& s, std::string_view text) {
  for (const Seen& seen : s.form().Of(Seen::Kind::Status)) {
    if (seen.text == text) return seen.timeMs;
  }
  return std::nullopt;
}

void ExpectLineGivenBackWithFail(SimLine& s) {
  EXPECT_EQ(s.doc_.line(0).runFlag, 0);
  EXPECT_TRUE(s.form().Control(controls::kDownload).enabled);
  std::vector<int> pictures = s.form().Values(Seen::Kind::Picture);
  ASSERT_FALSE(pictures.empty());
  EXPECT_EQ(pictures.back(), kStatusFail);
  // The job end wrote the line's log.
  const std::filesystem::path logs = std::filesystem::path(s.startup_) / "Logs";
  ASSERT_TRUE(std::filesystem::exists(logs));
  EXPECT_FALSE(std::filesystem::is_empty(logs));
}

size_t StreamWritesReceived(sim::VirtualModem& m) {
  std::vector<sim::RequestRecord> requests = m.Requests();
  return static_cast<size_t>(
      std::count_if(requests.begin(), requests.end(), [](const sim::RequestRecord& r) {
        return r.mode == sim::ModemMode::Programmer && r.code == kStreamWriteCode;
      }));
}

TEST(SilentProgrammer, HungAfter25WritesIsGivenUpWithinSecondsAndTheDownloadFails) {
  sim::ModemConfig config;
  config.faults.programmerSilentAfter = 25;
  SimLine s(config);
  s.PlugInAndFind();

  ASSERT_TRUE(s.StartAndWait());
  EXPECT_EQ(s.controller().LastOutcome(0), JobOutcome::Failed);
  EXPECT_NE(s.exitCode_, 0);

  // The step that was writing gave up after eight silent writes of 3 s each,
  // not after every block of its image.
  sim::VirtualModem& m = s.modem();
  std::vector<sim::RequestRecord> requests = m.Requests();
  auto hang = std::find_if(requests.begin(), requests.end(), [](const sim::RequestRecord& r) {
    return r.what == "the programmer hangs (fault)";
  });
  ASSERT_NE(hang, requests.end());
  std::optional<uint64_t> givenUp = StatusTime(s, kSilenceText);
  ASSERT_TRUE(givenUp.has_value());
  // Eight write waits of 3 s and the amss image's pacing.
  EXPECT_LE(*givenUp - hang->timeMs, 30000u);

  // What the user sees: the reason in the log, then the failed download;
  // no success.
  std::vector<std::string> status = s.form().Texts(Seen::Kind::Status);
  EXPECT_TRUE(Contains(status, kDownloadFailText));
  EXPECT_FALSE(Contains(status, kDoneText));
  std::vector<Seen> ends = s.form().Of(Seen::Kind::JobEnd);
  ASSERT_EQ(ends.size(), 1u);
  EXPECT_EQ(ends[0].text, kDownloadFailText);
  ExpectLineGivenBackWithFail(s);
  for (const Seen& box : s.form().Of(Seen::Kind::Box)) EXPECT_NE(box.caption, kSuccessCaption);

  // The modem: still hung in its programmer; the image it was writing was
  // never closed; beyond the 25 answered writes it got only the silent ones
  // of the failed step and the probe of the second attempt.
  EXPECT_EQ(m.Mode(), sim::ModemMode::Hung);
  std::vector<sim::FlashImage> images = m.Images();
  ASSERT_FALSE(images.empty());
  EXPECT_FALSE(images.back().closed);
  EXPECT_LE(StreamWritesReceived(m), 25u + kSilentWriteLimit + 1);
  EXPECT_NE(m.CurrentVersion(), m.config().flashedVersion);
}

TEST(SilentProgrammer, BlockWhoseAcknowledgementWasLostIsWrittenAgainBeforeItsImageIsClosed) {
  // The acknowledgement of the 40th stream write (block 20 of the amss image
  // in the embedded release) is lost; the later ones come.
  sim::ModemConfig config;
  sim::ReplyFault drop;
  drop.kind = sim::ReplyFault::Kind::Drop;
  drop.match.mode = sim::ModemMode::Programmer;
  drop.match.code = kStreamWriteCode;
  drop.match.nth = 40;
  drop.match.count = 1;
  config.faults.replies.push_back(drop);
  SimLine s(config);
  s.PlugInAndFind();

  ASSERT_TRUE(s.StartAndWait());
  EXPECT_EQ(s.controller().LastOutcome(0), JobOutcome::Succeeded);
  EXPECT_EQ(s.exitCode_, 0);

  sim::VirtualModem& m = s.modem();
  EXPECT_TRUE(m.Violations().empty()) << m.Violations().front().text;
  // Exactly one block, of the amss image, was written twice, and the image
  // was closed afterwards holding the release's bytes.
  for (const sim::FlashImage& image : m.Images()) {
    EXPECT_EQ(image.rewrites, image.type == 5 ? 1u : 0u) << "image type " << int(image.type);
    EXPECT_TRUE(image.closed);
  }
  EXPECT_EQ(m.ImageBytes(5), s.EmbeddedFile(164));
  EXPECT_EQ(m.CurrentVersion(), m.config().flashedVersion);
}

// The line's controller waits for the modem's ports at most this long each
// time, as quorrel-cli --wait-seconds 30 does.
constexpr uint64_t kPortWaitLimitMs = 30000;

TEST(ModemThatDoesNotComeBack, EndsTheJobWithinTheWaitBoundAfterEachRestart) {
  struct Case {
    const char* name;
    uint32_t noReturnAfter;  // the restart that never comes back
    uint64_t stepWaitsMs;    // the job's own waits between the restart and its port wait
    bool flashed;
  };
  const Case cases[] = {
      {"after the reset before the backup", 1, 10000, false},
      {"after the reset once the images are written", 2, 3000, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sim::ModemConfig config;
    config.faults.noReturnAfterReset = c.noReturnAfter;
    SimLine s(config);
    s.controller().env().portWaitLimitMs = kPortWaitLimitMs;
    s.PlugInAndFind();

    ASSERT_TRUE(s.StartAndWait());
    EXPECT_EQ(s.controller().LastOutcome(0), JobOutcome::ModemLost);
    EXPECT_EQ(s.exitCode_, -1);

    // The job end came within the bound plus the step's own waits (and the
    // one-second poll) after the modem went.
    sim::VirtualModem& m = s.modem();
    std::vector<sim::AttachRecord> history = m.AttachHistory();
    ASSERT_FALSE(history.empty());
    EXPECT_FALSE(history.back().attached);
    std::vector<Seen> ends = s.form().Of(Seen::Kind::JobEnd);
    ASSERT_EQ(ends.size(), 1u);
    EXPECT_EQ(ends[0].text, "The modem did not come back within 30 seconds!");
    EXPECT_EQ(ends[0].value, 3);
    EXPECT_GE(ends[0].timeMs - history.back().timeMs, kPortWaitLimitMs);
    EXPECT_LE(ends[0].timeMs - history.back().timeMs, c.stepWaitsMs + kPortWaitLimitMs + 1000);
    ExpectLineGivenBackWithFail(s);
    EXPECT_FALSE(Contains(s.form().Texts(Seen::Kind::Status), kDoneText));

    // The modem is gone with what it had by then: before the backup nothing
    // is written to it; after the images nothing more is (no NV restore).
    EXPECT_EQ(m.Mode(), sim::ModemMode::Detached);
    EXPECT_EQ(m.ImageBytes(5).has_value(), c.flashed);
    EXPECT_TRUE(m.NvWrites().empty());
  }
}

}  // namespace
}  // namespace quorrel

// The port watch of line 1 on the test's own thread, against the virtual
// modem on the virtual clock.
#include "jobs/port_watch.h"

#include <gtest/gtest.h>

#include "lines/control_ids.h"
#include "platform/port_access.h"
#include "support/sim_line.h"

namespace quorrel {
namespace {

using testsupport::Seen;
using testsupport::SimLine;

constexpr char kReady[] = "Готово. Нажмите кнопку для начала обновления";
constexpr char kPleaseWait[] = "пожалуйста подождите...";

// Counts the discovery polls and their times; quits after `limit` polls.
struct PollCounter {
  JobEnvironment env;
  std::vector<uint64_t> times;
  size_t limit;

  PollCounter(SimLine& s, size_t pollLimit) : env(*s.env_), limit(pollLimit) {
    auto inner = s.env_->discoverLinePorts;
    Clock* clock = &s.clock_;
    env.discoverLinePorts = [this, inner, clock](int line) {
      times.push_back(clock->NowMs());
      return inner(line);
    };
  }
  PortWatchHooks Hooks() {
    PortWatchHooks hooks;
    hooks.quit = [this] { return times.size() >= limit; };
    return hooks;
  }
};

TEST(PortWatch, WithoutAModemPollsOnceASecondAndShowsNothingNew) {
  SimLine s;
  s.env_->showLineVersion(0);  // as at start-up
  ASSERT_EQ(s.form().Control(controls::kStateLine).text, kPleaseWait);
  PollCounter polls(s, 5);

  PortWatchThread(polls.env, 0, polls.Hooks());
  ASSERT_EQ(polls.times.size(), 5u);
  for (size_t i = 1; i < polls.times.size(); ++i)
    EXPECT_EQ(polls.times[i] - polls.times[i - 1], 1000u);
  EXPECT_EQ(s.form().Control(controls::kStateLine).text, kPleaseWait);
  EXPECT_FALSE(s.form().Control(controls::kDownload).enabled);
  EXPECT_EQ(s.doc_.line(0).settings.diagPort, 1);  // COM1 of a new document
}

TEST(PortWatch, AttachedModemIsShownReadyWithinAFewSeconds) {
  SimLine s;
  s.env_->showLineVersion(0);
  s.modem_->PlugIn();
  PollCounter polls(s, 2);
  const uint64_t start = s.clock_.NowMs();

  ASSERT_TRUE(PortWatchPass(polls.env, 0, polls.Hooks()));
  EXPECT_LE(s.clock_.NowMs() - start, 5000u);
  EXPECT_EQ(polls.times.size(), 1u);
  LineJob& job = s.doc_.line(0);
  EXPECT_EQ(job.settings.diagPort, s.modem_->DiagPort());
  EXPECT_EQ(job.settings.atPort, s.modem_->DataPort());
  EXPECT_EQ(job.VersionText(), s.modem().config().buildVersion);
  EXPECT_EQ(s.form().PortText(0), "COM" + std::to_string(s.modem_->DiagPort()));
  EXPECT_EQ(s.form().Control(controls::kStateLine).text, kReady);
  EXPECT_TRUE(s.form().Control(controls::kDownload).enabled);
  EXPECT_TRUE(s.doc_.link(0).Port().IsOpen());
}

TEST(PortWatch, ModemThatDoesNotAnswerIsShownAsNoPhone) {
  sim::ModemConfig config;
  sim::ReplyFault silent;
  silent.kind = sim::ReplyFault::Kind::Drop;
  silent.match.count = 0;
  config.faults.replies.push_back(silent);
  config.gmrText = "";
  SimLine s(config);
  s.modem_->PlugIn();
  s.doc_.line(0).phoneState = PhoneState::Answered;
  PollCounter polls(s, 2);

  ASSERT_TRUE(PortWatchPass(polls.env, 0, polls.Hooks()));
  LineJob& job = s.doc_.line(0);
  EXPECT_EQ(job.phoneState, PhoneState::NoAnswer);
  EXPECT_EQ(job.VersionText(), kNoPhoneText);
  EXPECT_EQ(s.form().VersionText(0), kNoPhoneText);
  EXPECT_EQ(s.form().Control(controls::kStateLine).text, kPleaseWait);
}

TEST(PortWatch, QuitEndsTheWatchAtTheNextPoll) {
  SimLine s;
  s.modem_->PlugIn();
  PollCounter polls(s, 0);
  EXPECT_FALSE(PortWatchPass(polls.env, 0, polls.Hooks()));
  EXPECT_TRUE(polls.times.empty());
}

// The serial layer noted a tty this user may not open: the watch's next pass
// puts it on the line's state line, once.
TEST(PortWatch, APortTheUserMayNotOpenIsToldOnTheStateLineOnce) {
  SimLine s;
  s.modem_->PlugIn();
  (void)TakePortAccessProblems();
  NotePortAccessDenied(s.modem_->DiagPort(), "/dev/ttyUSB5");
  NotePortAccessDenied(s.modem_->DiagPort(), "/dev/ttyUSB5");
  PollCounter polls(s, 3);
  ASSERT_TRUE(PortWatchPass(polls.env, 0, polls.Hooks()));
  ASSERT_TRUE(PortWatchPass(polls.env, 0, polls.Hooks()));
  int told = 0;
  for (const std::string& text : s.form().Texts(Seen::Kind::Status)) {
    told += text.find(PortAccessText(s.modem_->DiagPort(), "/dev/ttyUSB5")) != std::string::npos
                ? 1
                : 0;
  }
  EXPECT_EQ(told, 1);
}

}  // namespace
}  // namespace quorrel

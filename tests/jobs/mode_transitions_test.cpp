#include "jobs/mode_transitions.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "jobs/fake_phone.h"
#include "support/peer_link.h"

namespace quorrel {
namespace {

using testsupport::Bytes;
using testsupport::Failure;
using testsupport::FakePhone;
using testsupport::FakeReply;
using testsupport::FakeRequest;
using testsupport::LineBench;
using testsupport::Proto;

constexpr uint8_t kEsn = 0x01, kNvModeChange = 0x29, kVersions = 0x39, kSwitch = 0x3A, kSpc = 0x41,
                  kPoll = 0x4B, kCmd5C = 0x5C, kBuild = 0x7C;
constexpr uint8_t kDmssGo = 0x05, kDmssNoOp = 0x06, kDmssParams = 0x07;
constexpr uint8_t kHello = 0x01, kStreamNoOp = 0x09, kStreamReset = 0x0B;

// ---------------------------------------------------------------------------
// Current version and its check

TEST(CurrentVersion, ReadsTheNinthTextWithRetriesAndNormalisesIt) {
  struct Case {
    const char* name;
    std::function<void(FakePhone&)> setup;
    std::string expected;
  };
  const Case cases[] = {
      {"answered at once", [](FakePhone& p) { p.ninthVersionText = " ziz_ru farrick b01 "; },
       "ZIZ_RUFARRICKB01"},
      {"second request of the first round",
       [](FakePhone& p) { p.FailNext(Proto::Diag, kVersions, 1); }, "ZIZ_RU_FARRICK_B01"},
      {"second round after an empty text",
       [](FakePhone& p) {
         int n = 0;
         p.SetInterceptor([n](const FakeRequest& r, std::optional<FakeReply>& reply) mutable {
           if (r.code() != kVersions || n++ > 0) return false;
           // Eight full texts and an empty ninth (sized at once: GCC 12 at
           // -O3 sees a false out-of-bounds move in a growing resize).
           Bytes out(1 + 8 * 30 + 53, 0);
           out[0] = kVersions;
           std::fill_n(out.begin() + 1, 8 * 30, 'A');
           reply = FakeReply{out};
           return true;
         });
       },
       "ZIZ_RU_FARRICK_B01"},
      {"nothing in both rounds", [](FakePhone& p) { p.FailNext(Proto::Diag, kVersions, 4); }, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LineBench b;
    c.setup(b.phone);
    EXPECT_EQ(ReadCurrentVersion(b.env, 0), c.expected);
  }
}

TEST(CurrentVersion, CheckLooksForTheTagWithoutRegardToCase) {
  const std::pair<const char*, bool> cases[] = {
      {"ZIZ_RU_FARRICK_B01", true},
      {"ziz_ru_farrick", true},
      {"XXZIZ_RU_FARRICKYY", true},
      {"ZIZ_RU_FARRIC", false},
      {"", false},
      {"ZIZ_RU FARRICK", false},
  };
  for (const auto& [text, passes] : cases) EXPECT_EQ(VersionCheckPasses(text), passes) << text;
}

// ---------------------------------------------------------------------------
// Phone detection

TEST(DetectPhone, BuildTextOrEsnOrNoPhone) {
  struct Case {
    const char* name;
    std::function<void(FakePhone&)> setup;
    bool detected;
    std::string version;
    PhoneState state;
  };
  // The ESN answers the first time only.
  auto esnOnce = [](FakePhone& p) {
    int n = 0;
    p.SetInterceptor([n](const FakeRequest& r, std::optional<FakeReply>& reply) mutable {
      if (r.proto != Proto::Diag || r.code() != kEsn || n++ == 0) return false;
      reply.reset();
      return true;
    });
  };
  const Case cases[] = {
      {"build text", [](FakePhone&) {}, true, "BUILD-1.0", PhoneState::NoAnswer},
      {"diagnostic probe instead of the ESN",
       [](FakePhone& p) {
         p.FailNext(Proto::Diag, kEsn, 2);
         p.SetInterceptor([](const FakeRequest& r, std::optional<FakeReply>& reply) {
           if (r.proto != Proto::Raw) return false;
           const std::string answer = "AT$QCDMG\r\r\nOK\r\n";
           reply = FakeReply{Bytes(answer.begin(), answer.end())};
           return true;
         });
       },
       true, "BUILD-1.0", PhoneState::NoAnswer},
      {"ESN when the build text fails", [](FakePhone& p) { p.FailNext(Proto::Diag, kBuild, 1); },
       true, "abc1234", PhoneState::Answered},
      {"ESN answered only once",
       [esnOnce](FakePhone& p) {
         esnOnce(p);
         p.FailNext(Proto::Diag, kBuild, 1);
       },
       false, kNoPhoneText, PhoneState::NoAnswer},
      {"silent phone", [](FakePhone& p) { p.SetSilent(true); }, false, kNoPhoneText,
       PhoneState::NoAnswer},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LineBench b;
    b.doc.line(0).phoneState = PhoneState::NoAnswer;
    (void)b.doc.line(0).SetVersionText("old");
    c.setup(b.phone);
    EXPECT_EQ(DetectPhone(b.env, 0), c.detected);
    EXPECT_EQ(b.doc.line(0).VersionText(), c.version);
    EXPECT_EQ(b.doc.line(0).phoneState.load(), c.state);
  }
}

// ---------------------------------------------------------------------------
// Switch to downloader

TEST(EnterDownloader, StepsFollowEachOther) {
  LineBench b;
  ASSERT_TRUE(EnterDownloader(b.env, 0));
  std::vector<std::pair<Proto, uint8_t>> order;
  for (const FakeRequest& r : b.phone.Requests()) order.emplace_back(r.proto, r.code());
  const std::vector<std::pair<Proto, uint8_t>> expected = {
      {Proto::Diag, kCmd5C},         {Proto::Diag, kSpc},    {Proto::Diag, kNvModeChange},
      {Proto::Diag, kPoll},          {Proto::Diag, kSwitch}, {Proto::Download, kDmssNoOp},
      {Proto::Download, kDmssParams}};
  ASSERT_EQ(order, expected);
  EXPECT_EQ(b.doc.line(0).flashInfo.version, 5);
  EXPECT_EQ(b.phone.counting.Opens(FakePhone::kDiagPort), 0);
}

TEST(EnterDownloader, AStepThatNeverSucceedsEndsTheSwitch) {
  struct Case {
    const char* name;
    Proto proto;
    uint8_t code;
    int failures;
    bool result;
  };
  const Case cases[] = {
      {"5C at the fourth try", Proto::Diag, kCmd5C, 3, true},
      {"5C never", Proto::Diag, kCmd5C, 4, false},
      {"service code never: ignored", Proto::Diag, kSpc, 2, true},
      {"offline at the fourth try", Proto::Diag, kNvModeChange, 3, true},
      {"offline never", Proto::Diag, kNvModeChange, 4, false},
      {"switch never: the downloader's answer decides", Proto::Diag, kSwitch, 4, true},
      {"downloader answers at the sixth try", Proto::Download, kDmssNoOp, 5, true},
      {"downloader never answers", Proto::Download, kDmssNoOp, 6, false},
      {"parameters at the fifth try", Proto::Download, kDmssParams, 4, true},
      {"parameters never", Proto::Download, kDmssParams, 5, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LineBench b;
    b.phone.FailNext(c.proto, c.code, c.failures);
    EXPECT_EQ(EnterDownloader(b.env, 0), c.result);
    EXPECT_EQ(b.doc.line(0).flashInfo.version, c.result ? 5 : 0);
    // A failed step is the last one.
    const auto requests = b.phone.Requests();
    if (!c.result) {
      EXPECT_EQ(requests.back().code(), c.code);
      EXPECT_EQ(requests.back().proto, c.proto);
    }
  }
}

TEST(EnterDownloader, FindsTheDownloaderWhereTheModemComesBack) {
  constexpr int kNewDiagPort = 7;
  LineBench b;
  bool moved = false;
  b.phone.SetInterceptor([&](const FakeRequest& r, std::optional<FakeReply>&) {
    if (r.proto == Proto::Diag && r.code() == kSwitch && !moved) {
      moved = true;
      // The modem leaves for its downloader and comes back on other ports.
      b.phone.clock.ScheduleIn(100, [&] { b.phone.MoveDiag(kNewDiagPort); });
    }
    return false;
  });
  b.env.refreshLinePorts = [&](int) {
    if (moved) b.doc.line(0).settings.diagPort = kNewDiagPort;
    return true;
  };
  EXPECT_TRUE(EnterDownloader(b.env, 0));
  EXPECT_EQ(b.doc.line(0).flashInfo.version, 5);
  EXPECT_FALSE(b.phone.Requests(Proto::Download, kDmssParams).empty());
}

TEST(EnterDownloader, GivesUpAfterAHundredReadinessPolls) {
  LineBench b;
  b.phone.SetInterceptor([](const FakeRequest& r, std::optional<FakeReply>& reply) {
    if (r.code() != kPoll || r.proto != Proto::Diag) return false;
    reply = FakeReply{Bytes{0x4B, 0x04, 0x0E, 0x00, 0x01}};  // not ready
    return true;
  });
  EXPECT_FALSE(EnterDownloader(b.env, 0));
  EXPECT_EQ(b.phone.Requests(Proto::Diag, kPoll).size(), 100u);
  EXPECT_TRUE(b.phone.Requests(Proto::Diag, kSwitch).empty());
}

// ---------------------------------------------------------------------------
// Start programmer

TEST(StartProgrammer, TheGreetingAndTheNoOpDecide) {
  struct Case {
    const char* name;
    Proto proto;
    uint8_t code;
    int failures;  // requests, not calls: go and hello are three tries each
    bool result;
  };
  const Case cases[] = {
      {"go never answered: the greeting decides", Proto::Download, kDmssGo, 9, true},
      {"greeting at the third call", Proto::Download, kHello, 6, true},
      {"greeting never", Proto::Download, kHello, 9, false},
      {"no-op at the third try", Proto::Download, kStreamNoOp, 2, true},
      {"no-op never", Proto::Download, kStreamNoOp, 3, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LineBench b;
    b.phone.FailNext(c.proto, c.code, c.failures);
    EXPECT_EQ(StartProgrammer(b.env, 0), c.result);
    // A greeting never answered is not followed by a no-op.
    EXPECT_EQ(b.phone.Requests(Proto::Download, kStreamNoOp).empty(),
              c.code == kHello && !c.result);
  }
}

TEST(StartProgrammer, GoesToTheProgrammerThenGreetsItAfterTwoSeconds) {
  LineBench b;
  ASSERT_TRUE(StartProgrammer(b.env, 0));
  const auto requests = b.phone.Requests();
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_EQ(requests[0].packet, (Bytes{0x05, 0x00, 0x80, 0x00, 0x00}));
  EXPECT_EQ(requests[1].code(), kHello);
  EXPECT_EQ(requests[1].atMs - requests[0].atMs, 10u + 2000u);
  EXPECT_EQ(requests[2].code(), kStreamNoOp);
}

TEST(FastMode, AModemStillStartingIsFoundAsSoonAsItAnswersNotAfterATimeOut) {
  struct Case {
    const char* name;
    uint8_t startedBy;  // the request after which the modem starts
    uint8_t asked;      // what it does not hear while it starts
    uint64_t startMs;
    std::function<bool(JobEnvironment&)> run;
  };
  // Each request's own time-out is many seconds (20 s for the no-op, 5 s for
  // each hello); the lead before it is 5 s and 2 s.
  const Case cases[] = {
      {"the downloader after the switch", kSwitch, kDmssNoOp, 1500,
       [](JobEnvironment& env) { return EnterDownloader(env, 0); }},
      {"the programmer after the jump", kDmssGo, kHello, 500,
       [](JobEnvironment& env) { return StartProgrammer(env, 0); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LineBench b;
    b.doc.SetFast(true);
    std::optional<uint64_t> upAt;
    b.phone.SetInterceptor([&](const FakeRequest& r, std::optional<FakeReply>&) {
      if (r.code() == c.startedBy && !upAt) upAt = r.atMs + c.startMs;
      // Lost while the modem starts; answered as usual once it is up.
      return r.code() == c.asked && (!upAt || r.atMs < *upAt);
    });
    ASSERT_TRUE(c.run(b.env));
    ASSERT_TRUE(upAt);
    const auto asked = b.phone.Requests(Proto::Download, c.asked);
    ASSERT_FALSE(asked.empty());
    EXPECT_GE(asked.back().atMs, *upAt);
    EXPECT_LT(asked.back().atMs - *upAt, 1000u);
  }
}

// ---------------------------------------------------------------------------
// Port wait, reconnect, reset and return

TEST(PortWait, PollsOnceASecondUntilThePortsAreFound) {
  LineBench b;
  int calls = 0;
  b.discover = [&calls](int) { return ++calls == 3; };
  WaitForPorts(b.env, 0);
  EXPECT_EQ(calls, 3);
  EXPECT_EQ(b.Now(), 3000u);
}

TEST(PortWait, BoundEndsAWaitThatFindsNothingAndSparesOneThatDoes) {
  struct Case {
    const char* name;
    int foundAtPoll;  // 0: never
    bool gaveUp;
    uint64_t endsAtMs;
  };
  const Case cases[] = {
      {"never found", 0, true, 5000},
      {"found at the last poll in time", 5, false, 5000},
      {"found at once", 1, false, 1000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LineBench b;
    b.env.portWaitLimitMs = 5000;
    int calls = 0;
    b.discover = [&](int) { return ++calls == c.foundAtPoll; };
    std::vector<int> seen;
    bool gaveUp = false;
    try {
      WaitForPorts(b.env, 0, [&](int polls) { seen.push_back(polls); });
    } catch (const ModemDidNotReturn& gone) {
      gaveUp = true;
      EXPECT_EQ(gone.limitMs, 5000u);
      EXPECT_EQ(ModemDidNotReturnText(gone), "The modem did not come back within 5 seconds!");
    }
    EXPECT_EQ(gaveUp, c.gaveUp);
    EXPECT_EQ(b.Now(), c.endsAtMs);
    // The caller hears of every poll, the last one included.
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(seen.back(), calls);
  }
}

TEST(Reconnect, SixtyPassesWithoutAPhoneReportFalse) {
  LineBench b;
  b.phone.SetSilent(true);
  EXPECT_FALSE(Reconnect(b.env, 0));
  EXPECT_EQ(b.phone.counting.Opens(FakePhone::kDiagPort), 60);
  EXPECT_EQ(b.phone.counting.Opens(FakePhone::kAtPort), 60);
  // Each pass asks for the ESN, probes, and asks for the ESN again.
  EXPECT_EQ(b.phone.Requests(Proto::Diag, kEsn).size(), 120u);
  EXPECT_EQ(b.doc.line(0).VersionText(), kNoPhoneText);
}

TEST(Reconnect, StopsAtThePassThatFindsThePhone) {
  LineBench b;
  // Pass 1: both ESN requests unanswered; pass 2: the first one too.
  b.phone.FailNext(Proto::Diag, kEsn, 3);
  EXPECT_TRUE(Reconnect(b.env, 0));
  EXPECT_EQ(b.phone.counting.Opens(FakePhone::kDiagPort), 2);
  EXPECT_EQ(b.doc.line(0).VersionText(), "BUILD-1.0");
}

TEST(Reconnect, AtPortThatWillNotOpenDoesNotKeepThePhoneFromBeingFound) {
  LineBench b;
  b.phone.ports.Detach(FakePhone::kAtPort);
  EXPECT_TRUE(Reconnect(b.env, 0));
  EXPECT_EQ(b.doc.line(0).VersionText(), "BUILD-1.0");
  EXPECT_GT(b.phone.counting.Opens(FakePhone::kAtPort), 0);
}

TEST(ResetAndWaitForReturn, ResetsWaitsForThePortsAndReconnects) {
  LineBench b;
  std::vector<uint64_t> discoverAt;
  b.discover = [&](int) {
    discoverAt.push_back(b.Now());
    return discoverAt.size() == 2;
  };
  EXPECT_TRUE(ResetAndWaitForReturn(b.env, 0));
  const auto reset = b.phone.Requests(Proto::Download, kStreamReset);
  ASSERT_EQ(reset.size(), 1u);
  ASSERT_EQ(discoverAt.size(), 2u);
  EXPECT_EQ(discoverAt[0] - reset[0].atMs, 10u + 3000u);
  EXPECT_EQ(discoverAt[1] - discoverAt[0], 1000u);
  const auto esn = b.phone.Requests(Proto::Diag, kEsn);
  ASSERT_FALSE(esn.empty());
  EXPECT_EQ(esn.front().atMs - discoverAt[1], 1000u + 1000u);

  LineBench silent;
  silent.phone.SetSilent(true);
  EXPECT_FALSE(ResetAndWaitForReturn(silent.env, 0));
  EXPECT_EQ(silent.phone.counting.Opens(FakePhone::kDiagPort), 60);
}

}  // namespace
}  // namespace quorrel

#include "services/at_channel.h"

#include <gtest/gtest.h>

#include <string>

#include "support/scripted_peer.h"

namespace quorrel {
namespace {

using testsupport::Bytes;
using testsupport::ScriptedPeer;
using testsupport::TextBytes;

class AtChannelTest : public ::testing::Test {
 protected:
  AtChannelTest() : at(peer.clock, peer.ports) {
    EXPECT_EQ(at.port.Open(peer.port, 115200, 8, 1), 1);
    at.SetTimeout(1000);
    at.SetTries(2);
  }

  ScriptedPeer peer;
  AtChannel at;
};

TEST(AtChannelLimits, TimeoutIsClampedAndTriesMustBeOneToNine) {
  ScriptedPeer peer;
  AtChannel at(peer.clock, peer.ports);
  EXPECT_EQ(at.timeoutMs(), 5000u);
  EXPECT_EQ(at.tries(), 3);

  EXPECT_TRUE(at.SetTimeout(9000));
  EXPECT_EQ(at.timeoutMs(), 5000u);
  EXPECT_TRUE(at.SetTimeout(5000));
  EXPECT_EQ(at.timeoutMs(), 5000u);
  EXPECT_TRUE(at.SetTimeout(1000));
  EXPECT_EQ(at.timeoutMs(), 1000u);

  struct Case {
    int count;
    bool accepted;
    int after;
  };
  const Case cases[] = {{0, false, 3}, {10, false, 3}, {-1, false, 3},
                        {1, true, 1},  {9, true, 9},   {10, false, 9}};
  for (const Case& c : cases) {
    EXPECT_EQ(at.SetTries(c.count), c.accepted) << c.count;
    EXPECT_EQ(at.tries(), c.after) << c.count;
  }
}

TEST(AtChannelParse, AnswerLinesOfWorkedReplies) {
  ScriptedPeer peer;
  AtChannel at(peer.clock, peer.ports);
  struct Case {
    const char* response;
    bool ok;
    const char* line;
  };
  const Case cases[] = {
      {"\r\n+GMR: V1.0\r\n\r\nOK\r\n", true, "+GMR: V1.0"},
      {"AT+GMR\r\r\n+GMR: V1.0\r\n\r\nOK\r\n", true, "+GMR: V1.0"},  // echo on
      {"\r\nERROR\r\n", false, "ERROR"},
      {"\r\nerror\r\n", false, "error"},
      {"\r\n+VDIAG: 6\r\n\r\nOK\r\n", true, "+VDIAG: 6"},
      {"OK\r\n", true, ""},  // no leading CR LF: empty answer line
      {"\r\n\r\nOK\r\n", true, ""},
      {"\r\nV1.0\r\n", true, "V1.0"},
      {"\r\nno end", false, ""},  // one CR LF only
      {"\r\rtext", false, ""},    // no CR LF at all
      {"", false, ""},
      {"\r", false, ""},
  };
  for (const Case& c : cases) {
    at.response = c.response;
    std::string out = "untouched";
    EXPECT_EQ(at.ParseAnswer(out), c.ok) << testing::PrintToString(c.response);
    if (c.ok || std::string(c.line) != "") {
      EXPECT_EQ(out, c.line) << testing::PrintToString(c.response);
    }
  }
}

TEST_F(AtChannelTest, GetVersionSendsGmrAndTakesTextAfterFirstBlank) {
  struct Case {
    const char* reply;
    const char* version;
  };
  const Case cases[] = {
      {"\r\n+GMR: V1.0\r\n\r\nOK\r\n", "V1.0"},
      {"AT+GMR\r\r\n+GMR: V1.0\r\n\r\nOK\r\n", "V1.0"},
      {"\r\nV1.0\r\n\r\nOK\r\n", "V1.0"},  // no blank: the whole line
      {"\r\n+GMR: 6290 B02\r\n\r\nOK\r\n", "6290 B02"},
  };
  for (const Case& c : cases) {
    peer.Answer(TextBytes(c.reply), 20);
    std::string version = "old";
    EXPECT_TRUE(at.GetVersion(version)) << c.reply;
    EXPECT_EQ(version, c.version);
  }
  ASSERT_EQ(peer.RequestCount(), 4u);
  EXPECT_EQ(peer.RequestBytes(0), TextBytes("AT+GMR\r"));
  EXPECT_EQ(at.command, "AT+GMR\r");
}

TEST_F(AtChannelTest, GetVersionLeavesOutUnchangedOnErrorOrSilence) {
  peer.Answer(TextBytes("\r\nERROR\r\n"), 20);
  std::string version = "old";
  EXPECT_FALSE(at.GetVersion(version));
  EXPECT_EQ(version, "old");
  EXPECT_FALSE(at.GetVersion(version));  // no answer at all
  EXPECT_EQ(version, "old");
}

TEST_F(AtChannelTest, DiagModeQueryAndSwitch) {
  struct Case {
    const char* reply;
    int mode;
  };
  const Case cases[] = {
      {"\r\n+VDIAG: 6\r\n\r\nOK\r\n", 6},
      {"\r\n+VDIAG: 0\r\n", 0},
      {"\r\n+VDIAG: 9\r\n", 9},
      {"\r\n+VDIAG: x\r\n", 0},  // not a digit
      {"\r\n+VDIAG:\r\n", 0},    // too short
      {"\r\nERROR\r\n", 0},
  };
  for (const Case& c : cases) {
    peer.Answer(TextBytes(c.reply), 10);
    EXPECT_EQ(at.GetDiagMode(), c.mode) << c.reply;
  }
  EXPECT_EQ(peer.RequestBytes(0), TextBytes("AT+VDIAG?\r"));
  EXPECT_EQ(at.GetDiagMode(), 0);  // silence

  peer.Answer(TextBytes("\r\nOK\r\n"), 10);
  EXPECT_TRUE(at.SetDiagMode(6));
  EXPECT_EQ(peer.Requests().back().bytes, TextBytes("AT+VDIAG=6\r"));
  peer.Answer(TextBytes("\r\nERROR\r\n"), 10);
  EXPECT_FALSE(at.SetDiagMode(0));
  EXPECT_EQ(peer.Requests().back().bytes, TextBytes("AT+VDIAG=0\r"));

  peer.Answer(TextBytes("OK\r\n"), 10);
  EXPECT_TRUE(at.SendCommand("AT+VCDRUN=E"));
  EXPECT_EQ(peer.Requests().back().bytes, TextBytes("AT+VCDRUN=E\r"));
}

TEST_F(AtChannelTest, PromptReplyTakesOnePairOfSamples) {
  peer.Answer(TextBytes("\r\nOK\r\n"), 30);
  const uint64_t t0 = peer.clock.NowMs();
  EXPECT_TRUE(at.SendAndWait());
  EXPECT_EQ(peer.clock.NowMs() - t0, 200u);
  EXPECT_EQ(at.response, "\r\nOK\r\n");
}

TEST_F(AtChannelTest, TricklingReplyIsWaitedForUntilTwoEqualSamples) {
  // Pieces at 50, 130, 210, 290, 370 ms; samples in pairs at 100/200,
  // 300/400, 500/600: only the third pair is equal.
  const std::string reply = "\r\n+GMR: ABCDEFGHIJ\r\n";
  peer.AnswerInPieces(TextBytes(reply), 4, 50, 80);
  const uint64_t t0 = peer.clock.NowMs();
  EXPECT_TRUE(at.SendAndWait());
  EXPECT_EQ(peer.clock.NowMs() - t0, 600u);
  EXPECT_EQ(at.response, reply);
}

TEST_F(AtChannelTest, ReplyStillGrowingAtTimeoutCountsAsAnswer) {
  at.SetTimeout(300);
  peer.AnswerInPieces(Bytes(40, 'x'), 1, 50, 80);
  const uint64_t t0 = peer.clock.NowMs();
  EXPECT_TRUE(at.SendAndWait());
  EXPECT_EQ(peer.clock.NowMs() - t0, 400u);     // two pairs: 400 > 300
  EXPECT_EQ(at.response, std::string(5, 'x'));  // arrived at 50..370
}

TEST_F(AtChannelTest, ReplyThatCameInTheLastPairOfAnAttemptIsTakenNotAskedForAgain) {
  at.SetTimeout(300);
  peer.Answer(TextBytes("\r\nOK\r\n"), 350);  // between the samples at 300 and 400
  EXPECT_TRUE(at.SendAndWait());
  EXPECT_EQ(at.response, "\r\nOK\r\n");
  EXPECT_EQ(peer.RequestCount(), 1u);
}

TEST_F(AtChannelTest, SilenceCostsEveryAttemptItsTimeoutRoundedToPairs) {
  at.response = "previous";
  const uint64_t t0 = peer.clock.NowMs();
  EXPECT_FALSE(at.SendAndWait());
  // Pairs end at 200 .. 1000 (not beyond 1000 ms) and 1200: 1200 per attempt.
  EXPECT_EQ(peer.clock.NowMs() - t0, 2400u);
  const auto requests = peer.Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[1].atMs - requests[0].atMs, 1200u);
  EXPECT_EQ(at.response, "previous");
}

TEST_F(AtChannelTest, SecondAttemptAnswered) {
  peer.Ignore();
  peer.Answer(TextBytes("\r\nOK\r\n"), 10);
  std::string line = "x";
  EXPECT_TRUE(at.AtExchange("AT", line));
  EXPECT_EQ(line, "OK");
  EXPECT_EQ(peer.RequestCount(), 2u);
}

TEST_F(AtChannelTest, ReadsAtMost256BytesAndNextWriteDropsTheRest) {
  Bytes big(300, 'a');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>('a' + i % 26);
  peer.Answer(big, 10);
  EXPECT_TRUE(at.SendAndWait());
  EXPECT_EQ(at.response, std::string(big.begin(), big.begin() + 256));

  peer.Answer(TextBytes("\r\nOK\r\n"), 10);
  EXPECT_TRUE(at.SendAndWait());
  EXPECT_EQ(at.response, "\r\nOK\r\n");
}

TEST(AtChannelClosed, FailsAfterTriesImmediateAttemptsWithoutSleeping) {
  ScriptedPeer peer;
  AtChannel at(peer.clock, peer.ports);
  ASSERT_TRUE(at.SetTries(5));
  std::string line = "kept";
  EXPECT_FALSE(at.AtExchange("AT+GMR", line));
  EXPECT_EQ(line, "kept");
  EXPECT_EQ(peer.clock.NowMs(), 0u);
  EXPECT_EQ(peer.clock.RequestedSleepMs(), 0u);
  EXPECT_EQ(peer.RequestCount(), 0u);
  EXPECT_EQ(at.GetDiagMode(), 0);
  EXPECT_FALSE(at.SetDiagMode(6));
}

}  // namespace
}  // namespace quorrel

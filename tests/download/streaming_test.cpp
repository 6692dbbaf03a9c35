#include "download/streaming.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "link/status_texts.h"
#include "support/peer_link.h"
#include "util/text.h"

namespace quorrel {
namespace {

std::vector<uint32_t> Acks(const PhoneLink& link) {
  const auto acks = link.Acknowledged();
  return {acks.begin(), acks.end()};
}

using testsupport::Bytes;
using testsupport::Concat;
using testsupport::DownloadFrame;
using testsupport::ExpectSilentTries;
using testsupport::Fill;
using testsupport::Hex;
using testsupport::PeerLink;
using testsupport::TextBytes;

Bytes Range(size_t n, uint8_t start = 0) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(start + i);
  return b;
}

Bytes BlockWritten(uint32_t address) {
  return DownloadFrame(
      Bytes{0x08, static_cast<uint8_t>(address), static_cast<uint8_t>(address >> 8),
            static_cast<uint8_t>(address >> 16), static_cast<uint8_t>(address >> 24)});
}

Bytes ErrorReply(uint32_t code) {
  return DownloadFrame(Bytes{0x0D, static_cast<uint8_t>(code), static_cast<uint8_t>(code >> 8),
                             static_cast<uint8_t>(code >> 16), static_cast<uint8_t>(code >> 24)});
}

struct StreamOpCase {
  const char* name;
  std::function<int(PhoneLink&)> op;
  Bytes packet;
  int tries;
  uint32_t timeoutMs;
  const char* sentence;
};

std::vector<StreamOpCase> AllStreamOperations() {
  static const Bytes table = Range(16, 0x70);  // holds 7D and 7E
  return {
      {"StreamHello", StreamHello,
       Concat({Hex("01"), TextBytes("QCOM fast download protocol host"), Hex("02 02 03")}), 3, 5000,
       nullptr},
      {"StreamClose", StreamClose, Hex("15"), 3, 20000, nullptr},
      {"StreamNoOp", StreamNoOp, Hex("09 11"), 1, 5000, nullptr},
      {"StreamReset", StreamReset, Hex("0B"), 3, 20000, nullptr},
      {"StreamSecurityMode", StreamSecurityMode, Hex("17 01"), 3, 2000,
       "Cannot go into security, Since %s"},
      {"StreamPartitionTable",
       [](PhoneLink& l) { return StreamPartitionTable(l, table.data(), 16); },
       Concat({Hex("19 01"), table}), 1, 100000, "Cannot download partition, Since %s"},
      {"StreamOpenMultiImage", [](PhoneLink& l) { return StreamOpenMultiImage(l, 9, nullptr, 0); },
       Hex("1B 09"), 2, 25000, "Cannot open multi-image, Since %s"},
  };
}

TEST(StreamOperations, SilenceCostsTriesTimesTimeoutAndGivesTheSentence) {
  for (const StreamOpCase& c : AllStreamOperations()) {
    SCOPED_TRACE(c.name);
    PeerLink p;
    EXPECT_EQ(c.op(p.link), 0);
    ExpectSilentTries(p, DownloadFrame(c.packet), c.tries, c.timeoutMs, 10);
    EXPECT_EQ(p.link.LastError(), Fill(c.sentence, kTextNoReply));
  }
}

TEST(StreamOperations, AnyReplyButAnErrorSucceeds) {
  struct Reply {
    Bytes frame;
    int result;
    std::string_view reason;
  };
  const Reply replies[] = {
      {DownloadFrame(Hex("02")), 1, ""},
      {DownloadFrame(Hex("0A 00 00 00 00")), 1, ""},
      {BlockWritten(0x1000), 1, ""},
      {ErrorReply(14), 0, "NAND flash programming not supported"},
      {ErrorReply(6), 0, "Illegal reason"},
      {DownloadFrame(Hex("0D")), 0, "Illegal reason"},  // code missing: read as 0
  };
  for (const StreamOpCase& c : AllStreamOperations()) {
    for (const Reply& r : replies) {
      SCOPED_TRACE(std::string(c.name) + " " + testing::PrintToString(r.frame));
      PeerLink p;
      p.link.SetLastError("old");
      p.peer.SetResponder([&](std::span<const uint8_t>) {
        return testsupport::ScriptedPeer::Reply{r.frame, 5};
      });
      EXPECT_EQ(c.op(p.link), r.result);
      EXPECT_EQ(p.peer.RequestCount(), r.result ? 1u : static_cast<size_t>(c.tries));
      EXPECT_EQ(p.link.LastError(), r.result ? "old" : Fill(c.sentence, r.reason));
    }
  }
}

TEST(StreamFrames, WorkedFrames) {
  PeerLink p;
  StreamNoOp(p.link);
  EXPECT_EQ(p.peer.RequestBytes(0), Hex("7E 09 11 57 D9 7E"));
  p.peer.Answer(DownloadFrame(Hex("18")), 5);
  StreamSecurityMode(p.link);
  EXPECT_EQ(p.peer.RequestBytes(1), Hex("7E 17 01 57 C6 7E"));
  p.peer.Answer(DownloadFrame(Hex("02")), 5);
  StreamHello(p.link);
  const Bytes hello = p.peer.RequestBytes(2);
  ASSERT_EQ(hello.size(), 40u);
  EXPECT_EQ(Bytes(hello.begin(), hello.begin() + 2), Hex("7E 01"));
  EXPECT_EQ(Bytes(hello.end() - 6, hello.end()), Hex("02 02 03 98 DE 7E"));
}

TEST(StreamFrames, OpenMultiImageSendsAHeaderOnlyForItsTypes) {
  const Bytes header = Range(100, 1);
  struct Case {
    uint8_t type;
    uint32_t headerLength;
    Bytes packet;
  };
  const Case cases[] = {
      {9, 0, Hex("1B 09")},
      {2, 0, Hex("1B 02")},
      {3, 100, Hex("1B 03")},  // a header passed with a type that takes none is not sent
      {4, 100, Concat({Hex("1B 04"), header})},
      {5, 10, Concat({Hex("1B 05"), Range(10, 1)})},
      {10, 0, Hex("1B 0A")},
      {6, 100, Hex("1B")},
      {0, 0, Hex("1B")},
  };
  for (const Case& c : cases) {
    PeerLink p;
    p.peer.Answer(DownloadFrame(Hex("1C")), 5);
    EXPECT_EQ(StreamOpenMultiImage(p.link, c.type, header.data(), c.headerLength), 1);
    EXPECT_EQ(p.peer.RequestBytes(0), DownloadFrame(c.packet)) << static_cast<int>(c.type);
  }
}

TEST(StreamFrames, TablesAndHeadersAbove1024BytesAreRefused) {
  const Bytes big = Range(2000, 3);
  PeerLink p;
  EXPECT_EQ(StreamPartitionTable(p.link, big.data(), 1025), 0);
  EXPECT_EQ(p.link.LastError().rfind("Cannot download partition, Since ", 0), 0u);
  EXPECT_NE(p.link.LastError().find("1025"), std::string::npos);
  EXPECT_EQ(StreamOpenMultiImage(p.link, 4, big.data(), 1025), 0);
  EXPECT_EQ(p.link.LastError().rfind("Cannot open multi-image, Since ", 0), 0u);
  EXPECT_EQ(p.peer.RequestCount(), 0u);

  p.peer.Answer(DownloadFrame(Hex("1A")), 5);
  EXPECT_EQ(StreamPartitionTable(p.link, big.data(), 1024), 1);
  EXPECT_EQ(p.peer.RequestBytes(0),
            DownloadFrame(Concat({Hex("19 01"), Bytes(big.begin(), big.begin() + 1024)})));
  p.peer.Answer(DownloadFrame(Hex("1C")), 5);
  EXPECT_EQ(StreamOpenMultiImage(p.link, 9, big.data(), 2000), 1);  // no header for type 9
  EXPECT_EQ(p.peer.RequestBytes(1), DownloadFrame(Hex("1B 09")));
}

class StreamWriteTest : public ::testing::Test {
 protected:
  PeerLink p;
  const Bytes block = Range(1024, 0x60);  // crosses 7D and 7E
};

TEST_F(StreamWriteTest, FrameIsTheSameWithAndWithoutWaiting) {
  const Bytes expected = DownloadFrame(Concat({Hex("07 00 04 02 01"), block}));
  EXPECT_EQ(StreamWrite(p.link, block.data(), 0x01020400, 1024), 1);
  EXPECT_EQ(StreamWriteNoWait(p.link, block.data(), 0x01020400, 1024), 1);
  ASSERT_EQ(p.peer.RequestCount(), 2u);
  EXPECT_EQ(p.peer.RequestBytes(0), expected);
  EXPECT_EQ(p.peer.RequestBytes(1), expected);
}

TEST_F(StreamWriteTest, RepliesForThisAndAnEarlierBlockAreBothAcknowledged) {
  p.peer.Answer(Concat({BlockWritten(0x1000), BlockWritten(0x1400)}), 20);
  EXPECT_EQ(StreamWrite(p.link, block.data(), 0x1400, 1024), 1);
  EXPECT_EQ(Acks(p.link), (std::vector<uint32_t>{0x1000, 0x1400}));
  // Sampled every 5 + 8 ms: counted at 31 ms, unchanged at 39 ms.
  EXPECT_EQ(p.link.LastError(), "time is 39(ms)");
}

TEST_F(StreamWriteTest, AReplyQueuedBeforeTheWriteIsKept) {
  p.peer.Send(BlockWritten(0x0C00));
  p.peer.clock.Advance(1);
  p.peer.Answer(BlockWritten(0x1000), 3);  // in before the first sample
  EXPECT_EQ(StreamWrite(p.link, block.data(), 0x1000, 1024), 1);
  EXPECT_EQ(Acks(p.link), (std::vector<uint32_t>{0x0C00, 0x1000}));
}

TEST_F(StreamWriteTest, NoReplyWithin3000MsCountsAsSent) {
  EXPECT_EQ(StreamWrite(p.link, block.data(), 0, 1024), 1);
  EXPECT_EQ(p.link.LastError(), "time is 3003(ms)");  // 231 steps of 13 ms
  EXPECT_EQ(p.Elapsed(), 3003u);
  EXPECT_EQ(p.peer.RequestCount(), 1u);  // never sent again
  EXPECT_TRUE(p.link.Acknowledged().empty());
}

TEST_F(StreamWriteTest, FailuresCarryTheWriteSentence) {
  struct Case {
    Bytes reply;
    std::string_view reason;
  };
  const Case cases[] = {
      {ErrorReply(14), "NAND flash programming not supported"},
      {Concat({BlockWritten(0x1000), ErrorReply(3)}), "Invalid length"},
  };
  for (const Case& c : cases) {
    p.peer.Answer(c.reply, 10);
    EXPECT_EQ(StreamWrite(p.link, block.data(), 0x1000, 1024), 0);
    EXPECT_EQ(p.link.LastError(),
              Fill("Write a Block of Data to Memory Failed, Since %s", c.reason));
  }
  EXPECT_EQ(p.peer.RequestCount(), 2u);  // one try each
}

TEST_F(StreamWriteTest, NoiseOrASpoiltReplyDoesNotFailTheWrite) {
  struct Case {
    const char* name;
    Bytes reply;
    std::vector<uint32_t> acks;  // what the write may count as acknowledged
  };
  const Case cases[] = {
      {"noise before the acknowledgement",
       Concat({Hex("31 C4 00 99"), BlockWritten(0x1000)}),
       {0x1000}},
      {"noise inside the leading flag", Concat({Hex("7E 31 C4"), BlockWritten(0x1000)}), {0x1000}},
      {"a spoilt acknowledgement", Hex("7E 08 00 10 00 00 12 34 7E"), {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    p.peer.Answer(c.reply, 10);
    EXPECT_EQ(StreamWrite(p.link, block.data(), 0x1000, 1024), 1) << p.link.LastError();
    EXPECT_EQ(Acks(p.link), c.acks);
  }
}

TEST_F(StreamWriteTest, OversizeBlocksAreRefusedWithoutSending) {
  const Bytes big(1032, 1);
  EXPECT_EQ(StreamWrite(p.link, big.data(), 0, 1032), 0);
  EXPECT_EQ(p.link.LastError().rfind("Write a Block of Data to Memory Failed, Since ", 0), 0u);
  EXPECT_EQ(StreamWriteNoWait(p.link, big.data(), 0, 1032), 0);
  EXPECT_FALSE(p.link.LastError().empty());
  EXPECT_EQ(p.peer.RequestCount(), 0u);
}

TEST_F(StreamWriteTest, BlocksInFlightAreCollectedInArrivalOrder) {
  // Each block is acknowledged 30 ms after it was sent.
  p.peer.SetResponder([](std::span<const uint8_t> request) {
    const uint32_t address =
        static_cast<uint32_t>(request[2]) | static_cast<uint32_t>(request[3]) << 8 |
        static_cast<uint32_t>(request[4]) << 16 | static_cast<uint32_t>(request[5]) << 24;
    return testsupport::ScriptedPeer::Reply{BlockWritten(address), 30};
  });
  const uint32_t small = 16;  // addresses free of flag and escape bytes
  for (uint32_t i = 0; i < 3; ++i) {
    EXPECT_EQ(StreamWriteNoWait(p.link, block.data(), 0x2000 + i * small, small), 1);
    p.peer.clock.Advance(5);
  }
  EXPECT_EQ(p.peer.RequestCount(), 3u);
  EXPECT_EQ(StreamCollectReplies(p.link), 1);  // none has arrived yet
  EXPECT_TRUE(p.link.Acknowledged().empty());

  p.peer.clock.Advance(30);
  EXPECT_EQ(StreamCollectReplies(p.link), 1);
  EXPECT_EQ(Acks(p.link), (std::vector<uint32_t>{0x2000, 0x2010, 0x2020}));

  // Nothing queued: the list stays as it was.
  EXPECT_EQ(StreamCollectReplies(p.link), 1);
  EXPECT_EQ(Acks(p.link), (std::vector<uint32_t>{0x2000, 0x2010, 0x2020}));

  p.peer.Send(Concat({BlockWritten(0x2030), ErrorReply(6)}));
  EXPECT_EQ(StreamCollectReplies(p.link), 0);
  EXPECT_EQ(p.link.LastError(), "Illegal reason");
}

TEST(StreamWriteClosed, NoWaitOnAClosedPortFailsToSend) {
  PeerLink p;
  p.link.Port().Close();
  const uint8_t data[4] = {1, 2, 3, 4};
  EXPECT_EQ(StreamWriteNoWait(p.link, data, 0, 4), 0);
  EXPECT_EQ(p.link.LastError(), kTextSendFailed);
  EXPECT_EQ(StreamWrite(p.link, data, 0, 4), 0);
  EXPECT_EQ(p.link.LastError(),
            Fill("Write a Block of Data to Memory Failed, Since %s", kTextSendFailed));
}

}  // namespace
}  // namespace quorrel

#include "download/dmss.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "link/status_texts.h"
#include "support/peer_link.h"
#include "util/text.h"

namespace quorrel {
namespace {

using testsupport::Bytes;
using testsupport::Concat;
using testsupport::DownloadFrame;
using testsupport::ExpectSilentTries;
using testsupport::Fill;
using testsupport::Hex;
using testsupport::PeerLink;

struct OpCase {
  const char* name;
  std::function<int(PhoneLink&)> op;
  Bytes packet;
  int tries;
  uint32_t timeoutMs;
  const char* sentence;
};

std::vector<OpCase> AllOperations() {
  static const uint8_t data[] = {0xAA, 0x7E, 0xCC};
  static FlashParameters params;
  return {
      {"DmssWrite", [](PhoneLink& l) { return DmssWrite(l, data, 0x00800000, 3); },
       Hex("0F 00 80 00 00 00 03 AA 7E CC"), 3, 5000,
       "Write a Block of Data to Memory Failed, Since %s"},
      {"DmssGo", [](PhoneLink& l) { return DmssGo(l, 0x0080, 0x0000); }, Hex("05 00 80 00 00"), 3,
       2000, "Cannot begin execution at an address, Since %s"},
      {"DmssGo low bits", [](PhoneLink& l) { return DmssGo(l, 0x12345, 0xABCDEF); },
       Hex("05 23 45 CD EF"), 3, 2000, "Cannot begin execution at an address, Since %s"},
      {"DmssNoOp", DmssNoOp, Hex("06"), 1, 20000, "Cannot Do No Operation, Since %s"},
      {"DmssGetParameters", [](PhoneLink& l) { return DmssGetParameters(l, params); }, Hex("07"), 1,
       20000, "Cannot Get flash Information, Since %s"},
      {"DmssReset", DmssReset, Hex("0A"), 3, 2000, "Cannot Reset the Phone, Since %s"},
  };
}

TEST(DmssOperations, SilenceCostsTriesTimesTimeoutAndGivesTheSentence) {
  for (const OpCase& c : AllOperations()) {
    SCOPED_TRACE(c.name);
    PeerLink p;
    EXPECT_EQ(c.op(p.link), 0);
    ExpectSilentTries(p, DownloadFrame(c.packet), c.tries, c.timeoutMs, 10);
    EXPECT_EQ(p.link.LastError(), Fill(c.sentence, kTextNoReply));
  }
}

TEST(DmssOperations, AcknowledgeSucceedsRejectFailsEveryTryWithItsReason) {
  struct Reply {
    Bytes frame;
    int result;
    std::string_view reason;
  };
  const Reply replies[] = {
      {Hex("7E 02 6A D3 7E"), 1, ""},
      {Hex("02 6A D3 7E"), 1, ""},  // leading flag missing
      {DownloadFrame(Hex("03 00 02")), 0, "destination address is invalid"},
      {DownloadFrame(Hex("03 00 0C")), 0, "invalid security code"},
      {DownloadFrame(Hex("03 01 02")), 0, ""},  // unknown reason: no text
  };
  for (const OpCase& c : AllOperations()) {
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

TEST(DmssFrames, WorkedFrames) {
  PeerLink p;
  DmssGo(p.link, 0x0080, 0x0000);
  EXPECT_EQ(p.peer.RequestBytes(0), Hex("7E 05 00 80 00 00 CF E5 7E"));
  DmssNoOp(p.link);
  EXPECT_EQ(p.peer.RequestBytes(3), Hex("7E 06 4E 95 7E"));
}

class DmssTest : public ::testing::Test {
 protected:
  PeerLink p;
};

TEST_F(DmssTest, WriteOfAProgrammerBlock) {
  Bytes data(1017);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7);
  p.peer.Answer(Hex("7E 02 6A D3 7E"), 10);
  EXPECT_EQ(DmssWrite(p.link, data.data(), 0x00800000, 1017), 1);
  EXPECT_EQ(p.peer.RequestBytes(0), DownloadFrame(Concat({Hex("0F 00 80 00 00 03 F9"), data})));
}

TEST_F(DmssTest, WriteRefusesOversizeBlocksWithoutSending) {
  Bytes data(70000, 0x11);
  for (uint32_t length : {1032u, 65535u, 65536u, 70000u}) {
    p.link.SetLastError("old");
    EXPECT_EQ(DmssWrite(p.link, data.data(), 0x00800000, length), 0) << length;
    EXPECT_EQ(p.peer.RequestCount(), 0u);
    EXPECT_EQ(p.link.LastError().rfind("Write a Block of Data to Memory Failed, Since ", 0), 0u);
    EXPECT_NE(p.link.LastError().find(std::to_string(length)), std::string::npos);
  }
  EXPECT_EQ(p.peer.clock.NowMs(), 0u);

  // The largest block the request can carry goes out whole.
  p.peer.Answer(Hex("7E 02 6A D3 7E"), 10);
  EXPECT_EQ(DmssWrite(p.link, data.data(), 0, 1031), 1);
  EXPECT_EQ(p.peer.RequestBytes(0),
            DownloadFrame(Concat({Hex("0F 00 00 00 00 04 07"), Bytes(1031, 0x11)})));
}

TEST_F(DmssTest, NoOpAnsweredNeitherAckNorRejectSaysSo) {
  for (const char* packet : {"05", "08 01 01 00 00 00 00 00 04 01", "7E"}) {
    p.link.SetLastError("an older reason");
    p.peer.Answer(DownloadFrame(Hex(packet)), 10);
    EXPECT_EQ(DmssNoOp(p.link), 0) << packet;
    EXPECT_EQ(p.link.LastError(),
              Format("Cannot Do No Operation, Since the Reply Code 0x%02X is neither "
                     "Acknowledge nor Reject",
                     Hex(packet)[0]));
  }
}

Bytes ParameterReply(uint8_t sizeCode, uint8_t kind) {
  return DownloadFrame(Concat({Hex("08 05 02 78 56 34 12 33"), Bytes{sizeCode, kind}}));
}

TEST_F(DmssTest, ParametersClampSizeCodeAndFlashKind) {
  struct Case {
    uint8_t size;
    uint8_t kind;
    uint8_t sizeCode;
    uint32_t bytes;
    uint8_t flashKind;
  };
  const Case cases[] = {
      {0, 0, 0, 0, 0},
      {1, 1, 1, 0x00080000, 1},
      {2, 5, 2, 0x00100000, 5},
      {3, 5, 3, 0x00100000, 5},
      {4, 34, 4, 0x00200000, 34},
      {5, 35, 5, 0x00400000, 0},
      {6, 36, 6, 0x00800000, 0},
      {7, 0, 0, 0, 0},
      {9, 0xFF, 0, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.size));
    p.peer.Answer(ParameterReply(c.size, c.kind), 10);
    FlashParameters f;
    ASSERT_EQ(DmssGetParameters(p.link, f), 1);
    EXPECT_EQ(f.replyCode, 0x08);
    EXPECT_EQ(f.version, 5);
    EXPECT_EQ(f.minVersion, 2);
    EXPECT_EQ(f.value32, 0x12345678u);  // little-endian, unlike the rest
    EXPECT_EQ(f.model, 0x33);
    EXPECT_EQ(f.rawSizeCode, c.size);
    EXPECT_EQ(f.sizeCode, c.sizeCode);
    EXPECT_EQ(f.flashSizeBytes, c.bytes);
    EXPECT_EQ(f.flashKind, c.flashKind);
    EXPECT_STREQ(f.flashText1.data(), "Unknown");
    EXPECT_STREQ(f.flashText2.data(), "Unknown");
  }
}

TEST_F(DmssTest, ParametersNeverHandOutAnOlderReply) {
  p.peer.Answer(ParameterReply(4, 1), 10);
  FlashParameters f;
  ASSERT_EQ(DmssGetParameters(p.link, f), 1);
  ASSERT_EQ(f.sizeCode, 4);

  // An acknowledge is accepted, but carries no parameters.
  p.peer.Answer(Hex("7E 02 6A D3 7E"), 10);
  ASSERT_EQ(DmssGetParameters(p.link, f), 1);
  EXPECT_EQ(f.sizeCode, 0);
  EXPECT_EQ(f.flashSizeBytes, 0u);

  p.peer.Answer(ParameterReply(4, 1), 10);
  ASSERT_EQ(DmssGetParameters(p.link, f), 1);
  EXPECT_EQ(DmssGetParameters(p.link, f), 0);  // silence
  EXPECT_EQ(f.sizeCode, 0);
  EXPECT_EQ(f.replyCode, 0);
  EXPECT_EQ(f.flashText1[0], '\0');
}

}  // namespace
}  // namespace quorrel

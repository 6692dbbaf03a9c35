#include "services/diag_commands.h"

#include <gtest/gtest.h>

#include <functional>
#include <numeric>
#include <string>

#include "link/status_texts.h"
#include "services/diag_codec.h"
#include "support/nv_pattern.h"
#include "support/peer_link.h"
#include "util/text.h"

namespace quorrel {
namespace {

using testsupport::Bytes;
using testsupport::Concat;
using testsupport::DiagFrame;
using testsupport::ExpectSilentTries;
using testsupport::Fill;
using testsupport::Hex;
using testsupport::Pattern;
using testsupport::PeerLink;
using testsupport::TextBytes;

struct OpCase {
  const char* name;
  std::function<int(PhoneLink&)> op;
  Bytes packet;   // the request packet, unframed
  Bytes okReply;  // a reply packet that makes the operation succeed
  int tries;
  uint32_t timeoutMs;
  uint32_t sampleMs;
  const char* sentence;  // nullptr: the exchange's reason is left as it is
  bool raw;
};

std::vector<OpCase> AllOperations() {
  const auto nvWrite = Pattern(0x10);
  static std::array<uint8_t, kNvDataSize> readBuffer;
  static uint16_t status;
  static uint32_t esn;
  static std::array<char, kBuildTextSize> build;
  static VersionTexts texts;
  static std::array<uint8_t, kDeviceValueSize> value;
  const Bytes answer16 = Hex("000102030405060708090A0B0C0D0E0F");
  return {
      {"GetEsn", [](PhoneLink& l) { return GetEsn(l, esn); }, Hex("01"), Hex("01 78 56 34 12"), 1,
       300, 10, "Cannot Get the ESN Number of the Phone, Since %s", false},
      {"ResetPhone", ResetPhone, Hex("29 02 00"), Hex("29 02 00"), 1, 10000, 10,
       "Cannot Reset the Phone, Since %s", false},
      {"PutOffline", PutOffline, Hex("29 01 00"), Hex("29 01 00"), 1, 10000, 10,
       "Cannot Put the Phone Offline, Since %s", false},
      {"ChangeModeFour", ChangeModeFour, Hex("29 04 00"), Hex("29 04 00"), 1, 2000, 10,
       "Cannot Put the Phone Offline, Since %s", false},
      {"GetBuildVersion", [](PhoneLink& l) { return GetBuildVersion(l, build); }, Hex("7C"),
       Hex("7C"), 1, 300, 10, "Cannot get software version from the mobile, Since %s", false},
      {"GetVersionTexts", [](PhoneLink& l) { return GetVersionTexts(l, texts); }, Hex("39"),
       Hex("39"), 1, 5000, 10, "Cannot get four software version from the mobile, Since %s", false},
      {"SwitchToDownloader", SwitchToDownloader, Hex("3A"), Hex("3A"), 1, 20000, 10,
       "Cannot Switch to Downloader, Since %s", false},
      {"SendCommand5C", SendCommand5C, Hex("5C 01 00 C2 01 00"), Hex("5C"), 1, 2000, 10, nullptr,
       false},
      {"PollReady", PollReady, Hex("4B 04 0E 00"), Hex("4B 04 0E 00 00"), 1, 2000, 10, nullptr,
       false},
      {"SendSpc", SendSpc, Hex("41 30 30 30 30 30 30"), Hex("41 01"), 1, 2000, 10, nullptr, false},
      {"WriteNvItem", [nvWrite](PhoneLink& l) { return WriteNvItem(l, 0x1234, nvWrite, status); },
       Concat({Hex("27 34 12"), nvWrite, Hex("00 00")}),
       Concat({Hex("27 34 12"), nvWrite, Hex("00 00")}), 3, 2000, 30,
       "Cannot write #4660 NVItem, Since %s", false},
      {"ReadNvItem",
       [](PhoneLink& l) {
         readBuffer = Pattern(0x80);
         return ReadNvItem(l, 550, readBuffer, status);
       },
       Concat({Hex("26 26 02"), Pattern(0x80), Hex("00 00")}),
       Concat({Hex("26 26 02"), Pattern(0x00), Hex("00 00")}), 3, 2000, 30,
       "cannot read #550 NVItem, since %s", false},
      {"SetVendorSwitchAA", [](PhoneLink& l) { return SetVendorSwitchAA(l, 1); },
       Hex("4B AA 00 00 01"), Hex("4B AA 00 00 00"), 1, 10000, 10, nullptr, true},
      {"SetAutorun", [](PhoneLink& l) { return SetAutorun(l, 0); }, Hex("4B A1 00 00 00"),
       Hex("4B A1 00 00 00"), 1, 10000, 10, "Cannot Set Autorun , Since %s", true},
      {"GetDeviceValue", [](PhoneLink& l) { return GetDeviceValue(l, value); }, Hex("4B A3 06 00"),
       Hex("4B A3 06 00 01 02 03 04 05 06 07 08"), 1, 1000, 10,
       "Cannot get value from the mobile, Since %s", true},
      {"SetDeviceValue",
       [answer16](PhoneLink& l) {
         return SetDeviceValue(
             l, std::span<const uint8_t, kDeviceAnswerSize>(answer16.data(), kDeviceAnswerSize));
       },
       Concat({Hex("4B A3 07 00"), answer16}), Hex("4B A3 07 00 00"), 1, 1000, 10,
       "Cannot get value from the mobile, Since %s", true},
  };
}

TEST(DiagOperations, SilentPhoneCostsTriesTimesTimeoutAndGivesTheSentence) {
  for (const OpCase& c : AllOperations()) {
    SCOPED_TRACE(c.name);
    PeerLink p;
    p.link.SetLastError("old");
    EXPECT_EQ(c.op(p.link), 0);
    ExpectSilentTries(p, DiagFrame(c.packet), c.tries, c.timeoutMs, c.sampleMs);
    EXPECT_EQ(p.link.LastError(), Fill(c.sentence, kTextNoReply));
  }
}

TEST(DiagOperations, AnsweredOnceSucceedsAndKeepsTheOldReason) {
  for (const OpCase& c : AllOperations()) {
    SCOPED_TRACE(c.name);
    PeerLink p;
    p.link.SetLastError("old");
    p.peer.Answer(DiagFrame(c.okReply), 15);
    EXPECT_EQ(c.op(p.link), 1);
    EXPECT_EQ(p.peer.RequestCount(), 1u);
    EXPECT_EQ(p.link.LastError(), "old");
  }
}

TEST(DiagOperations, ErrorReplyFailsEveryTryWithItsText) {
  struct ErrorCase {
    const char* reply;
    std::string_view text;
  };
  const ErrorCase errors[] = {
      {"13", "Bad command"}, {"42", DiagErrorText(0x42)}, {"99", "unknow reason"}};
  for (const OpCase& c : AllOperations()) {
    if (c.raw) continue;  // vendor requests look at the raw reply themselves
    for (const ErrorCase& e : errors) {
      SCOPED_TRACE(std::string(c.name) + " " + e.reply);
      PeerLink p;
      p.peer.SetResponder([&](std::span<const uint8_t>) {
        return testsupport::ScriptedPeer::Reply{DiagFrame(Hex(e.reply)), 5};
      });
      EXPECT_EQ(c.op(p.link), 0);
      EXPECT_EQ(p.peer.RequestCount(), static_cast<size_t>(c.tries));
      EXPECT_EQ(p.link.LastError(), Fill(c.sentence, e.text));
    }
  }
  EXPECT_EQ(DiagErrorText(0x42),
            "the correct SPC has not yet been entered to unlock service programming");
}

class DiagTest : public ::testing::Test {
 protected:
  PeerLink p;
};

TEST_F(DiagTest, EsnIsLittleEndianAndAllOnesOnFailure) {
  p.peer.Answer(DiagFrame(Hex("01 78 56 34 12")), 10);
  uint32_t esn = 0;
  EXPECT_EQ(GetEsn(p.link, esn), 1);
  EXPECT_EQ(esn, 0x12345678u);

  p.peer.Answer(Hex("01 78 56 34 12 00 00 7E"), 10);  // wrong CRC
  EXPECT_EQ(GetEsn(p.link, esn), 0);
  EXPECT_EQ(esn, 0xFFFFFFFFu);
  EXPECT_EQ(p.link.LastError(),
            "Cannot Get the ESN Number of the Phone, Since the Received Data is Wrong with Wrong "
            "CRC Checksum");
}

TEST_F(DiagTest, BuildVersionTakesTheTextFieldAndIsZeroedOnFailure) {
  Bytes text(256, 0);
  for (size_t i = 0; i < 256; ++i) text[i] = static_cast<uint8_t>('A' + i % 26);
  p.peer.Answer(DiagFrame(Concat({Hex("7C 01 02 03 04 00 00 00 08 00 00 00"), text})), 10);
  std::array<char, kBuildTextSize> build{};
  EXPECT_EQ(GetBuildVersion(p.link, build), 1);
  EXPECT_EQ(std::string(build.begin(), build.end()), std::string(text.begin(), text.end()));

  p.peer.Answer(DiagFrame(Hex("7C 01 02 03 04 00 00 00 08 00 00 00 41 42")), 10);
  EXPECT_EQ(GetBuildVersion(p.link, build), 1);
  EXPECT_STREQ(build.data(), "AB");  // a short reply: zeros behind the text

  EXPECT_EQ(GetBuildVersion(p.link, build), 0);
  EXPECT_EQ(build, (std::array<char, kBuildTextSize>{}));
}

TEST_F(DiagTest, PollReadyWantsAZeroReadinessByte) {
  struct Case {
    const char* reply;
    int result;
  };
  const Case cases[] = {{"4B 04 0E 00 00", 1},
                        {"4B 04 0E 00 01", 0},
                        {"4B 04 0E 00 00 05", 1},
                        {"4B 04 0E 00", 0}};  // too short to say ready
  for (const Case& c : cases) {
    p.link.SetLastError("old");
    p.peer.Answer(DiagFrame(Hex(c.reply)), 10);
    EXPECT_EQ(PollReady(p.link), c.result) << c.reply;
    if (!c.result) {
      EXPECT_NE(p.link.LastError(), "old") << c.reply;
    }
  }
}

TEST_F(DiagTest, ServiceCodeIsTheOneGiven) {
  p.peer.Answer(DiagFrame(Hex("41")), 10);
  EXPECT_EQ(SendServiceCode(p.link, "123456"), 1);
  EXPECT_EQ(p.peer.RequestBytes(0), DiagFrame(Hex("41 31 32 33 34 35 36")));
}

TEST_F(DiagTest, NvReadReturnsTheItemOrZerosWithTheStatusText) {
  const auto item = Pattern(0x40);
  p.peer.Answer(DiagFrame(Concat({Hex("26 0A 00"), item, Hex("00 00")})), 40);
  std::array<uint8_t, kNvDataSize> data{};
  uint16_t status = 77;
  EXPECT_EQ(ReadNvItem(p.link, 10, data, status), 1);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(data, item);

  struct Case {
    uint16_t status;
    const char* text;
  };
  const Case cases[] = {
      {5, "Variable was not active"}, {10, "address is not a valid allocation "}, {11, ""}};
  for (const Case& c : cases) {
    const uint8_t st[2] = {static_cast<uint8_t>(c.status), static_cast<uint8_t>(c.status >> 8)};
    p.peer.Answer(DiagFrame(Concat({Hex("26 0A 00"), item, st})), 40);
    data = Pattern(1);
    EXPECT_EQ(ReadNvItem(p.link, 10, data, status), 0);
    EXPECT_EQ(status, c.status);
    EXPECT_EQ(data, (std::array<uint8_t, kNvDataSize>{}));
    EXPECT_EQ(p.link.LastError(), Format("cannot read #%d NV Item, since %s", 10, c.text));
  }
}

TEST_F(DiagTest, NvReadWithoutAnswerZeroesDataAfterThreeTries) {
  std::array<uint8_t, kNvDataSize> data = Pattern(1);
  uint16_t status = 0;
  EXPECT_EQ(ReadNvItem(p.link, 7, data, status), 0);
  EXPECT_EQ(status, 0xFFFF);
  EXPECT_EQ(data, (std::array<uint8_t, kNvDataSize>{}));
  EXPECT_EQ(p.peer.RequestCount(), 3u);
  EXPECT_EQ(p.Elapsed(), 3 * 2010u);
}

// Replies that are not the answer to the NV request asked: each try gets
// one, the read ends with zeros and status 0xFFFF, the write with 0xFFFF.
TEST_F(DiagTest, NvReplyForAnotherRequestIsNoAnswer) {
  const auto item10 = Pattern(0x40);
  struct Case {
    const char* name;
    Bytes readReply;
    Bytes writeReply;
    const char* reason;
  };
  const Case cases[] = {
      {"another item", Concat({Hex("26 0B 00"), item10, Hex("00 00")}),
       Concat({Hex("27 0B 00"), item10, Hex("00 00")}),
       "the Phone Answered for #11 NVItem instead of #10"},
      {"code and item only", Hex("26 0A 00"), Hex("27 0A 00"),
       "the NV Reply is 3 Bytes Long instead of 133"},
      {"no status", Concat({Hex("26 0A 00"), item10}), Concat({Hex("27 0A 00"), item10}),
       "the NV Reply is 131 Bytes Long instead of 133"},
      {"a byte too many", Concat({Hex("26 0A 00"), item10, Hex("00 00 00")}),
       Concat({Hex("27 0A 00"), item10, Hex("00 00 00")}),
       "the NV Reply is 134 Bytes Long instead of 133"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    PeerLink q;
    q.peer.SetResponder([&](std::span<const uint8_t> request) {
      return testsupport::ScriptedPeer::Reply{
          DiagFrame(request[0] == 0x26 ? c.readReply : c.writeReply), 10};
    });
    std::array<uint8_t, kNvDataSize> data = Pattern(1);
    uint16_t status = 0;
    EXPECT_EQ(ReadNvItem(q.link, 10, data, status), 0);
    EXPECT_EQ(status, 0xFFFF);
    EXPECT_EQ(data, (std::array<uint8_t, kNvDataSize>{}));
    EXPECT_EQ(q.link.LastError(), Format("cannot read #10 NVItem, since %s", c.reason));
    EXPECT_EQ(q.peer.RequestCount(), 3u);

    EXPECT_EQ(WriteNvItem(q.link, 10, item10, status), 0);
    EXPECT_EQ(status, 0xFFFF);
    EXPECT_EQ(q.link.LastError(), Format("Cannot write #10 NVItem, Since %s", c.reason));
    EXPECT_EQ(q.peer.RequestCount(), 6u);
  }

  // A stray reply for another item, then the right one: the next try takes it.
  p.peer.Answer(DiagFrame(Concat({Hex("26 0B 00"), Pattern(0x11), Hex("00 00")})), 10);
  p.peer.Answer(DiagFrame(Concat({Hex("26 0A 00"), item10, Hex("00 00")})), 10);
  std::array<uint8_t, kNvDataSize> data{};
  uint16_t status = 9;
  EXPECT_EQ(ReadNvItem(p.link, 10, data, status), 1);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(data, item10);
  EXPECT_EQ(p.peer.RequestCount(), 2u);
}

// Every NV reply comes twice, the copy a little after the next request went
// out (a modem that repeats itself, on a busy line). A copy is another
// item's reply: the try it lands in waits on for its own, so each item is
// written once and none fails, in either pace. Sending again for a copy
// would bring one more copy into the next item's try, on and on.
TEST_F(DiagTest, LateCopiesOfEarlierNvRepliesAreSkippedNotSentForAgain) {
  for (const bool fast : {false, true}) {
    SCOPED_TRACE(fast ? "fast" : "default pace");
    PeerLink q;
    q.link.SetFast(fast);
    q.peer.SetResponder(
        [&](std::span<const uint8_t> request) -> std::optional<testsupport::ScriptedPeer::Reply> {
          // Code and item (none of them needs escaping), the data, status 0.
          Bytes reply(request.begin(), request.begin() + 3);
          reply.resize(3 + kNvDataSize + 2, 0x00);
          const Bytes frame = DiagFrame(reply);
          q.peer.Send(frame, 5);
          // The copy comes just after the reply was taken and the next request
          // went out (the default pace takes a reply after two 30 ms samples).
          q.peer.Send(frame, fast ? 8 : 62);
          return std::nullopt;
        });
    for (uint16_t item = 10; item < 20; ++item) {
      uint16_t status = 9;
      EXPECT_EQ(WriteNvItem(q.link, item, Pattern(static_cast<uint8_t>(item)), status), 1)
          << item << ": " << q.link.LastError();
      EXPECT_EQ(status, 0);
    }
    EXPECT_EQ(q.peer.RequestCount(), 10u);
  }
}

// A diagnostic error reply that ends the tries is the phone refusing the
// item: it stands for an NV status. A damaged one is no answer.
TEST_F(DiagTest, NvErrorRepliesBecomeStatuses) {
  struct Case {
    Bytes reply;  // framed
    uint16_t status;
  };
  const Bytes request = Concat({Hex("26 0A 00"), Bytes(kNvDataSize, 0), Hex("00 00")});
  Bytes damaged = DiagFrame(Concat({Hex("14"), request}));
  damaged[5] ^= 0x01;
  const Case cases[] = {
      {DiagFrame(Concat({Hex("13"), request})), 2},
      {DiagFrame(Concat({Hex("14"), request})), 6},
      {DiagFrame(Concat({Hex("15"), request})), 6},
      {DiagFrame(Hex("13")), 2},
      {DiagFrame(Concat({Hex("42"), request})), 0xFFFF},
      {damaged, 0xFFFF},
      {Hex("13 26 0A"), 0xFFFF},  // no closing flag
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.reply));
    PeerLink q;
    q.peer.SetResponder([&](std::span<const uint8_t>) {
      return testsupport::ScriptedPeer::Reply{c.reply, 10};
    });
    std::array<uint8_t, kNvDataSize> data = Pattern(1);
    uint16_t status = 0;
    EXPECT_EQ(ReadNvItem(q.link, 10, data, status), 0);
    EXPECT_EQ(status, c.status);
    EXPECT_EQ(data, (std::array<uint8_t, kNvDataSize>{}));
    EXPECT_EQ(q.peer.RequestCount(), 3u);
    EXPECT_EQ(WriteNvItem(q.link, 10, Pattern(2), status), 0);
    EXPECT_EQ(status, c.status);
  }

  // Only the last try counts: an error reply, then silence, is no answer.
  p.peer.Answer(DiagFrame(Hex("13")), 10);
  std::array<uint8_t, kNvDataSize> data{};
  uint16_t status = 0;
  EXPECT_EQ(ReadNvItem(p.link, 10, data, status), 0);
  EXPECT_EQ(status, 0xFFFF);
}

TEST_F(DiagTest, NvWriteStatuses) {
  const auto data = Pattern(3);
  uint16_t status = 99;
  // No answer: three tries of 2000 ms, sampled every 30 ms.
  EXPECT_EQ(WriteNvItem(p.link, 5, data, status), 0);
  EXPECT_EQ(status, 0xFFFF);
  EXPECT_EQ(p.peer.RequestCount(), 3u);
  EXPECT_EQ(p.Elapsed(), 6030u);
  EXPECT_EQ(p.link.LastError(),
            "Cannot write #5 NVItem, Since Port Cannot Receive Desired Data from the Phone");

  p.peer.Answer(DiagFrame(Concat({Hex("27 05 00"), data, Hex("07 00")})), 40);
  EXPECT_EQ(WriteNvItem(p.link, 5, data, status), 0);
  EXPECT_EQ(status, 7);
  EXPECT_EQ(p.link.LastError(),
            "Cannot Write #5 NVItem, Since Parameter is write-protected and thus read only");

  // The first try goes unanswered, the second is acknowledged.
  p.peer.Ignore();
  p.peer.Answer(DiagFrame(Concat({Hex("27 05 00"), data, Hex("00 00")})), 40);
  p.Elapsed();
  EXPECT_EQ(WriteNvItem(p.link, 5, data, status), 1);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(p.peer.RequestCount(), 6u);
  // The reply arrives 40 ms into the second try: first counted at 60 ms,
  // seen unchanged at 90 ms.
  EXPECT_EQ(p.Elapsed(), 2010u + 90u);
}

TEST_F(DiagTest, VendorRepliesAreJudgedByTheirFirstBytes) {
  // Refusals return 0 without a sentence of their own, and say what came.
  p.peer.Answer(DiagFrame(Hex("4B A1 00 00 01")), 10);
  EXPECT_EQ(SetAutorun(p.link, 1), 0);
  EXPECT_EQ(p.link.LastError().find("Cannot Set Autorun"), std::string::npos);
  EXPECT_NE(p.link.LastError().find("4B A1 00 00 01"), std::string::npos);

  p.peer.Answer(DiagFrame(Hex("4B AA 00 00 01")), 10);
  EXPECT_EQ(SetVendorSwitchAA(p.link, 0), 0);
  p.peer.Answer(Hex("4B AA 00 00"), 10);  // too short
  EXPECT_EQ(SetVendorSwitchAA(p.link, 0), 0);
  p.peer.Answer(DiagFrame(Hex("4B A3 07 00 01")), 10);
  EXPECT_EQ(SetDeviceValue(p.link, std::array<uint8_t, 16>{}), 0);

  std::array<uint8_t, kDeviceValueSize> value{};
  value.fill(0x55);
  p.peer.Answer(DiagFrame(Hex("4B A3 07 00 01 02 03 04 05 06 07 08")), 10);
  EXPECT_EQ(GetDeviceValue(p.link, value), 0);
  EXPECT_EQ(value, (std::array<uint8_t, kDeviceValueSize>{}));
}

TEST_F(DiagTest, DeviceValueIsReadUnstuffed) {
  p.peer.Answer(DiagFrame(Hex("4B A3 06 00 7E 7D 03 04 05 06 07 08")), 10);
  std::array<uint8_t, kDeviceValueSize> value{};
  EXPECT_EQ(GetDeviceValue(p.link, value), 1);
  EXPECT_EQ(Bytes(value.begin(), value.end()), Hex("7E 7D 03 04 05 06 07 08"));
}

TEST_F(DiagTest, DiagModeProbe) {
  struct Case {
    const char* answer;
    int result;
  };
  const Case cases[] = {
      {"AT$QCDMG\r\r\nOK\r\n", 1},
      {"at$qcdmg\r\r\nok\r\n", 1},
      {"AT$QCDMG\r\r\nOK\r\nmore", 1},  // only the first 15 bytes count
      {"AT$QCDMG\r\r\nOK", 0},
      {"AT$QCDMG\r\r\nERROR\r\n", 0},
      {"", 0},
  };
  for (const Case& c : cases) {
    p.peer.Answer(TextBytes(c.answer), 50);
    p.Elapsed();
    EXPECT_EQ(ProbeDiagMode(p.link), c.result) << testing::PrintToString(c.answer);
    EXPECT_EQ(p.Elapsed(), 100u);
    EXPECT_EQ(p.peer.Requests().back().bytes, TextBytes("AT$QCDMG\r"));
  }
  p.peer.Answer(TextBytes("AT$QCDMG\r\r\nOK\r\n"), 150);  // too late
  EXPECT_EQ(ProbeDiagMode(p.link), 0);
}

TEST_F(DiagTest, DownloadModeProbeWantsTheEcho) {
  p.peer.Answer(TextBytes("at$dload\r\r\nOK\r\n"), 20);
  EXPECT_EQ(ProbeDownloadMode(p.link), 1);
  EXPECT_EQ(p.peer.RequestBytes(0), TextBytes("AT$DLOAD\r"));
  p.peer.Answer(TextBytes("AT$DLOAX\r"), 20);
  EXPECT_EQ(ProbeDownloadMode(p.link), 0);
  p.peer.Answer(TextBytes("AT$DLOAD"), 20);
  EXPECT_EQ(ProbeDownloadMode(p.link), 0);
}

TEST_F(DiagTest, CheckCommunicationStopsAtTheFirstAnswer) {
  struct Case {
    std::function<void(testsupport::ScriptedPeer&)> script;
    int result;
    size_t requests;
  };
  const Case cases[] = {
      {[](auto& peer) { peer.Answer(DiagFrame(Hex("01 01 00 00 00")), 10); }, 1, 1},
      {[](auto& peer) {
         peer.Ignore();
         peer.Answer(TextBytes("AT$QCDMG\r\r\nOK\r\n"), 10);
       },
       1, 2},
      {[](auto& peer) {
         peer.Ignore();
         peer.Ignore();
         peer.Answer(DiagFrame(Hex("01 01 00 00 00")), 10);
       },
       1, 3},
      {[](auto&) {}, 0, 3},
  };
  for (const Case& c : cases) {
    PeerLink q;
    c.script(q.peer);
    EXPECT_EQ(CheckCommunication(q.link), c.result);
    EXPECT_EQ(q.peer.RequestCount(), c.requests);
  }
  EXPECT_EQ(CheckCommunication(p.link), 0);
  EXPECT_EQ(p.link.LastError(),
            "Cannot communicate with the mobile, Since Cannot Get the ESN Number of the Phone, "
            "Since Port Cannot Receive Desired Data from the Phone");
}

}  // namespace
}  // namespace quorrel

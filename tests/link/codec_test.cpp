#include <gtest/gtest.h>

#include <string>

#include "link/status_texts.h"
#include "link_fixture.h"

namespace quorrel::testing {
namespace {

TEST(Crc, CheckValueAndGoodResidue) {
  const std::string digits = "123456789";
  Bytes data(digits.begin(), digits.end());
  EXPECT_EQ(FrameCheck(data), 0x906E);
  data.push_back(0x6E);
  data.push_back(0x90);
  EXPECT_TRUE(FrameCheckGood(data));
  data[3] ^= 0x01;
  EXPECT_FALSE(FrameCheckGood(data));
}

TEST(Crc, AnEmptyPacketIsFramedWithTwoZeroCheckBytes) {
  Bytes out(8);
  EXPECT_EQ(FrameRequest(LinkProtocol::Diag, {}, {}, out), 3u);
  EXPECT_EQ(Bytes(out.begin(), out.begin() + 3), Hex("00 00 7E"));
}

struct FrameCase {
  const char* packet;
  LinkProtocol protocol;
  const char* frame;
};

// The frame of packet as the link sends it.
Bytes Framed(LinkProtocol protocol, const Bytes& packet, const Bytes& body = {}) {
  Bytes out(PhoneLink::kFrameCapacity);
  const size_t n = FrameRequest(protocol, packet, body, out);
  out.resize(n);
  return out;
}

class RequestFrames : public ::testing::TestWithParam<FrameCase> {};

TEST_P(RequestFrames, AreByteExact) {
  const FrameCase& c = GetParam();
  EXPECT_EQ(Framed(c.protocol, Hex(c.packet)), Hex(c.frame));
}

const std::string kHelloMagic = "51434F4D206661737420646F776E6C6F61642070726F746F636F6C20686F7374";

INSTANTIATE_TEST_SUITE_P(
    WorkedFrames, RequestFrames,
    ::testing::Values(FrameCase{"01", LinkProtocol::Diag, "01 F1 E1 7E"},
                      FrameCase{"29 02 00", LinkProtocol::Diag, "29 02 00 59 6A 7E"},
                      FrameCase{"29 01 00", LinkProtocol::Diag, "29 01 00 31 40 7E"},
                      FrameCase{"7E 7D", LinkProtocol::Diag, "7D 5E 7D 5D F1 CD 7E"},
                      FrameCase{"06", LinkProtocol::Dmss, "7E 06 4E 95 7E"},
                      FrameCase{"05 00 80 00 00", LinkProtocol::Dmss, "7E 05 00 80 00 00 CF E5 7E"},
                      FrameCase{"09 11", LinkProtocol::Streaming, "7E 09 11 57 D9 7E"},
                      FrameCase{"17 01", LinkProtocol::Streaming, "7E 17 01 57 C6 7E"},
                      // A CRC whose low byte is 0x7D, and one whose high byte is 0x7E.
                      FrameCase{"00 57", LinkProtocol::Diag, "00 57 7D 5D 29 7E"},
                      FrameCase{"00 52", LinkProtocol::Streaming, "7E 00 52 D0 7D 5E 7E"}));

TEST(RequestFrame, HelloIsByteExact) {
  EXPECT_EQ(Framed(LinkProtocol::Streaming, Hex("01" + kHelloMagic + "02 02 03")),
            Hex("7E 01" + kHelloMagic + "02 02 03 98 DE 7E"));
}

TEST(RequestFrame, RawPacketIsFramedLikeADiagnosticOne) {
  const Bytes packet = Hex("4B A1 00 00 00");
  EXPECT_EQ(Framed(LinkProtocol::Raw, packet), EncodeFrame(packet, false));
}

TEST(RequestFrame, WorstCaseStuffedWriteFitsTheFrameBuffer) {
  // Every byte of the largest packet needs stuffing.
  const Bytes packet(PhoneLink::kMaxPacket, 0x7E);
  const Bytes frame = Framed(LinkProtocol::Dmss, packet);
  EXPECT_LE(frame.size(), PhoneLink::kFrameCapacity);
  EXPECT_GE(frame.size(), 2 * PhoneLink::kMaxPacket + 2);
  auto body = Unstuff(std::span<const uint8_t>(frame.data() + 1, frame.size() - 2));
  ASSERT_TRUE(body.has_value());
  EXPECT_TRUE(FrameCheckGood(*body));
  // A buffer too small for the worst case takes nothing.
  Bytes small(2 * (packet.size() + 2) + 1);
  EXPECT_EQ(FrameRequest(LinkProtocol::Dmss, packet, {}, small), 0u);
}

// ---- single-reply decoding ----

struct DecodeCase {
  const char* name;
  LinkProtocol protocol;
  const char* reply;
  int result;
  std::string_view error;  // expected lastError on failure
  const char* packet;      // expected packet on success
};

class ReplyDecoding : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(ReplyDecoding, UnframesAndChecks) {
  const DecodeCase& c = GetParam();
  const Bytes reply = Hex(c.reply);
  Bytes packet;
  size_t rawLength = 0;
  const LinkError error = DecodeFirstReply(c.protocol, reply, packet, rawLength);
  if (c.result) {
    EXPECT_EQ(error, LinkError::None);
    EXPECT_EQ(packet, Hex(c.packet));
    EXPECT_LE(rawLength, reply.size());
  } else {
    EXPECT_EQ(LinkErrorText(error), c.error);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ReplyDecoding,
    ::testing::Values(
        DecodeCase{"DmssAck", LinkProtocol::Dmss, "7E 02 6A D3 7E", 1, "", "02"},
        DecodeCase{"DmssAckWithoutLeadingFlag", LinkProtocol::Dmss, "02 6A D3 7E", 1, "", "02"},
        DecodeCase{"StreamingWithoutLeadingFlag", LinkProtocol::Streaming, "09 11 57 D9 7E", 1, "",
                   "09 11"},
        DecodeCase{"DiagStuffedCrc", LinkProtocol::Diag, "00 57 7D 5D 29 7E", 1, "", "00 57"},
        DecodeCase{"StreamingStuffedCrc", LinkProtocol::Streaming, "7E 00 52 D0 7D 5E 7E", 1, "",
                   "00 52"},
        DecodeCase{"DiagStuffedPacket", LinkProtocol::Diag, "7D 5E 7D 5D F1 CD 7E", 1, "", "7E 7D"},
        DecodeCase{"DiagOnlyAFlag", LinkProtocol::Diag, "7E", 0, kTextWrongCrc, ""},
        DecodeCase{"DiagNoEndFlag", LinkProtocol::Diag, "01 F1 E1", 0, kTextNoEndFlag, ""},
        // The first frame is the reply; what follows it is not part of it.
        DecodeCase{"DiagTrailingByte", LinkProtocol::Diag, "01 F1 E1 7E 00", 1, "", "01"},
        DecodeCase{"DiagTrailingFrame", LinkProtocol::Diag, "01 F1 E1 7E 02 F1 E1 7E", 1, "", "01"},
        DecodeCase{"DiagBadCrc", LinkProtocol::Diag, "01 F1 E2 7E", 0, kTextWrongCrc, ""},
        DecodeCase{"DanglingEscape", LinkProtocol::Diag, "01 F1 E1 7D", 0, kTextNoEndFlag, ""}),
    [](const ::testing::TestParamInfo<DecodeCase>& p) { return std::string(p.param.name); });

TEST_F(LinkTest, ARefusedReplyFailsTheTryWithTheReasonOfTheCheck) {
  OpenPort();
  Request(LinkProtocol::Dmss, Hex("06"));
  AnswerEvery(Hex("7E 02 6A D3 7E"));
  accept_ = false;
  EXPECT_EQ(Exchange(2, 300), 0);
  EXPECT_EQ(parses_, 2);
  EXPECT_EQ(link_->LastError(), "refused by the test");
  // What came is still there to look at.
  EXPECT_EQ(Bytes(link_->LastReply().begin(), link_->LastReply().end()), Hex("02"));
}

// ---- streaming multi-reply decoding ----

class MultiReply : public LinkTest {
 protected:
  int Decode(const Bytes& replies) { return link_->DecodeStreamReplies(replies) ? 1 : 0; }
};

TEST_F(MultiReply, BackToBackRepliesAreAllSeenInArrivalOrder) {
  Bytes replies = BlockWritten(0x400);
  Bytes second = BlockWritten(0x000);
  replies.insert(replies.end(), second.begin(), second.end());
  EXPECT_EQ(Decode(replies), 1);
  EXPECT_EQ(Acks(), (std::vector<uint32_t>{0x400, 0x000}));
}

TEST_F(MultiReply, RepliesSharingOneFlagAreBothSeen) {
  Bytes replies = BlockWritten(0x400);
  Bytes second = BlockWritten(0x800);
  replies.insert(replies.end(), second.begin() + 1, second.end());  // drop its leading flag
  EXPECT_EQ(Decode(replies), 1);
  EXPECT_EQ(Acks(), (std::vector<uint32_t>{0x400, 0x800}));
}

TEST_F(MultiReply, MissingLeadingFlagIsTolerated) {
  Bytes replies = BlockWritten(0x1234);
  replies.erase(replies.begin());
  EXPECT_EQ(Decode(replies), 1);
  EXPECT_EQ(Acks(), (std::vector<uint32_t>{0x1234}));
}

TEST_F(MultiReply, ErrorReplyStopsWithItsText) {
  Bytes replies = BlockWritten(0x400);
  Bytes error = StreamError(14);
  replies.insert(replies.end(), error.begin(), error.end());
  EXPECT_EQ(Decode(replies), 0);
  EXPECT_EQ(link_->LastError(), "NAND flash programming not supported");
  EXPECT_EQ(Acks(), (std::vector<uint32_t>{0x400}));
}

TEST_F(MultiReply, SpoiltFrameOrNoiseIsSkippedAndTheRepliesAroundItAreRead) {
  Bytes replies = BlockWritten(0x400);
  replies[3] ^= 0x40;
  const Bytes noise = {0x11, 0xA5, 0x00, 0x3C};
  replies.insert(replies.end(), noise.begin(), noise.end());
  for (uint32_t address : {0x800u, 0xC00u}) {
    Bytes r = BlockWritten(address);
    replies.insert(replies.end(), r.begin(), r.end());
  }
  EXPECT_EQ(Decode(replies), 1) << link_->LastError();
  EXPECT_EQ(Acks(), (std::vector<uint32_t>{0x800, 0xC00}));

  // An error reply among them is what the failure is reported as.
  Bytes error = StreamError(14);
  replies.insert(replies.end(), error.begin(), error.end());
  EXPECT_EQ(Decode(replies), 0);
  EXPECT_EQ(link_->LastError(), "NAND flash programming not supported");
}

TEST_F(MultiReply, AcknowledgedListStopsWhenFull) {
  Bytes replies;
  for (uint32_t i = 0; i < 70; ++i) {
    Bytes r = BlockWritten(i * 1024);
    replies.insert(replies.end(), r.begin(), r.end());
  }
  ASSERT_LE(replies.size(), PhoneLink::kReplyCapacity);
  EXPECT_EQ(Decode(replies), 1);
  ASSERT_EQ(Acks().size(), PhoneLink::kMaxAcks);
  EXPECT_EQ(Acks()[63], 63u * 1024);
}

TEST_F(MultiReply, OtherRepliesAreAcceptedAndIgnored) {
  Bytes replies = EncodeFrame(Bytes{0x16}, true);
  Bytes ack = BlockWritten(0x10);
  replies.insert(replies.end(), ack.begin(), ack.end());
  EXPECT_EQ(Decode(replies), 1);
  EXPECT_EQ(Acks(), (std::vector<uint32_t>{0x10}));
}

TEST(StreamErrorTexts, UnknownCodesAreIllegal) {
  EXPECT_EQ(StreamErrorText(6), "Illegal reason");
  EXPECT_EQ(StreamErrorText(1), "Illegal reason");
  EXPECT_EQ(StreamErrorText(18), "Out of space");
  EXPECT_EQ(DmssRejectText(0x0102), "");
  EXPECT_EQ(NvStatusText(10), "address is not a valid allocation ");
  EXPECT_EQ(DiagErrorText(0x99), "unknow reason");
}

// ---- stream writes sent straight from the caller's data ----

TEST_F(LinkTest, ASendIsTheFrameOfHeadAndBodyTogether) {
  OpenPort();
  const Bytes head = Hex("07 DC E7 07 00");  // address bytes that need stuffing too
  for (uint8_t fill : {uint8_t{0x00}, uint8_t{0x7E}, uint8_t{0x7D}, uint8_t{0x61}}) {
    const Bytes data(1024, fill);
    Bytes whole = head;
    whole.insert(whole.end(), data.begin(), data.end());
    frames_.clear();
    ASSERT_TRUE(link_->Send(head, data));
    ASSERT_EQ(frames_.size(), 1u);
    EXPECT_EQ(frames_[0], EncodeFrame(whole, true)) << "fill " << int{fill};
  }
}

TEST_F(LinkTest, ASendOfMoreThanTheWriteLimitIsRefusedUnsent) {
  OpenPort();
  const Bytes head = Hex("07 00 00 00 00");
  const Bytes worst(kMaxWriteData, 0x7E);
  ASSERT_TRUE(link_->Send(head, worst));
  ASSERT_EQ(frames_.size(), 1u);
  EXPECT_LE(frames_[0].size(), PhoneLink::kFrameCapacity);
  const Bytes tooMuch(kMaxWriteData + 1, 0);
  EXPECT_EQ(link_->Send(head, tooMuch).error, LinkError::TooLong);
  EXPECT_EQ(frames_.size(), 1u);
  EXPECT_EQ(link_->LastError(),
            "A stream write of 1032 bytes exceeds the block limit of 1031 bytes");
}

}  // namespace
}  // namespace quorrel::testing

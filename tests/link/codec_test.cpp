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
  EXPECT_EQ(PhoneLink::CheckCrc(data.data(), data.size()), 1);
  data[3] ^= 0x01;
  EXPECT_EQ(PhoneLink::CheckCrc(data.data(), data.size()), 0);
  EXPECT_EQ(PhoneLink::CheckCrc(data.data(), 0), 0);
}

TEST(Crc, AppendCrcOfNothingIsTwoZeroBytes) {
  uint8_t buffer[2] = {0xAA, 0xBB};
  EXPECT_EQ(PhoneLink::AppendCrc(buffer, 0), 2u);
  EXPECT_EQ(buffer[0], 0x00);
  EXPECT_EQ(buffer[1], 0x00);
}

struct FrameCase {
  const char* packet;
  LinkProtocol protocol;
  const char* frame;
};

class RequestFrames : public LinkTest, public ::testing::WithParamInterface<FrameCase> {};

TEST_P(RequestFrames, AreByteExact) {
  const FrameCase& c = GetParam();
  codec_.packet = Hex(c.packet);
  link_->protocol = c.protocol;
  uint32_t n = link_->EncodeRequestFrame();
  Bytes frame(link_->frameBuffer.begin(), link_->frameBuffer.begin() + n);
  EXPECT_EQ(frame, Hex(c.frame));
  EXPECT_EQ(link_->frameLength, n);
}

const std::string kHelloMagic = "51434F4D206661737420646F776E6C6F61642070726F746F636F6C20686F7374";

INSTANTIATE_TEST_SUITE_P(
    WorkedFrames, RequestFrames,
    ::testing::Values(
        FrameCase{"01", LinkProtocol::Diag, "01 F1 E1 7E"},
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

TEST_F(LinkTest, HelloFrameIsByteExact) {
  codec_.packet = Hex("01" + kHelloMagic + "02 02 03");
  link_->protocol = LinkProtocol::Streaming;
  uint32_t n = link_->EncodeRequestFrame();
  Bytes frame(link_->frameBuffer.begin(), link_->frameBuffer.begin() + n);
  EXPECT_EQ(frame, Hex("7E 01" + kHelloMagic + "02 02 03 98 DE 7E"));
}

TEST_F(LinkTest, RawPacketIsTakenFromTheFrameBuffer) {
  link_->protocol = LinkProtocol::Raw;
  const Bytes packet = Hex("4B A1 00 00 00");
  std::copy(packet.begin(), packet.end(), link_->frameBuffer.begin());
  link_->frameLength = static_cast<uint32_t>(packet.size());
  uint32_t n = link_->EncodeRequestFrame();
  Bytes frame(link_->frameBuffer.begin(), link_->frameBuffer.begin() + n);
  EXPECT_EQ(frame, EncodeFrame(packet, false));
}

TEST_F(LinkTest, WorstCaseStuffedWriteFitsTheFrameBuffer) {
  // Every byte of the largest packet needs stuffing.
  codec_.packet.assign(PhoneLink::kMaxPacket, 0x7E);
  link_->protocol = LinkProtocol::Dmss;
  uint32_t n = link_->EncodeRequestFrame();
  EXPECT_LE(n, PhoneLink::kFrameCapacity);
  EXPECT_GE(n, 2 * PhoneLink::kMaxPacket + 2);
  auto body = Unstuff(std::span<const uint8_t>(link_->frameBuffer.data() + 1, n - 2));
  ASSERT_TRUE(body.has_value());
  EXPECT_TRUE(FrameCheckGood(*body));
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

class ReplyDecoding : public LinkTest, public ::testing::WithParamInterface<DecodeCase> {};

TEST_P(ReplyDecoding, UnframesChecksAndParses) {
  const DecodeCase& c = GetParam();
  link_->protocol = c.protocol;
  link_->lastError = "before";
  Bytes reply = Hex(c.reply);
  std::copy(reply.begin(), reply.end(), link_->replyBuffer.begin());
  link_->replyLength = static_cast<uint16_t>(reply.size());
  EXPECT_EQ(link_->DecodeReplyFrame(), c.result);
  if (!c.result) {
    EXPECT_EQ(link_->rawReplyLength, reply.size());
  }
  if (c.result) {
    EXPECT_EQ(codec_.parsed, Hex(c.packet));
    EXPECT_EQ(link_->reply.code, Hex(c.packet)[0]);
    EXPECT_EQ(link_->lastError, "before");
  } else {
    EXPECT_EQ(link_->lastError, c.error);
    EXPECT_EQ(codec_.parses, 0);
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

TEST_F(LinkTest, ParserRejectionFailsTheDecode) {
  link_->protocol = LinkProtocol::Dmss;
  codec_.accept = 0;
  Bytes reply = Hex("7E 02 6A D3 7E");
  std::copy(reply.begin(), reply.end(), link_->replyBuffer.begin());
  link_->replyLength = static_cast<uint16_t>(reply.size());
  EXPECT_EQ(link_->DecodeReplyFrame(), 0);
  EXPECT_EQ(codec_.parses, 1);
}

// ---- streaming multi-reply decoding ----

Bytes BlockWritten(uint32_t address) {
  return EncodeFrame(Bytes{0x08, static_cast<uint8_t>(address), static_cast<uint8_t>(address >> 8),
                           static_cast<uint8_t>(address >> 16), static_cast<uint8_t>(address >> 24)},
                     true);
}

Bytes StreamError(uint32_t code) {
  return EncodeFrame(Bytes{0x0D, static_cast<uint8_t>(code), 0, 0, 0}, true);
}

class MultiReply : public LinkTest {
 protected:
  int Decode(const Bytes& replies) {
    std::copy(replies.begin(), replies.end(), link_->replyBuffer.begin());
    link_->replyLength = static_cast<uint16_t>(replies.size());
    return link_->DecodeReplyFrames();
  }
  std::vector<uint32_t> Acks() const {
    return {link_->ackAddresses.begin(), link_->ackAddresses.begin() + link_->ackCount};
  }
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
  EXPECT_EQ(link_->lastError, "NAND flash programming not supported");
  EXPECT_EQ(link_->reply.streamError, 14u);
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
  EXPECT_EQ(Decode(replies), 1) << link_->lastError;
  EXPECT_EQ(Acks(), (std::vector<uint32_t>{0x800, 0xC00}));

  // An error reply among them is what the failure is reported as.
  Bytes error = StreamError(14);
  replies.insert(replies.end(), error.begin(), error.end());
  EXPECT_EQ(Decode(replies), 0);
  EXPECT_EQ(link_->lastError, "NAND flash programming not supported");
}

TEST_F(MultiReply, AcknowledgedListStopsWhenFull) {
  Bytes replies;
  for (uint32_t i = 0; i < 70; ++i) {
    Bytes r = BlockWritten(i * 1024);
    replies.insert(replies.end(), r.begin(), r.end());
  }
  ASSERT_LE(replies.size(), PhoneLink::kReplyCapacity);
  EXPECT_EQ(Decode(replies), 1);
  ASSERT_EQ(link_->ackCount, PhoneLink::kMaxAcks);
  EXPECT_EQ(link_->ackAddresses[63], 63u * 1024);
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

// ---- direct stream write frames ----

class StreamWriteCodec : public PacketCodec {
 public:
  size_t BuildPacket(const PhoneLink& link, std::span<uint8_t> out) const override {
    out[0] = 0x07;
    for (int i = 0; i < 4; ++i) out[1 + i] = static_cast<uint8_t>(link.request.address >> (8 * i));
    std::copy_n(link.request.data.begin(), link.request.length, out.begin() + 5);
    return 5 + link.request.length;
  }
  int ParseReply(PhoneLink&) const override { return 1; }
};

TEST(StreamWriteFrame, EqualsTheEncodedRequest) {
  VirtualClock clock;
  MemoryPorts ports;
  StreamWriteCodec codec;
  ProtocolCodecs codecs{&codec, &codec, &codec};
  PhoneLink link(clock, ports, codecs);
  for (uint8_t fill : {uint8_t{0x00}, uint8_t{0x7E}, uint8_t{0x7D}, uint8_t{0x61}}) {
    Bytes data(1024, fill);
    link.protocol = LinkProtocol::Streaming;
    link.request.address = 0x0007E7DC;  // address bytes that need stuffing too
    link.request.length = 1024;
    std::copy(data.begin(), data.end(), link.request.data.begin());
    uint32_t n = link.EncodeRequestFrame();
    Bytes encoded(link.frameBuffer.begin(), link.frameBuffer.begin() + n);
    ASSERT_EQ(link.BuildStreamWriteFrame(data.data(), 0x0007E7DC, 1024), 1);
    Bytes direct(link.frameBuffer.begin(), link.frameBuffer.begin() + link.frameLength);
    EXPECT_EQ(direct, encoded) << "fill " << int{fill};
  }
}

TEST(StreamWriteFrame, RefusesMoreThanTheWriteLimit) {
  VirtualClock clock;
  MemoryPorts ports;
  PhoneLink link(clock, ports, ProtocolCodecs{});
  Bytes worst(kMaxWriteData, 0x7E);
  EXPECT_EQ(link.BuildStreamWriteFrame(worst.data(), 0, kMaxWriteData), 1);
  EXPECT_LE(link.frameLength, PhoneLink::kFrameCapacity);
  Bytes tooMuch(kMaxWriteData + 1, 0);
  EXPECT_EQ(link.BuildStreamWriteFrame(tooMuch.data(), 0, kMaxWriteData + 1), 0);
  EXPECT_EQ(link.frameLength, 0u);
  EXPECT_FALSE(link.lastError.empty());
}

}  // namespace
}  // namespace quorrel::testing

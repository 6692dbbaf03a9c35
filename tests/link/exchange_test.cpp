#include <gtest/gtest.h>

#include "link/status_texts.h"
#include "link_fixture.h"

namespace quorrel::testing {
namespace {

class ExchangeTest : public LinkTest {
 protected:
  void SetUp() override { OpenPort(); }

  void Request(LinkProtocol protocol, Bytes packet, uint8_t code) {
    link_->ResetRequest();
    link_->protocol = protocol;
    link_->requestCode = code;
    codec_.packet = std::move(packet);
  }
};

TEST_F(ExchangeTest, DiagReplyIsDecodedOnceItSettles) {
  Request(LinkProtocol::Diag, Hex("01"), 0x01);
  AnswerEvery(EncodeFrame(Hex("01 78 56 34 12"), false), 25);
  EXPECT_EQ(link_->Exchange(1, 300), 1);
  EXPECT_EQ(codec_.parsed, Hex("01 78 56 34 12"));
  ASSERT_EQ(frames_.size(), 1u);
  EXPECT_EQ(frames_[0], Hex("01 F1 E1 7E"));
  // Samples every 10 ms: the reply arrives at 25, is first seen at 30 and has
  // not grown at 40.
  EXPECT_EQ(clock_.NowMs(), 40u);
}

TEST_F(ExchangeTest, NvRequestsSampleEveryThirtyMilliseconds) {
  Request(LinkProtocol::Diag, Hex("26 16 00"), 0x26);
  AnswerEvery(EncodeFrame(Hex("26 16 00"), false), 25);
  EXPECT_EQ(link_->Exchange(1, 2000), 1);
  EXPECT_EQ(clock_.NowMs(), 60u);
}

TEST_F(ExchangeTest, NoReplyFailsEveryTryAfterItsTimeout) {
  Request(LinkProtocol::Diag, Hex("27 00 00"), 0x27);
  EXPECT_EQ(link_->Exchange(3, 2000), 0);
  EXPECT_EQ(link_->lastError, kTextNoReply);
  ASSERT_EQ(frames_.size(), 3u);
  // Each try waits until more than 2000 ms have passed, in 30 ms steps.
  EXPECT_EQ(write_times_[1] - write_times_[0], 2010u);
  EXPECT_EQ(write_times_[2] - write_times_[1], 2010u);
  EXPECT_EQ(frames_[0], frames_[2]);
}

TEST_F(ExchangeTest, ErrorReplyIsRetriedUpToTries) {
  Request(LinkProtocol::Diag, Hex("29 02 00"), 0x29);
  AnswerEvery(EncodeFrame(Hex("13 29 02 00"), false));
  EXPECT_EQ(link_->Exchange(3, 1000), 0);
  EXPECT_EQ(frames_.size(), 3u);
  EXPECT_EQ(link_->lastError, "Bad command");
  EXPECT_EQ(codec_.parses, 0);
}

TEST_F(ExchangeTest, ErrorReplyTextsByFirstByte) {
  const std::pair<const char*, std::string_view> cases[] = {
      {"14", "The Request packet has invalid or inconsistent parameters"},
      {"15", "The Request packet has an invalid length"},
      {"18", "the DMSS isn't in a particular mode"},
      {"42", "the correct SPC has not yet been entered to unlock service programming"},
      {"47", "the correct Security Password has not yet been entered to unlock the phone"},
      {"55", "unknow reason"}};
  for (const auto& [code, text] : cases) {
    Request(LinkProtocol::Diag, Hex("01"), 0x01);
    AnswerEvery(EncodeFrame(Hex(code), false));
    EXPECT_EQ(link_->Exchange(1, 300), 0);
    EXPECT_EQ(link_->lastError, text) << code;
  }
}

TEST_F(ExchangeTest, SuccessOnALaterTry) {
  Request(LinkProtocol::Dmss, Hex("06"), 0x06);
  answer_ = [this](size_t n) {
    if (n == 2) wire_->SendToHost(Hex("7E 02 6A D3 7E"), 5);
  };
  EXPECT_EQ(link_->Exchange(3, 500), 1);
  EXPECT_EQ(frames_.size(), 2u);
}

TEST_F(ExchangeTest, LastErrorSurvivesALaterSuccess) {
  Request(LinkProtocol::Diag, Hex("01"), 0x01);
  EXPECT_EQ(link_->Exchange(1, 100), 0);
  EXPECT_EQ(link_->lastError, kTextNoReply);
  AnswerEvery(EncodeFrame(Hex("01 00 00 00 00"), false));
  Request(LinkProtocol::Diag, Hex("01"), 0x01);
  EXPECT_EQ(link_->Exchange(1, 100), 1);
  EXPECT_EQ(link_->lastError, kTextNoReply);
}

TEST_F(ExchangeTest, ReplyOf1024BytesIsAcceptedAnd1025Rejected) {
  // A streaming reply whose frame is exactly 1024 bytes: flag, 1020 packet
  // bytes, CRC, flag (the filler is chosen so that nothing needs stuffing).
  Bytes packet(1020, 0x11);
  packet[0] = 0x12;
  Bytes frame = EncodeFrame(packet, true);
  ASSERT_EQ(frame.size(), 1024u);
  Request(LinkProtocol::Streaming, Hex("09 11"), 0x09);
  AnswerEvery(frame);
  EXPECT_EQ(link_->Exchange(1, 300), 1);
  EXPECT_EQ(codec_.parsed.size(), 1020u);

  Bytes longer = frame;
  longer.insert(longer.begin(), kFlag);
  Request(LinkProtocol::Streaming, Hex("09 11"), 0x09);
  AnswerEvery(longer);
  EXPECT_EQ(link_->Exchange(2, 300), 0);
  EXPECT_EQ(link_->lastError, kTextReplyTooLarge);
  EXPECT_EQ(frames_.size(), 3u);
}

TEST_F(ExchangeTest, ReplyInTwoPartsIsReadWhenTheFirstPartSettles) {
  Request(LinkProtocol::Diag, Hex("01"), 0x01);
  Bytes reply = EncodeFrame(Hex("01 78 56 34 12"), false);
  answer_ = [&](size_t) { wire_->SendToHostInPieces(reply, 3, 5, 100); };
  EXPECT_EQ(link_->Exchange(1, 300), 0);
  EXPECT_EQ(link_->lastError, kTextNoEndFlag);
  EXPECT_EQ(link_->rawReplyLength, 3u);
  // The rest arrives later and is discarded by the next request's write.
  clock_.Advance(500);
  EXPECT_GT(link_->port.BytesQueued(), 0);
  answer_ = nullptr;
  Request(LinkProtocol::Diag, Hex("01"), 0x01);
  EXPECT_EQ(link_->Exchange(1, 50), 0);
  EXPECT_EQ(link_->lastError, kTextNoReply);
}

TEST_F(ExchangeTest, ClosedPortFailsToSend) {
  link_->port.Close();
  Request(LinkProtocol::Diag, Hex("01"), 0x01);
  EXPECT_EQ(link_->Exchange(2, 300), 0);
  EXPECT_EQ(link_->lastError, kTextSendFailed);
  EXPECT_EQ(clock_.NowMs(), 0u);
}

TEST_F(ExchangeTest, RawReplyIsLeftUndecoded) {
  link_->ResetRequest();
  link_->protocol = LinkProtocol::Raw;
  const Bytes packet = Hex("4B A1 00 00 01");
  std::copy(packet.begin(), packet.end(), link_->frameBuffer.begin());
  link_->frameLength = static_cast<uint32_t>(packet.size());
  AnswerEvery(Hex("4B A1 00 00 00 12 34 7E"));
  EXPECT_EQ(link_->Exchange(1, 1000), 1);
  EXPECT_EQ(link_->replyLength, 8u);
  EXPECT_EQ(Bytes(link_->replyBuffer.begin(), link_->replyBuffer.begin() + 8),
            Hex("4B A1 00 00 00 12 34 7E"));
  EXPECT_EQ(frames_[0], EncodeFrame(packet, false));
  EXPECT_EQ(codec_.parses, 0);
}

// ---- streaming writes ----

Bytes BlockWritten(uint32_t address) {
  return EncodeFrame(Bytes{0x08, static_cast<uint8_t>(address), static_cast<uint8_t>(address >> 8),
                           static_cast<uint8_t>(address >> 16), static_cast<uint8_t>(address >> 24)},
                     true);
}

TEST_F(ExchangeTest, StreamWriteWithoutReplyCountsAsSent) {
  Request(LinkProtocol::Streaming, Hex("07 00 00 00 00 AA"), 0x07);
  EXPECT_EQ(link_->ExchangeStreamWrite(3000), 1);
  // Samples in steps of 5 + 8 ms until more than 3000 ms have passed.
  EXPECT_EQ(clock_.NowMs(), 3003u);
  EXPECT_EQ(link_->lastError, "time is 3003(ms)");
}

TEST_F(ExchangeTest, StreamWriteKeepsEarlierRepliesAndCollectsBoth) {
  wire_->SendToHost(BlockWritten(0x000));  // reply to an earlier block, still queued
  Request(LinkProtocol::Streaming, Hex("07 00 04 00 00 AA"), 0x07);
  AnswerEvery(BlockWritten(0x400), 2);
  EXPECT_EQ(link_->ExchangeStreamWrite(3000), 1);
  ASSERT_EQ(link_->ackCount, 2);
  EXPECT_EQ(link_->ackAddresses[0], 0x000u);
  EXPECT_EQ(link_->ackAddresses[1], 0x400u);
  EXPECT_EQ(link_->lastError, "time is 13(ms)");
}

TEST_F(ExchangeTest, StreamWriteNeverReadsMoreThanTheReplyBuffer) {
  Bytes flood;
  while (flood.size() < 1100) {
    Bytes r = BlockWritten(static_cast<uint32_t>(flood.size()));
    flood.insert(flood.end(), r.begin(), r.end());
  }
  Request(LinkProtocol::Streaming, Hex("07 00 00 00 00 AA"), 0x07);
  AnswerEvery(flood, 1);
  link_->ExchangeStreamWrite(3000);
  EXPECT_EQ(link_->port.BytesQueued(), static_cast<int>(flood.size() - PhoneLink::kReplyCapacity));
}

TEST_F(ExchangeTest, PipelinedSendsAndCollection) {
  Bytes data(1024, 0x55);
  for (uint32_t block = 0; block < 3; ++block) {
    ASSERT_EQ(link_->BuildStreamWriteFrame(data.data(), block * 1024, 1024), 1);
    ASSERT_EQ(link_->SendFrameOnly(), 1);
  }
  ASSERT_EQ(frames_.size(), 3u);
  EXPECT_EQ(link_->CollectReplies(), 1);  // nothing queued yet
  wire_->SendToHost(BlockWritten(0));
  wire_->SendToHost(BlockWritten(1024));
  link_->ackCount = 7;
  EXPECT_EQ(link_->CollectReplies(), 1);
  ASSERT_EQ(link_->ackCount, 2);
  EXPECT_EQ(link_->ackAddresses[1], 1024u);
}

TEST_F(ExchangeTest, CollectionWithNothingQueuedLeavesTheAcknowledgedList) {
  link_->ackCount = 3;
  EXPECT_EQ(link_->CollectReplies(), 1);
  EXPECT_EQ(link_->ackCount, 3);
}

}  // namespace
}  // namespace quorrel::testing

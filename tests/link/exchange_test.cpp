#include <gtest/gtest.h>

#include "link/status_texts.h"
#include "link_fixture.h"

namespace quorrel::testing {
namespace {

class ExchangeTest : public LinkTest {
 protected:
  void SetUp() override { OpenPort(); }
};

TEST_F(ExchangeTest, DiagReplyIsDecodedOnceItSettles) {
  Request(LinkProtocol::Diag, Hex("01"));
  AnswerEvery(EncodeFrame(Hex("01 78 56 34 12"), false), 25);
  EXPECT_EQ(Exchange(1, 300), 1);
  EXPECT_EQ(parsed_, Hex("01 78 56 34 12"));
  ASSERT_EQ(frames_.size(), 1u);
  EXPECT_EQ(frames_[0], Hex("01 F1 E1 7E"));
  // Samples every 10 ms: the reply arrives at 25, is first seen at 30 and has
  // not grown at 40.
  EXPECT_EQ(clock_.NowMs(), 40u);
}

TEST_F(ExchangeTest, NvRequestsSampleEveryThirtyMilliseconds) {
  Request(LinkProtocol::Diag, Hex("26 16 00"));
  AnswerEvery(EncodeFrame(Hex("26 16 00"), false), 25);
  EXPECT_EQ(Exchange(1, 2000), 1);
  EXPECT_EQ(clock_.NowMs(), 60u);
}

TEST_F(ExchangeTest, NoReplyFailsEveryTryAfterItsTimeout) {
  Request(LinkProtocol::Diag, Hex("27 00 00"));
  EXPECT_EQ(Exchange(3, 2000), 0);
  EXPECT_EQ(link_->LastError(), kTextNoReply);
  ASSERT_EQ(frames_.size(), 3u);
  // Each try waits until more than 2000 ms have passed, in 30 ms steps.
  EXPECT_EQ(write_times_[1] - write_times_[0], 2010u);
  EXPECT_EQ(write_times_[2] - write_times_[1], 2010u);
  EXPECT_EQ(frames_[0], frames_[2]);
}

TEST_F(ExchangeTest, ErrorReplyIsRetriedUpToTries) {
  Request(LinkProtocol::Diag, Hex("29 02 00"));
  AnswerEvery(EncodeFrame(Hex("13 29 02 00"), false));
  EXPECT_EQ(Exchange(3, 1000), 0);
  EXPECT_EQ(frames_.size(), 3u);
  EXPECT_EQ(link_->LastError(), "Bad command");
  EXPECT_EQ(parses_, 0);
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
    Request(LinkProtocol::Diag, Hex("01"));
    AnswerEvery(EncodeFrame(Hex(code), false));
    EXPECT_EQ(Exchange(1, 300), 0);
    EXPECT_EQ(link_->LastError(), text) << code;
  }
}

TEST_F(ExchangeTest, SuccessOnALaterTry) {
  Request(LinkProtocol::Dmss, Hex("06"));
  answer_ = [this](size_t n) {
    if (n == 2) wire_->SendToHost(Hex("7E 02 6A D3 7E"), 5);
  };
  EXPECT_EQ(Exchange(3, 500), 1);
  EXPECT_EQ(frames_.size(), 2u);
}

TEST_F(ExchangeTest, LastErrorSurvivesALaterSuccess) {
  Request(LinkProtocol::Diag, Hex("01"));
  EXPECT_EQ(Exchange(1, 100), 0);
  EXPECT_EQ(link_->LastError(), kTextNoReply);
  AnswerEvery(EncodeFrame(Hex("01 00 00 00 00"), false));
  Request(LinkProtocol::Diag, Hex("01"));
  EXPECT_EQ(Exchange(1, 100), 1);
  EXPECT_EQ(link_->LastError(), kTextNoReply);
}

TEST_F(ExchangeTest, ReplyOf1024BytesIsAcceptedAnd1025Rejected) {
  // A streaming reply whose frame is exactly 1024 bytes: flag, 1020 packet
  // bytes, CRC, flag (the filler is chosen so that nothing needs stuffing).
  Bytes packet(1020, 0x11);
  packet[0] = 0x12;
  Bytes frame = EncodeFrame(packet, true);
  ASSERT_EQ(frame.size(), 1024u);
  Request(LinkProtocol::Streaming, Hex("09 11"));
  AnswerEvery(frame);
  EXPECT_EQ(Exchange(1, 300), 1);
  EXPECT_EQ(parsed_.size(), 1020u);

  Bytes longer = frame;
  longer.insert(longer.begin(), kFlag);
  Request(LinkProtocol::Streaming, Hex("09 11"));
  AnswerEvery(longer);
  EXPECT_EQ(Exchange(2, 300), 0);
  EXPECT_EQ(link_->LastError(), kTextReplyTooLarge);
  EXPECT_EQ(frames_.size(), 3u);
}

// ---- replies in pieces ----

struct SplitCase {
  const char* name;
  LinkProtocol protocol;
  const char* request;
  const char* packet;  // of the reply
};

class SplitReplies : public ExchangeTest, public ::testing::WithParamInterface<SplitCase> {};

TEST_P(SplitReplies, AreReadWholeWhereverTheyAreCut) {
  const SplitCase& c = GetParam();
  const bool leadingFlag = c.protocol != LinkProtocol::Diag;
  const Bytes reply = EncodeFrame(Hex(c.packet), leadingFlag);
  for (size_t cut = 1; cut < reply.size(); ++cut) {
    Request(c.protocol, Hex(c.request));
    parsed_.clear();
    // The first part settles long before the rest comes.
    answer_ = [&](size_t) {
      wire_->SendToHost(std::span<const uint8_t>(reply.data(), cut), 5);
      wire_->SendToHost(std::span<const uint8_t>(reply.data() + cut, reply.size() - cut), 120);
    };
    const uint64_t start = clock_.NowMs();
    ASSERT_EQ(Exchange(1, 300), 1) << "cut at " << cut << ": " << link_->LastError();
    EXPECT_EQ(parsed_, Hex(c.packet)) << "cut at " << cut;
    EXPECT_LE(clock_.NowMs() - start, 150u) << "taken as soon as it is whole";
  }
  // And one byte at a time, a sampling interval and more apart.
  Request(c.protocol, Hex(c.request));
  answer_ = [&](size_t) { wire_->SendToHostInPieces(reply, 1, 5, 12); };
  EXPECT_EQ(Exchange(1, 1000), 1) << link_->LastError();
  EXPECT_EQ(parsed_, Hex(c.packet));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SplitReplies,
    ::testing::Values(SplitCase{"Diag", LinkProtocol::Diag, "01", "01 78 56 34 12"},
                      // Flag and escape bytes in the packet and a stuffed CRC byte.
                      SplitCase{"DiagStuffed", LinkProtocol::Diag, "01", "01 7E 7D 00 57"},
                      SplitCase{"Dmss", LinkProtocol::Dmss, "06", "02"},
                      SplitCase{"Streaming", LinkProtocol::Streaming, "09 11", "00 52"}),
    [](const ::testing::TestParamInfo<SplitCase>& p) { return std::string(p.param.name); });

TEST_F(ExchangeTest, ReplyStillUnfinishedAtTheTimeOutFailsTheTry) {
  Request(LinkProtocol::Diag, Hex("01"));
  const Bytes reply = EncodeFrame(Hex("01 78 56 34 12"), false);
  answer_ = [&](size_t) { wire_->SendToHostInPieces(reply, 3, 5, 250); };
  EXPECT_EQ(Exchange(1, 300), 0);
  EXPECT_EQ(link_->LastError(), kTextNoEndFlag);
  // The try ends with its time-out, not before and not long after.
  EXPECT_EQ(clock_.NowMs(), 310u);
}

TEST_F(ExchangeTest, AReplyThatCameInTheLastSampleOfATryIsTakenNotSentForAgain) {
  // The last sample of a 300 ms try ends at 310; the reply is there by then.
  // (A thread held up past its time-out sees the same.)
  Request(LinkProtocol::Diag, Hex("01"));
  AnswerEvery(EncodeFrame(Hex("01 78 56 34 12"), false), 305);
  EXPECT_EQ(Exchange(2, 300), 1);
  EXPECT_EQ(parsed_, Hex("01 78 56 34 12"));
  EXPECT_EQ(frames_.size(), 1u);
}

TEST_F(ExchangeTest, BadFrameBeforeTheReplyIsSkipped) {
  Bytes corrupt = Hex("7E 02 6A D4 7E");
  const Bytes good = Hex("7E 02 6A D3 7E");
  Bytes both = corrupt;
  both.insert(both.end(), good.begin(), good.end());
  Request(LinkProtocol::Dmss, Hex("06"));
  AnswerEvery(both);
  EXPECT_EQ(Exchange(1, 300), 1) << link_->LastError();
  EXPECT_EQ(parsed_, Hex("02"));

  // A bad frame with nothing after it fails the try at once, as before.
  Request(LinkProtocol::Dmss, Hex("06"));
  AnswerEvery(corrupt);
  const uint64_t start = clock_.NowMs();
  EXPECT_EQ(Exchange(1, 300), 0);
  EXPECT_EQ(link_->LastError(), kTextWrongCrc);
  EXPECT_EQ(clock_.NowMs() - start, 20u);
}

TEST_F(ExchangeTest, RawReplyIsWaitedForUntilItsFrameEnds) {
  Request(LinkProtocol::Raw, Hex("4B A3 06 00"));
  const Bytes reply = Hex("4B A3 06 00 11 22 33 44 55 66 77 88 12 34 7E");
  answer_ = [&](size_t) { wire_->SendToHostInPieces(reply, 4, 5, 40); };
  EXPECT_EQ(Exchange(1, 1000), 1);
  const auto raw = link_->RawReply();
  EXPECT_EQ(Bytes(raw.begin(), raw.end()), reply);
}

TEST_F(ExchangeTest, ZeroTriesFailWithoutSending) {
  Request(LinkProtocol::Diag, Hex("01"));
  AnswerEvery(EncodeFrame(Hex("01 00 00 00 00"), false));
  EXPECT_EQ(Exchange(0, 300), 0);
  EXPECT_EQ(link_->LastError(), kTextNoTries);
  EXPECT_TRUE(frames_.empty());
}

TEST_F(ExchangeTest, ClosedPortFailsToSend) {
  link_->Port().Close();
  Request(LinkProtocol::Diag, Hex("01"));
  EXPECT_EQ(Exchange(2, 300), 0);
  EXPECT_EQ(link_->LastError(), kTextSendFailed);
  EXPECT_EQ(clock_.NowMs(), 0u);
}

TEST_F(ExchangeTest, RawReplyIsLeftUndecoded) {
  const Bytes packet = Hex("4B A1 00 00 01");
  Request(LinkProtocol::Raw, packet);
  AnswerEvery(Hex("4B A1 00 00 00 12 34 7E"));
  EXPECT_EQ(Exchange(1, 1000), 1);
  const auto raw = link_->RawReply();
  EXPECT_EQ(Bytes(raw.begin(), raw.end()), Hex("4B A1 00 00 00 12 34 7E"));
  EXPECT_EQ(frames_[0], EncodeFrame(packet, false));
  EXPECT_EQ(parses_, 0);
}

// ---- streaming writes ----

TEST_F(ExchangeTest, StreamWriteWithoutReplyCountsAsSent) {
  Request(LinkProtocol::Streaming, Hex("07 00 00 00 00 AA"));
  EXPECT_EQ(StreamWrite(3000), 1);
  // Samples in steps of 5 + 8 ms until more than 3000 ms have passed.
  EXPECT_EQ(clock_.NowMs(), 3003u);
  EXPECT_EQ(link_->LastError(), "time is 3003(ms)");
}

TEST_F(ExchangeTest, StreamWriteKeepsEarlierRepliesAndCollectsBoth) {
  wire_->SendToHost(BlockWritten(0x000));  // reply to an earlier block, still queued
  Request(LinkProtocol::Streaming, Hex("07 00 04 00 00 AA"));
  AnswerEvery(BlockWritten(0x400), 2);
  EXPECT_EQ(StreamWrite(3000), 1);
  EXPECT_EQ(Acks(), (std::vector<uint32_t>{0x000, 0x400}));
  EXPECT_EQ(link_->LastError(), "time is 13(ms)");
}

TEST_F(ExchangeTest, StreamWriteNeverReadsMoreThanTheReplyBuffer) {
  Bytes flood;
  while (flood.size() < 1100) {
    Bytes r = BlockWritten(static_cast<uint32_t>(flood.size()));
    flood.insert(flood.end(), r.begin(), r.end());
  }
  Request(LinkProtocol::Streaming, Hex("07 00 00 00 00 AA"));
  AnswerEvery(flood, 1);
  // Read a buffer at a time; the reply cut by the first read's end is
  // finished by the second.
  EXPECT_EQ(StreamWrite(3000), 1) << link_->LastError();
  EXPECT_EQ(link_->Port().BytesQueued(), 0);
  EXPECT_EQ(link_->Acknowledged().size(), PhoneLink::kMaxAcks);
}

TEST_F(ExchangeTest, PipelinedSendsAndCollection) {
  Bytes data(1024, 0x55);
  for (uint32_t block = 0; block < 3; ++block) {
    const Bytes head = {0x07, 0x00, static_cast<uint8_t>(block * 4), 0x00, 0x00};
    ASSERT_TRUE(link_->Send(head, data));
  }
  ASSERT_EQ(frames_.size(), 3u);
  EXPECT_EQ(Collect(), 1);  // nothing queued yet
  wire_->SendToHost(BlockWritten(0));
  wire_->SendToHost(BlockWritten(1024));
  EXPECT_EQ(Collect(), 1);
  EXPECT_EQ(Acks(), (std::vector<uint32_t>{0, 1024}));
  // Nothing more queued: the list stays.
  EXPECT_EQ(Collect(), 1);
  EXPECT_EQ(Acks(), (std::vector<uint32_t>{0, 1024}));
}

Bytes Joined(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

TEST_F(ExchangeTest, StreamWriteWaitsForTheRestOfItsReply) {
  Request(LinkProtocol::Streaming, Hex("07 00 04 00 00 AA"));
  const Bytes reply = BlockWritten(0x400);
  answer_ = [&](size_t) { wire_->SendToHostInPieces(reply, 2, 3, 30); };
  EXPECT_EQ(StreamWrite(3000), 1);
  EXPECT_EQ(Acks(), (std::vector<uint32_t>{0x400}));
  EXPECT_EQ(link_->Port().BytesQueued(), 0);
  EXPECT_LT(clock_.NowMs(), 200u);
}

TEST_F(ExchangeTest, StreamWriteErrorReplySharingTheFlagOfTheReplyBeforeIsSeen) {
  Request(LinkProtocol::Streaming, Hex("07 00 04 00 00 AA"));
  const Bytes error = StreamError(14);
  AnswerEvery(Joined({BlockWritten(0x000), Bytes(error.begin() + 1, error.end())}), 2);
  EXPECT_EQ(StreamWrite(3000), 0);
  EXPECT_EQ(link_->LastError(), "NAND flash programming not supported");
  EXPECT_EQ(Acks(), (std::vector<uint32_t>{0x000}));
}

TEST_F(ExchangeTest, StreamReplyCutOffByTheTimeOutIsFinishedByTheNextCollection) {
  Request(LinkProtocol::Streaming, Hex("07 00 04 00 00 AA"));
  const Bytes reply = BlockWritten(0x400);
  answer_ = [&](size_t) {
    wire_->SendToHost(std::span<const uint8_t>(reply.data(), 4), 2);
    wire_->SendToHost(std::span<const uint8_t>(reply.data() + 4, reply.size() - 4), 5000);
  };
  EXPECT_EQ(StreamWrite(3000), 1);
  EXPECT_TRUE(link_->Acknowledged().empty());
  answer_ = nullptr;
  clock_.Advance(3000);
  EXPECT_EQ(Collect(), 1) << link_->LastError();
  EXPECT_EQ(Acks(), (std::vector<uint32_t>{0x400}));
}

TEST_F(ExchangeTest, AcknowledgementSplitAcrossTwoCollections) {
  const Bytes middle = BlockWritten(0x400);
  const size_t cut = 5;
  wire_->SendToHost(Joined({BlockWritten(0x000), Bytes(middle.begin(), middle.begin() + cut)}));
  EXPECT_EQ(Collect(), 1) << link_->LastError();
  EXPECT_EQ(Acks(), (std::vector<uint32_t>{0x000}));
  wire_->SendToHost(Joined(
      {Bytes(middle.begin() + cut, middle.end()), BlockWritten(0x800), BlockWritten(0xC00)}));
  EXPECT_EQ(Collect(), 1) << link_->LastError();
  EXPECT_EQ(Acks(), (std::vector<uint32_t>{0x400, 0x800, 0xC00}));
}

TEST_F(ExchangeTest, AnExchangeForgetsAReplyCutOffBeforeIt) {
  // The write of a new request throws the queued bytes away, and with them
  // the start of the reply they were part of.
  const Bytes ack = BlockWritten(0x400);
  wire_->SendToHost(Bytes(ack.begin(), ack.begin() + 4));
  EXPECT_EQ(Collect(), 1);
  Request(LinkProtocol::Streaming, Hex("09 11"));
  AnswerEvery(Hex("7E 09 11 57 D9 7E"));
  EXPECT_EQ(Exchange(1, 300), 1);
  // Its tail reads as a spoilt frame: skipped, not fatal.
  wire_->SendToHost(Joined({Bytes(ack.begin() + 4, ack.end()), BlockWritten(0x800)}));
  EXPECT_EQ(Collect(), 1);
  EXPECT_EQ(Acks(), (std::vector<uint32_t>{0x800}));
}

}  // namespace
}  // namespace quorrel::testing

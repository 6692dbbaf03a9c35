// The downloader's and the programmer's requests and replies on byte
// vectors, without a link.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <functional>
#include <string>

#include "download/dmss.h"
#include "download/streaming.h"
#include "support/peer_link.h"

namespace quorrel {
namespace {

using testsupport::Bytes;
using testsupport::Concat;
using testsupport::Hex;

struct EncodeCase {
  const char* name;
  std::function<size_t(std::span<uint8_t>)> encode;
  Bytes packet;
};

void ExpectEncodes(const EncodeCase& c, size_t capacity) {
  std::vector<uint8_t> buffer(capacity);
  const size_t n = c.encode(buffer);
  EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + static_cast<long>(n)), c.packet) << c.name;
  // A buffer one byte short takes nothing.
  Bytes small(c.packet.size() - 1);
  EXPECT_EQ(c.encode(small), 0u) << c.name;
}

TEST(DmssPackets, RequestsAreByteExactAndBigEndian) {
  const Bytes data = Hex("7E 7D 00");
  const EncodeCase cases[] = {
      {"write", [&](auto out) { return dmss::EncodeWrite(0x01020304, data, out); },
       Hex("0F 01 02 03 04 00 03 7E 7D 00")},
      {"empty write", [](auto out) { return dmss::EncodeWrite(0x10, {}, out); },
       Hex("0F 00 00 00 10 00 00")},
      {"go", [](auto out) { return dmss::EncodeGo(0x0080, 0x1234, out); }, Hex("05 00 80 12 34")},
      {"no-op", [](auto out) { return dmss::EncodeCodeOnly(dmss::kNoOp, out); }, Hex("06")},
      {"reset", [](auto out) { return dmss::EncodeCodeOnly(dmss::kReset, out); }, Hex("0A")},
  };
  for (const EncodeCase& c : cases) ExpectEncodes(c, dmss::kMaxRequest);
}

TEST(DmssPackets, AWriteLongerThanAPacketCarriesIsNotEncoded) {
  std::vector<uint8_t> buffer(dmss::kMaxRequest);
  const Bytes largest(kMaxWriteData, 0x55);
  EXPECT_EQ(dmss::EncodeWrite(0, largest, buffer), dmss::kMaxRequest);
  const Bytes tooLong(kMaxWriteData + 1, 0x55);
  EXPECT_EQ(dmss::EncodeWrite(0, tooLong, buffer), 0u);
}

TEST(DmssPackets, RepliesAreAcceptedButRejects) {
  const struct {
    Bytes reply;
    bool accepted;
    uint16_t reasonOrCode;
  } cases[] = {
      {Hex("02"), true, dmss::kAck},
      {Hex("0D 0E 00 00 00"), true, 0x0D},  // the programmer's error reply is not a reject
      {Hex("03 00 06"), false, 6},
      {Hex("03 01 02"), false, 0x0102},
      {Hex("03"), false, 0},  // a reject too short for its reason
  };
  for (const auto& c : cases) {
    const auto parsed = dmss::ParseReply(c.reply);
    ASSERT_EQ(parsed.ok(), c.accepted);
    EXPECT_EQ(parsed.ok() ? *parsed : parsed.error().reason, c.reasonOrCode);
  }
}

TEST(DmssPackets, FlashParametersOfTheParameterReplyOnly) {
  const auto params = dmss::ParseParameters(Hex("08 05 02 78 56 34 12 09 04 22"));
  ASSERT_TRUE(params.ok());
  EXPECT_EQ(params->version, 5);
  EXPECT_EQ(params->minVersion, 2);
  EXPECT_EQ(params->value32, 0x12345678u);
  EXPECT_EQ(params->model, 9);
  EXPECT_EQ(params->flashSizeBytes, 0x00200000u);
  EXPECT_EQ(params->flashKind, 0x22);
  EXPECT_STREQ(params->flashText1.data(), "Unknown");

  // Out-of-range size codes and kinds read as unknown (0); a short reply
  // reads zeros.
  const auto odd = dmss::ParseParameters(Hex("08 05 02 00 00 00 00 01 07 23"));
  ASSERT_TRUE(odd.ok());
  EXPECT_EQ(odd->rawSizeCode, 7);
  EXPECT_EQ(odd->sizeCode, 0);
  EXPECT_EQ(odd->flashSizeBytes, 0u);
  EXPECT_EQ(odd->flashKind, 0);
  const auto cut = dmss::ParseParameters(Hex("08 05"));
  ASSERT_TRUE(cut.ok());
  EXPECT_EQ(cut->version, 5);
  EXPECT_EQ(cut->flashSizeBytes, 0u);

  // Another accepted reply hands out no parameters; a reject refuses.
  const auto ack = dmss::ParseParameters(Hex("02"));
  ASSERT_TRUE(ack.ok());
  EXPECT_EQ(ack->replyCode, 0);
  EXPECT_EQ(ack->version, 0);
  EXPECT_FALSE(dmss::ParseParameters(Hex("03 00 07")).ok());
}

const std::string kMagicHex = "51434F4D206661737420646F776E6C6F61642070726F746F636F6C20686F7374";

TEST(StreamPackets, RequestsAreByteExactAndLittleEndian) {
  const Bytes table = Hex("AA 7E BB");
  const Bytes header = Hex("01 02 03 04");
  const EncodeCase cases[] = {
      {"hello", [](auto out) { return stream::EncodeHello(out); },
       Hex("01" + kMagicHex + "02 02 03")},
      {"no-op", [](auto out) { return stream::EncodeNoOp(out); }, Hex("09 11")},
      {"security mode", [](auto out) { return stream::EncodeSecurityMode(out); }, Hex("17 01")},
      {"close", [](auto out) { return stream::EncodeCodeOnly(stream::kClose, out); }, Hex("15")},
      {"partition table", [&](auto out) { return stream::EncodePartitionTable(table, out); },
       Hex("19 01 AA 7E BB")},
      {"open type 3 (no header)",
       [&](auto out) { return stream::EncodeOpenMultiImage(3, header, out); }, Hex("1B 03")},
      {"open type 5 (header)",
       [&](auto out) { return stream::EncodeOpenMultiImage(5, header, out); },
       Hex("1B 05 01 02 03 04")},
      {"open type 7 (unknown)",
       [&](auto out) { return stream::EncodeOpenMultiImage(7, header, out); }, Hex("1B")},
      {"write", [&](auto out) { return stream::EncodeWrite(0x01020304, table, out); },
       Hex("07 04 03 02 01 AA 7E BB")},
  };
  for (const EncodeCase& c : cases) ExpectEncodes(c, stream::kMaxRequest);
  const auto head = stream::WriteHead(0x0007E7DC);
  EXPECT_EQ(Bytes(head.begin(), head.end()), Hex("07 DC E7 07 00"));
}

TEST(StreamPackets, TablesHeadersAndDataLongerThanARequestCarriesAreNotEncoded) {
  std::vector<uint8_t> buffer(stream::kMaxRequest);
  const Bytes block(stream::kMaxDataBlock + 1, 0x11);
  EXPECT_EQ(stream::EncodePartitionTable(block, buffer), 0u);
  EXPECT_EQ(stream::EncodeOpenMultiImage(4, block, buffer), 0u);
  const Bytes data(kMaxWriteData + 1, 0x11);
  EXPECT_EQ(stream::EncodeWrite(0, data, buffer), 0u);
  EXPECT_EQ(stream::EncodeWrite(0, Bytes(kMaxWriteData, 0x11), buffer), stream::kMaxRequest);
}

TEST(StreamPackets, RepliesAreAcceptedButErrorReplies) {
  const auto ok = stream::ParseReply(Hex("02 01 02"));
  ASSERT_TRUE(ok.ok());
  EXPECT_EQ(*ok, 0x02);
  const auto error = stream::ParseReply(Hex("0D 0E 00 00 00"));
  ASSERT_FALSE(error.ok());
  EXPECT_EQ(error.error().code, 14u);
  const auto shortError = stream::ParseReply(Hex("0D 12"));
  ASSERT_FALSE(shortError.ok());
  EXPECT_EQ(shortError.error().code, 0x12u);
}

}  // namespace
}  // namespace quorrel

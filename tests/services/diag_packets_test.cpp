// The diagnostic requests and replies on byte vectors, without a link.
#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <numeric>
#include <string>

#include "services/diag_codec.h"
#include "support/nv_pattern.h"
#include "support/peer_link.h"

namespace quorrel {
namespace {

using testsupport::Bytes;
using testsupport::Concat;
using testsupport::Hex;
using testsupport::Pattern;

struct EncodeCase {
  const char* name;
  std::function<size_t(std::span<uint8_t>)> encode;
  Bytes packet;
};

TEST(DiagPackets, RequestsAreByteExact) {
  const auto nvData = Pattern(1);
  const EncodeCase cases[] = {
      {"esn", [](auto out) { return diag::EncodeCodeOnly(diag::kEsn, out); }, Hex("01")},
      {"mode reset", [](auto out) { return diag::EncodeModeChange(2, out); }, Hex("29 02 00")},
      {"mode 0x1234", [](auto out) { return diag::EncodeModeChange(0x1234, out); },
       Hex("29 34 12")},
      {"nv read",
       [&](auto out) { return diag::EncodeNvRequest(diag::kNvRead, 0x1234, nvData, out); },
       Concat({Hex("26 34 12"), nvData, Hex("00 00")})},
      {"spc", [](auto out) { return diag::EncodeSpc("123456", out); }, Hex("41 31 32 33 34 35 36")},
      {"spc short, padded", [](auto out) { return diag::EncodeSpc("12", out); },
       Hex("41 31 32 30 30 30 30")},
      {"spc long, cut", [](auto out) { return diag::EncodeSpc("12345678", out); },
       Hex("41 31 32 33 34 35 36")},
      {"readiness poll", [](auto out) { return diag::EncodeReadinessPoll(out); },
       Hex("4B 04 0E 00")},
      {"vendor 5C", [](auto out) { return diag::EncodeVendor5C(out); }, Hex("5C 01 00 C2 01 00")},
  };
  for (const EncodeCase& c : cases) {
    std::array<uint8_t, diag::kMaxRequest> buffer{};
    const size_t n = c.encode(buffer);
    EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + static_cast<long>(n)), c.packet) << c.name;
    // A buffer one byte short takes nothing.
    Bytes small(c.packet.size() - 1);
    EXPECT_EQ(c.encode(small), 0u) << c.name;
  }
}

TEST(DiagPackets, ShortRepliesReadAsZerosNotPastTheirEnd) {
  EXPECT_EQ(diag::ParseEsn(Hex("01 78 56 34 12")), 0x12345678u);
  EXPECT_EQ(diag::ParseEsn(Hex("01 78")), 0x78u);
  EXPECT_EQ(diag::ParseReadiness(Hex("4B 04 0E 00 00")), 0);
  EXPECT_EQ(diag::ParseReadiness(Hex("4B 04 0E 00 03")), 3);
  EXPECT_EQ(diag::ParseReadiness(Hex("4B 04 0E 00")), diag::kReadinessUnknown);

  const diag::BuildVersion v = diag::ParseBuildVersion(
      Concat({Hex("7C AA BB CC 01 00 00 00 02 00 00 00"), Bytes{'V', '1'}}));
  EXPECT_EQ(v.head, (std::array<uint8_t, 3>{0xAA, 0xBB, 0xCC}));
  EXPECT_EQ(v.value1, 1u);
  EXPECT_EQ(v.value2, 2u);
  EXPECT_EQ(std::string(v.text.data()), "V1");
  EXPECT_EQ(v.text[255], 0);
}

struct NvCase {
  const char* name;
  uint8_t requestCode;
  uint16_t item;
  Bytes reply;
  bool accepted;
  std::string text;  // why not
};

TEST(DiagPackets, NvReplyIsTheAnswerToItsRequestOrRefusedWithWhy) {
  const auto data = Pattern(7);
  const Bytes whole = Concat({Hex("26 0A 00"), data, Hex("05 00")});
  Bytes longer = whole;
  longer.push_back(0);
  const NvCase cases[] = {
      {"answer", diag::kNvRead, 10, whole, true, ""},
      {"other command", diag::kNvWrite, 10, whole, false,
       "the Phone Answered Command 0x26 to an NV Request 0x27"},
      {"short", diag::kNvRead, 10, Hex("26 0A 00 01"), false,
       "the NV Reply is 4 Bytes Long instead of 133"},
      {"long", diag::kNvRead, 10, longer, false, "the NV Reply is 134 Bytes Long instead of 133"},
      {"other item", diag::kNvRead, 11, whole, false,
       "the Phone Answered for #10 NVItem instead of #11"},
  };
  for (const NvCase& c : cases) {
    const auto parsed = diag::ParseNvReply(c.requestCode, c.item, c.reply);
    ASSERT_EQ(parsed.ok(), c.accepted) << c.name;
    if (c.accepted) {
      EXPECT_EQ(parsed->item, c.item);
      EXPECT_EQ(parsed->data, data);
      EXPECT_EQ(parsed->status, 5);
    } else {
      EXPECT_EQ(diag::NvRefusalText(parsed.error()), c.text) << c.name;
    }
  }
}

}  // namespace
}  // namespace quorrel

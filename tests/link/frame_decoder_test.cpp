#include "link/frame_decoder.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "link_fixture.h"

namespace quorrel::testing {
namespace {

using Result = FrameDecoder::Result;
using Fault = FrameDecoder::Fault;

// What a decoder made of a stream: "F:<packet hex>" per frame, "B:<fault>"
// per bad frame.
struct Seen {
  std::vector<std::string> events;
  bool pending = false;
};

std::string HexOf(std::span<const uint8_t> bytes) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string out;
  for (uint8_t b : bytes) {
    out += kDigits[b >> 4];
    out += kDigits[b & 15];
  }
  return out;
}

const char* FaultName(Fault f) {
  switch (f) {
    case Fault::None:
      return "none";
    case Fault::Check:
      return "check";
    case Fault::Aborted:
      return "aborted";
    case Fault::TooLong:
      return "long";
  }
  return "?";
}

// Feeds stream in pieces of the given lengths (the rest as one last piece).
Seen FeedInPieces(FrameDecoder& d, const Bytes& stream, const std::vector<size_t>& cuts) {
  Seen seen;
  size_t at = 0;
  auto feed = [&](size_t n) {
    std::span<const uint8_t> rest(stream.data() + at, n);
    at += n;
    while (!rest.empty()) {
      FrameDecoder::Event e = d.Feed(rest);
      EXPECT_LE(e.consumed, rest.size());
      EXPECT_GT(e.consumed, 0u);
      rest = rest.subspan(e.consumed);
      if (e.result == Result::Frame) seen.events.push_back("F:" + HexOf(e.packet));
      if (e.result == Result::BadFrame)
        seen.events.push_back(std::string("B:") + FaultName(e.fault));
      if (e.result == Result::NeedMore) {
        EXPECT_TRUE(rest.empty());
      }
    }
  };
  for (size_t n : cuts) feed(std::min(n, stream.size() - at));
  feed(stream.size() - at);
  seen.pending = d.Pending();
  return seen;
}

Seen FeedAll(const Bytes& stream, FrameDecoder::Start start = FrameDecoder::Start::Flagged) {
  FrameDecoder d(start);
  return FeedInPieces(d, stream, {});
}

Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

Bytes Without(Bytes frame, size_t leading) {
  frame.erase(frame.begin(), frame.begin() + static_cast<long>(leading));
  return frame;
}

using Events = std::vector<std::string>;

TEST(FrameDecoder, FramingVariantsReadAlike) {
  const Bytes a = EncodeFrame(Hex("08 00 04 00 00"), true);
  const Bytes b = EncodeFrame(Hex("7E 7D 01"), true);  // stuffed packet bytes
  const Events both = {"F:0800040000", "F:7E7D01"};
  // Each with its own leading flag; sharing one flag; the first without any.
  EXPECT_EQ(FeedAll(Concat({a, b})).events, both);
  EXPECT_EQ(FeedAll(Concat({a, Without(b, 1)})).events, both);
  EXPECT_EQ(FeedAll(Concat({Without(a, 1), Without(b, 1)})).events, both);
  // Fill flags between frames are skipped.
  EXPECT_EQ(FeedAll(Concat({Hex("7E 7E"), a, Hex("7E 7E 7E"), b})).events, both);
  // Diagnostic replies carry no leading flag.
  EXPECT_EQ(FeedAll(EncodeFrame(Hex("01 02"), false), FrameDecoder::Start::Bare).events,
            Events{"F:0102"});
}

TEST(FrameDecoder, EverySplitOfAStreamGivesTheSameFrames) {
  const Bytes stream =
      Concat({EncodeFrame(Hex("08 7E 00 00 00"), true), EncodeFrame(Hex("0D 0E 00 00 00"), true),
              Without(EncodeFrame(Hex("00 52"), true), 1)});  // a stuffed CRC byte
  const Events whole = FeedAll(stream).events;
  ASSERT_EQ(whole.size(), 3u);
  for (size_t cut = 1; cut < stream.size(); ++cut) {
    FrameDecoder d;
    EXPECT_EQ(FeedInPieces(d, stream, {cut}).events, whole) << "cut at " << cut;
  }
  FrameDecoder d;
  EXPECT_EQ(FeedInPieces(d, stream, std::vector<size_t>(stream.size(), 1)).events, whole);
}

TEST(FrameDecoder, BadFramesAreReportedAndTheNextFramesStillRead) {
  const Bytes good = EncodeFrame(Hex("08 00 04 00 00"), true);
  Bytes corrupt = EncodeFrame(Hex("08 00 08 00 00"), true);
  corrupt[3] ^= 0x40;
  const Events seen = FeedAll(Concat({corrupt, good, good})).events;
  EXPECT_EQ(seen, (Events{"B:check", "F:0800040000", "F:0800040000"}));

  // An escape straight before a flag aborts the frame it is in.
  EXPECT_EQ(FeedAll(Concat({Hex("7E 08 00 7D 7E"), good})).events,
            (Events{"B:aborted", "F:0800040000"}));
  // Too short to hold a packet byte and its check.
  EXPECT_EQ(FeedAll(Concat({Hex("7E 00 00 7E"), good})).events,
            (Events{"B:check", "F:0800040000"}));
  // Line noise before a reply without its leading flag.
  EXPECT_EQ(FeedAll(Concat({Hex("55 AA"), good})).events, (Events{"B:check", "F:0800040000"}));
}

TEST(FrameDecoder, AFrameLongerThanTheBufferIsBadAndBounded) {
  Bytes huge(FrameDecoder::kCapacity * 3, 0x11);
  huge.insert(huge.begin(), kFlag);
  huge.push_back(kFlag);
  const Bytes good = EncodeFrame(Hex("02"), true);
  FrameDecoder d;
  EXPECT_EQ(FeedInPieces(d, Concat({huge, good}), {100, 5000}).events, (Events{"B:long", "F:02"}));
  // Exactly the capacity still fits.
  Bytes packet(FrameDecoder::kCapacity - 2, 0x11);
  EXPECT_EQ(FeedAll(EncodeFrame(packet, true)).events.size(), 1u);
  EXPECT_EQ(FeedAll(EncodeFrame(packet, true)).events[0][0], 'F');
}

TEST(FrameDecoder, PendingWhileAFrameHasBegun) {
  FrameDecoder d;
  EXPECT_FALSE(d.Pending());
  EXPECT_EQ(d.Feed(Hex("7E")).result, Result::NeedMore);
  EXPECT_TRUE(d.Pending()) << "an opening flag begins a frame";
  EXPECT_EQ(d.Feed(Hex("02 6A")).result, Result::NeedMore);
  EXPECT_TRUE(d.Pending());
  FrameDecoder::Event e = d.Feed(Hex("D3 7E 7E 02"));
  EXPECT_EQ(e.result, Result::Frame);
  EXPECT_EQ(e.consumed, 2u);
  EXPECT_EQ(e.rawLength, 5u);
  EXPECT_FALSE(d.Pending()) << "a closing flag ends it";
  d.Reset();
  EXPECT_FALSE(d.Pending());
  EXPECT_EQ(d.Feed(Hex("6A D3 7E")).result, Result::BadFrame)
      << "the reset forgot the frame's start";
}

TEST(FrameDecoder, ALoneFlagStartingADiagnosticStreamIsAnEmptyFrame) {
  EXPECT_EQ(FeedAll(Hex("7E"), FrameDecoder::Start::Bare).events, Events{"B:check"});
  EXPECT_TRUE(FeedAll(Hex("7E"), FrameDecoder::Start::Flagged).events.empty());
  // Behind it, the reply is read.
  EXPECT_EQ(
      FeedAll(Concat({Hex("7E"), EncodeFrame(Hex("01"), false)}), FrameDecoder::Start::Bare).events,
      (Events{"B:check", "F:01"}));
}

}  // namespace
}  // namespace quorrel::testing

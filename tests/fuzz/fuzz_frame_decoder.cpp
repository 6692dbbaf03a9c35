// The incremental frame decoder: whatever the bytes and however they are cut
// into reads, it takes at least one byte per call and never more than it was
// given, its frames fit its buffer, and feeding the same stream in pieces
// yields exactly the frames and bad frames of feeding it whole.
// Input: start kind, a seed for the cut points, then the stream.
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "link/frame_decoder.h"

using namespace quorrel;
using namespace quorrel::fuzz;

namespace {

struct Seen {
  FrameDecoder::Result result;
  FrameDecoder::Fault fault;
  Bytes packet;
  bool operator==(const Seen&) const = default;
};

// Every event of bytes fed in pieces whose lengths come from cuts (0: whole).
std::vector<Seen> Decode(FrameDecoder::Start start, std::span<const uint8_t> bytes,
                         uint8_t cutSeed) {
  FrameDecoder decoder(start);
  std::vector<Seen> seen;
  uint32_t state = cutSeed * 2654435761u + 1;
  size_t at = 0;
  while (at < bytes.size()) {
    size_t piece = bytes.size() - at;
    if (cutSeed != 0) {
      state = state * 1103515245u + 12345u;
      piece = std::min<size_t>(piece, 1 + (state >> 16) % 37);
    }
    std::span<const uint8_t> read = bytes.subspan(at, piece);
    at += piece;
    while (!read.empty()) {
      const FrameDecoder::Event e = decoder.Feed(read);
      FUZZ_CHECK(e.consumed >= 1 && e.consumed <= read.size());
      if (e.result == FrameDecoder::Result::NeedMore) FUZZ_CHECK(e.consumed == read.size());
      if (e.result == FrameDecoder::Result::Frame) {
        FUZZ_CHECK(e.packet.size() + 2 <= FrameDecoder::kCapacity);
        FUZZ_CHECK(e.fault == FrameDecoder::Fault::None);
      }
      read = read.subspan(e.consumed);
      if (e.result != FrameDecoder::Result::NeedMore) {
        seen.push_back(Seen{e.result, e.fault, Bytes(e.packet.begin(), e.packet.end())});
      }
    }
  }
  return seen;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Input in(data, size);
  const auto start =
      (in.Byte() & 1) != 0 ? FrameDecoder::Start::Bare : FrameDecoder::Start::Flagged;
  const uint8_t cutSeed = in.Byte();
  const std::span<const uint8_t> stream = in.Rest();
  const std::vector<Seen> whole = Decode(start, stream, 0);
  FUZZ_CHECK(Decode(start, stream, cutSeed == 0 ? 1 : cutSeed) == whole);
  return 0;
}

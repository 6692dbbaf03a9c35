#include "link/frame_decoder.h"

#include <algorithm>

#include "link/hdlc.h"

namespace quorrel {

void FrameDecoder::Reset(Start start) {
  start_ = start;
  length_ = 0;
  raw_ = 0;
  escaped_ = false;
  overflow_ = false;
  flagSeen_ = false;
  opening_ = false;
}

void FrameDecoder::Append(uint8_t b) {
  if (length_ < kCapacity) {
    frame_[length_++] = b;
  } else {
    overflow_ = true;
  }
}

FrameDecoder::Event FrameDecoder::Feed(std::span<const uint8_t> bytes) {
  for (size_t i = 0; i < bytes.size(); ++i) {
    const uint8_t b = bytes[i];
    if (b != kFlag) {
      ++raw_;
      if (escaped_) {
        escaped_ = false;
        Append(static_cast<uint8_t>(b ^ kEscapeXor));
      } else if (b == kEscape) {
        escaped_ = true;
      } else {
        Append(b);
      }
      continue;
    }
    if (raw_ == 0) {
      // Nothing since the last flag: an empty frame, which is only fill,
      // except as the very first frame of a stream without leading flags.
      const bool firstOfBare = start_ == Start::Bare && !flagSeen_;
      flagSeen_ = true;
      opening_ = true;
      if (firstOfBare) {
        Event bad;
        bad.result = Result::BadFrame;
        bad.fault = Fault::Check;
        bad.consumed = i + 1;
        bad.rawLength = 1;
        opening_ = false;
        return bad;
      }
      continue;
    }
    return Finish(i + 1);
  }
  Event more;
  more.consumed = bytes.size();
  return more;
}

std::optional<size_t> FrameDecoder::GoodFrom() const {
  // At least one packet byte and the two check bytes.
  const size_t last = length_ < 3 ? 0 : std::min(length_ - 3, kMaxNoise);
  for (size_t skip = 0; length_ >= 3 && skip <= last; ++skip) {
    if (FrameCheckGood(std::span<const uint8_t>(frame_.data() + skip, length_ - skip))) return skip;
  }
  return std::nullopt;
}

FrameDecoder::Event FrameDecoder::Finish(size_t consumed) {
  Event e;
  e.consumed = consumed;
  e.rawLength = raw_ + 1 + (flagSeen_ ? 1 : 0);
  if (escaped_) {
    // An escape straight before a flag aborts the frame.
    e.result = Result::BadFrame;
    e.fault = Fault::Aborted;
  } else if (overflow_) {
    e.result = Result::BadFrame;
    e.fault = Fault::TooLong;
  } else if (const std::optional<size_t> noise = GoodFrom()) {
    e.result = Result::Frame;
    e.noise = *noise;
    e.packet = std::span<const uint8_t>(frame_.data() + *noise, length_ - *noise - 2);
  } else {
    e.result = Result::BadFrame;
    e.fault = Fault::Check;
  }
  length_ = 0;
  raw_ = 0;
  escaped_ = false;
  overflow_ = false;
  flagSeen_ = true;
  opening_ = false;
  return e;
}

}  // namespace quorrel

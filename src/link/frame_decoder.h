// Incremental reader of the flag-delimited frames a phone sends back.
//
// Replies reach the port in whatever pieces the USB stack delivers. The
// decoder is fed those pieces as they are read and answers, for each call,
// "a frame", "a bad frame" or "need more", together with how many of the
// given bytes it took; an unfinished frame is kept for the next call. A flag
// both closes a frame and may open the next one, and two flags in a row are an
// empty frame that is skipped, so replies with their own leading flag, replies
// sharing one flag and replies without any leading flag all read alike. A bad
// frame (failed check, abort sequence, too long) is reported and the decoder
// carries on at the next flag, so it never hides the good frames after it.
// Stray bytes in front of a frame (line noise, the tail of something the
// modem sent earlier) are dropped when what follows them is a whole frame
// with a good check; the event says how many were dropped.
//
// Self-contained: bytes in, events out, nothing else is touched.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace quorrel {

class FrameDecoder {
 public:
  // Unstuffed bytes of one frame (packet and its two check bytes) that the
  // decoder holds; a longer frame is reported as bad.
  static constexpr size_t kCapacity = 1024;

  // How the stream of replies begins.
  enum class Start {
    // Download replies: a leading flag opens the first frame (it may be
    // missing).
    Flagged,
    // Diagnostic replies carry no leading flag: whatever comes before the
    // first flag is the first frame, so a lone flag there is an empty frame,
    // which is bad.
    Bare,
  };

  enum class Result { NeedMore, Frame, BadFrame };
  enum class Fault { None, Check, Aborted, TooLong };

  // The most stray bytes dropped in front of a frame whose check fails as
  // it stands.
  static constexpr size_t kMaxNoise = 64;

  struct Event {
    Result result = Result::NeedMore;
    // Bytes of the input taken up to and including the frame's closing flag
    // (NeedMore: all of them).
    size_t consumed = 0;
    Fault fault = Fault::None;
    // Frame: the packet without its check bytes. Valid until the next Feed
    // or Reset.
    std::span<const uint8_t> packet;
    // Frame and BadFrame: the bytes the frame took on the wire, its closing
    // flag and the flag before it (if any) included.
    size_t rawLength = 0;
    // Frame: stray bytes dropped in front of the packet (unstuffed).
    size_t noise = 0;
  };

  explicit FrameDecoder(Start start = Start::Flagged) : start_(start) {}

  // Forgets any unfinished frame; the next byte begins a new stream.
  void Reset(Start start);
  void Reset() { Reset(start_); }

  // Decodes from the front of bytes until one frame ends or the bytes run
  // out. Call again with the bytes after `consumed` for the frames behind.
  Event Feed(std::span<const uint8_t> bytes);

  // True while a frame has begun (bytes, or an opening flag) but not ended.
  bool Pending() const { return raw_ > 0 || opening_; }

 private:
  void Append(uint8_t b);
  Event Finish(size_t consumed);
  // The stray bytes in front of a frame with a good check in frame_; none
  // when no such frame is there.
  std::optional<size_t> GoodFrom() const;

  Start start_;
  std::array<uint8_t, kCapacity> frame_{};
  size_t length_ = 0;  // unstuffed bytes held
  size_t raw_ = 0;     // wire bytes of the frame so far, flags excluded
  bool escaped_ = false;
  bool overflow_ = false;
  bool flagSeen_ = false;  // a flag since the last Reset
  bool opening_ = false;   // the last flag closed nothing: a frame is opening
};

}  // namespace quorrel

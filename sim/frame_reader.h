// Splits the bytes a host sends to the diagnostic port into what the modem
// acts on: frames (unstuffed, CRC checked) and AT text lines. The reader is
// strict: everything the framing rules do not allow is noted on the item, and
// the modem decides what it means in its current mode.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace quorrel::sim {

struct HostFrame {
  std::vector<uint8_t> packet;  // unstuffed, without its two CRC bytes
  bool crcGood = false;
  bool leadingFlag = false;           // the frame was opened by a flag
  size_t rawLength = 0;               // bytes on the wire, flags included
  std::vector<std::string> problems;  // stuffing and length problems
};

struct ReaderItem {
  enum class Kind { Frame, AtLine, Noise };
  Kind kind = Kind::Frame;
  HostFrame frame;   // Frame
  std::string text;  // AtLine: the command without its CR; Noise: what was wrong
};

class FrameReader {
 public:
  // Diag: frames end with a flag and must not start with one. Download:
  // frames start and end with a flag.
  enum class Framing { Diag, Download };

  // Longest frame taken, flags and stuffing included; longer ones are noise.
  static constexpr size_t kMaxRawFrame = 4096;
  // Longest AT line.
  static constexpr size_t kMaxAtLine = 256;

  void SetFraming(Framing framing);
  Framing framing() const { return framing_; }
  // Forgets a partly received frame or line.
  void Reset();

  void Feed(const uint8_t* data, size_t length, std::vector<ReaderItem>& out);

 private:
  void FinishFrame(std::vector<ReaderItem>& out);
  bool LooksLikeAt() const;

  Framing framing_ = Framing::Diag;
  std::vector<uint8_t> raw_;  // bytes of the current frame or line (no flags)
  bool open_ = false;         // Download: a frame is open
  bool opened_by_flag_ = false;
  bool overflow_ = false;
};

}  // namespace quorrel::sim

#include "sim/frame_reader.h"

#include "link/hdlc.h"
#include "util/text.h"

namespace quorrel::sim {

void FrameReader::SetFraming(Framing framing) {
  framing_ = framing;
  Reset();
}

void FrameReader::Reset() {
  raw_.clear();
  open_ = false;
  opened_by_flag_ = false;
  overflow_ = false;
}

bool FrameReader::LooksLikeAt() const {
  return raw_.size() >= 2 && (raw_[0] == 'A' || raw_[0] == 'a') &&
         (raw_[1] == 'T' || raw_[1] == 't');
}

void FrameReader::FinishFrame(std::vector<ReaderItem>& out) {
  ReaderItem item;
  if (overflow_) {
    item.kind = ReaderItem::Kind::Noise;
    item.text = "frame longer than " + std::to_string(kMaxRawFrame) + " bytes";
    out.push_back(std::move(item));
    Reset();
    return;
  }
  HostFrame& frame = item.frame;
  frame.leadingFlag = opened_by_flag_;
  frame.rawLength = raw_.size() + (opened_by_flag_ ? 2 : 1);
  std::vector<uint8_t> body;
  body.reserve(raw_.size());
  for (size_t i = 0; i < raw_.size(); ++i) {
    uint8_t b = raw_[i];
    if (b != kEscape) {
      body.push_back(b);
      continue;
    }
    if (i + 1 >= raw_.size()) {
      frame.problems.push_back("escape byte right before the closing flag");
      break;
    }
    uint8_t decoded = static_cast<uint8_t>(raw_[++i] ^ kEscapeXor);
    if (!NeedsStuffing(decoded)) {
      frame.problems.push_back(Format("escaped byte 0x%02X needs no stuffing", decoded));
    }
    body.push_back(decoded);
  }
  if (body.size() < 3) {
    frame.problems.push_back(
        Format("frame of %zu bytes is too short for a packet and its CRC", body.size()));
    frame.crcGood = false;
    frame.packet = body;
  } else {
    frame.crcGood = FrameCheckGood(body);
    body.resize(body.size() - 2);
    frame.packet = std::move(body);
  }
  out.push_back(std::move(item));
  Reset();
}

void FrameReader::Feed(const uint8_t* data, size_t length, std::vector<ReaderItem>& out) {
  for (size_t i = 0; i < length; ++i) {
    uint8_t b = data[i];
    if (b == kFlag) {
      if (framing_ == Framing::Diag) {
        if (raw_.empty() && !overflow_) {
          ReaderItem item;
          item.kind = ReaderItem::Kind::Noise;
          item.text = "flag with no frame before it (a diagnostic request has no leading flag)";
          out.push_back(std::move(item));
          continue;
        }
        FinishFrame(out);
        continue;
      }
      // Download framing.
      if (!open_) {
        open_ = true;
        opened_by_flag_ = true;
        continue;
      }
      if (raw_.empty() && !overflow_) continue;  // flags back to back: still opening
      FinishFrame(out);
      continue;
    }
    if (framing_ == Framing::Download && !open_) {
      open_ = true;  // a frame without its leading flag
      opened_by_flag_ = false;
    }
    if (b == '\r' && LooksLikeAt() && (framing_ == Framing::Diag || !opened_by_flag_)) {
      ReaderItem item;
      item.kind = ReaderItem::Kind::AtLine;
      item.text.assign(raw_.begin(), raw_.end());
      out.push_back(std::move(item));
      Reset();
      continue;
    }
    if (raw_.size() >= kMaxRawFrame) {
      overflow_ = true;
      continue;
    }
    if (LooksLikeAt() && raw_.size() >= kMaxAtLine &&
        (framing_ == Framing::Diag || !opened_by_flag_)) {
      // A text line that never ends: give it up as noise.
      ReaderItem item;
      item.kind = ReaderItem::Kind::Noise;
      item.text = "AT text longer than " + std::to_string(kMaxAtLine) + " characters";
      out.push_back(std::move(item));
      Reset();
      continue;
    }
    raw_.push_back(b);
  }
}

}  // namespace quorrel::sim

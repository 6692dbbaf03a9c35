// What the fuzz targets share: a reader of the fuzzer's bytes (and the writer
// the seed program uses to make inputs in the same layout), a scratch root,
// scripted phone replies, and a modem transport whose timers run on demand.
//
// Header-only; each target includes it as "fuzz/fuzz_support.h".
#pragma once

#include <stdlib.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <span>
#include <string>
#include <system_error>
#include <vector>

#include "sim/device.h"
#include "support/scripted_peer.h"

namespace quorrel::fuzz {

using Bytes = std::vector<uint8_t>;

// Stops the run with a finding when a property does not hold.
#define FUZZ_CHECK(condition)                                                            \
  do {                                                                                   \
    if (!(condition)) {                                                                  \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                      \
    }                                                                                    \
  } while (0)

// Reads fields off the front of the input; past its end every field is zero
// and every byte run is short.
class Input {
 public:
  Input(const uint8_t* data, size_t size) : data_(data, size) {}

  bool empty() const { return at_ >= data_.size(); }
  uint8_t Byte() { return at_ < data_.size() ? data_[at_++] : 0; }
  uint16_t Le16() {
    const uint16_t low = Byte();
    return static_cast<uint16_t>(low | Byte() << 8);
  }
  std::span<const uint8_t> Take(size_t n) {
    n = std::min(n, data_.size() - std::min(at_, data_.size()));
    std::span<const uint8_t> out = data_.subspan(at_, n);
    at_ += n;
    return out;
  }
  // Length-prefixed (16 bits) bytes.
  std::span<const uint8_t> Block() { return Take(Le16()); }
  std::span<const uint8_t> Rest() { return Take(data_.size()); }

 private:
  std::span<const uint8_t> data_;
  size_t at_ = 0;
};

// The seed program's side of Input.
class Output {
 public:
  Output& Byte(uint8_t b) {
    bytes.push_back(b);
    return *this;
  }
  Output& Le16(uint16_t v) {
    return Byte(static_cast<uint8_t>(v)).Byte(static_cast<uint8_t>(v >> 8));
  }
  Output& Raw(std::span<const uint8_t> b) {
    bytes.insert(bytes.end(), b.begin(), b.end());
    return *this;
  }
  Output& Raw(std::string_view text) {
    bytes.insert(bytes.end(), text.begin(), text.end());
    return *this;
  }
  Output& Block(std::span<const uint8_t> b) { return Le16(static_cast<uint16_t>(b.size())).Raw(b); }

  Bytes bytes;
};

// QUORREL_ROOT points at a fresh temporary folder for the whole run; the
// folder goes at exit.
inline const std::filesystem::path& ScratchRoot() {
  static const std::filesystem::path root = [] {
    std::string templ = (std::filesystem::temp_directory_path() / "quorrel-fuzz-XXXXXX").string();
    if (::mkdtemp(templ.data()) == nullptr) std::abort();
    ::setenv("QUORREL_ROOT", templ.c_str(), 1);
    std::atexit([] {
      std::error_code ec;
      std::filesystem::remove_all(ScratchRoot(), ec);
    });
    return std::filesystem::path(templ);
  }();
  return root;
}

// One scripted reply: piece size (0: whole), delay before the first piece,
// and the bytes; a block of 0xFFFF bytes stands for a request left unanswered.
inline constexpr uint16_t kNoReply = 0xFFFF;

inline void WriteReply(Output& out, std::span<const uint8_t> bytes, uint8_t piece = 0,
                       uint16_t delayMs = 0) {
  out.Byte(piece).Le16(delayMs).Block(bytes);
}

inline void WriteSilence(Output& out) {
  out.Byte(0).Le16(0).Le16(kNoReply);
}

// Scripts the peer with the replies left in the input, in order, at most
// limit of them.
inline void ScriptReplies(Input& in, testsupport::ScriptedPeer& peer, size_t limit = 64) {
  for (size_t n = 0; n < limit && !in.empty(); ++n) {
    const uint8_t piece = in.Byte();
    const uint16_t delay = in.Le16();
    const uint16_t length = in.Le16();
    if (length == kNoReply) {
      peer.Ignore();
      continue;
    }
    const std::span<const uint8_t> bytes = in.Take(length);
    peer.AnswerInPieces(Bytes(bytes.begin(), bytes.end()), piece, delay, 7);
  }
}

// A modem transport with its own clock, whose timers run when the driver
// says so, and which keeps what the modem sent per port.
class ManualTransport : public sim::ModemTransport {
 public:
  uint64_t NowMs() override { return now_; }
  void Send(sim::PortRole role, std::vector<uint8_t> bytes, const sim::ReplyShape&) override {
    Bytes& sink = role == sim::PortRole::Diag ? diag : data;
    if (sink.size() < kKeep) sink.insert(sink.end(), bytes.begin(), bytes.end());
  }
  TimerId After(uint64_t delayMs, std::function<void()> fn) override {
    const TimerId id = next_++;
    timers_.emplace(std::make_pair(now_ + delayMs, id), std::move(fn));
    return id;
  }
  void CancelTimer(TimerId id) override {
    for (auto it = timers_.begin(); it != timers_.end(); ++it) {
      if (it->first.second == id) {
        timers_.erase(it);
        return;
      }
    }
  }
  sim::Enumeration Attach(const sim::Enumeration& proposed) override { return proposed; }
  void Detach() override {}

  // Moves the clock on by ms, running the timers that fall due on the way
  // (at most limit of them).
  void Advance(uint64_t ms, size_t limit = 64) {
    const uint64_t until = now_ + ms;
    for (size_t n = 0; n < limit && !timers_.empty(); ++n) {
      auto it = timers_.begin();
      if (it->first.first > until) break;
      now_ = std::max(now_, it->first.first);
      std::function<void()> fn = std::move(it->second);
      timers_.erase(it);
      fn();
    }
    now_ = std::max(now_, until);
  }
  // Runs every pending timer, however far ahead (at most limit of them).
  void RunAll(size_t limit = 64) {
    for (size_t n = 0; n < limit && !timers_.empty(); ++n) {
      Advance(timers_.begin()->first.first - std::min(now_, timers_.begin()->first.first), 1);
    }
  }

  static constexpr size_t kKeep = 1 << 16;
  Bytes diag;
  Bytes data;

 private:
  uint64_t now_ = 0;
  TimerId next_ = 1;
  std::map<std::pair<uint64_t, TimerId>, std::function<void()>> timers_;
};

}  // namespace quorrel::fuzz

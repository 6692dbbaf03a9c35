// A scripted far end for protocol tests: a virtual clock, a numbered in-memory
// port and a wire whose far end records every block the host writes (with the
// virtual time of the write) and answers each one with the next scripted
// reply, whole after a delay or trickling in pieces. When the script runs out
// the optional responder is asked, otherwise the peer stays silent.
//
// Header-only; include as "support/scripted_peer.h".
#pragma once

#include <cctype>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <stdexcept>
#include <string_view>
#include <vector>

#include "link/hdlc.h"
#include "platform/clock.h"
#include "platform/memory_wire.h"

namespace quorrel::testsupport {

using Bytes = std::vector<uint8_t>;

// "7E 05 00 80" (blanks optional) to bytes.
inline Bytes Hex(std::string_view text) {
  Bytes out;
  int high = -1;
  for (char c : text) {
    if (std::isspace(static_cast<unsigned char>(c))) continue;
    int v;
    if (c >= '0' && c <= '9')
      v = c - '0';
    else if (c >= 'a' && c <= 'f')
      v = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F')
      v = c - 'A' + 10;
    else
      throw std::invalid_argument("Hex: not a hex digit");
    if (high < 0) {
      high = v;
    } else {
      out.push_back(static_cast<uint8_t>(high << 4 | v));
      high = -1;
    }
  }
  if (high >= 0) throw std::invalid_argument("Hex: odd number of digits");
  return out;
}

inline Bytes Concat(std::initializer_list<std::span<const uint8_t>> parts) {
  Bytes out;
  for (auto part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

inline Bytes TextBytes(std::string_view text) {
  return Bytes(text.begin(), text.end());
}

// A diagnostic reply frame (no leading flag) and a download reply frame
// (leading and closing flag) around packet.
inline Bytes DiagFrame(std::span<const uint8_t> packet) {
  return EncodeFrame(packet, false);
}
inline Bytes DownloadFrame(std::span<const uint8_t> packet) {
  return EncodeFrame(packet, true);
}

class ScriptedPeer {
 public:
  struct Request {
    uint64_t atMs;
    Bytes bytes;
  };
  struct Reply {
    Bytes bytes;
    uint64_t delayMs = 0;
    size_t pieceSize = 0;  // 0: all at once
    uint64_t intervalMs = 0;
  };
  // Asked for the reply to a request when the script is empty; nullopt: silence.
  using Responder = std::function<std::optional<Reply>(std::span<const uint8_t> request)>;

  explicit ScriptedPeer(int portNumber = 1, uint64_t startMs = 0)
      : clock(startMs), wire(std::make_shared<MemoryWire>(clock)), port(portNumber) {
    ports.Attach(port, wire);
    wire->SetReceiver([this](std::span<const uint8_t> bytes) { OnHostWrite(bytes); });
  }
  ~ScriptedPeer() { wire->SetReceiver(nullptr); }
  ScriptedPeer(const ScriptedPeer&) = delete;
  ScriptedPeer& operator=(const ScriptedPeer&) = delete;

  // ---- the script ----
  // The next request is answered with bytes after delayMs.
  void Answer(Bytes bytes, uint64_t delayMs = 0) { Push(Reply{std::move(bytes), delayMs, 0, 0}); }
  // The next request is answered in pieces: the first after firstDelayMs,
  // each further piece intervalMs later.
  void AnswerInPieces(Bytes bytes, size_t pieceSize, uint64_t firstDelayMs, uint64_t intervalMs) {
    Push(Reply{std::move(bytes), firstDelayMs, pieceSize, intervalMs});
  }
  // The next request gets no answer.
  void Ignore() { Push(std::nullopt); }
  // Answers for requests beyond the script.
  void SetResponder(Responder responder) {
    std::lock_guard lock(mutex_);
    responder_ = std::move(responder);
  }
  // Bytes that arrive without being asked for, delayMs from now.
  void Send(std::span<const uint8_t> bytes, uint64_t delayMs = 0) {
    wire->SendToHost(bytes, delayMs);
  }

  // ---- what the host did ----
  std::vector<Request> Requests() {
    std::lock_guard lock(mutex_);
    return requests_;
  }
  size_t RequestCount() {
    std::lock_guard lock(mutex_);
    return requests_.size();
  }
  // The bytes of request i (empty when there is none).
  Bytes RequestBytes(size_t i) {
    std::lock_guard lock(mutex_);
    return i < requests_.size() ? requests_[i].bytes : Bytes();
  }
  // Scripted replies not yet used.
  size_t PendingScript() {
    std::lock_guard lock(mutex_);
    return script_.size();
  }

  VirtualClock clock;
  MemoryPorts ports;
  std::shared_ptr<MemoryWire> wire;
  const int port;

 private:
  void Push(std::optional<Reply> reply) {
    std::lock_guard lock(mutex_);
    script_.push_back(std::move(reply));
  }

  void OnHostWrite(std::span<const uint8_t> bytes) {
    std::optional<Reply> reply;
    Responder responder;
    {
      std::lock_guard lock(mutex_);
      requests_.push_back(Request{clock.NowMs(), Bytes(bytes.begin(), bytes.end())});
      if (!script_.empty()) {
        reply = std::move(script_.front());
        script_.pop_front();
      } else {
        responder = responder_;
      }
    }
    if (responder) reply = responder(bytes);
    if (!reply || reply->bytes.empty()) return;
    if (reply->pieceSize == 0) {
      wire->SendToHost(reply->bytes, reply->delayMs);
    } else {
      wire->SendToHostInPieces(reply->bytes, reply->pieceSize, reply->delayMs, reply->intervalMs);
    }
  }

  std::mutex mutex_;
  std::deque<std::optional<Reply>> script_;
  Responder responder_;
  std::vector<Request> requests_;
};

}  // namespace quorrel::testsupport

// A bare host for simulator tests: opens the modem's in-memory ports, writes
// frames built with the codec helpers and collects the replies that arrived
// after a stretch of virtual time, split into packets.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "link/hdlc.h"
#include "platform/clock.h"
#include "platform/memory_wire.h"
#include "sim/in_process.h"

namespace quorrel::simtest {

using Bytes = std::vector<uint8_t>;

inline Bytes DiagFrame(const Bytes& packet) {
  return EncodeFrame(packet, false);
}
inline Bytes DlFrame(const Bytes& packet) {
  return EncodeFrame(packet, true);
}
inline Bytes Text(std::string_view s) {
  return Bytes(s.begin(), s.end());
}

struct Reply {
  Bytes packet;
  bool crcGood = false;
  bool leadingFlag = false;
};

// Splits received bytes into frames: every flag closes a non-empty frame; a
// frame is led by a flag when a flag came between it and the frame before.
inline std::vector<Reply> SplitReplies(const Bytes& bytes) {
  std::vector<Reply> out;
  Bytes body;
  int flagsSinceClose = 0;
  bool led = false;
  for (uint8_t b : bytes) {
    if (b != kFlag) {
      if (body.empty()) led = flagsSinceClose > 0;
      body.push_back(b);
      continue;
    }
    if (body.empty()) {
      ++flagsSinceClose;
      continue;
    }
    Reply r;
    r.leadingFlag = led;
    auto unstuffed = Unstuff(body);
    if (unstuffed && unstuffed->size() >= 2) {
      r.crcGood = FrameCheckGood(*unstuffed);
      unstuffed->resize(unstuffed->size() - 2);
      r.packet = *unstuffed;
    }
    out.push_back(r);
    body.clear();
    flagsSinceClose = 0;
  }
  return out;
}

class RawPort {
 public:
  RawPort(VirtualClock& clock, MemoryPorts& ports) : clock_(clock), ports_(ports) {}
  bool Open(int port) {
    device_ = ports_.Open(port, 115200, 8, 1);
    return device_ != nullptr;
  }
  void Close() { device_.reset(); }
  bool IsOpen() const { return device_ != nullptr; }
  // Writes bytes (keeping what is queued); false when the wire refuses.
  bool Write(const Bytes& bytes) {
    return device_ && device_->Write(bytes.data(), static_cast<int>(bytes.size())) ==
                          static_cast<int>(bytes.size());
  }
  // Everything that arrived until now.
  Bytes Drain() {
    Bytes out;
    if (!device_) return out;
    int n = device_->BytesQueued();
    out.resize(static_cast<size_t>(n));
    if (n > 0) out.resize(static_cast<size_t>(device_->Read(out.data(), n)));
    return out;
  }
  // Writes, lets waitMs of virtual time pass, returns what came back.
  Bytes Exchange(const Bytes& bytes, uint64_t waitMs = 50) {
    Write(bytes);
    clock_.Advance(waitMs);
    return Drain();
  }
  // The reply packets to one request.
  std::vector<Reply> Ask(const Bytes& frame, uint64_t waitMs = 50) {
    return SplitReplies(Exchange(frame, waitMs));
  }
  // The single reply packet to one request (empty when none).
  Bytes AskOne(const Bytes& frame, uint64_t waitMs = 50) {
    auto replies = Ask(frame, waitMs);
    if (replies.size() != 1) {
      ADD_FAILURE() << "expected one reply, got " << replies.size();
      return {};
    }
    EXPECT_TRUE(replies[0].crcGood);
    return replies[0].packet;
  }

 private:
  VirtualClock& clock_;
  MemoryPorts& ports_;
  std::unique_ptr<SerialDevice> device_;
};

}  // namespace quorrel::simtest

// A PhoneLink on an in-memory wire with a virtual clock, and a codec whose
// packet is whatever the test puts in it.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "link/hdlc.h"
#include "link/phone_link.h"
#include "platform/clock.h"
#include "platform/memory_wire.h"

namespace quorrel::testing {

using Bytes = std::vector<uint8_t>;

inline Bytes Hex(const std::string& text) {
  Bytes out;
  unsigned value = 0;
  int digits = 0;
  for (char c : text) {
    int d = (c >= '0' && c <= '9')   ? c - '0'
            : (c >= 'A' && c <= 'F') ? c - 'A' + 10
            : (c >= 'a' && c <= 'f') ? c - 'a' + 10
                                     : -1;
    if (d < 0) continue;
    value = value * 16 + static_cast<unsigned>(d);
    if (++digits == 2) {
      out.push_back(static_cast<uint8_t>(value));
      value = 0;
      digits = 0;
    }
  }
  return out;
}

class FixedPacketCodec : public PacketCodec {
 public:
  size_t BuildPacket(const PhoneLink&, std::span<uint8_t> out) const override {
    size_t n = std::min(packet.size(), out.size());
    std::copy_n(packet.begin(), n, out.begin());
    return n;
  }
  int ParseReply(PhoneLink& link) const override {
    ++parses;
    parsed.assign(link.replyBuffer.begin(), link.replyBuffer.begin() + link.packetLength);
    return accept;
  }

  Bytes packet;
  int accept = 1;
  mutable int parses = 0;
  mutable Bytes parsed;
};

class LinkTest : public ::testing::Test {
 protected:
  static constexpr int kPort = 7;

  LinkTest() : wire_(std::make_shared<MemoryWire>(clock_)) {
    codecs_.diag = &codec_;
    codecs_.dmss = &codec_;
    codecs_.streaming = &codec_;
    link_ = std::make_unique<PhoneLink>(clock_, ports_, codecs_);
    ports_.Attach(kPort, wire_);
    wire_->SetReceiver([this](std::span<const uint8_t> bytes) {
      frames_.emplace_back(bytes.begin(), bytes.end());
      write_times_.push_back(clock_.NowMs());
      if (answer_) answer_(frames_.size());
    });
  }

  void OpenPort() { ASSERT_EQ(link_->port.Open(kPort, 115200, 8, 1), 1); }
  // Replies to every request with the given bytes after delayMs.
  void AnswerEvery(Bytes reply, uint64_t delayMs = 5) {
    answer_ = [this, reply, delayMs](size_t) { wire_->SendToHost(reply, delayMs); };
  }

  VirtualClock clock_;
  MemoryPorts ports_;
  std::shared_ptr<MemoryWire> wire_;
  FixedPacketCodec codec_;
  ProtocolCodecs codecs_;
  std::unique_ptr<PhoneLink> link_;
  std::vector<Bytes> frames_;
  std::vector<uint64_t> write_times_;
  std::function<void(size_t)> answer_;
};

}  // namespace quorrel::testing

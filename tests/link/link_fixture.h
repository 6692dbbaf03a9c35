// A PhoneLink on an in-memory wire with a virtual clock, and requests whose
// packet is whatever the test puts in them.
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

class LinkTest : public ::testing::Test {
 protected:
  static constexpr int kPort = 7;

  LinkTest() : wire_(std::make_shared<MemoryWire>(clock_)) {
    link_ = std::make_unique<PhoneLink>(clock_, ports_);
    ports_.Attach(kPort, wire_);
    wire_->SetReceiver([this](std::span<const uint8_t> bytes) {
      frames_.emplace_back(bytes.begin(), bytes.end());
      write_times_.push_back(clock_.NowMs());
      if (answer_) answer_(frames_.size());
    });
  }

  void OpenPort() { ASSERT_EQ(link_->Port().Open(kPort, 115200, 8, 1), 1); }
  // Replies to every request with the given bytes after delayMs.
  void AnswerEvery(Bytes reply, uint64_t delayMs = 5) {
    answer_ = [this, reply, delayMs](size_t) { wire_->SendToHost(reply, delayMs); };
  }

  // The request the next Exchange or StreamWrite sends.
  void Request(LinkProtocol protocol, Bytes packet) {
    protocol_ = protocol;
    packet_ = std::move(packet);
  }
  // Sends it; every intact reply is recorded in parsed_ and accepted unless
  // accept_ says otherwise.
  int Exchange(uint8_t tries, uint32_t timeoutMs) {
    const ReplyCheck check = [this](const LinkReply& r) {
      ++parses_;
      parsed_.assign(r.packet.begin(), r.packet.end());
      return accept_ ? ReplyVerdict::Accept() : ReplyVerdict::Refuse("refused by the test");
    };
    return link_->Transact({protocol_, packet_, tries, timeoutMs}, check) ? 1 : 0;
  }
  int StreamWrite(uint32_t timeoutMs) { return link_->SendAndCollect(packet_, timeoutMs) ? 1 : 0; }
  int Collect() { return link_->Collect() ? 1 : 0; }
  std::vector<uint32_t> Acks() const {
    const auto acks = link_->Acknowledged();
    return {acks.begin(), acks.end()};
  }

  VirtualClock clock_;
  MemoryPorts ports_;
  std::shared_ptr<MemoryWire> wire_;
  std::unique_ptr<PhoneLink> link_;
  std::vector<Bytes> frames_;
  std::vector<uint64_t> write_times_;
  std::function<void(size_t)> answer_;
  LinkProtocol protocol_ = LinkProtocol::Diag;
  Bytes packet_;
  bool accept_ = true;
  int parses_ = 0;
  Bytes parsed_;
};

// A streaming acknowledgement of the block at `address`, as framed on the wire.
inline Bytes BlockWritten(uint32_t address) {
  return EncodeFrame(
      Bytes{0x08, static_cast<uint8_t>(address), static_cast<uint8_t>(address >> 8),
            static_cast<uint8_t>(address >> 16), static_cast<uint8_t>(address >> 24)},
      true);
}

// A streaming error reply with `code`.
inline Bytes StreamError(uint32_t code) {
  return EncodeFrame(Bytes{0x0D, static_cast<uint8_t>(code), 0, 0, 0}, true);
}

}  // namespace quorrel::testing

// A PhoneLink whose diagnostic port is opened on a ScriptedPeer, for tests of
// the phone operations. Header-only; include as "support/peer_link.h".
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "link/phone_link.h"
#include "support/scripted_peer.h"
#include "util/text.h"

namespace quorrel::testsupport {

class PeerLink {
 public:
  explicit PeerLink(int portNumber = 1) : peer(portNumber), link(peer.clock, peer.ports) {
    link.Port().Open(portNumber, 115200, 8, 1);
  }

  // Virtual milliseconds since the last call (or since construction).
  uint64_t Elapsed() {
    const uint64_t now = peer.clock.NowMs();
    const uint64_t d = now - mark_;
    mark_ = now;
    return d;
  }

  ScriptedPeer peer;
  PhoneLink link;

 private:
  uint64_t mark_ = 0;
};

// Virtual time one exchange try waits for a reply that never comes: the
// queue is sampled every sampleMs until more than timeoutMs have passed.
constexpr uint64_t SilentTryMs(uint64_t timeoutMs, uint64_t sampleMs) {
  return (timeoutMs / sampleMs + 1) * sampleMs;
}

// An operation's failure sentence filled with a reason (the reason alone
// when the operation has no sentence of its own).
inline std::string Fill(const char* sentence, std::string_view reason) {
  if (!sentence) return std::string(reason);
  return Format(sentence, std::string(reason).c_str());
}

// After an operation on a silent phone: it sent `frame` exactly `tries`
// times, one silent try apart, and spent nothing else.
inline void ExpectSilentTries(PeerLink& p, const Bytes& frame, int tries, uint64_t timeoutMs,
                              uint64_t sampleMs) {
  const auto requests = p.peer.Requests();
  ASSERT_EQ(requests.size(), static_cast<size_t>(tries));
  for (size_t i = 0; i < requests.size(); ++i) {
    EXPECT_EQ(requests[i].bytes, frame) << "request " << i;
    if (i > 0) {
      EXPECT_EQ(requests[i].atMs - requests[i - 1].atMs, SilentTryMs(timeoutMs, sampleMs));
    }
  }
  EXPECT_EQ(p.Elapsed(), static_cast<uint64_t>(tries) * SilentTryMs(timeoutMs, sampleMs));
}

}  // namespace quorrel::testsupport

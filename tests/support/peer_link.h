// A PhoneLink whose diagnostic port is opened on a ScriptedPeer, for tests of
// the phone operations. Header-only; include as "support/peer_link.h".
#pragma once

#include <cstdint>

#include "link/phone_link.h"
#include "support/scripted_peer.h"

namespace quorrel::testsupport {

class PeerLink {
 public:
  explicit PeerLink(const ProtocolCodecs& codecs, int portNumber = 1)
      : peer(portNumber), link(peer.clock, peer.ports, codecs) {
    link.port.Open(portNumber, 115200, 8, 1);
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

}  // namespace quorrel::testsupport

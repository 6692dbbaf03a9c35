// The link's reply decoding as the frame and multi-reply targets drive it:
// bytes in, what the decoder made of them out. Only this file knows which
// PhoneLink entry points do the decoding.
#pragma once

#include <algorithm>
#include <optional>
#include <span>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "link/phone_link.h"

namespace quorrel::fuzz {

struct SingleReply {
  // The packet without its CRC when framing and CRC were good.
  std::optional<std::vector<uint8_t>> packet;
};

// One reply frame of a request (at most the reply capacity of it), decoded.
// The request code plays no part in the decoding; it is kept so that the
// targets' inputs stay as they were.
inline SingleReply DecodeSingle(PhoneLink&, LinkProtocol protocol, uint8_t /*requestCode*/,
                                std::span<const uint8_t> bytes) {
  std::vector<uint8_t> packet;
  size_t rawLength = 0;
  SingleReply out;
  const auto held = bytes.first(std::min(bytes.size(), PhoneLink::kReplyCapacity));
  if (DecodeFirstReply(protocol, held, packet, rawLength) == LinkError::None) {
    FUZZ_CHECK(packet.size() <= PhoneLink::kReplyCapacity);
    FUZZ_CHECK(rawLength <= held.size());
    out.packet = std::move(packet);
  }
  return out;
}

struct StreamReplies {
  bool ok = false;
  std::vector<uint32_t> acks;  // addresses of the block-written replies, in order
};

// Every streaming reply in bytes (at most the reply capacity of them).
inline StreamReplies DecodeStream(PhoneLink& link, std::span<const uint8_t> bytes) {
  StreamReplies out;
  out.ok = static_cast<bool>(link.DecodeStreamReplies(bytes));
  const auto acks = link.Acknowledged();
  FUZZ_CHECK(acks.size() <= PhoneLink::kMaxAcks);
  out.acks.assign(acks.begin(), acks.end());
  return out;
}

}  // namespace quorrel::fuzz

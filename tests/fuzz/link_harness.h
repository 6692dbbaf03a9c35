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

// Puts bytes (at most the reply capacity) where the decoders read them.
inline void LoadReply(PhoneLink& link, LinkProtocol protocol, uint8_t requestCode,
                      std::span<const uint8_t> bytes) {
  link.BeginRequest(protocol, requestCode);
  const size_t n = std::min(bytes.size(), PhoneLink::kReplyCapacity);
  std::copy_n(bytes.begin(), n, link.replyBuffer.begin());
  link.replyLength = static_cast<uint16_t>(n);
}

struct SingleReply {
  // The packet without its CRC when framing and CRC were good.
  std::optional<std::vector<uint8_t>> packet;
  // The protocol's parser accepted it.
  bool accepted = false;
};

// One reply frame of a request, decoded and parsed.
inline SingleReply DecodeSingle(PhoneLink& link, LinkProtocol protocol, uint8_t requestCode,
                                std::span<const uint8_t> bytes) {
  LoadReply(link, protocol, requestCode, bytes);
  constexpr uint16_t kUnset = 0xFFFF;
  link.packetLength = kUnset;
  SingleReply out;
  out.accepted = link.DecodeReplyFrame() != 0;
  if (link.packetLength != kUnset) {
    FUZZ_CHECK(link.packetLength <= PhoneLink::kReplyCapacity);
    out.packet.emplace(link.replyBuffer.begin(), link.replyBuffer.begin() + link.packetLength);
  }
  return out;
}

struct StreamReplies {
  bool ok = false;
  std::vector<uint32_t> acks;  // addresses of the block-written replies, in order
};

// Every streaming reply in bytes.
inline StreamReplies DecodeStream(PhoneLink& link, std::span<const uint8_t> bytes) {
  LoadReply(link, LinkProtocol::Streaming, 0x07, bytes);
  StreamReplies out;
  out.ok = link.DecodeReplyFrames() != 0;
  FUZZ_CHECK(link.ackCount <= PhoneLink::kMaxAcks);
  out.acks.assign(link.ackAddresses.begin(), link.ackAddresses.begin() + link.ackCount);
  return out;
}

}  // namespace quorrel::fuzz

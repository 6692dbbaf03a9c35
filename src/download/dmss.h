// The downloader protocol of the phone's boot code: checks that it answers,
// reads the flash parameters, writes the flash programmer into RAM, starts it
// and resets the phone. Packet fields are big-endian.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "link/phone_link.h"
#include "link/records.h"
#include "services/packet_bytes.h"

namespace quorrel {

namespace dmss {
inline constexpr uint8_t kWrite = 0x0F;
inline constexpr uint8_t kGo = 0x05;
inline constexpr uint8_t kNoOp = 0x06;
inline constexpr uint8_t kParameters = 0x07;
inline constexpr uint8_t kReset = 0x0A;
inline constexpr uint8_t kAck = 0x02;
inline constexpr uint8_t kReject = 0x03;
inline constexpr uint8_t kParametersReply = 0x08;
// The largest request: a write of kMaxWriteData bytes.
inline constexpr size_t kMaxRequest = 1 + 4 + 2 + kMaxWriteData;

// Requests, written into out; their length, 0 when they do not fit (or the
// data is longer than a write carries).
size_t EncodeWrite(uint32_t address, std::span<const uint8_t> data, std::span<uint8_t> out);
size_t EncodeGo(uint16_t segment, uint16_t offset, std::span<uint8_t> out);
// The no-op, the parameter request and the reset: the code byte alone.
size_t EncodeCodeOnly(uint8_t code, std::span<uint8_t> out);

// A reject reply and its reason word.
struct Reject {
  uint16_t reason = 0;
};
// Every reply but a reject is accepted: its code.
Parsed<uint8_t, Reject> ParseReply(std::span<const uint8_t> packet);
// The flash parameters of a parameter reply; any other accepted reply gives
// none (zeros).
Parsed<FlashParameters, Reject> ParseParameters(std::span<const uint8_t> packet);

}  // namespace dmss

// Writes length bytes of data to address. More than kMaxWriteData bytes are
// refused without sending anything.
int DmssWrite(PhoneLink& link, const uint8_t* data, uint32_t address, uint32_t length);
// Starts execution at segment * 0x10000 + offset (low 16 bits of each).
int DmssGo(PhoneLink& link, uint32_t segment, uint32_t offset);
// 1 only when the downloader acknowledges.
int DmssNoOp(PhoneLink& link);
// The flash parameters; zeroed on failure.
int DmssGetParameters(PhoneLink& link, FlashParameters& parameters);
int DmssReset(PhoneLink& link);
// One no-op with the given time-out and no sentence of its own: 1 when a
// reply other than a reject came. Its reply is the link's LastReply.
int DmssProbeNoOp(PhoneLink& link, uint32_t timeoutMs);

}  // namespace quorrel

// The downloader protocol of the phone's boot code: checks that it answers,
// reads the flash parameters, writes the flash programmer into RAM, starts it
// and resets the phone. Packet fields are big-endian.
#pragma once

#include <cstdint>

#include "link/phone_link.h"
#include "link/records.h"

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
}  // namespace dmss

const PacketCodec& DmssCodec();

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

}  // namespace quorrel

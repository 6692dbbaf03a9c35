// The framing shared by every protocol on the diagnostic port: the 16-bit
// frame check sequence (the FCS-16 of RFC 1662), byte stuffing of the flag and
// escape bytes, and the 0x7E flag. Used in place by PhoneLink and, through the
// vector helpers, by the device simulator and the tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace quorrel {

inline constexpr uint8_t kFlag = 0x7E;
inline constexpr uint8_t kEscape = 0x7D;
inline constexpr uint8_t kEscapeXor = 0x20;
inline constexpr uint16_t kCrcInit = 0xFFFF;
inline constexpr uint16_t kCrcGoodResidue = 0xF0B8;

// Runs the CRC register over data (one table lookup per byte).
uint16_t Crc16Update(uint16_t crc, std::span<const uint8_t> data);
// The complemented register over data: the two bytes appended to a packet,
// low byte first.
uint16_t FrameCheck(std::span<const uint8_t> data);
// True when data ends with its own intact frame check sequence.
bool FrameCheckGood(std::span<const uint8_t> packetWithCrc);

inline bool NeedsStuffing(uint8_t b) {
  return b == kFlag || b == kEscape;
}

// Appends the stuffed form of data to out.
void AppendStuffed(std::vector<uint8_t>& out, std::span<const uint8_t> data);
// Stuffs data into out, which must hold 2 * data.size() bytes; returns the
// number of bytes written.
size_t StuffInto(std::span<const uint8_t> data, uint8_t* out);

// A whole frame: [0x7E] esc(packet crc) 0x7E.
std::vector<uint8_t> EncodeFrame(std::span<const uint8_t> packet, bool leadingFlag);

// Undoes stuffing. Returns nothing when an escape byte has no byte after it.
std::optional<std::vector<uint8_t>> Unstuff(std::span<const uint8_t> data);
// Undoes stuffing into out, stopping when capacity bytes are written. Returns
// the count, or -1 when an escape byte has no byte after it.
int UnstuffInto(std::span<const uint8_t> data, uint8_t* out, size_t capacity);

}  // namespace quorrel

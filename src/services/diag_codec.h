// Packet builder and reply parser of the diagnostic protocol.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "link/phone_link.h"
#include "link/records.h"

namespace quorrel {

// Diagnostic request codes.
namespace diag {
inline constexpr uint8_t kEsn = 0x01;
inline constexpr uint8_t kNvRead = 0x26;
inline constexpr uint8_t kNvWrite = 0x27;
inline constexpr uint8_t kModeChange = 0x29;
inline constexpr uint8_t kVersionTexts = 0x39;
inline constexpr uint8_t kDownloader = 0x3A;
inline constexpr uint8_t kSpc = 0x41;
inline constexpr uint8_t kSubsystem = 0x4B;
inline constexpr uint8_t kVendor5C = 0x5C;
inline constexpr uint8_t kBuildVersion = 0x7C;
// The service programming code is this many ASCII digits.
inline constexpr size_t kSpcDigits = 6;
// An NV read or write request and its reply: code, item, data, status.
inline constexpr size_t kNvPacketSize = 1 + 2 + kNvDataSize + 2;
// Diagnostic error replies that an NV read or write can get.
inline constexpr uint8_t kErrorBadCommand = 0x13;
inline constexpr uint8_t kErrorBadParameters = 0x14;
inline constexpr uint8_t kErrorBadLength = 0x15;
}  // namespace diag

const PacketCodec& DiagCodec();

// Reads the version-text reply (the unframed packet, code byte first) into
// out. The layout depends on rawLength, the reply's length as it arrived:
// longer replies carry more texts. out is cleared first.
void ParseVersionTexts(std::span<const uint8_t> packet, uint16_t rawLength, VersionTexts& out);

}  // namespace quorrel

// Requests and replies of the diagnostic protocol as pure functions: each
// Encode writes one request packet (unframed, without check bytes) into a
// caller's buffer and returns its length, 0 when it does not fit; each Parse
// reads one intact reply packet, code byte first. Fields are little-endian.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "link/records.h"
#include "services/packet_bytes.h"

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
// The largest request packet: an NV read or write.
inline constexpr size_t kMaxRequest = kNvPacketSize;
// What the readiness poll reads from a reply too short to say.
inline constexpr uint8_t kReadinessUnknown = 0xFF;

// Requests made of the code byte alone: ESN, version texts, downloader,
// build version.
size_t EncodeCodeOnly(uint8_t code, std::span<uint8_t> out);
size_t EncodeModeChange(uint16_t mode, std::span<uint8_t> out);
// An NV read or write of item: the data sent and a zero status.
size_t EncodeNvRequest(uint8_t code, uint16_t item, std::span<const uint8_t, kNvDataSize> data,
                       std::span<uint8_t> out);
// The service programming code: exactly kSpcDigits digits, a shorter code
// padded with '0', a longer one cut.
size_t EncodeSpc(std::string_view digits, std::span<uint8_t> out);
// The subsystem request that asks whether the phone is ready.
size_t EncodeReadinessPoll(std::span<uint8_t> out);
size_t EncodeVendor5C(std::span<uint8_t> out);

uint32_t ParseEsn(std::span<const uint8_t> packet);

struct BuildVersion {
  std::array<uint8_t, 3> head{};
  uint32_t value1 = 0;
  uint32_t value2 = 0;
  // Not necessarily NUL-terminated.
  std::array<char, 256> text{};
};
BuildVersion ParseBuildVersion(std::span<const uint8_t> packet);

// The readiness byte (0: ready); kReadinessUnknown when the reply is too
// short to carry it.
uint8_t ParseReadiness(std::span<const uint8_t> packet);

struct NvReply {
  uint16_t item = 0;
  std::array<uint8_t, kNvDataSize> data{};
  uint16_t status = 0;
};
// Why an NV reply is not the answer to its request.
struct NvRefusal {
  enum class Kind : uint8_t { OtherCommand, WrongLength, OtherItem };
  Kind kind = Kind::OtherCommand;
  uint32_t got = 0;     // the reply's command, length or item
  uint32_t wanted = 0;  // the request's
};
// The reply to an NV request of requestCode for item: refused when it is
// another command's, has not exactly the NV packet's length, or is another
// item's.
Parsed<NvReply, NvRefusal> ParseNvReply(uint8_t requestCode, uint16_t item,
                                        std::span<const uint8_t> packet);
std::string NvRefusalText(const NvRefusal& refusal);

}  // namespace diag

// Reads the version-text reply (the unframed packet, code byte first) into
// out. The layout depends on rawLength, the reply's length as it arrived:
// longer replies carry more texts. out is cleared first.
void ParseVersionTexts(std::span<const uint8_t> packet, uint16_t rawLength, VersionTexts& out);

}  // namespace quorrel

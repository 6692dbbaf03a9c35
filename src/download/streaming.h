// The streaming download protocol of the flash programmer: greeting, security
// mode, partition table, opening images, streaming their blocks, closing and
// resetting. Packet fields are little-endian.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "link/phone_link.h"
#include "services/packet_bytes.h"

namespace quorrel {

namespace stream {
inline constexpr uint8_t kHello = 0x01;
inline constexpr uint8_t kWrite = 0x07;
inline constexpr uint8_t kBlockWritten = 0x08;
inline constexpr uint8_t kNoOp = 0x09;
inline constexpr uint8_t kReset = 0x0B;
inline constexpr uint8_t kError = 0x0D;
inline constexpr uint8_t kClose = 0x15;
inline constexpr uint8_t kSecurityMode = 0x17;
inline constexpr uint8_t kPartitionTable = 0x19;
inline constexpr uint8_t kOpenMultiImage = 0x1B;
// The greeting's magic text (sent without terminator) and its version bytes.
inline constexpr char kHelloMagic[] = "QCOM fast download protocol host";
inline constexpr uint8_t kHelloVersion = 0x02;
inline constexpr uint8_t kHelloCompatibleVersion = 0x02;
inline constexpr uint8_t kHelloFeatureBits = 0x03;
// Largest partition table or image header.
inline constexpr size_t kMaxDataBlock = 1024;
// The largest request: a write of kMaxWriteData bytes.
inline constexpr size_t kMaxRequest = 1 + 4 + kMaxWriteData;

// Requests, written into out; their length, 0 when they do not fit (or the
// table, header or data is longer than a request carries).
size_t EncodeHello(std::span<uint8_t> out);
// The reset and the close: the code byte alone.
size_t EncodeCodeOnly(uint8_t code, std::span<uint8_t> out);
size_t EncodeNoOp(std::span<uint8_t> out);
size_t EncodeSecurityMode(std::span<uint8_t> out);
size_t EncodePartitionTable(std::span<const uint8_t> table, std::span<uint8_t> out);
// The header goes only with the types that take one (ImageTypeHasHeader);
// the types 1, 2, 3 and 9 send their type alone, any other type the code
// byte alone.
size_t EncodeOpenMultiImage(uint8_t type, std::span<const uint8_t> header, std::span<uint8_t> out);
size_t EncodeWrite(uint32_t address, std::span<const uint8_t> data, std::span<uint8_t> out);
// The code and address in front of a write's data, for a write sent
// straight from the caller's data.
std::array<uint8_t, 5> WriteHead(uint32_t address);

// The programmer's error reply and its code.
struct ErrorReply {
  uint32_t code = 0;
};
// Every reply but an error reply is accepted: its code.
Parsed<uint8_t, ErrorReply> ParseReply(std::span<const uint8_t> packet);

}  // namespace stream

// Image types opened with a header; the types 1, 2, 3 and 9 take none, and
// any other type is opened with the code byte alone.
bool ImageTypeHasHeader(uint8_t type);

int StreamHello(PhoneLink& link);
int StreamClose(PhoneLink& link);
int StreamNoOp(PhoneLink& link);
// One no-op with the given time-out: 1 when the programmer answered it.
int StreamProbeNoOp(PhoneLink& link, uint32_t timeoutMs);
int StreamReset(PhoneLink& link);
int StreamSecurityMode(PhoneLink& link);
// More than stream::kMaxDataBlock bytes of table or header are refused.
int StreamPartitionTable(PhoneLink& link, const uint8_t* table, uint32_t length);
int StreamOpenMultiImage(PhoneLink& link, uint8_t type, const uint8_t* header, uint32_t length);
// One acknowledged block write. A block whose reply has not come within
// 3000 ms counts as sent; the addresses of every block-written reply read
// are left in link.Acknowledged().
int StreamWrite(PhoneLink& link, const uint8_t* data, uint32_t address, uint32_t length);
// Sends one block without reading anything.
int StreamWriteNoWait(PhoneLink& link, const uint8_t* data, uint32_t address, uint32_t length);
// Decodes the replies queued so far into link.Acknowledged(); nothing
// queued leaves it as it was.
int StreamCollectReplies(PhoneLink& link);

}  // namespace quorrel

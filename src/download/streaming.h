// The streaming download protocol of the flash programmer: greeting, security
// mode, partition table, opening images, streaming their blocks, closing and
// resetting. Packet fields are little-endian.
#pragma once

#include <cstdint>

#include "link/phone_link.h"

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
inline constexpr size_t kMaxDataBlock = PhoneLink::kDataBlockCapacity;
}  // namespace stream

const PacketCodec& StreamingCodec();

// Image types opened with a header; the types 1, 2, 3 and 9 take none, and
// any other type is opened with the code byte alone.
bool ImageTypeHasHeader(uint8_t type);

int StreamHello(PhoneLink& link);
int StreamClose(PhoneLink& link);
int StreamNoOp(PhoneLink& link);
int StreamReset(PhoneLink& link);
int StreamSecurityMode(PhoneLink& link);
// More than stream::kMaxDataBlock bytes of table or header are refused.
int StreamPartitionTable(PhoneLink& link, const uint8_t* table, uint32_t length);
int StreamOpenMultiImage(PhoneLink& link, uint8_t type, const uint8_t* header, uint32_t length);
// One acknowledged block write. A block whose reply has not come within
// 3000 ms counts as sent; the addresses of every block-written reply read
// are left in link.ackAddresses.
int StreamWrite(PhoneLink& link, const uint8_t* data, uint32_t address, uint32_t length);
// Sends one block without reading anything.
int StreamWriteNoWait(PhoneLink& link, const uint8_t* data, uint32_t address, uint32_t length);
// Decodes the replies queued so far into link.ackCount / link.ackAddresses;
// nothing queued leaves them as they were.
int StreamCollectReplies(PhoneLink& link);

}  // namespace quorrel

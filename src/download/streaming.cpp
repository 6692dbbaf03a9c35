#include "download/streaming.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <string>

#include "link/status_texts.h"
#include "services/packet_bytes.h"
#include "util/text.h"

namespace quorrel {

namespace {

using RequestBuffer = std::array<uint8_t, stream::kMaxRequest>;

// Accepts every reply but the programmer's error reply.
ReplyVerdict CheckReply(const LinkReply& r) {
  const auto parsed = stream::ParseReply(r.packet);
  if (parsed) return ReplyVerdict::Accept();
  return ReplyVerdict::Refuse(StreamErrorText(parsed.error().code));
}

bool Ask(PhoneLink& link, std::span<const uint8_t> packet, uint8_t tries, uint32_t timeoutMs) {
  return static_cast<bool>(
      link.Transact({LinkProtocol::Streaming, packet, tries, timeoutMs}, CheckReply));
}

int Simple(PhoneLink& link, size_t (*encode)(std::span<uint8_t>), uint8_t tries, uint32_t timeoutMs,
           const char* sentence) {
  RequestBuffer buffer{};
  const size_t n = encode(buffer);
  if (Ask(link, std::span<const uint8_t>(buffer.data(), n), tries, timeoutMs)) return 1;
  if (sentence) link.ChainError(sentence);
  return 0;
}

// Checks a partition table or image header; false (with the operation's
// sentence) when it does not fit in a request.
bool CheckDataBlock(PhoneLink& link, const uint8_t* bytes, uint32_t length, const char* what,
                    const char* sentence) {
  if (length > stream::kMaxDataBlock || (length > 0 && bytes == nullptr)) {
    const std::string reason =
        bytes == nullptr && length <= stream::kMaxDataBlock
            ? Format("No Data was Given for the %s", what)
            : Format("the %s of %u Bytes is Longer than the %zu Bytes a Request Can Carry", what,
                     length, stream::kMaxDataBlock);
    link.SetLastError(Format(sentence, reason.c_str()));
    return false;
  }
  return true;
}

}  // namespace

namespace stream {

size_t EncodeHello(std::span<uint8_t> out) {
  PacketWriter w(out);
  w.Byte(kHello);
  w.Bytes(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(kHelloMagic),
                                   sizeof kHelloMagic - 1));
  w.Byte(kHelloVersion);
  w.Byte(kHelloCompatibleVersion);
  w.Byte(kHelloFeatureBits);
  return w.Result();
}

size_t EncodeCodeOnly(uint8_t code, std::span<uint8_t> out) {
  PacketWriter w(out);
  w.Byte(code);
  return w.Result();
}

size_t EncodeNoOp(std::span<uint8_t> out) {
  PacketWriter w(out);
  w.Byte(kNoOp);
  w.Byte(0x11);
  return w.Result();
}

size_t EncodeSecurityMode(std::span<uint8_t> out) {
  PacketWriter w(out);
  w.Byte(kSecurityMode);
  w.Byte(0x01);
  return w.Result();
}

size_t EncodePartitionTable(std::span<const uint8_t> table, std::span<uint8_t> out) {
  if (table.size() > kMaxDataBlock) return 0;
  PacketWriter w(out);
  w.Byte(kPartitionTable);
  w.Byte(0x01);
  w.Bytes(table);
  return w.Result();
}

size_t EncodeOpenMultiImage(uint8_t type, std::span<const uint8_t> header, std::span<uint8_t> out) {
  if (header.size() > kMaxDataBlock) return 0;
  PacketWriter w(out);
  w.Byte(kOpenMultiImage);
  switch (type) {
    case 1:
    case 2:
    case 3:
    case 9:
      w.Byte(type);
      break;
    case 4:
    case 5:
    case 10:
      w.Byte(type);
      w.Bytes(header);
      break;
    default:
      break;  // the code byte alone
  }
  return w.Result();
}

size_t EncodeWrite(uint32_t address, std::span<const uint8_t> data, std::span<uint8_t> out) {
  if (data.size() > kMaxWriteData) return 0;
  PacketWriter w(out);
  w.Bytes(WriteHead(address));
  w.Bytes(data);
  return w.Result();
}

std::array<uint8_t, 5> WriteHead(uint32_t address) {
  return {kWrite, static_cast<uint8_t>(address), static_cast<uint8_t>(address >> 8),
          static_cast<uint8_t>(address >> 16), static_cast<uint8_t>(address >> 24)};
}

Parsed<uint8_t, ErrorReply> ParseReply(std::span<const uint8_t> packet) {
  const PacketReader r(packet);
  if (r.Byte(0) == kError) return ErrorReply{r.Le32(1)};
  return r.Byte(0);
}

}  // namespace stream

bool ImageTypeHasHeader(uint8_t type) {
  return type == 4 || type == 5 || type == 10;
}

int StreamHello(PhoneLink& link) {
  return Simple(link, stream::EncodeHello, 3, 5000, nullptr);
}

int StreamClose(PhoneLink& link) {
  return Simple(
      link, [](std::span<uint8_t> out) { return stream::EncodeCodeOnly(stream::kClose, out); }, 3,
      20000, nullptr);
}

int StreamNoOp(PhoneLink& link) {
  return Simple(link, stream::EncodeNoOp, 1, 5000, nullptr);
}

int StreamProbeNoOp(PhoneLink& link, uint32_t timeoutMs) {
  return Simple(link, stream::EncodeNoOp, 1, timeoutMs, nullptr);
}

int StreamReset(PhoneLink& link) {
  return Simple(
      link, [](std::span<uint8_t> out) { return stream::EncodeCodeOnly(stream::kReset, out); }, 3,
      20000, nullptr);
}

int StreamSecurityMode(PhoneLink& link) {
  return Simple(link, stream::EncodeSecurityMode, 3, 2000, "Cannot go into security, Since %s");
}

int StreamPartitionTable(PhoneLink& link, const uint8_t* table, uint32_t length) {
  static constexpr char kSentence[] = "Cannot download partition, Since %s";
  if (!CheckDataBlock(link, table, length, "Partition Table", kSentence)) return 0;
  RequestBuffer buffer{};
  const size_t n = stream::EncodePartitionTable(std::span<const uint8_t>(table, length), buffer);
  if (Ask(link, std::span<const uint8_t>(buffer.data(), n), 1, 100000)) return 1;
  link.ChainError(kSentence);
  return 0;
}

int StreamOpenMultiImage(PhoneLink& link, uint8_t type, const uint8_t* header, uint32_t length) {
  static constexpr char kSentence[] = "Cannot open multi-image, Since %s";
  // Types without a header send none, whatever the caller passed.
  if (!ImageTypeHasHeader(type)) length = 0;
  if (!CheckDataBlock(link, header, length, "Image Header", kSentence)) return 0;
  RequestBuffer buffer{};
  const size_t n =
      stream::EncodeOpenMultiImage(type, std::span<const uint8_t>(header, length), buffer);
  if (Ask(link, std::span<const uint8_t>(buffer.data(), n), 2, 25000)) return 1;
  link.ChainError(kSentence);
  return 0;
}

int StreamWrite(PhoneLink& link, const uint8_t* data, uint32_t address, uint32_t length) {
  static constexpr char kSentence[] = "Write a Block of Data to Memory Failed, Since %s";
  if (length > kMaxWriteData || (length > 0 && data == nullptr)) {
    const std::string reason =
        length > kMaxWriteData
            ? Format("the Block of %u Bytes is Longer than the %zu Bytes a Write Can Carry", length,
                     kMaxWriteData)
            : std::string("No Data was Given for the Block");
    link.SetLastError(Format(kSentence, reason.c_str()));
    return 0;
  }
  RequestBuffer buffer{};
  const size_t n = stream::EncodeWrite(address, std::span<const uint8_t>(data, length), buffer);
  if (link.SendAndCollect(std::span<const uint8_t>(buffer.data(), n), 3000)) return 1;
  link.ChainError(kSentence);
  return 0;
}

int StreamWriteNoWait(PhoneLink& link, const uint8_t* data, uint32_t address, uint32_t length) {
  if (length > 0 && data == nullptr) {
    link.SetLastError("No Data was Given for the Block");
    return 0;
  }
  const std::array<uint8_t, 5> head = stream::WriteHead(address);
  return link.Send(head, std::span<const uint8_t>(data, length)) ? 1 : 0;
}

int StreamCollectReplies(PhoneLink& link) {
  return link.Collect() ? 1 : 0;
}

}  // namespace quorrel

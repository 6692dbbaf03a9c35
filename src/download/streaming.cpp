#include "download/streaming.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "link/status_texts.h"
#include "services/packet_bytes.h"
#include "util/text.h"

namespace quorrel {

namespace {

class StreamingPacketCodec final : public PacketCodec {
 public:
  size_t BuildPacket(const PhoneLink& link, std::span<uint8_t> out) const override {
    PacketWriter w(out);
    const RequestParams& r = link.request;
    const std::span<const uint8_t> block(link.dataBlock.data(),
                                         std::min<size_t>(link.dataBlockLength,
                                                          link.dataBlock.size()));
    switch (link.requestCode) {
      case stream::kHello:
        w.Byte(stream::kHello);
        w.Bytes(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(stream::kHelloMagic),
                                         sizeof stream::kHelloMagic - 1));
        w.Byte(stream::kHelloVersion);
        w.Byte(stream::kHelloCompatibleVersion);
        w.Byte(stream::kHelloFeatureBits);
        break;
      case stream::kWrite:
        w.Byte(stream::kWrite);
        w.Le32(r.address);
        w.Bytes(std::span<const uint8_t>(r.data.data(), std::min<size_t>(r.length, kMaxWriteData)));
        break;
      case stream::kNoOp:
        w.Byte(stream::kNoOp);
        w.Byte(0x11);
        break;
      case stream::kReset:
      case stream::kClose:
        w.Byte(link.requestCode);
        break;
      case stream::kSecurityMode:
        w.Byte(stream::kSecurityMode);
        w.Byte(0x01);
        break;
      case stream::kPartitionTable:
        w.Byte(stream::kPartitionTable);
        w.Byte(0x01);
        w.Bytes(block);
        break;
      case stream::kOpenMultiImage:
        w.Byte(stream::kOpenMultiImage);
        switch (r.imageType) {
          case 1: case 2: case 3: case 9:
            w.Byte(r.imageType);
            break;
          case 4: case 5: case 10:
            w.Byte(r.imageType);
            w.Bytes(block);
            break;
          default:
            break;  // the code byte alone
        }
        break;
      default:
        break;
    }
    return w.Result();
  }

  // An error reply fails the try with the text of its code; every other
  // reply is accepted without looking at it.
  int ParseReply(PhoneLink& link) const override {
    if (link.reply.code != stream::kError) return 1;
    link.reply.streamError = ReadLe32(link.replyBuffer.data() + 1);
    link.lastError = StreamErrorText(link.reply.streamError);
    return 0;
  }
};

int Simple(PhoneLink& link, uint8_t code, uint8_t tries, uint32_t timeoutMs,
           const char* sentence) {
  link.BeginRequest(LinkProtocol::Streaming, code);
  if (link.Exchange(tries, timeoutMs)) return 1;
  if (sentence) link.ChainError(sentence);
  return 0;
}

// Puts length bytes into the data block; false (with the operation's
// sentence) when they do not fit.
bool FillDataBlock(PhoneLink& link, const uint8_t* bytes, uint32_t length, const char* what,
                   const char* sentence) {
  if (length > stream::kMaxDataBlock || (length > 0 && bytes == nullptr)) {
    const std::string reason =
        bytes == nullptr && length <= stream::kMaxDataBlock
            ? Format("No Data was Given for the %s", what)
            : Format("the %s of %u Bytes is Longer than the %zu Bytes a Request Can Carry", what,
                     length, stream::kMaxDataBlock);
    link.lastError = Format(sentence, reason.c_str());
    return false;
  }
  if (length > 0) std::memcpy(link.dataBlock.data(), bytes, length);
  link.dataBlockLength = length;
  return true;
}

}  // namespace

const PacketCodec& StreamingCodec() {
  static const StreamingPacketCodec codec;
  return codec;
}

bool ImageTypeHasHeader(uint8_t type) { return type == 4 || type == 5 || type == 10; }

int StreamHello(PhoneLink& link) { return Simple(link, stream::kHello, 3, 5000, nullptr); }

int StreamClose(PhoneLink& link) { return Simple(link, stream::kClose, 3, 20000, nullptr); }

int StreamNoOp(PhoneLink& link) { return Simple(link, stream::kNoOp, 1, 5000, nullptr); }

int StreamReset(PhoneLink& link) { return Simple(link, stream::kReset, 3, 20000, nullptr); }

int StreamSecurityMode(PhoneLink& link) {
  return Simple(link, stream::kSecurityMode, 3, 2000, "Cannot go into security, Since %s");
}

int StreamPartitionTable(PhoneLink& link, const uint8_t* table, uint32_t length) {
  static constexpr char kSentence[] = "Cannot download partition, Since %s";
  link.BeginRequest(LinkProtocol::Streaming, stream::kPartitionTable);
  if (!FillDataBlock(link, table, length, "Partition Table", kSentence)) return 0;
  if (link.Exchange(1, 100000)) return 1;
  link.ChainError(kSentence);
  return 0;
}

int StreamOpenMultiImage(PhoneLink& link, uint8_t type, const uint8_t* header, uint32_t length) {
  static constexpr char kSentence[] = "Cannot open multi-image, Since %s";
  link.BeginRequest(LinkProtocol::Streaming, stream::kOpenMultiImage);
  link.request.imageType = type;
  // Types without a header send none, whatever the caller passed.
  if (!ImageTypeHasHeader(type)) length = 0;
  if (!FillDataBlock(link, header, length, "Image Header", kSentence)) return 0;
  if (link.Exchange(2, 25000)) return 1;
  link.ChainError(kSentence);
  return 0;
}

int StreamWrite(PhoneLink& link, const uint8_t* data, uint32_t address, uint32_t length) {
  static constexpr char kSentence[] = "Write a Block of Data to Memory Failed, Since %s";
  if (length > kMaxWriteData || (length > 0 && data == nullptr)) {
    const std::string reason =
        length > kMaxWriteData
            ? Format("the Block of %u Bytes is Longer than the %zu Bytes a Write Can Carry",
                     length, kMaxWriteData)
            : std::string("No Data was Given for the Block");
    link.lastError = Format(kSentence, reason.c_str());
    return 0;
  }
  link.BeginRequest(LinkProtocol::Streaming, stream::kWrite);
  link.request.address = address;
  link.request.length = length;
  if (length > 0) std::memcpy(link.request.data.data(), data, length);
  if (link.ExchangeStreamWrite(3000)) return 1;
  link.ChainError(kSentence);
  return 0;
}

int StreamWriteNoWait(PhoneLink& link, const uint8_t* data, uint32_t address, uint32_t length) {
  if (length > 0 && data == nullptr) {
    link.lastError = "No Data was Given for the Block";
    return 0;
  }
  link.protocol = LinkProtocol::Streaming;
  link.requestCode = stream::kWrite;
  if (!link.BuildStreamWriteFrame(data, address, length)) return 0;
  return link.SendFrameOnly();
}

int StreamCollectReplies(PhoneLink& link) { return link.CollectReplies(); }

}  // namespace quorrel

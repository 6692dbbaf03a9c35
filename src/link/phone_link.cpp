#include "link/phone_link.h"

#include <algorithm>
#include <cstring>

#include "link/hdlc.h"
#include "link/status_texts.h"
#include "util/text.h"

namespace quorrel {

namespace {

uint32_t ReadLe32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

// True when bytes begin with a whole diagnostic frame (stuffed packet and
// CRC, closing flag) whose CRC is intact.
bool IntactDiagFrame(std::span<const uint8_t> bytes) {
  const auto flag = std::find(bytes.begin(), bytes.end(), kFlag);
  if (flag == bytes.end()) return false;
  std::array<uint8_t, PhoneLink::kReplyCapacity> packet;
  const int n = UnstuffInto(bytes.first(static_cast<size_t>(flag - bytes.begin())), packet.data(),
                            packet.size());
  return n >= 3 && PhoneLink::CheckCrc(packet.data(), static_cast<size_t>(n)) != 0;
}

}  // namespace

PhoneLink::PhoneLink(Clock& clock, SerialDevices& devices, const ProtocolCodecs& codecs)
    : port(devices), clock_(clock), codecs_(codecs) {
  ResetRequest();
}

PhoneLink::~PhoneLink() = default;

void PhoneLink::ResetRequest() {
  scratchText.clear();
  dataBlockLength = 0;
  dataBlock.fill(0);
  replyLength = 0;
  replyBuffer.fill(0);
  packetLength = 0;
  frameLength = 0;
  frameBuffer.fill(0);
}

void PhoneLink::BeginRequest(LinkProtocol requestProtocol, uint8_t code) {
  ResetRequest();
  protocol = requestProtocol;
  requestCode = code;
}

void PhoneLink::ChainError(const char* sentence) {
  scratchText = Format(sentence, lastError.c_str());
  lastError = scratchText;
}

const PacketCodec* PhoneLink::CodecFor(LinkProtocol p) const {
  switch (p) {
    case LinkProtocol::Diag: return codecs_.diag;
    case LinkProtocol::Dmss: return codecs_.dmss;
    case LinkProtocol::Streaming: return codecs_.streaming;
    case LinkProtocol::Raw: return nullptr;
  }
  return nullptr;
}

size_t PhoneLink::AppendCrc(uint8_t* buffer, size_t length) {
  uint16_t crc = FrameCheck(std::span<const uint8_t>(buffer, length));
  buffer[length] = static_cast<uint8_t>(crc & 0xFF);
  buffer[length + 1] = static_cast<uint8_t>(crc >> 8);
  return length + 2;
}

int PhoneLink::CheckCrc(const uint8_t* buffer, size_t length) {
  if (length == 0) return 0;
  return Crc16Update(kCrcInit, std::span<const uint8_t>(buffer, length)) == kCrcGoodResidue ? 1
                                                                                            : 0;
}

uint32_t PhoneLink::EncodeRequestFrame() {
  std::array<uint8_t, kMaxPacket + 2> packet{};
  size_t packetLen = 0;
  if (protocol == LinkProtocol::Raw) {
    // The caller wrote the packet into the frame buffer itself.
    packetLen = std::min<size_t>(frameLength, kMaxPacket);
    std::memcpy(packet.data(), frameBuffer.data(), packetLen);
  } else if (const PacketCodec* codec = CodecFor(protocol)) {
    packetLen = std::min(codec->BuildPacket(*this, std::span<uint8_t>(packet.data(), kMaxPacket)),
                         kMaxPacket);
  }
  packetLen = AppendCrc(packet.data(), packetLen);

  frameLength = 0;
  if (protocol == LinkProtocol::Dmss || protocol == LinkProtocol::Streaming) {
    frameBuffer[frameLength++] = kFlag;
  }
  frameLength += static_cast<uint32_t>(StuffInto(std::span<const uint8_t>(packet.data(), packetLen),
                                                 frameBuffer.data() + frameLength));
  frameBuffer[frameLength++] = kFlag;
  return frameLength;
}

int PhoneLink::DecodeReplyFrame() {
  const size_t length = std::min<size_t>(replyLength, kReplyCapacity);
  rawReplyLength = static_cast<uint16_t>(length);

  // Download replies start with a flag, which may be missing; diagnostic
  // replies have none.
  size_t start = 0;
  if ((protocol == LinkProtocol::Dmss || protocol == LinkProtocol::Streaming) && length > 0 &&
      replyBuffer[0] == kFlag) {
    start = 1;
  }

  // Everything up to the end is un-stuffed, flags included: bytes after the
  // first closing flag become part of the frame and fail the CRC check.
  std::array<uint8_t, kReplyCapacity> unstuffed;
  int n = UnstuffInto(std::span<const uint8_t>(replyBuffer.data() + start, length - start),
                      unstuffed.data(), unstuffed.size());
  if (n <= 0 || unstuffed[static_cast<size_t>(n) - 1] != kFlag) {
    lastError = kTextNoEndFlag;
    return 0;
  }
  const size_t withCrc = static_cast<size_t>(n) - 1;
  std::memcpy(replyBuffer.data(), unstuffed.data(), withCrc);
  std::fill(replyBuffer.begin() + static_cast<long>(withCrc), replyBuffer.end(), 0);
  replyLength = static_cast<uint16_t>(withCrc);

  if (withCrc < 2 || !CheckCrc(replyBuffer.data(), withCrc)) {
    lastError = kTextWrongCrc;
    return 0;
  }
  packetLength = static_cast<uint16_t>(withCrc - 2);
  // The CRC bytes are not part of the packet the parsers see.
  replyBuffer[withCrc - 2] = 0;
  replyBuffer[withCrc - 1] = 0;
  replyLength = 0;  // from here on: the parsers' cursor
  reply.code = replyBuffer[0];
  const PacketCodec* codec = CodecFor(protocol);
  if (!codec) return 0;
  return codec->ParseReply(*this) ? 1 : 0;
}

int PhoneLink::DecodeOneStreamReply(std::span<const uint8_t> body) {
  std::array<uint8_t, kReplyCapacity> packet;
  int n = UnstuffInto(body, packet.data(), packet.size());
  if (n < 2 || !CheckCrc(packet.data(), static_cast<size_t>(n))) {
    lastError = kTextWrongCrcMulti;
    return 0;
  }
  const size_t len = static_cast<size_t>(n) - 2;  // without the CRC
  if (packet[0] == 0x08) {
    if (len >= 5 && ackCount < kMaxAcks) ackAddresses[ackCount++] = ReadLe32(&packet[1]);
  } else if (packet[0] == 0x0D) {
    uint32_t code = len >= 5 ? ReadLe32(&packet[1]) : 0;
    reply.streamError = code;
    lastError = StreamErrorText(code);
    return 0;
  }
  return 1;
}

int PhoneLink::DecodeReplyFrames() {
  ackCount = 0;
  const size_t length = std::min<size_t>(replyLength, kReplyCapacity);
  if (length == 0) return 1;
  // A reply without its leading flag is read as if the flag were there.
  bool open = replyBuffer[0] != kFlag;
  size_t bodyStart = 0;
  for (size_t i = 0; i < length; ++i) {
    if (replyBuffer[i] != kFlag) continue;
    if (!open || i == bodyStart) {
      // Opens a frame (two flags in a row open it again: no empty frames).
      open = true;
      bodyStart = i + 1;
      continue;
    }
    if (!DecodeOneStreamReply(
            std::span<const uint8_t>(replyBuffer.data() + bodyStart, i - bodyStart))) {
      return 0;
    }
    open = false;
    if (ackCount == kMaxAcks) break;  // the list is full
  }
  return 1;
}

int PhoneLink::BuildStreamWriteFrame(const uint8_t* data, uint32_t address, uint32_t length) {
  if (length > kMaxWriteData) {
    lastError = Format("A stream write of %u bytes exceeds the block limit of %zu bytes", length,
                       kMaxWriteData);
    frameLength = 0;
    return 0;
  }
  const uint8_t header[5] = {0x07, static_cast<uint8_t>(address), static_cast<uint8_t>(address >> 8),
                             static_cast<uint8_t>(address >> 16),
                             static_cast<uint8_t>(address >> 24)};
  const std::span<const uint8_t> payload(data, length);
  uint16_t crc = static_cast<uint16_t>(~Crc16Update(Crc16Update(kCrcInit, header), payload));
  const uint8_t crcBytes[2] = {static_cast<uint8_t>(crc & 0xFF), static_cast<uint8_t>(crc >> 8)};

  size_t n = 0;
  frameBuffer[n++] = kFlag;
  n += StuffInto(header, frameBuffer.data() + n);
  n += StuffInto(payload, frameBuffer.data() + n);
  n += StuffInto(crcBytes, frameBuffer.data() + n);
  frameBuffer[n++] = kFlag;
  frameLength = static_cast<uint32_t>(n);
  return 1;
}

int PhoneLink::Exchange(uint8_t tries, uint32_t timeoutMs) {
  SuspensionPoint();
  int result = 1;
  EncodeRequestFrame();
  // Diagnostic NV reads and writes take longer to answer; their replies are
  // sampled less often.
  const bool nvRequest = protocol == LinkProtocol::Diag && frameLength > 0 &&
                         (frameBuffer[0] == 0x26 || frameBuffer[0] == 0x27);
  const uint32_t sampleMs = nvRequest ? 30 : 10;

  diagErrorReply = 0;
  for (unsigned attempt = 0; attempt < tries; ++attempt) {
    diagErrorReply = 0;
    if (port.Write(frameBuffer.data(), static_cast<int>(frameLength)) !=
        static_cast<int>(frameLength)) {
      lastError = kTextSendFailed;
      result = 0;
      continue;
    }

    // Wait until the reply stops growing for one sampling interval.
    const uint64_t t0 = clock_.NowMs();
    int countBefore = 0;
    for (;;) {
      countBefore = port.BytesQueued();
      clock_.Sleep(sampleMs);
      const int countAfter = port.BytesQueued();
      if (countBefore >= 1 && countAfter == countBefore) break;
      if (clock_.NowMs() - t0 > timeoutMs) break;
    }

    if (countBefore <= 0) {
      lastError = kTextNoReply;
      result = 0;
      continue;
    }
    if (static_cast<size_t>(countBefore) > kReplyCapacity) {
      lastError = kTextReplyTooLarge;
      result = 0;
      continue;
    }
    const int got = port.Read(replyBuffer.data(), countBefore);
    if (got <= 0) {
      lastError = kTextNoReply;
      result = 0;
      continue;
    }
    replyLength = static_cast<uint16_t>(got);

    switch (protocol) {
      case LinkProtocol::Diag:
        // A reply that does not echo the request code is an error reply; its
        // first byte is looked at before un-stuffing.
        if (replyBuffer[0] == requestCode) {
          if (DecodeReplyFrame()) return 1;
        } else {
          lastError = DiagErrorText(replyBuffer[0]);
          if (IntactDiagFrame(std::span<const uint8_t>(replyBuffer.data(), replyLength))) {
            diagErrorReply = replyBuffer[0];
          }
        }
        result = 0;
        break;
      case LinkProtocol::Dmss:
      case LinkProtocol::Streaming:
        if (DecodeReplyFrame()) return 1;
        result = 0;
        break;
      case LinkProtocol::Raw:
        // Left undecoded for the caller.
        return 1;
    }
  }
  return result;
}

int PhoneLink::ExchangeStreamWrite(uint32_t timeoutMs) {
  SuspensionPoint();
  EncodeRequestFrame();
  if (port.WriteKeepInput(frameBuffer.data(), static_cast<int>(frameLength)) !=
      static_cast<int>(frameLength)) {
    lastError = kTextSendFailed;
    return 0;
  }

  const uint64_t t0 = clock_.NowMs();
  bool settled = false;
  int countBefore = 0;
  do {
    clock_.Sleep(5);
    countBefore = port.BytesQueued();
    clock_.Sleep(8);
    const int countAfter = port.BytesQueued();
    settled = countBefore >= 1 && countAfter == countBefore;
  } while (!settled && clock_.NowMs() - t0 <= timeoutMs);

  lastError = Format("time is %d(ms)", static_cast<int>(clock_.NowMs() - t0));
  // No reply yet: the block counts as sent; its reply comes with a later one.
  if (!settled) return 1;

  const int got = port.Read(replyBuffer.data(),
                            std::min(countBefore, static_cast<int>(kReplyCapacity)));
  if (got <= 0) return 1;
  replyLength = static_cast<uint16_t>(got);
  return DecodeReplyFrames();
}

int PhoneLink::SendFrameOnly() {
  SuspensionPoint();
  if (port.WriteKeepInput(frameBuffer.data(), static_cast<int>(frameLength)) !=
      static_cast<int>(frameLength)) {
    lastError = kTextSendFailed;
    return 0;
  }
  return 1;
}

int PhoneLink::CollectReplies() {
  const int got = port.Read(replyBuffer.data(), kCollectLimit);
  if (got <= 0) return 1;
  replyLength = static_cast<uint16_t>(got);
  return DecodeReplyFrames();
}

}  // namespace quorrel

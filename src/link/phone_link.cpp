#include "link/phone_link.h"

#include <algorithm>
#include <cstring>

#include "link/hdlc.h"
#include "link/status_texts.h"
#include "util/text.h"

namespace quorrel {

namespace {

std::string_view BadFrameText(FrameDecoder::Fault fault, bool amongSeveral) {
  if (fault == FrameDecoder::Fault::TooLong) return kTextReplyTooLarge;
  return amongSeveral ? kTextWrongCrcMulti : kTextWrongCrc;
}

LinkError BadFrameError(FrameDecoder::Fault fault) {
  return fault == FrameDecoder::Fault::TooLong ? LinkError::ReplyTooLarge : LinkError::WrongCrc;
}

uint32_t ReadLe32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

}  // namespace

std::string_view LinkErrorText(LinkError error) {
  switch (error) {
    case LinkError::SendFailed: return kTextSendFailed;
    case LinkError::NoReply: return kTextNoReply;
    case LinkError::ReplyTooLarge: return kTextReplyTooLarge;
    case LinkError::NoEndFlag: return kTextNoEndFlag;
    case LinkError::WrongCrc: return kTextWrongCrc;
    case LinkError::NoTries: return kTextNoTries;
    case LinkError::None:
    case LinkError::ErrorReply:
    case LinkError::StreamError:
    case LinkError::Refused:
    case LinkError::TooLong: return {};
  }
  return {};
}

size_t FrameRequest(LinkProtocol protocol, std::span<const uint8_t> head,
                    std::span<const uint8_t> body, std::span<uint8_t> out) {
  const bool leadingFlag = protocol == LinkProtocol::Dmss || protocol == LinkProtocol::Streaming;
  // Worst case: every byte of packet and check stuffed, and the flags.
  if (out.size() < 2 * (head.size() + body.size() + 2) + 2) return 0;
  const uint16_t crc = static_cast<uint16_t>(~Crc16Update(Crc16Update(kCrcInit, head), body));
  const uint8_t crcBytes[2] = {static_cast<uint8_t>(crc & 0xFF), static_cast<uint8_t>(crc >> 8)};
  size_t n = 0;
  if (leadingFlag) out[n++] = kFlag;
  n += StuffInto(head, out.data() + n);
  n += StuffInto(body, out.data() + n);
  n += StuffInto(crcBytes, out.data() + n);
  out[n++] = kFlag;
  return n;
}

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

void PhoneLink::Fail(LinkError error) { Fail(error, LinkErrorText(error)); }

void PhoneLink::Fail(LinkError error, std::string_view reason) {
  failure_ = error;
  lastError = reason;
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

FrameDecoder::Start PhoneLink::StartOf(LinkProtocol p) const {
  return p == LinkProtocol::Dmss || p == LinkProtocol::Streaming ? FrameDecoder::Start::Flagged
                                                                 : FrameDecoder::Start::Bare;
}

int PhoneLink::AcceptReply(std::span<const uint8_t> packet, size_t rawLength) {
  rawReplyLength = static_cast<uint16_t>(std::min<size_t>(rawLength, 0xFFFF));
  const size_t n = std::min(packet.size(), replyBuffer.size());
  std::copy_n(packet.begin(), n, replyBuffer.begin());
  // The parsers read fixed offsets: zeros behind the packet.
  std::fill(replyBuffer.begin() + static_cast<long>(n), replyBuffer.end(), 0);
  packetLength = static_cast<uint16_t>(n);
  replyLength = 0;  // from here on: the parsers' cursor
  reply.code = replyBuffer[0];
  if (check_) {
    if (!*check_) return 1;
    ReplyVerdict verdict = (*check_)(LinkReply{std::span<const uint8_t>(replyBuffer.data(), n), rawLength});
    if (verdict.accepted) return 1;
    Fail(LinkError::Refused, verdict.reason);
    return 0;
  }
  const PacketCodec* codec = CodecFor(protocol);
  if (!codec) return 0;
  return codec->ParseReply(*this) ? 1 : 0;
}

void PhoneLink::NoteNoise(const FrameDecoder::Event& e) {
  if (e.noise > 0) port.Note(Format("skipped %zu stray bytes before a reply", e.noise));
}

int PhoneLink::DecodeReplyFrame() {
  const size_t length = std::min<size_t>(replyLength, kReplyCapacity);
  rawReplyLength = static_cast<uint16_t>(length);
  FrameDecoder decoder(StartOf(protocol));
  std::string_view failure = kTextNoEndFlag;
  std::span<const uint8_t> rest(replyBuffer.data(), length);
  while (!rest.empty()) {
    const FrameDecoder::Event e = decoder.Feed(rest);
    rest = rest.subspan(e.consumed);
    if (e.result == FrameDecoder::Result::NeedMore) break;
    if (e.result == FrameDecoder::Result::BadFrame) {
      failure = BadFrameText(e.fault, false);
      continue;
    }
    NoteNoise(e);
    return AcceptReply(e.packet, e.rawLength);
  }
  lastError = failure;
  return 0;
}

void PhoneLink::DecodeStreamBytes(std::span<const uint8_t> bytes, StreamVerdict& verdict) {
  while (!bytes.empty()) {
    const FrameDecoder::Event e = decoder_.Feed(bytes);
    bytes = bytes.subspan(e.consumed);
    if (e.result == FrameDecoder::Result::NeedMore) break;
    if (e.result == FrameDecoder::Result::BadFrame) {
      // Noise, or a reply spoilt on the way: skipped. A block whose
      // acknowledgement it was stays unacknowledged and is written again
      // before its image is closed; only an error reply fails a write.
      port.Note(Format("skipped: %s", std::string(BadFrameText(e.fault, true)).c_str()));
      continue;
    }
    NoteNoise(e);
    const std::span<const uint8_t> packet = e.packet;
    if (packet[0] == 0x08) {
      // A full list drops the rest; their blocks stay unacknowledged.
      if (packet.size() >= 5 && ackCount < kMaxAcks) ackAddresses[ackCount++] = ReadLe32(&packet[1]);
    } else if (packet[0] == 0x0D) {
      const uint32_t code = packet.size() >= 5 ? ReadLe32(&packet[1]) : 0;
      if (!verdict.errorReply) {
        reply.streamError = code;
        verdict.text = StreamErrorText(code);
      }
      verdict.failed = true;
      verdict.errorReply = true;
    }
  }
}

int PhoneLink::DecodeReplyFrames() {
  ackCount = 0;
  StreamVerdict verdict;
  DecodeStreamBytes(
      std::span<const uint8_t>(replyBuffer.data(), std::min<size_t>(replyLength, kReplyCapacity)),
      verdict);
  if (!verdict.failed) return 1;
  lastError = verdict.text;
  return 0;
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

LinkResult PhoneLink::Transact(const LinkRequest& what, const ReplyCheck& check) {
  SuspensionPoint();
  ResetRequest();
  protocol = what.protocol;
  const std::span<const uint8_t> packet = what.packet.first(std::min(what.packet.size(), kMaxPacket));
  requestCode = packet.empty() ? 0 : packet[0];
  frameLength = static_cast<uint32_t>(FrameRequest(protocol, packet, {}, frameBuffer));
  check_ = &check;
  const int ok = RunTries(what.tries, what.timeoutMs);
  check_ = nullptr;
  return LinkResult{ok ? LinkError::None : failure_};
}

int PhoneLink::Exchange(uint8_t tries, uint32_t timeoutMs) {
  SuspensionPoint();
  EncodeRequestFrame();
  return RunTries(tries, timeoutMs);
}

int PhoneLink::RunTries(uint8_t tries, uint32_t timeoutMs) {
  if (tries == 0) {
    Fail(LinkError::NoTries);
    return 0;
  }
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
      Fail(LinkError::SendFailed);
      continue;
    }
    // The write discarded whatever was queued: a new stream of replies.
    decoder_.Reset(StartOf(protocol));

    const uint64_t t0 = clock_.NowMs();
    size_t held = 0;  // bytes of this try in replyBuffer
    LinkError badFrame = LinkError::None;
    for (;;) {
      // Wait until the reply stops growing for one sampling interval.
      int countBefore = 0;
      for (;;) {
        countBefore = port.BytesQueued();
        clock_.Sleep(sampleMs);
        const int countAfter = port.BytesQueued();
        if (countBefore >= 1 && countAfter == countBefore) break;
        if (clock_.NowMs() - t0 > timeoutMs) break;
      }
      const bool late = clock_.NowMs() - t0 > timeoutMs;
      if (countBefore <= 0) {
        // Out of time with nothing (more) arrived.
        if (protocol == LinkProtocol::Raw && held > 0) return 1;
        Fail(badFrame != LinkError::None ? badFrame
             : held > 0                  ? LinkError::NoEndFlag
                                         : LinkError::NoReply);
        break;
      }
      if (held + static_cast<size_t>(countBefore) > kReplyCapacity) {
        Fail(LinkError::ReplyTooLarge);
        break;
      }
      const int got = port.Read(replyBuffer.data() + held, countBefore);
      if (got <= 0) {
        Fail(held > 0 ? LinkError::NoEndFlag : LinkError::NoReply);
        break;
      }
      std::span<const uint8_t> fresh(replyBuffer.data() + held, static_cast<size_t>(got));
      held += static_cast<size_t>(got);
      replyLength = static_cast<uint16_t>(held);
      rawReplyLength = static_cast<uint16_t>(held);

      int verdict = -1;  // -1: no reply yet, 0: the try failed, 1: success
      while (!fresh.empty() && verdict < 0) {
        const FrameDecoder::Event e = decoder_.Feed(fresh);
        fresh = fresh.subspan(e.consumed);
        if (e.result == FrameDecoder::Result::NeedMore) break;
        if (e.result == FrameDecoder::Result::Frame) NoteNoise(e);
        if (protocol == LinkProtocol::Raw) {
          // Left undecoded for the caller, once a frame has ended.
          verdict = 1;
        } else if (e.result == FrameDecoder::Result::BadFrame) {
          badFrame = BadFrameError(e.fault);
          port.Note(Format("bad frame: %s", std::string(LinkErrorText(badFrame)).c_str()));
        } else if (protocol == LinkProtocol::Diag && e.packet[0] != requestCode) {
          // A reply that does not echo the request code is an error reply;
          // it was decoded whole, so its CRC is intact.
          Fail(LinkError::ErrorReply, DiagErrorText(e.packet[0]));
          diagErrorReply = e.packet[0];
          verdict = 0;
        } else {
          verdict = AcceptReply(e.packet, e.rawLength);
        }
      }
      if (verdict == 1) return 1;
      if (verdict == 0) break;
      // Only a bad frame and nothing begun after it: the try has failed.
      if (badFrame != LinkError::None && !decoder_.Pending()) {
        Fail(badFrame);
        break;
      }
      if (late) {
        if (protocol == LinkProtocol::Raw) return 1;
        Fail(badFrame != LinkError::None ? badFrame : LinkError::NoEndFlag);
        break;
      }
      // Unfinished: wait for the rest within the time-out.
    }
  }
  return 0;
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
  bool read = false;
  StreamVerdict verdict;
  for (;;) {
    bool settled = false;
    int countBefore = 0;
    do {
      clock_.Sleep(5);
      countBefore = port.BytesQueued();
      clock_.Sleep(8);
      const int countAfter = port.BytesQueued();
      settled = countBefore >= 1 && countAfter == countBefore;
    } while (!settled && clock_.NowMs() - t0 <= timeoutMs);
    // No (further) reply: the block counts as sent; its reply, or the rest
    // of it, comes with a later one.
    if (!settled) break;

    const int got = port.Read(replyBuffer.data(),
                              std::min(countBefore, static_cast<int>(kReplyCapacity)));
    if (got <= 0) break;
    replyLength = static_cast<uint16_t>(got);
    if (!read) ackCount = 0;  // the list describes this call's replies
    read = true;
    DecodeStreamBytes(std::span<const uint8_t>(replyBuffer.data(), static_cast<size_t>(got)),
                      verdict);
    if (verdict.failed || !decoder_.Pending() || clock_.NowMs() - t0 > timeoutMs) break;
  }

  lastError = Format("time is %d(ms)", static_cast<int>(clock_.NowMs() - t0));
  if (!verdict.failed) return 1;
  lastError = verdict.text;
  return 0;
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

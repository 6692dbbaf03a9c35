#include "link/phone_link.h"

#include <algorithm>
#include <cstring>

#include "link/hdlc.h"
#include "link/status_texts.h"
#include "util/text.h"

namespace quorrel {

namespace {

// Streaming replies the line reads by itself: a block written, an error.
constexpr uint8_t kStreamBlockWritten = 0x08;
constexpr uint8_t kStreamError = 0x0D;

LinkError BadFrameError(FrameDecoder::Fault fault) {
  return fault == FrameDecoder::Fault::TooLong ? LinkError::ReplyTooLarge : LinkError::WrongCrc;
}

// A bad frame among several streaming replies, as the wire's record names it.
std::string_view BadStreamFrameText(FrameDecoder::Fault fault) {
  return fault == FrameDecoder::Fault::TooLong ? kTextReplyTooLarge : kTextWrongCrcMulti;
}

bool LeadingFlag(LinkProtocol p) {
  return p == LinkProtocol::Dmss || p == LinkProtocol::Streaming;
}

FrameDecoder::Start StartFor(LinkProtocol p) {
  return LeadingFlag(p) ? FrameDecoder::Start::Flagged : FrameDecoder::Start::Bare;
}

uint32_t ReadLe32(std::span<const uint8_t> p, size_t at) {
  uint32_t v = 0;
  for (size_t i = 0; i < 4; ++i) {
    if (at + i < p.size()) v |= static_cast<uint32_t>(p[at + i]) << (8 * i);
  }
  return v;
}

}  // namespace

std::string_view LinkErrorText(LinkError error) {
  switch (error) {
    case LinkError::SendFailed:
      return kTextSendFailed;
    case LinkError::NoReply:
      return kTextNoReply;
    case LinkError::ReplyTooLarge:
      return kTextReplyTooLarge;
    case LinkError::NoEndFlag:
      return kTextNoEndFlag;
    case LinkError::WrongCrc:
      return kTextWrongCrc;
    case LinkError::NoTries:
      return kTextNoTries;
    case LinkError::None:
    case LinkError::ErrorReply:
    case LinkError::StreamError:
    case LinkError::Refused:
    case LinkError::TooLong:
      return {};
  }
  return {};
}

size_t FrameRequest(LinkProtocol protocol, std::span<const uint8_t> head,
                    std::span<const uint8_t> body, std::span<uint8_t> out) {
  // Worst case: every byte of packet and check stuffed, and the flags.
  if (out.size() < 2 * (head.size() + body.size() + 2) + 2) return 0;
  const uint16_t crc = static_cast<uint16_t>(~Crc16Update(Crc16Update(kCrcInit, head), body));
  const uint8_t crcBytes[2] = {static_cast<uint8_t>(crc & 0xFF), static_cast<uint8_t>(crc >> 8)};
  size_t n = 0;
  if (LeadingFlag(protocol)) out[n++] = kFlag;
  n += StuffInto(head, out.data() + n);
  n += StuffInto(body, out.data() + n);
  n += StuffInto(crcBytes, out.data() + n);
  out[n++] = kFlag;
  return n;
}

LinkError DecodeFirstReply(LinkProtocol protocol, std::span<const uint8_t> bytes,
                           std::vector<uint8_t>& packet, size_t& rawLength) {
  FrameDecoder decoder(StartFor(protocol));
  LinkError failure = LinkError::NoEndFlag;
  std::span<const uint8_t> rest = bytes;
  while (!rest.empty()) {
    const FrameDecoder::Event e = decoder.Feed(rest);
    rest = rest.subspan(e.consumed);
    if (e.result == FrameDecoder::Result::NeedMore) break;
    if (e.result == FrameDecoder::Result::BadFrame) {
      failure = BadFrameError(e.fault);
      continue;
    }
    packet.assign(e.packet.begin(), e.packet.end());
    rawLength = e.rawLength;
    return LinkError::None;
  }
  return failure;
}

PhoneLink::PhoneLink(Clock& clock, SerialDevices& devices) : clock_(clock), port_(devices) {
  ResetRequest();
}

PhoneLink::~PhoneLink() = default;

void PhoneLink::ResetRequest() {
  replyLength_ = 0;
  replyBuffer_.fill(0);
  packetLength_ = 0;
  frameLength_ = 0;
  frameBuffer_.fill(0);
}

void PhoneLink::Fail(LinkError error) {
  Fail(error, LinkErrorText(error));
}

void PhoneLink::Fail(LinkError error, std::string_view reason) {
  failure_ = error;
  lastError_ = reason;
}

void PhoneLink::ChainError(const char* sentence) {
  lastError_ = Format(sentence, lastError_.c_str());
}

int PhoneLink::AcceptReply(std::span<const uint8_t> packet, size_t rawLength,
                           std::string& skipped) {
  const size_t n = std::min(packet.size(), replyBuffer_.size());
  // Judged where the decoder holds it: a skipped reply must leave the reply
  // buffer, and the bytes still to be decoded in it, as they are.
  ReplyVerdict verdict;
  if (check_ && *check_) verdict = (*check_)(LinkReply{packet.first(n), rawLength});
  if (verdict.skipped) {
    port_.Note(Format("skipped a reply to another request: %s", verdict.reason.c_str()));
    skipped = verdict.reason;
    return -1;
  }
  std::copy_n(packet.begin(), n, replyBuffer_.begin());
  std::fill(replyBuffer_.begin() + static_cast<long>(n), replyBuffer_.end(), 0);
  packetLength_ = static_cast<uint16_t>(n);
  replyLength_ = 0;
  if (verdict.accepted) return 1;
  Fail(LinkError::Refused, verdict.reason);
  return 0;
}

void PhoneLink::NoteNoise(const FrameDecoder::Event& e) {
  if (e.noise > 0) port_.Note(Format("skipped %zu stray bytes before a reply", e.noise));
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
      port_.Note(Format("skipped: %s", std::string(BadStreamFrameText(e.fault)).c_str()));
      continue;
    }
    NoteNoise(e);
    const std::span<const uint8_t> packet = e.packet;
    if (packet[0] == kStreamBlockWritten) {
      // A full list drops the rest; their blocks stay unacknowledged.
      if (packet.size() >= 5 && ackCount_ < kMaxAcks)
        ackAddresses_[ackCount_++] = ReadLe32(packet, 1);
    } else if (packet[0] == kStreamError) {
      if (!verdict.errorReply) verdict.text = StreamErrorText(ReadLe32(packet, 1));
      verdict.failed = true;
      verdict.errorReply = true;
    }
  }
}

LinkResult PhoneLink::DecodeStreamReplies(std::span<const uint8_t> bytes) {
  ackCount_ = 0;
  StreamVerdict verdict;
  DecodeStreamBytes(bytes.first(std::min(bytes.size(), kReplyCapacity)), verdict);
  if (!verdict.failed) return {};
  Fail(LinkError::StreamError, verdict.text);
  return LinkResult{LinkError::StreamError};
}

LinkResult PhoneLink::Transact(const LinkRequest& request, const ReplyCheck& check) {
  SuspensionPoint();
  ResetRequest();
  protocol_ = request.protocol;
  const std::span<const uint8_t> packet =
      request.packet.first(std::min(request.packet.size(), kMaxPacket));
  requestCode_ = packet.empty() ? 0 : packet[0];
  frameLength_ = static_cast<uint32_t>(FrameRequest(protocol_, packet, {}, frameBuffer_));
  check_ = &check;
  const uint32_t timeoutMs = replyWaitCapMs_ != 0 && replyWaitCapMs_ < request.timeoutMs
                                 ? replyWaitCapMs_
                                 : request.timeoutMs;
  const bool ok = RunTries(request.tries, timeoutMs);
  check_ = nullptr;
  return LinkResult{ok ? LinkError::None : failure_};
}

bool PhoneLink::RunTries(uint8_t tries, uint32_t timeoutMs) {
  if (tries == 0) {
    Fail(LinkError::NoTries);
    return false;
  }
  // Diagnostic NV reads and writes take longer to answer; their replies are
  // sampled less often.
  const bool nvRequest =
      protocol_ == LinkProtocol::Diag && (requestCode_ == 0x26 || requestCode_ == 0x27);
  const uint32_t sampleMs = nvRequest ? 30 : 10;
  const bool raw = protocol_ == LinkProtocol::Raw;

  diagErrorReply_ = 0;
  for (unsigned attempt = 0; attempt < tries; ++attempt) {
    diagErrorReply_ = 0;
    if (port_.Write(frameBuffer_.data(), static_cast<int>(frameLength_)) !=
        static_cast<int>(frameLength_)) {
      Fail(LinkError::SendFailed);
      continue;
    }
    // The write discarded whatever was queued: a new stream of replies.
    decoder_.Reset(StartFor(protocol_));

    const uint64_t t0 = clock_.NowMs();
    size_t held = 0;  // bytes of this try in the reply buffer
    LinkError badFrame = LinkError::None;
    std::string skipped;  // why the last reply skipped was another request's
    // The try's failure, by what came: a bad frame, a reply to another
    // request and nothing after it, half a reply, or nothing.
    const auto failWithWhatCame = [&] {
      if (badFrame != LinkError::None) {
        Fail(badFrame);
      } else if (!skipped.empty() && !decoder_.Pending()) {
        Fail(LinkError::Refused, skipped);
      } else {
        Fail(held > 0 ? LinkError::NoEndFlag : LinkError::NoReply);
      }
    };
    for (;;) {
      // Wait until the reply stops growing for one sampling interval, or in
      // fast mode until any of it is there.
      int countBefore = 0;
      if (fast_) {
        countBefore = WaitForReplyBytes(t0, timeoutMs);
      } else {
        for (;;) {
          countBefore = port_.BytesQueued();
          clock_.Sleep(sampleMs);
          const int countAfter = port_.BytesQueued();
          if (countBefore >= 1 && countAfter == countBefore) break;
          if (clock_.NowMs() - t0 > timeoutMs) {
            // Out of time: what has come by now is read all the same. A
            // thread that was held up past the time-out (a loaded machine)
            // would otherwise send again for a reply it already has.
            countBefore = countAfter;
            break;
          }
        }
      }
      const bool late = clock_.NowMs() - t0 > timeoutMs;
      if (countBefore <= 0) {
        // Out of time with nothing (more) arrived.
        if (raw && held > 0) return true;
        failWithWhatCame();
        break;
      }
      if (held + static_cast<size_t>(countBefore) > kReplyCapacity) {
        Fail(LinkError::ReplyTooLarge);
        break;
      }
      const int got = port_.Read(replyBuffer_.data() + held, countBefore);
      if (got <= 0) {
        Fail(held > 0 ? LinkError::NoEndFlag : LinkError::NoReply);
        break;
      }
      std::span<const uint8_t> fresh(replyBuffer_.data() + held, static_cast<size_t>(got));
      held += static_cast<size_t>(got);
      replyLength_ = static_cast<uint16_t>(held);

      int verdict = -1;  // -1: no reply yet, 0: the try failed, 1: success
      while (!fresh.empty() && verdict < 0) {
        const FrameDecoder::Event e = decoder_.Feed(fresh);
        fresh = fresh.subspan(e.consumed);
        if (e.result == FrameDecoder::Result::NeedMore) break;
        if (e.result == FrameDecoder::Result::Frame) NoteNoise(e);
        if (raw) {
          // Left undecoded for the caller, once a frame has ended.
          verdict = 1;
        } else if (e.result == FrameDecoder::Result::BadFrame) {
          badFrame = BadFrameError(e.fault);
          port_.Note(Format("bad frame: %s", std::string(LinkErrorText(badFrame)).c_str()));
        } else if (protocol_ == LinkProtocol::Diag && e.packet[0] != requestCode_) {
          // A reply that does not echo the request code is an error reply;
          // it was decoded whole, so its CRC is intact.
          Fail(LinkError::ErrorReply, DiagErrorText(e.packet[0]));
          diagErrorReply_ = e.packet[0];
          verdict = 0;
        } else {
          verdict = AcceptReply(e.packet, e.rawLength, skipped);
        }
      }
      if (verdict == 1) {
        // A downloader reply names no request: a copy of it that came late
        // would pass for the next request's. In fast mode the line is given
        // a moment to bring such a copy before the next write drops it.
        if (fast_ && protocol_ == LinkProtocol::Dmss) clock_.Sleep(kFastDmssQuietMs);
        return true;
      }
      if (verdict == 0) break;
      // Only a bad frame and nothing begun after it: the try has failed.
      if (badFrame != LinkError::None && !decoder_.Pending()) {
        Fail(badFrame);
        break;
      }
      if (late) {
        if (raw) return true;
        failWithWhatCame();
        break;
      }
      // Unfinished: wait for the rest within the time-out.
    }
  }
  return false;
}

int PhoneLink::WaitForReplyBytes(uint64_t t0, uint32_t timeoutMs) {
  const uint64_t spent = clock_.NowMs() - t0;
  // One millisecond past the time-out, as the sampling wait ends.
  const uint32_t left = spent > timeoutMs ? 0 : static_cast<uint32_t>(timeoutMs - spent) + 1;
  const int queued = left == 0 ? port_.BytesQueued() : port_.WaitForBytes(clock_, left);
  if (queued > 0 && clock_.NowMs() - t0 > 0) {
    port_.Note(Format("waited %u ms for a reply to 0x%02X",
                      static_cast<unsigned>(clock_.NowMs() - t0), requestCode_));
  }
  return queued;
}

LinkResult PhoneLink::SendAndCollect(std::span<const uint8_t> packet, uint32_t timeoutMs) {
  SuspensionPoint();
  ResetRequest();
  protocol_ = LinkProtocol::Streaming;
  packet = packet.first(std::min(packet.size(), kMaxPacket));
  requestCode_ = packet.empty() ? 0 : packet[0];
  frameLength_ = static_cast<uint32_t>(FrameRequest(protocol_, packet, {}, frameBuffer_));
  if (port_.WriteKeepInput(frameBuffer_.data(), static_cast<int>(frameLength_)) !=
      static_cast<int>(frameLength_)) {
    Fail(LinkError::SendFailed);
    return LinkResult{LinkError::SendFailed};
  }

  const uint64_t t0 = clock_.NowMs();
  bool read = false;
  StreamVerdict verdict;
  for (;;) {
    bool settled = false;
    int countBefore = 0;
    if (fast_) {
      countBefore = WaitForReplyBytes(t0, timeoutMs);
      settled = countBefore >= 1;
    } else {
      do {
        clock_.Sleep(5);
        countBefore = port_.BytesQueued();
        clock_.Sleep(8);
        const int countAfter = port_.BytesQueued();
        settled = countBefore >= 1 && countAfter == countBefore;
      } while (!settled && clock_.NowMs() - t0 <= timeoutMs);
    }
    // No (further) reply: the block counts as sent; its reply, or the rest
    // of it, comes with a later one.
    if (!settled) break;

    const int got =
        port_.Read(replyBuffer_.data(), std::min(countBefore, static_cast<int>(kReplyCapacity)));
    if (got <= 0) break;
    replyLength_ = static_cast<uint16_t>(got);
    if (!read) ackCount_ = 0;  // the list describes this call's replies
    read = true;
    DecodeStreamBytes(std::span<const uint8_t>(replyBuffer_.data(), static_cast<size_t>(got)),
                      verdict);
    if (verdict.failed || !decoder_.Pending() || clock_.NowMs() - t0 > timeoutMs) break;
  }

  lastError_ = Format("time is %d(ms)", static_cast<int>(clock_.NowMs() - t0));
  if (!verdict.failed) return {};
  Fail(LinkError::StreamError, verdict.text);
  return LinkResult{LinkError::StreamError};
}

LinkResult PhoneLink::Send(std::span<const uint8_t> head, std::span<const uint8_t> body) {
  protocol_ = LinkProtocol::Streaming;
  if (body.size() > kMaxWriteData) {
    Fail(LinkError::TooLong,
         Format("A stream write of %zu bytes exceeds the block limit of %zu bytes", body.size(),
                kMaxWriteData));
    frameLength_ = 0;
    return LinkResult{LinkError::TooLong};
  }
  SuspensionPoint();
  requestCode_ = head.empty() ? 0 : head[0];
  frameLength_ = static_cast<uint32_t>(FrameRequest(protocol_, head, body, frameBuffer_));
  if (port_.WriteKeepInput(frameBuffer_.data(), static_cast<int>(frameLength_)) !=
      static_cast<int>(frameLength_)) {
    Fail(LinkError::SendFailed);
    return LinkResult{LinkError::SendFailed};
  }
  return {};
}

LinkResult PhoneLink::Collect() {
  const int got = port_.Read(replyBuffer_.data(), kCollectLimit);
  if (got <= 0) return {};
  replyLength_ = static_cast<uint16_t>(got);
  return DecodeStreamReplies(
      std::span<const uint8_t>(replyBuffer_.data(), static_cast<size_t>(got)));
}

}  // namespace quorrel

// One line's conversation with its phone over the diagnostic port.
//
// A command encodes its request packet, hands it to Transact (or to one of the
// streaming calls) with a check of the replies, and on failure puts its own
// sentence in front of LastError. The packet layouts and reply parsers are
// the protocol layers' pure functions; this class owns the port, the buffers,
// the framing and the wait for replies.
#pragma once

#include <algorithm>
#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "link/frame_decoder.h"
#include "link/records.h"
#include "platform/clock.h"
#include "platform/serial_port.h"

namespace quorrel {

enum class LinkProtocol : int32_t { Diag = 0, Dmss = 1, Streaming = 2, Raw = 3 };

class PhoneLink;

// The kinds of failure the link reports. Each has the sentence the line shows
// (LastError); the fixed ones are LinkErrorText's, the others carry the
// phone's code or the protocol's reason.
enum class LinkError : uint8_t {
  None = 0,
  SendFailed,     // the port took less than the whole frame
  NoReply,        // nothing came within the time-out
  ReplyTooLarge,  // more than the reply buffer holds
  NoEndFlag,      // a reply began but did not end
  WrongCrc,       // a reply frame with a bad check
  NoTries,        // asked for no tries at all
  ErrorReply,     // a diagnostic error reply: DiagErrorText of its code
  StreamError,    // the programmer's error reply: StreamErrorText of its code
  Refused,        // an intact reply the protocol's parser refused, with its reason
  TooLong,        // the request does not fit in one packet
};

// The sentence of a fixed kind; empty for the kinds whose text depends on
// what the phone said.
std::string_view LinkErrorText(LinkError error);

// What an exchange ended with.
struct LinkResult {
  LinkError error = LinkError::None;
  explicit operator bool() const { return error == LinkError::None; }
};

// An intact reply packet (without its check bytes) and the bytes it took on
// the wire.
struct LinkReply {
  std::span<const uint8_t> packet;
  size_t rawLength = 0;
};

// What a protocol makes of an intact reply: accepted; refused with the
// reason the line reports (the try has failed); or skipped, when the reply
// plainly answers another request (a late copy of an earlier one's): the try
// waits on for its own within its time-out, and ends with the reason when
// none comes.
struct ReplyVerdict {
  bool accepted = true;
  std::string reason;
  bool skipped = false;

  static ReplyVerdict Accept() { return {}; }
  static ReplyVerdict Refuse(std::string_view why) { return {false, std::string(why)}; }
  static ReplyVerdict Skip(std::string_view why) { return {false, std::string(why), true}; }
};

// Looks at each intact reply of a request; empty accepts every one.
using ReplyCheck = std::function<ReplyVerdict(const LinkReply&)>;

// One request: its unframed packet (without check bytes), the protocol that
// frames it, and how often and how long to wait for its reply.
struct LinkRequest {
  LinkProtocol protocol = LinkProtocol::Diag;
  std::span<const uint8_t> packet;
  uint8_t tries = 1;
  uint32_t timeoutMs = 0;
};

// Frames a packet (head then body, either may be empty) with its check bytes
// into out: a leading flag for the download protocols, stuffing, the closing
// flag. Returns the frame's length, 0 when it does not fit in out.
size_t FrameRequest(LinkProtocol protocol, std::span<const uint8_t> head,
                    std::span<const uint8_t> body, std::span<uint8_t> out);

// The first reply frame in bytes, unframed and checked, as a line decodes a
// reply read whole: its packet (without check bytes) into packet and the
// bytes it took into rawLength, or why there is none (NoEndFlag, WrongCrc,
// ReplyTooLarge). A bad frame before it is skipped.
LinkError DecodeFirstReply(LinkProtocol protocol, std::span<const uint8_t> bytes,
                           std::vector<uint8_t>& packet, size_t& rawLength);

class PhoneLink {
 public:
  // Largest packet any request makes: a downloader write of kMaxWriteData
  // bytes (code, 4-byte address, 2-byte length, data).
  static constexpr size_t kMaxPacket = 1 + 4 + 2 + kMaxWriteData;
  // Every byte of packet and CRC stuffed, plus two flags.
  static constexpr size_t kFrameCapacity = 2 * (kMaxPacket + 2) + 2;
  static constexpr size_t kReplyCapacity = 1024;
  static constexpr size_t kMaxAcks = 64;
  static constexpr int kCollectLimit = 1000;
  // Fast mode: the quiet after a downloader reply (see RunTries).
  static constexpr uint32_t kFastDmssQuietMs = 3;

  PhoneLink(Clock& clock, SerialDevices& devices);
  virtual ~PhoneLink();
  PhoneLink(const PhoneLink&) = delete;
  PhoneLink& operator=(const PhoneLink&) = delete;

  // ---- request / reply exchange ----
  // Sends the request and waits up to its time-out per try for a reply that
  // check accepts (a diagnostic error reply fails the try by itself; raw
  // replies are not decoded). A reply still unfinished when it settles is
  // waited for within the same time-out. On failure LastError says why.
  LinkResult Transact(const LinkRequest& request, const ReplyCheck& check = {});

  // ---- streaming ----
  // One streaming write: keeps earlier replies queued, waits for the reply to
  // settle (and to finish, within timeoutMs); no reply within timeoutMs still
  // counts as sent. The block-written replies read are Acknowledged.
  LinkResult SendAndCollect(std::span<const uint8_t> packet, uint32_t timeoutMs);
  // Frames one streaming packet (head then body, straight from the caller's
  // data) and sends it, keeping received bytes; reads nothing. A body longer
  // than kMaxWriteData is refused (TooLong) without sending.
  LinkResult Send(std::span<const uint8_t> head, std::span<const uint8_t> body);
  // Decodes whatever streaming replies are queued (at most kCollectLimit
  // bytes); a reply cut off at the end is finished by a later read. Nothing
  // queued leaves Acknowledged as it was.
  LinkResult Collect();
  // Decodes bytes as streaming replies just read, as Collect does.
  LinkResult DecodeStreamReplies(std::span<const uint8_t> bytes);
  // The addresses of the blocks the last collection saw written, in order
  // (at most kMaxAcks).
  std::span<const uint32_t> Acknowledged() const {
    return std::span<const uint32_t>(ackAddresses_.data(), ackCount_);
  }
  void ClearAcknowledged() { ackCount_ = 0; }

  // ---- the port and the clock ----
  Clock& clock() { return clock_; }
  // Fast: a reply is taken as soon as its closing flag has come, the wait
  // blocking on the port, instead of once the bytes stop growing over a
  // sampling interval. Off by default.
  void SetFast(bool fast) { fast_.store(fast, std::memory_order_relaxed); }
  bool Fast() const { return fast_.load(std::memory_order_relaxed); }
  // Fast mode's looks for a modem that is still starting: no try of a
  // request waits longer than ms for its reply (0: each request's own
  // time-out). A reply that comes later is dropped by the next write.
  void CapReplyWait(uint32_t ms) { replyWaitCapMs_ = ms; }
  // The diagnostic port; jobs open and close it.
  SerialPort& Port() { return port_; }

  // ---- what the last request left ----
  // The protocol of the last request, or the one a caller found the phone
  // speaking.
  LinkProtocol Protocol() const { return protocol_; }
  void SetProtocol(LinkProtocol p) { protocol_ = p; }
  // Why the last failure happened, as the line reports it. Not cleared by a
  // later success.
  const std::string& LastError() const { return lastError_; }
  // A command's own reason, or a caller's, in place of the link's.
  void SetLastError(std::string_view text) { lastError_ = text; }
  // Puts a command's failure sentence (with one "%s") in front of the reason
  // in LastError.
  void ChainError(const char* sentence);
  // The reply packet the last request decoded (before its protocol's check),
  // without its check bytes; empty when none came.
  std::span<const uint8_t> LastReply() const {
    return std::span<const uint8_t>(replyBuffer_.data(), packetLength_);
  }
  // The bytes a raw request got back, undecoded.
  std::span<const uint8_t> RawReply() const {
    return std::span<const uint8_t>(replyBuffer_.data(),
                                    std::min<size_t>(replyLength_, kReplyCapacity));
  }
  // The first byte of the intact diagnostic error reply that ended the last
  // try of the last request; 0 when that try ended any other way.
  uint8_t ErrorReplyCode() const { return diagErrorReply_; }

 private:
  // Clears the reply and frame buffers for a new request.
  void ResetRequest();
  FrameDecoder::Start StartOf(LinkProtocol p) const;
  // Runs the request's check on a decoded packet, then puts it into the reply
  // buffer unless the check skipped it. 1: accepted, 0: refused (the try has
  // failed), -1: skipped (why in skipped; the reply buffer is left as it is).
  int AcceptReply(std::span<const uint8_t> packet, size_t rawLength, std::string& skipped);
  // What a run of streaming replies amounted to: the reason of the first
  // failure, an error reply's text taking the place of a bad frame's.
  struct StreamVerdict {
    bool failed = false;
    bool errorReply = false;
    std::string_view text;
  };
  // Feeds streaming reply bytes to the line's decoder, appending the
  // addresses of written blocks and noting failures in verdict.
  void DecodeStreamBytes(std::span<const uint8_t> bytes, StreamVerdict& verdict);
  // Notes the stray bytes dropped in front of a frame in the wire's record.
  void NoteNoise(const FrameDecoder::Event& e);
  // Records a failure of a fixed kind, or of any kind with its reason.
  void Fail(LinkError error);
  void Fail(LinkError error, std::string_view reason);
  // The try loop of Transact, on the frame in the frame buffer.
  bool RunTries(uint8_t tries, uint32_t timeoutMs);
  // Fast mode's wait for reply bytes within a time-out that began at t0:
  // the bytes queued once some came, 0 when none did in time.
  int WaitForReplyBytes(uint64_t t0, uint32_t timeoutMs);

  Clock& clock_;
  SerialPort port_;
  // The request under way: its protocol, code byte, frame and check.
  LinkProtocol protocol_ = LinkProtocol::Diag;
  uint8_t requestCode_ = 0;
  // Set from the thread that starts jobs while a port watch may be reading.
  std::atomic<bool> fast_{false};
  uint32_t replyWaitCapMs_ = 0;
  uint32_t frameLength_ = 0;
  std::array<uint8_t, kFrameCapacity> frameBuffer_{};
  const ReplyCheck* check_ = nullptr;
  // The bytes read for it, then the packet of its reply (zeros behind it).
  uint16_t replyLength_ = 0;
  std::array<uint8_t, kReplyCapacity> replyBuffer_{};
  uint16_t packetLength_ = 0;
  // What it ended with.
  LinkError failure_ = LinkError::None;
  std::string lastError_;
  uint8_t diagErrorReply_ = 0;
  // The addresses of written blocks the last streaming collection read.
  uint8_t ackCount_ = 0;
  std::array<uint32_t, kMaxAcks> ackAddresses_{};
  // The line's reply decoder: holds a reply cut off by the end of a read
  // until the rest comes. Cleared whenever a request discards the input.
  FrameDecoder decoder_;
};

}  // namespace quorrel

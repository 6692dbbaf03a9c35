// One line's conversation with its phone over the diagnostic port.
//
// A command fills in the request (protocol, code, parameters), calls Exchange
// (or one of the streaming variants) and, on failure, puts its own sentence in
// front of lastError. The packet layouts and reply parsers of each protocol
// are supplied by the protocol layers through ProtocolCodecs; this class owns
// the port, the buffers, the framing and the wait for replies.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>

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

// What a protocol makes of an intact reply: accepted, or refused with the
// reason the line reports.
struct ReplyVerdict {
  bool accepted = true;
  std::string reason;

  static ReplyVerdict Accept() { return {}; }
  static ReplyVerdict Refuse(std::string_view why) { return {false, std::string(why)}; }
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

// Packet builder and reply parser of one protocol.
class PacketCodec {
 public:
  virtual ~PacketCodec() = default;
  // Writes the packet of the current request (link.requestCode and
  // link.request, link.dataBlock) into out; returns its length, or 0 for no
  // packet. Never writes more than out.size() bytes.
  virtual size_t BuildPacket(const PhoneLink& link, std::span<uint8_t> out) const = 0;
  // Parses the unframed reply in link.replyBuffer (link.packetLength bytes,
  // zeros after them; link.reply.code already set) into link.reply. Returns
  // non-zero when the reply is accepted; may set link.lastError when not.
  virtual int ParseReply(PhoneLink& link) const = 0;
};

struct ProtocolCodecs {
  const PacketCodec* diag = nullptr;
  const PacketCodec* dmss = nullptr;
  const PacketCodec* streaming = nullptr;
};

class PhoneLink {
 public:
  // Largest packet any request makes: a downloader write of kMaxWriteData
  // bytes (code, 4-byte address, 2-byte length, data).
  static constexpr size_t kMaxPacket = 1 + 4 + 2 + kMaxWriteData;
  // Every byte of packet and CRC stuffed, plus two flags.
  static constexpr size_t kFrameCapacity = 2 * (kMaxPacket + 2) + 2;
  static constexpr size_t kReplyCapacity = 1024;
  static constexpr size_t kDataBlockCapacity = 1024;
  static constexpr size_t kMaxAcks = 64;
  static constexpr int kCollectLimit = 1000;

  PhoneLink(Clock& clock, SerialDevices& devices, const ProtocolCodecs& codecs);
  virtual ~PhoneLink();
  PhoneLink(const PhoneLink&) = delete;
  PhoneLink& operator=(const PhoneLink&) = delete;

  // ---- request / reply exchange ----
  // Sends the request and waits up to its time-out per try for a reply that
  // check accepts (a diagnostic error reply fails the try by itself; raw
  // replies are not decoded). A reply still unfinished when it settles is
  // waited for within the same time-out. On failure LastError says why.
  LinkResult Transact(const LinkRequest& request, const ReplyCheck& check = {});

  // Prepares a new request: clears scratchText, the data block, the reply and
  // frame buffers. Keeps lastError, protocol, requestCode, the request
  // parameters, the reply record and the acknowledged list.
  void ResetRequest();
  // The first steps of every command: ResetRequest, then its protocol and code.
  void BeginRequest(LinkProtocol requestProtocol, uint8_t code);
  // Puts a command's failure sentence (with one "%s") in front of the reason
  // in lastError.
  void ChainError(const char* sentence);
  // Sends the current request and waits up to timeoutMs per try for its
  // reply; a reply still unfinished when it settles is waited for within the
  // same time-out. 1 on success; 0 with the reason in lastError (also when
  // asked for no tries at all).
  int Exchange(uint8_t tries, uint32_t timeoutMs);
  // One streaming write: keeps earlier replies queued, waits for the reply to
  // settle (and to finish, within timeoutMs); no reply within timeoutMs still
  // counts as sent.
  int ExchangeStreamWrite(uint32_t timeoutMs);
  // Sends frameBuffer as it is, keeping received bytes; reads nothing.
  int SendFrameOnly();
  // Decodes whatever streaming replies are queued (at most kCollectLimit
  // bytes); a reply cut off at the end is finished by a later read.
  int CollectReplies();

  // ---- framing ----
  // Appends the two CRC bytes behind length bytes; returns length + 2.
  static size_t AppendCrc(uint8_t* buffer, size_t length);
  // 1 when the length bytes (packet and its CRC) are intact; 0 for length 0.
  static int CheckCrc(const uint8_t* buffer, size_t length);
  // Builds the frame of the current request into frameBuffer; returns its
  // length (0 when the request has no packet or does not fit).
  uint32_t EncodeRequestFrame();
  // Unframes the first frame in replyBuffer in place, checks it and runs the
  // protocol's parser. A bad frame before it is skipped.
  int DecodeReplyFrame();
  // Streaming: decodes every reply in replyBuffer, collecting the addresses
  // of written blocks into ackAddresses. A reply cut off at the end is kept
  // and finished by the bytes of the next call (or of a collection).
  int DecodeReplyFrames();
  // Builds a streaming write frame straight from the caller's data.
  // 0 (with lastError) when length exceeds kMaxWriteData.
  int BuildStreamWriteFrame(const uint8_t* data, uint32_t address, uint32_t length);

  Clock& clock() { return clock_; }
  // The diagnostic port; jobs open and close it.
  SerialPort& Port() { return port; }

  // ---- what the last request left ----
  // The protocol of the last request, or the one a caller found the phone
  // speaking.
  LinkProtocol Protocol() const { return protocol; }
  void SetProtocol(LinkProtocol p) { protocol = p; }
  // Why the last failure happened, as the line reports it. Not cleared by a
  // later success.
  const std::string& LastError() const { return lastError; }
  // A command's own reason, or a caller's, in place of the link's.
  void SetLastError(std::string_view text) { lastError = text; }
  // The reply packet the last request decoded (before its protocol's check),
  // without its check bytes; empty when none came.
  std::span<const uint8_t> LastReply() const {
    return std::span<const uint8_t>(replyBuffer.data(), packetLength);
  }
  // The bytes a raw request got back, undecoded.
  std::span<const uint8_t> RawReply() const {
    return std::span<const uint8_t>(replyBuffer.data(), std::min<size_t>(replyLength, kReplyCapacity));
  }
  // The first byte of the intact diagnostic error reply that ended the last
  // try of the last request; 0 when that try ended any other way.
  uint8_t ErrorReplyCode() const { return diagErrorReply; }

  // ---- state, read and written by the commands and the line code ----
  SerialPort port;
  uint8_t ackCount = 0;
  std::array<uint32_t, kMaxAcks> ackAddresses{};
  uint8_t requestCode = 0;
  RequestParams request;
  ReplyRecord reply;
  uint32_t frameLength = 0;
  std::array<uint8_t, kFrameCapacity> frameBuffer{};
  uint16_t replyLength = 0;
  std::array<uint8_t, kReplyCapacity> replyBuffer{};
  // Bytes of the unframed reply packet, without its CRC.
  uint16_t packetLength = 0;
  std::string lastError;
  std::string scratchText;
  LinkProtocol protocol = LinkProtocol::Diag;
  std::array<uint8_t, kDataBlockCapacity> dataBlock{};
  uint32_t dataBlockLength = 0;
  uint16_t rawReplyLength = 0;
  // The six digits of the service programming code sent to unlock the phone.
  std::string serviceCode = "000000";
  // The first byte of the intact diagnostic error reply that ended the last
  // try of the last Exchange; 0 when that try ended any other way.
  uint8_t diagErrorReply = 0;

 private:
  const PacketCodec* CodecFor(LinkProtocol p) const;
  FrameDecoder::Start StartOf(LinkProtocol p) const;
  // Puts a checked packet into replyBuffer and runs the protocol's parser.
  int AcceptReply(std::span<const uint8_t> packet, size_t rawLength);
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
  // The try loop of Transact and Exchange, on the frame in frameBuffer.
  int RunTries(uint8_t tries, uint32_t timeoutMs);

  Clock& clock_;
  ProtocolCodecs codecs_;
  // The line's reply decoder: holds a reply cut off by the end of a read
  // until the rest comes. Cleared whenever a request discards the input.
  FrameDecoder decoder_;
  // The check of the request under way (Transact); without one the
  // protocol's codec parses.
  const ReplyCheck* check_ = nullptr;
  LinkError failure_ = LinkError::None;
};

}  // namespace quorrel

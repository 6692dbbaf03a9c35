// The codes of the three protocols the modem's diagnostic port speaks: the
// first byte of every request and reply packet, and the status values the
// replies carry. They are bytes on the wire, so each protocol keeps them in a
// plain enumeration of its own namespace.
#pragma once

#include <cstdint>

namespace quorrel::sim {

// The firmware's diagnostic protocol.
namespace diag {

enum Code : uint8_t {
  kEsn = 0x01,
  kBadCommand = 0x13,     // error reply: a request the firmware does not know
  kBadParameters = 0x14,  // error reply: a value it does not offer
  kBadLength = 0x15,      // error reply: a request of the wrong length
  kNvRead = 0x26,
  kNvWrite = 0x27,
  kModeChange = 0x29,
  kVersionTexts = 0x39,
  kEnterDownloader = 0x3A,
  kServiceCode = 0x41,
  kSubsystem = 0x4B,
  kVendorCommand = 0x5C,
  kBuildVersion = 0x7C,
};

// The modes a mode change asks for.
enum ModeChange : uint16_t {
  kOffline = 1,
  kReset = 2,
  kOnline = 4,
};

// Subsystem requests: the subsystem byte, then a 16-bit command.
enum Subsystem : uint8_t {
  kReadinessSubsystem = 0x04,  // command 0x000E: the readiness poll
  kAutorunSubsystem = 0xA1,
  kHandshakeSubsystem = 0xA3,  // commands 6 (challenge) and 7 (answer)
  kSwitchSubsystem = 0xAA,
};
inline constexpr uint8_t kReadinessPoll = 0x0E;
inline constexpr uint8_t kGetChallenge = 0x06;
inline constexpr uint8_t kAnswerChallenge = 0x07;

}  // namespace diag

// The boot code's DMSS downloader.
namespace dmss {

enum Code : uint8_t {
  kProgrammerHello = 0x01,  // the programmer's greeting, refused here
  kAck = 0x02,
  kNak = 0x03,
  kGo = 0x05,
  kNoOp = 0x06,
  kParameters = 0x07,
  kParametersReply = 0x08,
  kReset = 0x0A,
  kWrite = 0x0F,
};

// The reason a NAK gives.
enum NakReason : uint16_t {
  kBadCrc = 1,
  kOutsideRam = 2,
  kLengthMismatch = 3,
  kTooShort = 4,
  kTooLong = 5,
  kUnknownRequest = 6,
};

}  // namespace dmss

// The flash programmer's streaming protocol: each request's reply is the
// request code plus one.
namespace stream {

enum Code : uint8_t {
  kHello = 0x01,
  kHelloReply = 0x02,
  kWrite = 0x07,
  kWriteReply = 0x08,
  kNoOp = 0x09,
  kNoOpReply = 0x0A,
  kReset = 0x0B,
  kResetReply = 0x0C,
  kError = 0x0D,
  kClose = 0x15,
  kCloseReply = 0x16,
  kSecurityMode = 0x17,
  kSecurityModeReply = 0x18,
  kPartitionTable = 0x19,
  kPartitionTableReply = 0x1A,
  kOpenMultiImage = 0x1B,
  kOpenMultiImageReply = 0x1C,
};

// The code an error reply carries.
enum ErrorCode : uint32_t {
  kBeyondFlash = 2,
  kBadLength = 3,
  kTooShort = 4,
  kUnsupported = 5,
  kOutOfOrder = 15,
  kIncompatibleHello = 17,
};

// Image types of an open multi-image request.
enum ImageType : uint8_t {
  kAmss = 5,
};

}  // namespace stream

}  // namespace quorrel::sim

// The diagnostic requests of a phone running its normal firmware, each one
// exchange on the line's PhoneLink. Every operation returns 1 on success and
// 0 on failure, with the reason in link.LastError() (the operation's own
// sentence chained in front of the lower layer's reason where it has one).
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string_view>

#include "link/phone_link.h"
#include "link/records.h"

namespace quorrel {

inline constexpr uint32_t kEsnFailure = 0xFFFFFFFF;
// NV statuses: no valid answer; and the two that stand for a diagnostic
// error reply to an NV request (bad command; bad parameters or length).
inline constexpr uint16_t kNvStatusFailure = 0xFFFF;
inline constexpr uint16_t kNvStatusBadCommand = 2;
inline constexpr uint16_t kNvStatusBadParameter = 6;
inline constexpr size_t kBuildTextSize = 256;
inline constexpr size_t kDeviceValueSize = 8;
inline constexpr size_t kDeviceAnswerSize = 16;

// ESN request; esn = 0xFFFFFFFF on failure.
int GetEsn(PhoneLink& link, uint32_t& esn);
// One ESN request with the given time-out and no sentence of its own: 1 when
// the phone answered it. Its reply is the link's LastReply.
int ProbeEsn(PhoneLink& link, uint32_t timeoutMs);
// Mode change to 2 (reset), 1 (offline), 4.
int ResetPhone(PhoneLink& link);
int PutOffline(PhoneLink& link);
int ChangeModeFour(PhoneLink& link);
// The 256-byte build text (not necessarily NUL-terminated); zeroed on failure.
int GetBuildVersion(PhoneLink& link, std::array<char, kBuildTextSize>& text);
// The nine version texts; zeroed on failure.
int GetVersionTexts(PhoneLink& link, VersionTexts& texts);
int SwitchToDownloader(PhoneLink& link);
int SendCommand5C(PhoneLink& link);
// 1 when the phone reports itself ready.
int PollReady(PhoneLink& link);
// Sends the service programming code (six digits; see diag::EncodeSpc).
int SendServiceCode(PhoneLink& link, std::string_view code);
// Sends the default service programming code, 000000.
int SendSpc(PhoneLink& link);

// NV items. A reply counts only when it echoes the request's command and
// item and has the full length; any other reply is retried like a lost one.
// status is the phone's NV status (0 success); 2 or 6 when the last try got a
// diagnostic error reply (bad command; bad parameters or length); 0xFFFF when
// the phone gave no valid answer. A failed read zeroes data; the read sends
// the current content of data with the request.
int WriteNvItem(PhoneLink& link, uint16_t item, std::span<const uint8_t, kNvDataSize> data,
                uint16_t& status);
int ReadNvItem(PhoneLink& link, uint16_t item, std::span<uint8_t, kNvDataSize> data,
               uint16_t& status);

// Vendor subsystem requests, sent as prepared packets and checked on the
// reply bytes as they arrive.
int SetVendorSwitchAA(PhoneLink& link, uint8_t value);
int SetAutorun(PhoneLink& link, uint8_t value);
// The phone's 8-byte value; zeroed on failure.
int GetDeviceValue(PhoneLink& link, std::span<uint8_t, kDeviceValueSize> value);
int SetDeviceValue(PhoneLink& link, std::span<const uint8_t, kDeviceAnswerSize> value);

// AT text on the diagnostic port, without framing.
int ProbeDiagMode(PhoneLink& link);
int ProbeDownloadMode(PhoneLink& link);
// ESN request, diagnostic-mode probe, ESN request: 1 as soon as one answers.
int CheckCommunication(PhoneLink& link);

}  // namespace quorrel

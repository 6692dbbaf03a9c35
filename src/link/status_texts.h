// The reasons the phone gives for refusing a request, as the texts the line
// reports: diagnostic error replies, NV item statuses, downloader rejects and
// streaming programmer errors.
#pragma once

#include <cstdint>
#include <string_view>

namespace quorrel {

// First byte of a diagnostic reply that does not echo the request code.
std::string_view DiagErrorText(uint8_t code);
// Status word of an NV read or write reply; empty for 0 and unknown values.
std::string_view NvStatusText(uint16_t status);
// Reason word of a downloader reject; empty for unknown reasons.
std::string_view DmssRejectText(uint16_t reason);
// Error code of a streaming programmer error reply.
std::string_view StreamErrorText(uint32_t code);

// Texts of the exchange layer.
inline constexpr std::string_view kTextSendFailed = "Port Cannot Send desired data to the Phone";
inline constexpr std::string_view kTextNoReply = "Port Cannot Receive Desired Data from the Phone";
inline constexpr std::string_view kTextReplyTooLarge =
    "The Received Data from the Phone is Too Large";
inline constexpr std::string_view kTextNoEndFlag =
    "the Received Data is Wrong without End Flag(0x7e)";
inline constexpr std::string_view kTextWrongCrc =
    "the Received Data is Wrong with Wrong CRC Checksum";
inline constexpr std::string_view kTextWrongCrcMulti =
    "the Received Data is Wrong with CRC Checksum";
inline constexpr std::string_view kTextNoTries = "the Request was Given No Tries";

}  // namespace quorrel

// The request parameters a command fills in and the reply fields the protocol
// parsers extract. Each command uses the few fields it needs.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace quorrel {

// The nine version texts of the phone: nine 31-byte text slots, a 13-byte and
// a 10-byte field, all NUL-terminated, in one contiguous 302-byte area. A text
// that fills its whole slot runs on into the next one, as on the phone.
struct VersionTexts {
  static constexpr size_t kSize = 302;
  static constexpr size_t kTextWidth = 31;
  static constexpr size_t kField10Offset = 9 * kTextWidth;       // 279
  static constexpr size_t kField11Offset = kField10Offset + 13;  // 292

  std::array<char, kSize> bytes{};

  // Text n (1 to 9), up to its NUL or the end of the area.
  std::string_view Text(int n) const { return At(static_cast<size_t>(n - 1) * kTextWidth); }
  std::string_view Field10() const { return At(kField10Offset); }
  std::string_view Field11() const { return At(kField11Offset); }
  void Clear() { bytes.fill(0); }

 private:
  std::string_view At(size_t offset) const {
    size_t end = offset;
    while (end < kSize && bytes[end] != 0) ++end;
    return std::string_view(bytes.data() + offset, end - offset);
  }
};

// What the downloader reports about the flash.
struct FlashParameters {
  uint8_t replyCode = 0;
  uint8_t version = 0;
  uint8_t minVersion = 0;
  uint32_t value32 = 0;
  uint8_t model = 0;
  uint8_t rawSizeCode = 0;
  uint32_t flashSizeBytes = 0;
  uint8_t flashKind = 0;
  uint8_t sizeCode = 0;
  std::array<char, 64> flashText1{};
  std::array<char, 64> flashText2{};
};

inline constexpr size_t kNvDataSize = 128;
// Largest data of one downloader or streaming write request.
inline constexpr size_t kMaxWriteData = 1031;

struct RequestParams {
  uint16_t mode = 0;
  uint16_t nvItem = 0;
  std::array<uint8_t, kNvDataSize> nvData{};
  uint16_t nvStatus = 0;
  uint32_t address = 0;
  uint32_t length = 0;
  uint8_t imageType = 0;
  uint16_t segment = 0;
  uint16_t offset = 0;
  std::array<uint8_t, kMaxWriteData> data{};
};

// The parsed reply. Not cleared between requests: a command reads only the
// fields its own reply filled.
struct ReplyRecord {
  uint8_t code = 0;
  // diagnostic replies
  uint32_t esn = 0;
  uint16_t mode = 0;
  uint16_t nvItem = 0;
  std::array<uint8_t, kNvDataSize> nvData{};
  uint16_t nvStatus = 0;
  std::array<uint8_t, 3> buildHead{};
  uint32_t buildValue1 = 0;
  uint32_t buildValue2 = 0;
  std::array<char, 256> buildText{};
  uint8_t readiness = 0;
  VersionTexts versions;
  // downloader replies
  FlashParameters flash;
  // streaming replies
  uint32_t streamError = 0;
};

}  // namespace quorrel

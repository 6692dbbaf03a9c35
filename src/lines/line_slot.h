// One line's slot: its settings record and its run-time state.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

#include "lines/fixed_text.h"
#include "lines/settings_record.h"
#include "link/records.h"

namespace quorrel {

inline constexpr int kLineCount = 8;

// Phone state of a line.
inline constexpr int32_t kPhoneNoPort = 0;    // no diagnostic port configured
inline constexpr int32_t kPhoneNoAnswer = 1;  // port configured, no phone answered
inline constexpr int32_t kPhoneAnswered = 2;

// Line modes.
inline constexpr int32_t kModeDownload = 1;
inline constexpr int32_t kModeRepair = 2;
inline constexpr int32_t kModeBackupNv = 3;
inline constexpr int32_t kModeRestoreNv = 4;

inline constexpr const char kNoPhoneText[] = "нет телефона";

class LineJob {
 public:
  static constexpr size_t kVersionCapacity = 256;

  SettingsRecord settings;

  // 1 while the line's job runs; the user-interface thread clears it to ask
  // the job to stop.
  std::atomic<int32_t> runFlag{0};
  std::atomic<int32_t> phoneState{kPhoneNoPort};
  std::atomic<int32_t> lineMode{kModeDownload};
  // What the downloader reported about the flash.
  FlashParameters flashInfo;

  // What the phone reported about itself, or "нет телефона". Read and written
  // by the line's threads and the user-interface thread.
  std::string VersionText() const;
  // False (text unchanged) when text does not fit 255 characters.
  bool SetVersionText(std::string_view text);

 private:
  mutable std::mutex version_mutex_;
  FixedText<kVersionCapacity> version_text_;
};

}  // namespace quorrel

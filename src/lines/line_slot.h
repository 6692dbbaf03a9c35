// One line's slot: its settings record and its run-time state.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "lines/fixed_text.h"
#include "lines/settings_record.h"
#include "link/records.h"

namespace quorrel {

inline constexpr int kLineCount = 8;

// Phone state of a line.
enum class PhoneState : int32_t {
  NoPort = 0,    // no diagnostic port configured
  NoAnswer = 1,  // port configured, no phone answered
  Answered = 2,
};

// What a line's job does with its modem.
enum class LineMode : int32_t {
  Download = 1,
  Repair = 2,
  BackupNv = 3,
  RestoreNv = 4,
};

inline constexpr const char kNoPhoneText[] = "нет телефона";

// Which modem a line works with. From the start of a job until its end the
// line is bound to one modem: discovery then gives the line that modem's
// ports only, wherever it is re-enumerated, and waits while it is away;
// before NV items are written back, the modem's identity is checked against
// what the job saw.
struct ModemBinding {
  // Where the modem is attached: the instance part of its device path (on
  // Linux the USB port path, a companion port counted as the same place).
  // Empty: the line is not bound.
  std::string location;
  // The USB serial number, where the modem has one.
  std::string serial;
  // The modem's ESN, once the job has read it.
  std::optional<uint32_t> esn;

  bool Bound() const { return !location.empty(); }
};

// Where the ports that discovery last gave a line are, as ModemBinding
// names places; empty when unknown.
struct ModemPlace {
  std::string location;
  std::string serial;
  // A bound line's place held by another modem (its serial number), which
  // the line does not take; empty when not.
  std::string takenBy;
};

class LineJob {
 public:
  static constexpr size_t kVersionCapacity = 256;

  SettingsRecord settings;

  // 1 while the line's job runs; the user-interface thread clears it to ask
  // the job to stop.
  std::atomic<int32_t> runFlag{0};
  std::atomic<PhoneState> phoneState{PhoneState::NoPort};
  std::atomic<LineMode> lineMode{LineMode::Download};
  // What the downloader reported about the flash.
  FlashParameters flashInfo;

  // What the phone reported about itself, or "нет телефона". Read and written
  // by the line's threads and the user-interface thread.
  std::string VersionText() const;
  // False (text unchanged) when text does not fit 255 characters.
  bool SetVersionText(std::string_view text);
  // The version the form last showed for the line (the carrier's version,
  // read over the data port where the firmware's build text names a chip
  // that tells it there): what a job's record names. Falls back to the
  // version text before anything was shown.
  std::string ShownVersionText() const;
  void SetShownVersionText(std::string_view text);

  // The modem the line is bound to (see ModemBinding); safe from any thread.
  ModemBinding Binding() const;
  void SetBinding(ModemBinding binding);
  void ClearBinding() { SetBinding({}); }
  // Records the ESN of the bound modem.
  void SetBoundEsn(uint32_t esn);
  // Where discovery last found the line's ports.
  ModemPlace Place() const;
  void SetPlace(ModemPlace place);

 private:
  mutable std::mutex version_mutex_;
  FixedText<kVersionCapacity> version_text_;
  std::string shown_version_;
  mutable std::mutex binding_mutex_;
  ModemBinding binding_;
  ModemPlace place_;
};

}  // namespace quorrel

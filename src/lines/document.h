// The document: the eight line slots, each with the PhoneLink and the AT
// channel it owns, and the values shared by all lines. It exists once for
// the whole run.
//
// Every line's PhoneLink and AtChannel are made over the Clock and the
// SerialDevices given to the constructor: the system ones for the
// application, a virtual clock and in-memory ports for tests.
#pragma once

#include <array>
#include <atomic>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "lines/line_assignment.h"
#include "lines/line_slot.h"
#include "link/phone_link.h"
#include "platform/clock.h"
#include "platform/serial_port.h"
#include "services/at_channel.h"

namespace quorrel {

// NV options of a download.
inline constexpr int kNvNoBackup = 0;       // "No bakup NV"
inline constexpr int kNvRestoreRf = 1;      // "Only restore RF NV"
inline constexpr int kNvRestoreRfImei = 2;  // "Restore RF NV and IMEI"
inline constexpr int kNvLoadDefault = 3;    // "不备份,装载缺省NV文件"

// True when QUORREL_FAST is 1: fast mode asked for where no option can ask
// for it (the windows, whose forms have no room for the control).
bool FastModeFromEnvironment();

class CQuorrelDoc {
 public:
  static constexpr size_t kFileSize = kLineCount * SettingsRecord::kSize;  // 41,312
  static constexpr int32_t kBaudRate = 115200;

  // Creates the eight links and AT channels and sets the construction
  // defaults: zeroed records at 115200 baud, line 1 on COM1 and no port on
  // the others, run flags 0, line mode 1, version "нет телефона", NV option 2.
  CQuorrelDoc(Clock& clock, SerialDevices& devices);
  ~CQuorrelDoc();
  CQuorrelDoc(const CQuorrelDoc&) = delete;
  CQuorrelDoc& operator=(const CQuorrelDoc&) = delete;

  // Slot access, line 0 to 7 (std::out_of_range otherwise).
  LineJob& line(int index) { return *lines_.at(static_cast<size_t>(index)); }
  const LineJob& line(int index) const { return *lines_.at(static_cast<size_t>(index)); }
  PhoneLink& link(int index) { return *links_.at(static_cast<size_t>(index)); }
  AtChannel& at(int index) { return *at_channels_.at(static_cast<size_t>(index)); }

  Clock& clock() { return clock_; }
  // Fast mode for every line's link and AT channel: replies are taken as
  // they arrive and waits end on events (see PhoneLink::SetFast). Set
  // before jobs start; off by default.
  void SetFast(bool fast);
  bool Fast() const { return fast_.load(); }
  // Which modem each line serves once every modem gets a line of its own.
  LineAssignment& assignment() { return assignment_; }
  SerialDevices& devices() { return devices_; }

  // New document: the programmer "armprg.bin", the NV directory and the NV
  // files Channel1.nvm to Channel8.nvm in exeDirectory; then phone state 1
  // and "нет телефона" on lines with a diagnostic port, else 0 and "NULL".
  // A directory too long for the paths is refused: false, *error says why,
  // and no path changes.
  bool OnNewDocument(std::string_view exeDirectory, std::string* error = nullptr);
  // The folder the last new document was made for (empty before one).
  const std::string& ProgramFolder() const { return program_folder_; }

  // The document file: the eight settings records in line order, no header.
  std::vector<uint8_t> SaveSettings() const;
  // Restores the eight records (ports and paths; no run-time state). Input
  // that is not exactly kFileSize bytes or holds an unterminated text is
  // refused as a whole, with the reason in *error.
  bool LoadSettings(std::span<const uint8_t> data, std::string* error = nullptr);
  // Writes the document file; an older file at path is replaced only once
  // the new one is whole.
  bool SaveToFile(std::string_view path, std::string* error = nullptr) const;
  bool LoadFromFile(std::string_view path, std::string* error = nullptr);

  // ---- document-wide values ----
  std::atomic<int> nvOption{kNvRestoreRfImei};
  // The stand-alone NV restore writes the NV file into whatever modem is
  // attached, even one it was not saved from (the user asked for it).
  std::atomic<bool> nvRestoreIntoOtherModem{false};
  std::string CurrentVersionText() const;
  void SetCurrentVersionText(std::string_view text);
  // The running Windows version's name; empty until detected, and on systems
  // that are no Windows.
  std::string OsName() const;
  void SetOsName(std::string_view name);

  // ---- a line's AT port ----
  // Closes the line's AT port if open, opens it at port/baud (8N1) and on
  // success sets a 1000 ms wait and 2 tries. 1 on success.
  int OpenAtPort(int index, int port, int baud);
  // True when the data port already reports diagnostic mode 6, else the
  // result of switching it to 6.
  bool EnableDiagPort(int index);
  bool DisableDiagPort(int index);
  bool CloseAtPort(int index);
  int SendAtCommand(int index, std::string_view text);

 private:
  Clock& clock_;
  SerialDevices& devices_;
  std::array<std::unique_ptr<LineJob>, kLineCount> lines_;
  std::array<std::unique_ptr<PhoneLink>, kLineCount> links_;
  std::array<std::unique_ptr<AtChannel>, kLineCount> at_channels_;
  mutable std::mutex values_mutex_;
  std::string current_version_;
  std::string os_name_;
  LineAssignment assignment_;
  std::atomic<bool> fast_{false};
  std::string program_folder_;
};

}  // namespace quorrel

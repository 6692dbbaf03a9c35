// The boot code's DMSS downloader: takes the flash programmer into RAM and
// starts it.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "sim/frame_reader.h"
#include "sim/modem_core.h"

namespace quorrel::sim {

class DownloaderMode {
 public:
  explicit DownloaderMode(ModemCore& core);

  // The modem boots into boot: RAM is lost unless the programmer comes back
  // from its own start (it runs there).
  void Boot(ModemMode boot);
  // The firmware hands over to the downloader: RAM starts empty.
  void Enter();

  void Request(const HostFrame& frame);

  // What RAM holds at the load address (the contiguous part).
  std::vector<uint8_t> Uploaded() const;
  // The programmer the last successful go started, else what RAM holds.
  std::vector<uint8_t> StartedOrUploaded() const;

 private:
  void Reject(uint8_t requestCode, uint16_t reason, const std::string& why);
  void Parameters();
  void Write(const Packet& p);
  // Adds [offset, end) to the written ranges, merging neighbours.
  void MarkWritten(uint32_t offset, uint32_t end);
  void Go(const Packet& p);
  bool ProgrammerInRam(std::string* why) const;

  ModemCore& core_;
  const ModemConfig& config_;
  std::vector<uint8_t> ram_;
  std::map<uint32_t, uint32_t> ram_written_;  // offset -> end, merged
  uint32_t writes_ = 0;
  std::vector<uint8_t> started_programmer_;  // what the last successful go ran
};

}  // namespace quorrel::sim

// The flash programmer running in RAM: the streaming download of the
// partition table and the images into flash.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sim/frame_reader.h"
#include "sim/modem_core.h"

namespace quorrel::sim {

class ProgrammerMode {
 public:
  explicit ProgrammerMode(ModemCore& core);

  // The modem boots: the programmer (if it runs again) waits for a hello, and
  // an image left open is abandoned.
  void Boot();
  // The downloader started the programmer: it waits for a hello.
  void Enter();

  void Request(const HostFrame& frame);

 private:
  void Error(uint8_t requestCode, uint32_t code, const std::string& why);
  // True when the request may be answered at all (framing, greeting, stall).
  bool Admit(const HostFrame& frame);
  bool LengthIs(const Packet& p, size_t n);
  void Hello(const Packet& p);
  void Write(const Packet& p);
  // A write the fault plan answers otherwise; true when one did.
  bool WriteFault(const Packet& p, uint8_t type, uint32_t address);
  void Close();
  void PartitionTable(const Packet& p);
  void LosePower();
  void Open(const Packet& p);

  ModemCore& core_;
  const ModemConfig& config_;

  bool greeted_ = false;
  bool secure_ = false;
  bool partition_sent_ = false;
  // The programmer answers nothing until it is greeted again.
  bool stalled_ = false;

  // Fault bookkeeping.
  std::vector<uint32_t> stream_error_uses_;
  uint32_t writes_ = 0;
  bool unplug_done_ = false;
  bool power_loss_done_ = false;
  bool stall_done_ = false;
};

}  // namespace quorrel::sim

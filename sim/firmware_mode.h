// The modem's normal firmware: diagnostic requests on the diagnostic port
// (with the two AT probes the firmware's interpreter takes there), and AT
// commands on the data port.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "sim/frame_reader.h"
#include "sim/modem_core.h"
#include "sim/random.h"

namespace quorrel::sim {

class FirmwareMode {
 public:
  explicit FirmwareMode(ModemCore& core);

  // The firmware boots: the modem is online, no challenge is pending, the
  // service code is locked again.
  void Boot();

  void Request(const HostFrame& frame);
  void AtOnDiag(const std::string& line);
  void AtOnData(const std::string& raw);

  const std::string& version() const { return current_version_; }
  bool offline() const { return offline_; }
  const HandshakeState& handshake() const { return handshake_; }
  const std::vector<std::string>& cdRun() const { return cdrun_; }

 private:
  // The error reply: the error code, then the request echoed (bounded).
  static Packet ErrorReply(uint8_t error, const Packet& request);
  void Error(uint8_t error, const Packet& request, const std::string& why);
  void ModeChange(const Packet& p);
  void VersionTexts();
  void BuildVersion();
  void ServiceCode(const Packet& p);
  void Subsystem(const Packet& p);
  void ReadinessPoll(const Packet& p);
  void VendorSetting(const Packet& p);
  void GetChallenge(const Packet& p);
  void AnswerChallenge(const Packet& p);
  std::vector<uint8_t> NextChallenge();
  void Nv(const Packet& p);
  // Answers an NV request through the first NV reply fault that applies;
  // false when none does.
  bool FaultyNvReply(const Packet& p, bool write, uint16_t item, const NvData& data);

  ModemCore& core_;
  const ModemConfig& config_;
  SeededRandom challenge_random_;

  std::string current_version_;
  bool offline_ = false;
  uint32_t polls_since_offline_ = 0;
  bool at_echo_;
  std::vector<std::string> cdrun_;
  std::optional<std::vector<uint8_t>> pending_challenge_;
  HandshakeState handshake_;
  bool spc_unlocked_ = false;
  std::map<uint16_t, uint32_t> nv_fault_uses_;
  // Per NV reply fault: the item's uses so far.
  std::vector<std::map<uint16_t, uint32_t>> nv_reply_fault_uses_;
};

}  // namespace quorrel::sim

// What the virtual modem records of a host's conversation with it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sim/config.h"
#include "sim/flash_store.h"
#include "sim/link_model.h"
#include "sim/nv_store.h"
#include "sim/transport.h"

namespace quorrel::sim {

struct RequestRecord {
  uint64_t timeMs = 0;
  PortRole port = PortRole::Diag;
  ModemMode mode = ModemMode::Normal;
  int code = -1;      // request code; -1 for AT text and noise
  size_t length = 0;  // packet bytes (AT: characters)
  std::string what;   // a short description
};

struct Violation {
  uint64_t timeMs = 0;
  ModemMode mode = ModemMode::Normal;
  std::string text;
};

struct AtRecord {
  uint64_t timeMs = 0;
  PortRole port = PortRole::Data;
  std::string command;
  bool answered = false;
};

struct VendorRecord {
  uint64_t timeMs = 0;
  std::string
      name;  // "switch_aa", "autorun", "get_value", "set_value", "command_5c", "spc", "ready_poll"
  std::vector<uint8_t> value;
  std::string result;
};

struct HandshakeState {
  enum class Result { NotAttempted, Passed, Failed };
  Result result = Result::NotAttempted;
  std::vector<uint8_t> challenge;  // the last challenge handed out
  std::vector<uint8_t> answer;     // the last answer received
  int challenges = 0;
  int answers = 0;
};
std::string_view HandshakeResultName(HandshakeState::Result result);

struct AttachRecord {
  uint64_t timeMs = 0;
  bool attached = false;  // false: detached
  Enumeration ports;
  std::string reason;
};

struct ModemSnapshot {
  uint64_t nowMs = 0;
  ModemMode mode = ModemMode::Detached;
  std::optional<Enumeration> ports;
  std::vector<AttachRecord> attachHistory;
  std::vector<RequestRecord> requests;
  std::vector<Violation> violations;
  std::vector<AtRecord> atCommands;
  std::vector<VendorRecord> vendorRequests;
  HandshakeState handshake;
  std::vector<NvWriteRecord> nvWrites;
  std::vector<std::vector<uint8_t>> partitionTables;
  std::vector<FlashImage> images;
  // The programmer the last successful go started, else what RAM holds at
  // the load address now.
  std::vector<uint8_t> programmer;
  std::string version;
  uint8_t autorun = 0;
  uint8_t vendorSwitchAA = 0;
  int diagPortMode = 0;
  std::vector<std::string> cdRun;
  CostFloor floor;
};

}  // namespace quorrel::sim

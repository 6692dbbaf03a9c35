// The modem's NV items: 128 data bytes and a state per item, defaults derived
// from the seed, and a record of every write the host made.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <vector>

#include "sim/config.h"

namespace quorrel::sim {

inline constexpr size_t kNvItemSize = 128;
using NvData = std::array<uint8_t, kNvItemSize>;

// NV statuses the store answers with.
inline constexpr uint16_t kNvDone = 0;
inline constexpr uint16_t kNvNotActive = 5;
inline constexpr uint16_t kNvReadOnly = 7;

struct NvWriteRecord {
  uint64_t timeMs = 0;
  uint16_t item = 0;
  NvData data{};
  uint16_t status = 0;  // what the modem answered
};

class NvStore {
 public:
  enum class State { Active, Inactive, ReadOnly };

  explicit NvStore(const ModemConfig& config);

  State StateOf(uint16_t item) const;
  void SetState(uint16_t item, State state);

  // The item's current content (defaults for items never written).
  NvData Data(uint16_t item) const;
  // The content the item had when the modem was made.
  NvData DefaultData(uint16_t item) const;

  // A read: status and data (zero data unless the status is 0).
  uint16_t Read(uint16_t item, NvData* data) const;
  // A write: stores the data when the item takes it; returns the status.
  uint16_t Write(uint16_t item, const NvData& data);
  // Stores without any check (for tests and set-up).
  void Put(uint16_t item, const NvData& data) { written_[item] = data; }

  // Items whose content differs from their default.
  std::vector<uint16_t> ChangedItems() const;

 private:
  uint64_t seed_;
  std::map<uint16_t, State> states_;
  std::map<uint16_t, NvData> written_;
  std::map<uint16_t, NvData> initial_;
};

}  // namespace quorrel::sim

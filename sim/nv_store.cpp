#include "sim/nv_store.h"

#include <algorithm>

#include "sim/random.h"

namespace quorrel::sim {

NvStore::NvStore(const ModemConfig& config) : seed_(config.seed) {
  for (uint16_t item : config.inactiveItems) states_[item] = State::Inactive;
  for (uint16_t item : config.readOnlyItems) states_[item] = State::ReadOnly;
  for (const auto& [item, bytes] : config.nvContents) {
    NvData data{};
    std::copy_n(bytes.begin(), std::min(bytes.size(), data.size()), data.begin());
    initial_[item] = data;
  }
}

NvStore::State NvStore::StateOf(uint16_t item) const {
  auto it = states_.find(item);
  return it == states_.end() ? State::Active : it->second;
}

void NvStore::SetState(uint16_t item, State state) {
  states_[item] = state;
}

NvData NvStore::DefaultData(uint16_t item) const {
  auto it = initial_.find(item);
  if (it != initial_.end()) return it->second;
  // Calibration-like content: a run of seeded bytes whose length depends on
  // the item, zeros after it, as most items use only part of their 128 bytes.
  SeededRandom random(seed_ * 0x100000001B3ULL + item);
  NvData data{};
  size_t used = 1 + random.Below(kNvItemSize);
  for (size_t i = 0; i < used; ++i) data[i] = random.NextByte();
  return data;
}

NvData NvStore::Data(uint16_t item) const {
  auto it = written_.find(item);
  return it != written_.end() ? it->second : DefaultData(item);
}

uint16_t NvStore::Read(uint16_t item, NvData* data) const {
  data->fill(0);
  if (StateOf(item) == State::Inactive) return kNvNotActive;
  *data = Data(item);
  return kNvDone;
}

uint16_t NvStore::Write(uint16_t item, const NvData& data) {
  switch (StateOf(item)) {
    case State::Inactive:
      return kNvNotActive;
    case State::ReadOnly:
      return kNvReadOnly;
    case State::Active:
      break;
  }
  written_[item] = data;
  return kNvDone;
}

std::vector<uint16_t> NvStore::ChangedItems() const {
  std::vector<uint16_t> out;
  for (const auto& [item, data] : written_) {
    if (data != DefaultData(item)) out.push_back(item);
  }
  return out;
}

}  // namespace quorrel::sim

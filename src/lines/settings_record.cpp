#include "lines/settings_record.h"

#include <cstring>

#include "util/text.h"

namespace quorrel {

namespace {

void PutInt(uint8_t* out, int32_t v) {
  uint32_t u = static_cast<uint32_t>(v);
  for (int i = 0; i < 4; ++i) out[i] = static_cast<uint8_t>(u >> (8 * i));
}

int32_t GetInt(const uint8_t* in) {
  uint32_t u = 0;
  for (int i = 0; i < 4; ++i) u |= static_cast<uint32_t>(in[i]) << (8 * i);
  return static_cast<int32_t>(u);
}

// The text fields with their offsets, for the record's two directions.
template <typename Record, typename Visit>
void ForEachText(Record& r, Visit visit) {
  using R = SettingsRecord;
  visit(r.partitionPath, R::kPartitionPath, "partition.mbn path");
  visit(r.pblPath, R::kPblPath, "pbl.mbn path");
  visit(r.qcsblhdCfgdataPath, R::kQcsblhdCfgdataPath, "qcsblhd_cfgdata.mbn path");
  visit(r.qcsblPath, R::kQcsblPath, "qcsbl.mbn path");
  visit(r.oemsblhdPath, R::kOemsblhdPath, "oemsblhd.mbn path");
  visit(r.oemsblPath, R::kOemsblPath, "oemsbl.mbn path");
  visit(r.amsshdPath, R::kAmsshdPath, "amsshd.mbn path");
  visit(r.amssPath, R::kAmssPath, "amss.mbn path");
  visit(r.firmwareFolder, R::kFirmwareFolder, "firmware folder");
  visit(r.efsPath, R::kEfsPath, "efs.mbn path");
  visit(r.nvDirectory, R::kNvDirectory, "NV directory");
  visit(r.upgradeProgrammerFile, R::kUpgradeProgrammerFile, "upgrade programmer file");
  visit(r.bootFile, R::kBootFile, "boot file");
  visit(r.armprgPath, R::kArmprgPath, "armprg.bin path");
  visit(r.nvFile, R::kNvFile, "NV file");
  visit(r.defaultNvFile, R::kDefaultNvFile, "default NV file");
  visit(r.firmwareFolderCopy, R::kFirmwareFolderCopy, "firmware folder copy");
  visit(r.nandprghdPath, R::kNandprghdPath, "nandprghd.mbn path");
  visit(r.nandprgcombinedPath, R::kNandprgcombinedPath, "nandprgcombined.mbn path");
}

static_assert(SettingsRecord::kNandprgcombinedPath + 260 == SettingsRecord::kSize);

}  // namespace

void SettingsRecord::StoreTo(std::span<uint8_t, kSize> out) const {
  std::memset(out.data(), 0, kSize);
  ForEachText(*this, [&](const auto& field, size_t offset, const char*) {
    field.StoreTo(out.data() + offset);
  });
  std::memcpy(out.data() + kReserved, reserved.data(), reserved.size());
  PutInt(out.data() + kDiagPort, diagPort);
  PutInt(out.data() + kAtPort, atPort);
  PutInt(out.data() + kBaudRate, baudRate);
}

bool SettingsRecord::LoadFrom(std::span<const uint8_t, kSize> in, std::string* error) {
  SettingsRecord loaded;
  bool ok = true;
  ForEachText(loaded, [&](auto& field, size_t offset, const char* name) {
    if (ok && !field.LoadFrom(in.data() + offset)) {
      ok = false;
      if (error != nullptr) {
        *error = Format("The %s at offset %zu is not terminated within its %zu bytes", name, offset,
                        field.kCapacity);
      }
    }
  });
  if (!ok) return false;
  std::memcpy(loaded.reserved.data(), in.data() + kReserved, loaded.reserved.size());
  loaded.diagPort = GetInt(in.data() + kDiagPort);
  loaded.atPort = GetInt(in.data() + kAtPort);
  loaded.baudRate = GetInt(in.data() + kBaudRate);
  *this = loaded;
  return true;
}

}  // namespace quorrel

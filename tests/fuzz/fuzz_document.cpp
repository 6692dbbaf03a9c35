// The document file (eight settings records) and one settings record.
// Input: the file's bytes; the first record's worth, padded with zeros, is
// also read as one record. What was read is written back unchanged.
#include <fstream>

#include "fuzz/fuzz_support.h"
#include "lines/document.h"
#include "platform/memory_wire.h"
#include "platform/paths.h"

using namespace quorrel;
using namespace quorrel::fuzz;

namespace {

std::vector<SettingsRecord> Records(const CQuorrelDoc& doc) {
  std::vector<SettingsRecord> out;
  for (int i = 0; i < kLineCount; ++i) out.push_back(doc.line(i).settings);
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::filesystem::path& root = ScratchRoot();
  (void)root;
  static VirtualClock clock;
  static MemoryPorts ports;
  const std::span<const uint8_t> bytes(data, size);

  CQuorrelDoc doc(clock, ports);
  std::string error;
  const bool loaded = doc.LoadSettings(bytes, &error);
  FUZZ_CHECK(loaded || !error.empty());
  if (loaded) {
    const Bytes saved = doc.SaveSettings();
    CQuorrelDoc again(clock, ports);
    FUZZ_CHECK(again.LoadSettings(saved, &error));
    FUZZ_CHECK(Records(again) == Records(doc));
    FUZZ_CHECK(again.SaveSettings() == saved);
  }

  // The same bytes as a file read the same way.
  static const std::string path = "C:\\settings\\quorrel.dat";
  static const bool made = [] {
    std::filesystem::create_directories(MapPath(path).parent_path());
    return true;
  }();
  (void)made;
  {
    std::ofstream out(MapPath(path), std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  }
  CQuorrelDoc fromFile(clock, ports);
  FUZZ_CHECK(fromFile.LoadFromFile(path, &error) == loaded);
  if (loaded) FUZZ_CHECK(Records(fromFile) == Records(doc));

  std::array<uint8_t, SettingsRecord::kSize> one{};
  std::copy_n(data, std::min(size, one.size()), one.begin());
  SettingsRecord record;
  if (record.LoadFrom(one, &error)) {
    std::array<uint8_t, SettingsRecord::kSize> stored{};
    record.StoreTo(stored);
    SettingsRecord back;
    FUZZ_CHECK(back.LoadFrom(stored, &error));
    FUZZ_CHECK(back == record);
  }
  return 0;
}

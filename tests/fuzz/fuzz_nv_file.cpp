// The NV file, read back into a modem: whatever the file holds, the modem is
// written only the valid records it holds, and only with their data. Input:
// the NV option, then the file's bytes.
#include <fstream>
#include <set>

#include "app/recording_display.h"
#include "fuzz/fuzz_support.h"
#include "jobs/nv_backup.h"
#include "platform/memory_wire.h"
#include "platform/paths.h"
#include "sim/in_process.h"

using namespace quorrel;
using namespace quorrel::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::filesystem::path& root = ScratchRoot();
  (void)root;
  static const std::string path = "C:\\nv\\Channel1.nvm";
  static const bool made = [] {
    std::filesystem::create_directories(MapPath(path).parent_path());
    return true;
  }();
  (void)made;

  Input in(data, size);
  const int option = 1 + in.Byte() % 3;
  const std::span<const uint8_t> file = in.Rest();
  {
    std::ofstream out(MapPath(path), std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(file.data()),
              static_cast<std::streamsize>(file.size()));
  }

  VirtualClock clock;
  MemoryPorts ports;
  sim::ModemConfig config;
  config.timings.nvReplyMs = 1;
  config.timings.replyMs = 1;
  sim::InProcessModem modem(clock, ports, config, sim::InProcessModem::Options{false});
  modem.PlugIn();
  CQuorrelDoc doc(clock, ports);
  doc.nvOption = option;
  FUZZ_CHECK(doc.link(0).Port().Open(modem.DiagPort(), 115200, 8, 1));
  RecordingDisplay display;
  JobEnvironment env{doc,          display, [](int) { return false; }, [](int) {}, [](int) {},
                     std::nullopt, {}};

  (void)RestoreNv(env, 0, path);

  // What the file allowed: its records with status 0, up to the end marker.
  std::set<std::pair<uint16_t, std::array<uint8_t, kNvDataSize>>> allowed;
  if (file.size() == NvTable::kFileSize) {
    NvTable table;
    table.LoadFrom(file.first<NvTable::kFileSize>());
    for (const NvRecord& r : table.records) {
      if (r.item >= kNvEndItem) break;
      if (r.status == 0) allowed.insert({r.item, r.data});
    }
  }
  for (const sim::NvWriteRecord& w : modem.device().NvWrites()) {
    FUZZ_CHECK(allowed.count({w.item, w.data}) == 1);
    if (option == kNvRestoreRf) FUZZ_CHECK(w.item != 550 && w.item != 4051);
  }
  return 0;
}

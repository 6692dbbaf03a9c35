#include <cstdio>

#include "cli/commands.h"
#include "jobs/nv_backup.h"
#include "jobs/repair_job.h"
#include "util/text.h"

namespace quorrel::cli {

std::optional<int> RepairPreflight(CQuorrelDoc& doc, CliDisplay& display) {
  const int option = doc.nvOption.load();
  if (option == kNvNoBackup) return std::nullopt;
  const std::string file = NvRestoreFile(doc, 0, option);
  if (NvFileIsWhole(file)) return std::nullopt;
  const std::string why = Format(
      "the NV file \"%s\" is missing or not %zu bytes, so the NV items cannot be written back "
      "after the repair; "
      "give the NV folder that holds the backup with --nv-dir, or repair without a restore with "
      "--nv-option 0",
      file.c_str(), NvTable::kFileSize);
  std::fprintf(stderr, "quorrel-cli: %s\n", why.c_str());
  display.Say("result: not started (" + std::to_string(kExitNotStarted) + "): " + why);
  return kExitNotStarted;
}

bool WaitForDiagPort(JobEnvironment& env, std::optional<uint64_t> limitMs) {
  Clock& clock = env.clock();
  const uint64_t start = clock.NowMs();
  for (;;) {
    if (env.discoverLinePorts && env.discoverLinePorts(0) && env.doc.line(0).settings.diagPort > 0)
      return true;
    if (limitMs && clock.NowMs() - start >= *limitMs) return false;
    clock.Sleep(1000);
  }
}

}  // namespace quorrel::cli

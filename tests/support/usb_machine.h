// A scratch machine for the programs over USB: quorrel-sim attached as USB
// devices in a sysfs tree of the test's own, quorrel-cli bridging them, the
// user's state and config folders beside them; and the embedded release the
// simulator's dump must hold after a download.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "release/embedded_resources.h"
#include "support/child_process.h"
#include "support/scoped_env.h"
#include "support/sim_report.h"

namespace quorrel::testsupport {

// The programs of the build the test runs in (QUORREL_TEST_BINARY_DIR, set
// by ctest); false when the test is not run through ctest.
inline bool FindPrograms(std::filesystem::path* cli, std::filesystem::path* sim) {
  const std::optional<Programs> found = FindCliAndSimulator();
  if (!found) return false;
  *cli = found->cli;
  *sim = found->simulator;
  return true;
}

// Lays out the machine under `machine` (sys, dev, nv, out, a modem table
// naming the simulator's two identities) and points the programs at it for
// the life of the returned settings.
inline std::vector<std::unique_ptr<ScopedEnv>> UseUsbMachine(const std::filesystem::path& machine) {
  for (const char* folder : {"sys", "dev", "nv", "out"})
    std::filesystem::create_directories(machine / folder);
  // Both identities a modem shows: its firmware's and the chipset's
  // download mode.
  std::ofstream(machine / "modems.conf")
      << "1e0e:9000 diag=0 at=2 Virtual card\n05c6:9008 diag=0 Download mode\n";
  std::vector<std::unique_ptr<ScopedEnv>> env;
  for (auto [name, value] :
       {std::pair<const char*, std::string>{"QUORREL_SYSFS", (machine / "sys").string()},
        {"QUORREL_DEV", (machine / "dev").string()},
        {"QUORREL_MODEMS", (machine / "modems.conf").string()},
        {"QUORREL_USB_BRIDGE", "1"},
        {"XDG_STATE_HOME", (machine / "state").string()},
        {"XDG_CONFIG_HOME", (machine / "config").string()}}) {
    env.push_back(std::make_unique<ScopedEnv>(name, value));
  }
  return env;
}

// The images of the embedded release the simulator dumps, by file name, and
// their resources.
inline constexpr std::pair<const char*, int> kFlashedImages[] = {{"partition.mbn", 169},
                                                                 {"amss.mbn", 164},
                                                                 {"efs.mbn", 166},
                                                                 {"oemsbl.mbn", 168},
                                                                 {"qcsbl.mbn", 172}};

inline std::vector<uint8_t> EmbeddedImage(int id) {
  auto r = EmbeddedResources().Find(id, "SOURCEMBN");
  return r ? std::vector<uint8_t>(r->begin(), r->end()) : std::vector<uint8_t>{};
}

// The images in a simulator's dump that differ from the embedded release's
// (empty: it holds the release).
inline std::vector<std::string> ImagesNotFromTheRelease(const std::filesystem::path& dump) {
  std::vector<std::string> differ;
  for (auto [name, id] : kFlashedImages) {
    if (ReadBytes(dump / name) != EmbeddedImage(id)) differ.emplace_back(name);
  }
  return differ;
}

}  // namespace quorrel::testsupport

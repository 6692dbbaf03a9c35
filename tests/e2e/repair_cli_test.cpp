// quorrel-cli repair and nv against quorrel-sim over pseudo-terminals, in
// scaled real time: a modem attached in the downloader or the programmer is
// flashed and gets back the backup an earlier backup-nv made; the NV tools
// work on that backup as files.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <string>

#include <nlohmann/json.hpp>

#include "jobs/nv_backup.h"
#include "platform/scratch_root.h"
#include "release/embedded_resources.h"
#include "support/child_process.h"
#include "support/sim_line.h"
#include "util/text.h"

namespace quorrel {
namespace {

namespace fs = std::filesystem;
using testsupport::ChildProcess;
using testsupport::Programs;

std::vector<uint8_t> Embedded(int id) {
  auto r = EmbeddedResources().Find(id, "SOURCEMBN");
  return r ? std::vector<uint8_t>(r->begin(), r->end()) : std::vector<uint8_t>{};
}

std::string Hex(std::span<const uint8_t> bytes) {
  std::string out;
  for (uint8_t b : bytes) out += Format("%02x", b);
  return out;
}

constexpr char kRepairScale[] = "0.05";

// backup-nv against a modem in its normal firmware, seed 7.
void MakeBackup(const Programs& p, const fs::path& nvDir) {
  ChildProcess sim({p.simulator.string(), "--time-scale", kRepairScale, "--seed", "7"});
  ASSERT_TRUE(sim.ReadUntil("attached", std::chrono::seconds(30))) << sim.output();
  ChildProcess run({p.cli.string(), "backup-nv", "--time-scale", kRepairScale, "--nv-dir",
                    nvDir.string(), "--wait-seconds", "60"});
  std::optional<int> code = run.Wait(std::chrono::seconds(120));
  ASSERT_TRUE(code.has_value()) << run.output();
  ASSERT_EQ(*code, 0) << run.output();
  sim.Signal(SIGTERM);
  ASSERT_TRUE(sim.Wait(std::chrono::seconds(30)).has_value());
  ASSERT_EQ(fs::file_size(nvDir / "Channel1.nvm"), NvTable::kFileSize);
}

TEST(RepairThroughTheCli, ModemsStartedInEitherDownloadModeAreFlashedAndGetTheirBackupBack) {
  std::optional<Programs> p = testsupport::FindCliAndSimulator();
  if (!p) GTEST_SKIP() << "QUORREL_TEST_BINARY_DIR is not set (run through ctest)";
  quorrel::testing::ScratchRoot root;
  const fs::path work = root.path() / "work";
  fs::create_directories(work / "nv");
  MakeBackup(*p, work / "nv");
  std::vector<uint8_t> bytes = testsupport::ReadBytes(work / "nv" / "Channel1.nvm");
  NvTable backup;
  backup.LoadFrom(std::span<const uint8_t, NvTable::kFileSize>(bytes.data(), bytes.size()));

  for (const char* mode : {"downloader", "programmer"}) {
    SCOPED_TRACE(mode);
    const fs::path out = work / mode;
    fs::create_directories(out);
    // The modem the backup was made from (the same seed), now stuck.
    ChildProcess sim({p->simulator.string(), "--time-scale", kRepairScale, "--seed", "7",
                      "--start-in", mode, "--dump", (out / "dump").string(), "--report",
                      (out / "report.json").string()});
    ASSERT_TRUE(sim.ReadUntil("data=none", std::chrono::seconds(30))) << sim.output();

    ChildProcess run({p->cli.string(), "repair", "--time-scale", kRepairScale, "--nv-dir",
                      (work / "nv").string(), "--wait-seconds", "60"});
    std::optional<int> code = run.Wait(std::chrono::seconds(240));
    ASSERT_TRUE(code.has_value()) << run.output();
    EXPECT_EQ(*code, 0) << run.output();
    EXPECT_NE(run.output().find("result: success"), std::string::npos) << run.output();

    sim.Signal(SIGTERM);
    ASSERT_TRUE(sim.Wait(std::chrono::seconds(30)).has_value());
    EXPECT_EQ(testsupport::ReadBytes(out / "dump" / "amss.mbn"), Embedded(164));
    EXPECT_EQ(testsupport::ReadBytes(out / "dump" / "partition.mbn"), Embedded(169));
    EXPECT_EQ(testsupport::ReadBytes(out / "dump" / "efs.mbn"), Embedded(166));

    std::vector<uint8_t> reportBytes = testsupport::ReadBytes(out / "report.json");
    nlohmann::json report = nlohmann::json::parse(reportBytes.begin(), reportBytes.end());
    EXPECT_TRUE(report["violations"].empty()) << report["violations"].dump(1);
    EXPECT_EQ(report["settings"]["autorun"], 1);
    // On a loaded machine a write's reply can come after the updater's
    // (scaled) time-out and the write is sent again: what counts is the data
    // each item ends with, and that nothing else was written.
    std::map<int, std::string> last;
    for (const nlohmann::json& w : report["nv_writes"])
      last[w["item"].get<int>()] = w["data"].get<std::string>();
    // The NV table lists some items more than once; each is written back in
    // table order, so the last record of an item is what it ends with.
    std::map<int, std::string> expected;
    for (const NvRecord& r : backup.records) {
      if (r.item >= kNvEndItem) break;
      if (r.status == 0) expected[r.item] = Hex(r.data);
    }
    for (const auto& [item, data] : expected) {
      auto it = last.find(item);
      ASSERT_NE(it, last.end()) << "item " << item << " not written back";
      EXPECT_EQ(it->second, data) << "item " << item;
    }
    EXPECT_EQ(last.size(), expected.size());
  }
}

TEST(RepairThroughTheCli, NormalModemAndMissingBackupAreNotStarted) {
  std::optional<Programs> p = testsupport::FindCliAndSimulator();
  if (!p) GTEST_SKIP() << "QUORREL_TEST_BINARY_DIR is not set (run through ctest)";
  quorrel::testing::ScratchRoot root;
  const fs::path work = root.path() / "work";
  fs::create_directories(work / "nv");

  ChildProcess sim({p->simulator.string(), "--time-scale", kRepairScale, "--start-in", "downloader",
                    "--report", (work / "report.json").string()});
  ASSERT_TRUE(sim.ReadUntil("attached", std::chrono::seconds(30))) << sim.output();
  // No backup in the NV folder: refused before the modem is asked anything.
  ChildProcess refused({p->cli.string(), "repair", "--time-scale", kRepairScale, "--nv-dir",
                        (work / "nv").string(), "--wait-seconds", "30"});
  std::optional<int> code = refused.Wait(std::chrono::seconds(60));
  ASSERT_TRUE(code.has_value());
  EXPECT_EQ(*code, 3) << refused.output();
  EXPECT_NE(refused.output().find("missing or not 98600 bytes"), std::string::npos)
      << refused.output();
  EXPECT_NE(refused.output().find("--nv-option 0"), std::string::npos) << refused.output();
  sim.Signal(SIGTERM);
  ASSERT_TRUE(sim.Wait(std::chrono::seconds(30)).has_value());
  std::vector<uint8_t> reportBytes = testsupport::ReadBytes(work / "report.json");
  nlohmann::json report = nlohmann::json::parse(reportBytes.begin(), reportBytes.end());
  EXPECT_TRUE(report["requests"].empty()) << report["requests"].dump(1);

  // A modem in its normal firmware is not stuck.
  ChildProcess normal({p->simulator.string(), "--time-scale", kRepairScale, "--nv-inactive", "90",
                       "--report", (work / "normal.json").string()});
  ASSERT_TRUE(normal.ReadUntil("attached", std::chrono::seconds(30))) << normal.output();
  ChildProcess run({p->cli.string(), "repair", "--time-scale", kRepairScale, "--nv-option", "0",
                    "--wait-seconds", "30"},
                   work.string());
  code = run.Wait(std::chrono::seconds(120));
  ASSERT_TRUE(code.has_value());
  EXPECT_EQ(*code, 3) << run.output();
  EXPECT_NE(run.output().find("not stuck: update it with the download"), std::string::npos)
      << run.output();

  // Its NV items read live, and nothing written.
  ChildProcess read({p->cli.string(), "nv", "read", "22", "90", "--time-scale", kRepairScale,
                     "--wait-seconds", "30"});
  code = read.Wait(std::chrono::seconds(60));
  ASSERT_TRUE(code.has_value());
  EXPECT_EQ(*code, 0) << read.output();
  EXPECT_NE(read.output().find("record   0  item    22  status 0 (ok)  data "), std::string::npos)
      << read.output();
  EXPECT_NE(read.output().find("record   1  item    90  status 5 (inactive)"), std::string::npos)
      << read.output();
  normal.Signal(SIGTERM);
  EXPECT_TRUE(normal.Wait(std::chrono::seconds(30)).has_value());
  reportBytes = testsupport::ReadBytes(work / "normal.json");
  report = nlohmann::json::parse(reportBytes.begin(), reportBytes.end());
  EXPECT_TRUE(report["nv_writes"].empty());
  EXPECT_TRUE(report["images"].empty());
}

TEST(NvToolsThroughTheCli, DumpDiffImportAndTheirRefusals) {
  std::optional<Programs> p = testsupport::FindCliAndSimulator();
  if (!p) GTEST_SKIP() << "QUORREL_TEST_BINARY_DIR is not set (run through ctest)";
  quorrel::testing::ScratchRoot root;
  const fs::path dir = root.path();
  NvTable table = BuildBackupTable();
  table.records[1].data[5] = 0x42;
  std::vector<uint8_t> bytes(NvTable::kFileSize);
  table.StoreTo(std::span<uint8_t, NvTable::kFileSize>(bytes.data(), bytes.size()));
  std::ofstream(dir / "a.nvm", std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()), bytes.size());

  auto run = [&](std::vector<std::string> args) {
    args.insert(args.begin(), {p->cli.string(), "nv"});
    ChildProcess c(args);
    std::optional<int> code = c.Wait(std::chrono::seconds(30));
    return std::make_pair(code.value_or(-1), c.output());
  };

  // Options before or after the file; standard output is the array alone.
  auto [jsonCode, json] = run({"dump", "--json", (dir / "a.nvm").string()});
  ASSERT_EQ(jsonCode, 0) << json;
  nlohmann::json parsed = nlohmann::json::parse(json);
  ASSERT_EQ(parsed.size(), NvTable::kRecords);
  EXPECT_EQ(parsed[1]["data"].get<std::string>().substr(10, 2), "42");
  EXPECT_EQ(run({"dump", (dir / "a.nvm").string(), "--json"}).second, json);
  std::ofstream(dir / "a.json") << json;

  auto [importCode, importOut] =
      run({"import", (dir / "a.json").string(), (dir / "b.nvm").string()});
  ASSERT_EQ(importCode, 0) << importOut;
  EXPECT_EQ(testsupport::ReadBytes(dir / "b.nvm"), bytes);
  EXPECT_EQ(run({"diff", (dir / "a.nvm").string(), (dir / "b.nvm").string()}).first, 0);

  parsed[1]["data"] = std::string(256, '0');
  std::ofstream(dir / "c.json") << parsed.dump();
  ASSERT_EQ(run({"import", (dir / "c.json").string(), (dir / "c.nvm").string()}).first, 0);
  auto [diffCode, diff] = run({"diff", (dir / "a.nvm").string(), (dir / "c.nvm").string()});
  EXPECT_EQ(diffCode, 1);
  EXPECT_NE(diff.find("record 1 item 22:"), std::string::npos) << diff;

  auto [textCode, text] = run({"dump", (dir / "a.nvm").string()});
  EXPECT_EQ(textCode, 0);
  EXPECT_NE(text.find("items read: 713, inactive: 0, without answer: 0"), std::string::npos)
      << text;

  // Refusals: nothing written.
  std::ofstream(dir / "short.nvm") << std::string(98599, '\0');
  std::ofstream(dir / "bad.json") << "[1, 2";
  EXPECT_EQ(run({"dump", (dir / "short.nvm").string()}).first, 1);
  EXPECT_EQ(run({"diff", (dir / "a.nvm").string(), (dir / "short.nvm").string()}).first, 2);
  auto [badCode, bad] = run({"import", (dir / "bad.json").string(), (dir / "d.nvm").string()});
  EXPECT_NE(badCode, 0);
  EXPECT_NE(bad.find("not valid JSON"), std::string::npos) << bad;
  EXPECT_FALSE(fs::exists(dir / "d.nvm"));
}

}  // namespace
}  // namespace quorrel

// quorrel-cli against quorrel-sim in real time: two processes, pseudo-
// terminals under a scratch root, every wait shortened with --time-scale.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/scratch_root.h"
#include "release/embedded_resources.h"
#include "support/child_process.h"
#include "support/fake_modem_manager.h"
#include "support/scoped_env.h"
#include "support/sim_line.h"

extern char** environ;

namespace quorrel {
namespace {

namespace fs = std::filesystem;

using testsupport::BinaryDir;
using testsupport::ChildProcess;

std::vector<uint8_t> Embedded(int id) {
  auto r = EmbeddedResources().Find(id, "SOURCEMBN");
  return r ? std::vector<uint8_t>(r->begin(), r->end()) : std::vector<uint8_t>{};
}

TEST(CliAgainstSimulator, DownloadOverPseudoTerminalsInScaledRealTime) {
  std::optional<fs::path> bin = BinaryDir();
  if (!bin) GTEST_SKIP() << "QUORREL_TEST_BINARY_DIR is not set (run through ctest)";
  const fs::path cli = *bin / "src/cli/quorrel-cli";
  const fs::path simulator = *bin / "sim/quorrel-sim";
  ASSERT_TRUE(fs::exists(cli)) << cli;
  ASSERT_TRUE(fs::exists(simulator)) << simulator;

  quorrel::testing::ScratchRoot root;
  const fs::path work = root.path() / "work";
  fs::create_directories(work / "nv");
  const std::string scale = "0.2";

  ChildProcess sim({simulator.string(), "--time-scale", scale, "--dump", (work / "dump").string(),
                    "--report", (work / "report.json").string()});
  ASSERT_TRUE(sim.Started());
  ASSERT_TRUE(sim.ReadUntil("attached", std::chrono::seconds(30))) << sim.output();

  ChildProcess run({cli.string(), "download", "--time-scale", scale, "--nv-dir",
                    (work / "nv").string(), "--trace", (work / "trace.txt").string(),
                    "--wait-seconds", "60"});
  ASSERT_TRUE(run.Started());
  std::optional<int> code = run.Wait(std::chrono::seconds(240));
  ASSERT_TRUE(code.has_value()) << run.output();
  EXPECT_EQ(*code, 0) << run.output();
  const std::string& out = run.output();
  EXPECT_NE(out.find("——Устанавливается..."), std::string::npos) << out;
  EXPECT_NE(out.find("——Обновление выполнено!"), std::string::npos) << out;
  EXPECT_NE(out.find("message [Поздравляем]: Обновление выполнено успешно!"), std::string::npos)
      << out;
  EXPECT_NE(out.find("progress 100/100"), std::string::npos);
  EXPECT_NE(out.find("result: success"), std::string::npos);
  EXPECT_EQ(fs::file_size(work / "nv" / "Channel1.nvm"), 98600u);

  // The trace holds both directions.
  std::vector<uint8_t> trace = testsupport::ReadBytes(work / "trace.txt");
  std::string traceText(trace.begin(), trace.end());
  EXPECT_NE(traceText.find("  >  7E"), std::string::npos);
  EXPECT_NE(traceText.find("  <  "), std::string::npos);

  sim.Signal(SIGTERM);
  std::optional<int> simCode = sim.Wait(std::chrono::seconds(30));
  ASSERT_TRUE(simCode.has_value());
  EXPECT_EQ(*simCode, 0) << sim.output();
  EXPECT_EQ(testsupport::ReadBytes(work / "dump" / "amss.mbn"), Embedded(164));
  EXPECT_EQ(testsupport::ReadBytes(work / "dump" / "partition.mbn"), Embedded(169));
  EXPECT_EQ(testsupport::ReadBytes(work / "dump" / "efs.mbn"), Embedded(166));
}

// Fast mode over real pseudo-terminals, the waits blocking on the ports, with
// replies that come in pieces and twice: the flash holds the release and the
// trace tells what was waited for.
TEST(CliAgainstSimulator, FastDownloadOverPseudoTerminalsWithRepliesInPiecesAndTwice) {
  std::optional<fs::path> bin = BinaryDir();
  if (!bin) GTEST_SKIP() << "QUORREL_TEST_BINARY_DIR is not set (run through ctest)";
  quorrel::testing::ScratchRoot root;
  const fs::path work = root.path() / "work";
  fs::create_directories(work / "nv");
  const std::string scale = "0.2";

  ChildProcess sim({(*bin / "sim/quorrel-sim").string(), "--time-scale", scale, "--dump",
                    (work / "dump").string(), "--split-replies", "count=0,every=3,cuts=3",
                    "--twice-reply", "count=0,every=7"});
  ASSERT_TRUE(sim.Started());
  ASSERT_TRUE(sim.ReadUntil("attached", std::chrono::seconds(30))) << sim.output();

  ChildProcess run({(*bin / "src/cli/quorrel-cli").string(), "download", "--fast", "--time-scale",
                    scale, "--nv-dir", (work / "nv").string(), "--trace",
                    (work / "trace.txt").string(), "--wait-seconds", "60"});
  ASSERT_TRUE(run.Started());
  std::optional<int> code = run.Wait(std::chrono::seconds(240));
  ASSERT_TRUE(code.has_value()) << run.output();
  EXPECT_EQ(*code, 0) << run.output();
  EXPECT_NE(run.output().find("result: success"), std::string::npos) << run.output();
  EXPECT_EQ(fs::file_size(work / "nv" / "Channel1.nvm"), 98600u);

  std::vector<uint8_t> trace = testsupport::ReadBytes(work / "trace.txt");
  std::string traceText(trace.begin(), trace.end());
  EXPECT_NE(traceText.find("fast: up to 8 blocks in flight"), std::string::npos);
  EXPECT_NE(traceText.find("ms for a reply to 0x"), std::string::npos);

  sim.Signal(SIGTERM);
  ASSERT_TRUE(sim.Wait(std::chrono::seconds(30)).has_value());
  EXPECT_EQ(testsupport::ReadBytes(work / "dump" / "amss.mbn"), Embedded(164));
  EXPECT_EQ(testsupport::ReadBytes(work / "dump" / "efs.mbn"), Embedded(166));
}

TEST(CliAgainstSimulator, ModemThatNeverComesBackEndsTheRunWithItsOwnExitCode) {
  std::optional<fs::path> bin = BinaryDir();
  if (!bin) GTEST_SKIP() << "QUORREL_TEST_BINARY_DIR is not set (run through ctest)";
  const fs::path cli = *bin / "src/cli/quorrel-cli";
  const fs::path simulator = *bin / "sim/quorrel-sim";
  quorrel::testing::ScratchRoot root;
  const fs::path work = root.path() / "work";
  fs::create_directories(work / "nv");
  const std::string scale = "0.05";

  ChildProcess sim({simulator.string(), "--time-scale", scale, "--no-return-after-reset", "1"});
  ASSERT_TRUE(sim.Started());
  ASSERT_TRUE(sim.ReadUntil("attached", std::chrono::seconds(30))) << sim.output();

  ChildProcess run({cli.string(), "download", "--time-scale", scale, "--nv-dir",
                    (work / "nv").string(), "--wait-seconds", "30"},
                   work.string());
  ASSERT_TRUE(run.Started());
  std::optional<int> code = run.Wait(std::chrono::seconds(120));
  ASSERT_TRUE(code.has_value()) << run.output();
  EXPECT_EQ(*code, 7) << run.output();
  const std::string& out = run.output();
  EXPECT_NE(out.find("——The modem did not come back within 30 seconds!"), std::string::npos) << out;
  EXPECT_NE(out.find("result: failed (7): modem did not come back"), std::string::npos) << out;
  EXPECT_EQ(out.find("Обновление выполнено"), std::string::npos) << out;
  // The job end wrote the action log in the folder the program started in.
  ASSERT_TRUE(fs::exists(work / "Logs"));
  EXPECT_FALSE(fs::is_empty(work / "Logs"));
  sim.Signal(SIGTERM);
  EXPECT_TRUE(sim.Wait(std::chrono::seconds(30)).has_value());
}

// --json: every line the CLI prints is one event of one schema, ending with
// the result and the job's record, which results.jsonl holds as well.
TEST(CliAgainstSimulator, JsonEventsEndWithTheResultAndTheJobsRecord) {
  std::optional<fs::path> bin = BinaryDir();
  if (!bin) GTEST_SKIP() << "QUORREL_TEST_BINARY_DIR is not set (run through ctest)";
  const fs::path cli = *bin / "src/cli/quorrel-cli";
  const fs::path simulator = *bin / "sim/quorrel-sim";
  quorrel::testing::ScratchRoot root;
  const fs::path work = root.path() / "work";
  fs::create_directories(work / "nv");
  testsupport::ScopedEnv state("XDG_STATE_HOME", (work / "state").string());
  const std::string scale = "0.05";

  ChildProcess sim({simulator.string(), "--time-scale", scale});
  ASSERT_TRUE(sim.Started());
  ASSERT_TRUE(sim.ReadUntil("attached", std::chrono::seconds(30))) << sim.output();
  ChildProcess run({cli.string(), "backup-nv", "--json", "--time-scale", scale, "--nv-dir",
                    (work / "nv").string(), "--wait-seconds", "30"},
                   work.string());
  std::optional<int> code = run.Wait(std::chrono::seconds(120));
  ASSERT_TRUE(code.has_value()) << run.output();
  EXPECT_EQ(*code, 0) << run.output();
  sim.Signal(SIGTERM);
  EXPECT_TRUE(sim.Wait(std::chrono::seconds(30)).has_value());

  std::vector<nlohmann::json> events;
  std::istringstream lines(run.output());
  for (std::string line; std::getline(lines, line);) {
    nlohmann::json event = nlohmann::json::parse(line, nullptr, false);
    ASSERT_FALSE(event.is_discarded()) << "not JSON: " << line;
    ASSERT_TRUE(event.contains("event")) << line;
    events.push_back(std::move(event));
  }
  ASSERT_FALSE(events.empty());
  auto count = [&](const char* kind) {
    return std::count_if(events.begin(), events.end(),
                         [&](const nlohmann::json& e) { return e["event"] == kind; });
  };
  EXPECT_GT(count("status"), 0);
  EXPECT_GT(count("progress"), 0);
  EXPECT_EQ(count("result"), 1);
  const nlohmann::json& result = events.back();
  ASSERT_EQ(result["event"], "result") << result.dump();
  EXPECT_EQ(result["exit_code"], 0);
  const nlohmann::json& record = result["record"];
  EXPECT_EQ(record["job"], "backup-nv");
  EXPECT_EQ(record["outcome"], "success");
  EXPECT_FALSE(record["esn"].is_null());
  EXPECT_FALSE(record["nv_sha256"].is_null());
  std::ifstream kept(work / "state" / "quorrel" / "results.jsonl");
  std::string line;
  ASSERT_TRUE(std::getline(kept, line));
  EXPECT_EQ(nlohmann::json::parse(line), record);
}

// A modem whose NV store answers nothing: the CLI says which items failed,
// flashes nothing, switches autorun back on and exits with a failure; the
// NV file of an earlier backup is still there.
TEST(CliAgainstSimulator, DownloadWithoutNvAnswersFlashesNothing) {
  std::optional<fs::path> bin = BinaryDir();
  if (!bin) GTEST_SKIP() << "QUORREL_TEST_BINARY_DIR is not set (run through ctest)";
  const fs::path cli = *bin / "src/cli/quorrel-cli";
  const fs::path simulator = *bin / "sim/quorrel-sim";
  quorrel::testing::ScratchRoot root;
  const fs::path work = root.path() / "work";
  fs::create_directories(work / "nv");
  const std::string earlier(98600, '\x5A');
  std::ofstream(work / "nv" / "Channel1.nvm", std::ios::binary) << earlier;
  const std::string scale = "0.05";

  ChildProcess sim({simulator.string(), "--time-scale", scale, "--drop-reply", "code=0x26,count=0",
                    "--dump", (work / "dump").string(), "--report",
                    (work / "report.json").string()});
  ASSERT_TRUE(sim.Started());
  ASSERT_TRUE(sim.ReadUntil("attached", std::chrono::seconds(30))) << sim.output();

  ChildProcess run({cli.string(), "download", "--time-scale", scale, "--nv-dir",
                    (work / "nv").string(), "--wait-seconds", "60"});
  ASSERT_TRUE(run.Started());
  std::optional<int> code = run.Wait(std::chrono::seconds(240));
  ASSERT_TRUE(code.has_value()) << run.output();
  EXPECT_EQ(*code, 1) << run.output();
  const std::string& out = run.output();
  EXPECT_NE(out.find("NV backup failed: no valid answer for NV items 0, 22, 90,"),
            std::string::npos)
      << out;
  EXPECT_EQ(out.find("Обновление выполнено"), std::string::npos) << out;
  std::vector<uint8_t> kept = testsupport::ReadBytes(work / "nv" / "Channel1.nvm");
  EXPECT_TRUE(std::string(kept.begin(), kept.end()) == earlier);

  sim.Signal(SIGTERM);
  std::optional<int> simCode = sim.Wait(std::chrono::seconds(30));
  ASSERT_TRUE(simCode.has_value());
  EXPECT_FALSE(fs::exists(work / "dump" / "amss.mbn"));
  EXPECT_FALSE(fs::exists(work / "dump" / "armprg.bin"));
  std::vector<uint8_t> report = testsupport::ReadBytes(work / "report.json");
  const std::string reportText(report.begin(), report.end());
  EXPECT_NE(reportText.find("\"autorun\": 1"), std::string::npos) << reportText.substr(0, 2000);
}

TEST(CliAgainstSimulator, ExitCodesTellWhyNothingWasDone) {
  std::optional<fs::path> bin = BinaryDir();
  if (!bin) GTEST_SKIP() << "QUORREL_TEST_BINARY_DIR is not set (run through ctest)";
  const std::string cli = (*bin / "src/cli/quorrel-cli").string();
  quorrel::testing::ScratchRoot root;
  struct Case {
    std::vector<std::string> args;
    int code;
    const char* says;
  };
  const Case cases[] = {
      {{cli}, 2, "no command given"},
      {{cli, "download", "--nv-option", "7"}, 2, "--nv-option takes 0, 1, 2 or 3"},
      {{cli, "flash"}, 2, "unknown argument: flash"},
      {{cli, "download", "--wait-seconds", "1", "--time-scale", "0.01"}, 5, "no modem answered"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args.back());
    ChildProcess run(c.args);
    ASSERT_TRUE(run.Started());
    std::optional<int> code = run.Wait(std::chrono::seconds(60));
    ASSERT_TRUE(code.has_value());
    EXPECT_EQ(*code, c.code) << run.output();
    EXPECT_NE(run.output().find(c.says), std::string::npos) << run.output();
  }
}

// quorrel-cli ended by SIGTERM in the middle of a download gives ModemManager
// the device back on its way out. The virtual modem's diagnostic tty is made
// a USB device's by a sysfs tree that leads its pseudo-terminal to one.
TEST(CliAgainstSimulator, TerminatedMidDownloadTheCliGivesModemManagerTheDeviceBack) {
  std::optional<fs::path> bin = BinaryDir();
  if (!bin) GTEST_SKIP() << "QUORREL_TEST_BINARY_DIR is not set (run through ctest)";
  const fs::path cli = *bin / "src/cli/quorrel-cli";
  const fs::path simulator = *bin / "sim/quorrel-sim";
  quorrel::testing::ScratchRoot root;
  const fs::path work = root.path() / "work";
  fs::create_directories(work / "nv");
  testsupport::FakeModemManager mm(root.path());
  const std::string scale = "0.05";

  ChildProcess sim({simulator.string(), "--time-scale", scale});
  ASSERT_TRUE(sim.Started());
  ASSERT_TRUE(sim.ReadUntil("attached diag=COM5", std::chrono::seconds(30))) << sim.output();
  const fs::path tty = fs::read_symlink(root.path() / "dosdevices" / "com5");
  testsupport::FakeUsbTree tree(root.path() / "sys", "1-2", tty.filename().string());
  testsupport::ScopedEnv sysfs("QUORREL_SYSFS", (root.path() / "sys").string());

  ChildProcess run({cli.string(), "download", "--time-scale", scale, "--nv-dir",
                    (work / "nv").string(), "--wait-seconds", "60"},
                   work.string());
  ASSERT_TRUE(run.Started());
  ASSERT_TRUE(mm.WaitForCalls(1)) << run.output();
  ASSERT_TRUE(run.ReadUntil("progress 2/100", std::chrono::seconds(60))) << run.output();
  run.Signal(SIGTERM);
  std::optional<int> code = run.Wait(std::chrono::seconds(30));
  ASSERT_TRUE(code.has_value());
  EXPECT_EQ(*code, 128 + SIGTERM) << run.output();
  const std::vector<testsupport::InhibitCall> calls = mm.Calls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].uid, tree.device.string());
  EXPECT_TRUE(calls[0].inhibit);
  EXPECT_EQ(calls[1].uid, tree.device.string());
  EXPECT_FALSE(calls[1].inhibit);

  sim.Signal(SIGTERM);
  EXPECT_TRUE(sim.Wait(std::chrono::seconds(30)).has_value());
}

}  // namespace
}  // namespace quorrel

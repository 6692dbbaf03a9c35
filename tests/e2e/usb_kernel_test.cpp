// quorrel-cli against quorrel-sim attached as a USB device that behaves as
// the Linux kernel shows a real modem: every mode change is a disconnect and
// a new device (the download identity on qcserial, new ttys), the
// descriptors on the old ttys hang up, and the modem may come back on the
// companion port, slowly, next to another modem, or be another modem.
#include <stdlib.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "jobs/modem_identity.h"
#include "jobs/nv_backup.h"
#include "platform/scratch_root.h"
#include "platform/sha256.h"
#include "support/child_process.h"
#include "support/scoped_env.h"
#include "support/sim_report.h"
#include "support/usb_machine.h"

namespace quorrel {
namespace {

namespace fs = std::filesystem;
using testsupport::ChildProcess;
using testsupport::ScopedEnv;

constexpr char kScale[] = "0.1";
constexpr auto kJobTime = std::chrono::seconds(300);

void ExpectReleaseIn(const fs::path& dump) {
  EXPECT_TRUE(testsupport::ImagesNotFromTheRelease(dump).empty()) << dump;
}

class KernelUsbModem : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!testsupport::FindPrograms(&cli_, &sim_))
      GTEST_SKIP() << "QUORREL_TEST_BINARY_DIR is not set (run through ctest)";
    ASSERT_TRUE(fs::exists(cli_) && fs::exists(sim_));
    env_ = testsupport::UseUsbMachine(machine_);
  }

  // A simulator over USB; waits for its first attachment.
  std::unique_ptr<ChildProcess> Simulator(const std::string& name,
                                          std::vector<std::string> options) {
    fs::create_directories(machine_ / "out" / name);
    std::vector<std::string> args = {
        sim_.string(),  "--usb",
        "--time-scale", kScale,
        "--dump",       (machine_ / "out" / name / "dump").string(),
        "--report",     (machine_ / "out" / name / "report.json").string()};
    args.insert(args.end(), options.begin(), options.end());
    auto sim = std::make_unique<ChildProcess>(args);
    EXPECT_TRUE(sim->Started());
    EXPECT_TRUE(sim->ReadUntil("attached usb=", std::chrono::seconds(30))) << sim->output();
    return sim;
  }
  // Ends a simulator; its report and dump are written at its exit.
  void Stop(ChildProcess& sim) {
    sim.Signal(SIGTERM);
    EXPECT_TRUE(sim.Wait(std::chrono::seconds(30)).has_value());
  }
  std::vector<std::string> Cli(const std::string& command) {
    return {cli_.string(),    command,    "--time-scale",
            kScale,           "--nv-dir", (machine_ / "nv").string(),
            "--wait-seconds", "60"};
  }
  nlohmann::json Report(const std::string& name) {
    return testsupport::ReadSimReport(machine_ / "out" / name / "report.json");
  }
  NvTable Backup() { return testsupport::ReadNvFile(machine_ / "nv" / "Channel1.nvm"); }
  // The job records kept so far, oldest first.
  std::vector<nlohmann::json> Records() {
    std::vector<nlohmann::json> out;
    std::ifstream in(machine_ / "state" / "quorrel" / "results.jsonl");
    for (std::string line; std::getline(in, line);) out.push_back(nlohmann::json::parse(line));
    return out;
  }

  testing::ScratchRoot root_;
  fs::path machine_ = root_.path() / "machine";
  fs::path cli_, sim_;
  std::vector<std::unique_ptr<ScopedEnv>> env_;
};

// The switch into the downloader, the programmer's start and every reset are
// disconnects; the job follows the modem to its new ttys each time, also
// when it comes back on the companion port.
TEST_F(KernelUsbModem, DownloadFollowsTheModemThroughEveryReEnumeration) {
  for (const char* companion : {"", "every"}) {
    SCOPED_TRACE(*companion ? "on the companion port every other time" : "on its own port");
    const std::string name = *companion ? "companion" : "plain";
    std::vector<std::string> options;
    if (*companion) options = {"--usb-companion", companion};
    std::unique_ptr<ChildProcess> sim = Simulator(name, options);

    ChildProcess run(Cli("download"), machine_.string());
    std::optional<int> code = run.Wait(kJobTime);
    ASSERT_TRUE(code.has_value()) << run.output();
    EXPECT_EQ(*code, 0) << run.output();
    EXPECT_NE(run.output().find("result: success"), std::string::npos) << run.output();
    Stop(*sim);

    // It was a new device in each mode, with new ttys.
    EXPECT_NE(sim->output().find("id=05c6:9008 mode=downloader"), std::string::npos)
        << sim->output();
    EXPECT_NE(sim->output().find("id=05c6:9008 mode=programmer"), std::string::npos)
        << sim->output();
    if (*companion) {
      EXPECT_NE(sim->output().find("attached usb=2-2"), std::string::npos) << sim->output();
    }
    ExpectReleaseIn(machine_ / "out" / name / "dump");
    const nlohmann::json report = Report(name);
    EXPECT_EQ(report["settings"]["autorun"], 1);
    testsupport::ExpectBackupWrittenBack(report, Backup());

    // The job's record names the modem and the backup it made of it.
    const std::vector<nlohmann::json> records = Records();
    ASSERT_FALSE(records.empty());
    const nlohmann::json& r = records.back();
    EXPECT_EQ(r["job"], "download");
    EXPECT_EQ(r["outcome"], "success");
    EXPECT_EQ(r["exit_code"], 0);
    EXPECT_EQ(r["line"], 1);
    EXPECT_EQ(r["usb_path"], "1-2");
    EXPECT_EQ(r["usb_serial"], "8A3F21C4");
    EXPECT_EQ(r["esn"], "8A3F21C4");
    const NvTable backup = Backup();
    const auto imei = std::find_if(backup.records.begin(), backup.records.end(),
                                   [](const NvRecord& x) { return x.item == 550; });
    ASSERT_NE(imei, backup.records.end());
    const std::optional<std::string> digits = ImeiDigits(imei->data);
    EXPECT_EQ(r["imei"], digits ? nlohmann::json(*digits) : nlohmann::json(nullptr));
    EXPECT_EQ(r["nv_sha256"],
              Sha256OfFile((machine_ / "nv" / "Channel1.nvm").string()).value_or("?"));
    EXPECT_FALSE(r["version_after"].get<std::string>().empty());
    EXPECT_EQ(r["last_error"], "");
  }
  EXPECT_EQ(Records().size(), 2u);

  // Each download kept a copy of its backup under the modem's ESN, found
  // again by it; the newest is the line's NV file.
  ChildProcess find(
      {cli_.string(), "nv", "find", "8a3f21c4", "--nv-dir", (machine_ / "nv").string()});
  ASSERT_EQ(find.Wait(std::chrono::seconds(30)), 0) << find.output();
  std::vector<std::string> copies;
  std::istringstream listed(find.output());
  for (std::string line; std::getline(listed, line);) copies.push_back(line);
  ASSERT_EQ(copies.size(), 2u) << find.output();
  EXPECT_EQ(testsupport::ReadBytes(copies.back()),
            testsupport::ReadBytes(machine_ / "nv" / "Channel1.nvm"));
  ChildProcess none(
      {cli_.string(), "nv", "find", "12345678", "--nv-dir", (machine_ / "nv").string()});
  EXPECT_EQ(none.Wait(std::chrono::seconds(30)), 1) << none.output();
}

// Modem A (the modem seen first) reboots slowly after its autorun is off;
// modem B is plugged in meanwhile. Line 1 waits for A: B is never touched.
TEST_F(KernelUsbModem, ASecondModemPluggedInWhileTheFirstRebootsGetsNothing) {
  std::unique_ptr<ChildProcess> a = Simulator("a", {"--slow-reboot", "ms=40000,nth=1"});
  ChildProcess run(Cli("download"), machine_.string());
  ASSERT_TRUE(run.ReadUntil("progress 3/100", kJobTime)) << run.output();
  std::unique_ptr<ChildProcess> b =
      Simulator("b", {"--usb-path", "1-3", "--seed", "2", "--esn", "12345678"});

  std::optional<int> code = run.Wait(kJobTime);
  ASSERT_TRUE(code.has_value()) << run.output();
  EXPECT_EQ(*code, 0) << run.output();
  Stop(*a);
  Stop(*b);

  const nlohmann::json other = Report("b");
  EXPECT_TRUE(other["requests"].empty()) << other["requests"].dump(1);
  EXPECT_TRUE(other["nv_writes"].empty());
  EXPECT_TRUE(other["images"].empty());
  EXPECT_EQ(other["settings"]["autorun"], 1);
  ExpectReleaseIn(machine_ / "out" / "a" / "dump");
  testsupport::ExpectBackupWrittenBack(Report("a"), Backup());
}

// Another modem comes back at the same path once the first was flashed (a
// user swapped them while it rebooted): its serial number says it is not the
// line's modem, so the line keeps waiting for its own, and with a bounded
// wait ends naming what it found. The other modem gets none of the first
// one's NV items, and the first modem's backup is kept.
TEST_F(KernelUsbModem, AnotherModemBackAtTheSamePathGetsNothingOfTheFirstOnes) {
  // The fourth departure is the programmer's reset after the flash.
  std::unique_ptr<ChildProcess> sim = Simulator(
      "swap",
      {"--swap-modem", "at=4", "--swap-report", (machine_ / "out" / "swapped.json").string()});
  ChildProcess run(Cli("download"), machine_.string());
  std::optional<int> code = run.Wait(kJobTime);
  ASSERT_TRUE(code.has_value()) << run.output();
  EXPECT_EQ(*code, 7) << run.output();
  EXPECT_NE(run.output().find("Another modem (serial number"), std::string::npos) << run.output();
  Stop(*sim);
  ASSERT_NE(sim->output().find("replaced usb=1-2"), std::string::npos) << sim->output();

  const NvTable backup = Backup();
  const nlohmann::json first = Report("swap");
  const nlohmann::json second = testsupport::ReadSimReport(machine_ / "out" / "swapped.json");
  EXPECT_TRUE(first["nv_writes"].empty());
  EXPECT_TRUE(second["nv_writes"].empty()) << second["nv_writes"].size();
  // The first modem's backup is kept whole for it.
  EXPECT_EQ(backup.records[0].status, 0);
  EXPECT_EQ(second["settings"]["autorun"], 1);
  const std::vector<nlohmann::json> records = Records();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0]["outcome"], "modem-lost");
  EXPECT_EQ(records[0]["exit_code"], 7);
  EXPECT_EQ(records[0]["esn"], "8A3F21C4");
}

// A power loss while amss is written leaves the modem in its downloader (a
// new device on its own identity); the download names the repair, and the
// repair, which follows the modem through its re-enumerations as well,
// flashes it and gives it its own items back.
TEST_F(KernelUsbModem, PowerLossDuringAmssThenRepair) {
  std::unique_ptr<ChildProcess> sim = Simulator("power", {"--power-loss-after-partition"});
  ChildProcess run(Cli("download"), machine_.string());
  std::optional<int> code = run.Wait(kJobTime);
  ASSERT_TRUE(code.has_value()) << run.output();
  EXPECT_EQ(*code, 1) << run.output();
  EXPECT_NE(run.output().find("quorrel-cli repair"), std::string::npos) << run.output();

  ChildProcess repair(Cli("repair"), machine_.string());
  code = repair.Wait(kJobTime);
  ASSERT_TRUE(code.has_value()) << repair.output();
  EXPECT_EQ(*code, 0) << repair.output();
  Stop(*sim);

  ExpectReleaseIn(machine_ / "out" / "power" / "dump");
  const nlohmann::json report = Report("power");
  EXPECT_EQ(report["settings"]["autorun"], 1);
  testsupport::ExpectBackupWrittenBack(report, Backup());
  // A record for each job: the failed download with its reason, the repair.
  const std::vector<nlohmann::json> records = Records();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0]["job"], "download");
  EXPECT_EQ(records[0]["outcome"], "failed");
  EXPECT_EQ(records[0]["exit_code"], 1);
  EXPECT_FALSE(records[0]["last_error"].get<std::string>().empty());
  EXPECT_EQ(records[1]["job"], "repair");
  EXPECT_EQ(records[1]["outcome"], "success");
}

}  // namespace
}  // namespace quorrel

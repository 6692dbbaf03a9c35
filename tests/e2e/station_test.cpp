// quorrel-cli station against several quorrel-sim modems attached as USB
// devices at once, each on its own hub port: every modem is flashed on a
// line of its own, keeps its own backup and record, and what happens to one
// (a failure, an unplug) leaves the others alone.
#include <signal.h>
#include <stdlib.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "platform/scratch_root.h"
#include "support/child_process.h"
#include "support/scoped_env.h"
#include "support/sim_report.h"
#include "support/usb_machine.h"

namespace quorrel {
namespace {

namespace fs = std::filesystem;
using testsupport::ChildProcess;
using testsupport::ScopedEnv;

constexpr auto kStationTime = std::chrono::seconds(600);

bool ReleaseIn(const fs::path& dump) {
  return testsupport::ImagesNotFromTheRelease(dump).empty();
}

// A modem of the station: its hub port, ESN and the options of its faults.
struct Modem {
  std::string path;
  std::string esn;
  std::vector<std::string> faults;
};

class StationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!testsupport::FindPrograms(&cli_, &sim_))
      GTEST_SKIP() << "QUORREL_TEST_BINARY_DIR is not set (run through ctest)";
    ASSERT_TRUE(fs::exists(cli_) && fs::exists(sim_));
    env_ = testsupport::UseUsbMachine(machine_);
  }

  // Plugs a modem in; waits for its first attachment.
  void Plug(const Modem& m) {
    const fs::path out = machine_ / "out" / m.esn;
    fs::create_directories(out);
    std::vector<std::string> args = {sim_.string(),  "--usb",
                                     "--usb-path",   m.path,
                                     "--esn",        m.esn,
                                     "--seed",       std::to_string(sims_.size() + 1),
                                     "--time-scale", scale_,
                                     "--dump",       (out / "dump").string(),
                                     "--report",     (out / "report.json").string()};
    args.insert(args.end(), m.faults.begin(), m.faults.end());
    auto sim = std::make_unique<ChildProcess>(args);
    ASSERT_TRUE(sim->Started());
    ASSERT_TRUE(sim->ReadUntil("attached usb=", std::chrono::seconds(30))) << sim->output();
    sims_[m.esn] = std::move(sim);
  }
  // Unplugs it: the simulator ends, writing its report and dump.
  void Unplug(const std::string& esn) {
    ChildProcess& sim = *sims_.at(esn);
    sim.Signal(SIGTERM);
    EXPECT_TRUE(sim.Wait(std::chrono::seconds(30)).has_value());
  }
  void UnplugAll() {
    for (auto& [esn, sim] : sims_) {
      sim->Signal(SIGTERM);
      EXPECT_TRUE(sim->Wait(std::chrono::seconds(30)).has_value());
    }
  }
  std::vector<std::string> Station(std::vector<std::string> more) {
    std::vector<std::string> args = {cli_.string(), "station", "--json", "--time-scale", scale_,
                                     "--nv-dir", (machine_ / "nv").string(),
                                     // Room for a modem's first answer on a
                                     // loaded machine (job clock).
                                     "--wait-seconds", "120"};
    args.insert(args.end(), more.begin(), more.end());
    return args;
  }
  nlohmann::json Report(const std::string& esn) {
    return testsupport::ReadSimReport(machine_ / "out" / esn / "report.json");
  }
  fs::path Dump(const std::string& esn) { return machine_ / "out" / esn / "dump"; }
  // The records kept, by ESN.
  std::map<std::string, std::vector<nlohmann::json>> Records() {
    std::map<std::string, std::vector<nlohmann::json>> out;
    std::ifstream in(machine_ / "state" / "quorrel" / "results.jsonl");
    for (std::string line; std::getline(in, line);) {
      nlohmann::json r = nlohmann::json::parse(line);
      out[r["esn"].is_string() ? r["esn"].get<std::string>() : "?"].push_back(r);
    }
    return out;
  }
  // The station's events of one kind.
  static std::vector<nlohmann::json> Events(const std::string& output, const std::string& kind) {
    std::vector<nlohmann::json> out;
    std::istringstream in(output);
    for (std::string line; std::getline(in, line);) {
      if (line.empty() || line[0] != '{') continue;
      nlohmann::json e = nlohmann::json::parse(line, nullptr, false);
      if (!e.is_discarded() && e["event"] == kind) out.push_back(e);
    }
    return out;
  }
  // The NV backups in the archive for an ESN.
  size_t Archived(const std::string& esn) {
    size_t n = 0;
    for (const auto& entry : fs::directory_iterator(machine_ / "nv" / "archive"))
      n += entry.path().filename().string().rfind(esn, 0) == 0 ? 1 : 0;
    return n;
  }
  void ExpectFlashedAndGivenBack(const std::string& esn, const nlohmann::json& record) {
    SCOPED_TRACE("modem " + esn);
    EXPECT_TRUE(ReleaseIn(Dump(esn)));
    const nlohmann::json report = Report(esn);
    EXPECT_EQ(report["settings"]["autorun"], 1);
    // The line's NV file holds this modem's backup, and it went back in.
    const int line = record["line"].get<int>();
    testsupport::ExpectBackupWrittenBack(
        report,
        testsupport::ReadNvFile(machine_ / "nv" / ("Channel" + std::to_string(line) + ".nvm")));
    EXPECT_EQ(Archived(esn), 1u);
  }

  testing::ScratchRoot root_;
  fs::path machine_ = root_.path() / "machine";
  fs::path cli_, sim_;
  std::vector<std::unique_ptr<ScopedEnv>> env_;
  std::map<std::string, std::unique_ptr<ChildProcess>> sims_;
  // The single job's end-to-end scale; eight modems re-enumerating at once
  // on two cores need twice the room.
  std::string scale_ = "0.1";
};

// Four modems attached at the start, four more plugged in while those are
// flashed: all eight are flashed at once, each on its own line, with its own
// backup and record.
TEST_F(StationTest, EightModemsPluggedInAtDifferentMomentsAreFlashedAtOnce) {
  scale_ = "0.2";
  std::vector<Modem> modems;
  for (int i = 1; i <= 8; ++i) {
    char esn[16];
    std::snprintf(esn, sizeof esn, "8A3F21%02X", i);
    modems.push_back({"1-" + std::to_string(i), esn, {}});
  }
  for (int i = 0; i < 4; ++i) Plug(modems[static_cast<size_t>(i)]);
  ChildProcess station(Station({"--once"}), machine_.string());
  ASSERT_TRUE(station.ReadUntil("\"running\"", std::chrono::seconds(120))) << station.output();
  for (int i = 4; i < 8; ++i) Plug(modems[static_cast<size_t>(i)]);
  const std::optional<int> code = station.Wait(kStationTime);
  ASSERT_TRUE(code.has_value()) << station.output();
  EXPECT_EQ(*code, 0) << station.output();
  UnplugAll();

  const auto records = Records();
  std::set<int> lines;
  for (const Modem& m : modems) {
    ASSERT_EQ(records.count(m.esn), 1u) << m.esn;
    ASSERT_EQ(records.at(m.esn).size(), 1u) << m.esn << "\n" << station.output();
    const nlohmann::json& r = records.at(m.esn)[0];
    EXPECT_EQ(r["outcome"], "success") << r;
    EXPECT_EQ(r["usb_path"], m.path) << r;
    EXPECT_EQ(r["usb_serial"], m.esn) << r;
    // The version the form shows: the old release's before, the new one's
    // after.
    EXPECT_EQ(r["version_before"], "ZIZ_RU_Farrick_B01") << r;
    EXPECT_EQ(r["version_after"], "ZIZ_RU_Farrick_B02") << r;
    lines.insert(r["line"].get<int>());
    ExpectFlashedAndGivenBack(m.esn, r);
  }
  EXPECT_EQ(lines.size(), 8u);
  const auto summary = Events(station.output(), "summary");
  ASSERT_EQ(summary.size(), 1u) << station.output();
  EXPECT_EQ(summary[0]["jobs"], 8);
  EXPECT_EQ(summary[0]["succeeded"], 8);
}

// One modem's downloads fail, one is unplugged in the middle of its amss: the
// third is flashed all the same, and each record says what happened.
TEST_F(StationTest, AFailureAndAnUnplugLeaveTheOtherModemsAlone) {
  const Modem good{"1-1", "8A3F2101", {}};
  const Modem failing{"1-2", "8A3F2102", {"--stream-error", "type=5,block=2,code=10,count=0"}};
  const Modem unplugged{"1-3", "8A3F2103", {"--unplug-during-write", "type=5,block=2"}};
  for (const Modem& m : {good, failing, unplugged}) Plug(m);
  ChildProcess station(Station({"--once"}), machine_.string());
  const std::optional<int> code = station.Wait(kStationTime);
  ASSERT_TRUE(code.has_value()) << station.output();
  EXPECT_EQ(*code, 1) << station.output();
  UnplugAll();

  const auto records = Records();
  for (const Modem& m : {good, failing, unplugged}) {
    ASSERT_EQ(records.count(m.esn), 1u) << m.esn << "\n" << station.output();
    ASSERT_EQ(records.at(m.esn).size(), 1u)
        << m.esn << "\n"
        << station.output() << "\nthe modem's attachments: " << Report(m.esn)["attachments"];
  }
  ExpectFlashedAndGivenBack(good.esn, records.at(good.esn)[0]);
  EXPECT_EQ(records.at(good.esn)[0]["outcome"], "success");
  for (const Modem& m : {failing, unplugged}) {
    const nlohmann::json& r = records.at(m.esn)[0];
    EXPECT_NE(r["outcome"], "success") << r;
    EXPECT_NE(r["exit_code"], 0) << r;
    EXPECT_FALSE(r["last_error"].get<std::string>().empty()) << r;
    EXPECT_EQ(r["usb_path"], m.path) << r;
  }
  const auto summary = Events(station.output(), "summary");
  ASSERT_EQ(summary.size(), 1u) << station.output();
  EXPECT_EQ(summary[0]["jobs"], 3);
  EXPECT_EQ(summary[0]["succeeded"], 1);
}

// Without --once the station runs on: a modem done is not flashed again when
// it comes back from its restart, and the next modem plugged into its port
// gets its job. Ctrl-C in the middle of that flash stops the job at its next
// safe point; it gives the modem back (autorun on again) and keeps its
// record, and the station ends by the signal.
TEST_F(StationTest, TheNextModemInAPortGetsItsJobAndCtrlCStopsIt) {
  const Modem first{"1-4", "8A3F2101", {}};
  const Modem next{"1-4", "8A3F2102", {}};
  Plug(first);
  ChildProcess station(Station({}), machine_.string());
  // Told to be unplugged once it is back from its restart: the station has
  // seen it answer again and left it alone.
  ASSERT_TRUE(station.ReadUntil("\"done: unplug the modem\"", std::chrono::seconds(300)))
      << station.output();
  // A second station on the machine is refused, as a second window is.
  ChildProcess second(Station({"--once"}), machine_.string());
  EXPECT_EQ(second.Wait(std::chrono::seconds(60)), 6) << second.output();
  Unplug(first.esn);
  const size_t unplugged = station.output().size();
  ASSERT_TRUE(station.ReadUntil("\"waiting for a modem\"", std::chrono::seconds(120), unplugged))
      << station.output();
  const size_t before = station.output().size();
  Plug(next);
  ASSERT_TRUE(station.ReadUntil("\"percent\":50", std::chrono::seconds(300), before))
      << station.output();
  station.Signal(SIGINT);
  const std::optional<int> code = station.Wait(std::chrono::seconds(300));
  ASSERT_TRUE(code.has_value()) << station.output();
  EXPECT_EQ(*code, 128 + SIGINT) << station.output();
  Unplug(next.esn);

  const auto records = Records();
  for (const Modem& m : {first, next}) {
    ASSERT_EQ(records.count(m.esn), 1u) << m.esn << "\n" << station.output();
    ASSERT_EQ(records.at(m.esn).size(), 1u) << m.esn << "\n" << station.output();
    EXPECT_EQ(records.at(m.esn)[0]["line"], 1);
  }
  EXPECT_EQ(records.at(first.esn)[0]["outcome"], "success");
  EXPECT_TRUE(ReleaseIn(Dump(first.esn)));
  const nlohmann::json& stopped = records.at(next.esn)[0];
  EXPECT_EQ(stopped["outcome"], "failed") << stopped;
  EXPECT_EQ(stopped["last_error"].get<std::string>().rfind("stopped", 0), 0u) << stopped;
  EXPECT_EQ(Report(next.esn)["settings"]["autorun"], 1);
  const auto summary = Events(station.output(), "summary");
  ASSERT_EQ(summary.size(), 1u) << station.output();
  EXPECT_EQ(summary[0]["jobs"], 2);
}

}  // namespace
}  // namespace quorrel

// The records the line controller keeps for a window: one per job that
// ended, whatever the job and however it ended, naming the modem it had.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <fstream>

#include "support/scoped_env.h"
#include "support/sim_line.h"

namespace quorrel {
namespace {

std::vector<nlohmann::json> RecordsIn(const std::filesystem::path& state) {
  std::vector<nlohmann::json> out;
  std::ifstream in(state / "quorrel" / "results.jsonl");
  for (std::string line; std::getline(in, line);) out.push_back(nlohmann::json::parse(line));
  return out;
}

TEST(LineRecords, EveryJobThatEndsLeavesOneRecordOfItsModem) {
  const struct Case {
    const char* name;
    LineMode mode;
    bool stopMidway;
    const char* job;
    const char* outcome;
    int exitCode;
    const char* lastError;
  } cases[] = {
      // A download that ends the process keeps its record first.
      {"download", LineMode::Download, false, "download", "success", 0, ""},
      {"NV backup", LineMode::BackupNv, false, "backup-nv", "success", 0, ""},
      {"download stopped", LineMode::Download, true, "download", "failed", 1, "stopped"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testsupport::SimLine s;
    const std::filesystem::path state = s.root_.path() / "state";
    testsupport::ScopedEnv stateHome("XDG_STATE_HOME", state.string());
    // The window's hooks: a successful download ends the process, whose
    // records are then what they are.
    size_t recordsAtProcessEnd = 0;
    int processEnds = 0;
    s.controller_.reset();
    LineHooks hooks = StandardLineHooks(*s.env_);
    hooks.endProcess = [&](int) {
      ++processEnds;
      recordsAtProcessEnd = RecordsIn(state).size();
    };
    s.controller_ = std::make_unique<LineController>(*s.env_, hooks);
    s.controller_->AttachForm(s.form());
    s.controller().KeepRecords(true);
    s.doc_.line(0).lineMode = c.mode;
    if (c.stopMidway) {
      s.form().onProgress = [&s](int percent) {
        if (percent >= 10) s.controller().StopLine(0);
      };
    }
    s.PlugInAndFind();
    ASSERT_TRUE(s.StartAndWait());

    const std::vector<nlohmann::json> records = RecordsIn(state);
    ASSERT_EQ(records.size(), 1u);
    const nlohmann::json& r = records[0];
    EXPECT_EQ(r.at("line"), 1);
    EXPECT_EQ(r.at("job"), c.job);
    EXPECT_EQ(r.at("outcome"), c.outcome);
    EXPECT_EQ(r.at("exit_code"), c.exitCode);
    EXPECT_EQ(r.at("last_error"), c.lastError);
    EXPECT_EQ(r.at("esn"), "8A3F21C4");
    EXPECT_FALSE(r.at("started").get<std::string>().empty());
    EXPECT_FALSE(r.at("ended").get<std::string>().empty());
    if (c.mode == LineMode::BackupNv) {
      EXPECT_NE(r.at("nv_file").get<std::string>().find("Channel1.nvm"), std::string::npos);
      EXPECT_FALSE(r.at("nv_sha256").is_null());
    }
    const bool endsProcess = !c.stopMidway && c.mode == LineMode::Download;
    EXPECT_EQ(processEnds, endsProcess ? 1 : 0);
    if (endsProcess) {
      EXPECT_EQ(recordsAtProcessEnd, 1u);
    }
  }
}

}  // namespace
}  // namespace quorrel

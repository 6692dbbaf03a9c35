#include "app/form_model.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <sstream>

#include "app/logs.h"
#include "platform/memory_wire.h"
#include "platform/paths.h"
#include "platform/scoped_root.h"

namespace quorrel {
namespace {

namespace fs = std::filesystem;
using namespace controls;

constexpr LocalTime kMarch5{2010, 3, 5, 9, 7, 2};

std::string ReadFile(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

class ScopedLocalTime {
 public:
  explicit ScopedLocalTime(const LocalTime* time)
      : old_(SetLocalTimeSource([time] { return *time; })) {}
  ~ScopedLocalTime() { SetLocalTimeSource(old_); }

 private:
  LocalTimeSource old_;
};

TEST(LogFormatTest, TimeStamps) {
  EXPECT_EQ(StatusTimeStamp(kMarch5), "2010.3.5 9:7:2\xE2\x80\x94\xE2\x80\x94");
  EXPECT_EQ(FileTimeStamp(kMarch5), "201035972");
  EXPECT_EQ(StatusTimeStamp({2011, 12, 31, 23, 59, 58}), "2011.12.31 23:59:58——");
  // No fixed widths: different days can share a file stamp.
  EXPECT_EQ(FileTimeStamp({2010, 11, 1, 10, 0, 0}), FileTimeStamp({2010, 1, 11, 10, 0, 0}));
  EXPECT_EQ(ActionLogPath("C:\\work", 3, "201035972"), "C:\\work\\Logs\\ActionLog3_201035972.txt");
  EXPECT_EQ(ToFileText("a\nb\n\nc"), "a\r\nb\r\n\r\nc");
}

class FormModelTest : public ::testing::Test {
 protected:
  FormModelTest() {
    form_.SetMessageBoxHandler([this](const MessageBoxRequest& r) {
      messages_.push_back(r.text);
      return MessageResult::Ok;
    });
    form_.SetPhoneResetter([this](PhoneLink& link, bool download) {
      resets_.push_back({&link, download});
    });
    form_.SetPortWatchResumer([this](int line) { resumed_.push_back(line); });
    fs::create_directories(root_.path() / "drive_c/work");
  }

  testing::ScopedRoot root_;
  LocalTime now_ = kMarch5;
  ScopedLocalTime time_{&now_};
  VirtualClock clock_;
  MemoryPorts ports_;
  CQuorrelDoc doc_{clock_, ports_};
  FormModel form_{doc_, "C:\\work"};
  std::vector<std::string> messages_;
  std::vector<std::pair<PhoneLink*, bool>> resets_;
  std::vector<int> resumed_;
};

TEST_F(FormModelTest, StatusLinesGrowTheLogAndShowInTheStateControl) {
  form_.StatusLine(0, "Устанавливается...", true);
  form_.StatusLine(0, "plain", false);
  form_.StatusLine(2, "third line", true);
  EXPECT_EQ(form_.LogText(0), "2010.3.5 9:7:2——Устанавливается...\nplain\n");
  EXPECT_EQ(form_.Control(kStateLine).text, "plain");
  EXPECT_EQ(form_.Control(1034).text, "third line");
  EXPECT_EQ(form_.LogText(2), "2010.3.5 9:7:2——third line\n");
  form_.StatusLine(8, "ignored", true);
  form_.ClearLogText(0);
  form_.AppendLogText(0, "Current Version : ");
  EXPECT_EQ(form_.LogText(0), "Current Version : ");
}

TEST_F(FormModelTest, JobEndWritesTheActionLogWithCrLf) {
  form_.AppendLogText(1, "Current Version : V1\n");
  form_.StatusLine(1, "step", true);
  doc_.line(1).runFlag = 1;
  now_.second = 9;
  form_.JobEnd(1, "skip fail!", EndKind::Fail);
  fs::path file = root_.path() / "drive_c/work/Logs/ActionLog2_201035979.txt";
  ASSERT_TRUE(fs::exists(file));
  EXPECT_EQ(ReadFile(file),
            "Current Version : V1\r\n"
            "2010.3.5 9:7:2——step\r\n"
            "2010.3.5 9:7:9——skip fail!\r\n");
  // The repeated final message reaches the log text, not the file.
  EXPECT_EQ(form_.LogText(1),
            "Current Version : V1\n2010.3.5 9:7:2——step\n2010.3.5 9:7:9——skip fail!\n2010.3.5 "
            "9:7:9——skip fail!\n");
  EXPECT_EQ(doc_.line(1).runFlag, 0);
  EXPECT_EQ(form_.Control(StatusIcon(1)).image, kBitmapFail);
  EXPECT_EQ(resumed_, std::vector<int>{1});
}

TEST_F(FormModelTest, SecondJobEndInTheSameSecondReplacesTheFile) {
  form_.StatusLine(0, "first", false);
  form_.JobEnd(0, "one", EndKind::Pass);
  form_.ClearLogText(0);
  form_.JobEnd(0, "two", EndKind::Pass);
  EXPECT_EQ(ReadFile(root_.path() / "drive_c/work/Logs/ActionLog1_201035972.txt"),
            "2010.3.5 9:7:2——two\r\n");
}

TEST_F(FormModelTest, JobEndGoesOnWhenTheLogFolderCannotBeMade) {
  std::ofstream(root_.path() / "drive_c/work/Logs") << "a file in the way";
  doc_.line(0).runFlag = 1;
  form_.JobEnd(0, "reset modem fail!", EndKind::FailManualRestart);
  EXPECT_EQ(doc_.line(0).runFlag, 0);
  EXPECT_EQ(form_.Control(kStateLine).text, "reset modem fail!");
  EXPECT_EQ(resumed_.size(), 1u);
}

TEST_F(FormModelTest, JobEndTellsFinishDisplayTheLinkProtocol) {
  doc_.link(0).SetProtocol(LinkProtocol::Dmss);
  form_.JobEnd(0, "x", EndKind::FailManualRestart);
  EXPECT_EQ(messages_, std::vector<std::string>{"线路1任务失败，请手动重启相应手机"});
  doc_.link(0).SetProtocol(LinkProtocol::Streaming);
  messages_.clear();
  form_.JobEnd(0, "x", EndKind::FailManualRestart);
  EXPECT_TRUE(messages_.empty());
}

TEST_F(FormModelTest, SetProgress) {
  struct Case {
    int percent;
    const char* text;
    int position;
  } cases[] = {{40, "40/100", 40}, {150, "100/100", 100}, {100, "100/100", 100}, {0, "0/100", 0}};
  for (const Case& c : cases) {
    form_.SetProgress(3, c.percent);
    EXPECT_EQ(form_.Control(ProgressText(3)).text, c.text);
    EXPECT_EQ(form_.Control(ProgressBar(3)).position, c.position);
  }
  form_.SetProgress(8, 50);
  form_.SetProgress(-1, 50);
  EXPECT_EQ(form_.Control(1109).text, "全部释放");
}

TEST_F(FormModelTest, ShowStatusPicturesAndFailures) {
  const int bitmaps[] = {kBitmapReady, kBitmapRunning, kBitmapPass, kBitmapFail};
  for (int kind = 0; kind < 4; ++kind) {
    form_.ShowStatus(4, kind);
    EXPECT_EQ(form_.Control(StatusIcon(4)).image, bitmaps[kind]);
  }
  form_.ShowStatus(4, 4);
  EXPECT_EQ(messages_, std::vector<std::string>{"出现不可知的状态类型!"});
  EXPECT_EQ(form_.Control(StatusIcon(4)).image, kBitmapFail);

  ResourceTable empty;
  form_.SetResources(&empty);
  messages_.clear();
  for (int kind = 0; kind < 4; ++kind) form_.ShowStatus(4, kind);
  EXPECT_EQ(messages_, (std::vector<std::string>{"Load Ready图标失败!", "Load Running图标失败!",
                                                 "Load Pass图标失败!", "Load Fail图标失败!"}));
}

TEST_F(FormModelTest, UpdateControlsWhenIdle) {
  form_.UpdateControls(0, true);
  for (int id : {1081, 1136, 1121, 1135, 1131, 1132, 1133, 1138, 1147, 1109, 1154, 1040, 1042, 1043,
                 1008, 1140, 1146, 1148, 1099}) {
    EXPECT_TRUE(form_.Control(id).enabled) << id;
  }
  EXPECT_FALSE(form_.Control(kAllStop).enabled);
  EXPECT_FALSE(form_.Control(StopButton(0)).enabled);
}

TEST_F(FormModelTest, UpdateControlsWhileALineRuns) {
  doc_.line(2).runFlag = 1;
  form_.UpdateControls(2, false);
  for (int id : {1081, 1136, 1121, 1135, 1131, 1132, 1133, 1138, 1147, 1109, 1154, 1040, 1042, 1043,
                 1008, 1140, 1148}) {
    EXPECT_FALSE(form_.Control(id).enabled) << id;
  }
  EXPECT_TRUE(form_.Control(kAllStop).enabled);
  EXPECT_TRUE(form_.Control(kAllStart).enabled);  // not every line runs
  EXPECT_FALSE(form_.Control(StartButton(2)).enabled);
  EXPECT_TRUE(form_.Control(StopButton(2)).enabled);

  for (int i = 0; i < kLineCount; ++i) doc_.line(i).runFlag = 1;
  form_.UpdateControls(9, true);  // outside 0-7: only the form-wide rules
  EXPECT_FALSE(form_.Control(kAllStart).enabled);
  EXPECT_FALSE(form_.Control(StartButton(2)).enabled);
}

TEST_F(FormModelTest, ReleasedPortsCountAsBusy) {
  form_.SetPortsReleased(true);
  form_.UpdateControls(0, true);
  EXPECT_FALSE(form_.Control(kAllStart).enabled);
  EXPECT_TRUE(form_.Control(kAllStop).enabled);
  EXPECT_FALSE(form_.Control(kReleaseAll).enabled);
  EXPECT_TRUE(form_.Control(StartButton(0)).enabled);  // step 4 wins for the given line
}

TEST_F(FormModelTest, FinishDisplayByEndKind) {
  struct Case {
    EndKind endKind;
    bool download;
    int image;
    bool reset;
    bool message;
  } cases[] = {
      {EndKind::PassRestart, false, kBitmapPass, true, false},
      {EndKind::PassRestart, true, kBitmapPass, true, false},
      {EndKind::Pass, true, kBitmapPass, false, false},
      {EndKind::FailRestart, false, kBitmapFail, true, false},
      {EndKind::Fail, true, kBitmapFail, false, false},
      {EndKind::WriteFailRestart, true, kBitmapFail, true, false},
      {EndKind::FailManualRestart, false, kBitmapFail, false, false},
      {EndKind::FailManualRestart, true, kBitmapFail, false, true},
  };
  for (const Case& c : cases) {
    messages_.clear();
    resets_.clear();
    resumed_.clear();
    doc_.line(5).runFlag = 1;
    doc_.line(5).phoneState = PhoneState::Answered;
    form_.SetProgress(5, 60);
    form_.FinishDisplay(5, c.endKind, c.download);
    SCOPED_TRACE(static_cast<int>(c.endKind));
    EXPECT_EQ(form_.Control(StatusIcon(5)).image, c.image);
    ASSERT_EQ(resets_.size(), c.reset ? 1u : 0u);
    if (c.reset) {
      EXPECT_EQ(resets_[0].first, &doc_.link(5));
      EXPECT_EQ(resets_[0].second, c.download);
    }
    EXPECT_EQ(doc_.line(5).phoneState, c.reset ? PhoneState::NoAnswer : PhoneState::Answered);
    EXPECT_EQ(messages_.size(), c.message ? 1u : 0u);
    if (c.message) {
      EXPECT_EQ(messages_[0], "线路6任务失败，请手动重启相应手机");
    }
    EXPECT_EQ(doc_.line(5).runFlag, 0);
    EXPECT_TRUE(form_.Control(StartButton(5)).enabled);
    EXPECT_EQ(form_.Control(ProgressBar(5)).position, 0);
    EXPECT_EQ(form_.Control(ProgressText(5)).text, "0/100");
    EXPECT_EQ(resumed_, std::vector<int>{5});
  }
}

TEST_F(FormModelTest, PerLineTextsGoToTheirControls) {
  form_.SetPortText(0, "COM7");
  form_.SetPortText(1, "NULL");
  form_.SetVersionText(0, "V2");
  form_.SetVersionText(1, "V3");
  form_.SetVersionText(7, "V8");
  EXPECT_EQ(form_.Control(kPortNumber).text, "COM7");
  EXPECT_EQ(form_.Control(1001).text, "NULL");
  EXPECT_EQ(form_.Control(kCurrentVersion).text, "V2");
  EXPECT_EQ(form_.Control(1052).text, "V3");
  EXPECT_EQ(form_.Control(1079).text, "V8");
  EXPECT_EQ(form_.PortText(0), "COM7");
  EXPECT_EQ(form_.VersionText(7), "V8");
}

TEST_F(FormModelTest, ListenerHearsEveryChange) {
  std::vector<int> ids;
  form_.SetControlListener([&](int id) { ids.push_back(id); });
  form_.StatusLine(0, "x", false);
  form_.EnableControl(kDownload, false);
  EXPECT_EQ(ids, (std::vector<int>{kStateLine, kDownload}));
  EXPECT_FALSE(form_.Control(kDownload).enabled);
  EXPECT_TRUE(form_.Control(kDownload).visible);
  EXPECT_FALSE(form_.Control(kAllStart).visible);
}

}  // namespace
}  // namespace quorrel

namespace quorrel {
namespace {

bool Contains(const std::vector<uint8_t>& haystack, std::vector<uint8_t> needle) {
  return std::search(haystack.begin(), haystack.end(), needle.begin(), needle.end()) !=
         haystack.end();
}

TEST(FormModelResetTest, FinishDisplayResetsThePhoneInItsProtocol) {
  testing::ScopedRoot root;
  VirtualClock clock;
  MemoryPorts ports;
  CQuorrelDoc doc(clock, ports);
  FormModel form(doc, "C:\\work");
  auto wire = std::make_shared<MemoryWire>(clock);
  ports.Attach(4, wire);
  ASSERT_EQ(doc.link(0).Port().Open(4, 115200, 8, 1), 1);

  form.FinishDisplay(0, EndKind::FailRestart, false);  // diagnostic reset: mode change to 2
  EXPECT_TRUE(Contains(wire->HostWritten(), {0x29, 0x02, 0x00}));
  EXPECT_FALSE(Contains(wire->HostWritten(), {0x7E, 0x0A}));

  form.FinishDisplay(0, EndKind::WriteFailRestart, true);  // the downloader's reset
  EXPECT_TRUE(Contains(wire->HostWritten(), {0x7E, 0x0A}));
}

}  // namespace
}  // namespace quorrel

// The window as a flashing station, offscreen: modems plugged into the
// in-process bus one after another, "all start", and every row to its end.
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>

#include <nlohmann/json.hpp>

#include <atomic>
#include <fstream>
#include <map>

#include "app/quorrel_view.h"
#include "gui/main_window.h"
#include "gui/pictures.h"
#include "gui_fixture.h"
#include "jobs/download_job.h"
#include "platform/paths.h"
#include "ports/port_discovery.h"
#include "support/scoped_env.h"
#include "util/text.h"

namespace quorrel {
namespace {

using namespace controls;
using testsupport::BoxAnswerer;
using testsupport::kReady;
using testsupport::Text;
using testsupport::WaitFor;

constexpr char kDone[] = "Обновление выполнено!";
constexpr int kModems = 3;

std::vector<uint8_t> Embedded(int id) {
  auto r = EmbeddedResources().Find(id, "SOURCEMBN");
  return r ? std::vector<uint8_t>(r->begin(), r->end()) : std::vector<uint8_t>{};
}

// The program as quorrel --all-lines wires it, over modems on the virtual
// bus: the station's hooks, the records kept, the window and its view.
class StationWindow {
 public:
  StationWindow()
      : state_("XDG_STATE_HOME", (root_.path() / "state").string()),
        config_("XDG_CONFIG_HOME", (root_.path() / "config").string()) {
    std::filesystem::create_directories(MapPath("C:\\nvbackup"));
    doc_.OnNewDocument("C:\\quorrel");
    form_ = std::make_unique<FormModel>(doc_, (root_.path() / "cwd").string());
    env_ = std::make_unique<JobEnvironment>(StandardJobEnvironment(doc_, *form_));
    gui::WindowOptions options;
    options.allLines = true;
    options.timeScale = 0;
    options.exitProcess = [this](int code) { windowExit_ = code; };
    window_ = std::make_unique<gui::MainWindow>(*form_, options);
    // The single form's hooks (a failed version check closes the window, a
    // success ends the process), made a station's.
    LineHooks hooks = StandardLineHooks(*env_);
    hooks.closeMainWindow = [this] { window_->RequestClose(false); };
    hooks.endProcess = [this](int code) { processExit_ = code; };
    controller_ = std::make_unique<LineController>(*env_, StationLineHooks(std::move(hooks)));
    controller_->AttachForm(*form_);
    controller_->KeepRecords(true);
    controller_->ServeAsStation();
    view_ = std::make_unique<CQuorrelView>(doc_, *form_, *controller_, window_->Hooks());
    window_->SetView(view_.get());
  }
  ~StationWindow() {
    view_->Shutdown();
    window_.reset();
    view_.reset();
    controller_.reset();
    modems_.clear();
  }

  bool Start(StationMap map = {}) {
    if (view_->OnInitialUpdate(EmbeddedResources()) != StartupResult::Ready) return false;
    view_->OpenStation(std::move(map));
    window_->show();
    window_->Flush();
    return true;
  }

  // A modem of its own: its ESN, versions and place on the bus.
  sim::InProcessModem& AddModem(int n, std::string firmware = {}) {
    sim::ModemConfig config;
    config.seed = 11 + static_cast<uint64_t>(n);
    config.esn = 0x8A3F2100u + static_cast<uint32_t>(n);
    config.firmwareVersion = firmware.empty() ? Format("ZIZ_RU_Farrick_B0%d", n) : firmware;
    config.flashedVersion = Format("ZIZ_RU_Farrick_C1%d", n);
    config.firstDiagPort = 5 + 20 * n;
    config.firstDataPort = 6 + 20 * n;
    config.expectedProgrammer = Embedded(165);  // armprg.bin
    modems_.push_back(std::make_unique<sim::InProcessModem>(clock_, ports_, std::move(config)));
    return *modems_.back();
  }

  QWidget* Control(int id) { return window_->Control(id); }
  std::string Shown(int id) { return Text(Control(id)).toStdString(); }
  void Click(int id) {
    auto* button = qobject_cast<QAbstractButton*>(Control(id));
    ASSERT_NE(button, nullptr) << id;
    QTest::mouseClick(button, Qt::LeftButton, {}, button->rect().center());
  }
  // The status picture a line's row shows is the bitmap's.
  bool PictureIs(int line, int bitmap) {
    auto* picture = qobject_cast<QLabel*>(Control(StatusIcon(line)));
    const QImage expected = gui::StatusPicture(bitmap);
    return picture != nullptr && !picture->pixmap().isNull() &&
           picture->pixmap().toImage().pixel(25, 8) == expected.pixel(25, 8);
  }

  // A row as the user sees it, and what the line holds, for a failure.
  std::string Row(int line) {
    return Format(
        "port %s, version %s, state \"%s\", progress %s; job %s, outcome %d, bound to "
        "\"%s\", place \"%s\"",
        Shown(PortText(line)).c_str(), Shown(VersionText(line)).c_str(),
        Shown(StateText(line)).c_str(), Shown(ProgressText(line)).c_str(),
        controller_->JobRunning(line) ? "running" : "ended",
        static_cast<int>(controller_->LastOutcome(line)),
        doc_.line(line).Binding().location.c_str(), doc_.line(line).Place().location.c_str());
  }
  std::string Rows() {
    std::string out;
    for (int line = 0; line < kModems; ++line) out += Format("\nline %d: ", line + 1) + Row(line);
    return out;
  }

  std::vector<nlohmann::json> Records() const {
    std::vector<nlohmann::json> out;
    std::ifstream in(root_.path() / "state" / "quorrel" / "results.jsonl");
    for (std::string line; std::getline(in, line);) out.push_back(nlohmann::json::parse(line));
    return out;
  }

  quorrel::testing::ScratchRoot root_;
  testsupport::ScopedEnv state_;
  testsupport::ScopedEnv config_;
  VirtualClock clock_{1000000};
  MemoryPorts ports_;
  CQuorrelDoc doc_{clock_, ports_};
  std::unique_ptr<FormModel> form_;
  std::unique_ptr<JobEnvironment> env_;
  std::vector<std::unique_ptr<sim::InProcessModem>> modems_;
  std::unique_ptr<LineController> controller_;
  std::unique_ptr<gui::MainWindow> window_;
  std::unique_ptr<CQuorrelView> view_;
  int windowExit_ = -1;
  std::atomic<int> processExit_{-1};
};

TEST(StationWindow, AllStartFlashesEveryModemOnItsOwnLineAndKeepsARecordOfEach) {
  StationWindow w;
  ASSERT_TRUE(w.Start());
  // The NV folder chosen once is every line's.
  w.form_->SetFolderBrowser(
      [](std::string_view) { return std::optional<std::string>("C:\\nvbackup"); });
  w.Click(kNvDirectoryButton);
  for (int line = 0; line < kLineCount; ++line) {
    EXPECT_EQ(w.doc_.line(line).settings.nvDirectory.str(), "C:\\nvbackup") << line;
  }

  // Plugged in one after another, each modem takes the lowest free line and
  // its row shows its own port and version.
  std::vector<std::string> places;
  for (int n = 0; n < kModems; ++n) {
    sim::InProcessModem& modem = w.AddModem(n);
    modem.PlugIn();
    ASSERT_TRUE(WaitFor([&] {
      return w.Shown(VersionText(n)) == Format("ZIZ_RU_Farrick_B0%d", n) &&
             w.Shown(PortText(n)) == Format("COM%d", modem.DiagPort());
    })) << "line "
        << n + 1 << ": " << w.Row(n);
    places.push_back(w.doc_.line(n).Place().location);
  }
  for (int line = kModems; line < kLineCount; ++line) {
    EXPECT_EQ(w.doc_.line(line).settings.diagPort, 0) << line;
  }

  BoxAnswerer user;
  ASSERT_TRUE(w.Control(kAllStart)->isEnabled());
  w.Click(kAllStart);
  ASSERT_TRUE(WaitFor(
      [&] {
        for (int line = 0; line < kModems; ++line) {
          if (w.controller_->JobRunning(line) || !w.PictureIs(line, kBitmapPass)) return false;
        }
        return true;
      },
      240000))
      << w.Rows();

  // Each row: its modem back on its port with the new version, the progress
  // full, the pass picture and its start button enabled. The window stays
  // open.
  for (int n = 0; n < kModems; ++n) {
    sim::InProcessModem& modem = *w.modems_[static_cast<size_t>(n)];
    EXPECT_EQ(w.controller_->LastOutcome(n), JobOutcome::Succeeded) << n;
    ASSERT_TRUE(WaitFor([&] {
      return w.Shown(VersionText(n)) == Format("ZIZ_RU_Farrick_C1%d", n) &&
             w.Shown(PortText(n)) == Format("COM%d", modem.DiagPort());
    })) << "line "
        << n + 1 << ": " << w.Row(n);
    // The state line says the update is done (line 1's, as the single form
    // has it, asks for the next start once the modem answers again).
    const std::string state = w.Shown(StateText(n));
    EXPECT_TRUE(state.find(kDone) != std::string::npos || state == kReady) << state;
    EXPECT_EQ(w.Shown(ProgressText(n)), "100/100");
    EXPECT_EQ(qobject_cast<QProgressBar*>(w.Control(ProgressBar(n)))->value(), 100);
    EXPECT_TRUE(w.Control(StartButton(n))->isEnabled()) << n;
    EXPECT_EQ(modem.device().ImageBytes(5), Embedded(164)) << n;  // amss.mbn
    EXPECT_TRUE(std::filesystem::exists(MapPath(Format("C:\\nvbackup\\Channel%d.nvm", n + 1))));
  }
  EXPECT_EQ(w.windowExit_, -1);
  EXPECT_EQ(w.processExit_, -1);
  EXPECT_TRUE(w.window_->isVisible());
  int successes = 0;
  for (const std::string& text : user.Texts())
    successes += text.rfind("Обновление выполнено успешно!", 0) == 0 ? 1 : 0;
  EXPECT_EQ(successes, kModems);
  // The written-out release is still there for the next modems.
  EXPECT_TRUE(std::filesystem::exists(MapPath(w.doc_.line(0).settings.firmwareFolder.str())));

  // One record per modem, each naming its own modem, line and backup.
  const std::vector<nlohmann::json> records = w.Records();
  ASSERT_EQ(records.size(), static_cast<size_t>(kModems));
  std::map<int, nlohmann::json> byLine;
  for (const nlohmann::json& r : records) byLine[r.at("line").get<int>()] = r;
  for (int n = 0; n < kModems; ++n) {
    ASSERT_EQ(byLine.count(n + 1), 1u) << n;
    const nlohmann::json& r = byLine[n + 1];
    EXPECT_EQ(r.at("job"), "download");
    EXPECT_EQ(r.at("outcome"), "success");
    EXPECT_EQ(r.at("exit_code"), 0);
    EXPECT_EQ(r.at("esn"), Format("%08X", 0x8A3F2100u + static_cast<uint32_t>(n)));
    EXPECT_EQ(r.at("usb_path"), places[static_cast<size_t>(n)]);
    EXPECT_FALSE(r.at("version_before").get<std::string>().empty());
    EXPECT_FALSE(r.at("version_after").get<std::string>().empty());
    EXPECT_NE(r.at("nv_file").get<std::string>().find(Format("Channel%d.nvm", n + 1)),
              std::string::npos);
    EXPECT_FALSE(r.at("nv_sha256").is_null());
  }
}

// A modem made for another release is refused on its own line: the box
// says why, the window stays open and the other line's modem is flashed.
TEST(StationWindow, AModemOfAnotherVersionIsRefusedAndTheOtherLinesGoOn) {
  StationWindow w;
  ASSERT_TRUE(w.Start());
  w.form_->SetFolderBrowser(
      [](std::string_view) { return std::optional<std::string>("C:\\nvbackup"); });
  w.Click(kNvDirectoryButton);
  sim::InProcessModem& good = w.AddModem(0);
  good.PlugIn();
  ASSERT_TRUE(WaitFor([&] { return w.Shown(VersionText(0)) == "ZIZ_RU_Farrick_B00"; })) << w.Row(0);
  sim::InProcessModem& other = w.AddModem(1, "ZIZ_DE_Other_B01");
  other.PlugIn();
  ASSERT_TRUE(WaitFor([&] { return w.Shown(VersionText(1)) == "ZIZ_DE_Other_B01"; })) << w.Row(1);

  BoxAnswerer user;
  w.Click(kAllStart);
  ASSERT_TRUE(WaitFor([&] { return w.controller_->LastOutcome(0) != JobOutcome::None; }));
  ASSERT_TRUE(WaitFor([&] { return !w.controller_->JobRunning(0); }, 240000)) << w.Rows();
  ASSERT_EQ(w.controller_->LastOutcome(0), JobOutcome::Succeeded) << w.Rows();
  EXPECT_TRUE(WaitFor([&] { return w.PictureIs(0, kBitmapPass); }));
  EXPECT_EQ(good.device().ImageBytes(5), Embedded(164));
  EXPECT_EQ(w.controller_->LastOutcome(1), JobOutcome::VersionRejected);
  EXPECT_NE(other.device().ImageBytes(5), Embedded(164));
  EXPECT_TRUE(testsupport::Contains(user.Texts(), kVersionMismatchText));
  EXPECT_EQ(w.windowExit_, -1);
  EXPECT_EQ(w.processExit_, -1);
  EXPECT_TRUE(w.window_->isVisible());
  EXPECT_TRUE(w.Control(StartButton(1))->isEnabled());
}

}  // namespace
}  // namespace quorrel

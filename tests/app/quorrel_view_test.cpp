// The main form's view over line 1 and the in-process modem: start-up, every
// command of the form, close and shutdown.
#include "app/quorrel_view.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "app/form_layout.h"
#include "jobs/download_job.h"
#include "package/embedded_release.h"
#include "platform/files.h"
#include "platform/shell.h"
#include "support/sim_line.h"
#include "util/text.h"

namespace quorrel {
namespace {

namespace fs = std::filesystem;
using namespace controls;
using testsupport::Seen;
using testsupport::SimLine;

constexpr char kWaitText[] = "пожалуйста подождите...";

class ViewTest : public ::testing::Test {
 protected:
  explicit ViewTest(bool withPort = false) {
    // Without a port line 1 gets no port watch: the tests drive the form.
    if (!withPort) s_.doc_.line(0).settings.diagPort = 0;
    old_shell_ = SetShellHandler([this](const ShellRequest& r) {
      shell_.push_back(r);
      return true;
    });
  }
  ~ViewTest() override {
    view_.Shutdown();
    SetShellHandler(old_shell_);
  }

  std::vector<std::string> Boxes() { return s_.form().Texts(Seen::Kind::Box); }
  ControlState C(int id) { return s_.form().Control(id); }

  SimLine s_;
  int abouts_ = 0;
  int closes_ = 0;
  std::vector<ShellRequest> shell_;
  ShellHandler old_shell_;
  CQuorrelView view_{s_.doc_, s_.form(), s_.controller(),
                     ViewHooks{[this] { ++abouts_; }, [this] { ++closes_; }, nullptr}};
};

TEST_F(ViewTest, StartUpFillsTheForm) {
  ASSERT_EQ(view_.OnInitialUpdate(EmbeddedResources()), StartupResult::Ready);
  for (int line = 0; line < kLineCount; ++line) {
    EXPECT_EQ(C(1179 + line).text, ".");
    EXPECT_TRUE(C(ModeButton(line, LineMode::Download)).checked);
    EXPECT_FALSE(C(ModeButton(line, LineMode::Repair)).checked);
    EXPECT_EQ(C(StartButton(line)).icon, kIconStart);
    EXPECT_EQ(C(StopButton(line)).icon, kIconStop);
    EXPECT_EQ(C(ProgressText(line)).text, "0/100");
    EXPECT_EQ(C(StatusIcon(line)).image, kBitmapReady);
  }
  EXPECT_EQ(s_.form().Title(), "ПО обновления для Pellam ZID Россия");
  EXPECT_EQ(C(1189).text, "О программе:");
  EXPECT_EQ(C(1195).text, "Номер порта: ");
  EXPECT_EQ(C(1196).text, "Текущая версия:");
  EXPECT_EQ(C(kDownload).text, "Загрузка");
  EXPECT_EQ(C(kNvDirectoryEdit).text, testsupport::kNvDirectory);
  EXPECT_EQ(C(kFirmwareFolderEdit).text, kExtractionFolder);
  EXPECT_TRUE(C(kRestoreRfNvImei).checked);
  EXPECT_FALSE(C(kNoBackupNv).checked);
  EXPECT_EQ(s_.doc_.nvOption, kNvRestoreRfImei);
  EXPECT_TRUE(C(kEraseBoot).checked);
  EXPECT_FALSE(C(kEraseBoot).enabled);
  EXPECT_FALSE(C(RestorePortButton(0)).enabled);
  EXPECT_TRUE(C(RestorePortButton(1)).enabled);
  // No phone yet: the button waits for one.
  EXPECT_EQ(C(kCurrentVersion).text, "нет телефона");
  EXPECT_EQ(C(kPortNumber).text, "NULL");
  EXPECT_EQ(C(kStateLine).text, kWaitText);
  EXPECT_FALSE(C(kDownload).enabled);
  EXPECT_EQ(C(VersionText(3)).text, "NULL");
  EXPECT_FALSE(s_.controller().HasPortWatch(0));
  EXPECT_TRUE(fs::exists(s_.releaseDir_ / "amss.mbn"));
  EXPECT_TRUE(Boxes().empty());

  // The erase-boot box stays as start-up left it.
  s_.form().UpdateControls(0, true);
  EXPECT_FALSE(C(kEraseBoot).enabled);
}

class ViewWithPortTest : public ViewTest {
 protected:
  ViewWithPortTest() : ViewTest(true) {}
};

TEST_F(ViewWithPortTest, StartUpWatchesLineOneAndTheModemMakesTheFormReady) {
  ASSERT_EQ(view_.OnInitialUpdate(EmbeddedResources()), StartupResult::Ready);
  EXPECT_TRUE(s_.controller().HasPortWatch(0));
  EXPECT_EQ(s_.controller().CurrentLine(), 0);
  EXPECT_FALSE(C(kDownload).enabled);
  s_.modem_->PlugIn();
  ASSERT_TRUE(s_.form().WaitForStateLine("Готово. Нажмите кнопку для начала обновления"));
  // Parked, the watch has finished its pass: the port is shown too.
  s_.controller().SuspendPortWatch(0, true);
  EXPECT_EQ(C(kPortNumber).text, "COM5");
}

TEST_F(ViewTest, ASecondInstanceShowsTheMessageAndTouchesNoLine) {
  bool exists = false;
  std::unique_ptr<NamedMutex> other = NamedMutex::Create(kMutexName, &exists);
  ASSERT_FALSE(exists);
  fs::remove_all(s_.releaseDir_);
  s_.doc_.line(0).settings.diagPort = 1;
  std::vector<std::string> captions;
  s_.form().SetMessageBoxHandler([&](const MessageBoxRequest& r) {
    captions.push_back(r.caption);
    return MessageResult::Ok;
  });
  EXPECT_EQ(view_.OnInitialUpdate(EmbeddedResources()), StartupResult::AlreadyRunning);
  EXPECT_EQ(Boxes(), std::vector<std::string>{kMutexTakenText});
  // The window has no title yet; the box carries the one it would have.
  EXPECT_EQ(captions, std::vector<std::string>{"ПО обновления для Pellam ZID Россия"});
  EXPECT_FALSE(s_.controller().HasPortWatch(0));
  EXPECT_FALSE(fs::exists(s_.releaseDir_));
  EXPECT_EQ(C(1189).text, "");
  EXPECT_EQ(s_.form().Title(), "");

  // Once the other one is gone, this one starts and then blocks the next.
  other.reset();
  s_.doc_.line(0).settings.diagPort = 0;
  CQuorrelView second(s_.doc_, s_.form(), s_.controller());
  EXPECT_EQ(second.OnInitialUpdate(EmbeddedResources()), StartupResult::Ready);
  NamedMutex::Create(kMutexName, &exists);
  EXPECT_TRUE(exists);
}

TEST_F(ViewTest, AnExtractionFolderThatCannotBeMadeEndsTheStart) {
  fs::remove_all(s_.releaseDir_.parent_path());
  std::ofstream(s_.releaseDir_.parent_path()) << "a file in the way";
  EXPECT_EQ(view_.OnInitialUpdate(EmbeddedResources()), StartupResult::ExtractionFailed);
  EXPECT_EQ(Boxes(), std::vector<std::string>{"source file path error!"});
}

TEST_F(ViewTest, ModeAndNvOptionButtonsSetTheirValueAndTheirGroup) {
  ASSERT_EQ(view_.OnInitialUpdate(EmbeddedResources()), StartupResult::Ready);
  for (int line = 0; line < kLineCount; ++line) {
    constexpr LineMode kModes[] = {LineMode::Repair, LineMode::RestoreNv, LineMode::BackupNv,
                                   LineMode::Download};
    for (LineMode mode : kModes) {
      ASSERT_TRUE(view_.OnCommand(ModeButton(line, mode)));
      EXPECT_EQ(s_.doc_.line(line).lineMode.load(), mode);
      for (LineMode m : kModes) {
        EXPECT_EQ(C(ModeButton(line, m)).checked, m == mode) << line << " " << static_cast<int>(m);
      }
    }
  }
  const int options[] = {kNoBackupNv, kRestoreRfNv, kRestoreRfNvImei, kLoadDefaultNv};
  for (int option = 0; option < 4; ++option) {
    ASSERT_TRUE(view_.OnCommand(options[option]));
    EXPECT_EQ(s_.doc_.nvOption, option);
    for (int o = 0; o < 4; ++o) EXPECT_EQ(C(options[o]).checked, o == option);
  }
  // A running line disables the options: a click on one changes nothing.
  s_.doc_.line(4).runFlag = 1;
  s_.form().UpdateControls(4, false);
  EXPECT_TRUE(view_.OnCommand(kNoBackupNv));
  EXPECT_EQ(s_.doc_.nvOption, kNvLoadDefault);
}

TEST_F(ViewTest, StartAndStopButtonsOfEveryLine) {
  ASSERT_EQ(view_.OnInitialUpdate(EmbeddedResources()), StartupResult::Ready);
  for (int line = 0; line < kLineCount; ++line) s_.form().EnableControl(StartButton(line), true);
  // No phone answers on any line: every start reads no version and closes
  // the window.
  for (int line = 0; line < kLineCount; ++line) {
    s_.closed_ = false;
    ASSERT_TRUE(view_.OnCommand(StartButton(line)));
    EXPECT_TRUE(s_.closed_) << line;
    EXPECT_EQ(Boxes().back(), kVersionMismatchText);
  }
  for (int line = 0; line < kLineCount; ++line) {
    s_.doc_.line(line).runFlag = 1;
    s_.form().UpdateControls(line, false);
    ASSERT_TRUE(view_.OnCommand(StopButton(line)));
    EXPECT_EQ(s_.doc_.line(line).runFlag, 0) << line;
  }
  for (int line = 0; line < kLineCount; ++line) s_.doc_.line(line).runFlag = 1;
  s_.form().UpdateControls(0, false);
  ASSERT_TRUE(view_.OnCommand(kAllStop));
  for (int line = 0; line < kLineCount; ++line) EXPECT_EQ(s_.doc_.line(line).runFlag, 0);
}

TEST_F(ViewTest, AllStartSkipsLinesWithoutAPortAndRunningLinesAndStartsTheOthersApart) {
  ASSERT_EQ(view_.OnInitialUpdate(EmbeddedResources()), StartupResult::Ready);
  // Lines 1, 3 and 6 have a port (with nothing behind it), line 3 runs.
  std::vector<std::shared_ptr<MemoryWire>> wires;
  for (int line : {0, 2, 5}) {
    auto wire = std::make_shared<MemoryWire>(s_.clock_);
    s_.ports_.Attach(40 + line, wire);
    s_.doc_.line(line).settings.diagPort = 40 + line;
    ASSERT_EQ(s_.doc_.link(line).Port().Open(40 + line, 115200, 8, 1), 1);
    wires.push_back(wire);
  }
  s_.doc_.line(2).runFlag = 1;
  s_.form().UpdateControls(2, false);
  std::vector<uint64_t> starts;
  s_.form().SetMessageBoxHandler([&](const MessageBoxRequest&) {
    starts.push_back(s_.clock_.NowMs());
    return MessageResult::Ok;
  });
  ASSERT_TRUE(view_.OnCommand(kAllStart));
  EXPECT_FALSE(wires[0]->HostWritten().empty());
  EXPECT_TRUE(wires[1]->HostWritten().empty());  // running
  EXPECT_FALSE(wires[2]->HostWritten().empty());
  ASSERT_EQ(starts.size(), 2u);
  EXPECT_GE(starts[1] - starts[0], 100u);
}

TEST_F(ViewTest, ReleaseAndReconnectAllPorts) {
  s_.doc_.line(0).settings.diagPort = 1;
  ASSERT_EQ(view_.OnInitialUpdate(EmbeddedResources()), StartupResult::Ready);
  s_.modem_->PlugIn();
  ASSERT_TRUE(s_.form().WaitForStateLine("Готово. Нажмите кнопку для начала обновления"));

  ASSERT_TRUE(view_.OnCommand(kReleaseAll));
  EXPECT_TRUE(view_.PortsReleased());
  EXPECT_EQ(C(kReleaseAll).text, "全部连接");
  EXPECT_FALSE(s_.doc_.link(0).Port().IsOpen());
  // Released ports count as a running line, though none runs.
  EXPECT_FALSE(C(kAllStart).enabled);
  EXPECT_TRUE(C(kAllStop).enabled);
  EXPECT_FALSE(C(kDownload).enabled);
  EXPECT_TRUE(C(kReleaseAll).enabled);
  EXPECT_TRUE(C(kRestoreAllPorts).enabled);

  ASSERT_TRUE(view_.OnCommand(kReleaseAll));
  EXPECT_FALSE(view_.PortsReleased());
  EXPECT_EQ(C(kReleaseAll).text, "全部释放");
  EXPECT_TRUE(C(kAllStart).enabled);
  EXPECT_TRUE(C(kDownload).enabled);
}

TEST_F(ViewTest, ChoosersPutThePathIntoEveryLineAndTheEdit) {
  ASSERT_EQ(view_.OnInitialUpdate(EmbeddedResources()), StartupResult::Ready);
  std::vector<std::string> filters;
  std::optional<std::string> answer = "C:\\files\\prog.bin";
  s_.form().SetFileChooser([&](std::string_view filter) {
    filters.emplace_back(filter);
    return answer;
  });
  ASSERT_TRUE(view_.OnCommand(kProgrammerButton));
  answer = "C:\\files\\boot.bin";
  ASSERT_TRUE(view_.OnCommand(kBootFileButton));
  answer = "C:\\files\\default.NVM";
  ASSERT_TRUE(view_.OnCommand(kDefaultNvButton));
  EXPECT_EQ(filters, (std::vector<std::string>{kBinFilter, kBinFilter, kNvmFilter}));
  EXPECT_EQ(C(kProgrammerEdit).text, "C:\\files\\prog.bin");
  EXPECT_EQ(C(kBootFileEdit).text, "C:\\files\\boot.bin");
  EXPECT_EQ(C(kDefaultNvEdit).text, "C:\\files\\default.NVM");
  for (int line = 0; line < kLineCount; ++line) {
    const SettingsRecord& r = s_.doc_.line(line).settings;
    EXPECT_EQ(r.upgradeProgrammerFile.str(), "C:\\files\\prog.bin");
    EXPECT_EQ(r.bootFile.str(), "C:\\files\\boot.bin");
    EXPECT_EQ(r.defaultNvFile.str(), "C:\\files\\default.NVM");
  }
  // Cancelled, or too long for the record: nothing changes.
  answer = std::nullopt;
  ASSERT_TRUE(view_.OnCommand(kProgrammerButton));
  answer = "C:\\" + std::string(300, 'x');
  ASSERT_TRUE(view_.OnCommand(kProgrammerButton));
  EXPECT_EQ(C(kProgrammerEdit).text, "C:\\files\\prog.bin");
  EXPECT_EQ(s_.doc_.line(7).settings.upgradeProgrammerFile.str(), "C:\\files\\prog.bin");
  EXPECT_EQ(Boxes().size(), 1u);

  // The folder choosers: the NV directory and the release.
  fs::create_directories(MapPath("C:\\nv2"));
  s_.form().SetFolderBrowser([&](std::string_view title) -> std::optional<std::string> {
    if (title == "Please choose the NV directory") return std::string("C:\\nv2");
    return std::string(kExtractionFolder);
  });
  ASSERT_TRUE(view_.OnCommand(kNvDirectoryButton));
  EXPECT_EQ(C(kNvDirectoryEdit).text, "C:\\nv2");
  EXPECT_EQ(s_.doc_.line(5).settings.nvFile.str(), "C:\\nv2\\Channel6.nvm");
  s_.doc_.line(3).settings.firmwareFolder.Clear();
  ASSERT_TRUE(view_.OnCommand(kSoftwareVersion));
  EXPECT_EQ(s_.doc_.line(3).settings.firmwareFolder.str(), kExtractionFolder);
}

TEST_F(ViewTest, SaveWritesTheDocumentThroughTheSaveDialogAndLoadingItRestoresPortsAndPaths) {
  ASSERT_EQ(view_.OnInitialUpdate(EmbeddedResources()), StartupResult::Ready);
  for (int line = 0; line < kLineCount; ++line) {
    s_.doc_.line(line).settings.diagPort = 10 + 2 * line;
    s_.doc_.line(line).settings.atPort = 11 + 2 * line;
  }
  ASSERT_TRUE(s_.doc_.line(5).settings.defaultNvFile.Set("C:\\files\\default.NVM"));
  std::vector<std::pair<std::string, std::string>> asked;
  std::optional<std::string> answer = "C:\\station.doc";
  s_.form().SetSaveFileChooser([&](std::string_view filter, std::string_view name) {
    asked.emplace_back(filter, name);
    return answer;
  });
  int opened = 0;
  s_.form().SetFileChooser([&](std::string_view) {
    ++opened;
    return std::optional<std::string>("C:\\station.doc");
  });

  // Open and print do nothing at all.
  const std::vector<uint8_t> before = s_.doc_.SaveSettings();
  ASSERT_TRUE(view_.OnCommand(commands::kFileOpen));
  ASSERT_TRUE(view_.OnCommand(commands::kFilePrint));
  EXPECT_EQ(opened, 0);
  EXPECT_TRUE(asked.empty());
  EXPECT_FALSE(fs::exists(MapPath("C:\\station.doc")));

  // A cancelled dialog saves nothing.
  answer = std::nullopt;
  ASSERT_TRUE(view_.OnCommand(commands::kFileSave));
  EXPECT_FALSE(fs::exists(MapPath("C:\\station.doc")));
  answer = "C:\\station.doc";
  ASSERT_TRUE(view_.OnCommand(commands::kFileSave));
  ASSERT_EQ(asked.size(), 2u);
  EXPECT_EQ(asked[1], std::make_pair(std::string(kDocumentFilter), std::string("Untitled")));
  EXPECT_EQ(fs::file_size(MapPath("C:\\station.doc")), 41312u);

  // The eight records come back into a fresh document, run-time state aside.
  VirtualClock clock;
  MemoryPorts ports;
  CQuorrelDoc loaded(clock, ports);
  std::string error;
  ASSERT_TRUE(loaded.LoadFromFile("C:\\station.doc", &error)) << error;
  for (int line = 0; line < kLineCount; ++line) {
    EXPECT_EQ(loaded.line(line).settings, s_.doc_.line(line).settings) << line;
    EXPECT_EQ(loaded.line(line).settings.atPort, 11 + 2 * line);
  }
  EXPECT_EQ(loaded.line(0).settings.amssPath.str(), std::string(kExtractionFolder) + "\\amss.mbn");
  EXPECT_EQ(loaded.line(5).settings.defaultNvFile.str(), "C:\\files\\default.NVM");
  EXPECT_EQ(loaded.line(0).VersionText(), kNoPhoneText);
  EXPECT_EQ(loaded.SaveSettings(), before);

  // Saved once, the document goes to the same file without asking.
  s_.doc_.line(7).settings.atPort = 99;
  ASSERT_TRUE(view_.OnCommand(commands::kFileSave));
  EXPECT_EQ(asked.size(), 2u);
  ASSERT_TRUE(loaded.LoadFromFile("C:\\station.doc", &error)) << error;
  EXPECT_EQ(loaded.line(7).settings.atPort, 99);

  // A file that cannot be written is named in a box.
  CQuorrelView other(s_.doc_, s_.form(), s_.controller());
  answer = "C:\\no such folder\\station.doc";
  ASSERT_TRUE(other.OnCommand(commands::kFileSave));
  EXPECT_EQ(Boxes(), std::vector<std::string>{
                         "Cannot write the document file C:\\no such folder\\station.doc"});
  other.Shutdown();
  fs::remove(MapPath("C:\\station.doc"));
}

TEST_F(ViewTest, NewDocumentGoesBackToTheProgramFoldersButKeepsTheRelease) {
  ASSERT_EQ(view_.OnInitialUpdate(EmbeddedResources()), StartupResult::Ready);
  fs::create_directories(MapPath("C:\\nv2"));
  s_.form().SetFolderBrowser(
      [](std::string_view) { return std::optional<std::string>("C:\\nv2"); });
  ASSERT_TRUE(view_.OnCommand(kNvDirectoryButton));
  ASSERT_EQ(s_.doc_.line(4).settings.nvFile.str(), "C:\\nv2\\Channel5.nvm");
  s_.doc_.line(2).settings.atPort = 12;

  // Not while a line runs: its NV file stays where the job writes it.
  s_.doc_.line(4).runFlag = 1;
  ASSERT_TRUE(view_.OnCommand(commands::kFileNew));
  EXPECT_EQ(s_.doc_.line(4).settings.nvFile.str(), "C:\\nv2\\Channel5.nvm");
  s_.doc_.line(4).runFlag = 0;

  ASSERT_TRUE(view_.OnCommand(commands::kFileNew));
  for (int line = 0; line < kLineCount; ++line) {
    const SettingsRecord& r = s_.doc_.line(line).settings;
    EXPECT_EQ(r.nvDirectory.str(), "C:\\quorrel");
    EXPECT_EQ(r.nvFile.str(), "C:\\quorrel\\Channel" + std::to_string(line + 1) + ".nvm");
    if (line > 0) {
      EXPECT_EQ(r.armprgPath.str(), "C:\\quorrel\\armprg.bin");
    }
  }
  EXPECT_EQ(C(kNvDirectoryEdit).text, "C:\\quorrel");
  // Line 1 still downloads the release written out at start-up; the ports
  // are kept.
  EXPECT_EQ(s_.doc_.line(0).settings.armprgPath.str(),
            std::string(kExtractionFolder) + "\\armprg.bin");
  EXPECT_EQ(s_.doc_.line(0).settings.amssPath.str(), std::string(kExtractionFolder) + "\\amss.mbn");
  EXPECT_EQ(C(kFirmwareFolderEdit).text, kExtractionFolder);
  EXPECT_EQ(s_.doc_.line(2).settings.atPort, 12);
  // The program goes on: no second start-up, no box.
  EXPECT_TRUE(Boxes().empty());
}

TEST_F(ViewTest, RestorePortSwitchesTheDiagnosticPortOnAndOff) {
  ASSERT_EQ(view_.OnInitialUpdate(EmbeddedResources()), StartupResult::Ready);
  ASSERT_TRUE(view_.OnCommand(RestorePortButton(1)));
  EXPECT_EQ(C(StateText(1)).text, kDataPortZeroText);

  s_.modem_->PlugIn();
  s_.doc_.line(0).settings.atPort = s_.modem_->DataPort();
  s_.form().EnableControl(RestorePortButton(0), true);
  bool disabledMeanwhile = false;
  bool openMeanwhile = false;
  CQuorrelView view(s_.doc_, s_.form(), s_.controller(),
                    ViewHooks{nullptr, nullptr, [&](uint32_t ms, std::function<void()> fn) {
                                EXPECT_EQ(ms, 4500u);
                                disabledMeanwhile =
                                    !s_.form().Control(RestorePortButton(0)).enabled;
                                // The data port is held open through the wait.
                                openMeanwhile = s_.doc_.at(0).port.IsOpen() != 0;
                                fn();
                              }});
  // A data port that cannot be opened: said at once, nothing waits.
  s_.doc_.line(2).settings.atPort = 77;
  ASSERT_TRUE(view.OnCommand(RestorePortButton(2)));
  EXPECT_EQ(C(StateText(2)).text, "Data port COM77 cannot be opened");
  EXPECT_TRUE(C(RestorePortButton(2)).enabled);
  EXPECT_FALSE(disabledMeanwhile);

  ASSERT_TRUE(view.RestoreSwitchesOn(0));
  ASSERT_TRUE(view.OnCommand(RestorePortButton(0)));
  EXPECT_TRUE(disabledMeanwhile);
  EXPECT_TRUE(openMeanwhile);
  EXPECT_TRUE(C(RestorePortButton(0)).enabled);
  EXPECT_EQ(C(kCurrentVersion).text, "ZIZ_RU_Farrick_B01");
  EXPECT_EQ(s_.modem().DiagPortMode(), 6);
  EXPECT_FALSE(s_.doc_.at(0).port.IsOpen());

  ASSERT_FALSE(view.RestoreSwitchesOn(0));
  ASSERT_TRUE(view.OnCommand(kRestoreAllPorts));
  EXPECT_EQ(s_.modem().DiagPortMode(), 0);
  EXPECT_EQ(C(kCurrentVersion).text, "");
  EXPECT_EQ(C(StateText(7)).text, kDataPortZeroText);
}

TEST_F(ViewTest, MenuCommandsAndTheUninstallMessage) {
  ASSERT_EQ(view_.OnInitialUpdate(EmbeddedResources()), StartupResult::Ready);
  ASSERT_TRUE(view_.OnCommand(commands::kHelp));
  ASSERT_EQ(shell_.size(), 1u);
  EXPECT_EQ(shell_[0].verb, "Open");
  EXPECT_EQ(shell_[0].file, ExecutableDirectory() + "\\help.pdf");

  ASSERT_TRUE(view_.OnCommand(commands::kAbout));
  EXPECT_EQ(abouts_, 1);
  ASSERT_TRUE(view_.OnCommand(commands::kExit));
  EXPECT_EQ(closes_, 1);

  // Port setting does nothing at all.
  std::vector<int> changes;
  s_.form().SetControlListener([&](int id) { changes.push_back(id); });
  ASSERT_TRUE(view_.OnCommand(commands::kPortSetting));
  EXPECT_TRUE(changes.empty());
  EXPECT_FALSE(view_.OnCommand(commands::kRecordLog));
  EXPECT_FALSE(view_.OnCommand(4711));

  // No line has a port watch: the uninstall message does nothing.
  ASSERT_TRUE(view_.OnCommand(commands::kUninstallAllMessage));
  EXPECT_EQ(shell_.size(), 1u);

  // Help that cannot be opened says so.
  SetShellHandler([](const ShellRequest&) { return false; });
  ASSERT_TRUE(view_.OnCommand(commands::kHelp));
  ASSERT_EQ(Boxes().size(), 1u);
  EXPECT_NE(Boxes()[0].find("help.pdf"), std::string::npos);
}

TEST_F(ViewWithPortTest, TheUninstallMessageClosesTheCurrentLinesPortAndStartsTheUninstaller) {
  ASSERT_EQ(view_.OnInitialUpdate(EmbeddedResources()), StartupResult::Ready);
  s_.controller().SuspendPortWatch(0, true);
  ASSERT_TRUE(view_.OnCommand(commands::kUninstallAllMessage));
  EXPECT_FALSE(s_.doc_.link(0).Port().IsOpen());
  ASSERT_EQ(shell_.size(), 1u);
  EXPECT_EQ(shell_[0].file, ".\\UnInstallAll.exe");
  EXPECT_EQ(shell_[0].show, ShowCommand::Maximized);
}

TEST_F(ViewTest, CloseAsksOnlyWhileALineRuns) {
  ASSERT_EQ(view_.OnInitialUpdate(EmbeddedResources()), StartupResult::Ready);
  std::vector<MessageBoxRequest> asked;
  MessageResult answer = MessageResult::No;
  s_.form().SetMessageBoxHandler([&](const MessageBoxRequest& r) {
    asked.push_back(r);
    return answer;
  });
  EXPECT_TRUE(view_.ConfirmClose());
  EXPECT_TRUE(asked.empty());

  s_.doc_.line(6).runFlag = 1;
  EXPECT_FALSE(view_.ConfirmClose());
  ASSERT_EQ(asked.size(), 1u);
  EXPECT_EQ(asked[0].text, kCloseQuestion);
  EXPECT_EQ(asked[0].caption, "Предупреждение");
  EXPECT_EQ(asked[0].buttons, MessageButtons::YesNo);
  EXPECT_EQ(asked[0].icon, MessageIcon::Stop);
  answer = MessageResult::Yes;
  EXPECT_TRUE(view_.ConfirmClose());

  // Shutdown lets the mutex go and ends the commands; destruction removes
  // the written-out release.
  view_.Shutdown();
  bool exists = true;
  NamedMutex::Create(kMutexName, &exists);
  EXPECT_FALSE(exists);
  EXPECT_FALSE(view_.OnCommand(kAllStart));
  view_.OnDestroy();
  EXPECT_FALSE(fs::exists(s_.releaseDir_ / "amss.mbn"));
}

// The window's way to a repair: the repair radio, no NV restore, the start
// button, against a modem that attached in its downloader. The port watch
// finds its only port; the start skips the version check.
TEST(ViewRepair, RepairRadioAndStartButtonFlashAModemStuckInTheDownloader) {
  sim::ModemConfig config;
  config.startMode = sim::ModemMode::Downloader;
  SimLine s(config);
  CQuorrelView view(s.doc_, s.form(), s.controller());
  ASSERT_EQ(view.OnInitialUpdate(EmbeddedResources()), StartupResult::Ready);
  s.modem_->PlugIn();
  ASSERT_TRUE(view.OnCommand(ModeButton(0, LineMode::Repair)));
  ASSERT_TRUE(view.OnCommand(1131));  // "No bakup NV"

  // The user clicks once the watch has shown the modem's port and enabled
  // the button. Each pass of the watch shows the version (which, for a
  // modem that cannot tell one, disables the button) and then enables the
  // button again; a click that falls in between is not taken, and the user
  // clicks again.
  bool started = false;
  for (int click = 0; click < 50 && !started; ++click) {
    ASSERT_TRUE(s.form().WaitUntil([&] {
      return s.form().PortText(0) == Format("COM%d", s.modem_->DiagPort()) &&
             s.form().Control(kDownload).enabled;
    }));
    ASSERT_TRUE(view.OnCommand(kDownload));
    started = s.controller().LastOutcome(0) != JobOutcome::None;
  }
  ASSERT_TRUE(started);
  ASSERT_TRUE(s.controller().WaitForJob(0, std::chrono::minutes(5)));
  EXPECT_EQ(s.controller().LastOutcome(0), JobOutcome::Succeeded);
  EXPECT_EQ(s.modem().ImageBytes(5), s.EmbeddedFile(164));
  EXPECT_FALSE(s.closed_);
  EXPECT_EQ(s.form().Values(Seen::Kind::Picture).back(), kStatusPass);
  view.Shutdown();
}

}  // namespace
}  // namespace quorrel

#include "ports/driver_setup.h"

#include <gtest/gtest.h>

#include <fstream>

#include "app/recording_display.h"
#include "package/embedded_release.h"
#include "platform/memory_wire.h"
#include "platform/os_version.h"
#include "platform/paths.h"
#include "platform/process_list.h"
#include "platform/registry.h"
#include "platform/scoped_root.h"
#include "platform/shell.h"

namespace quorrel {
namespace {

namespace fs = std::filesystem;

class DriverSetupTest : public ::testing::Test {
 protected:
  DriverSetupTest() {
    old_os_ = SetOsVersionSource([this] { return os_; });
    old_shell_ = SetShellHandler([this](const ShellRequest& r) {
      requests_.push_back(r);
      return shell_result_;
    });
    old_processes_ = SetProcessListSource([this]() -> std::optional<std::vector<ProcessEntry>> {
      if (!processes_) return std::nullopt;
      return processes_(clock_.NowMs());
    });
  }
  ~DriverSetupTest() override {
    SetOsVersionSource(old_os_);
    SetShellHandler(old_shell_);
    SetProcessListSource(old_processes_);
  }

  void SetFlag(const char* key, uint32_t value) {
    ASSERT_EQ(RegistrySetDword(RegistryRoot::LocalMachine, key, "IsDriverInstalled", value),
              kRegistryOk);
  }

  testing::ScopedRoot root_;
  VirtualClock clock_;
  MemoryPorts ports_;
  CQuorrelDoc doc_{clock_, ports_};
  RecordingDisplay display_;
  OsVersion os_{kPlatformWin32Nt, 6, 1};
  std::vector<ShellRequest> requests_;
  bool shell_result_ = true;
  std::function<std::vector<ProcessEntry>(uint64_t now)> processes_ = [](uint64_t) {
    return std::vector<ProcessEntry>{};
  };
  OsVersionSource old_os_;
  ShellHandler old_shell_;
  ProcessListSource old_processes_;
};

TEST_F(DriverSetupTest, DetectWindowsVersion) {
  struct Case {
    OsVersion os;
    bool windows7;
    const char* name;
  } cases[] = {
      {{kPlatformWin32Nt, 6, 1}, true, "Windows 7"},
      {{kPlatformWin32Nt, 6, 0}, false, "Windows Vista"},
      {{kPlatformWin32Nt, 5, 1}, false, "Windows XP"},
      {{kPlatformWin32Nt, 10, 0}, false, "Windows XP"},  // unknown: the name stays
      {{kPlatformNone, 0, 0}, false, "Windows XP"},
  };
  for (const Case& c : cases) {
    os_ = c.os;
    EXPECT_EQ(DetectWindowsVersion(doc_), c.windows7);
    EXPECT_EQ(doc_.OsName(), c.name);
  }
}

TEST_F(DriverSetupTest, PosixIsNoWindows) {
  SetOsVersionSource(nullptr);
  EXPECT_FALSE(DetectWindowsVersion(doc_));
  EXPECT_EQ(doc_.OsName(), "");
}

TEST_F(DriverSetupTest, InstalledFlagUnderEitherKey) {
  EXPECT_FALSE(IsUsbDriverInstalled());
  RegistryCreateKey(RegistryRoot::LocalMachine, "SOFTWARE\\Wow6432Node\\VantrelUSBDriverFlag");
  EXPECT_FALSE(IsUsbDriverInstalled());  // the key alone is not enough
  SetFlag("SOFTWARE\\VantrelUSBDriverFlag", 0);
  EXPECT_TRUE(IsUsbDriverInstalled());  // any value
  RegistryDeleteKey(RegistryRoot::LocalMachine, "SOFTWARE\\VantrelUSBDriverFlag");
  SetFlag("SOFTWARE\\Wow6432Node\\VantrelUSBDriverFlag", 1);
  EXPECT_TRUE(IsUsbDriverInstalled());
}

TEST_F(DriverSetupTest, FindProcessByName) {
  processes_ = [](uint64_t) {
    return std::vector<ProcessEntry>{
        {10, "explorer.exe"}, {20, "usbdriverinstaller_X64.EXE"}, {30, kInstallerX64}};
  };
  EXPECT_EQ(FindProcessByName(kInstallerX64), 20);
  EXPECT_EQ(FindProcessByName(kInstallerX86), -1);
  processes_ = nullptr;  // the list cannot be taken
  EXPECT_EQ(FindProcessByName("explorer.exe"), -1);
}

TEST_F(DriverSetupTest, InstallWaitsForBothInstallers) {
  fs::path setup = MapPath(std::string(kExtractionFolder) + "\\VantrelDrvSetup.exe");
  fs::create_directories(setup.parent_path());
  std::ofstream(setup) << "MZ";
  // x86 runs until 35 s, x64 until 37 s: the checks at 32, 34 and 36 s see
  // an installer, the one at 38 s sees none.
  processes_ = [](uint64_t now) {
    std::vector<ProcessEntry> list;
    if (now < 35000) list.push_back({1, kInstallerX86});
    if (now < 37000) list.push_back({2, kInstallerX64});
    return list;
  };
  InstallUsbDriver(doc_, display_, 0);
  ASSERT_EQ(requests_.size(), 1u);
  EXPECT_EQ(requests_[0].verb, "open");
  EXPECT_EQ(requests_[0].file,
            "C:\\Program Files\\Windows Service\\Dunmarnewversion\\VantrelDrvSetup.exe");
  EXPECT_EQ(requests_[0].parameters, "");
  EXPECT_EQ(requests_[0].show, ShowCommand::Normal);
  EXPECT_EQ(clock_.NowMs(), 38000u);
  EXPECT_EQ(
      display_.StatusTexts(0),
      (std::vector<std::string>{"Устанавливается драйвер для Windows 7, пожалуйста подождите...",
                                "Драйвер Windows 7 установлен!"}));
  EXPECT_FALSE(fs::exists(setup));
  EXPECT_EQ(doc_.OsName(), "Windows 7");
}

TEST_F(DriverSetupTest, FailedSetupStartStillEndsAfterThirtyTwoSeconds) {
  shell_result_ = false;
  InstallUsbDriver(doc_, display_, 2);
  EXPECT_EQ(clock_.NowMs(), 32000u);
  EXPECT_EQ(display_.StatusTexts(2).back(), "Драйвер Windows 7 установлен!");
}

TEST_F(DriverSetupTest, InstallerWaitEndsOnAStopRequest) {
  // The installer never ends; a stop request asked for after 10 s (and later
  // in the process-list polling) ends the wait at the next pause.
  processes_ = [](uint64_t) { return std::vector<ProcessEntry>{{1, kInstallerX86}}; };
  InstallUsbDriver(doc_, display_, 0, [this] { return clock_.NowMs() >= 10000; });
  EXPECT_EQ(clock_.NowMs(), 10000u);
  InstallUsbDriver(doc_, display_, 0, [this] { return clock_.NowMs() >= 50000; });
  EXPECT_EQ(clock_.NowMs(), 50000u);
  EXPECT_EQ(display_.StatusTexts(0).back(),
            "Устанавливается драйвер для Windows 7, пожалуйста подождите...");
}

TEST_F(DriverSetupTest, NoInstallationWhenNotNeeded) {
  os_ = {kPlatformWin32Nt, 6, 0};
  InstallUsbDriver(doc_, display_, 0);
  os_ = {kPlatformWin32Nt, 6, 1};
  SetFlag("SOFTWARE\\Wow6432Node\\VantrelUSBDriverFlag", 0);
  InstallUsbDriver(doc_, display_, 0);
  EXPECT_TRUE(requests_.empty());
  EXPECT_TRUE(display_.Events().empty());
  EXPECT_EQ(clock_.NowMs(), 0u);
}

TEST_F(DriverSetupTest, UninstallerTriesAllFourPlaces) {
  shell_result_ = false;
  EXPECT_TRUE(RunDriverUninstaller());
  ASSERT_EQ(requests_.size(), 4u);
  EXPECT_EQ(requests_[3].file,
            "C:\\Program Files (x86)\\VantrelDriver\\USBDriverInstaller_x64.exe");
  for (const ShellRequest& r : requests_) {
    EXPECT_EQ(r.verb, "open");
    EXPECT_EQ(r.parameters, "Uninstall");
  }
}

TEST_F(DriverSetupTest, UninstallAllClosesThePortWaitsAndStarts) {
  ports_.Attach(3, std::make_shared<MemoryWire>(clock_));
  ASSERT_EQ(doc_.link(1).Port().Open(3, 115200, 8, 1), 1);
  shell_result_ = false;
  EXPECT_EQ(OnUninstallAllMessage(doc_, 1), 0);
  EXPECT_FALSE(doc_.link(1).Port().IsOpen());
  EXPECT_EQ(clock_.NowMs(), 1500u);
  ASSERT_EQ(requests_.size(), 1u);
  EXPECT_EQ(requests_[0].file, ".\\UnInstallAll.exe");
  EXPECT_EQ(requests_[0].show, ShowCommand::Maximized);
  shell_result_ = true;
  EXPECT_EQ(OnUninstallAllMessage(doc_, 1), 1);
}

TEST_F(DriverSetupTest, UninstallAllWithoutAWatchedLineDoesNothing) {
  // No line has started a port watch yet (current line -1), or a stray value.
  EXPECT_EQ(OnUninstallAllMessage(doc_, -1), 0);
  EXPECT_EQ(OnUninstallAllMessage(doc_, kLineCount), 0);
  EXPECT_TRUE(requests_.empty());
  EXPECT_EQ(clock_.NowMs(), 0u);
}

}  // namespace
}  // namespace quorrel

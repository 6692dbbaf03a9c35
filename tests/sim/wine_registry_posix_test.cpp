#include "sim/wine_registry.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>

#include "platform/scoped_root.h"
#include "support/test_env.h"

namespace quorrel::simtest {
namespace {

using sim::Enumeration;

Enumeration Both() {
  Enumeration e;
  e.diagPort = 5;
  e.dataPort = 6;
  e.vendor = "Vantrel";
  e.diagDevicePath = "USB\\VID_1E0E&PID_9000&MI_01\\7&1&0&0001";
  e.modemDevicePath = "USB\\VID_1E0E&PID_9000&MI_00\\7&1&0&0000";
  return e;
}

TEST(WineRegistryText, WritesPortNamesBeforeTheServicesWithEscapedPaths) {
  const std::string text = sim::WineRegisterText(Both());
  EXPECT_EQ(text.rfind("REGEDIT4\r\n\r\n", 0), 0u);
  const size_t port = text.find(
      "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\USB\\VID_1E0E&PID_9000&MI_01\\7&1&0&"
      "0001"
      "\\Device Parameters]\r\n\"PortName\"=\"COM5\"\r\n");
  const size_t service = text.find(
      "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Vantrelusbser6k\\Enum]\r\n"
      "\"Count\"=dword:00000001\r\n"
      "\"0\"=\"USB\\\\VID_1E0E&PID_9000&MI_01\\\\7&1&0&0001\"\r\n");
  ASSERT_NE(port, std::string::npos) << text;
  ASSERT_NE(service, std::string::npos) << text;
  EXPECT_LT(port, service);
  EXPECT_NE(text.find("\"PortName\"=\"COM6\""), std::string::npos);
  EXPECT_NE(text.find("Services\\Vantrelusbmdm6k\\Enum]"), std::string::npos);
}

TEST(WineRegistryText, LeavesOutASwitchedOffDiagnosticPortAndRemovesKeysWhole) {
  Enumeration e = Both();
  e.diagPort = 0;
  const std::string text = sim::WineRegisterText(e);
  EXPECT_EQ(text.find("usbser6k"), std::string::npos);
  EXPECT_EQ(text.find("COM5"), std::string::npos);

  const std::string gone = sim::WineUnregisterText(Both());
  EXPECT_NE(
      gone.find(
          "[-HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Vantrelusbser6k\\Enum]"),
      std::string::npos);
  EXPECT_NE(
      gone.find(
          "[-HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Vantrelusbmdm6k\\Enum]"),
      std::string::npos);
  // The instance key goes, with its Device Parameters below it.
  const std::string forgotten = sim::WineForgetText(Both());
  EXPECT_NE(
      forgotten.find(
          "[-HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\USB\\VID_1E0E&PID_9000&MI_00"
          "\\7&1&0&0000]"),
      std::string::npos);
  EXPECT_EQ(forgotten.find("Device Parameters"), std::string::npos);
}

// A stand-in for wine: a shell script in the scratch root.
class WineImportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* old = std::getenv("QUORREL_WINE");
    if (old != nullptr) old_ = old;
  }
  void TearDown() override {
    if (old_) {
      testing::SetEnv("QUORREL_WINE", old_->c_str());
    } else {
      testing::UnsetEnv("QUORREL_WINE");
    }
  }
  void UseWine(const std::string& body) {
    const std::string script = (root_.path() / "wine").string();
    std::ofstream(script) << "#!/bin/sh\n" << body << "\n";
    ::chmod(script.c_str(), 0755);
    testing::SetEnv("QUORREL_WINE", script.c_str());
  }
  std::string Read(const std::string& name) {
    std::ifstream in(root_.path() / name, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }

  testing::ScopedRoot root_;
  std::optional<std::string> old_;
};

TEST_F(WineImportTest, RunsRegeditInThePrefixOnTheTextAndRemovesTheFile) {
  UseWine(
      "echo \"$WINEPREFIX $1 $2\" > \"$WINEPREFIX/args\"; cp \"$3\" \"$WINEPREFIX/imported\"; echo "
      "$3 > \"$WINEPREFIX/file\"");
  const std::string prefix = root_.path().string();
  ASSERT_TRUE(sim::WineImport(prefix, "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\X]\r\n"));
  EXPECT_EQ(Read("args"), prefix + " regedit /S\n");
  EXPECT_EQ(Read("imported"), "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\X]\r\n");
  std::string file = Read("file");
  file.pop_back();
  EXPECT_FALSE(std::filesystem::exists(file));
}

TEST_F(WineImportTest, AFailingOrHangingImportIsAFailure) {
  UseWine("exit 3");
  EXPECT_FALSE(sim::WineImport(root_.path().string(), "REGEDIT4\r\n"));
  UseWine("exec sleep 30");
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(sim::WineImport(root_.path().string(), "REGEDIT4\r\n", 200));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  testing::SetEnv("QUORREL_WINE", (root_.path() / "no-such-wine").string().c_str());
  EXPECT_FALSE(sim::WineImport(root_.path().string(), "REGEDIT4\r\n"));
}

}  // namespace
}  // namespace quorrel::simtest

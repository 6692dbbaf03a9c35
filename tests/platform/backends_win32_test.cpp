// The Win32 backends against the system itself (under Wine in the build).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/dosdevices.h"
#include "platform/files.h"
#include "platform/named_mutex.h"
#include "platform/os_version.h"
#include "platform/process_list.h"
#include "platform/registry.h"
#include "platform/serial_port.h"
#include "platform/win32_api.h"
#include "support/test_env.h"

namespace quorrel {
namespace {

constexpr RegistryRoot kHklm = RegistryRoot::LocalMachine;

// A key of this test run's own under HKLM\SOFTWARE, removed afterwards.
class RegistryWin32Test : public ::testing::Test {
 protected:
  void SetUp() override {
    key_ = "SOFTWARE\\quorrel-test-" + std::to_string(::GetCurrentProcessId());
    RegistryDeleteKey(kHklm, key_);
  }
  void TearDown() override { RegistryDeleteKey(kHklm, key_); }

  // Stores raw bytes as a value of the given type, past the program's writers.
  void SetRaw(const char* name, DWORD type, const void* data, DWORD size) {
    HKEY key = nullptr;
    ASSERT_EQ(::RegCreateKeyExA(HKEY_LOCAL_MACHINE, key_.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr,
                                &key, nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(::RegSetValueExA(key, name, 0, type, static_cast<const BYTE*>(data), size),
              ERROR_SUCCESS);
    ::RegCloseKey(key);
  }

  std::string key_;
};

TEST_F(RegistryWin32Test, ValuesWrittenAreReadBackWithTheSizesOfTheInterface) {
  ASSERT_EQ(RegistrySetValues(kHklm, key_ + "\\Enum",
                              {RegistryValue::Dword("Count", 0x01020304),
                               RegistryValue::String("0", "USB\\VID_1E0E&PID_9000&MI_01\\7&1")}),
            kRegistryOk);
  RegistryKey key;
  ASSERT_EQ(key.Open(kHklm, key_ + "\\\\Enum\\", kKeyRead),
            kRegistryOk);  // doubled and outer separators
  EXPECT_TRUE(key.IsOpen());
  uint32_t count = 0;
  EXPECT_EQ(key.QueryDword("COUNT", &count), kRegistryOk);  // names without regard to case
  EXPECT_EQ(count, 0x01020304u);

  char buffer[64];
  uint32_t size = sizeof buffer;
  ASSERT_EQ(key.QueryString("0", buffer, &size), kRegistryOk);
  EXPECT_STREQ(buffer, "USB\\VID_1E0E&PID_9000&MI_01\\7&1");
  EXPECT_EQ(size, std::strlen(buffer) + 1);

  // Too small: the size needed, the buffer untouched.
  char small[8];
  std::memset(small, 'x', sizeof small);
  size = sizeof small;
  EXPECT_EQ(key.QueryString("0", small, &size), kRegistryMoreData);
  EXPECT_EQ(size, std::strlen("USB\\VID_1E0E&PID_9000&MI_01\\7&1") + 1);
  EXPECT_TRUE(std::all_of(small, small + sizeof small, [](char c) { return c == 'x'; }));

  EXPECT_EQ(key.QueryString("Count", buffer, &size), kRegistryInvalidData);
  EXPECT_EQ(key.QueryDword("0", &count), kRegistryInvalidData);
  EXPECT_EQ(key.QueryDword("missing", &count), kRegistryNotFound);
  key.Close();
  EXPECT_FALSE(key.IsOpen());
  EXPECT_EQ(key.QueryDword("Count", &count), kRegistryInvalidParameter);
}

TEST_F(RegistryWin32Test, StoredValuesOfOddShapesAreBoundedNotTrusted) {
  // A string written without its terminator, one longer than any value the
  // program reads, and a DWORD of the wrong length.
  const char unterminated[] = {'C', 'O', 'M', '7'};
  SetRaw("PortName", REG_SZ, unterminated, sizeof unterminated);
  const std::string huge(70000, 'a');
  SetRaw("Huge", REG_SZ, huge.c_str(), static_cast<DWORD>(huge.size() + 1));
  const uint8_t eight[8] = {1, 0, 0, 0, 0, 0, 0, 0};
  SetRaw("Wide", REG_DWORD, eight, 2);

  RegistryKey key;
  ASSERT_EQ(key.Open(kHklm, key_, kKeyRead), kRegistryOk);
  char buffer[16];
  std::memset(buffer, 'x', sizeof buffer);
  uint32_t size = sizeof buffer;
  ASSERT_EQ(key.QueryString("PortName", buffer, &size), kRegistryOk);
  EXPECT_STREQ(buffer, "COM7");
  EXPECT_EQ(size, 5u);
  // Exactly the text and its terminator: a buffer of 4 is too small.
  size = 4;
  EXPECT_EQ(key.QueryString("PortName", buffer, &size), kRegistryMoreData);
  EXPECT_EQ(size, 5u);

  size = sizeof buffer;
  EXPECT_EQ(key.QueryString("Huge", buffer, &size), kRegistryInvalidData);
  uint32_t value = 0;
  EXPECT_EQ(key.QueryDword("Wide", &value), kRegistryInvalidData);
}

TEST_F(RegistryWin32Test, DeletionTakesTheWholeTreeAndNeverAHive) {
  ASSERT_EQ(RegistrySetString(kHklm, key_ + "\\A\\B\\C", "v", "1"), kRegistryOk);
  ASSERT_EQ(RegistryCreateKey(kHklm, key_ + "\\A\\D"), kRegistryOk);
  EXPECT_EQ(RegistryDeleteValue(kHklm, key_ + "\\A\\B\\C", "v"), kRegistryOk);
  EXPECT_EQ(RegistryDeleteValue(kHklm, key_ + "\\A\\B\\C", "v"), kRegistryNotFound);
  EXPECT_EQ(RegistryDeleteKey(kHklm, key_ + "\\A"), kRegistryOk);
  RegistryKey key;
  EXPECT_EQ(key.Open(kHklm, key_ + "\\A", kKeyRead), kRegistryNotFound);
  EXPECT_EQ(RegistryDeleteKey(kHklm, key_ + "\\A"), kRegistryNotFound);
  EXPECT_EQ(RegistryDeleteKey(kHklm, "\\\\"), kRegistryAccessDenied);
  EXPECT_EQ(RegistryDeleteKey(kHklm, ""), kRegistryAccessDenied);
}

// A scratch folder as a Windows path.
class FilesWin32Test : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = testing::MakeScratchFolder("quorrel-files-");
    ASSERT_FALSE(folder_.empty());
  }
  void TearDown() override {
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(folder_, ec)) {
      ::SetFileAttributesA(entry.path().string().c_str(), FILE_ATTRIBUTE_NORMAL);
    }
    std::filesystem::remove_all(folder_, ec);
  }
  std::string Path(const char* name) const { return (folder_ / name).string(); }

  std::filesystem::path folder_;
};

TEST_F(FilesWin32Test, AReaderKeepsWritersOutAndAWriterKeepsEveryoneOut) {
  const std::string path = Path("Channel1.nvm");
  {
    std::optional<File> writer = File::OpenWrite(path);
    ASSERT_TRUE(writer);
    EXPECT_TRUE(writer->Write("previous"));
    EXPECT_FALSE(File::OpenRead(path));
    EXPECT_FALSE(File::OpenWrite(path));
  }
  {
    std::optional<File> reader = File::OpenRead(path);
    ASSERT_TRUE(reader);
    EXPECT_TRUE(File::OpenRead(path));    // readers share
    EXPECT_FALSE(File::OpenWrite(path));  // and the refused writer truncated nothing
  }
  EXPECT_EQ(ReadWholeFile(path, 100), "previous");
  EXPECT_FALSE(ReadWholeFile(path, 7));  // larger than allowed: nothing read

  // A read-only file is never opened for writing, a folder never as a file.
  ASSERT_TRUE(::SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_READONLY));
  EXPECT_FALSE(File::OpenWrite(path));
  EXPECT_EQ(ReadWholeFile(path, 100), "previous");
  EXPECT_FALSE(File::OpenWrite(folder_.string()));
  EXPECT_FALSE(File::OpenRead(folder_.string()));
}

TEST_F(FilesWin32Test, TemporariesAreUniqueAndReplaceTheirTargetWhole) {
  const std::string target = Path("table.nvm");
  ASSERT_TRUE(File::OpenWrite(target)->Write("old"));
  std::string first;
  std::string second;
  std::optional<File> a = File::CreateTemporary(target, &first);
  std::optional<File> b = File::CreateTemporary(target, &second);
  ASSERT_TRUE(a && b);
  EXPECT_NE(first, second);
  EXPECT_TRUE(a->Write("new"));
  a->Close();
  b->Close();
  EXPECT_TRUE(ReplaceFile(first, target));
  EXPECT_EQ(ReadWholeFile(target, 100), "new");
  EXPECT_FALSE(PathExists(first));
  EXPECT_TRUE(DeleteFileAt(second));
  EXPECT_FALSE(DeleteFileAt(second));

  char buffer[kMaxPath];
  std::snprintf(buffer, sizeof buffer, "%s", folder_.string().c_str());
  EXPECT_TRUE(FileExistsInDir(buffer, sizeof buffer, "table.nvm"));
  EXPECT_EQ(std::string(buffer), target);
  EXPECT_TRUE(PathExists("C:\\"));
  EXPECT_TRUE(EnsureDirectory(Path("sub")));
  EXPECT_TRUE(PathExists(Path("sub") + "\\"));
  const std::string exeDir = ExecutableDirectory();
  EXPECT_TRUE(PathExists(exeDir)) << exeDir;
}

TEST(NamedMutexWin32Test, ASecondHandleSeesTheFirstUntilItCloses) {
  const std::string name = "quorrel-test-mutex-" + std::to_string(::GetCurrentProcessId());
  bool exists = true;
  auto first = NamedMutex::Create(name, &exists);
  ASSERT_TRUE(first);
  EXPECT_FALSE(exists);
  EXPECT_TRUE(first->Holds());
  auto second = NamedMutex::Create(name, &exists);
  ASSERT_TRUE(second);
  EXPECT_TRUE(exists);
  EXPECT_FALSE(second->Holds());
  second.reset();
  first.reset();
  auto again = NamedMutex::Create(name, &exists);
  ASSERT_TRUE(again);
  EXPECT_FALSE(exists);
}

TEST(SerialPortWin32Test, MissingPortsAndBadSettingsFailTheOpen) {
  EXPECT_EQ(ComPortPath(12).string(), "\\\\.\\COM12");
  EXPECT_FALSE(ComPortExists(0));
  EXPECT_FALSE(ComPortExists(256));
  EXPECT_FALSE(LinkComPort(5, "/dev/null"));
  SerialPort port;
  EXPECT_EQ(port.Open(0, 115200, 8, 1), 0);
  EXPECT_EQ(port.Open(256, 115200, 8, 1), 0);
  EXPECT_EQ(port.Open(250, 115200, 8, 1), 0);  // no such port
  EXPECT_EQ(port.Open(5, 115200, 9, 1), 0);
  EXPECT_EQ(port.Open(5, 115200, 8, 3), 0);
  EXPECT_EQ(port.IsOpen(), 0);
  EXPECT_EQ(port.BytesQueued(), 0);
}

TEST(SystemWin32Test, VersionAndProcessesComeFromTheSystem) {
  const OsVersion v = SystemOsVersion();
  EXPECT_EQ(v.platform, kPlatformWin32Nt);
  EXPECT_GE(v.major, 5u);
  auto list = SystemProcessList();
  ASSERT_TRUE(list);
  const bool found = std::any_of(list->begin(), list->end(), [](const ProcessEntry& p) {
    return p.pid == static_cast<int>(::GetCurrentProcessId()) && p.exeName == "test_platform.exe";
  });
  EXPECT_TRUE(found);
}

}  // namespace
}  // namespace quorrel

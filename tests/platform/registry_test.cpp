#include "platform/registry.h"

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include "platform/scoped_root.h"

namespace quorrel {
namespace {

constexpr RegistryRoot kHklm = RegistryRoot::LocalMachine;
constexpr const char* kEnum = "SYSTEM\\CurrentControlSet\\Services\\Vantrelusbser6k\\Enum";

std::string ReadFile(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

class RegistryTest : public ::testing::Test {
 protected:
  testing::ScopedRoot root_;
};

TEST_F(RegistryTest, WritesTheDocumentedFileLayout) {
  ASSERT_EQ(RegistrySetValues(
                kHklm, kEnum,
                {RegistryValue::Dword("Count", 1),
                 RegistryValue::String("0", "USB\\VID_1234&PID_5678&MI_01\\7&2f1c0a0b&0&0001")}),
            kRegistryOk);
  auto folder = root_.path() /
                "registry/HKEY_LOCAL_MACHINE/SYSTEM/CurrentControlSet/Services/"
                "Vantrelusbser6k/Enum";
  EXPECT_EQ(ReadFile(folder / "values.reg"),
            "\"Count\"=dword:00000001\n"
            "\"0\"=\"USB\\\\VID_1234&PID_5678&MI_01\\\\7&2f1c0a0b&0&0001\"\n");
  EXPECT_FALSE(std::filesystem::exists(folder / "values.reg.tmp"));
}

TEST_F(RegistryTest, ReadsWhatWasWritten) {
  ASSERT_EQ(RegistrySetDword(kHklm, kEnum, "Count", 3), kRegistryOk);
  ASSERT_EQ(RegistrySetString(kHklm, kEnum, "2", "say \"hi\" \\ there"), kRegistryOk);
  RegistryKey key;
  ASSERT_EQ(key.Open(kHklm, kEnum, kKeyAllAccess), kRegistryOk);
  uint32_t count = 0;
  EXPECT_EQ(key.QueryDword("count", &count), kRegistryOk);  // names ignore case
  EXPECT_EQ(count, 3u);
  char buffer[1024];
  uint32_t size = sizeof buffer;
  ASSERT_EQ(key.QueryString("2", buffer, &size), kRegistryOk);
  EXPECT_STREQ(buffer, "say \"hi\" \\ there");
  EXPECT_EQ(size, 17u);
}

TEST_F(RegistryTest, ReplacesValuesAndKeepsOthers) {
  RegistrySetDword(kHklm, kEnum, "Count", 1);
  RegistrySetString(kHklm, kEnum, "0", "first");
  RegistrySetDword(kHklm, kEnum, "COUNT", 2);
  RegistryKey key;
  ASSERT_EQ(key.Open(kHklm, kEnum), kRegistryOk);
  uint32_t count = 0;
  ASSERT_EQ(key.QueryDword("Count", &count), kRegistryOk);
  EXPECT_EQ(count, 2u);
  char buffer[16];
  uint32_t size = sizeof buffer;
  EXPECT_EQ(key.QueryString("0", buffer, &size), kRegistryOk);
}

TEST_F(RegistryTest, QueryFailures) {
  RegistrySetDword(kHklm, kEnum, "Count", 1);
  RegistrySetString(kHklm, kEnum, "0", "0123456789");
  RegistryKey key;
  EXPECT_EQ(key.Open(kHklm, "SYSTEM\\Nothing"), kRegistryNotFound);
  EXPECT_FALSE(key.IsOpen());
  uint32_t value = 7;
  EXPECT_NE(key.QueryDword("Count", &value), kRegistryOk);  // nothing open
  ASSERT_EQ(key.Open(kHklm, kEnum), kRegistryOk);
  EXPECT_EQ(key.QueryDword("Missing", &value), kRegistryNotFound);
  EXPECT_EQ(key.QueryDword("0", &value), kRegistryInvalidData);
  EXPECT_EQ(value, 7u);
  char buffer[8] = "keep";
  uint32_t size = sizeof buffer;
  EXPECT_EQ(key.QueryString("0", buffer, &size), kRegistryMoreData);
  EXPECT_EQ(size, 11u);
  EXPECT_STREQ(buffer, "keep");
  size = sizeof buffer;
  EXPECT_EQ(key.QueryString("Count", buffer, &size), kRegistryInvalidData);
  EXPECT_EQ(key.QueryString("-1", buffer, &size), kRegistryNotFound);
}

TEST_F(RegistryTest, HandParsedFileWithCommentsAndHeaders) {
  ASSERT_EQ(RegistryCreateKey(kHklm, "SOFTWARE\\VantrelUSBDriverFlag"), kRegistryOk);
  auto folder = root_.path() / "registry/HKEY_LOCAL_MACHINE/SOFTWARE/VantrelUSBDriverFlag";
  std::ofstream(folder / "values.reg") << "Windows Registry Editor Version 5.00\r\n"
                                          "; comment\r\n\r\n"
                                          "\"IsDriverInstalled\"=dword:0000000A\r\n"
                                          "\"Bad\"=dword:123\r\n";
  RegistryKey key;
  ASSERT_EQ(key.Open(kHklm, "software\\vantrelusbdriverflag"), kRegistryOk);
  uint32_t value = 0;
  EXPECT_EQ(key.QueryDword("IsDriverInstalled", &value), kRegistryOk);
  EXPECT_EQ(value, 10u);
  EXPECT_EQ(key.QueryDword("Bad", &value), kRegistryInvalidData);
}

TEST_F(RegistryTest, DeleteKeyRemovesEverythingBelow) {
  RegistrySetDword(kHklm, "A\\B\\C", "x", 1);
  ASSERT_EQ(RegistryDeleteKey(kHklm, "A\\B"), kRegistryOk);
  RegistryKey key;
  EXPECT_EQ(key.Open(kHklm, "A\\B\\C"), kRegistryNotFound);
  EXPECT_EQ(key.Open(kHklm, "A"), kRegistryOk);
  EXPECT_EQ(RegistryDeleteKey(kHklm, "A\\B"), kRegistryNotFound);
}

TEST_F(RegistryTest, OpenKeyFailsReadsAfterItsKeyIsDeleted) {
  RegistrySetDword(kHklm, kEnum, "Count", 1);
  RegistryKey key;
  ASSERT_EQ(key.Open(kHklm, kEnum), kRegistryOk);
  RegistryDeleteKey(kHklm, kEnum);
  uint32_t value = 0;
  EXPECT_NE(key.QueryDword("Count", &value), kRegistryOk);
}

// Another thread (another line's discovery) rewrites a list while this one
// reads it: every read, from one open key, is one version of the list.
TEST_F(RegistryTest, AnOpenKeyReadsOneVersionOfValuesAWriterReplaces) {
  const std::vector<std::vector<std::string>> lists = {{"a", "b"}, {"c", "a", "b"}};
  auto write = [&](const std::vector<std::string>& list) {
    std::vector<RegistryValue> values = {
        RegistryValue::Dword("Count", static_cast<uint32_t>(list.size()))};
    for (size_t i = 0; i < list.size(); ++i)
      values.push_back(RegistryValue::String(std::to_string(i), list[i]));
    ASSERT_EQ(RegistrySetValues(kHklm, kEnum, values), kRegistryOk);
  };
  write(lists[1]);
  write(lists[0]);
  std::atomic<bool> done{false};
  std::thread writer([&] {
    for (size_t i = 0; !done; ++i) write(lists[i % 2]);
  });
  for (int read = 0; read < 2000; ++read) {
    RegistryKey key;
    ASSERT_EQ(key.Open(kHklm, kEnum, kKeyRead), kRegistryOk);
    uint32_t count = 0;
    ASSERT_EQ(key.QueryDword("Count", &count), kRegistryOk);
    std::vector<std::string> seen;
    for (uint32_t i = 0; i < count; ++i) {
      char buffer[16];
      uint32_t size = sizeof buffer;
      ASSERT_EQ(key.QueryString(std::to_string(i), buffer, &size), kRegistryOk);
      seen.emplace_back(buffer);
    }
    ASSERT_TRUE(seen == lists[0] || seen == lists[1]) << ::testing::PrintToString(seen);
  }
  done = true;
  writer.join();
}

TEST_F(RegistryTest, DeleteValue) {
  RegistrySetValues(kHklm, kEnum,
                    {RegistryValue::Dword("Count", 1), RegistryValue::String("0", "p")});
  EXPECT_EQ(RegistryDeleteValue(kHklm, kEnum, "0"), kRegistryOk);
  EXPECT_EQ(RegistryDeleteValue(kHklm, kEnum, "0"), kRegistryNotFound);
  RegistryKey key;
  ASSERT_EQ(key.Open(kHklm, kEnum), kRegistryOk);
  uint32_t value = 0;
  EXPECT_EQ(key.QueryDword("Count", &value), kRegistryOk);
}

TEST_F(RegistryTest, RefusesNamesThatLeaveTheirFolder) {
  RegistryKey key;
  for (const char* bad : {"SYSTEM\\..\\..", "..", "A\\.\\B", "a/b"}) {
    EXPECT_EQ(key.Open(kHklm, bad), kRegistryInvalidParameter) << bad;
    EXPECT_EQ(RegistryCreateKey(kHklm, bad), kRegistryInvalidParameter) << bad;
  }
  EXPECT_EQ(RegistrySetString(kHklm, "K", "name", "two\nlines"), kRegistryInvalidParameter);
  EXPECT_EQ(RegistryDeleteKey(kHklm, ""), kRegistryAccessDenied);
}

}  // namespace
}  // namespace quorrel

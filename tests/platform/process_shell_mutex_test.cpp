#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <thread>

#include "platform/named_mutex.h"
#include "platform/paths.h"
#include "platform/process_list.h"
#include "platform/resources.h"
#include "platform/scoped_root.h"
#include "platform/shell.h"
#include "util/text.h"

namespace quorrel {
namespace {

namespace fs = std::filesystem;

bool HasProcess(const std::string& name) {
  auto list = SystemProcessList();
  if (!list) return false;
  return std::any_of(list->begin(), list->end(),
                     [&](const ProcessEntry& p) { return EqualsIgnoreCaseAscii(p.exeName, name); });
}

// Waits (bounded) for a file another process writes.
bool WaitForFile(const fs::path& p) {
  for (int i = 0; i < 500; ++i) {
    if (fs::exists(p) && fs::file_size(p) > 0) return true;
    ::poll(nullptr, 0, 10);
  }
  return false;
}

TEST(ProcessListTest, FindsThisTestByItsBaseName) {
  auto list = SystemProcessList();
  ASSERT_TRUE(list);
  auto self = std::find_if(list->begin(), list->end(),
                           [](const ProcessEntry& p) { return p.pid == ::getpid(); });
  ASSERT_NE(self, list->end());
  EXPECT_EQ(self->exeName, "test_platform");
  EXPECT_TRUE(HasProcess("TEST_PLATFORM"));
}

TEST(ProcessListTest, InjectedSource) {
  ProcessListSource old = SetProcessListSource([] {
    return std::optional<std::vector<ProcessEntry>>(
        std::vector<ProcessEntry>{{7, "USBDriverInstaller_x86.exe"}});
  });
  auto list = ProcessList();
  SetProcessListSource(old);
  ASSERT_TRUE(list);
  ASSERT_EQ(list->size(), 1u);
  EXPECT_EQ((*list)[0].exeName, "USBDriverInstaller_x86.exe");
}

TEST(ShellTest, StartsAnExecutableWithItsParameters) {
  testing::ScopedRoot root;
  fs::path script = MapPath("C:\\tools\\run.sh");
  fs::create_directories(script.parent_path());
  fs::path out = root.path() / "out.txt";
  std::ofstream(script) << "#!/bin/sh\necho \"$@\" > '" << out.string() << ".tmp' && mv '"
                        << out.string() << ".tmp' '" << out.string() << "'\n";
  ::chmod(script.c_str(), 0755);
  EXPECT_TRUE(SystemShellOpen({"open", "C:\\tools\\run.sh", "Uninstall now", ShowCommand::Normal}));
  ASSERT_TRUE(WaitForFile(out));
  std::ifstream in(out);
  std::string line;
  std::getline(in, line);
  EXPECT_EQ(line, "Uninstall now");
}

TEST(ShellTest, FailsWhatCannotBeStarted) {
  testing::ScopedRoot root;
  fs::path exe = MapPath("C:\\Program Files\\VantrelDriver\\USBDriverInstaller_x86.exe");
  fs::create_directories(exe.parent_path());
  std::ofstream(exe) << "MZ";
  EXPECT_FALSE(
      SystemShellOpen({"open", "C:\\Program Files\\VantrelDriver\\USBDriverInstaller_x86.exe",
                       "Uninstall", ShowCommand::Normal}));
  EXPECT_FALSE(SystemShellOpen({"open", "C:\\missing.exe", "", ShowCommand::Normal}));
  EXPECT_FALSE(SystemShellOpen({"open", ".\\UnInstallAll.exe", "", ShowCommand::Maximized}));
}

TEST(ShellTest, HandlerSeesTheRequest) {
  std::vector<ShellRequest> seen;
  ShellHandler old = SetShellHandler([&](const ShellRequest& r) {
    seen.push_back(r);
    return true;
  });
  EXPECT_TRUE(ShellOpen({"open", "C:\\x.exe", "Uninstall", ShowCommand::Maximized}));
  SetShellHandler(old);
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].file, "C:\\x.exe");
  EXPECT_EQ(seen[0].show, ShowCommand::Maximized);
}

TEST(NamedMutexTest, SecondHolderSeesItExists) {
  testing::ScopedRoot root;
  const char* name = "VantrelBrenlow,0x12,0xab/0x4f";
  bool exists = true;
  auto first = NamedMutex::Create(name, &exists);
  ASSERT_TRUE(first);
  EXPECT_FALSE(exists);
  EXPECT_TRUE(fs::exists(root.path() / "mutex/VantrelBrenlow,0x12,0xab_0x4f"));
  auto second = NamedMutex::Create(name, &exists);
  ASSERT_TRUE(second);
  EXPECT_TRUE(exists);
  EXPECT_FALSE(second->Holds());
  second.reset();
  first.reset();  // closing the handle frees the name
  auto third = NamedMutex::Create(name, &exists);
  EXPECT_FALSE(exists);
}

TEST(ResourceTableTest, FindsByIdAndTypeIgnoringCase) {
  static const uint8_t a[] = {1, 2, 3};
  static const uint8_t b[] = {9};
  static const Resource entries[] = {{164, "SOURCEMBN", a, sizeof a}, {151, "BITMAP", b, sizeof b}};
  ResourceTable table(entries);
  auto found = table.Find(164, "sourcembn");
  ASSERT_TRUE(found);
  EXPECT_EQ(found->size(), 3u);
  EXPECT_EQ((*found)[2], 3);
  EXPECT_FALSE(table.Find(164, "BITMAP"));
  EXPECT_FALSE(table.Find(165, "SOURCEMBN"));
}

}  // namespace
}  // namespace quorrel

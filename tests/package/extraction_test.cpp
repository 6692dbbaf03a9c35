#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>

#include "package/embedded_release.h"
#include "package/image_set.h"
#include "package_fixture.h"
#include "platform/os_version.h"
#include "platform/shell.h"
#include "release/embedded_resources.h"

namespace quorrel {
namespace {

namespace fs = std::filesystem;

class ExtractionTest : public testing::PackageTest {
 protected:
  fs::path Folder() const {
    return root_.path() / "drive_c/Program Files/Windows Service/Dunmarnewversion";
  }
  std::string Embedded(int id) const {
    auto data = EmbeddedResources().Find(id, "SOURCEMBN");
    return std::string(reinterpret_cast<const char*>(data->data()), data->size());
  }
};

TEST_F(ExtractionTest, WritesTheTwelveFilesAndPointsLineOneAtThem) {
  ASSERT_TRUE(ExtractEmbeddedImages(doc_, display_, EmbeddedResources()));
  EXPECT_TRUE(display_.Messages().empty());
  int count = 0;
  for (const fs::directory_entry& e : fs::directory_iterator(Folder())) {
    (void)e;
    ++count;
  }
  EXPECT_EQ(count, 12);
  for (const EmbeddedFile& entry : kEmbeddedFiles) {
    EXPECT_EQ(testing::ReadFile(Folder() / entry.name), Embedded(entry.id)) << entry.name;
  }
  const std::string folder = "C:\\Program Files\\Windows Service\\Dunmarnewversion";
  ImageSet line1(doc_.line(0).settings);
  EXPECT_EQ(line1.Folder(), folder);
  for (ImageFile file : kAllImageFiles) {
    EXPECT_EQ(line1.Path(file), folder + "\\" + ImageFileName(file));
  }
  for (int i = 1; i < kLineCount; ++i) {
    EXPECT_TRUE(doc_.line(i).settings.firmwareFolder.empty());
    EXPECT_TRUE(doc_.line(i).settings.amssPath.empty());
  }
}

TEST_F(ExtractionTest, ReplacesOlderCopiesAndLeavesOtherFiles) {
  testing::WriteFile(Folder() / "amss.mbn", std::string(200000, 'o'));  // longer than the new one
  testing::WriteFile(Folder() / "efs.mbn", "old");
  testing::WriteFile(Folder() / "notes.txt", "mine");
  ASSERT_TRUE(ExtractEmbeddedImages(doc_, display_, EmbeddedResources()));
  EXPECT_EQ(testing::ReadFile(Folder() / "amss.mbn"), Embedded(164));
  EXPECT_EQ(testing::ReadFile(Folder() / "efs.mbn"), Embedded(166));
  EXPECT_EQ(testing::ReadFile(Folder() / "notes.txt"), "mine");
}

TEST_F(ExtractionTest, AnEntryThatCannotBeWrittenIsReportedAndTheOthersAreWritten) {
  struct Blocker {
    const char* name;
    void (*block)(const fs::path&);
  } blockers[] = {
      {"read-only file",
       [](const fs::path& p) {
         testing::WriteFile(p, "old");
         fs::permissions(p, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read,
                         fs::perm_options::replace);
       }},
      {"directory in the way", [](const fs::path& p) { fs::create_directories(p / "inside"); }},
  };
  for (const Blocker& b : blockers) {
    SCOPED_TRACE(b.name);
    fs::remove_all(Folder());
    display_.Clear();
    b.block(Folder() / "amss.mbn");
    EXPECT_TRUE(ExtractEmbeddedImages(doc_, display_, EmbeddedResources()));
    EXPECT_EQ(display_.Messages(), std::vector<std::string>{"read amss.mbn fail!"});
    for (const EmbeddedFile& entry : kEmbeddedFiles) {
      if (entry.id == 164) continue;
      EXPECT_EQ(testing::ReadFile(Folder() / entry.name), Embedded(entry.id)) << entry.name;
    }
    EXPECT_EQ(doc_.line(0).settings.amssPath.view(),
              "C:\\Program Files\\Windows Service\\Dunmarnewversion\\amss.mbn");
  }
}

TEST_F(ExtractionTest, MissingResourceIsReported) {
  static const uint8_t one[] = {1};
  static const Resource entries[] = {{169, "SOURCEMBN", one, 1}};
  ResourceTable partial(entries);
  ASSERT_TRUE(ExtractEmbeddedImages(doc_, display_, partial));
  EXPECT_EQ(display_.Messages().size(), 11u);
  EXPECT_EQ(display_.Messages()[0], "read amss.mbn fail!");
  EXPECT_EQ(display_.Messages()[10], "read VantrelDrvSetup.exe fail!");
  EXPECT_EQ(testing::ReadFile(Folder() / "partition.mbn"), std::string("\x01"));
}

TEST_F(ExtractionTest, FolderThatCannotBeMadeStopsTheStart) {
  testing::WriteFile(root_.path() / "drive_c/Program Files/Windows Service", "a file");
  EXPECT_FALSE(ExtractEmbeddedImages(doc_, display_, EmbeddedResources()));
  EXPECT_EQ(display_.Messages(), std::vector<std::string>{"source file path error!"});
  EXPECT_TRUE(doc_.line(0).settings.firmwareFolder.empty());
}

class CleanUpTest : public ExtractionTest {
 protected:
  void SetUp() override {
    ASSERT_TRUE(ExtractEmbeddedImages(doc_, display_, EmbeddedResources()));
    testing::WriteFile(Folder() / "ResetUSB.dll", "dll");
    testing::WriteFile(Folder() / "other.bin", "keep");
    old_shell_ = SetShellHandler([this](const ShellRequest& r) {
      started_.push_back(r.file + "|" + r.parameters);
      return false;
    });
  }
  void TearDown() override { SetShellHandler(old_shell_); }

  std::vector<std::string> Remaining() const {
    std::vector<std::string> names;
    for (const fs::directory_entry& e : fs::directory_iterator(Folder()))
      names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }

  ShellHandler old_shell_;
  std::vector<std::string> started_;
};

TEST_F(CleanUpTest, AfterDownloadKeepsResetUsbAndWaits) {
  uint64_t before = clock_.RequestedSleepMs();
  CleanUpAfterDownload(doc_, {});
  EXPECT_EQ(clock_.RequestedSleepMs() - before, 500u);
  EXPECT_EQ(Remaining(), (std::vector<std::string>{"ResetUSB.dll", "other.bin"}));
  EXPECT_TRUE(started_.empty());  // no Windows 7 here
}

TEST_F(CleanUpTest, OnDestroyRemovesResetUsbToo) {
  CleanUpOnDestroy(doc_, {});
  EXPECT_EQ(Remaining(), std::vector<std::string>{"other.bin"});
  CleanUpOnDestroy(doc_, {});  // nothing left to delete: still fine
}

TEST_F(CleanUpTest, OnWindows7TheDriverIsUninstalled) {
  int uninstalls = 0;
  auto uninstall = [&uninstalls] { ++uninstalls; };
  doc_.SetOsName("Windows 7");
  CleanUpOnDestroy(doc_, uninstall);
  CleanUpAfterDownload(doc_, uninstall);
  EXPECT_EQ(uninstalls, 2);
  doc_.SetOsName("Windows Vista");
  CleanUpOnDestroy(doc_, uninstall);
  CleanUpAfterDownload(doc_, uninstall);
  EXPECT_EQ(uninstalls, 2);
  doc_.SetOsName("Windows 7");
  CleanUpOnDestroy(doc_, {});  // none given: nothing to start
}

}  // namespace
}  // namespace quorrel

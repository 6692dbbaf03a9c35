#include "platform/files.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <fstream>

#include "platform/paths.h"
#include "platform/scoped_root.h"

namespace quorrel {
namespace {

namespace fs = std::filesystem;

class FilesTest : public ::testing::Test {
 protected:
  void Touch(const char* windowsPath, const std::string& content = "x") {
    fs::path p = MapPath(windowsPath);
    fs::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << content;
  }
  testing::ScopedRoot root_;
};

TEST_F(FilesTest, PathExists) {
  Touch("C:\\dir\\file.bin");
  struct Case {
    const char* path;
    bool exists;
  } cases[] = {
      {"C:\\dir\\file.bin", true},
      {"C:\\dir", true},
      {"C:\\dir\\", true},  // trailing backslash dropped, then searched
      {"C:\\missing\\", false},
      {"C:\\dir\\other.bin", false},
      {"Q:\\", true},  // a drive root needs no search, even on no drive
      {"", false},
  };
  for (const Case& c : cases) EXPECT_EQ(PathExists(c.path), c.exists) << c.path;
}

TEST_F(FilesTest, EnsureDirectoryCreatesOneLevelOnly) {
  EXPECT_FALSE(EnsureDirectory("C:\\Program Files\\Windows Service"));  // parent missing
  EXPECT_TRUE(EnsureDirectory("C:\\Program Files"));  // the drive's folder comes with it
  EXPECT_TRUE(EnsureDirectory("C:\\Program Files"));  // already there
  EXPECT_TRUE(EnsureDirectory("C:\\Program Files\\Windows Service"));
  EXPECT_TRUE(fs::is_directory(root_.path() / "drive_c/Program Files/Windows Service"));
  Touch("C:\\blocked");
  EXPECT_TRUE(
      EnsureDirectory("C:\\blocked"));  // an existing file passes the test, as it always did
  EXPECT_FALSE(EnsureDirectory("C:\\blocked\\below"));
}

TEST_F(FilesTest, FileExistsInDirJoinsOnce) {
  Touch("D:\\amss.mbn");
  Touch("C:\\rel\\amss.mbn");
  char buffer[kMaxPath] = "D:\\";
  EXPECT_TRUE(FileExistsInDir(buffer, sizeof buffer, "amss.mbn"));
  EXPECT_STREQ(buffer, "D:\\amss.mbn");
  std::strcpy(buffer, "C:\\rel");
  EXPECT_TRUE(FileExistsInDir(buffer, sizeof buffer, "amss.mbn"));
  EXPECT_STREQ(buffer, "C:\\rel\\amss.mbn");
  std::strcpy(buffer, "C:\\rel");
  EXPECT_FALSE(FileExistsInDir(buffer, sizeof buffer, "efs.mbn"));
  EXPECT_STREQ(buffer, "C:\\rel\\efs.mbn");
}

TEST_F(FilesTest, FileExistsInDirRefusesAJoinThatDoesNotFit) {
  char buffer[12] = "C:\\rel";
  EXPECT_FALSE(FileExistsInDir(buffer, sizeof buffer, "amss.mbn"));  // needs 16 bytes
  EXPECT_STREQ(buffer, "C:\\rel");
  char exact[16] = "C:\\rel";
  Touch("C:\\rel\\amss.mbn");
  EXPECT_TRUE(FileExistsInDir(exact, sizeof exact, "amss.mbn"));
}

TEST_F(FilesTest, WriteThenReadBack) {
  fs::create_directories(root_.path() / "drive_c");
  {
    auto f = File::OpenWrite("C:\\data.bin");
    ASSERT_TRUE(f);
    EXPECT_TRUE(f->Write(std::string_view("hello world")));
  }
  {
    auto f = File::OpenWrite("C:\\data.bin");  // truncates
    ASSERT_TRUE(f);
    EXPECT_TRUE(f->Write(std::string_view("abc")));
  }
  EXPECT_EQ(ReadWholeFile("C:\\data.bin", 64), "abc");
  auto f = File::OpenRead("C:\\data.bin");
  ASSERT_TRUE(f);
  EXPECT_EQ(f->Size(), 3);
  EXPECT_FALSE(File::OpenRead("C:\\none.bin"));
}

TEST_F(FilesTest, WritersAreRefused) {
  Touch("C:\\ro.bin", "old");
  ::chmod(MapPath("C:\\ro.bin").c_str(), 0444);
  EXPECT_FALSE(File::OpenWrite("C:\\ro.bin"));  // even for root
  EXPECT_EQ(ReadWholeFile("C:\\ro.bin", 64), "old");

  fs::create_directories(MapPath("C:\\adir"));
  EXPECT_FALSE(File::OpenWrite("C:\\adir"));

  Touch("C:\\held.bin", "kept");
  auto reader = File::OpenRead("C:\\held.bin");
  ASSERT_TRUE(reader);
  EXPECT_FALSE(File::OpenWrite("C:\\held.bin"));  // writing denied while read
  EXPECT_EQ(ReadWholeFile("C:\\held.bin", 64), "kept");
  reader->Close();
  auto writer = File::OpenWrite("C:\\held.bin");
  ASSERT_TRUE(writer);
  EXPECT_FALSE(File::OpenRead("C:\\held.bin"));
}

TEST_F(FilesTest, ExecutableDirectoryHoldsThisTest) {
  EXPECT_TRUE(fs::exists(fs::path(ExecutableDirectory()) / "test_platform"));
}

TEST_F(FilesTest, DeleteFile) {
  Touch("C:\\gone.bin");
  EXPECT_TRUE(DeleteFileAt("C:\\gone.bin"));
  EXPECT_FALSE(DeleteFileAt("C:\\gone.bin"));
}

TEST_F(FilesTest, WritersNeverFollowALinkPlantedInTheirPlace) {
  // Someone who may write the folder links the name the program is about to
  // write to a file of someone else's.
  Touch("C:\\victim.txt", "precious");
  fs::create_directories(MapPath("C:\\Logs"));
  fs::create_symlink(MapPath("C:\\victim.txt"), MapPath("C:\\Logs\\ActionLog1.txt"));
  EXPECT_FALSE(File::OpenWrite("C:\\Logs\\ActionLog1.txt"));
  EXPECT_EQ(ReadWholeFile("C:\\victim.txt", 64), "precious");

  // A temporary name is never one that exists already, link or file.
  std::string first;
  std::string second;
  auto a = File::CreateTemporary("C:\\Channel1.nvm", &first);
  auto b = File::CreateTemporary("C:\\Channel1.nvm", &second);
  ASSERT_TRUE(a && b);
  EXPECT_NE(first, second);
  EXPECT_EQ(first.rfind("C:\\Channel1.nvm.", 0), 0u) << first;
  EXPECT_TRUE(a->Write(std::string_view("new")));
  a->Close();
  EXPECT_TRUE(ReplaceFile(first, "C:\\Channel1.nvm"));
  EXPECT_EQ(ReadWholeFile("C:\\Channel1.nvm", 64), "new");
  EXPECT_FALSE(PathExists(first));
}

TEST_F(FilesTest, WholeFileReadsAreBoundedBeforeReading) {
  Touch("C:\\big.bin", std::string(1000, 'x'));
  EXPECT_FALSE(ReadWholeFile("C:\\big.bin", 999));
  EXPECT_EQ(ReadWholeFile("C:\\big.bin", 1000)->size(), 1000u);
  EXPECT_FALSE(ReadWholeFile("C:\\missing.bin", 1000));
}

}  // namespace
}  // namespace quorrel

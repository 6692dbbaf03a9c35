#include "platform/paths.h"

#include <gtest/gtest.h>

#include "platform/scoped_root.h"

namespace quorrel {
namespace {

TEST(MapPathTest, DrivesFolderAndSeparators) {
  testing::ScopedRoot root;
  const std::string r = root.path().string();
  struct Case {
    const char* windows;
    std::string posix;
  } cases[] = {
      {"C:\\Program Files\\Windows Service", r + "/drive_c/Program Files/Windows Service"},
      {"C:\\", r + "/drive_c/"},
      {"C:", r + "/drive_c/"},
      {"D:\\rel\\amss.mbn", r + "/drive_d/rel/amss.mbn"},
      {"x:/mixed\\sep", r + "/drive_x/mixed/sep"},
      {"/home/u/rel\\partition.mbn", "/home/u/rel/partition.mbn"},
      {".\\UnInstallAll.exe", "./UnInstallAll.exe"},
      {"\\partition.mbn", "/partition.mbn"},
      {"plain", "plain"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(MapPath(c.windows).string(), c.posix) << c.windows;
  }
}

TEST(MapPathTest, DotDotNeverClimbsAboveTheDriveFolder) {
  testing::ScopedRoot root;
  const std::string r = root.path().string();
  struct Case {
    const char* windows;
    std::string posix;
  } cases[] = {
      {"C:\\..\\..", r + "/drive_c/"},
      {"C:\\..\\..\\etc\\passwd", r + "/drive_c/etc/passwd"},
      {"C:..\\x", r + "/drive_c/x"},
      {"D:\\rel\\..\\..\\..\\amss.mbn", r + "/drive_d/amss.mbn"},
      {"D:\\rel\\sub\\..\\amss.mbn", r + "/drive_d/rel/amss.mbn"},
      {"D:\\rel\\.\\amss.mbn", r + "/drive_d/rel/amss.mbn"},
      {"C:\\dir\\", r + "/drive_c/dir/"},
      {"C:\\a\\\\b", r + "/drive_c/a/b"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(MapPath(c.windows).string(), c.posix) << c.windows;
  }
}

}  // namespace
}  // namespace quorrel

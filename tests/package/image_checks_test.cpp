#include "package/image_checks.h"

#include <gtest/gtest.h>

#include "lines/control_ids.h"
#include "package/image_set.h"
#include "package_fixture.h"
#include "platform/files.h"

namespace quorrel {
namespace {

namespace fs = std::filesystem;

constexpr const char* kChecked[] = {"partition.mbn", "qcsblhd_cfgdata.mbn", "qcsbl.mbn",
                                    "oemsblhd.mbn",  "oemsbl.mbn",          "amsshd.mbn",
                                    "amss.mbn"};

class ImageChecksTest : public testing::PackageTest {
 protected:
  // A release in D:\rel with every file 2 bytes long, except those named.
  void MakeRelease(const char* windowsFolder = "D:\\rel") {
    for (const char* name : kChecked)
      testing::WriteFile(MapPath(ImagePath(windowsFolder, ImageFileFor(name))), "ab");
    testing::WriteFile(MapPath(std::string(windowsFolder) + "\\efs.mbn"), "ab");
  }
  static ImageFile ImageFileFor(const char* name) {
    for (ImageFile f : kAllImageFiles) {
      if (std::string(ImageFileName(f)) == name) return f;
    }
    return ImageFile::Pbl;
  }
  void PointLine(int line, const char* folder) {
    ASSERT_TRUE(doc_.line(line).settings.firmwareFolder.Set(folder));
  }
  void Answer(std::optional<std::string> folder) {
    display_.SetFolderBrowser([folder](std::string_view) { return folder; });
  }
};

TEST_F(ImageChecksTest, NoReleaseLoaded) {
  EXPECT_EQ(CheckLineImages(doc_, display_, 0, 0), 0);
  EXPECT_EQ(display_.Messages(), std::vector<std::string>{"You didn't load the firmware"});
}

TEST_F(ImageChecksTest, NoPhoneFailsBeforeAnyFileIsLookedAt) {
  PointLine(2, "D:\\missing");
  doc_.line(2).phoneState = PhoneState::NoAnswer;
  EXPECT_EQ(CheckLineImages(doc_, display_, 2, 1), 0);
  EXPECT_EQ(display_.Messages(),
            std::vector<std::string>{"线路3对应的串口上并没有检测到有手机连接!"});
}

TEST_F(ImageChecksTest, ACompleteReleasePasses) {
  MakeRelease();
  PointLine(0, "D:\\rel");
  doc_.line(0).phoneState = PhoneState::Answered;
  EXPECT_EQ(CheckLineImages(doc_, display_, 0, 1), 1);
  EXPECT_EQ(CheckLineImages(doc_, display_, 0, 0), 1);
  fs::remove(MapPath("D:\\rel\\efs.mbn"));  // not needed here
  EXPECT_EQ(CheckLineImages(doc_, display_, 0, 0), 1);
  EXPECT_TRUE(display_.Messages().empty());
}

TEST_F(ImageChecksTest, FirstMissingOrShortFileNamesItself) {
  const char* missing[] = {
      "线路1上无法打开载入的文件!",    "Line1: can't open qcsblhd_cfgdata.mbn!",
      "Line1: can't open qcsbl.mbn!",  "Line1: can't open oemsblhd.mbn!",
      "Line1: can't open oemsbl.mbn!", "Line1: can't open amsshd.mbn!",
      "Line1: can't open amss.mbn!"};
  for (size_t i = 0; i < std::size(kChecked); ++i) {
    SCOPED_TRACE(kChecked[i]);
    MakeRelease();
    PointLine(0, "D:\\rel");
    fs::path file = MapPath(std::string("D:\\rel\\") + kChecked[i]);
    fs::remove(file);
    display_.Clear();
    EXPECT_EQ(CheckLineImages(doc_, display_, 0, 0), 0);
    EXPECT_EQ(display_.Messages(), std::vector<std::string>{missing[i]});

    for (const char* content : {"a", ""}) {
      testing::WriteFile(file, content);
      display_.Clear();
      EXPECT_EQ(CheckLineImages(doc_, display_, 0, 0), 0);
      EXPECT_EQ(display_.Messages(),
                std::vector<std::string>{std::string("Line1: Open wrong ") + kChecked[i] + "! "});
      // The refused file was closed again: a writer can have it.
      EXPECT_TRUE(File::OpenWrite(std::string("D:\\rel\\") + kChecked[i]));
    }
  }
}

TEST_F(ImageChecksTest, UsesTheFolderNotTheStoredPaths) {
  MakeRelease();
  PointLine(4, "D:\\rel");
  ASSERT_TRUE(doc_.line(4).settings.amssPath.Set("D:\\elsewhere\\amss.mbn"));
  EXPECT_EQ(CheckLineImages(doc_, display_, 4, 0), 1);
}

TEST_F(ImageChecksTest, ChooseVersionDirectoryPointsEveryLine) {
  MakeRelease();
  Answer("D:\\rel\\");  // a trailing backslash goes, once
  ChooseVersionDirectory(doc_, display_);
  EXPECT_TRUE(display_.Messages().empty());
  auto browse = display_.Events(DisplayEvent::Kind::BrowseForFolder);
  ASSERT_EQ(browse.size(), 1u);
  EXPECT_EQ(browse[0].text, "Please select Cadrow software version directory");
  for (int i = 0; i < kLineCount; ++i) {
    ImageSet set(doc_.line(i).settings);
    EXPECT_EQ(set.Folder(), "D:\\rel");
    EXPECT_EQ(doc_.line(i).settings.firmwareFolderCopy.view(), "D:\\rel");
    for (ImageFile f : {ImageFile::Partition, ImageFile::Amss, ImageFile::Efs, ImageFile::Nandprghd,
                        ImageFile::Nandprgcombined}) {
      EXPECT_EQ(set.Path(f), std::string("D:\\rel\\") + ImageFileName(f));
    }
    EXPECT_TRUE(set.Path(ImageFile::Armprg).empty());  // never touched here
  }
  auto texts = display_.Events(DisplayEvent::Kind::ControlText);
  ASSERT_EQ(texts.size(), 1u);
  EXPECT_EQ(texts[0].line, controls::kFirmwareFolderEdit);
  EXPECT_EQ(texts[0].text, "D:\\rel");
}

TEST_F(ImageChecksTest, DriveRootLosesItsBackslash) {
  MakeRelease("C:");
  Answer("C:\\");
  ChooseVersionDirectory(doc_, display_);
  EXPECT_TRUE(display_.Messages().empty());
  EXPECT_EQ(doc_.line(7).settings.firmwareFolder.view(), "C:");
  EXPECT_EQ(doc_.line(7).settings.partitionPath.view(), "C:\\partition.mbn");
}

TEST_F(ImageChecksTest, AMissingImageStopsTheCopyWhereItIs) {
  MakeRelease();
  fs::remove(MapPath("D:\\rel\\oemsbl.mbn"));
  ASSERT_TRUE(doc_.line(3).settings.oemsblPath.Set("old oemsbl"));
  ASSERT_TRUE(doc_.line(3).settings.amssPath.Set("old amss"));
  Answer("D:\\rel");
  ChooseVersionDirectory(doc_, display_);
  EXPECT_EQ(display_.Messages(),
            std::vector<std::string>{"D:\\rel\\oemsbl.mbn is not exist，Please choose again!"});
  EXPECT_EQ(doc_.line(3).settings.firmwareFolder.view(), "D:\\rel");
  EXPECT_EQ(doc_.line(3).settings.oemsblhdPath.view(), "D:\\rel\\oemsblhd.mbn");
  EXPECT_EQ(doc_.line(3).settings.oemsblPath.view(), "old oemsbl");
  EXPECT_EQ(doc_.line(3).settings.amssPath.view(), "old amss");
  EXPECT_TRUE(display_.Events(DisplayEvent::Kind::ControlText).empty());
}

TEST_F(ImageChecksTest, EfsIsRequiredButCopiedFirst) {
  MakeRelease();
  fs::remove(MapPath("D:\\rel\\efs.mbn"));
  Answer("D:\\rel");
  ChooseVersionDirectory(doc_, display_);
  EXPECT_EQ(display_.Messages(),
            std::vector<std::string>{"D:\\rel\\efs.mbn is not exist，Please choose again!"});
  EXPECT_EQ(doc_.line(0).settings.efsPath.view(), "D:\\rel\\efs.mbn");
  EXPECT_TRUE(doc_.line(0).settings.nandprghdPath.empty());
}

TEST_F(ImageChecksTest, CancelEmptiesTheFolderOfEveryLine) {
  PointLine(0, "D:\\old");
  Answer(std::nullopt);
  ChooseVersionDirectory(doc_, display_);
  auto texts = display_.Events(DisplayEvent::Kind::ControlText);
  ASSERT_EQ(texts.size(), 1u);
  EXPECT_EQ(texts[0].text, "");
  EXPECT_EQ(display_.Messages(),
            std::vector<std::string>{"\\partition.mbn is not exist，Please choose again!"});
  EXPECT_TRUE(doc_.line(0).settings.firmwareFolder.empty());
  display_.Clear();
  EXPECT_EQ(CheckLineImages(doc_, display_, 0, 0), 0);
  EXPECT_EQ(display_.Messages(), std::vector<std::string>{"You didn't load the firmware"});
}

TEST_F(ImageChecksTest, AFolderTooLongForThePathsIsRefused) {
  PointLine(0, "D:\\old");
  std::string folder = "D:\\" + std::string(240, 'r');  // fits 256, its image paths do not
  Answer(folder);
  ChooseVersionDirectory(doc_, display_);
  EXPECT_EQ(display_.Messages(),
            std::vector<std::string>{folder + " is too long，Please choose again!"});
  EXPECT_EQ(doc_.line(0).settings.firmwareFolder.view(), "D:\\old");
}

}  // namespace
}  // namespace quorrel

#include "app/form_layout.h"

#include <gtest/gtest.h>

#include <set>

#include "lines/control_ids.h"
#include "lines/line_slot.h"

namespace quorrel {
namespace {

TEST(FormLayoutTest, EveryControlHasOneEntryInsideItsForm) {
  std::set<int> ids;
  for (const TemplateControl& entry : FormTemplate()) {
    if (entry.id != kNoControlId) {
      EXPECT_TRUE(ids.insert(entry.id).second) << "twice: " << entry.id;
    }
    const bool visible = (entry.style & style::kVisible) != 0;
    const DialogSize form = visible ? kFormSize : kStationFormSize;
    EXPECT_TRUE(visible || (entry.style & style::kStation) != 0) << entry.id << " is shown nowhere";
    EXPECT_GE(entry.x, 0) << entry.id;
    EXPECT_GE(entry.y, 0) << entry.id;
    EXPECT_LE(entry.x + entry.width, form.width) << entry.id;
    EXPECT_LE(entry.y + entry.height, form.height) << entry.id;
  }
  // The per-line controls of every line, and the options.
  for (int line = 0; line < kLineCount; ++line) {
    for (int id :
         {controls::StartButton(line), controls::StopButton(line), controls::ProgressBar(line),
          controls::ProgressText(line), controls::StatusIcon(line), controls::PortText(line),
          controls::VersionText(line), controls::StateText(line),
          controls::RestorePortButton(line)}) {
      EXPECT_TRUE(ids.count(id)) << "line " << line << " lacks " << id;
    }
    for (LineMode mode :
         {LineMode::Download, LineMode::Repair, LineMode::BackupNv, LineMode::RestoreNv}) {
      const int id = ModeButton(line, mode);
      EXPECT_TRUE(ids.count(id)) << id;
      int l = -1;
      LineMode m = LineMode::Download;
      ASSERT_TRUE(ModeOfButton(id, &l, &m));
      EXPECT_EQ(l, line);
      EXPECT_EQ(m, mode);
    }
  }
  for (int id : {1099, 1100, 1109, 1147, 1131, 1132, 1133, 1138, 1134, 1154, 1155, 1121, 1122, 1081,
                 1080, 1136, 1137, 1135, 1139}) {
    EXPECT_TRUE(ids.count(id)) << id;
  }
  // The irregular identifiers of lines 2 and 3, and the ones that are none.
  EXPECT_EQ(ModeButton(1, LineMode::RestoreNv), 1048);
  EXPECT_EQ(ModeButton(2, LineMode::RestoreNv), 1053);
  int l;
  LineMode m;
  EXPECT_FALSE(ModeOfButton(1047, &l, &m));
  EXPECT_FALSE(ModeOfButton(1052, &l, &m));
  EXPECT_EQ(ModeButton(8, LineMode::Download), 0);
  EXPECT_EQ(ModeButton(0, static_cast<LineMode>(5)), 0);
}

TEST(FormLayoutTest, DialogUnitsToPixels) {
  EXPECT_EQ(AverageCharWidth(312), 6);  // (312 / 26 + 1) / 2
  EXPECT_EQ(AverageCharWidth(338), 7);
  EXPECT_EQ(MulDiv(223, 6, 4), 335);  // 334.5 rounds up
  EXPECT_EQ(MulDiv(-5, 6, 4), -8);
  EXPECT_EQ(MulDiv(1, 1, 0), -1);
  const DialogBaseUnits units{6, 14};
  EXPECT_EQ(DialogToPixels(*FindTemplateControl(controls::kDownload), units),
            (PixelRect{335, 186, 101, 60}));
  EXPECT_EQ(DialogToPixels(0, 0, kFormSize.width, kFormSize.height, units),
            (PixelRect{0, 0, 489, 331}));
  EXPECT_EQ(FindTemplateControl(kNoControlId), nullptr);
  EXPECT_EQ(FindTemplateControl(4711), nullptr);
}

TEST(FormLayoutTest, FileFilters) {
  EXPECT_EQ(ParseFileFilter("Bin Files(*.bin) | *.bin;||"),
            (std::vector<FileFilter>{{"Bin Files(*.bin)", {"*.bin"}}}));
  EXPECT_EQ(ParseFileFilter("NVM Files(*.NVM) | *.NVM;||"),
            (std::vector<FileFilter>{{"NVM Files(*.NVM)", {"*.NVM"}}}));
  EXPECT_EQ(ParseFileFilter("A|*.a; *.b|B|*.c||"),
            (std::vector<FileFilter>{{"A", {"*.a", "*.b"}}, {"B", {"*.c"}}}));
  EXPECT_TRUE(ParseFileFilter("").empty());
  EXPECT_TRUE(ParseFileFilter("dangling").empty());
}

}  // namespace
}  // namespace quorrel

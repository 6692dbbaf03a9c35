#include "platform/dosdevices.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "platform/scratch_root.h"

namespace quorrel {
namespace {

namespace fs = std::filesystem;

TEST(ComPortLinks, LiveUnderTheRoot) {
  testing::ScratchRoot root;
  EXPECT_EQ(ComPortPath(7), root.path() / "dosdevices" / "com7");
  EXPECT_EQ(ComPortPath(123), root.path() / "dosdevices" / "com123");
}

TEST(ComPortLinks, LinkReplaceAndUnlink) {
  testing::ScratchRoot root;
  fs::path tty_a = root.path() / "tty_a";
  fs::path tty_b = root.path() / "tty_b";
  std::ofstream(tty_a).put('a');
  std::ofstream(tty_b).put('b');

  EXPECT_FALSE(ComPortExists(5));
  ASSERT_TRUE(LinkComPort(5, tty_a));  // creates the folder too
  EXPECT_TRUE(ComPortExists(5));
  EXPECT_EQ(fs::read_symlink(ComPortPath(5)), tty_a);

  ASSERT_TRUE(LinkComPort(5, tty_b));  // replaces
  EXPECT_EQ(fs::read_symlink(ComPortPath(5)), tty_b);
  // Nothing but the link is left in the folder.
  int entries = 0;
  for (const auto& e : fs::directory_iterator(root.path() / "dosdevices")) {
    EXPECT_EQ(e.path().filename(), "com5");
    ++entries;
  }
  EXPECT_EQ(entries, 1);

  fs::remove(tty_b);  // dangling now
  EXPECT_FALSE(ComPortExists(5));
  EXPECT_TRUE(fs::is_symlink(ComPortPath(5)));

  UnlinkComPort(5);
  UnlinkComPort(5);  // twice: harmless
  EXPECT_FALSE(fs::is_symlink(fs::symlink_status(ComPortPath(5))));
}

TEST(ComPortLinks, PortNumbersOutsideTheRangeAreRefused) {
  testing::ScratchRoot root;
  fs::path tty = root.path() / "tty";
  std::ofstream(tty).put('t');
  for (int n : {0, -1, 256, 1000}) {
    SCOPED_TRACE(n);
    EXPECT_FALSE(LinkComPort(n, tty));
    EXPECT_FALSE(ComPortExists(n));
  }
  EXPECT_FALSE(LinkComPort(1, ""));
  for (int n : {1, 255}) {
    EXPECT_TRUE(LinkComPort(n, tty));
    EXPECT_TRUE(ComPortExists(n));
  }
}

}  // namespace
}  // namespace quorrel

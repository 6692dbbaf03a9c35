#include <stdlib.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "platform/modem_table.h"
#include "platform/scoped_root.h"
#include "support/scoped_env.h"

namespace quorrel {
namespace {

namespace fs = std::filesystem;
using testsupport::ScopedEnv;

TEST(ModemTable, ReadsEntriesCommentsAndNames) {
  ModemTable table;
  ParseModemTable(
      "# the shipped modems\n"
      "\n"
      "  1E0E:9000  diag=0 at=2   Card   with a long name  # and a comment\n"
      "05c6:9008 diag=0\n"
      "abcd:1 at=0A diag=b\r\n",
      "t.conf", &table);
  ASSERT_TRUE(table.errors.empty()) << table.errors.front();
  ASSERT_EQ(table.entries.size(), 3u);
  const ModemTableEntry* card = table.Find(0x1e0e, 0x9000);
  ASSERT_NE(card, nullptr);
  EXPECT_EQ(card->diagInterface, 0);
  EXPECT_EQ(card->atInterface, 2);
  EXPECT_EQ(card->name, "Card   with a long name");
  EXPECT_EQ(card->source, "t.conf:3");
  const ModemTableEntry* downloader = table.Find(0x05c6, 0x9008);
  ASSERT_NE(downloader, nullptr);
  EXPECT_FALSE(downloader->atInterface);
  EXPECT_EQ(downloader->name, "");
  const ModemTableEntry* hex = table.Find(0xabcd, 0x0001);
  ASSERT_NE(hex, nullptr);
  EXPECT_EQ(hex->diagInterface, 0x0b);
  EXPECT_EQ(hex->atInterface, 0x0a);
  EXPECT_EQ(table.Find(0x1e0e, 0x9001), nullptr);
}

TEST(ModemTable, BadLinesNameFileAndLineAndAreLeftOut) {
  ModemTable table;
  ParseModemTable(
      "1e0e:9000 diag=0 at=2\n"
      "1e0e 9000 diag=0\n"
      "1e0e:90000 diag=0\n"
      "1e0e:9001 at=2 name\n"
      "1e0e:9002 diag=0 at=0\n"
      "1e0e:9003 diag=100\n"
      "1e0e:9004 diag=0 diag=1\n"
      "1e0e:9000 diag=1\n"
      "xyz0:0001 diag=0\n"
      "1e0e:9005 diag=\n"
      "1e0e:9006 diag=0\n",
      "/etc/m.conf", &table);
  ASSERT_EQ(table.errors.size(), 9u);
  EXPECT_EQ(table.errors[0], "/etc/m.conf:2: expected VID:PID, got \"1e0e\"");
  EXPECT_EQ(table.errors[1].rfind("/etc/m.conf:3: expected VID:PID in hexadecimal", 0), 0u) << table.errors[1];
  EXPECT_EQ(table.errors[2], "/etc/m.conf:4: no diag= interface");
  EXPECT_EQ(table.errors[3], "/etc/m.conf:5: the diag= and at= interfaces are the same");
  EXPECT_EQ(table.errors[4].rfind("/etc/m.conf:6: expected an interface number", 0), 0u) << table.errors[4];
  EXPECT_EQ(table.errors[5], "/etc/m.conf:7: diag= given twice");
  EXPECT_EQ(table.errors[6], "/etc/m.conf:8: 1e0e:9000 is already in this file");
  EXPECT_EQ(table.errors[7].rfind("/etc/m.conf:9: ", 0), 0u);
  EXPECT_EQ(table.errors[8].rfind("/etc/m.conf:10: ", 0), 0u);
  ASSERT_EQ(table.entries.size(), 2u);
  EXPECT_EQ(table.Find(0x1e0e, 0x9000)->diagInterface, 0);
  EXPECT_NE(table.Find(0x1e0e, 0x9006), nullptr);

  ModemTable longLine;
  ParseModemTable("1e0e:9000 diag=0 " + std::string(2000, 'x') + "\n", "l.conf", &longLine);
  ASSERT_EQ(longLine.errors.size(), 1u);
  EXPECT_TRUE(longLine.entries.empty());
}

TEST(ModemTable, FilesReadAndTheirOrder) {
  testing::ScopedRoot root;
  {
    ScopedEnv config("XDG_CONFIG_HOME", (root.path() / "config").string());
    ScopedEnv noOverride("QUORREL_MODEMS", "");  // empty: not set
    std::vector<fs::path> files = ModemTableFiles();
    ASSERT_EQ(files.size(), 2u);
    EXPECT_EQ(files[0], "/usr/share/quorrel/modems.conf");
    EXPECT_EQ(files[1], root.path() / "config/quorrel/modems.conf");

    // A user's line overrides the shipped one.
    ModemTable table;
    ParseModemTable("1e0e:9000 diag=0 at=2 shipped\n", "shipped.conf", &table);
    fs::create_directories(root.path() / "config/quorrel");
    std::ofstream(root.path() / "config/quorrel/modems.conf") << "1e0e:9000 diag=1 at=3 mine\n";
    ReadModemTableFile(files[1], false, &table);
    ASSERT_EQ(table.entries.size(), 1u);
    EXPECT_EQ(table.entries[0].name, "mine");
    EXPECT_EQ(table.entries[0].diagInterface, 1);
  }
  {
    ScopedEnv only("QUORREL_MODEMS", (root.path() / "missing.conf").string());
    ASSERT_EQ(ModemTableFiles().size(), 1u);
    ModemTable table = LoadModemTable();
    ASSERT_EQ(table.errors.size(), 1u);
    EXPECT_EQ(table.errors[0], (root.path() / "missing.conf").string() + ": no such file");
  }
  ModemTable absent;
  ReadModemTableFile(root.path() / "nothing.conf", false, &absent);
  EXPECT_TRUE(absent.errors.empty());
  ReadModemTableFile(root.path(), false, &absent);
  EXPECT_EQ(absent.errors.size(), 1u);
}

}  // namespace
}  // namespace quorrel

#include <stdlib.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
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
  EXPECT_EQ(table.errors[1].rfind("/etc/m.conf:3: expected VID:PID in hexadecimal", 0), 0u)
      << table.errors[1];
  EXPECT_EQ(table.errors[2], "/etc/m.conf:4: no diag= interface");
  EXPECT_EQ(table.errors[3], "/etc/m.conf:5: the diag= and at= interfaces are the same");
  EXPECT_EQ(table.errors[4].rfind("/etc/m.conf:6: expected an interface number", 0), 0u)
      << table.errors[4];
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
    EXPECT_EQ(files[0], ShippedModemTableFile());
    EXPECT_EQ(files[1], root.path() / "config/quorrel/modems.conf");
    EXPECT_EQ(UserModemTableFile(), files[1]);
    // Run from the build tree, the shipped table is the copy in its data
    // folder, and it holds the download mode.
    if (const char* build = std::getenv("QUORREL_TEST_BINARY_DIR")) {
      EXPECT_EQ(files[0], fs::path(build) / "data" / "modems.conf");
      ModemTable shipped;
      ReadModemTableFile(files[0], true, &shipped);
      EXPECT_TRUE(shipped.errors.empty());
      EXPECT_NE(shipped.Find(0x05c6, 0x9008), nullptr);
    }

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
    EXPECT_EQ(UserModemTableFile(), root.path() / "missing.conf");
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

TEST(ModemTable, ALineFoundIsAddedWholeUnderItsCommentAndNeverOverAnother) {
  testing::ScopedRoot root;
  const fs::path file = root.path() / "config" / "quorrel" / "modems.conf";
  ModemTableEntry entry;
  entry.vendorId = 0x1e0e;
  entry.productId = 0x9001;
  entry.diagInterface = 1;
  entry.atInterface = 0x0a;
  entry.name = "Card";
  EXPECT_EQ(ModemTableLine(entry), "1e0e:9001 diag=1 at=a Card");
  std::string why;
  // The folder is made; the file is new.
  ASSERT_TRUE(AddModemTableLine(file, entry, {"found by probing on 2026-12-09"}, &why)) << why;
  auto read = [&file] {
    std::ifstream in(file);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  };
  EXPECT_EQ(read(), "# found by probing on 2026-12-09\n1e0e:9001 diag=1 at=a Card\n");

  // A second line goes after the first, a line of the same identity not at
  // all (the one there wins), and no temporary file is left behind.
  ModemTableEntry download;
  download.vendorId = 0x05c6;
  download.productId = 0x9008;
  ASSERT_TRUE(AddModemTableLine(file, download, {"second"}, &why)) << why;
  EXPECT_FALSE(AddModemTableLine(file, entry, {"again"}, &why));
  EXPECT_NE(why.find("already has a line for 1e0e:9001"), std::string::npos) << why;
  EXPECT_EQ(read(),
            "# found by probing on 2026-12-09\n1e0e:9001 diag=1 at=a Card\n\n# second\n05c6:9008 "
            "diag=0\n");
  ModemTable table;
  ReadModemTableFile(file, true, &table);
  EXPECT_TRUE(table.errors.empty());
  EXPECT_EQ(table.entries.size(), 2u);
  size_t files = 0;
  for (const auto& e : fs::directory_iterator(file.parent_path()))
    files += e.is_regular_file() ? 1 : 0;
  EXPECT_EQ(files, 1u);

  // A file without a line end at its end keeps its last line whole.
  const fs::path other = root.path() / "other.conf";
  std::ofstream(other) << "05c6:9008 diag=0";
  ASSERT_TRUE(AddModemTableLine(other, entry, {}, &why)) << why;
  ModemTable both;
  ReadModemTableFile(other, true, &both);
  EXPECT_TRUE(both.errors.empty()) << both.errors.front();
  EXPECT_EQ(both.entries.size(), 2u);
  // Something that is no file is not replaced.
  EXPECT_FALSE(AddModemTableLine(root.path(), entry, {}, &why));
}

TEST(ModemTable, TheUdevRuleHasOneLinePerIdentity) {
  const std::string text = UdevRulesText({{0x1e0e, 0x9001}, {0x05c6, 0x9008}, {0x1e0e, 0x9001}});
  EXPECT_EQ(text.find("ACTION==\"remove\", GOTO=\"quorrel_local_end\"\n"), text.find("ACTION"));
  EXPECT_NE(
      text.find("\nSUBSYSTEMS==\"usb\", ATTRS{idVendor}==\"1e0e\", ATTRS{idProduct}==\"9001\", "
                "TAG+=\"uaccess\", ENV{ID_MM_DEVICE_IGNORE}=\"1\"\n"),
      std::string::npos)
      << text;
  EXPECT_NE(text.find(UdevRuleLine(0x05c6, 0x9008)), std::string::npos);
  size_t rules = 0;
  for (size_t at = text.find("SUBSYSTEMS"); at != std::string::npos;
       at = text.find("SUBSYSTEMS", at + 1))
    ++rules;
  EXPECT_EQ(rules, 2u);
  EXPECT_TRUE(text.ends_with("\nLABEL=\"quorrel_local_end\"\n")) << text;
}

}  // namespace
}  // namespace quorrel

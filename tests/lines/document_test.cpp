#include "lines/document.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "platform/clock.h"
#include "platform/memory_wire.h"
#include "platform/paths.h"
#include "platform/scoped_root.h"

namespace quorrel {
namespace {

using R = SettingsRecord;

int32_t IntAt(const std::vector<uint8_t>& d, size_t offset) {
  uint32_t u = 0;
  for (int i = 0; i < 4; ++i) u |= static_cast<uint32_t>(d[offset + i]) << (8 * i);
  return static_cast<int32_t>(u);
}

std::string TextAt(const std::vector<uint8_t>& d, size_t offset) {
  return std::string(reinterpret_cast<const char*>(d.data() + offset));
}

struct TextField {
  const char* name;
  size_t offset;
  size_t capacity;
  bool (*set)(R&, std::string_view);
};

#define FIELD(member, off)                                        \
  {                                                               \
#member, R::off, decltype(R::member)::kCapacity,              \
        [](R & r, std::string_view t) { return r.member.Set(t); } \
  }

const TextField kTextFields[] = {
    FIELD(partitionPath, kPartitionPath),
    FIELD(pblPath, kPblPath),
    FIELD(qcsblhdCfgdataPath, kQcsblhdCfgdataPath),
    FIELD(qcsblPath, kQcsblPath),
    FIELD(oemsblhdPath, kOemsblhdPath),
    FIELD(oemsblPath, kOemsblPath),
    FIELD(amsshdPath, kAmsshdPath),
    FIELD(amssPath, kAmssPath),
    FIELD(firmwareFolder, kFirmwareFolder),
    FIELD(efsPath, kEfsPath),
    FIELD(nvDirectory, kNvDirectory),
    FIELD(upgradeProgrammerFile, kUpgradeProgrammerFile),
    FIELD(bootFile, kBootFile),
    FIELD(armprgPath, kArmprgPath),
    FIELD(nvFile, kNvFile),
    FIELD(defaultNvFile, kDefaultNvFile),
    FIELD(firmwareFolderCopy, kFirmwareFolderCopy),
    FIELD(nandprghdPath, kNandprghdPath),
    FIELD(nandprgcombinedPath, kNandprgcombinedPath),
};
#undef FIELD

class DocumentTest : public ::testing::Test {
 protected:
  VirtualClock clock_;
  MemoryPorts ports_;
  CQuorrelDoc doc_{clock_, ports_};
};

TEST(SettingsRecordTest, EveryFieldAtItsOffset) {
  R record;
  std::vector<uint8_t> expected(R::kSize, 0);
  int n = 0;
  for (const TextField& f : kTextFields) {
    // Fill each field to its last usable byte, so a shifted field would overlap.
    std::string text(f.capacity - 1, static_cast<char>('A' + n++));
    text.front() = '#';
    ASSERT_TRUE(f.set(record, text)) << f.name;
    std::memcpy(expected.data() + f.offset, text.data(), text.size());
  }
  record.reserved.fill(0x5A);
  std::memset(expected.data() + R::kReserved, 0x5A, 260);
  record.diagPort = 12;
  record.atPort = -3;
  record.baudRate = 115200;
  const uint8_t ints[] = {12, 0, 0, 0, 0xFD, 0xFF, 0xFF, 0xFF, 0x00, 0xC2, 0x01, 0x00};
  std::memcpy(expected.data() + R::kDiagPort, ints, sizeof ints);

  std::vector<uint8_t> out(R::kSize, 0xEE);
  record.StoreTo(std::span<uint8_t, R::kSize>(out.data(), R::kSize));
  ASSERT_EQ(out.size(), 5164u);
  for (size_t i = 0; i < R::kSize; ++i) ASSERT_EQ(out[i], expected[i]) << "offset " << i;

  R back;
  std::string error;
  ASSERT_TRUE(back.LoadFrom(std::span<const uint8_t, R::kSize>(out.data(), R::kSize), &error))
      << error;
  EXPECT_EQ(back, record);
}

TEST(SettingsRecordTest, TextsThatDoNotFitAreRefusedNotCut) {
  R record;
  for (const TextField& f : kTextFields) {
    ASSERT_TRUE(f.set(record, "old")) << f.name;
    EXPECT_FALSE(f.set(record, std::string(f.capacity, 'x'))) << f.name;
    EXPECT_TRUE(f.set(record, std::string(f.capacity - 1, 'y'))) << f.name;
  }
  EXPECT_FALSE(record.amssPath.Set(std::string("a\0b", 3)));
  EXPECT_EQ(record.amssPath.view(), std::string(255, 'y'));
}

TEST(SettingsRecordTest, UnterminatedTextIsRefusedAsAWhole) {
  R good;
  ASSERT_TRUE(good.amssPath.Set("C:\\rel\\amss.mbn"));
  std::vector<uint8_t> bytes(R::kSize, 0);
  std::memset(bytes.data() + R::kEfsPath, 'e', 256);  // no terminator
  std::string error;
  R record = good;
  EXPECT_FALSE(record.LoadFrom(std::span<const uint8_t, R::kSize>(bytes.data(), R::kSize), &error));
  EXPECT_NE(error.find("efs.mbn path"), std::string::npos) << error;
  EXPECT_EQ(record, good);
}

TEST_F(DocumentTest, ConstructionDefaults) {
  for (int i = 0; i < kLineCount; ++i) {
    const LineJob& job = doc_.line(i);
    EXPECT_EQ(job.settings.diagPort, i == 0 ? 1 : 0);
    EXPECT_EQ(job.settings.atPort, 0);
    EXPECT_EQ(job.settings.baudRate, 115200);
    EXPECT_TRUE(job.settings.amssPath.empty());
    EXPECT_TRUE(job.settings.firmwareFolder.empty());
    EXPECT_EQ(job.runFlag, 0);
    EXPECT_EQ(job.lineMode, LineMode::Download);
    EXPECT_EQ(job.VersionText(), "нет телефона");
    EXPECT_EQ(doc_.link(i).Protocol(), LinkProtocol::Diag);
    EXPECT_FALSE(doc_.at(i).port.IsOpen());
  }
  EXPECT_NE(&doc_.link(0), &doc_.link(1));
  EXPECT_EQ(doc_.nvOption, 2);
  EXPECT_EQ(doc_.OsName(), "");
  EXPECT_EQ(doc_.CurrentVersionText(), "");
  EXPECT_THROW(doc_.line(8), std::out_of_range);
}

TEST_F(DocumentTest, NewDocumentDefaults) {
  doc_.line(3).settings.diagPort = 9;
  ASSERT_TRUE(doc_.OnNewDocument("C:\\Program Files\\Quorrel"));
  for (int i = 0; i < kLineCount; ++i) {
    const LineJob& job = doc_.line(i);
    EXPECT_EQ(job.settings.armprgPath.view(), "C:\\Program Files\\Quorrel\\armprg.bin");
    EXPECT_EQ(job.settings.nvDirectory.view(), "C:\\Program Files\\Quorrel");
    EXPECT_EQ(job.settings.nvFile.str(),
              "C:\\Program Files\\Quorrel\\Channel" + std::to_string(i + 1) + ".nvm");
    bool hasPort = i == 0 || i == 3;
    EXPECT_EQ(job.phoneState, hasPort ? PhoneState::NoAnswer : PhoneState::NoPort) << i;
    EXPECT_EQ(job.VersionText(), hasPort ? "нет телефона" : "NULL") << i;
  }
}

TEST_F(DocumentTest, NewDocumentRefusesAFolderTooLongForItsPaths) {
  std::string error;
  // 247 characters fit the 256-byte NV directory but not with "\ChannelN.nvm" in 260 bytes.
  std::string dir = "C:\\" + std::string(244, 'd');
  EXPECT_FALSE(doc_.OnNewDocument(dir, &error));
  EXPECT_FALSE(error.empty());
  EXPECT_TRUE(doc_.line(0).settings.nvFile.empty());
  EXPECT_TRUE(doc_.line(0).settings.armprgPath.empty());
  EXPECT_TRUE(doc_.OnNewDocument(std::string(246, 'd')));
}

TEST_F(DocumentTest, SavedFileIsTheEightRecordsInLineOrder) {
  ASSERT_TRUE(doc_.OnNewDocument("D:\\q"));
  for (int i = 0; i < kLineCount; ++i) {
    ASSERT_TRUE(doc_.line(i).settings.firmwareFolder.Set("D:\\rel" + std::to_string(i)));
    doc_.line(i).settings.atPort = 20 + i;
  }
  std::vector<uint8_t> data = doc_.SaveSettings();
  ASSERT_EQ(data.size(), 41312u);
  for (int i = 0; i < kLineCount; ++i) {
    size_t base = static_cast<size_t>(i) * 5164;
    EXPECT_EQ(TextAt(data, base + 2048), "D:\\rel" + std::to_string(i));
    EXPECT_EQ(TextAt(data, base + 3856), "D:\\q\\Channel" + std::to_string(i + 1) + ".nvm");
    EXPECT_EQ(TextAt(data, base + 3596), "D:\\q\\armprg.bin");
    EXPECT_EQ(IntAt(data, base + 4116), i == 0 ? 1 : 0);
    EXPECT_EQ(IntAt(data, base + 4120), 20 + i);
    EXPECT_EQ(IntAt(data, base + 4124), 115200);
  }
}

TEST_F(DocumentTest, LoadRestoresPortsAndPathsButNoRunTimeState) {
  testing::ScopedRoot root;
  std::filesystem::create_directories(root.path() / "drive_c");
  ASSERT_TRUE(doc_.OnNewDocument("C:\\q"));
  doc_.line(1).settings.diagPort = 7;
  doc_.line(1).settings.atPort = 8;
  ASSERT_TRUE(doc_.line(1).settings.amssPath.Set("C:\\rel\\amss.mbn"));
  ASSERT_TRUE(doc_.SaveToFile("C:\\quorrel.doc"));
  EXPECT_EQ(std::filesystem::file_size(MapPath("C:\\quorrel.doc")), 41312u);

  VirtualClock clock;
  MemoryPorts ports;
  CQuorrelDoc other(clock, ports);
  other.line(1).runFlag = 1;
  other.line(1).phoneState = PhoneState::Answered;
  other.line(1).lineMode = LineMode::Repair;
  ASSERT_TRUE(other.line(1).SetVersionText("V1.0"));
  std::string error;
  ASSERT_TRUE(other.LoadFromFile("C:\\quorrel.doc", &error)) << error;
  EXPECT_EQ(other.line(1).settings, doc_.line(1).settings);
  EXPECT_EQ(other.line(1).settings.diagPort, 7);
  EXPECT_EQ(other.line(1).settings.atPort, 8);
  EXPECT_EQ(other.line(1).settings.amssPath.view(), "C:\\rel\\amss.mbn");
  EXPECT_EQ(other.line(1).runFlag, 1);
  EXPECT_EQ(other.line(1).phoneState, PhoneState::Answered);
  EXPECT_EQ(other.line(1).lineMode, LineMode::Repair);
  EXPECT_EQ(other.line(1).VersionText(), "V1.0");
  EXPECT_EQ(other.SaveSettings(), doc_.SaveSettings());
}

TEST_F(DocumentTest, SaveReplacesAnOlderDocumentWholeAndSaysWhenItCannot) {
  testing::ScopedRoot root;
  const std::filesystem::path folder = MapPath("C:\\quorrel-documents");
  std::filesystem::create_directories(folder);
  std::ofstream(folder / "station.doc", std::ios::binary) << std::string(50000, 'x');
  ASSERT_TRUE(doc_.OnNewDocument("C:\\q"));
  std::string error;
  ASSERT_TRUE(doc_.SaveToFile("C:\\quorrel-documents\\station.doc", &error)) << error;
  {
    std::ifstream in(folder / "station.doc", std::ios::binary);
    const std::vector<uint8_t> saved((std::istreambuf_iterator<char>(in)),
                                     std::istreambuf_iterator<char>());
    EXPECT_EQ(saved, doc_.SaveSettings());
  }
  // Nothing but the document is left in the folder.
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    names.push_back(entry.path().filename().string());
  }
  EXPECT_EQ(names, std::vector<std::string>{"station.doc"});
  std::filesystem::remove_all(folder);

  EXPECT_FALSE(doc_.SaveToFile("C:\\no such folder\\station.doc", &error));
  EXPECT_EQ(error, "Cannot write the document file C:\\no such folder\\station.doc");
}

TEST_F(DocumentTest, LoadRefusesMalformedFilesAndKeepsTheSettings) {
  ASSERT_TRUE(doc_.line(0).settings.amssPath.Set("keep"));
  std::vector<uint8_t> data = doc_.SaveSettings();
  std::string error;
  std::vector<uint8_t> shorter(data.begin(), data.end() - 1);
  EXPECT_FALSE(doc_.LoadSettings(shorter, &error));
  EXPECT_NE(error.find("41312"), std::string::npos) << error;

  std::vector<uint8_t> bad(data.size(), 0);
  std::memset(bad.data() + 5 * 5164 + 256, 'p', 256);  // line 6's pbl.mbn path unterminated
  EXPECT_FALSE(doc_.LoadSettings(bad, &error));
  EXPECT_NE(error.find("Line6"), std::string::npos) << error;
  EXPECT_EQ(doc_.line(0).settings.amssPath.view(), "keep");
  EXPECT_EQ(doc_.line(0).settings.diagPort, 1);
}

TEST_F(DocumentTest, VersionTextIsBoundedToItsField) {
  EXPECT_TRUE(doc_.line(0).SetVersionText(std::string(255, 'v')));
  EXPECT_FALSE(doc_.line(0).SetVersionText(std::string(256, 'w')));
  EXPECT_EQ(doc_.line(0).VersionText(), std::string(255, 'v'));
}

}  // namespace
}  // namespace quorrel

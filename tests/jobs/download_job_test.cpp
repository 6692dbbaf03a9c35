// The download job's own patterns against the virtual modem: the port wait
// and its re-plug request, the challenge answer, the second write attempt,
// the stages that do not fail an attempt, and the NV options.
#include "jobs/download_job.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "jobs/nv_backup.h"
#include "support/sim_line.h"

namespace quorrel {
namespace {

using testsupport::Seen;
using testsupport::SimLine;

size_t CountImages(sim::VirtualModem& m, uint8_t type) {
  std::vector<sim::FlashImage> images = m.Images();
  return static_cast<size_t>(std::count_if(
      images.begin(), images.end(), [type](const sim::FlashImage& i) { return i.type == type; }));
}

TEST(DownloadJob, ChallengeAnswerIsTheMd5OfTheEightBytes) {
  const std::array<uint8_t, 8> challenge = {'1', '2', '3', '4', '5', '6', '7', '8'};
  const std::array<uint8_t, 16> expected = {0x25, 0xd5, 0x5a, 0xd2, 0x83, 0xaa, 0x40, 0x0a,
                                            0xf4, 0x64, 0xc7, 0x6d, 0x71, 0x3c, 0x07, 0xad};
  EXPECT_EQ(ChallengeAnswer(challenge), expected);

  sim::ModemConfig config;
  config.challenge = std::vector<uint8_t>(challenge.begin(), challenge.end());
  SimLine s(config);
  s.PlugInAndFind();
  ASSERT_TRUE(s.StartAndWait());
  sim::HandshakeState h = s.modem().Handshake();
  EXPECT_EQ(h.result, sim::HandshakeState::Result::Passed);
  EXPECT_EQ(h.answer, std::vector<uint8_t>(expected.begin(), expected.end()));
}

TEST(DownloadJob, ModemNotBackAfterTheResetIsAskedForOnceAfter30PollsAndTheJobGoesOn) {
  sim::ModemConfig config;
  config.faults.noReturnAfterReset = 1;  // the reset of the autorun switch-off
  SimLine s(config);
  s.PlugInAndFind();
  int boxes = 0;
  uint64_t boxAt = 0;
  s.form().SetMessageBoxHandler([&](const MessageBoxRequest& r) {
    if (r.text == kReplugText) {
      ++boxes;
      boxAt = s.clock_.NowMs();
      s.modem().PowerCycle(1000);  // the user does as asked
    }
    return MessageResult::Ok;
  });

  ASSERT_TRUE(s.StartAndWait());
  EXPECT_EQ(s.exitCode_, 0);
  EXPECT_EQ(boxes, 1);

  // The progress of the wait: 3 until the 10th poll, then one more every 10
  // polls; the request came with the value after the 30th poll.
  std::vector<Seen> progress = s.form().Of(Seen::Kind::Progress);
  auto three =
      std::find_if(progress.begin(), progress.end(), [](const Seen& p) { return p.value == 3; });
  auto seven =
      std::find_if(progress.begin(), progress.end(), [](const Seen& p) { return p.value == 7; });
  ASSERT_NE(three, progress.end());
  ASSERT_NE(seven, progress.end());
  std::vector<int> during;
  for (auto it = three + 1; it != seven; ++it) during.push_back(it->value);
  ASSERT_GE(during.size(), 31u);
  EXPECT_EQ(during[0], 3);
  EXPECT_EQ(during[8], 3);
  EXPECT_EQ(during[9], 4);
  EXPECT_EQ(during[19], 5);
  EXPECT_EQ(during[29], 6);
  EXPECT_EQ(boxAt, std::next(three, 30)->timeMs);
}

TEST(DownloadJob, FailedFirstAttemptIsFollowedByACloseANoOpAndEveryStageAgain) {
  // The amss image fails every write of the first attempt: four writes of
  // the first block in each of its three tries.
  sim::ModemConfig config;
  sim::StreamErrorFault amss;
  amss.imageType = 5;
  amss.block = 0;
  amss.count = 12;
  config.faults.streamErrors.push_back(amss);
  SimLine s(config);
  s.PlugInAndFind();

  ASSERT_TRUE(s.StartAndWait());
  EXPECT_EQ(s.exitCode_, 0);
  sim::VirtualModem& m = s.modem();
  EXPECT_EQ(m.PartitionTables().size(), 2u);
  EXPECT_EQ(CountImages(m, 2), 2u);
  EXPECT_EQ(CountImages(m, 3), 2u);
  EXPECT_EQ(CountImages(m, 4), 2u);
  EXPECT_EQ(CountImages(m, 5), 4u);  // three failed tries, one good one
  EXPECT_EQ(m.ImageBytes(5), s.EmbeddedFile(164));
  EXPECT_TRUE(m.Violations().empty()) << m.Violations().front().text;
  // While amss was tried again the bar showed 4.
  std::vector<int> progress = s.form().Values(Seen::Kind::Progress);
  EXPECT_EQ(std::count(progress.begin(), progress.end(), 4), 2);
}

TEST(DownloadJob, QcsblSucceedingAtItsThirdTryAndAFailingNandProgrammerDoNotFailTheAttempt) {
  sim::ModemConfig config;
  sim::StreamErrorFault qcsbl;
  qcsbl.imageType = 3;
  qcsbl.count = 2;
  config.faults.streamErrors.push_back(qcsbl);
  sim::StreamErrorFault nand;
  nand.imageType = 10;
  nand.count = 0;
  config.faults.streamErrors.push_back(nand);
  SimLine s(config);
  s.PlugInAndFind();

  ASSERT_TRUE(s.StartAndWait());
  EXPECT_EQ(s.exitCode_, 0);
  sim::VirtualModem& m = s.modem();
  EXPECT_EQ(m.PartitionTables().size(), 1u);
  EXPECT_EQ(CountImages(m, 3), 3u);
  EXPECT_EQ(CountImages(m, 10), 3u);
  EXPECT_EQ(m.ImageBytes(3), s.EmbeddedFile(172));
  EXPECT_EQ(m.ImageBytes(9), s.EmbeddedFile(166));
}

TEST(DownloadJob, NvOptions) {
  struct Case {
    int option;
    bool backupFile;
    size_t restoredWrites;  // NV writes besides item 22's own write-back
  };
  // Option 3 restores the default NV file: a backup table with every saved
  // item, each filled with its number's low byte.
  for (const Case& c : {Case{kNvNoBackup, false, 0}, Case{kNvLoadDefault, false, 713}}) {
    SCOPED_TRACE(c.option);
    SimLine s;
    s.PlugInAndFind();
    s.doc_.nvOption = c.option;
    NvTable table = BuildBackupTable();
    for (NvRecord& r : table.records) r.data.fill(static_cast<uint8_t>(r.item));
    std::vector<uint8_t> bytes(NvTable::kFileSize);
    table.StoreTo(std::span<uint8_t, NvTable::kFileSize>(bytes.data(), NvTable::kFileSize));
    const std::filesystem::path defaultNv = s.root_.path() / "default.nvm";
    std::ofstream(defaultNv, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    ASSERT_TRUE(s.doc_.line(0).settings.defaultNvFile.Set(defaultNv.string()));

    ASSERT_TRUE(s.StartAndWait());
    EXPECT_EQ(s.exitCode_, 0);
    EXPECT_EQ(std::filesystem::exists(MapPath(testsupport::kNvFile)), c.backupFile);
    std::vector<sim::NvWriteRecord> writes = s.modem().NvWrites();
    ASSERT_FALSE(writes.empty());
    EXPECT_EQ(writes.front().item, 22);  // the write-back of step 37
    EXPECT_EQ(writes.size() - 1, c.restoredWrites);
    if (c.option == kNvLoadDefault) {
      sim::NvData expected;
      expected.fill(static_cast<uint8_t>(453 & 0xFF));
      EXPECT_EQ(s.modem().NvItem(453), expected);
    }
  }
}

}  // namespace
}  // namespace quorrel

// The whole download of line 1 against the virtual modem, started with the
// start button and run by the line's job thread on the virtual clock.
#include <gtest/gtest.h>

#include <algorithm>

#include "jobs/download_job.h"
#include "jobs/nv_backup.h"
#include "support/sim_line.h"

namespace quorrel {
namespace {

using testsupport::Seen;
using testsupport::SimLine;

// Resource ids of the embedded release.
constexpr int kAmss = 164, kPartition = 169, kCfgData = 171, kQcsbl = 172, kOemsblHd = 167,
              kOemsbl = 168, kAmssHd = 163, kEfs = 166, kArmprg = 165, kNandHd = 184, kNand = 185;

NvTable LoadNvFile(const std::vector<uint8_t>& bytes) {
  NvTable table;
  table.LoadFrom(std::span<const uint8_t, NvTable::kFileSize>(bytes.data(), NvTable::kFileSize));
  return table;
}

TEST(DownloadEndToEnd, CompleteDownloadWritesTheReleaseAndGivesTheModemBackItsNvItems) {
  SimLine s;
  s.PlugInAndFind();
  const sim::NvData item22Before = s.modem().NvItem(22);

  ASSERT_TRUE(s.StartAndWait());
  EXPECT_EQ(s.controller().LastOutcome(0), JobOutcome::Succeeded);
  EXPECT_EQ(s.exitCode_, 0);
  EXPECT_FALSE(s.closed_);

  sim::VirtualModem& m = s.modem();
  EXPECT_TRUE(m.Violations().empty()) << m.Violations().front().text;

  // The flash holds the release byte for byte; the programmer ran from RAM.
  ASSERT_FALSE(m.PartitionTables().empty());
  EXPECT_EQ(m.PartitionTables().back(), s.EmbeddedFile(kPartition));
  EXPECT_EQ(m.ImageBytes(2), s.EmbeddedFile(kCfgData));
  EXPECT_EQ(m.ImageBytes(3), s.EmbeddedFile(kQcsbl));
  EXPECT_EQ(m.ImageHeader(4), s.EmbeddedFile(kOemsblHd));
  EXPECT_EQ(m.ImageBytes(4), s.EmbeddedFile(kOemsbl));
  EXPECT_EQ(m.ImageHeader(5), s.EmbeddedFile(kAmssHd));
  EXPECT_EQ(m.ImageBytes(5), s.EmbeddedFile(kAmss));
  EXPECT_EQ(m.ImageBytes(9), s.EmbeddedFile(kEfs));
  EXPECT_EQ(m.ImageHeader(10), s.EmbeddedFile(kNandHd));
  EXPECT_EQ(m.ImageBytes(10), s.EmbeddedFile(kNand));
  // The modem starts a programmer only when RAM holds the expected one at
  // the load address (a violation otherwise), and then speaks streaming.
  EXPECT_EQ(m.config().expectedProgrammer, s.EmbeddedFile(kArmprg));
  std::vector<sim::RequestRecord> requests = m.Requests();
  EXPECT_TRUE(std::any_of(requests.begin(), requests.end(), [](const sim::RequestRecord& r) {
    return r.mode == sim::ModemMode::Programmer;
  }));
  EXPECT_EQ(m.CurrentVersion(), m.config().flashedVersion);

  // The NV backup: 98,600 bytes whose records match what the modem held, and
  // every saved item written back.
  std::vector<uint8_t> nv = testsupport::ReadBytes(MapPath(testsupport::kNvFile));
  ASSERT_EQ(nv.size(), NvTable::kFileSize);
  NvTable table = LoadNvFile(nv);
  EXPECT_EQ(table.records[713].item, kNvEndItem);
  std::vector<sim::NvWriteRecord> writes = m.NvWrites();
  int saved = 0;
  for (const NvRecord& r : table.records) {
    if (r.item >= kNvEndItem) break;
    ASSERT_EQ(r.status, 0) << "item " << r.item;
    EXPECT_EQ(r.data, m.NvDefault(r.item)) << "item " << r.item;
    EXPECT_EQ(m.NvItem(r.item), r.data) << "item " << r.item;
    ++saved;
    bool written = std::any_of(writes.begin(), writes.end(), [&](const sim::NvWriteRecord& w) {
      return w.item == r.item && w.data == r.data;
    });
    EXPECT_TRUE(written) << "item " << r.item;
  }
  EXPECT_EQ(saved, 713);
  EXPECT_EQ(m.NvItem(22), item22Before);

  // Autorun off before and on after, in this order.
  EXPECT_EQ(m.CdRunCommands(), (std::vector<std::string>{"E", "8", "F", "9"}));
  EXPECT_EQ(m.Autorun(), 1);
  EXPECT_EQ(m.VendorSwitchAA(), 0);
  EXPECT_EQ(m.Handshake().result, sim::HandshakeState::Result::Passed);

  // What the user saw.
  auto& form = s.form();
  std::vector<std::string> status = form.Texts(Seen::Kind::Status);
  ASSERT_FALSE(status.empty());
  EXPECT_EQ(status.front(), kInstallingText);
  EXPECT_EQ(status.back(), kDoneText);
  std::vector<Seen> boxes = form.Of(Seen::Kind::Box);
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].caption, kSuccessCaption);
  EXPECT_EQ(boxes[0].text.rfind("Обновление выполнено успешно! Общее время ", 0), 0u)
      << boxes[0].text;
  EXPECT_EQ(form.Values(Seen::Kind::Picture), (std::vector<int>{kStatusReady, kStatusRunning}));

  std::vector<int> progress = form.Values(Seen::Kind::Progress);
  // Every milestone of the job, in order.
  std::vector<int> milestones = {0,  1,  2,  3,  7,  8,  9,  10, 19, 20, 21, 22, 23, 24,
                                 25, 26, 50, 80, 81, 82, 94, 95, 96, 97, 98, 99, 100};
  size_t at = 0;
  for (int p : progress) {
    if (at < milestones.size() && p == milestones[at]) ++at;
  }
  EXPECT_EQ(at, milestones.size())
      << "missing milestone " << (at < milestones.size() ? milestones[at] : -1);
  EXPECT_EQ(progress.back(), 100);

  // The log text begins with its header.
  std::string log = form.LogText(0);
  EXPECT_EQ(log.rfind("Current Version : ", 0), 0u) << log;
  EXPECT_NE(log.find("\nDownload Version : C:\\Program Files\\Windows Service\\Dunmarnewversion\n"),
            std::string::npos);
  EXPECT_NE(
      log.find(
          "\nArmprg path : C:\\Program Files\\Windows Service\\Dunmarnewversion\\armprg.bin\n\n"),
      std::string::npos);
  // Success writes no action log, and the written-out release is gone.
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::path(s.startup_) / "Logs"));
  EXPECT_FALSE(std::filesystem::exists(s.releaseDir_ / "amss.mbn"));
}

}  // namespace
}  // namespace quorrel

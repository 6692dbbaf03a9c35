// Whole downloads against a modem whose every reply reaches the port in
// pieces, as replies longer than one USB packet do: each must end with the
// release in flash, never with a good reply judged corrupt.
#include <gtest/gtest.h>

#include <string>

#include "jobs/download_job.h"
#include "support/sim_line.h"

namespace quorrel {
namespace {

using testsupport::SimLine;

// Resource ids of the embedded release.
constexpr int kPartition = 169, kCfgData = 171, kQcsbl = 172, kOemsblHd = 167, kOemsbl = 168,
              kAmssHd = 163, kAmss = 164, kEfs = 166, kNandHd = 184, kNand = 185;

sim::ReplyFault SplitFault(std::optional<sim::ModemMode> mode, size_t piece, uint32_t cuts,
                           uint64_t intervalMs) {
  sim::ReplyFault f;
  f.kind = sim::ReplyFault::Kind::Split;
  f.match.count = 0;  // every reply
  f.match.mode = mode;
  f.pieceSize = piece;
  f.randomCuts = cuts;
  f.intervalMs = intervalMs;
  return f;
}

// Runs a whole download and checks that it succeeded with the release in
// flash and the NV items back.
void ExpectFlashedDownload(sim::ModemConfig config) {
  SimLine s(std::move(config));
  s.PlugInAndFind();
  ASSERT_TRUE(s.StartAndWait());
  sim::VirtualModem& m = s.modem();
  const std::string lastStatus = s.form().Texts(testsupport::Seen::Kind::Status).empty()
                                     ? ""
                                     : s.form().Texts(testsupport::Seen::Kind::Status).back();
  ASSERT_EQ(s.controller().LastOutcome(0), JobOutcome::Succeeded) << lastStatus;
  EXPECT_EQ(s.exitCode_, 0);
  EXPECT_TRUE(m.Violations().empty()) << m.Violations().front().text;
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
  EXPECT_GE(m.NvWrites().size(), 713u);
  EXPECT_EQ(m.Autorun(), 1);
}

// Fixed piece sizes. In the firmware the pieces follow each other closely
// (its replies are long and some time-outs short); the downloader's and the
// programmer's replies come with a pause after every piece, longer than any
// reader's sampling interval, so every piece is read on its own.
TEST(SplitRepliesEndToEnd, EveryPieceSizeFlashesTheRelease) {
  std::vector<size_t> sizes;
  for (size_t n = 1; n <= 16; ++n) sizes.push_back(n);
  for (size_t n : {24, 32, 64, 200}) sizes.push_back(n);
  for (size_t piece : sizes) {
    SCOPED_TRACE("pieces of " + std::to_string(piece) + " bytes");
    sim::ModemConfig config;
    config.faults.replies.push_back(SplitFault(std::nullopt, piece, 0, 1));
    config.faults.replies.push_back(SplitFault(sim::ModemMode::Downloader, piece, 0, 12));
    config.faults.replies.push_back(SplitFault(sim::ModemMode::Programmer, piece, 0, 12));
    ExpectFlashedDownload(config);
    if (::testing::Test::HasFatalFailure()) return;
  }
}

// Every reply of every mode cut at one to three points drawn from the seed,
// with a pause at each cut longer than the slowest sampling interval.
TEST(SplitRepliesEndToEnd, RandomSplitPointsFlashTheRelease) {
  for (uint64_t seed : {1, 2, 3, 4, 5, 6}) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    sim::ModemConfig config;
    config.seed = seed;
    config.faults.replies.push_back(SplitFault(std::nullopt, 1, 3, 35));
    ExpectFlashedDownload(config);
    if (::testing::Test::HasFatalFailure()) return;
  }
}

}  // namespace
}  // namespace quorrel

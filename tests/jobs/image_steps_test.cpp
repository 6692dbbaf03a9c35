#include "jobs/image_steps.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <numeric>
#include <optional>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "jobs/fake_phone.h"
#include "platform/paths.h"
#include "platform/scoped_root.h"
#include "support/peer_link.h"

namespace quorrel {
namespace {

using testsupport::Bytes;
using testsupport::Failure;
using testsupport::FakePhone;
using testsupport::FakeReply;
using testsupport::FakeRequest;
using testsupport::LineBench;
using testsupport::Proto;
using testsupport::WriteFileAt;

// Virtual time of a stream write answered at once (two samples, 5 and 8 ms).
constexpr uint64_t kWriteMs = 13;

constexpr uint8_t kDmssWrite = 0x0F, kStreamWrite = 0x07, kClose = 0x15, kPartition = 0x19,
                  kOpenImage = 0x1B;

Bytes Pattern(size_t n, uint8_t seed = 1) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(seed + i * 7 + i / 251);
  return b;
}

struct ImageBench : LineBench {
  testing::ScopedRoot root;
  SettingsRecord& s = doc.line(0).settings;

  ImageBench() {
    (void)s.armprgPath.Set("C:\\rel\\armprg.bin");
    (void)s.partitionPath.Set("C:\\rel\\partition.mbn");
    (void)s.qcsblhdCfgdataPath.Set("C:\\rel\\qcsblhd_cfgdata.mbn");
    (void)s.qcsblPath.Set("C:\\rel\\qcsbl.mbn");
    (void)s.oemsblhdPath.Set("C:\\rel\\oemsblhd.mbn");
    (void)s.oemsblPath.Set("C:\\rel\\oemsbl.mbn");
    (void)s.amsshdPath.Set("C:\\rel\\amsshd.mbn");
    (void)s.amssPath.Set("C:\\rel\\amss.mbn");
    (void)s.efsPath.Set("C:\\rel\\efs.mbn");
    (void)s.nandprghdPath.Set("C:\\rel\\nandprghd.mbn");
    (void)s.nandprgcombinedPath.Set("C:\\rel\\nandprgcombined.mbn");
  }

  // The stream writes: (address, data), in order.
  std::vector<std::pair<uint32_t, Bytes>> Writes() {
    std::vector<std::pair<uint32_t, Bytes>> out;
    for (const auto& r : phone.Requests(Proto::Download, kStreamWrite)) {
      out.emplace_back(FakePhone::Le32At(r.packet, 1), Bytes(r.packet.begin() + 5, r.packet.end()));
    }
    return out;
  }
  std::vector<uint32_t> WriteAddresses() {
    std::vector<uint32_t> out;
    for (const auto& w : Writes()) out.push_back(w.first);
    return out;
  }
  std::vector<int> Progress() {
    std::vector<int> out;
    for (const auto& e : display.Events(DisplayEvent::Kind::SetProgress)) out.push_back(e.value);
    return out;
  }
  std::vector<std::string> Status() { return display.StatusTexts(0); }
};

std::vector<uint32_t> Offsets(size_t length, size_t block) {
  std::vector<uint32_t> out;
  for (size_t o = 0; o < length; o += block) out.push_back(static_cast<uint32_t>(o));
  return out;
}

// ---------------------------------------------------------------------------

TEST(NvDirectoryCheck, ExistingFolderPassesAMissingOneIsReportedAndNotMade) {
  ImageBench b;
  std::filesystem::create_directories(MapPath("C:\\nv"));
  EXPECT_TRUE(CheckNvDirectory(b.env, "C:\\nv"));
  EXPECT_TRUE(CheckNvDirectory(b.env, "C:\\nv\\"));
  EXPECT_TRUE(b.display.Messages().empty());
  EXPECT_FALSE(CheckNvDirectory(b.env, "C:\\missing"));
  EXPECT_EQ(b.display.Messages(), std::vector<std::string>{"Cannot create directory:C:\\missing"});
  EXPECT_FALSE(std::filesystem::exists(MapPath("C:\\missing")));
}

// ---------------------------------------------------------------------------
// Programmer upload

TEST(UploadProgrammer, SendsTheFileIn1017ByteChunksFromTheLoadAddress) {
  const std::pair<size_t, std::vector<size_t>> cases[] = {
      {1, {1}}, {1017, {1017}}, {1018, {1017, 1}}, {2034, {1017, 1017}}, {2035, {1017, 1017, 1}}};
  for (const auto& [size, chunks] : cases) {
    SCOPED_TRACE(size);
    ImageBench b;
    const Bytes file = Pattern(size);
    WriteFileAt("C:\\rel\\armprg.bin", file);
    ASSERT_TRUE(UploadProgrammer(b.env, 0));
    const auto writes = b.phone.Requests(Proto::Download, kDmssWrite);
    ASSERT_EQ(writes.size(), chunks.size());
    Bytes joined;
    uint32_t offset = 0;
    for (size_t i = 0; i < writes.size(); ++i) {
      const Bytes& p = writes[i].packet;
      const uint32_t address = static_cast<uint32_t>(p[1]) << 24 | p[2] << 16 | p[3] << 8 | p[4];
      const size_t length = static_cast<size_t>(p[5] << 8 | p[6]);
      EXPECT_EQ(address, kProgrammerLoadAddress + offset);
      EXPECT_EQ(length, chunks[i]);
      joined.insert(joined.end(), p.begin() + 7, p.end());
      offset += static_cast<uint32_t>(length);
    }
    EXPECT_EQ(joined, file);
  }
}

TEST(UploadProgrammer, MissingEmptyOrRefusedProgrammerFails) {
  {
    ImageBench b;
    EXPECT_FALSE(UploadProgrammer(b.env, 0));
    EXPECT_EQ(b.link().LastError(), "Line1 :\tOpen armprg.bin fail!");
    EXPECT_EQ(b.display.Messages(), std::vector<std::string>{"Line1 :\tOpen armprg.bin fail!"});
    EXPECT_TRUE(b.phone.Requests().empty());
  }
  {
    ImageBench b;
    WriteFileAt("C:\\rel\\armprg.bin", {});
    EXPECT_FALSE(UploadProgrammer(b.env, 0));
    EXPECT_TRUE(b.phone.Requests().empty());
  }
  {
    // The first chunk's three tries all unanswered: no second chunk.
    ImageBench b;
    WriteFileAt("C:\\rel\\armprg.bin", Pattern(3000));
    b.phone.FailNext(Proto::Download, kDmssWrite, 3);
    EXPECT_FALSE(UploadProgrammer(b.env, 0));
    EXPECT_EQ(b.phone.Requests(Proto::Download, kDmssWrite).size(), 3u);
    EXPECT_NE(b.link().LastError().find("Write a Block of Data to Memory Failed"),
              std::string::npos);
  }
}

// ---------------------------------------------------------------------------
// Partition table

TEST(PartitionTable, FileChecksBeforeAnythingIsSent) {
  struct Case {
    const char* name;
    std::optional<size_t> size;  // nullopt: no file
    std::string status;
  };
  const Case cases[] = {
      {"missing", std::nullopt, "open file fail!"},
      {"empty", 0, "The length of file is not correct"},
      {"longer than a request carries", 1025,
       "The file C:\\rel\\partition.mbn has 1025 bytes, more than the 1024 bytes it may have"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ImageBench b;
    if (c.size) WriteFileAt("C:\\rel\\partition.mbn", Pattern(*c.size));
    EXPECT_FALSE(WritePartitionTable(b.env, 0));
    EXPECT_EQ(b.Status(), std::vector<std::string>{c.status});
    EXPECT_TRUE(b.phone.Requests().empty());
  }
}

TEST(PartitionTable, WholeFileInOneRequestTriedThreeTimes) {
  for (int failures : {0, 2, 3}) {
    SCOPED_TRACE(failures);
    ImageBench b;
    const Bytes table = Pattern(1024);
    WriteFileAt("C:\\rel\\partition.mbn", table);
    b.phone.FailNext(Proto::Download, kPartition, failures);
    EXPECT_EQ(WritePartitionTable(b.env, 0), failures < 3);
    const auto requests = b.phone.Requests(Proto::Download, kPartition);
    ASSERT_EQ(requests.size(), static_cast<size_t>(std::min(failures + 1, 3)));
    Bytes expected{kPartition, 0x01};
    expected.insert(expected.end(), table.begin(), table.end());
    EXPECT_EQ(requests[0].packet, expected);
  }
}

// ---------------------------------------------------------------------------
// Plain images

TEST(PlainImage, OpensStreamsInBlocksAndCloses) {
  struct Case {
    PlainImage which;
    const char* file;
    uint8_t type;
    size_t size;
  };
  const Case cases[] = {
      {PlainImage::QcsblHdCfgData, "C:\\rel\\qcsblhd_cfgdata.mbn", 2, 1024},
      {PlainImage::Qcsbl, "C:\\rel\\qcsbl.mbn", 3, 1025},
      {PlainImage::Qcsbl, "C:\\rel\\qcsbl.mbn", 3, 3000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.size);
    ImageBench b;
    const Bytes file = Pattern(c.size);
    WriteFileAt(c.file, file);
    ASSERT_TRUE(WritePlainImage(b.env, 0, c.which));
    const auto requests = b.phone.Requests();
    EXPECT_EQ(requests.front().packet, (Bytes{kOpenImage, c.type}));
    EXPECT_EQ(requests.back().code(), kClose);
    EXPECT_EQ(b.WriteAddresses(), Offsets(c.size, 1024));
    Bytes joined;
    for (const auto& w : b.Writes()) joined.insert(joined.end(), w.second.begin(), w.second.end());
    EXPECT_EQ(joined, file);
  }
}

TEST(PlainImage, Failures) {
  struct Case {
    const char* name;
    std::optional<size_t> size;
    std::function<void(FakePhone&)> setup;
    size_t writes;
    bool closeSent;
    bool statusIsReason;  // the link's last error is logged
  };
  const Case cases[] = {
      {"missing", std::nullopt, [](FakePhone&) {}, 0, false, false},
      {"empty: nothing sent", 0, [](FakePhone&) {}, 0, false, false},
      {"open refused twice", 2000, [](FakePhone& p) { p.FailNext(Proto::Download, kOpenImage, 4); },
       0, false, false},
      {"block refused", 3000,
       [](FakePhone& p) { p.FailNext(Proto::Download, kStreamWrite, 1, Failure::ErrorReply); }, 1,
       false, true},
      {"close refused", 2000,
       [](FakePhone& p) { p.FailNext(Proto::Download, kClose, 3, Failure::ErrorReply); }, 2, true,
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ImageBench b;
    if (c.size) WriteFileAt("C:\\rel\\qcsbl.mbn", Pattern(*c.size));
    c.setup(b.phone);
    EXPECT_FALSE(WritePlainImage(b.env, 0, PlainImage::Qcsbl));
    EXPECT_EQ(b.Writes().size(), c.writes);
    EXPECT_EQ(!b.phone.Requests(Proto::Download, kClose).empty(), c.closeSent);
    if (c.statusIsReason) {
      EXPECT_EQ(b.Status(), std::vector<std::string>{b.link().LastError()});
    } else {
      EXPECT_TRUE(b.Status().empty());
    }
    if (c.size && *c.size == 0) {
      EXPECT_TRUE(b.phone.Requests().empty());
    }
  }
}

TEST(PlainImage, OpenRefusedOnceStillWritesTheImage) {
  ImageBench b;
  WriteFileAt("C:\\rel\\qcsbl.mbn", Pattern(10));
  b.phone.FailNext(Proto::Download, kOpenImage, 2);  // one call: two tries
  EXPECT_TRUE(WritePlainImage(b.env, 0, PlainImage::Qcsbl));
  EXPECT_EQ(b.WriteAddresses(), std::vector<uint32_t>{0});
  EXPECT_EQ(b.phone.Requests().back().code(), kClose);
}

// ---------------------------------------------------------------------------
// Images with a header

TEST(HeaderedImage, HeaderGoesWithTheOpenAndTheImageFollows) {
  const std::tuple<HeaderedImage, const char*, const char*, uint8_t> cases[] = {
      {HeaderedImage::Oemsbl, "C:\\rel\\oemsblhd.mbn", "C:\\rel\\oemsbl.mbn", 4},
      {HeaderedImage::Amss, "C:\\rel\\amsshd.mbn", "C:\\rel\\amss.mbn", 5},
      {HeaderedImage::NandProgrammer, "C:\\rel\\nandprghd.mbn", "C:\\rel\\nandprgcombined.mbn", 10},
  };
  for (const auto& [which, header, image, type] : cases) {
    SCOPED_TRACE(static_cast<int>(type));
    ImageBench b;
    const Bytes h = Pattern(1024, 9), file = Pattern(2500, 3);
    WriteFileAt(header, h);
    WriteFileAt(image, file);
    ASSERT_TRUE(WriteImageWithHeader(b.env, 0, which));
    Bytes open{kOpenImage, type};
    open.insert(open.end(), h.begin(), h.end());
    EXPECT_EQ(b.phone.Requests().front().packet, open);
    EXPECT_EQ(b.WriteAddresses(), (std::vector<uint32_t>{0, 1024, 2048}));
    EXPECT_EQ(b.phone.Requests().back().code(), kClose);
  }
}

TEST(HeaderedImage, HeaderAndImageFileProblems) {
  struct Case {
    const char* name;
    HeaderedImage which;
    std::optional<size_t> header;
    std::optional<size_t> image;
    bool result;
    std::vector<std::string> status;
    bool anythingSent;
  };
  const std::string tooLong =
      "The file C:\\rel\\%s has 1025 bytes, more than the 1024 bytes it may have";
  auto longText = [&](const char* name) {
    std::string t = tooLong;
    return t.replace(t.find("%s"), 2, name);
  };
  const Case cases[] = {
      {"no NAND programmer header: skipped",
       HeaderedImage::NandProgrammer,
       std::nullopt,
       100,
       true,
       {"open file fail"},
       false},
      {"no oemsbl header", HeaderedImage::Oemsbl, std::nullopt, 100, false, {}, false},
      {"no amss header", HeaderedImage::Amss, std::nullopt, 100, false, {}, false},
      {"empty NAND programmer header",
       HeaderedImage::NandProgrammer,
       0,
       100,
       false,
       {"The file's length is error"},
       false},
      {"empty oemsbl header", HeaderedImage::Oemsbl, 0, 100, false, {}, false},
      {"long amss header", HeaderedImage::Amss, 1025, 100, false, {longText("amsshd.mbn")}, false},
      {"long NAND programmer header",
       HeaderedImage::NandProgrammer,
       1025,
       100,
       false,
       {longText("nandprghd.mbn")},
       false},
      {"no NAND programmer image",
       HeaderedImage::NandProgrammer,
       10,
       std::nullopt,
       false,
       {"Open file fail"},
       true},
      {"empty oemsbl image", HeaderedImage::Oemsbl, 10, 0, false, {}, true},
      {"empty amss image",
       HeaderedImage::Amss,
       10,
       0,
       false,
       {"The length of file is not correct"},
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ImageBench b;
    const SettingsRecord& s = b.s;
    const bool nand = c.which == HeaderedImage::NandProgrammer;
    const bool amss = c.which == HeaderedImage::Amss;
    const std::string header = nand   ? s.nandprghdPath.str()
                               : amss ? s.amsshdPath.str()
                                      : s.oemsblhdPath.str();
    const std::string image = nand   ? s.nandprgcombinedPath.str()
                              : amss ? s.amssPath.str()
                                     : s.oemsblPath.str();
    if (c.header) WriteFileAt(header, Pattern(*c.header));
    if (c.image) WriteFileAt(image, Pattern(*c.image));
    EXPECT_EQ(WriteImageWithHeader(b.env, 0, c.which), c.result);
    EXPECT_EQ(b.Status(), c.status);
    EXPECT_EQ(!b.phone.Requests().empty(), c.anythingSent);
    EXPECT_TRUE(b.Writes().empty());
  }
}

TEST(HeaderedImage, OpenRefusedUntilItsTriesRunOutFailsBeforeAnyBlock) {
  struct Case {
    const char* name;
    HeaderedImage which;
    int failures;  // requests: an open is two tries
    bool result;
    std::vector<std::string> status;
  };
  const Case cases[] = {
      {"oemsbl never", HeaderedImage::Oemsbl, 4, false, {}},
      {"amss at the third call", HeaderedImage::Amss, 4, true, {}},
      {"amss never", HeaderedImage::Amss, 6, false, {}},
      {"NAND programmer at the fourth call", HeaderedImage::NandProgrammer, 6, true, {}},
      {"NAND programmer never",
       HeaderedImage::NandProgrammer,
       8,
       false,
       {"download nandprghd fail!"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ImageBench b;
    WriteFileAt(b.s.oemsblhdPath.view(), Pattern(8));
    WriteFileAt(b.s.amsshdPath.view(), Pattern(8));
    WriteFileAt(b.s.nandprghdPath.view(), Pattern(8));
    WriteFileAt(b.s.oemsblPath.view(), Pattern(100));
    WriteFileAt(b.s.amssPath.view(), Pattern(100));
    WriteFileAt(b.s.nandprgcombinedPath.view(), Pattern(100));
    b.phone.FailNext(Proto::Download, kOpenImage, c.failures);
    EXPECT_EQ(WriteImageWithHeader(b.env, 0, c.which), c.result);
    EXPECT_EQ(b.Writes().size(), c.result ? 1u : 0u);
    EXPECT_EQ(b.Status(), c.status);
  }
}

// Refuses the write of one address a number of times.
void RefuseBlock(FakePhone& phone, uint32_t address, int times) {
  phone.SetInterceptor(
      [address, times](const FakeRequest& r, std::optional<FakeReply>& reply) mutable {
        if (r.proto != Proto::Download || r.code() != kStreamWrite ||
            FakePhone::Le32At(r.packet, 1) != address || times == 0) {
          return false;
        }
        --times;
        reply = FakeReply{Bytes{0x0D, 0x01, 0, 0, 0}};
        return true;
      });
}

TEST(HeaderedImage, RefusedBlockIsWrittenAgainOrFailsTheImage) {
  struct Case {
    const char* name;
    HeaderedImage which;
    int refusals;
    bool result;
  };
  const Case cases[] = {
      {"oemsbl: one try", HeaderedImage::Oemsbl, 1, false},
      {"amss: fourth try succeeds", HeaderedImage::Amss, 3, true},
      {"amss: four refusals", HeaderedImage::Amss, 4, false},
      {"NAND programmer: fourth try succeeds", HeaderedImage::NandProgrammer, 3, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ImageBench b;
    for (auto path : {b.s.oemsblhdPath.view(), b.s.amsshdPath.view(), b.s.nandprghdPath.view()}) {
      WriteFileAt(path, Pattern(8));
    }
    for (auto path : {b.s.oemsblPath.view(), b.s.amssPath.view(), b.s.nandprgcombinedPath.view()}) {
      WriteFileAt(path, Pattern(3000));
    }
    RefuseBlock(b.phone, 1024, c.refusals);
    EXPECT_EQ(WriteImageWithHeader(b.env, 0, c.which), c.result);
    const std::vector<uint32_t> addresses = b.WriteAddresses();
    if (c.result) {
      // Every block reached the modem, in order, and the image was closed.
      std::vector<uint32_t> accepted;
      for (uint32_t a : addresses) {
        if (accepted.empty() || accepted.back() != a) accepted.push_back(a);
      }
      EXPECT_EQ(accepted, (std::vector<uint32_t>{0, 1024, 2048}));
      EXPECT_EQ(b.phone.Requests().back().code(), kClose);
    } else {
      // Nothing after the refused block, and the refusal in the log.
      EXPECT_EQ(addresses.back(), 1024u);
      EXPECT_EQ(b.Status(), std::vector<std::string>{b.link().LastError()});
      EXPECT_TRUE(b.phone.Requests(Proto::Download, kClose).empty());
    }
  }
}

TEST(HeaderedImage, CloseRefusedIsReportedForAmssOnly) {
  for (HeaderedImage which : {HeaderedImage::Oemsbl, HeaderedImage::Amss}) {
    ImageBench b;
    WriteFileAt(b.s.oemsblhdPath.view(), Pattern(8));
    WriteFileAt(b.s.amsshdPath.view(), Pattern(8));
    WriteFileAt(b.s.oemsblPath.view(), Pattern(100));
    WriteFileAt(b.s.amssPath.view(), Pattern(100));
    b.phone.FailNext(Proto::Download, kClose, 3, Failure::ErrorReply);
    EXPECT_FALSE(WriteImageWithHeader(b.env, 0, which));
    EXPECT_EQ(b.Status(), which == HeaderedImage::Amss ? std::vector<std::string>{"Ошибка"}
                                                       : std::vector<std::string>{});
  }
}

// ---------------------------------------------------------------------------
// The amss image's progress and stop request

TEST(AmssProgress, OnePercentPerShareOfBlocksNeverPastFifty) {
  struct Case {
    size_t kib;
    int raises;  // progress steps taken
    int last;    // the last value shown
  };
  const Case cases[] = {
      {23, 23, 49},  // fewer than 24 blocks: every block
      {24, 24, 50},
      {48, 24, 50},  // every second block
      {47, 47, 50},  // one block per percent, held at the end of the range
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.kib);
    ImageBench b;
    WriteFileAt(b.s.amsshdPath.view(), Pattern(8));
    WriteFileAt(b.s.amssPath.view(), Pattern(c.kib * 1024));
    ASSERT_TRUE(WriteImageWithHeader(b.env, 0, HeaderedImage::Amss));
    const std::vector<int> progress = b.Progress();
    ASSERT_EQ(progress.size(), static_cast<size_t>(c.raises + 1));
    EXPECT_EQ(progress.front(), 26);
    EXPECT_EQ(progress.back(), c.last);
    for (size_t i = 1; i < progress.size(); ++i) {
      EXPECT_LE(progress[i], 50);
      EXPECT_GE(progress[i], progress[i - 1]);
    }
  }
}

TEST(AmssProgress, PacesEachPercentAndRestsAtThirtyAndFortyFive) {
  ImageBench b;
  WriteFileAt(b.s.amsshdPath.view(), Pattern(8));
  WriteFileAt(b.s.amssPath.view(), Pattern(23 * 1024));
  ASSERT_TRUE(WriteImageWithHeader(b.env, 0, HeaderedImage::Amss));
  const auto writes = b.phone.Requests(Proto::Download, kStreamWrite);
  ASSERT_EQ(writes.size(), 23u);
  for (size_t i = 1; i < writes.size(); ++i) {
    const int value = 26 + static_cast<int>(i);  // shown after block i - 1
    const uint64_t rest = value % 15 == 0 ? 2000 : 0;
    EXPECT_EQ(writes[i].atMs - writes[i - 1].atMs, kWriteMs + 50 + rest) << "block " << i;
  }
}

TEST(AmssProgress, StopRequestEndsTheImageAtTheNextPercent) {
  for (const auto& [kib, blocks] : {std::pair<size_t, size_t>{10, 1}, {48, 2}}) {
    SCOPED_TRACE(kib);
    ImageBench b;
    b.doc.line(0).runFlag = 0;
    WriteFileAt(b.s.amsshdPath.view(), Pattern(8));
    WriteFileAt(b.s.amssPath.view(), Pattern(kib * 1024));
    EXPECT_FALSE(WriteImageWithHeader(b.env, 0, HeaderedImage::Amss));
    EXPECT_EQ(b.Writes().size(), blocks);
    EXPECT_TRUE(b.phone.Requests(Proto::Download, kClose).empty());
    EXPECT_TRUE(b.Status().empty());
  }
}

// ---------------------------------------------------------------------------
// EFS image

// Acknowledges stream writes except the first sending of some addresses;
// every later sending is acknowledged.
void LoseFirstAcks(FakePhone& phone, std::set<uint32_t> lost) {
  auto seen = std::make_shared<std::map<uint32_t, int>>();
  phone.SetInterceptor([lost, seen](const FakeRequest& r, std::optional<FakeReply>& reply) {
    if (r.proto != Proto::Download || r.code() != kStreamWrite) return false;
    const uint32_t address = FakePhone::Le32At(r.packet, 1);
    if ((*seen)[address]++ == 0 && lost.count(address)) {
      reply.reset();
      return true;
    }
    return false;
  });
}

TEST(EfsImage, AckOfTheThirdInFlightBlockMarksTheFirstTwoForResending) {
  ImageBench b;
  const Bytes file = Pattern(5 * 1024 + 100);
  WriteFileAt(b.s.efsPath.view(), file);
  LoseFirstAcks(b.phone, {0, 1024});
  ASSERT_TRUE(WriteEfsImage(b.env, 0));
  EXPECT_EQ(b.WriteAddresses(), (std::vector<uint32_t>{0, 1024, 2048, 3072, 4096, 5120, 0, 1024}));
  const auto writes = b.Writes();
  EXPECT_EQ(writes[6].second, Bytes(file.begin(), file.begin() + 1024));
  EXPECT_EQ(writes[7].second, Bytes(file.begin() + 1024, file.begin() + 2048));
  EXPECT_EQ(writes[5].second.size(), 100u);
  EXPECT_EQ(b.phone.Requests().front().packet, (Bytes{kOpenImage, 9}));
  EXPECT_EQ(b.phone.Requests().back().code(), kClose);
  EXPECT_EQ(b.Progress().back(), 80);
}

TEST(EfsImage, UnacknowledgedTailIsResent) {
  ImageBench b;
  WriteFileAt(b.s.efsPath.view(), Pattern(3 * 1024));
  LoseFirstAcks(b.phone, {0, 1024, 2048});
  ASSERT_TRUE(WriteEfsImage(b.env, 0));
  const auto writes = b.phone.Requests(Proto::Download, kStreamWrite);
  ASSERT_EQ(writes.size(), 6u);
  EXPECT_EQ(b.WriteAddresses(), (std::vector<uint32_t>{0, 1024, 2048, 0, 1024, 2048}));
}

TEST(EfsImage, FullWindowWithoutAnyAcknowledgementGivesUpAfterTwentySeconds) {
  ImageBench b;
  WriteFileAt(b.s.efsPath.view(), Pattern(10 * 1024));
  b.phone.FailNext(Proto::Download, kStreamWrite, 100);
  EXPECT_FALSE(WriteEfsImage(b.env, 0));
  const auto writes = b.phone.Requests(Proto::Download, kStreamWrite);
  ASSERT_EQ(writes.size(), 5u);
  EXPECT_EQ(b.Now() - writes.back().atMs, kEfsAckTimeoutMs);
  EXPECT_EQ(b.Status(), std::vector<std::string>{"No return value,write operation fail!"});
  EXPECT_TRUE(b.phone.Requests(Proto::Download, kClose).empty());
}

TEST(EfsImage, FileAndOpenFailures) {
  struct Case {
    const char* name;
    std::optional<size_t> size;
    int openFailures;
    std::string status;
  };
  const Case cases[] = {
      {"missing", std::nullopt, 0, "Open EFS file fail!"},
      {"empty", 0, 0, "EFS file's length is not correct"},
      {"open refused three times", 100, 6, "Enter Download EFS mode fail!"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ImageBench b;
    if (c.size) WriteFileAt(b.s.efsPath.view(), Pattern(*c.size));
    b.phone.FailNext(Proto::Download, kOpenImage, c.openFailures);
    EXPECT_FALSE(WriteEfsImage(b.env, 0));
    EXPECT_EQ(b.Status(), std::vector<std::string>{c.status});
    EXPECT_TRUE(b.Writes().empty());
  }
}

TEST(EfsImage, StopRequestIsSeenWhenTheProgressNextAdvances) {
  for (const auto& [kib, blocks] : {std::pair<size_t, size_t>{10, 1}, {60, 2}}) {
    SCOPED_TRACE(kib);
    ImageBench b;
    b.doc.line(0).runFlag = 0;
    WriteFileAt(b.s.efsPath.view(), Pattern(kib * 1024));
    EXPECT_FALSE(WriteEfsImage(b.env, 0));
    EXPECT_EQ(b.Writes().size(), blocks);
    EXPECT_EQ(b.Status(), std::vector<std::string>{"下载线程被人为终止!"});
  }
}

TEST(EfsImage, ProgressStaysWithinFiftyToEighty) {
  for (size_t kib : {size_t{29}, size_t{30}, size_t{59}, size_t{90}}) {
    SCOPED_TRACE(kib);
    ImageBench b;
    WriteFileAt(b.s.efsPath.view(), Pattern(kib * 1024));
    ASSERT_TRUE(WriteEfsImage(b.env, 0));
    const auto progress = b.Progress();
    EXPECT_EQ(progress.front(), 50);
    EXPECT_EQ(progress.back(), 80);
    for (int v : progress) EXPECT_LE(v, 80);
  }
}

TEST(EfsImage, MoreThanSixThousandUnansweredBlocksFail) {
  // Only every fifth block is acknowledged, which leaves the four before it
  // unanswered: 7,500 blocks leave 6,000 (written again), 7,505 leave 6,004.
  for (const auto& [blocks, ok] : {std::pair<size_t, bool>{7500, true}, {7505, false}}) {
    SCOPED_TRACE(blocks);
    ImageBench b;
    WriteFileAt(b.s.efsPath.view(), Pattern(blocks * 1024));
    std::set<uint32_t> lost;
    for (size_t i = 0; i < blocks; ++i) {
      if (i % 5 != 4) lost.insert(static_cast<uint32_t>(i * 1024));
    }
    LoseFirstAcks(b.phone, lost);
    EXPECT_EQ(WriteEfsImage(b.env, 0), ok);
    const size_t sent = b.phone.Requests(Proto::Download, kStreamWrite).size();
    EXPECT_EQ(sent, ok ? blocks + 6000 : blocks);
    if (!ok) {
      EXPECT_EQ(b.Status(),
                std::vector<std::string>{"Too many data block is not responsed,download fail!"});
    }
  }
}

// ---------------------------------------------------------------------------
// Acknowledgements and a programmer that stops answering

// Leaves the acknowledgement of some addresses out: lost[address] of their
// sendings (-1: every one).
void LoseAcks(FakePhone& phone, std::map<uint32_t, int> lost) {
  auto seen = std::make_shared<std::map<uint32_t, int>>();
  phone.SetInterceptor([lost, seen](const FakeRequest& r, std::optional<FakeReply>& reply) {
    if (r.proto != Proto::Download || r.code() != kStreamWrite) return false;
    const uint32_t address = FakePhone::Le32At(r.packet, 1);
    const auto it = lost.find(address);
    if (it == lost.end()) return false;
    if (it->second >= 0 && (*seen)[address]++ >= it->second) return false;
    reply.reset();
    return true;
  });
}

// Writes the image files of every image step; the image holds `blocks`
// 1024-byte blocks.
void WriteAllImages(ImageBench& b, size_t blocks) {
  for (auto path : {b.s.oemsblhdPath.view(), b.s.amsshdPath.view(), b.s.nandprghdPath.view()}) {
    WriteFileAt(path, Pattern(8));
  }
  for (auto path : {b.s.qcsblPath.view(), b.s.oemsblPath.view(), b.s.amssPath.view(),
                    b.s.nandprgcombinedPath.view(), b.s.efsPath.view()}) {
    WriteFileAt(path, Pattern(blocks * 1024));
  }
}

struct StepUnderTest {
  const char* name;
  std::function<bool(JobEnvironment&)> run;
};

const StepUnderTest kAcknowledgedSteps[] = {
    {"qcsbl", [](JobEnvironment& e) { return WritePlainImage(e, 0, PlainImage::Qcsbl); }},
    {"oemsbl", [](JobEnvironment& e) { return WriteImageWithHeader(e, 0, HeaderedImage::Oemsbl); }},
    {"amss", [](JobEnvironment& e) { return WriteImageWithHeader(e, 0, HeaderedImage::Amss); }},
    {"NAND programmer",
     [](JobEnvironment& e) { return WriteImageWithHeader(e, 0, HeaderedImage::NandProgrammer); }},
};

TEST(Acknowledgements, LostOneIsWrittenAgainBeforeTheClose) {
  for (const StepUnderTest& step : kAcknowledgedSteps) {
    SCOPED_TRACE(step.name);
    ImageBench b;
    WriteAllImages(b, 4);
    LoseAcks(b.phone, {{1024, 1}});
    ASSERT_TRUE(step.run(b.env));
    EXPECT_EQ(b.WriteAddresses(), (std::vector<uint32_t>{0, 1024, 2048, 3072, 1024}));
    const Bytes file = Pattern(4096);
    EXPECT_EQ(b.Writes().back().second, Bytes(file.begin() + 1024, file.begin() + 2048));
    const auto requests = b.phone.Requests();
    EXPECT_EQ(requests.back().code(), kClose);
    EXPECT_EQ(requests[requests.size() - 2].code(), kStreamWrite);
  }
}

TEST(Acknowledgements, LateOneCountsAndNothingIsWrittenAgain) {
  // The acknowledgement of block 1 comes after the write's own wait, with
  // the reply to block 2.
  ImageBench b;
  WriteAllImages(b, 3);
  b.phone.SetInterceptor([](const FakeRequest& r, std::optional<FakeReply>& reply) {
    if (r.proto != Proto::Download || r.code() != kStreamWrite) return false;
    const uint32_t address = FakePhone::Le32At(r.packet, 1);
    if (address != 1024) return false;
    reply = FakeReply{Bytes{0x08, 0x00, 0x04, 0x00, 0x00}, kAckWaitMs + 500};
    return true;
  });
  ASSERT_TRUE(WritePlainImage(b.env, 0, PlainImage::Qcsbl));
  EXPECT_EQ(b.WriteAddresses(), (std::vector<uint32_t>{0, 1024, 2048}));
}

TEST(Acknowledgements, BlockThatStaysUnacknowledgedFailsTheStepBeforeTheClose) {
  std::vector<StepUnderTest> steps(std::begin(kAcknowledgedSteps), std::end(kAcknowledgedSteps));
  steps.push_back({"EFS", [](JobEnvironment& e) { return WriteEfsImage(e, 0); }});
  for (const StepUnderTest& step : steps) {
    SCOPED_TRACE(step.name);
    ImageBench b;
    WriteAllImages(b, 3);
    LoseAcks(b.phone, {{1024, -1}});
    EXPECT_FALSE(step.run(b.env));
    // Sent once in order, then three more times: at once, after 2 s and
    // after 5 s, each waiting for its acknowledgement.
    EXPECT_EQ(b.WriteAddresses(), (std::vector<uint32_t>{0, 1024, 2048, 1024, 1024, 1024}));
    const std::vector<std::string> status = b.Status();
    ASSERT_FALSE(status.empty());
    EXPECT_EQ(status.back(),
              "Write a Block of Data to Memory Failed, Since the Phone did not Acknowledge the "
              "Block at 0x00000400");
    EXPECT_TRUE(b.phone.Requests(Proto::Download, kClose).empty());
  }
}

TEST(SilentProgrammer, EightWritesInARowWithoutAReplyFailTheStepAtOnce) {
  struct Case {
    const char* name;
    size_t answered;  // blocks answered before the programmer falls silent
  };
  const Case cases[] = {{"from the first block", 0}, {"after 5 blocks", 5}};
  for (const StepUnderTest& step : kAcknowledgedSteps) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(step.name) + ", " + c.name);
      ImageBench b;
      WriteAllImages(b, 40);
      auto writes = std::make_shared<size_t>(0);
      b.phone.SetInterceptor([&c, writes](const FakeRequest& r, std::optional<FakeReply>& reply) {
        if (r.proto != Proto::Download || r.code() != kStreamWrite) return false;
        if ((*writes)++ < c.answered) return false;
        reply.reset();
        return true;
      });
      const uint64_t start = b.Now();
      EXPECT_FALSE(step.run(b.env));
      EXPECT_EQ(b.Writes().size(), c.answered + kSilentWriteLimit);
      EXPECT_EQ(b.Status(),
                std::vector<std::string>{
                    "The programmer stopped answering: 8 writes in a row got no reply!"});
      EXPECT_TRUE(b.phone.Requests(Proto::Download, kClose).empty());
      // Eight write waits, not one per block of the image.
      EXPECT_LT(b.Now() - start, (kSilentWriteLimit + 2) * kAckWaitMs);
    }
  }
}

TEST(SilentProgrammer, AReplyInBetweenStartsTheCountAgain) {
  // Seven silent blocks, one answered, seven silent: never eight in a row.
  // The fourteen lost blocks are written again (and acknowledged) before
  // the close.
  ImageBench b;
  WriteAllImages(b, 16);
  std::map<uint32_t, int> lost;
  for (uint32_t block = 1; block < 16; ++block) {
    if (block != 8) lost[block * 1024] = 1;
  }
  LoseAcks(b.phone, lost);
  ASSERT_TRUE(WritePlainImage(b.env, 0, PlainImage::Qcsbl));
  EXPECT_EQ(b.Writes().size(), 16u + 14u);
  EXPECT_EQ(b.phone.Requests().back().code(), kClose);
}

}  // namespace
}  // namespace quorrel

// The virtual modem driven with raw frames: what each mode answers, how it
// moves between modes, and what it records as the host's violations.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>

#include "platform/registry.h"
#include "platform/scoped_root.h"
#include "raw_host.h"
#include "sim/in_process.h"
#include "sim/usb_registry.h"
#include "support/byte_pattern.h"
#include "util/md5.h"

namespace quorrel::simtest {
namespace {

using testsupport::Pattern;

using sim::ModemConfig;
using sim::ModemMode;

Bytes Cat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

Bytes NvPacket(uint8_t code, uint16_t item, uint8_t fill) {
  // Filled in place: GCC 12 at -O3 sees a false out-of-bounds move when the
  // data is inserted behind a three-byte initializer (-Warray-bounds).
  Bytes p(3 + 128 + 2, fill);
  p[0] = code;
  p[1] = static_cast<uint8_t>(item);
  p[2] = static_cast<uint8_t>(item >> 8);
  p[131] = 0;
  p[132] = 0;
  return p;
}

Bytes HelloPacket() {
  Bytes p{0x01};
  const std::string magic = "QCOM fast download protocol host";
  p.insert(p.end(), magic.begin(), magic.end());
  p.insert(p.end(), {0x02, 0x02, 0x03});
  return p;
}

Bytes StreamWritePacket(uint32_t address, const Bytes& data) {
  Bytes p{0x07, static_cast<uint8_t>(address), static_cast<uint8_t>(address >> 8),
          static_cast<uint8_t>(address >> 16), static_cast<uint8_t>(address >> 24)};
  return Cat(p, data);
}

Bytes DmssWritePacket(uint32_t address, const Bytes& data) {
  Bytes p{0x0F,
          static_cast<uint8_t>(address >> 24),
          static_cast<uint8_t>(address >> 16),
          static_cast<uint8_t>(address >> 8),
          static_cast<uint8_t>(address),
          static_cast<uint8_t>(data.size() >> 8),
          static_cast<uint8_t>(data.size())};
  return Cat(p, data);
}

class ModemTest : public ::testing::Test {
 protected:
  void Start(ModemConfig config = {}) {
    modem_ = std::make_unique<sim::InProcessModem>(clock_, ports_, std::move(config));
    modem_->PlugIn();
    ASSERT_TRUE(diag_.Open(modem_->DiagPort()));
    ASSERT_TRUE(data_.Open(modem_->DataPort()));
  }
  sim::VirtualModem& device() { return modem_->device(); }
  size_t Violations() { return device().Violations().size(); }

  // Into the downloader: the switch, then its start-up time.
  void EnterDownloader() {
    ASSERT_EQ(diag_.AskOne(DiagFrame({0x3A})), Bytes{0x3A});
    clock_.Advance(device().config().timings.downloaderStartMs);
    ASSERT_EQ(device().Mode(), ModemMode::Downloader);
  }
  // Into the programmer: upload, go, start-up, hello.
  void EnterProgrammer(const Bytes& programmer = Pattern(3000, 9)) {
    EnterDownloader();
    for (size_t at = 0; at < programmer.size(); at += 1017) {
      Bytes chunk(programmer.begin() + static_cast<long>(at),
                  programmer.begin() + static_cast<long>(std::min(programmer.size(), at + 1017)));
      ASSERT_EQ(
          diag_.AskOne(DlFrame(DmssWritePacket(0x00800000 + static_cast<uint32_t>(at), chunk))),
          Bytes{0x02});
    }
    ASSERT_EQ(diag_.AskOne(DlFrame({0x05, 0x00, 0x80, 0x00, 0x00})), Bytes{0x02});
    clock_.Advance(device().config().timings.programmerStartMs);
    ASSERT_EQ(device().Mode(), ModemMode::Programmer);
    Bytes hello = diag_.AskOne(DlFrame(HelloPacket()));
    ASSERT_FALSE(hello.empty());
    ASSERT_EQ(hello[0], 0x02);
  }
  void PrepareFlash() {
    ASSERT_EQ(diag_.AskOne(DlFrame({0x17, 0x01})), Bytes{0x18});
    ASSERT_EQ(diag_.AskOne(DlFrame(Cat({0x19, 0x01}, Pattern(464, 1)))), (Bytes{0x1A, 0x00}));
  }

  testing::ScopedRoot root_;
  VirtualClock clock_;
  MemoryPorts ports_;
  std::unique_ptr<sim::InProcessModem> modem_;
  RawPort diag_{clock_, ports_};
  RawPort data_{clock_, ports_};
};

// ---------------------------------------------------------------- firmware

struct DiagCase {
  const char* name;
  Bytes request;
  Bytes reply;
  bool violation;
};

TEST_F(ModemTest, FirmwareAnswersEachDiagnosticRequest) {
  Start();
  const DiagCase cases[] = {
      {"esn", {0x01}, {0x01, 0xC4, 0x21, 0x3F, 0x8A}, false},
      {"offline", {0x29, 0x01, 0x00}, {0x29, 0x01, 0x00}, false},
      {"mode four", {0x29, 0x04, 0x00}, {0x29, 0x04, 0x00}, false},
      {"command 5C",
       {0x5C, 0x01, 0x00, 0xC2, 0x01, 0x00},
       {0x5C, 0x01, 0x00, 0xC2, 0x01, 0x00},
       false},
      {"right service code", Cat({0x41}, Text("000000")), {0x41, 0x01}, false},
      {"wrong service code", Cat({0x41}, Text("123456")), {0x41, 0x00}, false},
      {"vendor switch", {0x4B, 0xAA, 0x00, 0x00, 0x01}, {0x4B, 0xAA, 0x00, 0x00, 0x00}, false},
      {"autorun", {0x4B, 0xA1, 0x00, 0x00, 0x00}, {0x4B, 0xA1, 0x00, 0x00, 0x00}, false},
      {"unknown request", {0x55, 0x01}, {0x13, 0x55, 0x01}, true},
      {"unknown subsystem", {0x4B, 0x10, 0x00, 0x00}, {0x13, 0x4B, 0x10, 0x00, 0x00}, true},
      {"ESN with extra byte", {0x01, 0x00}, {0x15, 0x01, 0x00}, true},
      {"unknown mode", {0x29, 0x07, 0x00}, {0x14, 0x29, 0x07, 0x00}, true},
      {"short NV read", {0x26, 0x16, 0x00}, {0x15, 0x26, 0x16, 0x00}, true},
  };
  for (const DiagCase& c : cases) {
    SCOPED_TRACE(c.name);
    size_t before = Violations();
    auto replies = diag_.Ask(DiagFrame(c.request));
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_TRUE(replies[0].crcGood);
    EXPECT_FALSE(replies[0].leadingFlag);
    EXPECT_EQ(replies[0].packet, c.reply);
    EXPECT_EQ(Violations() - before, c.violation ? 1u : 0u);
  }
  EXPECT_EQ(device().VendorSwitchAA(), 1);
  EXPECT_EQ(device().Autorun(), 0);
}

TEST_F(ModemTest, VersionTextsCarryTheReleaseInTheNinthText) {
  ModemConfig config;
  config.firmwareVersion = "ZIZ_RU_Farrick_B07";
  Start(config);
  Bytes reply = diag_.AskOne(DiagFrame({0x39}));
  // Eight 30-byte texts, the 31-byte ninth, fields of 13 and 9, each with a
  // zero byte behind it.
  ASSERT_EQ(reply.size(), 1u + 8 * 31 + 32 + 14 + 10);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&reply[1])), "Q6290-ASWP-1.5");
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&reply[1 + 8 * 31])), "ZIZ_RU_Farrick_B07");

  Bytes build = diag_.AskOne(DiagFrame({0x7C}));
  ASSERT_EQ(build.size(), 268u);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&build[12])), "M6290A-KPRBL-1.5.1205");
}

TEST_F(ModemTest, NvItemsReadWriteAndRefuseByState) {
  ModemConfig config;
  config.inactiveItems = {453};
  config.readOnlyItems = {0};
  Start(config);

  Bytes read = diag_.AskOne(DiagFrame(NvPacket(0x26, 22, 0)));
  ASSERT_EQ(read.size(), 133u);
  sim::NvData stored = device().NvItem(22);
  EXPECT_TRUE(std::equal(stored.begin(), stored.end(), read.begin() + 3));
  EXPECT_EQ(read[131] | read[132] << 8, 0);

  struct NvCase {
    uint8_t code;
    uint16_t item;
    uint16_t status;
  };
  const NvCase cases[] = {
      {0x27, 22, 0},                 // written
      {0x26, 453, 5},                // inactive
      {0x27, 453, 5}, {0x27, 0, 7},  // read-only
      {0x26, 0, 0},
  };
  for (const NvCase& c : cases) {
    SCOPED_TRACE(::testing::Message() << "code " << int(c.code) << " item " << c.item);
    Bytes r = diag_.AskOne(DiagFrame(NvPacket(c.code, c.item, 0xA5)));
    ASSERT_EQ(r.size(), 133u);
    EXPECT_EQ(r[131] | r[132] << 8, c.status);
  }
  EXPECT_EQ(device().NvItem(22)[0], 0xA5);
  EXPECT_NE(device().NvItem(0)[0], 0xA5);
  auto writes = device().NvWrites();
  ASSERT_EQ(writes.size(), 3u);
  EXPECT_EQ(writes[0].item, 22);
  EXPECT_EQ(writes[2].status, 7);
  EXPECT_EQ(Violations(), 0u);
}

TEST_F(ModemTest, DefaultNvContentFollowsTheSeed) {
  ModemConfig a, b;
  b.seed = 99;
  sim::NvStore one(a), same(a), other(b);
  EXPECT_EQ(one.Data(22), same.Data(22));
  EXPECT_NE(one.Data(22), other.Data(22));
  EXPECT_NE(one.Data(22), one.Data(23));
}

TEST_F(ModemTest, ReadinessFollowsOfflineAndPolls) {
  ModemConfig config;
  config.readyAfterPolls = 2;
  Start(config);
  const Bytes poll = DiagFrame({0x4B, 0x04, 0x0E, 0x00});
  EXPECT_EQ(diag_.AskOne(poll)[4], 1) << "online: not ready";
  diag_.AskOne(DiagFrame({0x29, 0x01, 0x00}));
  EXPECT_EQ(diag_.AskOne(poll)[4], 1);
  EXPECT_EQ(diag_.AskOne(poll)[4], 1);
  EXPECT_EQ(diag_.AskOne(poll)[4], 0);
}

TEST_F(ModemTest, HandshakeChecksTheDigestOfTheChallenge) {
  ModemConfig config;
  config.challenge = Bytes{1, 2, 3, 4, 5, 6, 7, 8};
  Start(config);
  Bytes challenge = diag_.AskOne(DiagFrame({0x4B, 0xA3, 0x06, 0x00}));
  ASSERT_EQ(challenge, (Bytes{0x4B, 0xA3, 0x06, 0x00, 1, 2, 3, 4, 5, 6, 7, 8}));

  Bytes wrong(16, 0x11);
  EXPECT_EQ(diag_.AskOne(DiagFrame(Cat({0x4B, 0xA3, 0x07, 0x00}, wrong))),
            (Bytes{0x4B, 0xA3, 0x07, 0x00, 0x01}));
  EXPECT_EQ(device().Handshake().result, sim::HandshakeState::Result::Failed);

  Md5Digest digest = Md5::Of(Bytes{1, 2, 3, 4, 5, 6, 7, 8});
  EXPECT_EQ(
      diag_.AskOne(DiagFrame(Cat({0x4B, 0xA3, 0x07, 0x00}, Bytes(digest.begin(), digest.end())))),
      (Bytes{0x4B, 0xA3, 0x07, 0x00, 0x00}));
  EXPECT_EQ(device().Handshake().result, sim::HandshakeState::Result::Passed);
  EXPECT_EQ(Violations(), 0u);
}

TEST_F(ModemTest, DrawnChallengesAvoidTheFramingBytes) {
  for (uint64_t seed = 1; seed < 40; ++seed) {
    ModemConfig config;
    config.seed = seed;
    testing::ScopedRoot root;
    VirtualClock clock;
    MemoryPorts ports;
    sim::InProcessModem modem(clock, ports, config, {.registry = false});
    modem.PlugIn();
    RawPort port(clock, ports);
    ASSERT_TRUE(port.Open(modem.DiagPort()));
    Bytes raw = port.Exchange(DiagFrame({0x4B, 0xA3, 0x06, 0x00}));
    ASSERT_GE(raw.size(), 12u);
    for (size_t i = 4; i < 12; ++i) EXPECT_FALSE(NeedsStuffing(raw[i])) << "seed " << seed;
  }
}

TEST_F(ModemTest, AtProbesOnTheDiagnosticPort) {
  Start();
  EXPECT_EQ(diag_.Exchange(Text("AT$QCDMG\r")), Text("AT$QCDMG\r\r\nOK\r\n"));
  EXPECT_EQ(diag_.Exchange(Text("at$dload\r")), Text("at$dload\r\r\nOK\r\n"));
  EXPECT_EQ(Violations(), 0u);
  EXPECT_EQ(diag_.Exchange(Text("AT+GMR\r")), Text("AT+GMR\r\r\nERROR\r\n"));
  EXPECT_EQ(Violations(), 1u);
  // A frame right behind the text still counts.
  EXPECT_EQ(SplitReplies(diag_.Exchange(DiagFrame({0x01}))).size(), 1u);
}

TEST_F(ModemTest, DataPortAnswersAtCommands) {
  Start();
  struct AtCase {
    const char* command;
    const char* answer;
  };
  const AtCase cases[] = {
      {"AT+GMR\r", "\r\n+GMR: ZIZ_RU_Farrick_B01\r\n\r\nOK\r\n"},
      {"AT+VDIAG?\r", "\r\n+VDIAG: 6\r\n\r\nOK\r\n"},
      {"AT+VDIAG=0\r", "\r\nOK\r\n"},
      {"AT+VDIAG?\r", "\r\n+VDIAG: 0\r\n\r\nOK\r\n"},
      {"AT+VCDRUN=E\r", "\r\nOK\r\n"},
      {"at+vcdrun=8\r", "\r\nOK\r\n"},
      {"AT+VCDRUN=X\r", "\r\nERROR\r\n"},
      {"ATE1\r", "\r\nOK\r\n"},
      {"AT+VCDRUN=F\r", "AT+VCDRUN=F\r\r\nOK\r\n"},
  };
  for (const AtCase& c : cases) {
    SCOPED_TRACE(c.command);
    EXPECT_EQ(data_.Exchange(Text(c.command), 200), Text(c.answer));
  }
  EXPECT_EQ(device().CdRunCommands(), (std::vector<std::string>{"E", "8", "F"}));
  EXPECT_EQ(device().DiagPortMode(), 0);
  EXPECT_EQ(Violations(), 1u);
}

// ---------------------------------------------------------------- strictness

TEST_F(ModemTest, RecordsFramingViolations) {
  Start();
  struct StrictCase {
    const char* name;
    Bytes bytes;
    size_t replies;
    std::string violation;
  };
  Bytes badCrc = DiagFrame({0x01});
  badCrc[1] ^= 0x01;
  const StrictCase cases[] = {
      {"leading flag", DlFrame({0x01}), 1, "no leading flag"},
      {"bad CRC", badCrc, 0, "bad CRC"},
      {"needless escape", {0x7D, 0x21, 0x00, 0x00, 0x7E}, 0, "needs no stuffing"},
      {"too short", {0x01, 0x7E}, 0, "too short"},
  };
  for (const StrictCase& c : cases) {
    SCOPED_TRACE(c.name);
    size_t before = Violations();
    EXPECT_EQ(diag_.Ask(c.bytes).size(), c.replies);
    auto violations = device().Violations();
    ASSERT_GT(violations.size(), before);
    EXPECT_NE(violations[before].text.find(c.violation), std::string::npos)
        << violations[before].text;
    EXPECT_EQ(violations[before].mode, ModemMode::Normal);
  }
}

TEST_F(ModemTest, DownloaderWantsLeadingFlagsAndRejectsBadFrames) {
  Start();
  EnterDownloader();
  // Without the leading flag the downloader still acts, but notes it.
  EXPECT_EQ(diag_.AskOne(DiagFrame({0x06})), Bytes{0x02});
  ASSERT_EQ(Violations(), 1u);
  EXPECT_NE(device().Violations()[0].text.find("leading flag"), std::string::npos);

  Bytes badCrc = DlFrame({0x06});
  badCrc[2] ^= 0x10;
  EXPECT_EQ(diag_.AskOne(badCrc), (Bytes{0x03, 0x00, 0x01}));
  EXPECT_EQ(diag_.AskOne(DlFrame({0x29, 0x02, 0x00})), (Bytes{0x03, 0x00, 0x06}));
  EXPECT_EQ(diag_.AskOne(DlFrame({0x06, 0x00})), (Bytes{0x03, 0x00, 0x05}));
  EXPECT_EQ(Violations(), 4u);
}

// ---------------------------------------------------------------- downloader

TEST_F(ModemTest, SwitchToDownloaderKeepsThePortAndIsDeafMeanwhile) {
  Start();
  const int port = modem_->DiagPort();
  ASSERT_EQ(diag_.AskOne(DiagFrame({0x3A})), Bytes{0x3A});
  EXPECT_EQ(device().Mode(), ModemMode::Switching);
  EXPECT_TRUE(diag_.Ask(DlFrame({0x06})).empty());
  clock_.Advance(device().config().timings.downloaderStartMs);
  EXPECT_EQ(device().Mode(), ModemMode::Downloader);
  EXPECT_EQ(modem_->DiagPort(), port);
  auto replies = diag_.Ask(DlFrame({0x06}));
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_TRUE(replies[0].leadingFlag);
  EXPECT_EQ(replies[0].packet, Bytes{0x02});

  Bytes params = diag_.AskOne(DlFrame({0x07}));
  EXPECT_EQ(params, (Bytes{0x08, 2, 1, 0x00, 0x04, 0x00, 0x00, 0x26, 6, 0x05}));
  EXPECT_EQ(Violations(), 0u);
  // The data port has no AT service in the downloader.
  EXPECT_TRUE(data_.Exchange(Text("AT+GMR\r"), 200).empty());
}

TEST_F(ModemTest, DownloaderChecksWrites) {
  Start();
  EnterDownloader();
  struct WriteCase {
    const char* name;
    Bytes packet;
    Bytes reply;
  };
  Bytes lying = DmssWritePacket(0x00800000, Pattern(10, 1));
  lying[6] = 11;
  const WriteCase cases[] = {
      {"in RAM", DmssWritePacket(0x00800000, Pattern(1017, 1)), {0x02}},
      {"below RAM", DmssWritePacket(0x00100000, Pattern(16, 1)), {0x03, 0x00, 0x02}},
      {"past RAM", DmssWritePacket(0x009FFFF8, Pattern(16, 1)), {0x03, 0x00, 0x02}},
      {"length field lies", lying, {0x03, 0x00, 0x03}},
      {"too long", DmssWritePacket(0x00800000, Pattern(1025, 1)), {0x03, 0x00, 0x05}},
      {"no header", {0x0F, 0x00, 0x80}, {0x03, 0x00, 0x04}},
  };
  for (const WriteCase& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(diag_.AskOne(DlFrame(c.packet)), c.reply);
  }
  EXPECT_EQ(device().UploadedProgrammer(), Pattern(1017, 1));
  EXPECT_EQ(Violations(), 5u);
}

TEST_F(ModemTest, GoStartsTheProgrammerOnlyOverWhatWasUploaded) {
  struct GoCase {
    const char* name;
    std::vector<std::pair<uint32_t, size_t>> writes;  // offset, length
    Bytes go;
    bool expected;  // the configured programmer
    ModemMode after;
  };
  const GoCase cases[] = {
      {"whole programmer",
       {{0, 1017}, {1017, 983}},
       {0x05, 0x00, 0x80, 0x00, 0x00},
       true,
       ModemMode::Programmer},
      {"nothing uploaded", {}, {0x05, 0x00, 0x80, 0x00, 0x00}, false, ModemMode::Hung},
      {"gap in the upload",
       {{0, 1017}, {1100, 100}},
       {0x05, 0x00, 0x80, 0x00, 0x00},
       false,
       ModemMode::Hung},
      {"other address",
       {{0, 1017}, {1017, 983}},
       {0x05, 0x00, 0x81, 0x00, 0x00},
       false,
       ModemMode::Hung},
      {"not the programmer", {{0, 1017}}, {0x05, 0x00, 0x80, 0x00, 0x00}, true, ModemMode::Hung},
  };
  const Bytes programmer = Pattern(2000, 3);
  for (const GoCase& c : cases) {
    SCOPED_TRACE(c.name);
    testing::ScopedRoot root;
    VirtualClock clock;
    MemoryPorts ports;
    ModemConfig config;
    if (c.expected) config.expectedProgrammer = programmer;
    sim::InProcessModem modem(clock, ports, config);
    modem.PlugIn();
    RawPort port(clock, ports);
    ASSERT_TRUE(port.Open(modem.DiagPort()));
    port.AskOne(DiagFrame({0x3A}));
    clock.Advance(config.timings.downloaderStartMs);
    for (auto [offset, length] : c.writes) {
      Bytes chunk(programmer.begin() + offset,
                  programmer.begin() + offset + static_cast<long>(length));
      ASSERT_EQ(port.AskOne(DlFrame(DmssWritePacket(0x00800000 + offset, chunk))), Bytes{0x02});
    }
    EXPECT_EQ(port.AskOne(DlFrame(c.go)), Bytes{0x02}) << "go is acknowledged before the jump";
    clock.Advance(config.timings.programmerStartMs);
    EXPECT_EQ(modem.device().Mode(), c.after);
    EXPECT_EQ(modem.device().Violations().empty(), c.after == ModemMode::Programmer);
    if (c.after == ModemMode::Hung) {
      EXPECT_TRUE(port.Ask(DlFrame(HelloPacket())).empty());
    }
  }
}

// ---------------------------------------------------------------- programmer

TEST_F(ModemTest, ProgrammerWantsHelloSecurityAndPartitionFirst) {
  Start();
  EnterDownloader();
  diag_.AskOne(DlFrame(DmssWritePacket(0x00800000, Pattern(100, 1))));
  diag_.AskOne(DlFrame({0x05, 0x00, 0x80, 0x00, 0x00}));
  clock_.Advance(device().config().timings.programmerStartMs);

  struct OrderCase {
    const char* name;
    Bytes packet;
    Bytes reply;
  };
  const OrderCase cases[] = {
      {"no-op before hello", {0x09, 0x11}, {0x0D, 15, 0, 0, 0}},
      {"hello", HelloPacket(), {}},
      {"partition before security", {0x19, 0x01, 0xAA}, {0x0D, 15, 0, 0, 0}},
      {"open before partition", {0x1B, 0x02}, {0x0D, 15, 0, 0, 0}},
      {"security", {0x17, 0x01}, {0x18}},
      {"partition", {0x19, 0x01, 0xAA, 0xBB}, {0x1A, 0x00}},
      {"open with header", Cat({0x1B, 0x05}, Pattern(40, 2)), {0x1C, 0x00}},
      {"open without needed header", {0x1B, 0x04}, {0x0D, 4, 0, 0, 0}},
      {"open unknown type", {0x1B, 0x06}, {0x0D, 5, 0, 0, 0}},
      {"type alone", {0x1B}, {0x0D, 4, 0, 0, 0}},
      {"close", {0x15}, {0x16}},
      {"no-op", {0x09, 0x11}, {0x0A, 0x11}},
      {"unknown", {0x33}, {0x0D, 5, 0, 0, 0}},
  };
  for (const OrderCase& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes reply = diag_.AskOne(DlFrame(c.packet));
    if (!c.reply.empty()) {
      EXPECT_EQ(reply, c.reply);
    }
  }
  EXPECT_EQ(device().PartitionTables(), (std::vector<Bytes>{{0xAA, 0xBB}}));
  ASSERT_EQ(device().Images().size(), 1u);
  EXPECT_EQ(device().ImageHeader(5), Pattern(40, 2));
  EXPECT_EQ(Violations(), 7u);
}

TEST_F(ModemTest, StreamsImagesByTypeAndAddress) {
  Start();
  EnterProgrammer();
  PrepareFlash();
  const Bytes image = Pattern(2500, 5);
  ASSERT_EQ(diag_.AskOne(DlFrame({0x1B, 0x03})), (Bytes{0x1C, 0x00}));
  // Out of order and with one block sent twice: the store keeps addresses.
  for (uint32_t address : {1024u, 0u, 2048u, 1024u}) {
    Bytes block(image.begin() + address,
                image.begin() + std::min<size_t>(image.size(), address + 1024));
    Bytes reply = diag_.AskOne(DlFrame(StreamWritePacket(address, block)));
    EXPECT_EQ(reply, (Bytes{0x08, static_cast<uint8_t>(address), static_cast<uint8_t>(address >> 8),
                            0, 0}));
  }
  ASSERT_EQ(diag_.AskOne(DlFrame({0x15})), Bytes{0x16});
  EXPECT_EQ(device().ImageBytes(3), image);
  auto images = device().Images();
  ASSERT_EQ(images.size(), 1u);
  EXPECT_TRUE(images[0].closed);
  EXPECT_TRUE(images[0].Contiguous());
  EXPECT_EQ(images[0].rewrites, 1u);
  EXPECT_EQ(Violations(), 0u);
}

TEST_F(ModemTest, ProbeWriteWithNoImageOpenIsAcknowledgedAndDiscarded) {
  Start();
  EnterProgrammer();
  Bytes probe(1024, 0);
  probe[0] = 0x61;
  EXPECT_EQ(diag_.AskOne(DlFrame(StreamWritePacket(0xFFFFFFFF, probe))),
            (Bytes{0x08, 0xFF, 0xFF, 0xFF, 0xFF}));
  EXPECT_TRUE(device().Images().empty());
  EXPECT_EQ(Violations(), 0u);
}

TEST_F(ModemTest, PipelinedWritesAreAnsweredBackToBackEachWithBothFlags) {
  Start();
  EnterProgrammer();
  PrepareFlash();
  ASSERT_EQ(diag_.AskOne(DlFrame({0x1B, 0x09})), (Bytes{0x1C, 0x00}));
  const Bytes efs = Pattern(5 * 1024, 8);
  for (uint32_t block = 0; block < 5; ++block) {
    Bytes data(efs.begin() + block * 1024, efs.begin() + (block + 1) * 1024);
    ASSERT_TRUE(diag_.Write(DlFrame(StreamWritePacket(block * 1024, data))));
  }
  clock_.Advance(50);
  Bytes raw = diag_.Drain();
  auto replies = SplitReplies(raw);
  ASSERT_EQ(replies.size(), 5u);
  for (uint32_t block = 0; block < 5; ++block) {
    EXPECT_TRUE(replies[block].leadingFlag);
    EXPECT_TRUE(replies[block].crcGood);
    EXPECT_EQ(replies[block].packet, (Bytes{0x08, 0x00, static_cast<uint8_t>(block * 4), 0, 0}));
  }
  // Flag closing one reply, flag opening the next.
  EXPECT_EQ(std::count(raw.begin(), raw.end(), kFlag), 10);
  diag_.AskOne(DlFrame({0x15}));
  EXPECT_EQ(device().ImageBytes(9), efs);
}

// What blocks in flight cost: over a link the modem programs one block at a
// time, so their acknowledgements come one flash write apart, and the floor
// counts every byte and every write; without a link they all come at once.
TEST_F(ModemTest, BlocksInFlightCostTheLinkAndOneFlashWriteEach) {
  struct Case {
    uint64_t rate;
    size_t minAckedAfterHalf, maxAckedAfterHalf;  // of 20, after half their programming time
  };
  for (const Case& c : {Case{1'000'000, 5, 10}, Case{0, 20, 20}}) {
    SCOPED_TRACE(c.rate);
    ModemConfig config;
    config.timings.linkBytesPerSecond = c.rate;
    Start(config);
    EnterProgrammer();
    PrepareFlash();
    ASSERT_EQ(diag_.AskOne(DlFrame({0x1B, 0x09})), (Bytes{0x1C, 0x00}));
    const sim::CostFloor before = device().Snapshot().floor;
    const uint64_t writeMs = config.timings.flashWriteMs;
    const Bytes efs = Pattern(20 * 1024, 3);
    size_t sent = 0;
    for (uint32_t block = 0; block < 20; ++block) {
      Bytes frame = DlFrame(StreamWritePacket(
          block * 1024, Bytes(efs.begin() + block * 1024, efs.begin() + (block + 1) * 1024)));
      sent += frame.size();
      ASSERT_TRUE(diag_.Write(frame));
    }
    clock_.Advance(10 * writeMs);
    const size_t early = SplitReplies(diag_.Drain()).size();
    EXPECT_GE(early, c.minAckedAfterHalf);
    EXPECT_LE(early, c.maxAckedAfterHalf);
    clock_.Advance(20 * writeMs);
    EXPECT_EQ(early + SplitReplies(diag_.Drain()).size(), 20u);
    diag_.AskOne(DlFrame({0x15}));
    EXPECT_EQ(device().ImageBytes(9), efs);

    const sim::CostFloor after = device().Snapshot().floor;
    EXPECT_GE(after.bytesToModem - before.bytesToModem, sent);
    EXPECT_GE(after.processingMs - before.processingMs, 20 * writeMs);
    const uint64_t linkMs = (after.linkUs - before.linkUs) / 1000;
    if (c.rate == 0)
      EXPECT_EQ(linkMs, 0u);
    else
      EXPECT_GE(linkMs, sent * 1000 / c.rate);
    modem_.reset();
    diag_.Close();
    data_.Close();
  }
}

TEST_F(ModemTest, StreamResetReEnumeratesIntoTheFlashedFirmware) {
  Start();
  const int firstDiag = modem_->DiagPort(), firstData = modem_->DataPort();
  EnterProgrammer();
  PrepareFlash();
  diag_.AskOne(DlFrame(Cat({0x1B, 0x05}, Pattern(40, 1))));
  diag_.AskOne(DlFrame(StreamWritePacket(0, Pattern(700, 1))));
  diag_.AskOne(DlFrame({0x15}));
  ASSERT_EQ(diag_.AskOne(DlFrame({0x0B})), Bytes{0x0C});

  const auto& t = device().config().timings;
  clock_.Advance(t.detachAfterMs);
  EXPECT_EQ(modem_->DiagPort(), 0);
  EXPECT_FALSE(diag_.Write(DlFrame({0x09, 0x11}))) << "the old port is gone";
  RegistryKey key;
  EXPECT_NE(key.Open(RegistryRoot::LocalMachine, sim::SerialServiceEnumKey("Vantrel")),
            kRegistryOk);

  clock_.Advance(t.reattachAfterMs);
  ASSERT_EQ(device().Mode(), ModemMode::Normal);
  EXPECT_NE(modem_->DiagPort(), firstDiag);
  EXPECT_NE(modem_->DataPort(), firstData);
  EXPECT_EQ(device().CurrentVersion(), "ZIZ_RU_Farrick_B02");

  // The registry leads to the new port, and the firmware answers there.
  ASSERT_EQ(key.Open(RegistryRoot::LocalMachine, sim::SerialServiceEnumKey("Vantrel")),
            kRegistryOk);
  char path[512];
  uint32_t size = sizeof path;
  ASSERT_EQ(key.QueryString("0", path, &size), kRegistryOk);
  ASSERT_EQ(key.Open(RegistryRoot::LocalMachine, sim::DeviceParametersKey(path)), kRegistryOk);
  char name[32];
  size = sizeof name;
  ASSERT_EQ(key.QueryString("PortName", name, &size), kRegistryOk);
  EXPECT_EQ(std::string(name), "COM" + std::to_string(modem_->DiagPort()));
  RawPort fresh(clock_, ports_);
  ASSERT_TRUE(fresh.Open(modem_->DiagPort()));
  EXPECT_EQ(fresh.AskOne(DiagFrame({0x01})).size(), 5u);
  EXPECT_EQ(Violations(), 0u);
}

TEST_F(ModemTest, DiagnosticResetReEnumeratesWithTheOldVersion) {
  Start();
  const int firstDiag = modem_->DiagPort();
  ASSERT_EQ(diag_.AskOne(DiagFrame({0x29, 0x02, 0x00})), (Bytes{0x29, 0x02, 0x00}));
  EXPECT_TRUE(diag_.Ask(DiagFrame({0x01})).empty()) << "deaf once the reset is answered";
  clock_.Advance(device().config().timings.detachAfterMs +
                 device().config().timings.reattachAfterMs);
  EXPECT_EQ(device().Mode(), ModemMode::Normal);
  EXPECT_EQ(modem_->DiagPort(), firstDiag + 2);
  EXPECT_EQ(device().CurrentVersion(), "ZIZ_RU_Farrick_B01");
  EXPECT_EQ(device().Attachments(), 2);
  auto history = device().AttachHistory();
  ASSERT_EQ(history.size(), 3u);
  EXPECT_FALSE(history[1].attached);
  EXPECT_EQ(history[1].reason, "diagnostic reset");
}

TEST_F(ModemTest, DiagnosticPortSwitchedOffIsMissingAfterTheNextRestart) {
  Start();
  EXPECT_EQ(data_.Exchange(Text("AT+VDIAG=0\r"), 200), Text("\r\nOK\r\n"));
  diag_.AskOne(DiagFrame({0x29, 0x02, 0x00}));
  clock_.Advance(10000);
  EXPECT_EQ(modem_->DiagPort(), 0);
  EXPECT_NE(modem_->DataPort(), 0);
  RegistryKey key;
  EXPECT_NE(key.Open(RegistryRoot::LocalMachine, sim::SerialServiceEnumKey("Vantrel")),
            kRegistryOk);
  EXPECT_EQ(key.Open(RegistryRoot::LocalMachine, sim::ModemServiceEnumKey("Vantrel")), kRegistryOk);
}

TEST_F(ModemTest, UnplugRemovesEverything) {
  Start();
  diag_.AskOne(DiagFrame({0x29, 0x02, 0x00}));
  clock_.Advance(10000);
  auto history = device().AttachHistory();
  ASSERT_EQ(history.size(), 3u);
  RegistryKey key;
  // As on Windows, the first attachment's port name outlives the detach.
  EXPECT_EQ(key.Open(RegistryRoot::LocalMachine,
                     sim::DeviceParametersKey(history[0].ports.diagDevicePath)),
            kRegistryOk);

  modem_->Unplug();
  EXPECT_NE(key.Open(RegistryRoot::LocalMachine, sim::SerialServiceEnumKey("Vantrel")),
            kRegistryOk);
  EXPECT_NE(key.Open(RegistryRoot::LocalMachine, sim::ModemServiceEnumKey("Vantrel")), kRegistryOk);
  for (const sim::AttachRecord& r : history) {
    EXPECT_NE(
        key.Open(RegistryRoot::LocalMachine, sim::DeviceParametersKey(r.ports.diagDevicePath)),
        kRegistryOk);
    EXPECT_NE(
        key.Open(RegistryRoot::LocalMachine, sim::DeviceParametersKey(r.ports.modemDevicePath)),
        kRegistryOk);
    EXPECT_EQ(ports_.Wire(r.ports.diagPort), nullptr);
    EXPECT_EQ(ports_.Wire(r.ports.dataPort), nullptr);
  }
  EXPECT_EQ(clock_.PendingEvents(), 0u);
}

// ------------------------------------------- switches that re-enumerate

TEST_F(ModemTest, SwitchesThatReEnumerateComeBackAsNewAttachmentsInTheNewMode) {
  for (bool programmerReenumerates : {true, false}) {
    SCOPED_TRACE(programmerReenumerates ? "programmer start re-enumerates"
                                        : "programmer starts in place");
    ModemConfig config;
    config.usb.reenumerate = true;
    config.usb.programmerReenumerates = programmerReenumerates;
    Start(config);
    const auto& t = device().config().timings;
    const int firmwarePort = modem_->DiagPort();

    ASSERT_EQ(diag_.AskOne(DiagFrame({0x3A})), Bytes{0x3A});
    clock_.Advance(t.detachAfterMs);
    EXPECT_EQ(device().Mode(), ModemMode::Detached);
    EXPECT_EQ(modem_->DiagPort(), 0) << "the switch takes the modem off the bus";
    clock_.Advance(t.downloaderStartMs);
    ASSERT_EQ(device().Mode(), ModemMode::Downloader);
    EXPECT_NE(modem_->DiagPort(), firmwarePort);
    EXPECT_EQ(modem_->DataPort(), 0);
    auto history = device().AttachHistory();
    ASSERT_EQ(history.size(), 3u);
    EXPECT_EQ(history[1].reason, "switch to the downloader");
    EXPECT_EQ(history[2].ports.mode, ModemMode::Downloader);

    const int downloaderPort = modem_->DiagPort();
    diag_.Close();
    ASSERT_TRUE(diag_.Open(downloaderPort));
    const Bytes programmer = Pattern(1500, 4);
    for (size_t at = 0; at < programmer.size(); at += 1000) {
      Bytes chunk(programmer.begin() + static_cast<long>(at),
                  programmer.begin() + static_cast<long>(std::min(programmer.size(), at + 1000)));
      ASSERT_EQ(
          diag_.AskOne(DlFrame(DmssWritePacket(0x00800000 + static_cast<uint32_t>(at), chunk))),
          Bytes{0x02});
    }
    ASSERT_EQ(diag_.AskOne(DlFrame({0x05, 0x00, 0x80, 0x00, 0x00})), Bytes{0x02});
    clock_.Advance(t.detachAfterMs + t.programmerStartMs);
    ASSERT_EQ(device().Mode(), ModemMode::Programmer);
    EXPECT_EQ(device().Attachments(), programmerReenumerates ? 3 : 2);
    EXPECT_EQ(modem_->DiagPort() != downloaderPort, programmerReenumerates);
    EXPECT_EQ(device().AttachHistory().back().ports.mode,
              programmerReenumerates ? ModemMode::Programmer : ModemMode::Downloader);
    // The programmer runs from RAM across its own re-enumeration.
    EXPECT_EQ(device().UploadedProgrammer(), programmer);
    diag_.Close();
    ASSERT_TRUE(diag_.Open(modem_->DiagPort()));
    Bytes hello = diag_.AskOne(DlFrame(HelloPacket()));
    ASSERT_FALSE(hello.empty());
    EXPECT_EQ(hello[0], 0x02);
    EXPECT_EQ(Violations(), 0u);
    diag_.Close();
    data_.Close();
    modem_.reset();
  }
}

TEST_F(ModemTest, SlowRebootKeepsTheModemAwayForItsBootTime) {
  ModemConfig config;
  config.faults.slowReboot = sim::SlowReboot{2, 1, 60000};
  Start(config);
  const auto& t = device().config().timings;
  // Three resets: the second comes back after its slow boot only.
  for (int reset = 0; reset < 3; ++reset) {
    diag_.Close();
    ASSERT_TRUE(diag_.Open(modem_->DiagPort()));
    ASSERT_EQ(diag_.AskOne(DiagFrame({0x29, 0x02, 0x00})), (Bytes{0x29, 0x02, 0x00}));
    clock_.Advance(t.detachAfterMs + t.reattachAfterMs);
    if (reset == 1) {
      EXPECT_EQ(device().Mode(), ModemMode::Detached);
      clock_.Advance(60000);
    }
    ASSERT_EQ(device().Mode(), ModemMode::Normal);
  }
  std::vector<uint64_t> away;
  auto history = device().AttachHistory();
  for (size_t i = 1; i + 1 < history.size(); i += 2) {
    ASSERT_FALSE(history[i].attached);
    ASSERT_TRUE(history[i + 1].attached);
    away.push_back(history[i + 1].timeMs - history[i].timeMs);
  }
  EXPECT_EQ(away, (std::vector<uint64_t>{t.reattachAfterMs, 60000, t.reattachAfterMs}));
}

TEST_F(ModemTest, SwappedModemComesBackInTheFirstOnesPlace) {
  ModemConfig config;
  config.swap = sim::SwapPlan{2, 77, 0x11223344, std::nullopt};
  Start(config);
  const auto& t = device().config().timings;
  const Bytes firstNv = diag_.AskOne(DiagFrame(NvPacket(0x26, 550, 0)));
  // The first reset brings the same modem back, the second the other one.
  const uint32_t esns[] = {0x8A3F21C4, 0x11223344};
  for (uint32_t esn : esns) {
    diag_.AskOne(DiagFrame({0x29, 0x02, 0x00}));
    clock_.Advance(t.detachAfterMs + t.reattachAfterMs);
    diag_.Close();
    ASSERT_TRUE(diag_.Open(modem_->DiagPort()));
    EXPECT_EQ(diag_.AskOne(DiagFrame({0x01})),
              (Bytes{0x01, static_cast<uint8_t>(esn), static_cast<uint8_t>(esn >> 8),
                     static_cast<uint8_t>(esn >> 16), static_cast<uint8_t>(esn >> 24)}));
  }
  EXPECT_NE(diag_.AskOne(DiagFrame(NvPacket(0x26, 550, 0))), firstNv);
  diag_.AskOne(DiagFrame(NvPacket(0x27, 22, 0x5A)));
  // Each keeps its own records: the write went to the modem put in.
  EXPECT_EQ(device().config().esn, 0x11223344u);
  EXPECT_EQ(device().NvWrites().size(), 1u);
  EXPECT_TRUE(modem_->first().NvWrites().empty());
  EXPECT_EQ(modem_->first().Mode(), ModemMode::Detached);
  EXPECT_EQ(sim::UsbSerial(device().config()), "11223344");
}

// ------------------------------------------------------- modems left stuck

class StuckModemTest : public ModemTest {
 protected:
  // Attached in a download mode: only the diagnostic port.
  void StartIn(ModemMode mode, ModemConfig config = {}) {
    config.startMode = mode;
    modem_ = std::make_unique<sim::InProcessModem>(clock_, ports_, std::move(config));
    modem_->PlugIn();
    ASSERT_EQ(modem_->DataPort(), 0);
    ASSERT_TRUE(diag_.Open(modem_->DiagPort()));
    ASSERT_EQ(device().Mode(), mode);
  }
  // A restart by the programmer's reset, then where the modem comes back.
  ModemMode ResetFromProgrammer() {
    diag_.AskOne(DlFrame({0x0B}));
    const auto& t = device().config().timings;
    clock_.Advance(t.detachAfterMs + t.reattachAfterMs);
    return device().Mode();
  }
};

TEST_F(StuckModemTest, DownloaderRefusesTheProgrammersGreetingWithoutAViolation) {
  StartIn(ModemMode::Downloader);
  // A host finding out the mode: the downloader's reject, "invalid command".
  EXPECT_EQ(diag_.AskOne(DlFrame(HelloPacket())), (Bytes{0x03, 0x00, 0x06}));
  EXPECT_EQ(diag_.AskOne(DlFrame({0x06})), Bytes{0x02});
  EXPECT_EQ(Violations(), 0u);
}

TEST_F(StuckModemTest, ProgrammerRefusesTheDownloadersNoOpWithoutAViolation) {
  StartIn(ModemMode::Programmer);
  EXPECT_EQ(diag_.AskOne(DlFrame({0x06})), (Bytes{0x0D, 5, 0, 0, 0}));
  EXPECT_EQ(diag_.AskOne(DlFrame(HelloPacket()))[0], 0x02);
  EXPECT_EQ(Violations(), 0u);
}

TEST_F(StuckModemTest, PowerLossAfterThePartitionTableBootsIntoTheDownloaderUntilAmssIsWritten) {
  ModemConfig config;
  config.faults.powerLossAfterPartition = true;
  Start(config);
  EnterProgrammer();
  PrepareFlash();
  const auto& t = device().config().timings;
  clock_.Advance(t.detachAfterMs);
  EXPECT_EQ(modem_->DiagPort(), 0) << "the power went";
  clock_.Advance(t.reattachAfterMs);
  ASSERT_EQ(device().Mode(), ModemMode::Downloader);
  EXPECT_EQ(modem_->DataPort(), 0);

  // Flashed again up to a closed amss image, the next restart is the firmware.
  ASSERT_TRUE(diag_.Open(modem_->DiagPort()));
  for (const Bytes& request : {DlFrame(DmssWritePacket(0x00800000, Pattern(100, 1))),
                               DlFrame({0x05, 0x00, 0x80, 0x00, 0x00})}) {
    EXPECT_EQ(diag_.AskOne(request), Bytes{0x02});
  }
  clock_.Advance(t.programmerStartMs);
  ASSERT_EQ(diag_.AskOne(DlFrame(HelloPacket()))[0], 0x02);
  PrepareFlash();
  EXPECT_EQ(device().Mode(), ModemMode::Programmer) << "the power is lost once";
  diag_.AskOne(DlFrame(Cat({0x1B, 0x05}, Pattern(40, 1))));
  diag_.AskOne(DlFrame(StreamWritePacket(0, Pattern(700, 1))));
  ASSERT_EQ(diag_.AskOne(DlFrame({0x15})), Bytes{0x16});
  EXPECT_EQ(ResetFromProgrammer(), ModemMode::Normal);
  EXPECT_NE(modem_->DataPort(), 0);
  EXPECT_EQ(Violations(), 0u);
}

TEST_F(StuckModemTest, StalledWriteGetsNoAnswerNorDoesAnythingElseUntilTheNextHello) {
  ModemConfig config;
  config.faults.stall = sim::StallFault{5, 1};
  StartIn(ModemMode::Programmer, config);
  ASSERT_EQ(diag_.AskOne(DlFrame(HelloPacket()))[0], 0x02);
  PrepareFlash();
  diag_.AskOne(DlFrame(Cat({0x1B, 0x05}, Pattern(40, 1))));
  EXPECT_EQ(diag_.AskOne(DlFrame(StreamWritePacket(0, Pattern(1024, 1)))).size(), 5u);
  EXPECT_TRUE(diag_.Ask(DlFrame(StreamWritePacket(1024, Pattern(1024, 2))), 5000).empty());
  EXPECT_TRUE(diag_.Ask(DlFrame({0x15}), 5000).empty());
  EXPECT_TRUE(diag_.Ask(DlFrame({0x0B}), 5000).empty()) << "not even a reset";
  EXPECT_EQ(device().Mode(), ModemMode::Programmer);
  ASSERT_EQ(diag_.AskOne(DlFrame(HelloPacket()))[0], 0x02);
  // The stall happens once: the same block is written now.
  diag_.AskOne(DlFrame({0x15}));
  diag_.AskOne(DlFrame(Cat({0x1B, 0x05}, Pattern(40, 1))));
  EXPECT_EQ(diag_.AskOne(DlFrame(StreamWritePacket(1024, Pattern(1024, 2)))).size(), 5u);
  // A modem started in the programmer comes back in its firmware.
  EXPECT_EQ(ResetFromProgrammer(), ModemMode::Normal);
  EXPECT_EQ(Violations(), 0u);
}

}  // namespace
}  // namespace quorrel::simtest

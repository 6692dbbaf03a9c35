// The virtual modem against the host's own operations: a whole conversation
// from identification to the restart into the new firmware, and each injected
// fault as the host sees it.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>

#include "download/dmss.h"
#include "download/streaming.h"
#include "link/phone_link.h"
#include "platform/registry.h"
#include "platform/scoped_root.h"
#include "services/at_channel.h"
#include "services/diag_commands.h"
#include "sim/in_process.h"
#include "sim/usb_registry.h"
#include "support/byte_pattern.h"
#include "util/md5.h"

namespace quorrel::simtest {
namespace {

using testsupport::Pattern;

using Bytes = std::vector<uint8_t>;
using sim::ModemConfig;
using sim::ModemMode;

// What the port discovery finds: the diagnostic port of the first service
// that lists a device, 0 when none does.
int DiscoverDiagPort(const std::string& vendor = "Vantrel") {
  RegistryKey key;
  if (key.Open(RegistryRoot::LocalMachine, sim::SerialServiceEnumKey(vendor)) != kRegistryOk)
    return 0;
  uint32_t count = 0;
  if (key.QueryDword("Count", &count) != kRegistryOk || count == 0) return 0;
  char path[1024];
  uint32_t size = sizeof path;
  if (key.QueryString(std::to_string(count - 1), path, &size) != kRegistryOk) return 0;
  if (key.Open(RegistryRoot::LocalMachine, sim::DeviceParametersKey(path)) != kRegistryOk) return 0;
  char name[64];
  size = sizeof name;
  if (key.QueryString("PortName", name, &size) != kRegistryOk) return 0;
  return std::atoi(name + 3);
}

// Takes the acknowledged addresses of the latest collection off the in-flight
// list. A collection that reads nothing leaves the previous list in place, so
// the caller empties it before each collection: a stale acknowledgement of an
// earlier image's block must not retire this image's block at that address.
void Retire(PhoneLink& link, std::vector<uint32_t>& inFlight, std::vector<uint32_t>& acked) {
  for (const uint32_t address : link.Acknowledged()) {
    auto it = std::find(inFlight.begin(), inFlight.end(), address);
    if (it == inFlight.end()) continue;
    acked.push_back(*it);
    inFlight.erase(it);
  }
  link.ClearAcknowledged();
}

class ConversationTest : public ::testing::Test {
 protected:
  void Start(ModemConfig config = {}) {
    modem_ = std::make_unique<sim::InProcessModem>(clock_, ports_, std::move(config));
    modem_->PlugIn();
    ASSERT_EQ(link_.Port().Open(DiscoverDiagPort(), 115200, 8, 1), 1);
  }
  sim::VirtualModem& device() { return modem_->device(); }
  void Sleep(uint32_t ms) { clock_.Sleep(ms); }

  // Waits, as the line does, until the registry lists the modem again.
  int AwaitPorts(uint32_t limitMs = 60000) {
    for (uint32_t waited = 0; waited < limitMs; waited += 1000) {
      if (int port = DiscoverDiagPort()) return port;
      Sleep(1000);
    }
    return 0;
  }

  void EnterDownloader() {
    ASSERT_EQ(SendCommand5C(link_), 1) << link_.LastError();
    ASSERT_EQ(SendSpc(link_), 1) << link_.LastError();
    ASSERT_EQ(PutOffline(link_), 1) << link_.LastError();
    ASSERT_EQ(PollReady(link_), 1);
    ASSERT_EQ(SwitchToDownloader(link_), 1) << link_.LastError();
    Sleep(5000);
    ASSERT_EQ(DmssNoOp(link_), 1) << link_.LastError();
  }
  void StartProgrammer(const Bytes& programmer) {
    for (size_t at = 0; at < programmer.size(); at += 1017) {
      uint32_t n = static_cast<uint32_t>(std::min<size_t>(1017, programmer.size() - at));
      ASSERT_EQ(DmssWrite(link_, programmer.data() + at, 0x00800000 + static_cast<uint32_t>(at), n),
                1)
          << link_.LastError();
    }
    ASSERT_EQ(DmssGo(link_, 0x80, 0), 1) << link_.LastError();
    Sleep(2000);
    ASSERT_EQ(StreamHello(link_), 1) << link_.LastError();
    ASSERT_EQ(StreamNoOp(link_), 1) << link_.LastError();
  }
  void PrepareFlash(const Bytes& table) {
    ASSERT_EQ(StreamSecurityMode(link_), 1) << link_.LastError();
    ASSERT_EQ(StreamPartitionTable(link_, table.data(), static_cast<uint32_t>(table.size())), 1)
        << link_.LastError();
  }
  // Opens, writes block by block with acknowledged writes, closes.
  void WriteImage(uint8_t type, const Bytes& header, const Bytes& image) {
    ASSERT_EQ(StreamOpenMultiImage(link_, type, header.empty() ? nullptr : header.data(),
                                   static_cast<uint32_t>(header.size())),
              1)
        << link_.LastError();
    for (size_t at = 0; at < image.size(); at += 1024) {
      uint32_t n = static_cast<uint32_t>(std::min<size_t>(1024, image.size() - at));
      ASSERT_EQ(StreamWrite(link_, image.data() + at, static_cast<uint32_t>(at), n), 1)
          << link_.LastError();
    }
    ASSERT_EQ(StreamClose(link_), 1) << link_.LastError();
  }

  testing::ScopedRoot root_;
  VirtualClock clock_;
  MemoryPorts ports_;
  std::unique_ptr<sim::InProcessModem> modem_;
  PhoneLink link_{clock_, ports_};
};

TEST_F(ConversationTest, CompleteDownloadConversation) {
  const Bytes programmer = Pattern(5000, 1);
  ModemConfig config;
  config.expectedProgrammer = programmer;
  Start(config);
  const int firstPort = link_.Port().PortNumber();

  // Identify.
  uint32_t esn = 0;
  ASSERT_EQ(CheckCommunication(link_), 1);
  ASSERT_EQ(GetEsn(link_, esn), 1);
  EXPECT_EQ(esn, config.esn);
  std::array<char, kBuildTextSize> build{};
  ASSERT_EQ(GetBuildVersion(link_, build), 1);
  EXPECT_STREQ(build.data(), "M6290A-KPRBL-1.5.1205");
  VersionTexts texts;
  ASSERT_EQ(GetVersionTexts(link_, texts), 1);
  EXPECT_EQ(texts.Text(9), "ZIZ_RU_Farrick_B01");
  EXPECT_EQ(ProbeDiagMode(link_), 1);

  // NV read and write.
  std::array<uint8_t, kNvDataSize> item22{};
  uint16_t status = 0xFFFF;
  ASSERT_EQ(ReadNvItem(link_, 22, item22, status), 1);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(item22, device().NvDefault(22));
  item22[0] ^= 0xFF;
  ASSERT_EQ(WriteNvItem(link_, 22, item22, status), 1);
  EXPECT_EQ(device().NvItem(22), item22);

  // Autorun off and the vendor handshake.
  ASSERT_EQ(SetVendorSwitchAA(link_, 1), 1);
  ASSERT_EQ(SetAutorun(link_, 0), 1);
  std::array<uint8_t, kDeviceValueSize> challenge{};
  ASSERT_EQ(GetDeviceValue(link_, challenge), 1);
  Md5Digest answer = Md5::Of(challenge);
  ASSERT_EQ(SetDeviceValue(link_, answer), 1);
  EXPECT_EQ(device().Handshake().result, sim::HandshakeState::Result::Passed);

  AtChannel at(clock_, ports_);
  ASSERT_EQ(at.port.Open(modem_->DataPort(), 115200, 8, 1), 1);
  at.SetTimeout(1000);
  at.SetTries(2);
  EXPECT_TRUE(at.SendCommand("AT+VCDRUN=E"));
  EXPECT_TRUE(at.SendCommand("AT+VCDRUN=8"));
  std::string gmr;
  EXPECT_TRUE(at.GetVersion(gmr));
  EXPECT_EQ(gmr, "ZIZ_RU_Farrick_B01");

  // Downloader, programmer.
  EnterDownloader();
  EXPECT_EQ(link_.Port().PortNumber(), firstPort) << "the switch keeps the port";
  FlashParameters flash;
  ASSERT_EQ(DmssGetParameters(link_, flash), 1);
  EXPECT_EQ(flash.sizeCode, 6);
  StartProgrammer(programmer);
  EXPECT_EQ(device().Mode(), ModemMode::Programmer);

  // Probe write, security mode, partition table, the images.
  Bytes probe(1024, 0);
  probe[0] = 0x61;
  ASSERT_EQ(StreamWrite(link_, probe.data(), 0xFFFFFFFF, 1024), 1) << link_.LastError();
  const Bytes table = Pattern(464, 2);
  PrepareFlash(table);
  struct Image {
    uint8_t type;
    Bytes header;
    Bytes data;
  };
  const Image images[] = {
      {2, {}, Pattern(1024, 3)},
      {3, {}, Pattern(3000, 4)},
      {4, Pattern(40, 5), Pattern(2049, 6)},
      {5, Pattern(40, 7), Pattern(9000, 8)},
      {10, Pattern(40, 9), Pattern(1500, 10)},
  };
  for (const Image& image : images) {
    SCOPED_TRACE(static_cast<int>(image.type));
    WriteImage(image.type, image.header, image.data);
  }

  // EFS: blocks kept in flight, acknowledgements collected several at once.
  const Bytes efs = Pattern(20 * 1024 + 300, 11);
  ASSERT_EQ(StreamOpenMultiImage(link_, 9, nullptr, 0), 1);
  link_.ClearAcknowledged();
  std::vector<uint32_t> inFlight, acked;
  for (size_t offset = 0; offset < efs.size(); offset += 1024) {
    uint32_t n = static_cast<uint32_t>(std::min<size_t>(1024, efs.size() - offset));
    ASSERT_EQ(StreamWriteNoWait(link_, efs.data() + offset, static_cast<uint32_t>(offset), n), 1);
    inFlight.push_back(static_cast<uint32_t>(offset));
    while (inFlight.size() > 4) {
      Sleep(1);
      ASSERT_EQ(StreamCollectReplies(link_), 1) << link_.LastError();
      Retire(link_, inFlight, acked);
    }
  }
  for (int pass = 0; pass < 3 && !inFlight.empty(); ++pass) {
    Sleep(150);
    ASSERT_EQ(StreamCollectReplies(link_), 1);
    Retire(link_, inFlight, acked);
  }
  EXPECT_TRUE(inFlight.empty());
  EXPECT_EQ(acked.size(), (efs.size() + 1023) / 1024);
  EXPECT_TRUE(std::is_sorted(acked.begin(), acked.end())) << ::testing::PrintToString(acked);
  ASSERT_EQ(StreamClose(link_), 1);

  // Reset: the modem re-enumerates into the new firmware under new ports.
  ASSERT_EQ(StreamReset(link_), 1) << link_.LastError();
  link_.Port().Close();
  Sleep(3000);
  const int newPort = AwaitPorts();
  ASSERT_NE(newPort, 0);
  EXPECT_NE(newPort, firstPort);
  ASSERT_EQ(link_.Port().Open(newPort, 115200, 8, 1), 1);
  ASSERT_EQ(GetVersionTexts(link_, texts), 1);
  EXPECT_EQ(texts.Text(9), "ZIZ_RU_Farrick_B02");
  ASSERT_EQ(WriteNvItem(link_, 22, device().NvDefault(22), status), 1);

  // What the modem ended up with.
  EXPECT_EQ(device().PartitionTables(), std::vector<Bytes>{table});
  for (const Image& image : images) {
    EXPECT_EQ(device().ImageBytes(image.type), image.data) << int(image.type);
    if (!image.header.empty()) {
      EXPECT_EQ(device().ImageHeader(image.type), image.header);
    }
  }
  EXPECT_EQ(device().ImageBytes(9), efs);
  for (const sim::Violation& v : device().Violations())
    ADD_FAILURE() << v.timeMs << " ms: " << v.text;
  EXPECT_EQ(device().CdRunCommands(), (std::vector<std::string>{"E", "8"}));
}

// ---------------------------------------------------------------- faults

struct FaultCase {
  const char* name;
  std::function<void(ModemConfig&)> configure;
  // Runs the host side; returns the operation's result.
  std::function<int(ConversationTest&, PhoneLink&)> run;
  int result;
  std::string error;  // lastError, or empty to skip the check
};

class FaultTest : public ConversationTest, public ::testing::WithParamInterface<FaultCase> {
 public:
  using ConversationTest::EnterDownloader;
  using ConversationTest::PrepareFlash;
  using ConversationTest::Sleep;
  using ConversationTest::StartProgrammer;
  sim::VirtualModem& Device() { return device(); }
};

sim::ReplyFault ReplyFaultOf(sim::ReplyFault::Kind kind, uint32_t nth,
                             std::optional<uint8_t> code = std::nullopt) {
  sim::ReplyFault f;
  f.kind = kind;
  f.match.nth = nth;
  f.match.code = code;
  return f;
}

sim::NvReplyFault NvReply(sim::NvReplyFault::Kind kind, std::optional<uint16_t> item,
                          uint16_t value) {
  sim::NvReplyFault f;
  f.kind = kind;
  f.item = item;
  f.value = value;
  return f;
}

// An NV read: its result when it ends with the expected status and zero data.
int ReadNv(PhoneLink& link, uint16_t item, uint16_t expectedStatus) {
  std::array<uint8_t, kNvDataSize> data{};
  data.fill(1);
  uint16_t status = 0;
  int r = ReadNvItem(link, item, data, status);
  return status == expectedStatus && data == std::array<uint8_t, kNvDataSize>{} ? r : -1;
}

int GetEsnOnce(ConversationTest&, PhoneLink& link) {
  uint32_t esn = 0;
  return GetEsn(link, esn);
}

// Into the programmer with one image open; then writes block `block` of it.
int WriteBlockOfOpenImage(FaultTest& t, PhoneLink& link, uint8_t type, uint32_t block) {
  t.EnterDownloader();
  t.StartProgrammer(Pattern(100, 1));
  t.PrepareFlash(Pattern(64, 2));
  if (StreamOpenMultiImage(link, type, nullptr, 0) != 1) return -1;
  Bytes data = Pattern(1024, 3);
  for (uint32_t b = 0; b < block; ++b) {
    if (StreamWrite(link, data.data(), b * 1024, 1024) != 1) return -2;
  }
  return StreamWrite(link, data.data(), block * 1024, 1024);
}

const FaultCase kFaultCases[] = {
    {"dropped reply",
     [](ModemConfig& c) {
       c.faults.replies.push_back(ReplyFaultOf(sim::ReplyFault::Kind::Drop, 2));
     },
     [](ConversationTest& t, PhoneLink& l) { return GetEsnOnce(t, l) + GetEsnOnce(t, l); }, 1,
     "Cannot Get the ESN Number of the Phone, Since Port Cannot Receive Desired Data from the "
     "Phone"},
    {"corrupted reply",
     [](ModemConfig& c) {
       c.faults.replies.push_back(ReplyFaultOf(sim::ReplyFault::Kind::Corrupt, 1, 0x01));
     },
     GetEsnOnce, 0,
     "Cannot Get the ESN Number of the Phone, Since the Received Data is Wrong with Wrong CRC "
     "Checksum"},
    {"reply later than the time-out",
     [](ModemConfig& c) {
       sim::ReplyFault f = ReplyFaultOf(sim::ReplyFault::Kind::Delay, 1);
       f.delayMs = 400;
       c.faults.replies.push_back(f);
     },
     GetEsnOnce, 0,
     "Cannot Get the ESN Number of the Phone, Since Port Cannot Receive Desired Data from the "
     "Phone"},
    {"reply split with pauses",
     [](ModemConfig& c) {
       sim::ReplyFault f = ReplyFaultOf(sim::ReplyFault::Kind::Split, 1);
       f.pieceSize = 3;
       f.intervalMs = 40;
       c.faults.replies.push_back(f);
     },
     GetEsnOnce, 1, ""},
    {"reply split at random points",
     [](ModemConfig& c) {
       sim::ReplyFault f = ReplyFaultOf(sim::ReplyFault::Kind::Split, 1);
       f.randomCuts = 4;
       f.intervalMs = 50;
       c.faults.replies.push_back(f);
     },
     GetEsnOnce, 1, ""},
    {"reply split beyond the time-out",
     [](ModemConfig& c) {
       sim::ReplyFault f = ReplyFaultOf(sim::ReplyFault::Kind::Split, 1);
       f.pieceSize = 3;
       f.intervalMs = 200;
       c.faults.replies.push_back(f);
     },
     GetEsnOnce, 0,
     "Cannot Get the ESN Number of the Phone, Since the Received Data is Wrong without End "
     "Flag(0x7e)"},
    {"reply split but quick",
     [](ModemConfig& c) {
       sim::ReplyFault f = ReplyFaultOf(sim::ReplyFault::Kind::Split, 1);
       f.pieceSize = 2;
       f.intervalMs = 4;
       c.faults.replies.push_back(f);
     },
     GetEsnOnce, 1, ""},
    {"NV status for one item",
     [](ModemConfig& c) { c.faults.nvStatus[22] = {.read = 4, .write = std::nullopt, .count = 0}; },
     [](ConversationTest&, PhoneLink& l) {
       std::array<uint8_t, kNvDataSize> data{};
       uint16_t status = 0;
       int r = ReadNvItem(l, 22, data, status);
       return status == 4 ? r : -1;
     },
     0, "cannot read #22 NV Item, since Command failed, reason other than NVM was full"},
    {"NV read answered for another item",
     [](ModemConfig& c) {
       c.faults.nvReplies.push_back(NvReply(sim::NvReplyFault::Kind::OtherItem, 22, 23));
     },
     [](ConversationTest&, PhoneLink& l) { return ReadNv(l, 22, 0xFFFF); }, 0,
     "cannot read #22 NVItem, since the Phone Answered for #23 NVItem instead of #22"},
    {"NV read reply cut short",
     [](ModemConfig& c) {
       c.faults.nvReplies.push_back(NvReply(sim::NvReplyFault::Kind::Short, 22, 3));
     },
     [](ConversationTest&, PhoneLink& l) { return ReadNv(l, 22, 0xFFFF); }, 0,
     "cannot read #22 NVItem, since the NV Reply is 3 Bytes Long instead of 133"},
    {"NV read refused with a bad-length reply",
     [](ModemConfig& c) {
       c.faults.nvReplies.push_back(NvReply(sim::NvReplyFault::Kind::DiagError, 22, 0x15));
     },
     [](ConversationTest&, PhoneLink& l) { return ReadNv(l, 22, 6); }, 0,
     "cannot read #22 NVItem, since The Request packet has an invalid length"},
    {"every NV item inactive",
     [](ModemConfig& c) {
       c.faults.nvReplies.push_back(NvReply(sim::NvReplyFault::Kind::Status, std::nullopt, 5));
     },
     [](ConversationTest&, PhoneLink& l) { return ReadNv(l, 22, 5) + ReadNv(l, 4000, 5); }, 0,
     "cannot read #4000 NV Item, since Variable was not active"},
    {"NV write answered for another item",
     [](ModemConfig& c) {
       sim::NvReplyFault f = NvReply(sim::NvReplyFault::Kind::OtherItem, 22, 23);
       f.write = true;
       c.faults.nvReplies.push_back(f);
     },
     [](ConversationTest& t, PhoneLink& l) {
       sim::VirtualModem& m = static_cast<FaultTest&>(t).Device();
       uint16_t status = 0;
       sim::NvData data{};
       data.fill(0x5A);
       int r = WriteNvItem(l, 22, data, status);
       // Not stored: the modem answered for another item.
       return status == 0xFFFF && m.NvItem(22) == m.NvDefault(22) ? r : -1;
     },
     0, "Cannot write #22 NVItem, Since the Phone Answered for #23 NVItem instead of #22"},
    {"never ready", [](ModemConfig& c) { c.faults.neverReady = true; },
     [](ConversationTest&, PhoneLink& l) {
       PutOffline(l);
       int ready = 0;
       for (int i = 0; i < 5; ++i) ready += PollReady(l);
       return ready;
     },
     0, ""},
    {"rejected programmer write",
     [](ModemConfig& c) { c.faults.dmssRejects.push_back({.nth = 2, .count = 3, .reason = 2}); },
     [](ConversationTest& t, PhoneLink& l) {
       static_cast<FaultTest&>(t).EnterDownloader();
       Bytes data = Pattern(1017, 1);
       if (DmssWrite(l, data.data(), 0x00800000, 1017) != 1) return -1;
       return DmssWrite(l, data.data(), 0x00800000 + 1017, 1017);
     },
     0, "Write a Block of Data to Memory Failed, Since destination address is invalid"},
    {"streaming error at a block",
     [](ModemConfig& c) {
       c.faults.streamErrors.push_back({.imageType = 3, .block = 2, .code = 10, .count = 1});
     },
     [](ConversationTest& t, PhoneLink& l) {
       return WriteBlockOfOpenImage(static_cast<FaultTest&>(t), l, 3, 2);
     },
     0, "Write a Block of Data to Memory Failed, Since Write-verify failed"},
    {"unplugged in the middle of a write",
     [](ModemConfig& c) {
       c.faults.unplug = sim::UnplugFault{.imageType = 9, .block = 1, .replugMs = 0};
     },
     [](ConversationTest& t, PhoneLink& l) {
       // The block in flight goes unanswered; the next one cannot be sent.
       if (WriteBlockOfOpenImage(static_cast<FaultTest&>(t), l, 9, 1) != 1) return -1;
       Bytes data = Pattern(1024, 3);
       return StreamWrite(l, data.data(), 2048, 1024);
     },
     0, "Write a Block of Data to Memory Failed, Since Port Cannot Send desired data to the Phone"},
};

TEST_P(FaultTest, HostSeesTheSymptom) {
  const FaultCase& c = GetParam();
  ModemConfig config;
  c.configure(config);
  Start(config);
  EXPECT_EQ(c.run(*this, link_), c.result);
  if (!c.error.empty()) {
    EXPECT_EQ(link_.LastError(), c.error);
  }
  // Injected faults are the modem's doing, never the host's violations.
  for (const sim::Violation& v : Device().Violations()) ADD_FAILURE() << v.text;
}

INSTANTIATE_TEST_SUITE_P(Faults, FaultTest, ::testing::ValuesIn(kFaultCases),
                         [](const ::testing::TestParamInfo<FaultCase>& param) {
                           std::string name = param.param.name;
                           for (char& ch : name) {
                             if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
                           }
                           return name;
                         });

TEST_F(ConversationTest, ModemThatDoesNotComeBackAfterItsReset) {
  ModemConfig config;
  config.faults.noReturnAfterReset = 2;
  Start(config);
  // The first reset comes back, the second does not.
  ASSERT_EQ(ResetPhone(link_), 1);
  link_.Port().Close();
  Sleep(3000);
  const int port = AwaitPorts();
  ASSERT_NE(port, 0);
  ASSERT_EQ(link_.Port().Open(port, 115200, 8, 1), 1);
  ASSERT_EQ(ResetPhone(link_), 1);
  link_.Port().Close();
  Sleep(3000);
  EXPECT_EQ(AwaitPorts(120000), 0);
  EXPECT_EQ(device().Mode(), ModemMode::Detached);
  EXPECT_EQ(link_.Port().Open(port, 115200, 8, 1), 0);
}

TEST_F(ConversationTest, UnpluggedModemComesBackInItsFirmware) {
  ModemConfig config;
  config.faults.unplug = sim::UnplugFault{.imageType = 5, .block = 0, .replugMs = 8000};
  Start(config);
  const int firstPort = link_.Port().PortNumber();
  EnterDownloader();
  StartProgrammer(Pattern(64, 1));
  PrepareFlash(Pattern(64, 2));
  Bytes header = Pattern(40, 3), data = Pattern(1024, 4);
  ASSERT_EQ(StreamOpenMultiImage(link_, 5, header.data(), 40), 1);
  EXPECT_EQ(StreamWrite(link_, data.data(), 0, 1024), 1) << "no answer counts as sent";
  EXPECT_EQ(DiscoverDiagPort(), 0);
  link_.Port().Close();
  const int port = AwaitPorts();
  ASSERT_NE(port, 0);
  EXPECT_NE(port, firstPort);
  ASSERT_EQ(link_.Port().Open(port, 115200, 8, 1), 1);
  uint32_t esn = 0;
  EXPECT_EQ(GetEsn(link_, esn), 1);
  EXPECT_EQ(device().CurrentVersion(), "ZIZ_RU_Farrick_B01") << "the AMSS image was never closed";
}

TEST_F(ConversationTest, RandomFaultsFollowTheSeed) {
  auto run = [](uint64_t seed) {
    testing::ScopedRoot root;
    VirtualClock clock;
    MemoryPorts ports;
    ModemConfig config;
    config.seed = seed;
    config.faults.randomDropPerMille = 300;
    sim::InProcessModem modem(clock, ports, config);
    modem.PlugIn();
    PhoneLink link(clock, ports);
    link.Port().Open(modem.DiagPort(), 115200, 8, 1);
    std::string outcome;
    for (int i = 0; i < 40; ++i) {
      uint32_t esn;
      outcome += GetEsn(link, esn) ? '1' : '0';
    }
    return outcome;
  };
  const std::string a = run(7);
  EXPECT_EQ(a, run(7));
  EXPECT_NE(a, run(8));
  EXPECT_NE(a.find('0'), std::string::npos);
  EXPECT_NE(a.find('1'), std::string::npos);
}

}  // namespace
}  // namespace quorrel::simtest

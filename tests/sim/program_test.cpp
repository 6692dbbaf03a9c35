// quorrel-sim as a program: attached over real pseudo-terminals under a
// scratch QUORREL_ROOT, driven by the host's own operations through the
// dosdevices links, re-enumerating, and leaving its report and dumps behind
// when SIGTERM detaches it.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <string>
#include <vector>

#include "download/dmss.h"
#include "download/streaming.h"
#include "link/phone_link.h"
#include "platform/dosdevices.h"
#include "platform/registry.h"
#include "platform/scoped_root.h"
#include "services/at_channel.h"
#include "services/diag_commands.h"
#include "sim/sha256.h"
#include "sim/usb_registry.h"
#include "sim_process.h"
#include "support/byte_pattern.h"
#include "util/md5.h"

namespace quorrel::simtest {
namespace {

using testsupport::Pattern;

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

Bytes ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool RegistryKeyExists(const std::string& key) {
  RegistryKey k;
  return k.Open(RegistryRoot::LocalMachine, key) == kRegistryOk;
}

TEST(ProgramTest, AttachesAnswersReEnumeratesReportsAndDetaches) {
  ASSERT_TRUE(fs::exists(SimulatorPath())) << SimulatorPath();
  testing::ScopedRoot root;
  const fs::path report = root.path() / "report.json";
  const fs::path dump = root.path() / "dump";
  SimProcess sim;
  ASSERT_TRUE(sim.Start(
      {"--time-scale", "0.1", "--timing",
       "downloader-start=0,programmer-start=0,detach-after=2000,reattach-after=3000", "--challenge",
       "0102030405060708", "--report", report.string(), "--dump", dump.string()},
      root.path() / "sim.err"));
  int diagPort = 0, dataPort = 0;
  ASSERT_TRUE(sim.AwaitAttach(&diagPort, &dataPort));
  EXPECT_EQ(diagPort, 5);
  EXPECT_EQ(dataPort, 6);
  EXPECT_TRUE(ComPortExists(diagPort));
  EXPECT_TRUE(RegistryKeyExists(sim::SerialServiceEnumKey("Vantrel")));

  RealClock clock;
  PhoneLink link(clock, SystemSerialDevices());
  ASSERT_EQ(link.Port().Open(diagPort, 115200, 8, 1), 1);

  // Firmware.
  uint32_t esn = 0;
  ASSERT_EQ(GetEsn(link, esn), 1) << link.LastError();
  EXPECT_EQ(esn, 0x8A3F21C4u);
  VersionTexts texts;
  ASSERT_EQ(GetVersionTexts(link, texts), 1) << link.LastError();
  EXPECT_EQ(texts.Text(9), "ZIZ_RU_Farrick_B01");
  std::array<uint8_t, kNvDataSize> item{};
  item.fill(0x3C);
  uint16_t status = 0;
  ASSERT_EQ(WriteNvItem(link, 22, item, status), 1) << link.LastError();
  ASSERT_EQ(SetAutorun(link, 0), 1);
  std::array<uint8_t, kDeviceValueSize> challenge{};
  ASSERT_EQ(GetDeviceValue(link, challenge), 1);
  ASSERT_EQ(SetDeviceValue(link, Md5::Of(challenge)), 1);
  {
    AtChannel at(clock, SystemSerialDevices());
    ASSERT_EQ(at.port.Open(dataPort, 115200, 8, 1), 1);
    at.SetTimeout(1000);
    at.SetTries(2);
    EXPECT_TRUE(at.SendCommand("AT+VCDRUN=E"));
    std::string version;
    EXPECT_TRUE(at.GetVersion(version));
    EXPECT_EQ(version, "ZIZ_RU_Farrick_B01");
  }

  // Downloader and programmer.
  ASSERT_EQ(PutOffline(link), 1);
  ASSERT_EQ(PollReady(link), 1);
  ASSERT_EQ(SwitchToDownloader(link), 1) << link.LastError();
  ASSERT_EQ(DmssNoOp(link), 1) << link.LastError();
  const Bytes programmer = Pattern(2500, 1);
  for (size_t at = 0; at < programmer.size(); at += 1017) {
    uint32_t n = static_cast<uint32_t>(std::min<size_t>(1017, programmer.size() - at));
    ASSERT_EQ(DmssWrite(link, programmer.data() + at, 0x00800000 + static_cast<uint32_t>(at), n), 1)
        << link.LastError();
  }
  ASSERT_EQ(DmssGo(link, 0x80, 0), 1) << link.LastError();
  ASSERT_EQ(StreamHello(link), 1) << link.LastError();
  ASSERT_EQ(StreamSecurityMode(link), 1) << link.LastError();
  const Bytes table = Pattern(464, 2);
  ASSERT_EQ(StreamPartitionTable(link, table.data(), static_cast<uint32_t>(table.size())), 1)
      << link.LastError();
  const Bytes header = Pattern(40, 3), amss = Pattern(5000, 4);
  ASSERT_EQ(StreamOpenMultiImage(link, 5, header.data(), 40), 1) << link.LastError();
  for (size_t at = 0; at < amss.size(); at += 1024) {
    uint32_t n = static_cast<uint32_t>(std::min<size_t>(1024, amss.size() - at));
    ASSERT_EQ(StreamWrite(link, amss.data() + at, static_cast<uint32_t>(at), n), 1)
        << link.LastError();
  }
  ASSERT_EQ(StreamClose(link), 1) << link.LastError();

  // Reset: the ports vanish and come back under new numbers.
  ASSERT_EQ(StreamReset(link), 1) << link.LastError();
  link.Port().Close();
  EXPECT_EQ(sim.ReadLine(), "detached");
  int newDiag = 0, newData = 0;
  ASSERT_TRUE(sim.AwaitAttach(&newDiag, &newData));
  EXPECT_EQ(newDiag, 7);
  EXPECT_EQ(newData, 8);
  EXPECT_FALSE(ComPortExists(diagPort));
  ASSERT_EQ(link.Port().Open(newDiag, 115200, 8, 1), 1);
  ASSERT_EQ(GetVersionTexts(link, texts), 1) << link.LastError();
  EXPECT_EQ(texts.Text(9), "ZIZ_RU_Farrick_B02");
  link.Port().Close();

  // SIGTERM: clean detach, report, dumps.
  sim.Signal(SIGTERM);
  EXPECT_EQ(sim.Finish(), 0) << "see " << (root.path() / "sim.err");
  EXPECT_FALSE(ComPortExists(newDiag));
  std::error_code ec;
  EXPECT_FALSE(fs::is_symlink(ComPortPath(newDiag), ec))
      << "the link itself is gone, not left dangling";
  EXPECT_FALSE(RegistryKeyExists(sim::SerialServiceEnumKey("Vantrel")));
  EXPECT_FALSE(RegistryKeyExists(sim::ModemServiceEnumKey("Vantrel")));
  EXPECT_FALSE(RegistryKeyExists("SYSTEM\\CurrentControlSet\\Enum\\USB"));

  const Bytes reportBytes = ReadFile(report);
  const std::string json(reportBytes.begin(), reportBytes.end());
  for (const std::string& expected : {
           std::string("\"violations\": []"),
           std::string("\"result\": \"passed\""),
           std::string("\"command\": \"AT+VCDRUN=E\""),
           std::string("\"name\": \"autorun\""),
           std::string("\"item\": 22"),
           std::string("\"name\": \"amss\""),
           std::string("\"header\": \"") + sim::HexText(header) + "\"",
           std::string("\"length\": 5000"),
           std::string("\"sha256\": \"") + sim::Sha256::HexOf(amss) + "\"",
           std::string("\"sha256\": \"") + sim::Sha256::HexOf(programmer) + "\"",
           std::string("\"version\": \"ZIZ_RU_Farrick_B02\""),
           std::string("\"code\": \"0x0B\""),
       }) {
    EXPECT_NE(json.find(expected), std::string::npos) << expected;
  }
  EXPECT_EQ(ReadFile(dump / "amss.mbn"), amss);
  EXPECT_EQ(ReadFile(dump / "amsshd.mbn"), header);
  EXPECT_EQ(ReadFile(dump / "partition.mbn"), table);
  EXPECT_EQ(ReadFile(dump / "armprg.bin"), programmer);
}

TEST(ProgramTest, RefusesBadOptionsWithoutAttaching) {
  testing::ScopedRoot root;
  SimProcess sim;
  ASSERT_TRUE(sim.Start({"--stream-error", "block=3"}, root.path() / "sim.err"));
  EXPECT_EQ(sim.ReadLine(), "");
  EXPECT_EQ(sim.Finish(), 2);
  EXPECT_FALSE(fs::exists(root.path() / "dosdevices"));
  const Bytes err = ReadFile(root.path() / "sim.err");
  EXPECT_NE(std::string(err.begin(), err.end()).find("missing type="), std::string::npos);
}

}  // namespace
}  // namespace quorrel::simtest

// quorrel-sim's command line and its report.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <regex>
#include <sstream>

#include "platform/scoped_root.h"
#include "raw_host.h"
#include "sim/option_table.h"
#include "sim/options.h"
#include "sim/report.h"
#include "sim/sha256.h"

namespace quorrel::simtest {
namespace {

using sim::ModemMode;
using sim::ReplyFault;
using sim::SimOptions;

std::optional<SimOptions> Parse(std::vector<std::string> args, std::string* error = nullptr) {
  std::string ignored;
  return sim::ParseSimOptions(args, error ? error : &ignored);
}

TEST(SimOptionsTest, StateOptions) {
  auto o = Parse({"--seed", "42", "--esn", "12AB34CD", "--version", "X_1", "--first-port", "11",
                  "--nv-inactive", "1,0x10,300", "--challenge", "00112233445566ff", "--time-scale",
                  "0.25", "--timing", "reply=9,reattach-after=100", "--report", "r.json",
                  "--never-ready"});
  ASSERT_TRUE(o);
  EXPECT_EQ(o->modem.seed, 42u);
  EXPECT_EQ(o->modem.esn, 0x12AB34CDu);
  EXPECT_EQ(o->modem.firmwareVersion, "X_1");
  EXPECT_EQ(o->modem.firstDiagPort, 11);
  EXPECT_EQ(o->modem.firstDataPort, 12);
  EXPECT_EQ(o->modem.inactiveItems, (std::set<uint16_t>{1, 16, 300}));
  EXPECT_EQ(o->modem.challenge,
            (std::vector<uint8_t>{0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0xFF}));
  EXPECT_DOUBLE_EQ(o->timeScale, 0.25);
  EXPECT_EQ(o->modem.timings.replyMs, 9u);
  EXPECT_EQ(o->modem.timings.reattachAfterMs, 100u);
  EXPECT_EQ(o->modem.timings.nvReplyMs, sim::Timings{}.nvReplyMs);
  EXPECT_EQ(o->reportPath, "r.json");
  EXPECT_TRUE(o->modem.faults.neverReady);

  auto untagged = Parse({"--no-carrier-tag"});
  ASSERT_TRUE(untagged);
  EXPECT_EQ(untagged->modem.firmwareVersion.find("ZIZ_RU_Farrick"), std::string::npos);
}

TEST(SimOptionsTest, FaultOptions) {
  auto o = Parse({"--drop-reply",
                  "nth=3,count=2,mode=programmer,code=0x07",
                  "--delay-reply",
                  "ms=500",
                  "--split-replies",
                  "piece=4,interval=30",
                  "--split-replies",
                  "cuts=3,interval=35,mode=programmer",
                  "--reject-dmss-write",
                  "nth=2,reason=7",
                  "--stream-error",
                  "type=5,block=10,code=10,count=0",
                  "--nv-status",
                  "item=22,read=4",
                  "--unplug-during-write",
                  "type=9,block=3,replug-ms=5000",
                  "--no-return-after-reset",
                  "2",
                  "--nv-reply",
                  "kind=other,item=90,value=91,dir=write,count=2",
                  "--nv-reply",
                  "kind=status,value=5",
                  "--power-loss-after-partition",
                  "--stall-image",
                  "type=5,block=3",
                  "--start-in",
                  "programmer",
                  "--swap-at-reset",
                  "reset=2,seed=9,esn=5C0FFEE5"});
  ASSERT_TRUE(o);
  EXPECT_EQ(o->modem.startMode, ModemMode::Programmer);
  const auto& f = o->modem.faults;
  EXPECT_TRUE(f.powerLossAfterPartition);
  ASSERT_TRUE(f.stall);
  EXPECT_EQ(f.stall->imageType, 5);
  EXPECT_EQ(f.stall->block, 3u);
  ASSERT_EQ(f.replies.size(), 4u);
  EXPECT_EQ(f.replies[0].kind, ReplyFault::Kind::Drop);
  EXPECT_EQ(f.replies[0].match.nth, 3u);
  EXPECT_EQ(f.replies[0].match.count, 2u);
  EXPECT_EQ(f.replies[0].match.mode, ModemMode::Programmer);
  EXPECT_EQ(f.replies[0].match.code, 0x07);
  EXPECT_EQ(f.replies[1].delayMs, 500u);
  EXPECT_EQ(f.replies[2].pieceSize, 4u);
  EXPECT_EQ(f.replies[2].match.count, 0u) << "a split applies to every reply unless limited";
  EXPECT_EQ(f.replies[2].randomCuts, 0u);
  EXPECT_EQ(f.replies[3].randomCuts, 3u);
  EXPECT_EQ(f.replies[3].intervalMs, 35u);
  ASSERT_EQ(f.dmssRejects.size(), 1u);
  EXPECT_EQ(f.dmssRejects[0].reason, 7);
  ASSERT_EQ(f.streamErrors.size(), 1u);
  EXPECT_EQ(f.streamErrors[0].block, 10u);
  EXPECT_EQ(f.nvStatus.at(22).read, 4);
  EXPECT_FALSE(f.nvStatus.at(22).write);
  ASSERT_TRUE(f.unplug);
  EXPECT_EQ(f.unplug->replugMs, 5000u);
  EXPECT_EQ(f.noReturnAfterReset, 2u);
  ASSERT_EQ(f.nvReplies.size(), 2u);
  EXPECT_EQ(f.nvReplies[0].kind, sim::NvReplyFault::Kind::OtherItem);
  EXPECT_EQ(f.nvReplies[0].item, 90);
  EXPECT_EQ(f.nvReplies[0].value, 91);
  EXPECT_TRUE(f.nvReplies[0].write);
  EXPECT_EQ(f.nvReplies[0].count, 2u);
  EXPECT_EQ(f.nvReplies[1].kind, sim::NvReplyFault::Kind::Status);
  EXPECT_FALSE(f.nvReplies[1].item) << "no item: every item";
  EXPECT_FALSE(f.nvReplies[1].write);
  ASSERT_TRUE(f.swap);
  EXPECT_EQ(f.swap->afterReset, 2u);
  EXPECT_EQ(f.swap->seed, 9u);
  EXPECT_EQ(f.swap->esn, 0x5C0FFEE5u);
}

TEST(SimOptionsTest, UsbOptions) {
  auto o = Parse({"--usb",         "--usb-path",
                  "3-1",           "--usb-companion",
                  "download",      "--usb-download-id",
                  "abcd:0123",     "--usb-serial",
                  "SN-1",          "--usb-interfaces",
                  "diag=1,at=3",   "--usb-programmer-stays",
                  "--slow-reboot", "ms=30000,nth=2,count=0",
                  "--swap-modem",  "at=2,esn=11223344,serial=none",
                  "--seed",        "9",
                  "--swap-report", "b.json",
                  "--swap-dump",   "bdump"});
  ASSERT_TRUE(o);
  const sim::UsbSettings& u = o->modem.usb;
  EXPECT_TRUE(o->usb);
  EXPECT_TRUE(u.reenumerate);
  EXPECT_FALSE(u.programmerReenumerates);
  EXPECT_EQ(u.path, "3-1");
  EXPECT_EQ(u.companion, sim::UsbCompanion::Download);
  EXPECT_EQ(u.downloadVendorId, 0xABCD);
  EXPECT_EQ(u.downloadProductId, 0x0123);
  EXPECT_EQ(u.serial, "SN-1");
  EXPECT_EQ(u.diagInterface, 1);
  EXPECT_EQ(u.atInterface, 3);
  EXPECT_EQ(u.interfaceCount, 4);
  ASSERT_TRUE(o->modem.faults.slowReboot);
  EXPECT_EQ(o->modem.faults.slowReboot->ms, 30000u);
  EXPECT_EQ(o->modem.faults.slowReboot->nth, 2u);
  EXPECT_EQ(o->modem.faults.slowReboot->count, 0u);
  ASSERT_TRUE(o->modem.swap);
  EXPECT_EQ(o->modem.swap->at, 2u);
  EXPECT_EQ(o->modem.swap->esn, 0x11223344u);
  EXPECT_EQ(o->modem.swap->seed, 10u) << "another seed than the modem's, whatever the order";
  EXPECT_EQ(o->modem.swap->serial, "");
  EXPECT_EQ(o->swapReportPath, "b.json");
  EXPECT_EQ(o->swapDumpDir, "bdump");

  // The swapped-in modem: the swap's identity, none of the first one's
  // faults or NV contents.
  o->modem.nvContents[5] = {1, 2, 3};
  const sim::ModemConfig other = sim::SwappedInConfig(o->modem);
  EXPECT_EQ(other.seed, 10u);
  EXPECT_EQ(other.esn, 0x11223344u);
  EXPECT_EQ(sim::UsbSerial(other), "");
  EXPECT_TRUE(other.nvContents.empty());
  EXPECT_FALSE(other.faults.slowReboot);
  EXPECT_FALSE(other.swap);
  EXPECT_EQ(other.usb.path, "3-1");
  EXPECT_EQ(sim::UsbSerial(o->modem), "SN-1");

  // Defaults: the chipset's download identity, diag 0 and AT 2 of three,
  // the ESN as the serial, the programmer's start a re-enumeration too.
  auto plain = Parse({"--usb", "--esn", "0A0B0C0D"});
  ASSERT_TRUE(plain);
  EXPECT_EQ(plain->modem.usb.downloadVendorId, 0x05C6);
  EXPECT_EQ(plain->modem.usb.downloadProductId, 0x9008);
  EXPECT_EQ(plain->modem.usb.interfaceCount, 3);
  EXPECT_TRUE(plain->modem.usb.programmerReenumerates);
  EXPECT_EQ(sim::UsbSerial(plain->modem), "0A0B0C0D");
  EXPECT_FALSE(Parse({})->modem.usb.reenumerate)
      << "the registry mode keeps its ports across the switches";

  const std::pair<std::string, std::string> paths[] = {
      {"1-2", "2-2"}, {"2-2", "1-2"}, {"3-1", "4-1"}, {"1-1.4", ""}, {"127-1", ""}};
  for (const auto& [path, companion] : paths)
    EXPECT_EQ(sim::UsbCompanionPath(path), companion) << path;
}

// The help text and the option tables are written apart: the help names
// every option the parser takes, each with a value exactly when the parser
// wants one, and nothing the parser would refuse as unknown.
TEST(SimOptionsTest, HelpNamesEveryOptionTheParserTakes) {
  std::map<std::string, bool> helped;  // option -> shown with a value
  const std::regex option(R"(^ +(--[a-z-]+)( [^ ])?)");
  std::istringstream lines(sim::SimUsage());
  for (std::string line; std::getline(lines, line);) {
    std::smatch m;
    if (std::regex_search(line, m, option)) helped[m[1]] = m[2].matched;
  }
  std::map<std::string, bool> parsed;
  for (std::span<const sim::Option> table :
       {sim::ModemOptions(), sim::FaultOptions(), sim::AttachmentOptions()}) {
    for (const sim::Option& o : table) {
      EXPECT_TRUE(parsed.emplace(o.name, o.takesValue).second) << o.name << " in two rows";
    }
  }
  parsed.erase("--help");
  parsed.erase("-h");
  EXPECT_EQ(helped, parsed);
}

TEST(SimOptionsTest, RefusesBadInput) {
  const std::pair<std::vector<std::string>, const char*> cases[] = {
      {{"--seed"}, "needs a value"},
      {{"--seed", "x"}, "not a number"},
      {{"--esn", "123456789"}, "hexadecimal"},
      {{"--first-port", "255"}, "1 to 254"},
      {{"--spc", "123"}, "six digits"},
      {{"--challenge", "0011"}, "sixteen"},
      {{"--time-scale", "0"}, "above 0"},
      {{"--time-scale", "-1"}, "above 0"},
      {{"--drop-reply", "nth=0"}, "from 1"},
      {{"--drop-reply", "mode=sleeping"}, "unknown mode"},
      {{"--drop-reply", "colour=red"}, "unknown key"},
      {{"--delay-reply", "nth=1"}, "missing ms="},
      {{"--split-replies", "piece=0"}, "at least 1"},
      {{"--stream-error", "block=3"}, "missing type="},
      {{"--nv-inactive", "1,70000"}, "bad NV item"},
      {{"--nv-reply", "kind=late,value=1"}, "kind=other|short|error|status"},
      {{"--nv-reply", "kind=short"}, "missing value="},
      {{"--nv-reply", "kind=short,value=3,dir=up"}, "dir=read|write"},
      {{"--timing", "reply"}, "key=value"},
      {{"--version", std::string(54, 'x')}, "53"},
      {{"--programmer", "/nonexistent/armprg.bin"}, "cannot read"},
      {{"--start-in", "bootloader"}, "normal, downloader or programmer"},
      {{"--stall-image", "block=3"}, "missing type="},
      {{"--swap-at-reset", "seed=3"}, "missing reset="},
      {{"--swap-at-reset", "reset=0"}, "from 1"},
      {{"--swap-at-reset", "reset=2,esn=1FFFFFFFF"}, "hexadecimal"},
      {{"--wobble"}, "unknown option"},
      {{"--usb", "--usb-path", "1-0"}, "USB port path"},
      {{"--usb", "--usb-path", "usb1"}, "USB port path"},
      {{"--usb", "--usb-path", "1-2..3"}, "USB port path"},
      {{"--usb-path", "1-3"}, "needs --usb"},
      {{"--usb-companion", "every"}, "needs --usb"},
      {{"--usb", "--usb-companion", "sometimes"}, "every or download"},
      {{"--usb", "--usb-path", "1-1.2", "--usb-companion", "every"}, "root port path"},
      {{"--usb", "--usb-download-id", "5c6:9008"}, "VID:PID"},
      {{"--usb", "--usb-serial", "has space"}, "printable"},
      {{"--usb", "--usb-interfaces", "diag=2,at=2"}, "must differ"},
      {{"--usb", "--usb-interfaces", "diag=0,at=3,count=2"}, "below count"},
      {{"--slow-reboot", "nth=1"}, "missing ms="},
      {{"--slow-reboot", "ms=5,nth=0"}, "from 1"},
      {{"--swap-modem", "at=0"}, "from 1"},
      {{"--swap-modem", "esn=xyz"}, "hexadecimal ESN"},
      {{"--swap-report", "b.json"}, "need --swap-modem"},
  };
  for (const auto& [args, expected] : cases) {
    std::string error;
    EXPECT_FALSE(Parse(args, &error)) << args[0];
    EXPECT_NE(error.find(expected), std::string::npos) << args[0] << ": " << error;
  }
}

TEST(SimReportTest, ReportAndDumpDescribeTheSession) {
  testing::ScopedRoot root;
  VirtualClock clock;
  MemoryPorts ports;
  sim::InProcessModem modem(clock, ports, sim::ModemConfig{});
  modem.PlugIn();
  RawPort diag(clock, ports);
  ASSERT_TRUE(diag.Open(modem.DiagPort()));
  diag.AskOne(DiagFrame({0x4B, 0xA1, 0x00, 0x00, 0x00}));
  diag.Ask(DiagFrame({0x77}));  // not known: a violation
  Bytes nv{0x27, 0x16, 0x00};
  nv.insert(nv.end(), 128, 0x5A);
  nv.insert(nv.end(), {0, 0});
  diag.AskOne(DiagFrame(nv));
  diag.AskOne(DiagFrame({0x3A}));
  clock.Advance(2000);
  const Bytes programmer(300, 0x42);
  Bytes write{0x0F, 0x00, 0x80, 0x00, 0x00, 0x01, 0x2C};
  write.insert(write.end(), programmer.begin(), programmer.end());
  diag.AskOne(DlFrame(write));
  diag.AskOne(DlFrame({0x05, 0x00, 0x80, 0x00, 0x00}));
  clock.Advance(1000);
  Bytes hello{0x01};
  const std::string magic = "QCOM fast download protocol host";
  hello.insert(hello.end(), magic.begin(), magic.end());
  hello.insert(hello.end(), {2, 2, 3});
  diag.AskOne(DlFrame(hello));
  diag.AskOne(DlFrame({0x17, 0x01}));
  diag.AskOne(DlFrame({0x19, 0x01, 0x11, 0x22}));
  Bytes open{0x1B, 0x04, 0xAB, 0xCD};
  diag.AskOne(DlFrame(open));
  const Bytes image(1500, 0x66);
  Bytes block{0x07, 0, 0, 0, 0};
  block.insert(block.end(), image.begin(), image.begin() + 1024);
  diag.AskOne(DlFrame(block));
  Bytes tail{0x07, 0x00, 0x04, 0, 0};
  tail.insert(tail.end(), image.begin() + 1024, image.end());
  diag.AskOne(DlFrame(tail));
  diag.AskOne(DlFrame({0x15}));

  sim::ModemSnapshot snapshot = modem.device().Snapshot();
  const std::string json = sim::ReportJson(snapshot, {7, 0.5});
  for (const std::string& expected : {
           std::string("\"seed\": 7"),
           std::string("\"time_scale\": 0.5"),
           std::string("\"final_mode\": \"programmer\""),
           std::string("\"name\": \"autorun\",\n      \"value\": \"00\""),
           std::string("\"text\": \"diagnostic request 0x77 not known to the firmware\""),
           std::string("\"item\": 22,\n      \"status\": 0,\n      \"data\": \"5a5a"),
           std::string("\"name\": \"oemsbl\",\n      \"header\": \"abcd\""),
           std::string("\"length\": 1500,\n      \"sha256\": \"") + sim::Sha256::HexOf(image) +
               "\"",
           std::string("\"closed\": true"),
           std::string("\"programmer\": {\n    \"length\": 300"),
       }) {
    EXPECT_NE(json.find(expected), std::string::npos) << expected << "\n" << json.substr(0, 4000);
  }

  std::string error;
  const std::filesystem::path dir = root.path() / "dump";
  ASSERT_TRUE(sim::DumpImages(snapshot, dir.string(), &error)) << error;
  auto read = [&](const char* name) {
    std::ifstream in(dir / name, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  };
  EXPECT_EQ(read("oemsbl.mbn"), image);
  EXPECT_EQ(read("oemsblhd.mbn"), (Bytes{0xAB, 0xCD}));
  EXPECT_EQ(read("partition.mbn"), (Bytes{0x11, 0x22}));
  EXPECT_EQ(read("armprg.bin"), programmer);
}

TEST(SimReportTest, TextsAreEscaped) {
  sim::ModemSnapshot snapshot;
  snapshot.violations.push_back({5, ModemMode::Normal, "AT text \"a\\b\"\r\x01\xC3"});
  const std::string json = sim::ReportJson(snapshot, {});
  EXPECT_NE(json.find(R"("text": "AT text \"a\\b\"\r\u0001\u00c3")"), std::string::npos) << json;
}

}  // namespace
}  // namespace quorrel::simtest

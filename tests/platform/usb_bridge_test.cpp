// The USB bridge over a sysfs tree laid out as the kernel lays it out, with
// plain files as the device nodes.
#include <fcntl.h>
#include <stdlib.h>
#include <sys/file.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "platform/dosdevices.h"
#include "platform/modem_table.h"
#include "platform/registry.h"
#include "platform/scoped_root.h"
#include "platform/usb_bridge.h"
#include "support/fake_sysfs.h"

namespace quorrel {
namespace {

namespace fs = std::filesystem;
using testsupport::FakeMachine;

ModemTable Table(const std::string& text) {
  ModemTable table;
  ParseModemTable(text, "modems.conf", &table);
  EXPECT_TRUE(table.errors.empty()) << table.errors.front();
  return table;
}

std::optional<fs::path> LinkOf(int com) {
  std::error_code ec;
  fs::path target = fs::read_symlink(ComPortPath(com), ec);
  if (ec) return std::nullopt;
  return target;
}

std::optional<std::string> Value(const std::string& key, const std::string& name) {
  RegistryKey k;
  if (k.Open(RegistryRoot::LocalMachine, key, kKeyRead) != kRegistryOk) return std::nullopt;
  char buffer[512];
  uint32_t size = sizeof buffer;
  if (k.QueryString(name, buffer, &size) != kRegistryOk) return std::nullopt;
  return std::string(buffer);
}

std::optional<uint32_t> Count(const std::string& service) {
  RegistryKey k;
  if (k.Open(RegistryRoot::LocalMachine,
             "SYSTEM\\CurrentControlSet\\Services\\" + service + "\\Enum",
             kKeyRead) != kRegistryOk) {
    return std::nullopt;
  }
  uint32_t count = 0;
  if (k.QueryDword("Count", &count) != kRegistryOk) return std::nullopt;
  return count;
}

// The device path that a service offers to line 1 (its last instance).
std::optional<std::string> LineOnePath(const std::string& service) {
  std::optional<uint32_t> count = Count(service);
  if (!count || *count == 0) return std::nullopt;
  return Value("SYSTEM\\CurrentControlSet\\Services\\" + service + "\\Enum",
               std::to_string(*count - 1));
}

std::optional<std::string> PortName(const std::string& devicePath) {
  return Value("SYSTEM\\CurrentControlSet\\Enum\\" + devicePath + "\\Device Parameters",
               "PortName");
}

constexpr char kTable[] =
    "# test modems\n"
    "1e0e:9000 diag=0 at=2 Test card\n"
    "1e0e:9008 diag=0   # its downloader\n";

class UsbBridgeTest : public ::testing::Test {
 protected:
  testing::ScopedRoot root;
  FakeMachine machine{root.path() / "machine"};
  UsbBridge bridge{Table(kTable), machine.sysfs(), machine.dev()};
};

TEST_F(UsbBridgeTest, ModemInTheTableGetsItsPortsAndKeys) {
  machine.Plug("1-2", "1e0e", "9000", {{0, "ttyUSB0"}, {1, "ttyUSB1"}, {2, "ttyUSB2"}}, "SN42");
  std::vector<UsbModem> modems = bridge.Poll();
  ASSERT_EQ(modems.size(), 1u);
  const UsbModem& m = modems[0];
  EXPECT_EQ(m.portPath, "1-2");
  EXPECT_EQ(m.serial, "SN42");
  EXPECT_EQ(m.name, "Test card");
  EXPECT_EQ(m.diagTty, "ttyUSB0");
  EXPECT_EQ(m.atTty, "ttyUSB2");
  EXPECT_TRUE(m.lineOne);
  ASSERT_NE(m.diagCom, 0);
  ASSERT_NE(m.atCom, 0);
  EXPECT_NE(m.diagCom, m.atCom);

  EXPECT_EQ(LinkOf(m.diagCom), machine.dev() / "ttyUSB0");
  EXPECT_EQ(LinkOf(m.atCom), machine.dev() / "ttyUSB2");
  std::optional<std::string> diag = LineOnePath(kUsbBridgeSerialService);
  std::optional<std::string> at = LineOnePath(kUsbBridgeModemService);
  ASSERT_TRUE(diag && at);
  EXPECT_EQ(*diag, "USB\\VID_1E0E&PID_9000&MI_00\\1-2");
  EXPECT_EQ(*at, "USB\\VID_1E0E&PID_9000&MI_02\\1-2");
  EXPECT_EQ(PortName(*diag), "COM" + std::to_string(m.diagCom));
  EXPECT_EQ(PortName(*at), "COM" + std::to_string(m.atCom));

  machine.Unplug("1-2");
  EXPECT_TRUE(bridge.Poll().empty());
  EXPECT_FALSE(LinkOf(m.diagCom));
  EXPECT_FALSE(LinkOf(m.atCom));
  EXPECT_FALSE(Count(kUsbBridgeSerialService));
  EXPECT_FALSE(Count(kUsbBridgeModemService));
  EXPECT_FALSE(PortName(*diag));
}

TEST_F(UsbBridgeTest, ReEnumerationKeepsTheComNumbers) {
  machine.Plug("1-2", "1e0e", "9000", {{0, "ttyUSB0"}, {2, "ttyUSB1"}});
  std::vector<UsbModem> first = bridge.Poll();
  ASSERT_EQ(first.size(), 1u);

  // Reset into the downloader: another product id, only the diagnostic
  // interface, a new tty name.
  machine.Unplug("1-2");
  bridge.Poll();
  machine.Plug("1-2", "1e0e", "9008", {{0, "ttyUSB3"}});
  std::vector<UsbModem> downloader = bridge.Poll();
  ASSERT_EQ(downloader.size(), 1u);
  EXPECT_EQ(downloader[0].diagCom, first[0].diagCom);
  EXPECT_EQ(downloader[0].atCom, 0);
  EXPECT_EQ(LinkOf(first[0].diagCom), machine.dev() / "ttyUSB3");
  EXPECT_FALSE(LinkOf(first[0].atCom));
  EXPECT_EQ(LineOnePath(kUsbBridgeSerialService), "USB\\VID_1E0E&PID_9008&MI_00\\1-2");
  // No data port is offered, so line 1 keeps its number rather than take
  // another's.
  EXPECT_FALSE(Count(kUsbBridgeModemService));
  // The old identity's keys are gone.
  EXPECT_FALSE(PortName("USB\\VID_1E0E&PID_9000&MI_00\\1-2"));

  // Back without a pause the bridge saw: straight to new names.
  machine.Unplug("1-2");
  machine.Plug("1-2", "1e0e", "9000", {{0, "ttyUSB5"}, {2, "ttyUSB6"}});
  std::vector<UsbModem> back = bridge.Poll();
  ASSERT_EQ(back.size(), 1u);
  EXPECT_EQ(back[0].diagCom, first[0].diagCom);
  EXPECT_EQ(back[0].atCom, first[0].atCom);
  EXPECT_EQ(LinkOf(first[0].atCom), machine.dev() / "ttyUSB6");

  // A later run of the program on the same root keeps them too.
  UsbBridge later(Table(kTable), machine.sysfs(), machine.dev());
  std::vector<UsbModem> again = later.Poll();
  ASSERT_EQ(again.size(), 1u);
  EXPECT_EQ(again[0].diagCom, first[0].diagCom);
  EXPECT_EQ(again[0].atCom, first[0].atCom);
}

TEST_F(UsbBridgeTest, ModemBackOnTheCompanionPortIsTheSameModem) {
  machine.PairRootPorts(1, 2, 2);
  machine.Plug("1-2", "1e0e", "9000", {{0, "ttyUSB0"}, {2, "ttyUSB1"}});
  std::vector<UsbModem> first = bridge.Poll();
  ASSERT_EQ(first.size(), 1u);
  EXPECT_EQ(first[0].companion, "2-2");

  // It re-enumerates at the other speed and comes back on the root hub's
  // other half.
  machine.Unplug("1-2");
  bridge.Poll();
  machine.Plug("2-2", "1e0e", "9008", {{0, "ttyUSB2"}});
  std::vector<UsbModem> back = bridge.Poll();
  ASSERT_EQ(back.size(), 1u);
  EXPECT_EQ(back[0].portPath, "2-2");
  EXPECT_EQ(back[0].location, "1-2");
  EXPECT_EQ(back[0].diagCom, first[0].diagCom);
  EXPECT_EQ(LinkOf(first[0].diagCom), machine.dev() / "ttyUSB2");
  EXPECT_EQ(LineOnePath(kUsbBridgeSerialService), "USB\\VID_1E0E&PID_9008&MI_00\\1-2");
}

TEST_F(UsbBridgeTest, SecondModemGetsItsOwnNumbersAndDeviceChoosesLineOne) {
  machine.Plug("1-2", "1e0e", "9000", {{0, "ttyUSB0"}, {2, "ttyUSB1"}}, "AAA");
  bridge.Poll();
  machine.Plug("3-1.4", "1e0e", "9000", {{0, "ttyUSB2"}, {2, "ttyUSB3"}}, "BBB");
  std::vector<UsbModem> modems = bridge.Poll();
  ASSERT_EQ(modems.size(), 2u);
  EXPECT_EQ(modems[0].portPath, "1-2");
  EXPECT_EQ(modems[1].portPath, "3-1.4");
  std::vector<int> numbers = {modems[0].diagCom, modems[0].atCom, modems[1].diagCom,
                              modems[1].atCom};
  std::sort(numbers.begin(), numbers.end());
  EXPECT_EQ(std::adjacent_find(numbers.begin(), numbers.end()), numbers.end());
  EXPECT_EQ(Count(kUsbBridgeSerialService), 2u);
  // The modem seen first stays line 1's.
  EXPECT_TRUE(modems[0].lineOne);
  EXPECT_EQ(LineOnePath(kUsbBridgeSerialService), "USB\\VID_1E0E&PID_9000&MI_00\\1-2");

  bridge.SetPreferredDevice("BBB");
  modems = bridge.Poll();
  EXPECT_TRUE(modems[1].lineOne);
  EXPECT_EQ(LineOnePath(kUsbBridgeSerialService), "USB\\VID_1E0E&PID_9000&MI_00\\3-1.4");
  EXPECT_EQ(LineOnePath(kUsbBridgeModemService), "USB\\VID_1E0E&PID_9000&MI_02\\3-1.4");

  // A chosen modem that is not attached: line 1 is offered none, not another.
  bridge.SetPreferredDevice("9-9");
  bridge.Poll();
  EXPECT_FALSE(Count(kUsbBridgeSerialService));
  EXPECT_TRUE(LinkOf(modems[0].diagCom));
}

TEST_F(UsbBridgeTest, ForeignDevicesAndOtherLinksAreLeftAlone) {
  // Another device with a serial interface, and a port someone else linked.
  machine.Plug("1-1", "0403", "6001", {{0, "ttyUSB0"}});
  ASSERT_TRUE(LinkComPort(3, "/dev/null"));
  machine.Plug("1-2", "1e0e", "9000", {{0, "ttyUSB1"}, {2, "ttyUSB2"}});
  std::vector<UsbModem> modems = bridge.Poll();
  ASSERT_EQ(modems.size(), 1u);
  EXPECT_NE(modems[0].diagCom, 3);
  EXPECT_NE(modems[0].atCom, 3);
  EXPECT_EQ(LinkOf(3), fs::path("/dev/null"));
  for (int n = kFirstComPort; n <= kLastComPort; ++n) {
    EXPECT_NE(LinkOf(n), machine.dev() / "ttyUSB0") << n;
  }
  machine.Unplug("1-2");
  bridge.Poll();
  EXPECT_EQ(LinkOf(3), fs::path("/dev/null"));
}

TEST_F(UsbBridgeTest, TtyOfAnotherDeviceIsNeverLinked) {
  machine.Plug("1-1", "0403", "6001", {{0, "ttyUSB0"}});
  machine.Plug("1-2", "1e0e", "9000", {{0, ""}, {2, "ttyUSB1"}});
  // A tty folder under the modem's interface whose kernel entry leads into
  // the other device.
  fs::create_directories(machine.DeviceFolder("1-2") / "1-2:1.0" / "ttyUSB0");
  std::vector<UsbModem> modems = bridge.Poll();
  ASSERT_EQ(modems.size(), 1u);
  EXPECT_EQ(modems[0].diagTty, "");
  EXPECT_EQ(modems[0].diagCom, 0);
  EXPECT_FALSE(Count(kUsbBridgeSerialService));
  std::vector<std::string> notices = bridge.TakeNotices();
  ASSERT_EQ(notices.size(), 1u);
  EXPECT_NE(notices[0].find("ttyUSB0 under interface 0 belongs to another device"),
            std::string::npos)
      << notices[0];
}

TEST_F(UsbBridgeTest, InterfaceWithoutDriverSaysHowToBindOne) {
  machine.Plug("1-2", "1e0e", "9000", {{0, "", false}, {2, "", false}});
  bridge.Poll();
  // Just plugged in: the driver may still be binding.
  EXPECT_TRUE(bridge.TakeNotices().empty());
  bridge.Poll();
  std::vector<std::string> notices = bridge.TakeNotices();
  ASSERT_EQ(notices.size(), 2u);
  EXPECT_NE(
      notices[0].find(
          "USB modem 1-2 (1e0e:9000 Test card): interface 0 (diagnostic) has no serial driver"),
      std::string::npos)
      << notices[0];
  EXPECT_NE(notices[0].find("echo 1e0e 9000 > /sys/bus/usb-serial/drivers/option1/new_id"),
            std::string::npos);
  EXPECT_NE(notices[1].find("interface 2 (AT)"), std::string::npos) << notices[1];
  // Said once, not at every poll.
  bridge.Poll();
  EXPECT_TRUE(bridge.TakeNotices().empty());
}

TEST_F(UsbBridgeTest, DeviceHalfGoneIsSkipped) {
  machine.Plug("1-2", "1e0e", "9000", {{0, "ttyUSB0"}, {2, "ttyUSB1"}});
  // A device whose folder went while its bus entry is still there, and one
  // whose attributes went first.
  fs::create_directory_symlink(machine.sysfs() / "devices/gone/1-3",
                               machine.sysfs() / "bus/usb/devices/1-3");
  machine.Plug("1-4", "1e0e", "9000", {{0, "ttyUSB2"}});
  fs::remove(machine.DeviceFolder("1-4") / "idProduct");
  std::vector<UsbModem> modems = bridge.Poll();
  ASSERT_EQ(modems.size(), 1u);
  EXPECT_EQ(modems[0].portPath, "1-2");
  // Its tty node not made yet: found, but nothing is linked for it.
  fs::remove(machine.dev() / "ttyUSB0");
  modems = bridge.Poll();
  ASSERT_EQ(modems.size(), 1u);
  EXPECT_EQ(modems[0].diagCom, 0);
  EXPECT_FALSE(Count(kUsbBridgeSerialService));
}

TEST_F(UsbBridgeTest, DetachAllRemovesWhatTheBridgeWrote) {
  machine.Plug("1-2", "1e0e", "9000", {{0, "ttyUSB0"}, {2, "ttyUSB1"}});
  std::vector<UsbModem> modems = bridge.Poll();
  ASSERT_EQ(modems.size(), 1u);
  bridge.DetachAll();
  EXPECT_FALSE(LinkOf(modems[0].diagCom));
  EXPECT_FALSE(Count(kUsbBridgeSerialService));
  EXPECT_EQ(bridge.Poll()[0].diagCom, modems[0].diagCom);
}

TEST_F(UsbBridgeTest, RootLockedByAnotherProgramDoesNotHangThePoll) {
  machine.Plug("1-2", "1e0e", "9000", {{0, "ttyUSB0"}, {2, "ttyUSB1"}});
  fs::create_directories(root.path() / "usbbridge");
  int held = ::open((root.path() / "usbbridge/lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  ASSERT_GE(held, 0);
  ASSERT_EQ(::flock(held, LOCK_EX), 0);
  std::vector<UsbModem> modems = bridge.Poll();
  ASSERT_EQ(modems.size(), 1u);
  EXPECT_EQ(modems[0].diagCom, 0);
  EXPECT_FALSE(fs::exists(root.path() / "dosdevices"));
  std::vector<std::string> notices = bridge.TakeNotices();
  ASSERT_EQ(notices.size(), 1u);
  EXPECT_NE(notices[0].find("another program holds it"), std::string::npos) << notices[0];
  ::close(held);
  EXPECT_NE(bridge.Poll()[0].diagCom, 0);
}

TEST(UsbBridgeEmpty, WithoutATableTheRootIsNotTouched) {
  testing::ScopedRoot root;
  FakeMachine machine(root.path() / "machine");
  machine.Plug("1-2", "1e0e", "9000", {{0, "ttyUSB0"}});
  ModemTable table;
  ParseModemTable("1e0e:9000 at=2\n", "mine.conf", &table);
  UsbBridge bridge(table, machine.sysfs(), machine.dev());
  EXPECT_TRUE(bridge.Poll().empty());
  std::vector<std::string> notices = bridge.TakeNotices();
  ASSERT_EQ(notices.size(), 1u);
  EXPECT_EQ(notices[0], "modem table: mine.conf:1: no diag= interface");
  EXPECT_FALSE(fs::exists(root.path() / "usbbridge"));
  EXPECT_FALSE(fs::exists(root.path() / "dosdevices"));
}

TEST(UsbScan, KernelLayoutsGiveTheirModemCandidates) {
  struct Case {
    const char* name;
    std::string vid, pid;
    std::vector<testsupport::Interface> interfaces;
    std::vector<int> candidates;
    bool downloadMode;
    std::string driver;  // the modem driver a binding hint names
  };
  const std::vector<Case> cases = {
      {"option, diagnostic 0 and AT 2",
       "1e0e",
       "9001",
       {{0, "ttyUSB0"}, {1, "", false}, {2, "ttyUSB1"}, {3, "ttyUSB2"}},
       {0, 2, 3},
       false,
       "option"},
      {"qcserial, Gobi 2000 layout",
       "05c6",
       "9225",
       {{0, "", true, "qmi_wwan"},
        {1, "ttyUSB0", true, "qcserial"},
        {2, "ttyUSB1", true, "qcserial"},
        {3, "ttyUSB2", true, "qcserial"}},
       {1, 2, 3},
       false,
       "qcserial"},
      {"qcserial, download mode",
       "05c6",
       "9008",
       {{0, "ttyUSB0", true, "qcserial"}},
       {0},
       true,
       "qcserial"},
      {"one interface without a driver", "05c6", "9009", {{0, "", false}}, {}, false, "qcserial"},
      {"an FTDI adapter",
       "0403",
       "6001",
       {{0, "ttyUSB0", true, "ftdi_sio"}},
       {},
       false,
       "qcserial"},
      {"a cdc-acm device",
       "1546",
       "01a8",
       {{0, "ttyACM0", true, "cdc_acm", 0x02}, {1, "", true, "cdc_acm", 0x0A}},
       {},
       false,
       "option"},
      {"a modem port of another class",
       "1e0e",
       "9002",
       {{0, "ttyUSB0", true, "option", 0x02}},
       {},
       false,
       "option"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testing::ScopedRoot root;
    FakeMachine machine(root.path() / "machine");
    machine.Plug("1-2", c.vid, c.pid, c.interfaces, "SN9");
    const std::vector<UsbDeviceInfo> devices = ScanUsbDevices(machine.sysfs(), machine.dev());
    ASSERT_EQ(devices.size(), 1u);
    const UsbDeviceInfo& d = devices[0];
    EXPECT_EQ(d.portPath, "1-2");
    EXPECT_EQ(d.serial, "SN9");
    EXPECT_EQ(d.interfaceCount, static_cast<int>(c.interfaces.size()));
    std::vector<int> candidates;
    for (const UsbInterfaceInfo* i : d.Candidates()) candidates.push_back(i->number);
    EXPECT_EQ(candidates, c.candidates);
    EXPECT_EQ(d.DownloadMode(), c.downloadMode);
    EXPECT_EQ(d.ModemDriver(), c.driver);
    EXPECT_EQ(d.folder, fs::canonical(machine.DeviceFolder("1-2")).string());
  }
}

TEST(UsbScan, AModemBehindHubsIsFoundAtItsPathAndTheHubsAreNoModems) {
  testing::ScopedRoot root;
  FakeMachine machine(root.path() / "machine");
  machine.PlugHub("3-1");
  machine.PlugHub("3-1.4");
  machine.Plug("3-1.4.2", "1e0e", "9001", {{0, "ttyUSB0"}, {2, "ttyUSB1"}});
  const std::vector<UsbDeviceInfo> devices = ScanUsbDevices(machine.sysfs(), machine.dev());
  ASSERT_EQ(devices.size(), 3u);
  std::vector<std::string> withCandidates;
  for (const UsbDeviceInfo& d : devices) {
    if (!d.Candidates().empty()) withCandidates.push_back(d.portPath);
  }
  EXPECT_EQ(withCandidates, std::vector<std::string>{"3-1.4.2"});

  UsbBridge bridge(Table("1e0e:9001 diag=0 at=2\n"), machine.sysfs(), machine.dev());
  std::vector<UsbModem> modems = bridge.Poll();
  ASSERT_EQ(modems.size(), 1u);
  EXPECT_EQ(modems[0].portPath, "3-1.4.2");
  EXPECT_EQ(LineOnePath(kUsbBridgeSerialService), "USB\\VID_1E0E&PID_9001&MI_00\\3-1.4.2");
}

TEST(UsbScan, TheCompanionPortsDeviceFolderIsWhereTheModemWouldComeBack) {
  testing::ScopedRoot root;
  FakeMachine machine(root.path() / "machine");
  machine.PairRootPorts(1, 2, 2);
  machine.Plug("1-2", "1e0e", "9001", {{0, "ttyUSB0"}});
  machine.Plug("1-3", "1e0e", "9001", {{0, "ttyUSB1"}});
  const std::string folder = fs::canonical(machine.DeviceFolder("1-2")).string();
  EXPECT_EQ(CompanionDeviceFolder(folder),
            (fs::canonical(machine.sysfs() / "devices/pci0000:00/usb2") / "2-2").string());
  EXPECT_EQ(CompanionDeviceFolder(fs::canonical(machine.DeviceFolder("1-3")).string()), "");
  EXPECT_EQ(UsbIdentityOfFolder(folder), std::make_pair(uint16_t{0x1e0e}, uint16_t{0x9001}));
  EXPECT_FALSE(UsbIdentityOfFolder((root.path() / "nothing").string()));
}

TEST_F(UsbBridgeTest, ATableLineThatNamesTheWrongInterfaceSaysSoAndNamesTheRightDriver) {
  // A Gobi 2000 layout on qcserial with a line taking interface 0 for the
  // diagnostic port: interface 0 is the network function's. Before, this
  // gave a row of dashes without a word, or, with interface 0 unbound, a
  // hint to bind option to a device that belongs to qcserial.
  struct Case {
    const char* name;
    testsupport::Interface zero;
    const char* expected;
  };
  const std::vector<Case> cases = {
      {"unbound",
       {0, "", false},
       "USB modem 1-2 (1e0e:9200 gobi): interface 0 (diagnostic) has no driver: qcserial drives "
       "this modem's "
       "serial ports on interfaces 1, 2 and 3 and leaves interface 0 to another function. Correct "
       "the table line "
       "modems.conf:1"},
      {"on qmi_wwan",
       {0, "", true, "qmi_wwan"},
       "USB modem 1-2 (1e0e:9200 gobi): interface 0 (diagnostic) is bound to qmi_wwan, which gives "
       "it no serial "
       "port (serial ports on interfaces 1, 2 and 3). Correct the table line modems.conf:1"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testing::ScopedRoot r;
    FakeMachine m(r.path() / "machine");
    m.Plug("1-2", "1e0e", "9200",
           {c.zero,
            {1, "ttyUSB0", true, "qcserial"},
            {2, "ttyUSB1", true, "qcserial"},
            {3, "ttyUSB2", true, "qcserial"}});
    UsbBridge b(Table("1e0e:9200 diag=0 at=2 gobi\n"), m.sysfs(), m.dev());
    b.Poll();
    EXPECT_TRUE(b.TakeNotices().empty());  // a driver may still be binding
    std::vector<UsbModem> modems = b.Poll();
    ASSERT_EQ(modems.size(), 1u);
    EXPECT_EQ(modems[0].diagCom, 0);
    std::vector<std::string> notices = b.TakeNotices();
    ASSERT_EQ(notices.size(), 1u);
    EXPECT_EQ(notices[0].rfind(c.expected, 0), 0u) << notices[0];
    EXPECT_EQ(notices[0].find("option"), std::string::npos) << notices[0];
  }

  // A download mode no driver took: the hint binds qcserial.
  machine.Plug("1-3", "1e0e", "9008", {{0, "", false}});
  bridge.Poll();
  bridge.Poll();
  std::vector<std::string> notices = bridge.TakeNotices();
  ASSERT_EQ(notices.size(), 1u);
  EXPECT_NE(
      notices[0].find(
          "modprobe qcserial && echo 1e0e 9008 > /sys/bus/usb-serial/drivers/qcserial/new_id"),
      std::string::npos)
      << notices[0];
}

TEST_F(UsbBridgeTest, ALineLearnedNeverReplacesTheTables) {
  ModemTableEntry learned;
  learned.vendorId = 0x1e0e;
  learned.productId = 0x9000;
  learned.diagInterface = 2;
  learned.atInterface = 0;
  EXPECT_FALSE(bridge.Learn(learned));
  learned.productId = 0x9001;
  EXPECT_TRUE(bridge.Learn(learned));
  EXPECT_FALSE(bridge.Learn(learned));
  machine.Plug("1-2", "1e0e", "9000", {{0, "ttyUSB0"}, {2, "ttyUSB1"}});
  machine.Plug("1-3", "1e0e", "9001", {{0, "ttyUSB2"}, {2, "ttyUSB3"}});
  std::vector<UsbModem> modems = bridge.Poll();
  ASSERT_EQ(modems.size(), 2u);
  EXPECT_EQ(modems[0].diagTty, "ttyUSB0");
  EXPECT_EQ(modems[1].diagTty, "ttyUSB3");
}

}  // namespace
}  // namespace quorrel

// The sysfs tree of the simulator's USB mode, written and read in process:
// the device as the kernel shows it, what leaves with it, the hubs and the
// companion ports on its way, two devices on one tree, and the rule by which
// ttyUSB numbers are handed out.
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "platform/pty.h"
#include "sim/config.h"
#include "sim/usb_sysfs.h"
#include "support/test_env.h"
#include "usb_tree.h"

namespace quorrel::simtest {
namespace {

namespace fs = std::filesystem;
using sim::UsbAttachment;
using sim::UsbDeviceLayout;
using sim::UsbInterfaceLayout;
using sim::UsbSysfs;

class UsbSysfsTest : public ::testing::Test {
 protected:
  ~UsbSysfsTest() override {
    std::error_code ec;
    fs::remove_all(base_, ec);
  }

  // A terminal for one tty, kept by the test as the simulator keeps its own.
  PseudoTerminal& Terminal() {
    terminals_.push_back(std::make_unique<PseudoTerminal>());
    EXPECT_TRUE(terminals_.back()->Open());
    return *terminals_.back();
  }
  // The firmware's layout: diagnostic 0 and AT 2 on option, 1 reserved.
  UsbDeviceLayout Firmware(const std::string& path, const PseudoTerminal& diag,
                           const PseudoTerminal& at) {
    UsbDeviceLayout layout;
    layout.path = path;
    layout.vendorId = 0x1E0E;
    layout.productId = 0x9000;
    layout.serial = "8A3F21C4";
    layout.interfaces = {{0, 0xFF, "option", "option1", diag.slave_path()},
                         {1, 0xFF, "", "", {}},
                         {2, 0xFF, "option", "option1", at.slave_path()}};
    return layout;
  }
  UsbDeviceLayout Download(const std::string& path, const PseudoTerminal& diag) {
    UsbDeviceLayout layout;
    layout.path = path;
    layout.vendorId = 0x05C6;
    layout.productId = 0x9008;
    layout.interfaces = {{0, 0xFF, "qcserial", "qcserial", diag.slave_path()}};
    return layout;
  }
  fs::path RootPort(int bus, int port) {
    return Canonical(sysfs_ / "bus/usb/devices" / ("usb" + std::to_string(bus))) /
           (std::to_string(bus) + "-0:1.0") /
           ("usb" + std::to_string(bus) + "-port" + std::to_string(port));
  }

  fs::path base_ = testing::MakeScratchFolder("quorrel-usbtree-");
  fs::path sysfs_ = base_ / "sys";
  fs::path dev_ = base_ / "dev";
  std::vector<std::unique_ptr<PseudoTerminal>> terminals_;
};

TEST_F(UsbSysfsTest, FirmwareAndDownloadModeAsTheKernelShowsThem) {
  UsbSysfs tree(sysfs_, dev_, false);
  PseudoTerminal& diag = Terminal();
  PseudoTerminal& at = Terminal();
  UsbAttachment got;
  std::string why;
  ASSERT_TRUE(tree.Attach(Firmware("1-2", diag, at), &got, &why)) << why;
  EXPECT_EQ(got.ttys, (std::vector<std::string>{"ttyUSB0", "", "ttyUSB1"}));

  auto d = ReadTreeDevice(sysfs_, dev_, "1-2");
  ASSERT_TRUE(d);
  EXPECT_EQ(d->attributes, (std::map<std::string, std::string>{{"idVendor", "1e0e\n"},
                                                               {"idProduct", "9000\n"},
                                                               {"bNumInterfaces", " 3\n"},
                                                               {"busnum", "1\n"},
                                                               {"devnum", "2\n"},
                                                               {"devpath", "2\n"},
                                                               {"speed", "480\n"},
                                                               {"serial", "8A3F21C4\n"},
                                                               {"bDeviceClass", "00\n"}}));
  EXPECT_EQ(d->port, RootPort(1, 2));
  EXPECT_TRUE(d->portLeadsBack);
  ASSERT_EQ(d->interfaces.size(), 3u);
  struct Expected {
    const char* folder;
    const char* number;
    const char* driver;
    const char* tty;
    const char* dev;
    std::string node;
  };
  const Expected expected[] = {
      {"1-2:1.0", "00\n", "option", "ttyUSB0", "188:0\n", diag.slave_path()},
      {"1-2:1.1", "01\n", "", "", "", ""},
      {"1-2:1.2", "02\n", "option", "ttyUSB1", "188:1\n", at.slave_path()}};
  for (size_t k = 0; k < 3; ++k) {
    const TreeInterface& i = d->interfaces[k];
    SCOPED_TRACE(i.folder);
    EXPECT_EQ(i.folder, expected[k].folder);
    EXPECT_EQ(i.number, expected[k].number);
    EXPECT_EQ(i.cls, "ff\n");
    EXPECT_EQ(i.driver, expected[k].driver);
    EXPECT_EQ(i.tty, expected[k].tty);
    EXPECT_EQ(i.dev, expected[k].dev);
    EXPECT_EQ(i.node, expected[k].node);
    if (i.tty.empty()) continue;
    EXPECT_EQ(i.serialDriver, "option1");
    EXPECT_TRUE(i.classLinkHere);
    EXPECT_TRUE(i.serialLinkHere);
    EXPECT_TRUE(i.ttyDeviceLink);
  }
  // Links are relative, as the kernel's: the tree still reads the same
  // when moved.
  EXPECT_TRUE(fs::read_symlink(sysfs_ / "bus/usb/devices/1-2").is_relative());
  EXPECT_TRUE(fs::read_symlink(sysfs_ / "class/tty/ttyUSB0").is_relative());

  // Gone: every entry that named the device or its ttys, the port's link.
  tree.Detach();
  EXPECT_FALSE(ReadTreeDevice(sysfs_, dev_, "1-2"));
  EXPECT_EQ(Leftovers(sysfs_, dev_, "1-2", {"ttyUSB0", "ttyUSB1"}), std::vector<std::string>{});
  EXPECT_FALSE(Present(RootPort(1, 2) / "device"));
  EXPECT_TRUE(Present(RootPort(1, 2))) << "the root hub and its ports stay";

  // Back in the download mode: a new device, one interface on qcserial,
  // no serial number. Nobody holds the old ttys: their numbers are free.
  diag.Close();
  at.Close();
  PseudoTerminal& download = Terminal();
  ASSERT_TRUE(tree.Attach(Download("1-2", download), &got, &why)) << why;
  d = ReadTreeDevice(sysfs_, dev_, "1-2");
  ASSERT_TRUE(d);
  EXPECT_EQ(d->attributes.at("idVendor"), "05c6\n");
  EXPECT_EQ(d->attributes.at("idProduct"), "9008\n");
  EXPECT_EQ(d->attributes.at("bNumInterfaces"), " 1\n");
  EXPECT_EQ(d->attributes.at("devnum"), "3\n");
  EXPECT_EQ(d->attributes.count("serial"), 0u);
  ASSERT_EQ(d->interfaces.size(), 1u);
  EXPECT_EQ(d->interfaces[0].number, "00\n");
  EXPECT_EQ(d->interfaces[0].cls, "ff\n");
  EXPECT_EQ(d->interfaces[0].driver, "qcserial");
  EXPECT_EQ(d->interfaces[0].serialDriver, "qcserial");
  EXPECT_EQ(d->interfaces[0].tty, "ttyUSB0");
  EXPECT_EQ(d->interfaces[0].node, download.slave_path());
}

TEST_F(UsbSysfsTest, NumberStaysTakenWhileADescriptorOnTheOldTtyIsOpen) {
  // Which old tty a host keeps open across the re-enumeration, and the
  // names the new device's two ttys get.
  struct Case {
    const char* name;
    bool holdDiag;
    bool holdAt;
    std::vector<std::string> next;
  };
  const Case cases[] = {
      {"none held", false, false, {"ttyUSB0", "", "ttyUSB1"}},
      {"diagnostic held", true, false, {"ttyUSB1", "", "ttyUSB2"}},
      {"AT held", false, true, {"ttyUSB0", "", "ttyUSB2"}},
      {"both held", true, true, {"ttyUSB2", "", "ttyUSB3"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    UsbSysfs tree(sysfs_, dev_, false);
    PseudoTerminal& diag = Terminal();
    PseudoTerminal& at = Terminal();
    UsbAttachment got;
    std::string why;
    ASSERT_TRUE(tree.Attach(Firmware("1-2", diag, at), &got, &why)) << why;
    ASSERT_EQ(got.ttys, (std::vector<std::string>{"ttyUSB0", "", "ttyUSB1"}));
    // The host opens the ttys through their nodes, as a program does.
    const int diagFd =
        c.holdDiag ? ::open((dev_ / "ttyUSB0").c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC) : -1;
    const int atFd =
        c.holdAt ? ::open((dev_ / "ttyUSB1").c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC) : -1;
    diag.Close();
    at.Close();
    tree.Detach();

    PseudoTerminal& diag2 = Terminal();
    PseudoTerminal& at2 = Terminal();
    ASSERT_TRUE(tree.Attach(Firmware("1-2", diag2, at2), &got, &why)) << why;
    EXPECT_EQ(got.ttys, c.next);

    // Closed at last: the numbers come free for the next device.
    if (diagFd >= 0) ::close(diagFd);
    if (atFd >= 0) ::close(atFd);
    diag2.Close();
    at2.Close();
    tree.Detach();
    PseudoTerminal& diag3 = Terminal();
    PseudoTerminal& at3 = Terminal();
    ASSERT_TRUE(tree.Attach(Firmware("1-2", diag3, at3), &got, &why)) << why;
    EXPECT_EQ(got.ttys, (std::vector<std::string>{"ttyUSB0", "", "ttyUSB1"}));
    tree.Detach();
  }
}

TEST_F(UsbSysfsTest, CompanionPortsAreEachOthersPeers) {
  UsbSysfs tree(sysfs_, dev_, true);
  PseudoTerminal& diag = Terminal();
  PseudoTerminal& at = Terminal();
  UsbAttachment got;
  std::string why;
  ASSERT_TRUE(tree.Attach(Firmware("1-2", diag, at), &got, &why)) << why;
  EXPECT_EQ(got.speed, 480);
  EXPECT_EQ(ReadWhole(sysfs_ / "bus/usb/devices/usb1/speed"), "480\n");
  EXPECT_EQ(ReadWhole(sysfs_ / "bus/usb/devices/usb2/speed"), "5000\n");
  EXPECT_EQ(ReadWhole(sysfs_ / "bus/usb/devices/usb2/version"), " 3.00\n");
  for (int port = 1; port <= 4; ++port) {
    SCOPED_TRACE(port);
    EXPECT_EQ(Canonical(RootPort(1, port) / "peer"), RootPort(2, port));
    EXPECT_EQ(Canonical(RootPort(2, port) / "peer"), RootPort(1, port));
  }
  EXPECT_EQ(Canonical(RootPort(1, 2) / "device"), Canonical(sysfs_ / "bus/usb/devices/1-2"));
  EXPECT_FALSE(Present(RootPort(2, 2) / "device"));

  // At the other speed the device comes back on the companion port.
  tree.Detach();
  PseudoTerminal& download = Terminal();
  ASSERT_TRUE(tree.Attach(Download(sim::UsbCompanionPath("1-2"), download), &got, &why)) << why;
  EXPECT_EQ(got.speed, 5000);
  auto d = ReadTreeDevice(sysfs_, dev_, "2-2");
  ASSERT_TRUE(d);
  EXPECT_EQ(d->attributes.at("busnum"), "2\n");
  EXPECT_EQ(d->attributes.at("speed"), "5000\n");
  EXPECT_EQ(d->attributes.at("devnum"), "2\n") << "devnum counts per bus";
  EXPECT_EQ(d->port, RootPort(2, 2));
  EXPECT_TRUE(d->portLeadsBack);
  EXPECT_FALSE(Present(RootPort(1, 2) / "device"));
  EXPECT_FALSE(ReadTreeDevice(sysfs_, dev_, "1-2"));
}

TEST_F(UsbSysfsTest, PathBehindHubsGetsItsHubs) {
  UsbSysfs tree(sysfs_, dev_, false);
  PseudoTerminal& diag = Terminal();
  PseudoTerminal& at = Terminal();
  UsbAttachment got;
  std::string why;
  ASSERT_TRUE(tree.Attach(Firmware("1-1.4.2", diag, at), &got, &why)) << why;
  auto d = ReadTreeDevice(sysfs_, dev_, "1-1.4.2");
  ASSERT_TRUE(d);
  EXPECT_EQ(d->attributes.at("devpath"), "1.4.2\n");
  // Each hub is a device of class 09 whose port leads to the next.
  const fs::path hub1 = Canonical(sysfs_ / "bus/usb/devices/1-1");
  const fs::path hub2 = Canonical(sysfs_ / "bus/usb/devices/1-1.4");
  ASSERT_FALSE(hub1.empty());
  ASSERT_FALSE(hub2.empty());
  EXPECT_EQ(ReadWhole(hub1 / "bDeviceClass"), "09\n");
  EXPECT_EQ(hub2.parent_path(), hub1);
  EXPECT_EQ(d->folder.parent_path(), hub2);
  EXPECT_EQ(Canonical(RootPort(1, 1) / "device"), hub1);
  EXPECT_EQ(d->port, hub2 / "1-1.4:1.0" / "1-1.4-port2");
  EXPECT_TRUE(d->portLeadsBack);
  EXPECT_EQ(d->interfaces.size(), 3u);
  // Devnums are the bus's own: hubs first, then the device.
  EXPECT_EQ(ReadWhole(hub1 / "devnum"), "2\n");
  EXPECT_EQ(d->attributes.at("devnum"), "4\n");

  tree.Detach();
  EXPECT_FALSE(ReadTreeDevice(sysfs_, dev_, "1-1.4.2"));
  EXPECT_TRUE(Present(sysfs_ / "bus/usb/devices/1-1.4")) << "the hubs stay";
}

TEST_F(UsbSysfsTest, TwoDevicesShareTheTreeWithoutTakingEachOthersPlaces) {
  UsbSysfs first(sysfs_, dev_, false);
  UsbSysfs second(sysfs_, dev_, false);
  UsbAttachment a, b;
  std::string why;
  PseudoTerminal& aDiag = Terminal();
  PseudoTerminal& aAt = Terminal();
  ASSERT_TRUE(first.Attach(Firmware("1-2", aDiag, aAt), &a, &why)) << why;
  PseudoTerminal& bDiag = Terminal();
  PseudoTerminal& bAt = Terminal();
  ASSERT_TRUE(second.Attach(Firmware("1-3", bDiag, bAt), &b, &why)) << why;
  EXPECT_EQ(b.ttys, (std::vector<std::string>{"ttyUSB2", "", "ttyUSB3"}));
  EXPECT_EQ(b.devnum, 3);

  // The second re-enumerates into its download mode: the first's ttys and
  // the one its host still holds are skipped.
  const int held = ::open((dev_ / "ttyUSB2").c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(held, 0);
  bDiag.Close();
  bAt.Close();
  second.Detach();
  PseudoTerminal& bDownload = Terminal();
  ASSERT_TRUE(second.Attach(Download("1-3", bDownload), &b, &why)) << why;
  EXPECT_EQ(b.ttys, std::vector<std::string>{"ttyUSB3"});
  EXPECT_EQ(b.devnum, 4);
  ::close(held);

  // The first is untouched; nobody gets its path.
  auto d = ReadTreeDevice(sysfs_, dev_, "1-2");
  ASSERT_TRUE(d);
  EXPECT_EQ(d->attributes.at("devnum"), "2\n");
  EXPECT_EQ(d->interfaces[0].tty, "ttyUSB0");
  EXPECT_EQ(d->interfaces[2].tty, "ttyUSB1");
  UsbSysfs third(sysfs_, dev_, false);
  PseudoTerminal& cDiag = Terminal();
  PseudoTerminal& cAt = Terminal();
  UsbAttachment c;
  EXPECT_FALSE(third.Attach(Firmware("1-2", cDiag, cAt), &c, &why));
  EXPECT_NE(why.find("another device is attached at 1-2"), std::string::npos) << why;
  second.Detach();
  d = ReadTreeDevice(sysfs_, dev_, "1-2");
  ASSERT_TRUE(d);
  EXPECT_EQ(d->interfaces[0].node, aDiag.slave_path());
}

}  // namespace
}  // namespace quorrel::simtest

// Port discovery through the process's USB bridge: the modem table and the
// sysfs tree named by the environment, and the switch that turns it off.
#include <stdlib.h>

#include <gtest/gtest.h>

#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "platform/memory_wire.h"
#include "platform/scoped_root.h"
#include "platform/usb_bridge.h"
#include "ports/port_discovery.h"
#include "support/fake_sysfs.h"
#include "support/scoped_env.h"

namespace quorrel {
namespace {

namespace fs = std::filesystem;
using testsupport::ScopedEnv;

class UsbDiscoveryTest : public ::testing::Test {
 protected:
  UsbDiscoveryTest() {
    std::ofstream(root_.path() / "modems.conf") << "1e0e:9000 diag=0 at=2\n";
    SetUsbBridgeNoticeSink([this](const std::string& text) { notices_.push_back(text); });
  }
  ~UsbDiscoveryTest() override { SetUsbBridgeNoticeSink({}); }

  testing::ScopedRoot root_;
  testsupport::FakeMachine machine_{root_.path() / "machine"};
  ScopedEnv sysfs_{"QUORREL_SYSFS", machine_.sysfs().string()};
  ScopedEnv dev_{"QUORREL_DEV", machine_.dev().string()};
  ScopedEnv modems_{"QUORREL_MODEMS", (root_.path() / "modems.conf").string()};
  VirtualClock clock_;
  MemoryPorts ports_;
  CQuorrelDoc doc_{clock_, ports_};
  std::vector<std::string> notices_;
};

TEST_F(UsbDiscoveryTest, ModemInSysfsIsFoundAndKeepsItsPortsThroughAReset) {
  ScopedEnv on("QUORREL_USB_BRIDGE", "1");
  EXPECT_EQ(DiscoverLinePorts(doc_, 0), 0);
  machine_.Plug("1-2", "1e0e", "9000", {{0, "ttyUSB0"}, {1, ""}, {2, "ttyUSB1"}});
  ASSERT_EQ(DiscoverLinePorts(doc_, 0), 1);
  const int diag = doc_.line(0).settings.diagPort, at = doc_.line(0).settings.atPort;
  EXPECT_NE(diag, 0);
  EXPECT_NE(at, 0);

  machine_.Unplug("1-2");
  EXPECT_EQ(DiscoverLinePorts(doc_, 0), 0);
  machine_.Plug("1-2", "1e0e", "9000", {{0, "ttyUSB2"}, {2, "ttyUSB3"}});
  ASSERT_EQ(DiscoverLinePorts(doc_, 0), 1);
  EXPECT_EQ(doc_.line(0).settings.diagPort, diag);
  EXPECT_EQ(doc_.line(0).settings.atPort, at);
  EXPECT_TRUE(notices_.empty());
}

TEST_F(UsbDiscoveryTest, SwitchedOffByTheEnvironment) {
  ScopedEnv off("QUORREL_USB_BRIDGE", "0");
  machine_.Plug("1-2", "1e0e", "9000", {{0, "ttyUSB0"}, {2, "ttyUSB1"}});
  EXPECT_FALSE(UsbBridgeEnabled());
  EXPECT_EQ(DiscoverLinePorts(doc_, 0), 0);
  EXPECT_FALSE(fs::exists(root_.path() / "dosdevices"));
}

}  // namespace
}  // namespace quorrel

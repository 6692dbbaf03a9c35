// quorrel-cli against quorrel-sim attached only as a USB device: a sysfs
// tree and tty nodes, a modem table, and nothing under the root but what the
// CLI's USB bridge writes there.
#include <stdlib.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/scratch_root.h"
#include "release/embedded_resources.h"
#include "support/child_process.h"
#include "support/fake_sysfs.h"
#include "support/pty_peer.h"
#include "support/scoped_env.h"
#include "support/sim_line.h"

namespace quorrel {
namespace {

namespace fs = std::filesystem;
using testsupport::ChildProcess;
using testsupport::ScopedEnv;

std::vector<uint8_t> Embedded(int id) {
  auto r = EmbeddedResources().Find(id, "SOURCEMBN");
  return r ? std::vector<uint8_t>(r->begin(), r->end()) : std::vector<uint8_t>{};
}

// Every file and link under folder, relative to it.
std::set<std::string> Tree(const fs::path& folder) {
  std::set<std::string> names;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(folder, ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    names.insert(it->path().lexically_relative(folder).string());
  }
  return names;
}

class UsbModemEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* dir = std::getenv("QUORREL_TEST_BINARY_DIR");
    if (dir == nullptr || *dir == 0)
      GTEST_SKIP() << "QUORREL_TEST_BINARY_DIR is not set (run through ctest)";
    cli_ = fs::path(dir) / "src/cli/quorrel-cli";
    sim_ = fs::path(dir) / "sim/quorrel-sim";
    ASSERT_TRUE(fs::exists(cli_) && fs::exists(sim_));
    fs::create_directories(machine_ / "sys");
    fs::create_directories(machine_ / "dev");
    fs::create_directories(machine_ / "nv");
    std::ofstream(machine_ / "modems.conf")
        << "# the simulator\n1e0e:9000 diag=0 at=2 Virtual card\n05c6:9008 diag=0 Download mode\n";
    sysfs_.emplace("QUORREL_SYSFS", (machine_ / "sys").string());
    dev_.emplace("QUORREL_DEV", (machine_ / "dev").string());
    modems_.emplace("QUORREL_MODEMS", (machine_ / "modems.conf").string());
    bridge_.emplace("QUORREL_USB_BRIDGE", "1");
    probe_.emplace("QUORREL_USB_PROBE", "1");
    // No ModemManager: a bus address that leads nowhere.
    bus_.emplace("QUORREL_SYSTEM_BUS", "unix:path=" + (root_.path() / "no-bus").string());
  }

  std::string Read(const fs::path& file) const {
    std::ifstream in(file);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

  testing::ScratchRoot root_;
  fs::path machine_ = root_.path() / "machine";
  fs::path cli_, sim_;
  std::optional<ScopedEnv> sysfs_, dev_, modems_, bridge_, probe_, bus_;
};

TEST_F(UsbModemEndToEnd, DownloadThroughTheBridge) {
  const std::string scale = "0.1";
  ChildProcess sim(
      {sim_.string(), "--usb", "--time-scale", scale, "--dump", (machine_ / "dump").string()});
  ASSERT_TRUE(sim.Started());
  ASSERT_TRUE(sim.ReadUntil("attached usb=1-2 diag=ttyUSB0 data=ttyUSB1", std::chrono::seconds(30)))
      << sim.output();
  // The modem is only a USB device: nothing under the root yet.
  EXPECT_TRUE(Tree(root_.path() / "registry").empty());
  EXPECT_TRUE(Tree(root_.path() / "dosdevices").empty());

  ChildProcess list({cli_.string(), "list", "--time-scale", scale});
  ASSERT_TRUE(list.Started());
  std::optional<int> listed = list.Wait(std::chrono::seconds(60));
  ASSERT_EQ(listed, 0) << list.output();
  EXPECT_NE(list.output().find(
                "1    COM3   COM4   ttyUSB0    ttyUSB1    1e0e:9000 1-2          8A3F21C4"),
            std::string::npos)
      << list.output();
  EXPECT_NE(list.output().find("Virtual card         diagnostic, AT answers"), std::string::npos)
      << list.output();

  ChildProcess run({cli_.string(), "download", "--time-scale", scale, "--nv-dir",
                    (machine_ / "nv").string(), "--wait-seconds", "60"},
                   machine_.string());
  ASSERT_TRUE(run.Started());
  std::optional<int> code = run.Wait(std::chrono::seconds(240));
  ASSERT_TRUE(code.has_value()) << run.output();
  EXPECT_EQ(*code, 0) << run.output();
  const std::string& out = run.output();
  EXPECT_NE(out.find("message [Поздравляем]: Обновление выполнено успешно!"), std::string::npos)
      << out;
  // The modem came back with new tty names after every reset, on the same
  // COM numbers: the port text never moved.
  EXPECT_NE(out.find("port: COM3"), std::string::npos) << out;
  EXPECT_EQ(out.find("port: COM", out.find("port: COM3") + 1), std::string::npos) << out;
  // It went through the downloader and the programmer, each a new device,
  // and came back in its firmware.
  ASSERT_TRUE(sim.ReadUntil("mode=programmer", std::chrono::seconds(30))) << sim.output();
  EXPECT_TRUE(
      sim.ReadUntil("mode=normal", std::chrono::seconds(30), sim.output().find("mode=programmer")))
      << sim.output();
  // In its download modes it showed the diagnostic interface alone.
  EXPECT_NE(sim.output().find("interfaces usb=1-2 diag only"), std::string::npos) << sim.output();

  // What is under the root is the bridge's: its links into the tty nodes,
  // its services and its device keys, its own state.
  for (const std::string& name : Tree(root_.path() / "dosdevices")) {
    std::error_code ec;
    fs::path target = fs::read_symlink(root_.path() / "dosdevices" / name, ec);
    EXPECT_FALSE(ec) << name;
    EXPECT_EQ(target.parent_path(), machine_ / "dev") << name;
  }
  for (const std::string& key :
       Tree(root_.path() / "registry/HKEY_LOCAL_MACHINE/SYSTEM/CurrentControlSet")) {
    const bool bridge = key.rfind("Services", 0) == 0
                            ? key.rfind("Services/qcusb", 0) == 0
                            : key.rfind("Enum/USB", 0) == 0 || key == "Enum";
    EXPECT_TRUE(bridge || key == "Services") << key;
    if (key.rfind("Enum/USB/", 0) == 0) {
      EXPECT_EQ(key.rfind("Enum/USB/VID_1E0E&PID_9000&MI_0", 0), 0u) << key;
    }
  }

  sim.Signal(SIGTERM);
  std::optional<int> simCode = sim.Wait(std::chrono::seconds(30));
  ASSERT_TRUE(simCode.has_value());
  EXPECT_EQ(*simCode, 0) << sim.output();
  EXPECT_EQ(testsupport::ReadBytes(machine_ / "dump" / "amss.mbn"), Embedded(164));
  EXPECT_EQ(testsupport::ReadBytes(machine_ / "dump" / "partition.mbn"), Embedded(169));
  // The simulator took its device and nodes with it.
  EXPECT_TRUE(Tree(machine_ / "dev").empty());
  EXPECT_FALSE(fs::exists(machine_ / "sys/bus/usb/devices/1-2"));
}

TEST_F(UsbModemEndToEnd, ListSaysWhichInterfaceHasNoDriver) {
  // The simulator's interface 1 has no driver; a table that takes it for the
  // AT port gets the way to bind one.
  std::ofstream(machine_ / "modems.conf") << "1e0e:9000 diag=0 at=1 wrong interface\n";
  ChildProcess sim({sim_.string(), "--usb", "--time-scale", "0.1"});
  ASSERT_TRUE(sim.Started());
  ASSERT_TRUE(sim.ReadUntil("attached usb=", std::chrono::seconds(30))) << sim.output();
  ChildProcess list({cli_.string(), "list", "--time-scale", "0.1"});
  std::optional<int> code = list.Wait(std::chrono::seconds(60));
  EXPECT_EQ(code, 0) << list.output();
  // Interface 1 is the one option leaves to the network function: the line
  // is wrong, and binding a driver would not help.
  EXPECT_NE(list.output().find(
                "USB modem 1-2 (1e0e:9000 wrong interface): interface 1 (AT) has no driver: option "
                "drives this modem's serial ports on interfaces 0 and 2 and leaves interface 1 to "
                "another function. Correct the table line " +
                (machine_ / "modems.conf").string() + ":1"),
            std::string::npos)
      << list.output();
  EXPECT_NE(list.output().find("     interface 1 -: AT port (table line " +
                               (machine_ / "modems.conf").string() + ":1): no driver"),
            std::string::npos)
      << list.output();
  EXPECT_NE(list.output().find("COM3   -      ttyUSB0    -"), std::string::npos) << list.output();
  sim.Signal(SIGTERM);
  EXPECT_TRUE(sim.Wait(std::chrono::seconds(30)).has_value());
}

TEST_F(UsbModemEndToEnd, WithProbingOffAModemNotInTheTableIsNotTouched) {
  std::ofstream(machine_ / "modems.conf") << "1e0e:9001 diag=0 at=2 another card\nbad line\n";
  ChildProcess sim({sim_.string(), "--usb", "--time-scale", "0.1"});
  ASSERT_TRUE(sim.Started());
  ASSERT_TRUE(sim.ReadUntil("attached usb=", std::chrono::seconds(30))) << sim.output();
  ChildProcess list({cli_.string(), "list", "--no-usb-probe"});
  std::optional<int> code = list.Wait(std::chrono::seconds(60));
  EXPECT_EQ(code, 5) << list.output();
  EXPECT_NE(list.output().find("modem table: " + (machine_ / "modems.conf").string() +
                               ":2: expected VID:PID"),
            std::string::npos)
      << list.output();
  // Listed as a device with modem ports under its product name, and why it
  // is not used.
  EXPECT_NE(list.output().find(
                "1e0e:9000 1-2          8A3F21C4         USB modem            not in the table; "
                "not probed"),
            std::string::npos)
      << list.output();
  EXPECT_NE(list.output().find("interface 0 ttyUSB0: not probed (probing is off"),
            std::string::npos)
      << list.output();
  EXPECT_NE(list.output().find("no usable modem"), std::string::npos) << list.output();
  EXPECT_TRUE(Tree(root_.path() / "dosdevices").empty());
  EXPECT_TRUE(Tree(root_.path() / "registry").empty());
  EXPECT_EQ(Read(machine_ / "modems.conf"), "1e0e:9001 diag=0 at=2 another card\nbad line\n");
  sim.Signal(SIGTERM);
  EXPECT_TRUE(sim.Wait(std::chrono::seconds(30)).has_value());
}

// A new user's first plug: a modem whose identity is in no table. list finds
// its ports by probing, keeps the line and exits 0; download then flashes
// it through every re-enumeration. An FTDI adapter and a cdc-acm device in
// the same tree never get a byte.
TEST_F(UsbModemEndToEnd, FirstPlugOfAModemInNoTable) {
  std::ofstream(machine_ / "modems.conf", std::ios::trunc) << "";
  testsupport::FakeMachine others(machine_);
  testsupport::PtyPeer ftdi(testsupport::AtPort()), acm(testsupport::AtPort());
  ASSERT_TRUE(ftdi.ok() && acm.ok());
  others.Plug("1-3", "0403", "6001", {{0, "ttyUSB9", true, "ftdi_sio", 0xFF, ftdi.slave()}});
  others.Plug("1-4", "1546", "01a8", {{0, "ttyACM0", true, "cdc_acm", 0x02, acm.slave()}});

  const std::string scale = "0.1";
  ChildProcess sim(
      {sim_.string(), "--usb", "--time-scale", scale, "--dump", (machine_ / "dump").string()});
  ASSERT_TRUE(sim.Started());
  ASSERT_TRUE(sim.ReadUntil("attached usb=1-2 diag=ttyUSB0 data=ttyUSB1", std::chrono::seconds(30)))
      << sim.output();

  ChildProcess list({cli_.string(), "list", "--time-scale", scale});
  ASSERT_TRUE(list.Started());
  std::optional<int> listed = list.Wait(std::chrono::seconds(60));
  ASSERT_EQ(listed, 0) << list.output();
  const std::string& out = list.output();
  EXPECT_NE(out.find("1    COM3   COM4   ttyUSB0    ttyUSB1    1e0e:9000 1-2          8A3F21C4"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("diagnostic, AT answers"), std::string::npos) << out;
  EXPECT_NE(
      out.find(
          "interface 0 ttyUSB0: diagnostic port (found by probing in this run): answers in the "
          "diagnostic mode"),
      std::string::npos)
      << out;
  EXPECT_NE(out.find("interface 2 ttyUSB1: AT port (found by probing in this run): answers"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("found by probing at 1-2: 1e0e:9000 diag=0 at=2"), std::string::npos) << out;
  // The line is kept, under its comment, in the user's table.
  const std::string table = Read(machine_ / "modems.conf");
  EXPECT_EQ(table.rfind("# found by probing on ", 0), 0u) << table;
  // (A simulator that reports a product text adds it to the comment and, as
  // the name, to the line.)
  EXPECT_NE(table.find("(USB 1-2"), std::string::npos) << table;
  EXPECT_NE(table.find("\n1e0e:9000 diag=0 at=2"), std::string::npos) << table;
  // Neither the adapter nor the cdc-acm device is listed or opened.
  EXPECT_EQ(out.find("0403:6001"), std::string::npos) << out;
  EXPECT_EQ(out.find("1546:01a8"), std::string::npos) << out;

  ChildProcess run({cli_.string(), "download", "--time-scale", scale, "--nv-dir",
                    (machine_ / "nv").string(), "--wait-seconds", "60"},
                   machine_.string());
  ASSERT_TRUE(run.Started());
  std::optional<int> code = run.Wait(std::chrono::seconds(240));
  ASSERT_TRUE(code.has_value()) << run.output();
  EXPECT_EQ(*code, 0) << run.output();
  EXPECT_NE(run.output().find("message [Поздравляем]: Обновление выполнено успешно!"),
            std::string::npos)
      << run.output();

  sim.Signal(SIGTERM);
  std::optional<int> simCode = sim.Wait(std::chrono::seconds(30));
  ASSERT_TRUE(simCode.has_value());
  EXPECT_EQ(*simCode, 0) << sim.output();
  EXPECT_EQ(testsupport::ReadBytes(machine_ / "dump" / "amss.mbn"), Embedded(164));
  EXPECT_EQ(testsupport::ReadBytes(machine_ / "dump" / "partition.mbn"), Embedded(169));
  EXPECT_TRUE(ftdi.Received().empty());
  EXPECT_TRUE(acm.Received().empty());
}

// Without $QUORREL_MODEMS the shipped table is the build tree's copy and the
// user's table is in $XDG_CONFIG_HOME; udev-rule gives a rule for every
// identity of both, or for those asked for.
TEST_F(UsbModemEndToEnd, TheShippedTableFromTheBuildTreeAndTheUdevRule) {
  modems_.reset();
  const fs::path config = machine_ / "config";
  ScopedEnv xdg("XDG_CONFIG_HOME", config.string());
  ChildProcess sim({sim_.string(), "--usb", "--time-scale", "0.1"});
  ASSERT_TRUE(sim.Started());
  ASSERT_TRUE(sim.ReadUntil("attached usb=", std::chrono::seconds(30))) << sim.output();
  ChildProcess list({cli_.string(), "list", "--time-scale", "0.1"});
  ASSERT_EQ(list.Wait(std::chrono::seconds(60)), 0) << list.output();
  EXPECT_NE(list.output().find("added to " + (config / "quorrel" / "modems.conf").string()),
            std::string::npos)
      << list.output();
  sim.Signal(SIGTERM);
  EXPECT_TRUE(sim.Wait(std::chrono::seconds(30)).has_value());

  ChildProcess rule({cli_.string(), "udev-rule"});
  ASSERT_EQ(rule.Wait(std::chrono::seconds(30)), 0) << rule.output();
  EXPECT_NE(rule.output().find("ATTRS{idVendor}==\"05c6\", ATTRS{idProduct}==\"9008\""),
            std::string::npos)
      << rule.output();
  EXPECT_NE(rule.output().find("ATTRS{idVendor}==\"1e0e\", ATTRS{idProduct}==\"9000\""),
            std::string::npos)
      << rule.output();
  ChildProcess one({cli_.string(), "udev-rule", "1E0E:9001"});
  ASSERT_EQ(one.Wait(std::chrono::seconds(30)), 0) << one.output();
  EXPECT_NE(one.output().find(
                "\nSUBSYSTEMS==\"usb\", ATTRS{idVendor}==\"1e0e\", ATTRS{idProduct}==\"9001\", "
                "TAG+=\"uaccess\", ENV{ID_MM_DEVICE_IGNORE}=\"1\"\n"),
            std::string::npos)
      << one.output();
  EXPECT_EQ(one.output().find("9008"), std::string::npos) << one.output();
  ChildProcess bad({cli_.string(), "udev-rule", "1e0e-9001"});
  EXPECT_EQ(bad.Wait(std::chrono::seconds(30)), 2) << bad.output();
}

}  // namespace
}  // namespace quorrel

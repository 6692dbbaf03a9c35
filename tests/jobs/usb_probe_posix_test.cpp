// Finding a USB modem's ports without a table line: fake sysfs trees with the
// kernel's layouts of real MSM modems, whose tty nodes lead to
// pseudo-terminals played by a thread (a diagnostic port, an AT port, the
// downloader, a silent port). What each port received is checked, so a
// port that must never be opened is seen to get nothing.
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "jobs/usb_probe.h"
#include "platform/clock.h"
#include "platform/modem_manager.h"
#include "platform/modem_table.h"
#include "platform/scoped_root.h"
#include "platform/serial_port.h"
#include "platform/usb_bridge.h"
#include "support/fake_modem_manager.h"
#include "support/fake_sysfs.h"
#include "support/pty_peer.h"
#include "support/scoped_env.h"

namespace quorrel {
namespace {

namespace fs = std::filesystem;
using testsupport::FakeMachine;
using testsupport::Interface;
using testsupport::PtyPeer;
using testsupport::ScopedEnv;
using Outcome = PortProbeResult::Outcome;

// A diagnostic request frame of the firmware (no leading flag) begins with
// its code; the probe's is the ESN request.
bool GotDiagnosticFrame(const PtyPeer& peer) {
  const std::vector<uint8_t> bytes = peer.Received();
  return !bytes.empty() && bytes[0] == 0x01;
}

bool GotAt(const PtyPeer& peer) {
  return peer.ReceivedText().find("AT\r") != std::string::npos;
}

const UsbDeviceInfo* Device(const std::vector<UsbDeviceInfo>& devices, const std::string& path) {
  for (const UsbDeviceInfo& d : devices) {
    if (d.portPath == path) return &d;
  }
  return nullptr;
}

class UsbProbeTest : public ::testing::Test {
 protected:
  DeviceProbeReport Probe(const std::string& path) {
    devices_ = ScanUsbDevices(machine_.sysfs(), machine_.dev());
    const UsbDeviceInfo* d = Device(devices_, path);
    EXPECT_NE(d, nullptr) << path;
    if (d == nullptr) return {};
    return ProbeUsbDevice(clock_, *d, machine_.dev());
  }
  static const PortProbeResult* Port(const DeviceProbeReport& r, int number) {
    for (const PortProbeResult& p : r.ports) {
      if (p.interfaceNumber == number) return &p;
    }
    return nullptr;
  }

  testing::ScopedRoot root_;
  FakeMachine machine_{root_.path() / "machine"};
  // No ModemManager: a bus address that leads nowhere.
  ScopedEnv bus_{"QUORREL_SYSTEM_BUS", "unix:path=" + (root_.path() / "no-bus").string()};
  RealClock clock_;
  std::vector<UsbDeviceInfo> devices_;
};

TEST_F(UsbProbeTest, KernelLayoutsOfRealModemsAreFound) {
  struct Case {
    const char* name;
    std::vector<std::pair<Interface, PtyPeer::Responder>>
        interfaces;  // a null responder: a silent port
    int diag;
    std::optional<int> at;
  };
  std::vector<Case> cases;
  // option: diagnostic 0, 1 reserved for the network function (no driver),
  // AT 2, a silent port 3.
  cases.push_back({"option", {}, 0, 2});
  cases.back().interfaces = {{{0, "ttyUSB0"}, testsupport::DiagnosticPort()},
                             {{1, "", false}, nullptr},
                             {{2, "ttyUSB1"}, testsupport::AtPort()},
                             {{3, "ttyUSB2"}, nullptr}};
  // qcserial, the Gobi 2000 layout: 0 network on qmi_wwan (no tty),
  // 1 diagnostic, 2 AT, 3 NMEA (silent).
  cases.push_back({"qcserial Gobi 2000", {}, 1, 2});
  cases.back().interfaces = {{{0, "", true, "qmi_wwan"}, nullptr},
                             {{1, "ttyUSB0", true, "qcserial"}, testsupport::DiagnosticPort()},
                             {{2, "ttyUSB1", true, "qcserial"}, testsupport::AtPort()},
                             {{3, "ttyUSB2", true, "qcserial"}, nullptr}};
  // An AT port on a lower interface than the diagnostic port: it gets the
  // diagnostic request first, and AT still finds it.
  cases.push_back({"AT below diagnostic", {}, 3, 1});
  cases.back().interfaces = {{{1, "ttyUSB0"}, testsupport::AtPort()},
                             {{3, "ttyUSB1"}, testsupport::DiagnosticPort()}};

  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testing::ScopedRoot root;
    FakeMachine machine(root.path() / "machine");
    std::vector<std::unique_ptr<PtyPeer>> peers;
    std::vector<Interface> interfaces;
    for (const auto& [i, responder] : c.interfaces) {
      Interface with = i;
      peers.push_back(nullptr);
      if (!i.tty.empty()) {
        peers.back() = std::make_unique<PtyPeer>(responder);
        ASSERT_TRUE(peers.back()->ok());
        with.node = peers.back()->slave();
      }
      interfaces.push_back(with);
    }
    machine.Plug("1-2", "1e0e", "9001", interfaces);
    const std::vector<UsbDeviceInfo> devices = ScanUsbDevices(machine.sysfs(), machine.dev());
    ASSERT_EQ(devices.size(), 1u);
    const DeviceProbeReport report = ProbeUsbDevice(clock_, devices[0], machine.dev());
    ASSERT_TRUE(report.found);
    EXPECT_EQ(report.found->diagInterface, c.diag);
    EXPECT_EQ(report.found->atInterface, c.at);
    EXPECT_EQ(report.how, "probing");
    for (size_t k = 0; k < c.interfaces.size(); ++k) {
      const int number = c.interfaces[k].first.number;
      if (!peers[k]) continue;
      // The diagnostic port gets no AT command, the AT port at most the
      // diagnostic request, a port found to be neither nothing after it.
      if (number == c.diag) {
        EXPECT_FALSE(GotAt(*peers[k])) << number;
      }
      if (number == c.at) {
        EXPECT_TRUE(GotAt(*peers[k])) << number;
      }
      if (number > c.diag && number > *c.at) {
        EXPECT_TRUE(peers[k]->Received().empty()) << number;
      }
    }
  }
}

TEST_F(UsbProbeTest, ADownloadModeGetsTheDownloadersNoOpAndNoDiagnosticFrame) {
  PtyPeer port(testsupport::DownloaderPort());
  ASSERT_TRUE(port.ok());
  machine_.Plug("1-2", "05c6", "9008", {{0, "ttyUSB0", true, "qcserial", 0xFF, port.slave()}});
  const DeviceProbeReport report = Probe("1-2");
  ASSERT_TRUE(report.found);
  EXPECT_EQ(report.found->diagInterface, 0);
  EXPECT_FALSE(report.found->atInterface);
  ASSERT_EQ(report.ports.size(), 1u);
  EXPECT_EQ(report.ports[0].outcome, Outcome::Download);
  // Exactly one frame went to it: the no-op (flag, 06, check, flag).
  const std::vector<uint8_t> sent = port.Received();
  ASSERT_FALSE(sent.empty());
  std::vector<uint8_t> copy = sent;
  bool whole = false;
  EXPECT_EQ(testsupport::TakeFrame(copy, &whole), std::vector<uint8_t>{0x06});
  EXPECT_TRUE(copy.empty());
}

TEST_F(UsbProbeTest, DevicesThatAreNoModemsAreNeverOpened) {
  // An FTDI adapter (class ff, but ftdi_sio), a cdc-acm device (class 02),
  // a vendor-specific interface on option that is not vendor class, and a
  // modem interface of class ff on a driver that is not a modem's.
  PtyPeer ftdi(testsupport::AtPort()), acm(testsupport::AtPort()),
      wrongClass(testsupport::AtPort());
  machine_.Plug("1-3", "0403", "6001", {{0, "ttyUSB5", true, "ftdi_sio", 0xFF, ftdi.slave()}});
  machine_.Plug("1-4", "1546", "01a8", {{0, "ttyACM0", true, "cdc_acm", 0x02, acm.slave()}});
  machine_.Plug("1-5", "1e0e", "9002", {{0, "ttyUSB6", true, "option", 0x02, wrongClass.slave()}});
  for (const char* path : {"1-3", "1-4", "1-5"}) {
    SCOPED_TRACE(path);
    const DeviceProbeReport report = Probe(path);
    EXPECT_FALSE(report.found);
    EXPECT_TRUE(report.ports.empty());
  }
  EXPECT_TRUE(ftdi.Received().empty());
  EXPECT_TRUE(acm.Received().empty());
  EXPECT_TRUE(wrongClass.Received().empty());
}

TEST_F(UsbProbeTest, ABusyPortNamesItsHolderAndNothingIsLearned) {
  PtyPeer diag(testsupport::DiagnosticPort()), at(testsupport::AtPort());
  machine_.Plug("1-2", "1e0e", "9001",
                {{0, "ttyUSB0", true, "option", 0xFF, diag.slave()},
                 {2, "ttyUSB1", true, "option", 0xFF, at.slave()}});
  // This very process holds the AT port, as a terminal program would.
  int error = 0;
  std::unique_ptr<SerialDevice> held = OpenSerialPath(machine_.dev() / "ttyUSB1", 115200, &error);
  ASSERT_NE(held, nullptr) << error;
  const DeviceProbeReport report = Probe("1-2");
  EXPECT_FALSE(report.found) << "an AT port it could not ask may still be there";
  ASSERT_NE(Port(report, 0), nullptr);
  EXPECT_EQ(Port(report, 0)->outcome, Outcome::Diagnostic);
  ASSERT_NE(Port(report, 2), nullptr);
  EXPECT_EQ(Port(report, 2)->outcome, Outcome::Busy);
  EXPECT_NE(Port(report, 2)->detail.find("held by"), std::string::npos) << Port(report, 2)->detail;
  EXPECT_NE(Port(report, 2)->detail.find("(pid " + std::to_string(::getpid()) + ")"),
            std::string::npos)
      << Port(report, 2)->detail;
  EXPECT_TRUE(at.Received().empty());
}

TEST_F(UsbProbeTest, APortThisUserMayNotOpenSaysHowToFixIt) {
  PtyPeer diag(testsupport::DiagnosticPort());
  machine_.Plug("1-2", "1e0e", "9001", {{0, "ttyUSB0", true, "option", 0xFF, diag.slave()}});
  const std::vector<UsbDeviceInfo> devices = ScanUsbDevices(machine_.sysfs(), machine_.dev());
  ASSERT_EQ(devices.size(), 1u);
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::close(fds[0]);
    // The pseudo-terminal belongs to root: a user without rights on it.
    if (::geteuid() == 0 && ::setuid(65534) != 0) ::_exit(3);
    if (::geteuid() == 0) ::_exit(3);
    RealClock clock;
    const DeviceProbeReport report = ProbeUsbDevice(clock, devices[0], machine_.dev());
    std::ostringstream out;
    out << (report.found ? 1 : 0) << ' ' << static_cast<int>(report.ports.at(0).outcome) << ' '
        << report.ports.at(0).detail;
    const std::string text = out.str();
    if (::write(fds[1], text.data(), text.size()) < 0) ::_exit(4);
    ::_exit(0);
  }
  ::close(fds[1]);
  std::string text;
  char buffer[1024];
  for (ssize_t n; (n = ::read(fds[0], buffer, sizeof buffer)) > 0;)
    text.append(buffer, static_cast<size_t>(n));
  ::close(fds[0]);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  ASSERT_EQ(WEXITSTATUS(status), 0) << "could not drop root";
  EXPECT_EQ(text.substr(0, 4), "0 " + std::to_string(static_cast<int>(Outcome::Denied)) + " ")
      << text;
  EXPECT_NE(text.find("permission denied"), std::string::npos) << text;
  EXPECT_NE(text.find("dialout"), std::string::npos) << text;
  EXPECT_NE(text.find("quorrel-cli udev-rule 1e0e:9001"), std::string::npos) << text;
  EXPECT_TRUE(diag.Received().empty());
}

TEST_F(UsbProbeTest, ModemManagerThatDrivesTheModemGivesThePortTypesAndLetsGo) {
  PtyPeer diag(testsupport::DiagnosticPort()), at(testsupport::AtPort());
  machine_.Plug("1-2", "1e0e", "9001",
                {{0, "ttyUSB0", true, "option", 0xFF, diag.slave()},
                 {1, "", false},
                 {2, "ttyUSB1", true, "option", 0xFF, at.slave()}});
  const std::string uid = fs::canonical(machine_.DeviceFolder("1-2")).string();
  testsupport::FakeModemManager mm(root_.path());
  mm.AddModem({uid, {{"ttyUSB1", 3}, {"ttyUSB0", 4}, {"wwan0", 2}}});
  const DeviceProbeReport report = Probe("1-2");
  ASSERT_TRUE(report.found);
  EXPECT_EQ(report.how, "ModemManager's port types");
  EXPECT_EQ(report.found->diagInterface, 0);
  EXPECT_EQ(report.found->atInterface, 2);
  // Nothing was sent: ModemManager had probed the ports already.
  EXPECT_TRUE(diag.Received().empty());
  EXPECT_TRUE(at.Received().empty());
  // It was asked to leave the device alone, and holds to it until the end.
  ASSERT_TRUE(mm.WaitForCalls(1));
  EXPECT_EQ(mm.Calls()[0].uid, uid);
  EXPECT_TRUE(mm.Calls()[0].inhibit);
  EXPECT_EQ(mm.Inhibited(), 1);
  ReleaseModemManagerInhibitions();
  EXPECT_EQ(mm.Inhibited(), 0);

  // A modem it does not drive is probed as ever.
  PtyPeer otherDiag(testsupport::DiagnosticPort());
  machine_.Plug("1-3", "1e0e", "9003", {{0, "ttyUSB2", true, "option", 0xFF, otherDiag.slave()}});
  const DeviceProbeReport probed = Probe("1-3");
  ASSERT_TRUE(probed.found);
  EXPECT_EQ(probed.how, "probing");
  EXPECT_TRUE(GotDiagnosticFrame(otherDiag));
}

// The process's bridge with probing on, over a modem table that names none
// of the devices: each appearance is probed once, what is found becomes a
// line of the user's table and the modem gets its COM ports; the table
// wins; what is no modem is never opened.
class UsbDiscoveryProbeTest : public ::testing::Test {
 protected:
  UsbDiscoveryProbeTest() {
    std::ofstream(table_) << "# mine\n";
    SetUsbBridgeNoticeSink([this](const std::string& text) { notices_.push_back(text); });
    EnableUsbProbing(clock_);
  }
  ~UsbDiscoveryProbeTest() override {
    SetUsbProber({});
    SetUsbBridgeNoticeSink({});
  }
  std::string Table() const {
    std::ifstream in(table_);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

  testing::ScopedRoot root_;
  FakeMachine machine_{root_.path() / "machine"};
  fs::path table_ = root_.path() / "modems.conf";
  ScopedEnv sysfs_{"QUORREL_SYSFS", machine_.sysfs().string()};
  ScopedEnv dev_{"QUORREL_DEV", machine_.dev().string()};
  ScopedEnv modems_{"QUORREL_MODEMS", table_.string()};
  ScopedEnv on_{"QUORREL_USB_BRIDGE", "1"};
  ScopedEnv probe_{"QUORREL_USB_PROBE", "1"};
  ScopedEnv bus_{"QUORREL_SYSTEM_BUS", "unix:path=" + (root_.path() / "no-bus").string()};
  RealClock clock_;
  std::vector<std::string> notices_;
};

TEST_F(UsbDiscoveryProbeTest, AModemBehindHubsIsProbedOnceAndItsLineKept) {
  PtyPeer diag(testsupport::DiagnosticPort()), at(testsupport::AtPort());
  PtyPeer ftdi(testsupport::AtPort()), acm(testsupport::AtPort());
  machine_.PlugHub("1-1");
  machine_.PlugHub("1-1.4");
  machine_.Plug("1-1.4.2", "1e0e", "9001",
                {{0, "ttyUSB0", true, "option", 0xFF, diag.slave()},
                 {1, "", false},
                 {2, "ttyUSB1", true, "option", 0xFF, at.slave()}},
                "SN1");
  std::ofstream(machine_.DeviceFolder("1-1.4.2") / "product") << "Test Card\n";
  machine_.Plug("1-3", "0403", "6001", {{0, "ttyUSB5", true, "ftdi_sio", 0xFF, ftdi.slave()}});
  machine_.Plug("1-5", "1546", "01a8", {{0, "ttyACM0", true, "cdc_acm", 0x02, acm.slave()}});

  std::vector<UsbModem> modems = PollUsbBridge();
  ASSERT_EQ(modems.size(), 1u);
  EXPECT_EQ(modems[0].portPath, "1-1.4.2");
  EXPECT_EQ(modems[0].diagTty, "ttyUSB0");
  EXPECT_EQ(modems[0].atTty, "ttyUSB1");
  EXPECT_NE(modems[0].diagCom, 0);
  EXPECT_NE(modems[0].atCom, 0);
  // The user's table holds the line, under a comment that says how it was
  // found, after what was there.
  const std::string text = Table();
  EXPECT_EQ(text.rfind("# mine\n\n# found by probing on ", 0), 0u) << text;
  EXPECT_NE(text.find("(USB 1-1.4.2, Test Card)\n1e0e:9001 diag=0 at=2 Test Card\n"),
            std::string::npos)
      << text;
  ASSERT_EQ(LearnedUsbModems().size(), 1u);
  EXPECT_TRUE(LearnedUsbModems()[0].written);
  bool told = false;
  for (const std::string& n : notices_)
    told = told || n.find("\"1e0e:9001 diag=0 at=2 Test Card\"") != std::string::npos;
  EXPECT_TRUE(told);

  // Later polls ask nothing again.
  const size_t diagBytes = diag.Received().size(), atBytes = at.Received().size();
  for (int i = 0; i < 3; ++i) EXPECT_EQ(PollUsbBridge().size(), 1u);
  EXPECT_EQ(diag.Received().size(), diagBytes);
  EXPECT_EQ(at.Received().size(), atBytes);
  // The adapter and the cdc-acm device never saw a byte.
  EXPECT_TRUE(ftdi.Received().empty());
  EXPECT_TRUE(acm.Received().empty());

  // Plugged in again (a new appearance), its identity is known: no probe.
  machine_.Unplug("1-1.4.2");
  EXPECT_TRUE(PollUsbBridge().empty());
  PtyPeer diag2(testsupport::DiagnosticPort()), at2(testsupport::AtPort());
  machine_.Plug("1-1.4.2", "1e0e", "9001",
                {{0, "ttyUSB2", true, "option", 0xFF, diag2.slave()},
                 {2, "ttyUSB3", true, "option", 0xFF, at2.slave()}});
  modems = PollUsbBridge();
  ASSERT_EQ(modems.size(), 1u);
  EXPECT_EQ(modems[0].diagTty, "ttyUSB2");
  EXPECT_TRUE(diag2.Received().empty());
  EXPECT_TRUE(at2.Received().empty());
}

TEST_F(UsbDiscoveryProbeTest, TheTableWinsAndProbingCanBeSwitchedOff) {
  PtyPeer diag(testsupport::DiagnosticPort()), at(testsupport::AtPort());
  // The table's line says otherwise than a probe would find: it stands.
  std::ofstream(table_) << "1e0e:9001 diag=2 at=0 as I say\n";
  machine_.Plug("1-2", "1e0e", "9001",
                {{0, "ttyUSB0", true, "option", 0xFF, diag.slave()},
                 {2, "ttyUSB1", true, "option", 0xFF, at.slave()}});
  std::vector<UsbModem> modems = PollUsbBridge();
  ASSERT_EQ(modems.size(), 1u);
  EXPECT_EQ(modems[0].diagTty, "ttyUSB1");
  EXPECT_EQ(modems[0].atTty, "ttyUSB0");
  EXPECT_TRUE(diag.Received().empty());
  EXPECT_TRUE(at.Received().empty());
  EXPECT_EQ(Table(), "1e0e:9001 diag=2 at=0 as I say\n");

  // Switched off, a modem no line names stays unknown and untouched.
  ScopedEnv off("QUORREL_USB_PROBE", "0");
  PtyPeer other(testsupport::DiagnosticPort());
  machine_.Plug("1-3", "1e0e", "9002", {{0, "ttyUSB2", true, "option", 0xFF, other.slave()}});
  EXPECT_EQ(PollUsbBridge().size(), 1u);
  EXPECT_TRUE(other.Received().empty());
}

}  // namespace
}  // namespace quorrel

// ModemManager's inhibition over a private bus with a fake ModemManager on
// it, and the way from a COM port to the USB device it is asked for.
#include "platform/modem_manager.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/dosdevices.h"
#include "platform/scratch_root.h"
#include "support/fake_modem_manager.h"

namespace quorrel {
namespace {

using testsupport::FakeModemManager;
using testsupport::FakeUsbTree;
using testsupport::ScopedEnv;

class ModemManagerTest : public ::testing::Test {
 protected:
  std::filesystem::path Folder() const { return std::filesystem::path(getenv("QUORREL_ROOT")); }
  quorrel::testing::ScratchRoot root_;
};

TEST_F(ModemManagerTest, NoBusOrNobodyOnTheNameMeansNothingToInhibit) {
  {
    ScopedEnv bus("QUORREL_SYSTEM_BUS", "unix:path=" + (Folder() / "no-such-socket").string());
    InhibitOutcome outcome = InhibitModemManager("/sys/devices/usb1/1-2");
    EXPECT_EQ(outcome.state, InhibitOutcome::State::NotNeeded);
    EXPECT_NE(outcome.detail.find("no system bus"), std::string::npos) << outcome.detail;
    EXPECT_EQ(outcome.hold, nullptr);
  }
  FakeModemManager bus(Folder(), /*withModemManager=*/false);
  InhibitOutcome outcome = InhibitModemManager("/sys/devices/usb1/1-2");
  EXPECT_EQ(outcome.state, InhibitOutcome::State::NotNeeded);
  EXPECT_EQ(outcome.detail, "ModemManager is not running");
}

TEST_F(ModemManagerTest, AnInhibitionIsTakenForTheDeviceAndGivenBackWhenTheHoldGoes) {
  FakeModemManager mm(Folder());
  InhibitOutcome outcome = InhibitModemManager("/sys/devices/usb1/1-2");
  ASSERT_EQ(outcome.state, InhibitOutcome::State::Inhibited) << outcome.detail;
  ASSERT_NE(outcome.hold, nullptr);
  EXPECT_EQ(HeldModemManagerInhibitions(), 1);
  ASSERT_EQ(mm.Calls().size(), 1u);
  EXPECT_EQ(mm.Calls()[0].uid, "/sys/devices/usb1/1-2");
  EXPECT_TRUE(mm.Calls()[0].inhibit);

  // A copy of the hold keeps it; the last one gives the device back.
  std::shared_ptr<ModemManagerInhibition> copy = outcome.hold;
  outcome.hold.reset();
  EXPECT_EQ(mm.Calls().size(), 1u);
  copy.reset();
  ASSERT_TRUE(mm.WaitForCalls(2));
  EXPECT_EQ(mm.Calls()[1].uid, "/sys/devices/usb1/1-2");
  EXPECT_FALSE(mm.Calls()[1].inhibit);
  EXPECT_EQ(HeldModemManagerInhibitions(), 0);
}

TEST_F(ModemManagerTest, ReleasingEverythingOnASignalGivesEachDeviceBackOnce) {
  FakeModemManager mm(Folder());
  InhibitOutcome a = InhibitModemManager("/sys/devices/usb1/1-2");
  InhibitOutcome b = InhibitModemManager("/sys/devices/usb1/1-3");
  ASSERT_EQ(a.state, InhibitOutcome::State::Inhibited);
  ASSERT_EQ(b.state, InhibitOutcome::State::Inhibited);
  EXPECT_EQ(HeldModemManagerInhibitions(), 2);
  ReleaseModemManagerInhibitions();
  EXPECT_EQ(HeldModemManagerInhibitions(), 0);
  EXPECT_EQ(mm.Inhibited(), 0);
  // The holds release nothing a second time.
  a.hold.reset();
  b.hold.reset();
  EXPECT_EQ(mm.Calls().size(), 4u);
}

TEST_F(ModemManagerTest, ARefusalIsReportedWithTheBusErrorAndAnUnknownDeviceNeedsNothing) {
  FakeModemManager mm(Folder());
  mm.SetAnswer(FakeModemManager::Answer::Refuse);
  InhibitOutcome refused = InhibitModemManager("/sys/devices/usb1/1-2");
  EXPECT_EQ(refused.state, InhibitOutcome::State::Refused);
  EXPECT_EQ(refused.hold, nullptr);
  EXPECT_NE(refused.detail.find("org.freedesktop.DBus.Error.AccessDenied"), std::string::npos)
      << refused.detail;
  EXPECT_NE(refused.detail.find("not authorized"), std::string::npos) << refused.detail;

  // A device ModemManager does not handle (the udev rule told it to ignore
  // it) will not be probed: go on.
  mm.SetAnswer(FakeModemManager::Answer::NotFound);
  InhibitOutcome unknown = InhibitModemManager("/sys/devices/usb1/1-2");
  EXPECT_EQ(unknown.state, InhibitOutcome::State::NotNeeded);
  EXPECT_EQ(HeldModemManagerInhibitions(), 0);
}

TEST_F(ModemManagerTest, APortLeadsToTheUsbDeviceAboveItsInterfaceAndOnlyThere) {
  const std::filesystem::path sysfs = Folder() / "sys";
  FakeUsbTree tree(sysfs, "1-2", "ttyUSB3");
  ScopedEnv env("QUORREL_SYSFS", sysfs.string());
  ASSERT_TRUE(LinkComPort(5, "/dev/ttyUSB3"));
  EXPECT_EQ(UsbDeviceOfPort(5), tree.device.string());

  // No port; a pseudo-terminal; a tty without a USB device above it.
  EXPECT_EQ(UsbDeviceOfPort(6), "");
  ASSERT_TRUE(LinkComPort(7, "/dev/pts/4"));
  EXPECT_EQ(UsbDeviceOfPort(7), "");
  std::filesystem::create_directories(sysfs / "devices" / "platform" / "serial8250" / "tty" /
                                      "ttyS0");
  std::filesystem::create_symlink("../../devices/platform/serial8250/tty/ttyS0",
                                  sysfs / "class" / "tty" / "ttyS0");
  std::filesystem::create_symlink(
      "../..", sysfs / "devices" / "platform" / "serial8250" / "tty" / "ttyS0" / "device");
  ASSERT_TRUE(LinkComPort(8, "/dev/ttyS0"));
  EXPECT_EQ(UsbDeviceOfPort(8), "");
  // A device link leading out of the tree is not followed to a USB device
  // elsewhere.
  const std::filesystem::path outside = Folder() / "elsewhere" / "1-9";
  std::filesystem::create_directories(outside / "1-9:1.0");
  std::ofstream(outside / "idVendor") << "1e0e\n";
  std::ofstream(outside / "idProduct") << "9000\n";
  std::filesystem::create_directories(sysfs / "class" / "tty" / "ttyUSB9");
  std::filesystem::create_symlink(outside / "1-9:1.0",
                                  sysfs / "class" / "tty" / "ttyUSB9" / "device");
  ASSERT_TRUE(LinkComPort(9, "/dev/ttyUSB9"));
  EXPECT_EQ(UsbDeviceOfPort(9), "");
}

TEST_F(ModemManagerTest, AnAuthorizationIsAskedForInteractivelyAndWaitedForWhileTheUserAnswers) {
  FakeModemManager mm(Folder());
  mm.SetAnswer(FakeModemManager::Answer::AskAuthorization);
  // The user answers the password dialog once the program said what it
  // waits for.
  std::mutex mutex;
  std::condition_variable told;
  std::string waitingText;
  std::thread user([&] {
    std::unique_lock<std::mutex> lock(mutex);
    if (told.wait_for(lock, std::chrono::seconds(60), [&] { return !waitingText.empty(); }))
      mm.Approve();
  });
  InhibitOutcome outcome =
      InhibitModemManager("/sys/devices/usb1/1-2", [&](const std::string& text) {
        std::lock_guard<std::mutex> lock(mutex);
        waitingText = text;
        told.notify_all();
      });
  user.join();
  ASSERT_EQ(outcome.state, InhibitOutcome::State::Inhibited) << outcome.detail;
  EXPECT_NE(waitingText.find("/sys/devices/usb1/1-2"), std::string::npos) << waitingText;
  EXPECT_NE(waitingText.find("administrator's password"), std::string::npos) << waitingText;
  EXPECT_NE(waitingText.find("2 minutes"), std::string::npos) << waitingText;
  ASSERT_EQ(mm.Calls().size(), 1u);
  EXPECT_TRUE(mm.Calls()[0].interactive);
  outcome.hold.reset();
  ASSERT_TRUE(mm.WaitForCalls(2));
  EXPECT_EQ(mm.Inhibited(), 0);
}

TEST_F(ModemManagerTest, ADeviceThisProgramHoldsAlreadyIsNotAskedForTwice) {
  // The probe holds its inhibition for the whole run; a job on the same
  // device must not ask again (ModemManager refuses a second inhibition).
  FakeModemManager mm(Folder());
  InhibitOutcome first = InhibitModemManager("/sys/devices/usb1/1-2");
  ASSERT_EQ(first.state, InhibitOutcome::State::Inhibited);
  InhibitOutcome again = InhibitModemManager("/sys/devices/usb1/1-2");
  EXPECT_EQ(again.state, InhibitOutcome::State::NotNeeded);
  EXPECT_EQ(mm.Calls().size(), 1u);
  first.hold.reset();
  ASSERT_TRUE(mm.WaitForCalls(2));
  EXPECT_EQ(InhibitModemManager("/sys/devices/usb1/1-2").state, InhibitOutcome::State::Inhibited);
}

TEST_F(ModemManagerTest, ThePortTypesOfTheModemItDrivesAtTheDevice) {
  FakeModemManager mm(Folder());
  EXPECT_FALSE(ModemManagerPorts("/sys/devices/usb1/1-2"));
  mm.AddModem({"/sys/devices/usb1/1-3", {{"ttyUSB7", 3}}});
  mm.AddModem({"/sys/devices/usb1/1-2", {{"cdc-wdm0", 6}, {"ttyUSB1", 3}, {"ttyUSB0", 4}}});
  std::optional<std::vector<ModemManagerPort>> ports = ModemManagerPorts("/sys/devices/usb1/1-2");
  ASSERT_TRUE(ports);
  ASSERT_EQ(ports->size(), 3u);
  EXPECT_EQ((*ports)[1].name, "ttyUSB1");
  EXPECT_EQ((*ports)[1].type, ModemManagerPort::At);
  EXPECT_EQ((*ports)[2].name, "ttyUSB0");
  EXPECT_EQ((*ports)[2].type, ModemManagerPort::Qcdm);
  EXPECT_FALSE(ModemManagerPorts("/sys/devices/usb1/1-4"));
  // Nobody on the name: nothing known.
  std::filesystem::create_directories(Folder() / "empty");
  FakeModemManager empty(Folder() / "empty", /*withModemManager=*/false);
  EXPECT_FALSE(ModemManagerPorts("/sys/devices/usb1/1-2"));
}

TEST_F(ModemManagerTest, ARefusalAdvisesARuleForTheModemsOwnIdentity) {
  const std::filesystem::path sysfs = Folder() / "sys";
  FakeUsbTree tree(sysfs, "1-2", "ttyUSB3");
  const std::string advice = ModemManagerRefusalAdvice(tree.device.string(), "not authorized");
  EXPECT_NE(advice.find("(not authorized)"), std::string::npos) << advice;
  EXPECT_NE(
      advice.find("    SUBSYSTEMS==\"usb\", ATTRS{idVendor}==\"1e0e\", ATTRS{idProduct}==\"9000\", "
                  "TAG+=\"uaccess\", ENV{ID_MM_DEVICE_IGNORE}=\"1\"\n"),
      std::string::npos)
      << advice;
  EXPECT_NE(advice.find("/etc/udev/rules.d/70-quorrel-local.rules"), std::string::npos);
  EXPECT_NE(advice.find("sudo systemctl stop ModemManager"), std::string::npos);
  EXPECT_NE(advice.find("dialout"), std::string::npos);
}

}  // namespace
}  // namespace quorrel

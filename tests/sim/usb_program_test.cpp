// quorrel-sim --usb as a program, driven by the host's own operations over
// the tty nodes: every mode change is a new device in the sysfs tree, the
// old ttys hang up, tty numbers follow the descriptors a host keeps open,
// and each USB option does what it says. Every wait is on a printed line.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <functional>
#include <optional>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "download/dmss.h"
#include "download/streaming.h"
#include "link/hdlc.h"
#include "link/phone_link.h"
#include "platform/clock.h"
#include "platform/dosdevices.h"
#include "platform/scoped_root.h"
#include "services/diag_commands.h"
#include "sim_process.h"
#include "support/byte_pattern.h"
#include "support/scoped_env.h"
#include "usb_tree.h"

namespace quorrel::simtest {
namespace {

using testsupport::Pattern;

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

// "attached usb=PATH diag=TTY data=TTY id=VVVV:PPPP mode=MODE devnum=N speed=S serial=X"
struct Attached {
  std::string path, diag, data, id, mode, serial;
  int devnum = 0;
  int speed = 0;
};

std::optional<Attached> ParseAttached(const std::string& line) {
  static const std::regex pattern(
      "attached usb=(\\S+) diag=(\\S+) data=(\\S+) id=([0-9a-f]{4}:[0-9a-f]{4}) mode=(\\S+) "
      "devnum=([0-9]+) "
      "speed=([0-9]+) serial=(\\S+)");
  std::smatch m;
  if (!std::regex_match(line, m, pattern)) return std::nullopt;
  Attached a;
  a.path = m[1];
  a.diag = m[2];
  a.data = m[3];
  a.id = m[4];
  a.mode = m[5];
  a.devnum = std::stoi(m[6]);
  a.speed = std::stoi(m[7]);
  a.serial = m[8];
  return a;
}

std::string ReadAll(const fs::path& file) {
  return ReadWhole(file).value_or("");
}

// The device times of the report's attach and detach records, in order.
std::vector<std::pair<std::string, uint64_t>> Attachments(const std::string& report) {
  static const std::regex record("\"t_ms\": ([0-9]+),\\s*\"event\": \"(attach|detach)\"");
  std::vector<std::pair<std::string, uint64_t>> out;
  for (std::sregex_iterator it(report.begin(), report.end(), record); it != std::sregex_iterator();
       ++it) {
    out.emplace_back((*it)[2], std::stoull((*it)[1]));
  }
  return out;
}

class UsbSimTest : public ::testing::Test {
 protected:
  // Starts the simulator over USB, ten times faster than a modem. The ports
  // vanish 300 ms (real time) after the reply to a request that resets or
  // restarts the modem rather than 30: a host slowed by a loaded machine
  // still reads that reply before the hang-up, which these tests expect.
  bool Start(SimProcess& sim, std::vector<std::string> args, const std::string& log = "sim.err") {
    args.insert(args.begin(), {"--usb", "--time-scale", "0.1", "--timing", "detach-after=3000"});
    return sim.Start(args, root_.path() / log);
  }
  // The next attach line, which must come next (after the download modes'
  // interfaces line of the one before).
  Attached NextAttach(SimProcess& sim) {
    std::string line = sim.ReadLine();
    if (line.rfind("interfaces ", 0) == 0) line = sim.ReadLine();
    auto a = ParseAttached(line);
    EXPECT_TRUE(a) << "not an attach line: \"" << line << "\"\n" << sim.seen();
    return a.value_or(Attached{});
  }
  // A COM number led to the tty's node, as the bridge would make one.
  int Com(const std::string& tty) {
    const int n = next_com_++;
    EXPECT_TRUE(LinkComPort(n, dev_ / tty));
    return n;
  }
  // Opens the tty as line.Port(), a host's serial port.
  void Open(PhoneLink& line, const std::string& tty) {
    ASSERT_EQ(line.Port().Open(Com(tty), 115200, 8, 1), 1);
  }
  // Uploads a programmer and starts it.
  void UploadAndGo(PhoneLink& line) {
    const Bytes programmer = Pattern(2500, 1);
    ASSERT_EQ(DmssNoOp(line), 1) << line.LastError();
    for (size_t at = 0; at < programmer.size(); at += 1017) {
      const uint32_t n = static_cast<uint32_t>(std::min<size_t>(1017, programmer.size() - at));
      ASSERT_EQ(DmssWrite(line, programmer.data() + at, 0x00800000 + static_cast<uint32_t>(at), n),
                1)
          << line.LastError();
    }
    ASSERT_EQ(DmssGo(line, 0x80, 0), 1) << line.LastError();
  }

  testing::ScopedRoot root_;
  fs::path sysfs_ = root_.path() / "sys";
  fs::path dev_ = root_.path() / "dev";
  testsupport::ScopedEnv sysfs_env_{"QUORREL_SYSFS", sysfs_.string()};
  testsupport::ScopedEnv dev_env_{"QUORREL_DEV", dev_.string()};
  RealClock clock_;
  int next_com_ = 3;
};

TEST_F(UsbSimTest, EveryModeIsANewDeviceAndTheOldTtysHangUp) {
  SimProcess sim;
  ASSERT_TRUE(Start(sim, {}));
  const Attached firmware = NextAttach(sim);
  EXPECT_EQ(firmware.path, "1-2");
  EXPECT_EQ(firmware.diag, "ttyUSB0");
  EXPECT_EQ(firmware.data, "ttyUSB1");
  EXPECT_EQ(firmware.id, "1e0e:9000");
  EXPECT_EQ(firmware.mode, "normal");
  EXPECT_EQ(firmware.devnum, 2);
  EXPECT_EQ(firmware.speed, 480);
  EXPECT_EQ(firmware.serial, "8A3F21C4");
  auto d = ReadTreeDevice(sysfs_, dev_, "1-2");
  ASSERT_TRUE(d);
  EXPECT_EQ(d->attributes.at("idVendor"), "1e0e\n");
  EXPECT_EQ(d->attributes.at("bNumInterfaces"), " 3\n");
  EXPECT_EQ(d->attributes.at("serial"), "8A3F21C4\n");
  ASSERT_EQ(d->interfaces.size(), 3u);
  EXPECT_EQ(d->interfaces[0].driver, "option");
  EXPECT_EQ(d->interfaces[0].serialDriver, "option1");
  EXPECT_EQ(d->interfaces[1].driver, "");
  EXPECT_EQ(d->interfaces[2].tty, "ttyUSB1");

  // The host's descriptor on the diagnostic tty, kept open across the
  // switch into the downloader.
  const int fd = ::open((dev_ / "ttyUSB0").c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  const Bytes request = EncodeFrame(Bytes{0x3A}, false);
  ASSERT_EQ(::write(fd, request.data(), request.size()), static_cast<ssize_t>(request.size()));
  EXPECT_EQ(sim.ReadLine(), "detached usb=1-2");
  pollfd p{fd, POLLIN | POLLOUT, 0};
  ASSERT_EQ(::poll(&p, 1, 0), 1);
  EXPECT_TRUE(p.revents & POLLHUP) << p.revents;
  char byte = 0;
  const ssize_t r = ::read(fd, &byte, 1);
  EXPECT_TRUE(r == 0 || (r < 0 && errno == EIO)) << r << " " << errno;
  EXPECT_EQ(::write(fd, "x", 1), -1);
  EXPECT_EQ(errno, EIO);
  int lines = 0;
  EXPECT_EQ(::ioctl(fd, TIOCMGET, &lines), -1);
  EXPECT_EQ(errno, EIO);
  EXPECT_EQ(Leftovers(sysfs_, dev_, "1-2", {"ttyUSB0", "ttyUSB1"}), std::vector<std::string>{});

  // The downloader: the download identity, one interface on qcserial, no
  // serial. ttyUSB0 is still held open: it gets ttyUSB1.
  const Attached downloader = NextAttach(sim);
  EXPECT_EQ(downloader.path, "1-2");
  EXPECT_EQ(downloader.diag, "ttyUSB1");
  EXPECT_EQ(downloader.data, "none");
  EXPECT_EQ(downloader.id, "05c6:9008");
  EXPECT_EQ(downloader.mode, "downloader");
  EXPECT_EQ(downloader.devnum, 3);
  EXPECT_EQ(downloader.serial, "none");
  EXPECT_EQ(sim.ReadLine(), "interfaces usb=1-2 diag only");
  d = ReadTreeDevice(sysfs_, dev_, "1-2");
  ASSERT_TRUE(d);
  EXPECT_EQ(d->attributes.at("idProduct"), "9008\n");
  EXPECT_EQ(d->attributes.at("bNumInterfaces"), " 1\n");
  EXPECT_EQ(d->attributes.count("serial"), 0u);
  ASSERT_EQ(d->interfaces.size(), 1u);
  EXPECT_EQ(d->interfaces[0].number, "00\n");
  EXPECT_EQ(d->interfaces[0].driver, "qcserial");
  EXPECT_EQ(d->interfaces[0].serialDriver, "qcserial");
  ::close(fd);

  // The programmer's start is a new device too; the downloader's tty is
  // held by the host meanwhile, ttyUSB0 is free again.
  PhoneLink line(clock_, SystemSerialDevices());
  Open(line, downloader.diag);
  UploadAndGo(line);
  EXPECT_EQ(sim.ReadLine(), "detached usb=1-2");
  const Attached programmer = NextAttach(sim);
  EXPECT_EQ(programmer.diag, "ttyUSB0");
  EXPECT_EQ(programmer.id, "05c6:9008");
  EXPECT_EQ(programmer.mode, "programmer");
  EXPECT_EQ(programmer.devnum, 4);
  line.Port().Close();

  // Its reset: the firmware again, its identity and serial back.
  Open(line, programmer.diag);
  ASSERT_EQ(StreamHello(line), 1) << line.LastError();
  ASSERT_EQ(StreamReset(line), 1) << line.LastError();
  EXPECT_EQ(sim.ReadLine(), "interfaces usb=1-2 diag only");
  EXPECT_EQ(sim.ReadLine(), "detached usb=1-2");
  const Attached back = NextAttach(sim);
  EXPECT_EQ(back.diag, "ttyUSB1");
  EXPECT_EQ(back.data, "ttyUSB2");
  EXPECT_EQ(back.id, "1e0e:9000");
  EXPECT_EQ(back.mode, "normal");
  EXPECT_EQ(back.devnum, 5);
  EXPECT_EQ(back.serial, "8A3F21C4");
  line.Port().Close();

  sim.Signal(SIGTERM);
  EXPECT_EQ(sim.Finish(), 0) << ReadAll(root_.path() / "sim.err");
  EXPECT_EQ(Leftovers(sysfs_, dev_, "1-2", {"ttyUSB0", "ttyUSB1", "ttyUSB2"}),
            std::vector<std::string>{});
  EXPECT_EQ(Names(dev_), std::set<std::string>{});
}

TEST_F(UsbSimTest, ProgrammerStartsInPlaceWhenAsked) {
  SimProcess sim;
  ASSERT_TRUE(Start(sim, {"--usb-programmer-stays"}));
  const Attached firmware = NextAttach(sim);
  PhoneLink line(clock_, SystemSerialDevices());
  Open(line, firmware.diag);
  ASSERT_EQ(SwitchToDownloader(line), 1) << line.LastError();
  line.Port().Close();
  EXPECT_EQ(sim.ReadLine(), "detached usb=1-2");
  const Attached downloader = NextAttach(sim);
  ASSERT_EQ(downloader.mode, "downloader");
  EXPECT_EQ(sim.ReadLine(), "interfaces usb=1-2 diag only");

  Open(line, downloader.diag);
  UploadAndGo(line);
  // The programmer answers on the same tty of the same device.
  ASSERT_EQ(StreamHello(line), 1) << line.LastError();
  auto d = ReadTreeDevice(sysfs_, dev_, "1-2");
  ASSERT_TRUE(d);
  EXPECT_EQ(d->attributes.at("devnum"), std::to_string(downloader.devnum) + "\n");
  ASSERT_EQ(StreamReset(line), 1) << line.LastError();
  line.Port().Close();
  // Nothing came and went between the downloader and the reset.
  EXPECT_EQ(sim.ReadLine(), "detached usb=1-2");
  EXPECT_EQ(NextAttach(sim).mode, "normal");
  sim.Signal(SIGTERM);
  EXPECT_EQ(sim.Finish(), 0);
}

TEST_F(UsbSimTest, ComesBackOnTheCompanionPort) {
  struct Case {
    const char* option;
    // Where the firmware, the downloader, the programmer and the firmware
    // after the reset come back.
    std::vector<std::string> paths;
  };
  const Case cases[] = {
      {"every", {"1-2", "2-2", "1-2", "2-2"}},
      {"download", {"1-2", "2-2", "2-2", "1-2"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.option);
    SimProcess sim;
    ASSERT_TRUE(Start(sim, {"--usb-companion", c.option}));
    std::vector<std::string> paths;
    PhoneLink line(clock_, SystemSerialDevices());
    // Where each attachment sits: at its path, at the speed of its root
    // hub, its port leading to it; nothing at the other side.
    auto look = [&](const Attached& a) {
      paths.push_back(a.path);
      auto d = ReadTreeDevice(sysfs_, dev_, a.path);
      ASSERT_TRUE(d) << a.path;
      const int bus = a.path[0] - '0';
      EXPECT_EQ(a.speed, bus == 2 ? 5000 : 480);
      EXPECT_EQ(d->attributes.at("speed"), std::to_string(a.speed) + "\n");
      EXPECT_TRUE(d->portLeadsBack);
      EXPECT_EQ(Canonical(d->port / "peer").filename(), bus == 2 ? "usb1-port2" : "usb2-port2");
      const std::string other = bus == 2 ? "1-2" : "2-2";
      EXPECT_FALSE(ReadTreeDevice(sysfs_, dev_, other));
      EXPECT_FALSE(Present(Canonical(d->port / "peer") / "device"));
    };
    Attached a = NextAttach(sim);
    look(a);
    Open(line, a.diag);
    ASSERT_EQ(SwitchToDownloader(line), 1) << line.LastError();
    line.Port().Close();
    EXPECT_EQ(sim.ReadLine(), "detached usb=" + a.path);
    a = NextAttach(sim);
    look(a);
    Open(line, a.diag);
    UploadAndGo(line);
    line.Port().Close();
    EXPECT_EQ(sim.AwaitLine("detached "), "detached usb=" + a.path);
    a = NextAttach(sim);
    look(a);
    Open(line, a.diag);
    ASSERT_EQ(StreamHello(line), 1) << line.LastError();
    ASSERT_EQ(StreamReset(line), 1) << line.LastError();
    line.Port().Close();
    EXPECT_EQ(sim.AwaitLine("detached "), "detached usb=" + a.path);
    a = NextAttach(sim);
    look(a);
    EXPECT_EQ(a.mode, "normal");
    EXPECT_EQ(paths, c.paths);
    sim.Signal(SIGTERM);
    EXPECT_EQ(sim.Finish(), 0);
  }
}

TEST_F(UsbSimTest, SlowRebootStaysAwayItsBootTime) {
  SimProcess sim;
  const fs::path report = root_.path() / "report.json";
  ASSERT_TRUE(Start(sim, {"--slow-reboot", "ms=20000", "--report", report.string()}));
  const Attached firmware = NextAttach(sim);
  PhoneLink line(clock_, SystemSerialDevices());
  Open(line, firmware.diag);
  ASSERT_EQ(ResetPhone(line), 1) << line.LastError();
  line.Port().Close();
  EXPECT_EQ(sim.ReadLine(), "detached usb=1-2");
  const Attached back = NextAttach(sim);
  EXPECT_EQ(back.mode, "normal");
  EXPECT_EQ(back.devnum, 3);
  sim.Signal(SIGTERM);
  EXPECT_EQ(sim.Finish(), 0);
  // In the modem's own time: away for the slow boot, not the usual pause.
  const auto records = Attachments(ReadAll(report));
  ASSERT_GE(records.size(), 3u) << ReadAll(report);
  EXPECT_EQ(records[1].first, "detach");
  EXPECT_EQ(records[2].first, "attach");
  EXPECT_GE(records[2].second - records[1].second, 20000u);
}

TEST_F(UsbSimTest, AnotherModemComesBackAtTheSamePath) {
  SimProcess sim;
  const fs::path first = root_.path() / "first.json", second = root_.path() / "second.json";
  ASSERT_TRUE(Start(sim, {"--swap-modem", "at=1,seed=7,esn=11223344,serial=SWAP0001", "--report",
                          first.string(), "--swap-report", second.string()}));
  const Attached a = NextAttach(sim);
  EXPECT_EQ(a.serial, "8A3F21C4");
  PhoneLink line(clock_, SystemSerialDevices());
  Open(line, a.diag);
  uint32_t esn = 0;
  ASSERT_EQ(GetEsn(line, esn), 1) << line.LastError();
  EXPECT_EQ(esn, 0x8A3F21C4u);
  std::array<uint8_t, kNvDataSize> before{}, after{};
  uint16_t status = 0;
  ASSERT_EQ(ReadNvItem(line, 550, before, status), 1) << line.LastError();
  ASSERT_EQ(ResetPhone(line), 1) << line.LastError();
  line.Port().Close();

  // Another modem at the same path: its ESN, serial and NV contents.
  EXPECT_EQ(sim.ReadLine(), "detached usb=1-2");
  EXPECT_EQ(sim.ReadLine(), "replaced usb=1-2 esn=11223344 serial=SWAP0001");
  const Attached b = NextAttach(sim);
  EXPECT_EQ(b.path, "1-2");
  EXPECT_EQ(b.serial, "SWAP0001");
  EXPECT_EQ(b.devnum, 3);
  auto d = ReadTreeDevice(sysfs_, dev_, "1-2");
  ASSERT_TRUE(d);
  EXPECT_EQ(d->attributes.at("serial"), "SWAP0001\n");
  Open(line, b.diag);
  ASSERT_EQ(GetEsn(line, esn), 1) << line.LastError();
  EXPECT_EQ(esn, 0x11223344u);
  ASSERT_EQ(ReadNvItem(line, 550, after, status), 1) << line.LastError();
  EXPECT_NE(after, before);
  std::array<uint8_t, kNvDataSize> item{};
  item.fill(0x5A);
  ASSERT_EQ(WriteNvItem(line, 22, item, status), 1) << line.LastError();
  // It stays the other modem across its own restarts.
  ASSERT_EQ(ResetPhone(line), 1) << line.LastError();
  line.Port().Close();
  EXPECT_EQ(sim.ReadLine(), "detached usb=1-2");
  EXPECT_EQ(NextAttach(sim).serial, "SWAP0001");

  sim.Signal(SIGTERM);
  EXPECT_EQ(sim.Finish(), 0) << ReadAll(root_.path() / "sim.err");
  // Each modem's report holds what it got.
  const std::string firstReport = ReadAll(first), secondReport = ReadAll(second);
  EXPECT_NE(firstReport.find("\"esn\": \"8A3F21C4\""), std::string::npos);
  EXPECT_EQ(firstReport.find("\"item\": 22"), std::string::npos);
  EXPECT_NE(secondReport.find("\"esn\": \"11223344\""), std::string::npos);
  EXPECT_NE(secondReport.find("\"item\": 22"), std::string::npos);
}

TEST_F(UsbSimTest, TwoSimulatorsShareOneTree) {
  // Started together: the tree's lock keeps their numbers apart.
  SimProcess a, b;
  ASSERT_TRUE(Start(a, {"--usb-path", "1-2"}, "a.err"));
  ASSERT_TRUE(Start(b, {"--usb-path", "1-3", "--seed", "2", "--esn", "0B0B0B0B"}, "b.err"));
  const Attached first = NextAttach(a);
  const Attached second = NextAttach(b);
  EXPECT_EQ((std::set<std::string>{first.diag, first.data, second.diag, second.data}),
            (std::set<std::string>{"ttyUSB0", "ttyUSB1", "ttyUSB2", "ttyUSB3"}));
  EXPECT_EQ((std::set<int>{first.devnum, second.devnum}), (std::set<int>{2, 3}));

  // The second re-enumerates while its host holds its old diagnostic tty:
  // the first one's ttys and the held one are skipped.
  const int fd = ::open((dev_ / second.diag).c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  const Bytes request = EncodeFrame(Bytes{0x3A}, false);
  ASSERT_EQ(::write(fd, request.data(), request.size()), static_cast<ssize_t>(request.size()));
  EXPECT_EQ(b.ReadLine(), "detached usb=1-3");
  const Attached download = NextAttach(b);
  std::string lowest;
  for (int n = 0; lowest.empty(); ++n) {
    const std::string name = "ttyUSB" + std::to_string(n);
    if (name != first.diag && name != first.data && name != second.diag) lowest = name;
  }
  EXPECT_EQ(download.diag, lowest);
  EXPECT_EQ(download.devnum, 4);
  ::close(fd);
  auto d = ReadTreeDevice(sysfs_, dev_, "1-2");
  ASSERT_TRUE(d);
  EXPECT_EQ(d->attributes.at("devnum"), std::to_string(first.devnum) + "\n");
  EXPECT_EQ(d->interfaces[0].tty, first.diag);
  EXPECT_EQ(d->interfaces[2].tty, first.data);

  // A third one at the first one's path is refused and takes nothing.
  SimProcess c;
  ASSERT_TRUE(Start(c, {"--usb-path", "1-2"}, "c.err"));
  EXPECT_EQ(c.ReadLine(), "attach failed");
  EXPECT_EQ(c.Finish(), 1);
  EXPECT_NE(ReadAll(root_.path() / "c.err").find("another device is attached at 1-2"),
            std::string::npos);

  b.Signal(SIGTERM);
  EXPECT_EQ(b.Finish(), 0);
  EXPECT_FALSE(ReadTreeDevice(sysfs_, dev_, "1-3"));
  d = ReadTreeDevice(sysfs_, dev_, "1-2");
  ASSERT_TRUE(d);
  EXPECT_EQ(d->interfaces[0].tty, first.diag);
  EXPECT_TRUE(Present(dev_ / first.diag));
  a.Signal(SIGTERM);
  EXPECT_EQ(a.Finish(), 0);
  EXPECT_EQ(Names(dev_), std::set<std::string>{});
}

}  // namespace
}  // namespace quorrel::simtest

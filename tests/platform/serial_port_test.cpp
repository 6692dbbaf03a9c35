// SerialPort over real pseudo-terminals attached under <root>/dosdevices: the
// test plays the device on the master side.
#include "platform/serial_port.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <numeric>
#include <vector>

#include <gtest/gtest.h>

#include "platform/dosdevices.h"
#include "platform/pty.h"
#include "platform/scratch_root.h"

namespace quorrel {
namespace {

constexpr int kPortTimeoutMs = 5000;
constexpr int kPort = 12;  // above 9 on purpose

std::vector<uint8_t> Pattern(size_t n, uint8_t seed) {
  std::vector<uint8_t> out(n);
  for (size_t i = 0; i < n; ++i) out[i] = static_cast<uint8_t>(seed + i * 7);
  return out;
}

// Waits until the port has at least `count` bytes queued. Input arriving on a
// pty is handed to the line discipline asynchronously, so the count lags the
// master's write a little; poll() on our own slave fd wakes us when input is
// there. Bounded by the deadline.
bool WaitForQueued(SerialPort& port, int count, int slave_fd, int timeout_ms = kPortTimeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    if (port.BytesQueued() >= count) return true;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    deadline - std::chrono::steady_clock::now())
                    .count();
    if (left <= 0) return false;
    pollfd p{slave_fd, POLLIN, 0};
    ::poll(&p, 1, static_cast<int>(left < 10 ? left : 10));
  }
}

// The exclusive flag of a tty, read through any fd on it.
int ExclusiveFlag(int fd) {
  int flag = -1;
  if (::ioctl(fd, TIOCGEXCL, &flag) != 0) return -1;
  return flag;
}

class PtyPortTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(pty_.Open());
    ASSERT_TRUE(pty_.HoldSlaveOpen());
    ASSERT_TRUE(LinkComPort(kPort, pty_.slave_path()));
  }

  // The device sends bytes; returns once the port shows all of them queued.
  void DeviceSends(const std::vector<uint8_t>& bytes, SerialPort& port) {
    int before = port.BytesQueued();
    ASSERT_TRUE(pty_.WriteAll(bytes, kPortTimeoutMs));
    ASSERT_TRUE(WaitForQueued(port, before + static_cast<int>(bytes.size()), pty_.held_slave_fd()));
  }

  // The settings a freshly plugged tty has: line editing, echo, newline
  // translation, flow control, 7 bits with parity.
  void MakeCooked() {
    termios tio = LineSettings();
    tio.c_iflag |= ICRNL | IXON | ISTRIP;
    tio.c_oflag |= OPOST | ONLCR;
    tio.c_lflag |= ICANON | ECHO | ISIG | IEXTEN;
    tio.c_cflag = (tio.c_cflag & ~static_cast<tcflag_t>(CSIZE)) | CS7 | PARENB | CRTSCTS;
    tio.c_cc[VMIN] = 1;
    ASSERT_EQ(::tcsetattr(pty_.held_slave_fd(), TCSANOW, &tio), 0);
  }

  termios LineSettings() {
    termios tio{};
    EXPECT_EQ(::tcgetattr(pty_.held_slave_fd(), &tio), 0);
    return tio;
  }

  testing::ScratchRoot root_;
  PseudoTerminal pty_;
  SerialPort port_;
};

TEST_F(PtyPortTest, OpensRawAtTheRequestedLineSettings) {
  struct Case {
    int baud;
    int stop_bits;
    speed_t speed;
  };
  for (Case c : {Case{115200, 1, B115200}, Case{9600, 1, B9600}, Case{921600, 2, B921600},
                 Case{4000000, 1, B4000000}}) {
    SCOPED_TRACE(c.baud);
    MakeCooked();
    ASSERT_EQ(port_.Open(kPort, c.baud, 8, c.stop_bits), 1);
    termios tio = LineSettings();
    EXPECT_EQ(::cfgetospeed(&tio), c.speed);
    EXPECT_EQ(::cfgetispeed(&tio), c.speed);
    EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(tio.c_cflag & (PARENB | CRTSCTS), 0u);
    EXPECT_EQ((tio.c_cflag & CSTOPB) != 0, c.stop_bits == 2);
    EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(tio.c_oflag & OPOST, 0u);
    EXPECT_EQ(tio.c_iflag & (ICRNL | IXON | ISTRIP), 0u);
    EXPECT_NE(tio.c_cflag & CREAD, 0u);
    EXPECT_EQ(tio.c_cc[VMIN], 0);
    EXPECT_EQ(tio.c_cc[VTIME], 0);
    EXPECT_EQ(port_.Close(), 1);
  }
}

TEST_F(PtyPortTest, OpenOnAnOpenPortSucceedsAndKeepsTheOldSettings) {
  ASSERT_EQ(port_.Open(kPort, 115200, 8, 1), 1);
  EXPECT_EQ(port_.Open(kPort, 9600, 8, 2), 1);
  EXPECT_EQ(port_.IsOpen(), 1);
  termios tio = LineSettings();
  EXPECT_EQ(::cfgetospeed(&tio), static_cast<speed_t>(B115200));
  EXPECT_EQ(tio.c_cflag & CSTOPB, 0u);
}

TEST_F(PtyPortTest, UnsupportedLineSettingsFailAndLeaveThePortFree) {
  struct Case {
    int baud, data_bits, stop_bits;
  };
  for (Case c : {Case{12345, 8, 1}, Case{0, 8, 1}, Case{-9600, 8, 1}, Case{115200, 9, 1},
                 Case{115200, 4, 1}, Case{115200, 8, 0}, Case{115200, 8, 3}}) {
    SCOPED_TRACE(::testing::Message() << c.baud << " " << c.data_bits << " " << c.stop_bits);
    EXPECT_EQ(port_.Open(kPort, c.baud, c.data_bits, c.stop_bits), 0);
    EXPECT_EQ(port_.IsOpen(), 0);
    EXPECT_EQ(ExclusiveFlag(pty_.held_slave_fd()), 0);
  }
  EXPECT_EQ(port_.Open(kPort, 115200, 8, 1), 1);
}

TEST_F(PtyPortTest, PortNumbersAcrossTheRangeOpenThroughTheirLinks) {
  for (int n : {1, 9, 10, 99, 255}) {
    SCOPED_TRACE(n);
    ASSERT_TRUE(LinkComPort(n, pty_.slave_path()));
    SerialPort port;
    EXPECT_EQ(port.Open(n, 115200, 8, 1), 1);
    EXPECT_EQ(port.PortNumber(), n);
  }
}

TEST_F(PtyPortTest, MissingDanglingForeignOrOutOfRangePortsFail) {
  namespace fs = std::filesystem;
  fs::path dir = ComPortPath(1).parent_path();
  // A dangling link.
  ASSERT_TRUE(LinkComPort(2, root_.path() / "no-such-tty"));
  // A link to something that is not a tty.
  fs::path plain = root_.path() / "plain.txt";
  std::ofstream(plain) << "not a tty";
  ASSERT_TRUE(LinkComPort(3, plain));
  // Names outside 1..255, made by hand since LinkComPort refuses them.
  fs::create_symlink(pty_.slave_path(), dir / "com0");
  fs::create_symlink(pty_.slave_path(), dir / "com256");

  for (int n : {4, 2, 3, 0, 256, -1}) {
    SCOPED_TRACE(n);
    EXPECT_EQ(port_.Open(n, 115200, 8, 1), 0);
    EXPECT_EQ(port_.IsOpen(), 0);
  }
  // The file behind the foreign link was opened and closed again, unharmed.
  std::ifstream in(plain);
  std::string text;
  std::getline(in, text);
  EXPECT_EQ(text, "not a tty");
}

TEST_F(PtyPortTest, ClosedPortReportsNothingAndCloseIsRepeatable) {
  std::vector<uint8_t> buffer(16);
  EXPECT_EQ(port_.BytesQueued(), 0);
  EXPECT_EQ(port_.Read(buffer.data(), 16), 0);
  EXPECT_EQ(port_.Close(), 1);

  ASSERT_EQ(port_.Open(kPort, 115200, 8, 1), 1);
  DeviceSends(Pattern(8, 1), port_);
  EXPECT_EQ(port_.Close(), 1);
  EXPECT_EQ(port_.Close(), 1);
  EXPECT_EQ(port_.IsOpen(), 0);
  EXPECT_EQ(port_.BytesQueued(), 0);
  EXPECT_EQ(port_.Read(buffer.data(), 16), 0);
  EXPECT_EQ(port_.Write(buffer.data(), 16), 0);
  EXPECT_EQ(port_.WriteKeepInput(buffer.data(), 16), 0);
}

TEST_F(PtyPortTest, BytesTravelBothWaysUnchanged) {
  ASSERT_EQ(port_.Open(kPort, 115200, 8, 1), 1);
  // Every byte value, including the ones a cooked tty would act on
  // (CR, LF, ^C, ^S, ^Q, DEL).
  std::vector<uint8_t> all(256);
  std::iota(all.begin(), all.end(), 0);

  EXPECT_EQ(port_.Write(all.data(), static_cast<int>(all.size())), 256);
  EXPECT_EQ(pty_.ReadExactly(256, kPortTimeoutMs), all);

  DeviceSends(all, port_);
  std::vector<uint8_t> got(300);
  ASSERT_EQ(port_.Read(got.data(), 300), 256);
  got.resize(256);
  EXPECT_EQ(got, all);
}

TEST_F(PtyPortTest, ReadTakesNoMoreThanAskedAndNeverWaits) {
  ASSERT_EQ(port_.Open(kPort, 115200, 8, 1), 1);
  std::vector<uint8_t> buffer(64, 0xEE);
  EXPECT_EQ(port_.Read(buffer.data(), 64), 0);  // nothing queued: at once

  std::vector<uint8_t> sent = Pattern(40, 3);
  DeviceSends(sent, port_);
  ASSERT_EQ(port_.Read(buffer.data(), 15), 15);
  EXPECT_EQ(buffer[15], 0xEE);
  EXPECT_EQ(port_.BytesQueued(), 25);
  ASSERT_EQ(port_.Read(buffer.data() + 15, 49), 25);
  buffer.resize(40);
  EXPECT_EQ(buffer, sent);
  EXPECT_EQ(port_.BytesQueued(), 0);
  EXPECT_EQ(port_.Read(buffer.data(), 40), 0);
}

TEST_F(PtyPortTest, WriteDiscardsUnreadInputWriteKeepInputKeepsIt) {
  ASSERT_EQ(port_.Open(kPort, 115200, 8, 1), 1);
  std::vector<uint8_t> reply = Pattern(20, 9);
  std::vector<uint8_t> request = Pattern(6, 100);

  DeviceSends(reply, port_);
  EXPECT_EQ(port_.WriteKeepInput(request.data(), 6), 6);
  EXPECT_EQ(port_.BytesQueued(), 20);
  EXPECT_EQ(pty_.ReadExactly(6, kPortTimeoutMs), request);

  EXPECT_EQ(port_.Write(request.data(), 6), 6);
  EXPECT_EQ(port_.BytesQueued(), 0);
  EXPECT_EQ(pty_.ReadExactly(6, kPortTimeoutMs), request);

  // Input that came after the write is there as usual.
  DeviceSends(reply, port_);
  std::vector<uint8_t> got(20);
  EXPECT_EQ(port_.Read(got.data(), 20), 20);
  EXPECT_EQ(got, reply);
}

// A stream of writes that the device reads only later must arrive whole:
// purging output before each write must not throw away earlier writes the
// device simply has not read yet.
TEST_F(PtyPortTest, PipelinedWritesArriveIntactWhenTheDeviceReadsLate) {
  ASSERT_EQ(port_.Open(kPort, 115200, 8, 1), 1);
  std::vector<uint8_t> expected;
  for (int i = 0; i < 6; ++i) {
    std::vector<uint8_t> block = Pattern(500, static_cast<uint8_t>(i * 31));
    int written =
        (i % 3 == 2) ? port_.Write(block.data(), 500) : port_.WriteKeepInput(block.data(), 500);
    ASSERT_EQ(written, 500) << "block " << i;
    expected.insert(expected.end(), block.begin(), block.end());
  }
  EXPECT_EQ(pty_.ReadExactly(expected.size(), kPortTimeoutMs), expected);
}

TEST_F(PtyPortTest, OpenIsExclusiveUntilClosed) {
  ASSERT_TRUE(LinkComPort(kPort + 1, pty_.slave_path()));  // a second name, same tty
  ASSERT_EQ(port_.Open(kPort, 115200, 8, 1), 1);
  EXPECT_EQ(ExclusiveFlag(pty_.held_slave_fd()), 1);

  SerialPort other;
  EXPECT_EQ(other.Open(kPort, 115200, 8, 1), 0);
  EXPECT_EQ(other.Open(kPort + 1, 115200, 8, 1), 0);
  // The failed attempts did not disturb the holder.
  EXPECT_EQ(ExclusiveFlag(pty_.held_slave_fd()), 1);
  // Whoever may get past the exclusive flag still finds the lock taken.
  if (int fd = ::open(ComPortPath(kPort).c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC); fd >= 0) {
    EXPECT_NE(::flock(fd, LOCK_EX | LOCK_NB), 0);
    ::close(fd);
  }
  EXPECT_EQ(port_.Write(Pattern(3, 0).data(), 3), 3);
  EXPECT_EQ(pty_.ReadExactly(3, kPortTimeoutMs), Pattern(3, 0));

  // Closing clears the exclusive flag (a pty would keep it) and the lock.
  port_.Close();
  EXPECT_EQ(ExclusiveFlag(pty_.held_slave_fd()), 0);
  for (int round = 0; round < 3; ++round) {
    ASSERT_EQ(other.Open(kPort + 1, 115200, 8, 1), 1) << round;
    EXPECT_EQ(port_.Open(kPort, 115200, 8, 1), 0);
    other.Close();
    ASSERT_EQ(port_.Open(kPort, 115200, 8, 1), 1) << round;
    port_.Close();
  }
}

TEST_F(PtyPortTest, DeviceCanClearAnExclusiveFlagLeftBehind) {
  // A host that died while holding the port leaves the flag set on the pty.
  int fd = ::open(pty_.slave_path().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::ioctl(fd, TIOCEXCL), 0);
  ::close(fd);
  EXPECT_EQ(ExclusiveFlag(pty_.held_slave_fd()), 1);
  EXPECT_TRUE(pty_.ClearExclusive());
  EXPECT_EQ(ExclusiveFlag(pty_.held_slave_fd()), 0);
  EXPECT_EQ(port_.Open(kPort, 115200, 8, 1), 1);
}

TEST_F(PtyPortTest, VanishedDeviceFailsInsteadOfHanging) {
  ASSERT_EQ(port_.Open(kPort, 115200, 8, 1), 1);
  DeviceSends(Pattern(4, 0), port_);
  pty_.Close();  // the device is unplugged
  std::vector<uint8_t> block = Pattern(64, 5);
  EXPECT_EQ(port_.Write(block.data(), 64), 0);
  EXPECT_EQ(port_.WriteKeepInput(block.data(), 64), 0);
  std::vector<uint8_t> buffer(64);
  port_.Read(buffer.data(), 64);  // may or may not still see the old bytes
  EXPECT_EQ(port_.Read(buffer.data(), 64), 0);
  EXPECT_EQ(port_.Close(), 1);
}

// A re-enumerated modem hangs up the descriptors on its old tty and comes
// back on another one: the port lets the old descriptor go at once (so that
// its number is free again) and opens where its reopener says.
TEST_F(PtyPortTest, HungUpPortIsClosedAtOnceAndOpensAgainWhereTheDeviceIsNow) {
  constexpr int kNewPort = 13;
  PseudoTerminal next;
  ASSERT_TRUE(next.Open());
  ASSERT_TRUE(next.HoldSlaveOpen());
  int reopened = 0;
  port_.SetReopener([&] {
    ++reopened;
    port_.Close();
    return LinkComPort(kNewPort, next.slave_path()) && port_.Open(kNewPort, 115200, 8, 1) != 0;
  });
  ASSERT_EQ(port_.Open(kPort, 115200, 8, 1), 1);
  pty_.Close();  // the device leaves the bus
  EXPECT_EQ(port_.BytesQueued(), 0);
  EXPECT_TRUE(port_.HungUp());
  EXPECT_FALSE(port_.IsOpen());
  EXPECT_EQ(reopened, 0);  // nothing is opened until there is something to send

  std::vector<uint8_t> block = Pattern(16, 3);
  EXPECT_EQ(port_.Write(block.data(), 16), 16);
  EXPECT_EQ(reopened, 1);
  EXPECT_FALSE(port_.HungUp());
  EXPECT_EQ(port_.PortNumber(), kNewPort);
  EXPECT_EQ(next.ReadExactly(16, kPortTimeoutMs), block);
}

// The fast wait for a reply: it ends when bytes arrive or the device leaves,
// and otherwise at its own bound, with nothing read.
TEST_F(PtyPortTest, WaitForBytesEndsWhenTheDeviceSpeaksOrLeaves) {
  enum class Then { Speaks, Leaves, Nothing };
  for (Then then : {Then::Speaks, Then::Leaves, Then::Nothing}) {
    SCOPED_TRACE(static_cast<int>(then));
    if (then != Then::Speaks) {
      pty_.Close();
      ASSERT_TRUE(pty_.Open());
      ASSERT_TRUE(pty_.HoldSlaveOpen());
      ASSERT_TRUE(LinkComPort(kPort, pty_.slave_path()));
    }
    SerialPort port;
    ASSERT_EQ(port.Open(kPort, 115200, 8, 1), 1);
    RealClock clock;
    const uint32_t bound = then == Then::Nothing ? 50 : 120'000;
    auto waited = std::async(std::launch::async, [&] { return port.WaitForBytes(clock, bound); });
    if (then == Then::Speaks) {
      EXPECT_TRUE(pty_.WriteAll(Pattern(7, 1), kPortTimeoutMs));
    } else if (then == Then::Leaves) {
      pty_.Close();
    }
    const int queued = waited.get();
    EXPECT_EQ(queued > 0, then == Then::Speaks);
    EXPECT_EQ(port.HungUp(), then == Then::Leaves);
  }
}

}  // namespace
}  // namespace quorrel

#include "platform/pty.h"

#include <poll.h>
#include <termios.h>

#include <filesystem>
#include <numeric>
#include <vector>

#include <gtest/gtest.h>

#include "platform/dosdevices.h"
#include "platform/scratch_root.h"
#include "platform/serial_port.h"

namespace quorrel {
namespace {

constexpr int kTimeoutMs = 5000;

// The master's poll events right now.
short MasterEvents(const PseudoTerminal& pty) {
  pollfd p{pty.master_fd(), POLLIN, 0};
  return ::poll(&p, 1, 0) > 0 ? p.revents : 0;
}

TEST(PseudoTerminal, OpensARawPairAndClosesIt) {
  PseudoTerminal pty;
  EXPECT_FALSE(pty.IsOpen());
  EXPECT_FALSE(pty.HoldSlaveOpen());
  ASSERT_TRUE(pty.Open());
  EXPECT_TRUE(std::filesystem::exists(pty.slave_path()));
  ASSERT_TRUE(pty.HoldSlaveOpen());
  ASSERT_TRUE(pty.HoldSlaveOpen());  // already held: same fd
  termios tio{};
  ASSERT_EQ(::tcgetattr(pty.held_slave_fd(), &tio), 0);
  EXPECT_EQ(tio.c_lflag & (ICANON | ECHO), 0u);
  EXPECT_EQ(tio.c_oflag & OPOST, 0u);

  PseudoTerminal moved(std::move(pty));
  EXPECT_FALSE(pty.IsOpen());  // a moved-from terminal is closed
  EXPECT_TRUE(moved.IsOpen());
  EXPECT_GE(moved.held_slave_fd(), 0);
  moved.Close();
  EXPECT_FALSE(moved.IsOpen());
  EXPECT_EQ(moved.held_slave_fd(), -1);
}

// The simulator's situation: a device waits on the master while hosts open
// and close the port. Holding the slave keeps the master from seeing a
// hang-up in between.
TEST(PseudoTerminal, HeldSlaveHidesHostsComingAndGoing) {
  testing::ScratchRoot root;
  PseudoTerminal pty;
  ASSERT_TRUE(pty.Open());
  ASSERT_TRUE(LinkComPort(4, pty.slave_path()));
  SerialPort host;

  // Not held: once a host has been and gone, the master reports a hang-up.
  ASSERT_EQ(host.Open(4, 115200, 8, 1), 1);
  host.Close();
  EXPECT_NE(MasterEvents(pty) & POLLHUP, 0);
  EXPECT_TRUE(pty.ReadSome(16, 0).empty());

  ASSERT_TRUE(pty.HoldSlaveOpen());
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    ASSERT_EQ(host.Open(4, 115200, 8, 1), 1);
    std::vector<uint8_t> hello = {'h', 'i', static_cast<uint8_t>(round)};
    ASSERT_EQ(host.Write(hello.data(), 3), 3);
    EXPECT_EQ(pty.ReadExactly(3, kTimeoutMs), hello);
    host.Close();
    EXPECT_EQ(MasterEvents(pty) & POLLHUP, 0);
    // The device may go on talking while no host listens.
    EXPECT_TRUE(pty.WriteAll(hello, kTimeoutMs));
  }
}

TEST(PseudoTerminal, ReadsAndWritesGiveUpAtTheirTimeOut) {
  PseudoTerminal pty;
  ASSERT_TRUE(pty.Open());
  ASSERT_TRUE(pty.HoldSlaveOpen());
  EXPECT_TRUE(pty.ReadSome(16, 20).empty());
  EXPECT_TRUE(pty.ReadExactly(16, 20).empty());
  // Nobody reads the slave: the tty fills up and the write stops.
  std::vector<uint8_t> big(1 << 20);
  std::iota(big.begin(), big.end(), 0);
  EXPECT_FALSE(pty.WriteAll(big, 50));
}

}  // namespace
}  // namespace quorrel

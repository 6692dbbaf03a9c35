#include "platform/pty.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <utility>

namespace quorrel {

namespace {

using SteadyClock = std::chrono::steady_clock;

int MsLeft(SteadyClock::time_point deadline) {
  auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - SteadyClock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

// Waits for events on fd until the deadline; the revents, 0 on time-out.
short PollUntil(int fd, short events, SteadyClock::time_point deadline) {
  for (;;) {
    pollfd p{fd, events, 0};
    int r = ::poll(&p, 1, MsLeft(deadline));
    if (r > 0) return p.revents;
    if (r == 0 || errno != EINTR) return 0;
  }
}

}  // namespace

PseudoTerminal::~PseudoTerminal() {
  Close();
}

PseudoTerminal::PseudoTerminal(PseudoTerminal&& other) noexcept
    : master_fd_(std::exchange(other.master_fd_, -1)),
      slave_fd_(std::exchange(other.slave_fd_, -1)),
      slave_path_(std::move(other.slave_path_)) {}

PseudoTerminal& PseudoTerminal::operator=(PseudoTerminal&& other) noexcept {
  if (this != &other) {
    Close();
    master_fd_ = std::exchange(other.master_fd_, -1);
    slave_fd_ = std::exchange(other.slave_fd_, -1);
    slave_path_ = std::move(other.slave_path_);
  }
  return *this;
}

bool PseudoTerminal::Open() {
  Close();
  int fd = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return false;
  ::fcntl(fd, F_SETFD, FD_CLOEXEC);
  char name[128];
  termios tio{};
  if (::grantpt(fd) != 0 || ::unlockpt(fd) != 0 || ::ptsname_r(fd, name, sizeof name) != 0 ||
      ::tcgetattr(fd, &tio) != 0) {
    ::close(fd);
    return false;
  }
  // Termios requests on the master act on the slave: the line is raw before
  // any host opens it, so nothing is echoed or translated.
  ::cfmakeraw(&tio);
  tio.c_cc[VMIN] = 0;
  tio.c_cc[VTIME] = 0;
  if (::tcsetattr(fd, TCSANOW, &tio) != 0) {
    ::close(fd);
    return false;
  }
  master_fd_ = fd;
  slave_path_ = name;
  return true;
}

void PseudoTerminal::Close() {
  ReleaseSlave();
  if (master_fd_ >= 0) ::close(master_fd_);
  master_fd_ = -1;
  slave_path_.clear();
}

bool PseudoTerminal::HoldSlaveOpen() {
  if (master_fd_ < 0) return false;
  if (slave_fd_ >= 0) return true;
  int fd = ::open(slave_path_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  slave_fd_ = fd;
  return true;
}

void PseudoTerminal::ReleaseSlave() {
  if (slave_fd_ >= 0) {
    ::ioctl(slave_fd_, TIOCNXCL);
    ::close(slave_fd_);
  }
  slave_fd_ = -1;
}

bool PseudoTerminal::ClearExclusive() {
  return slave_fd_ >= 0 && ::ioctl(slave_fd_, TIOCNXCL) == 0;
}

bool PseudoTerminal::WriteAll(std::span<const uint8_t> bytes, int timeoutMs) {
  if (master_fd_ < 0) return false;
  const auto deadline = SteadyClock::now() + std::chrono::milliseconds(timeoutMs);
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::write(master_fd_, bytes.data() + done, bytes.size() - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return false;
    short ev = PollUntil(master_fd_, POLLOUT, deadline);
    if (!(ev & POLLOUT)) return false;
  }
  return true;
}

std::vector<uint8_t> PseudoTerminal::ReadSome(size_t maxLength, int timeoutMs) {
  std::vector<uint8_t> out;
  if (master_fd_ < 0 || maxLength == 0) return out;
  const auto deadline = SteadyClock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    out.resize(maxLength);
    ssize_t n = ::read(master_fd_, out.data(), maxLength);
    if (n > 0) {
      out.resize(static_cast<size_t>(n));
      return out;
    }
    out.clear();
    if (n < 0 && errno == EINTR) continue;
    // EIO: no slave end is open (see HoldSlaveOpen).
    if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) return out;
    short ev = PollUntil(master_fd_, POLLIN, deadline);
    if (ev == 0) return out;
    if (!(ev & POLLIN)) return out;  // hang-up without data
  }
}

std::vector<uint8_t> PseudoTerminal::ReadExactly(size_t count, int timeoutMs) {
  std::vector<uint8_t> out;
  const auto deadline = SteadyClock::now() + std::chrono::milliseconds(timeoutMs);
  while (out.size() < count) {
    int left = MsLeft(deadline);
    if (left == 0) break;
    std::vector<uint8_t> piece = ReadSome(count - out.size(), left);
    if (piece.empty()) break;
    out.insert(out.end(), piece.begin(), piece.end());
  }
  return out;
}

}  // namespace quorrel

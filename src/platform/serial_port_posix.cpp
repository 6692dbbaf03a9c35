// POSIX ttys attached under <root>/dosdevices.
//
// A port is opened exclusively (TIOCEXCL plus an advisory flock, so even a
// process that may ignore TIOCEXCL is kept out), raw, non-blocking. Writes
// return only once their bytes have left the tty's output queue, which is what
// lets an output purge be a no-op: there is never an unfinished write to drop.
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <string>
#include <system_error>

#include "platform/dosdevices.h"
#include "platform/port_access.h"
#include "platform/serial_port.h"

namespace quorrel {

namespace {

constexpr int kWriteTimeoutMs = 10000;

struct BaudRate {
  int rate;
  speed_t speed;
};

// The tty a port's link leads to, as the user knows it (/dev/ttyUSB0); the
// link itself when it cannot be read.
std::string DeviceName(const std::string& link) {
  std::error_code ec;
  std::filesystem::path target = std::filesystem::read_symlink(link, ec);
  if (ec) return link;
  if (target.is_relative()) target = std::filesystem::path(link).parent_path() / target;
  return target.lexically_normal().string();
}

// The rates a port can be opened at; any other rate fails the open.
constexpr BaudRate kBaudRates[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},
    {150, B150},         {200, B200},         {300, B300},         {600, B600},
    {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200},   {230400, B230400},
#ifdef B460800
    {460800, B460800},
#endif
#ifdef B500000
    {500000, B500000},   {576000, B576000},   {921600, B921600},   {1000000, B1000000},
    {1152000, B1152000}, {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000},
    {3000000, B3000000}, {3500000, B3500000}, {4000000, B4000000},
#endif
};

bool SpeedFor(int rate, speed_t* speed) {
  for (const BaudRate& b : kBaudRates) {
    if (b.rate == rate) {
      *speed = b.speed;
      return true;
    }
  }
  return false;
}

bool CharSizeFor(int dataBits, tcflag_t* size) {
  switch (dataBits) {
    case 5:
      *size = CS5;
      return true;
    case 6:
      *size = CS6;
      return true;
    case 7:
      *size = CS7;
      return true;
    case 8:
      *size = CS8;
      return true;
    default:
      return false;
  }
}

using SteadyClock = std::chrono::steady_clock;

int MsLeft(SteadyClock::time_point deadline) {
  auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - SteadyClock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

class TtyDevice : public SerialDevice {
 public:
  explicit TtyDevice(int fd) : fd_(fd) {}

  ~TtyDevice() override {
    ::tcflush(fd_, TCIFLUSH);
    // A pseudo-terminal keeps the exclusive flag after its last close; left
    // set, nobody without root rights could open the port again.
    ::ioctl(fd_, TIOCNXCL);
    ::flock(fd_, LOCK_UN);
    ::close(fd_);
  }

  TtyDevice(const TtyDevice&) = delete;
  TtyDevice& operator=(const TtyDevice&) = delete;

  void Purge(bool input, bool /*output*/) override {
    if (input) ::tcflush(fd_, TCIFLUSH);
    // Output: Write returns only after its bytes left the output queue, so
    // nothing unfinished is ever waiting there. tcflush(TCOFLUSH) must not be
    // used: on a pseudo-terminal it throws away bytes the far end simply has
    // not read yet, bytes a real device would already have received.
  }

  int Write(const uint8_t* data, int length) override {
    if (length <= 0 || data == nullptr || hung_up_) return 0;
    const auto deadline = SteadyClock::now() + std::chrono::milliseconds(kWriteTimeoutMs);
    int done = 0;
    while (done < length) {
      ssize_t n = ::write(fd_, data + done, static_cast<size_t>(length - done));
      if (n > 0) {
        done += static_cast<int>(n);
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
        NoteError(errno);
        return 0;
      }
      if (!WaitWritable(deadline)) return 0;
    }
    return DrainOutput(deadline) ? length : 0;
  }

  int BytesQueued() override {
    if (hung_up_) return 0;
    int queued = 0;
    if (::ioctl(fd_, FIONREAD, &queued) != 0) {
      NoteError(errno);
      return 0;
    }
    if (queued > 0) return queued;
    // Nothing waiting: a tty whose device went away says so only to poll.
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) hung_up_ = true;
    return 0;
  }

  int Read(uint8_t* buffer, int maxLength) override {
    if (buffer == nullptr || maxLength <= 0) return 0;
    int n = BytesQueued();
    if (n <= 0) return 0;
    if (n > maxLength) n = maxLength;
    for (;;) {
      ssize_t got = ::read(fd_, buffer, static_cast<size_t>(n));
      if (got > 0) return static_cast<int>(got);
      // Bytes were queued: end of file means the line was hung up.
      if (got == 0) {
        hung_up_ = true;
        return 0;
      }
      if (errno != EINTR) {
        NoteError(errno);
        return 0;
      }
    }
  }

  bool HungUp() override { return hung_up_; }

  bool WaitReadable(uint32_t realMs) override {
    if (hung_up_) return false;
    pollfd p{fd_, POLLIN, 0};
    const int r = ::poll(&p, 1, static_cast<int>(std::min<uint32_t>(realMs, 60'000)));
    if (r > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) hung_up_ = true;
    return r >= 0 || errno == EINTR;
  }

 private:
  // The errors of a tty whose device has gone: the descriptor is hung up.
  void NoteError(int error) {
    if (error == EIO || error == ENXIO || error == ENODEV || error == EBADF) hung_up_ = true;
  }

  // Waits until the tty takes more bytes; false at the deadline or when the
  // line is gone.
  bool WaitWritable(SteadyClock::time_point deadline) {
    for (;;) {
      int left = MsLeft(deadline);
      if (left == 0) return false;
      pollfd p{fd_, POLLOUT, 0};
      int r = ::poll(&p, 1, left);
      if (r < 0 && errno == EINTR) continue;
      if (r <= 0) return false;
      if (p.revents & (POLLERR | POLLHUP | POLLNVAL)) {
        hung_up_ = true;
        return false;
      }
      if (p.revents & POLLOUT) return true;
    }
  }

  // Waits until the output queue is empty. The kernel offers no event for
  // that, so the count is sampled, waiting a little longer each time.
  bool DrainOutput(SteadyClock::time_point deadline) {
    int pause_ms = 1;
    for (;;) {
      int pending = 0;
      if (::ioctl(fd_, TIOCOUTQ, &pending) != 0) {
        NoteError(errno);
        return false;
      }
      if (pending <= 0) return true;
      int left = MsLeft(deadline);
      if (left == 0) return false;
      ::poll(nullptr, 0, pause_ms < left ? pause_ms : left);
      if (pause_ms < 16) pause_ms *= 2;
    }
  }

  int fd_;
  bool hung_up_ = false;
};

// Closes fd unless released; Open's steps undo themselves through it.
class FdGuard {
 public:
  explicit FdGuard(int fd) : fd_(fd) {}
  ~FdGuard() {
    if (fd_ >= 0) {
      if (exclusive_) ::ioctl(fd_, TIOCNXCL);
      if (locked_) ::flock(fd_, LOCK_UN);
      ::close(fd_);
    }
  }
  FdGuard(const FdGuard&) = delete;
  FdGuard& operator=(const FdGuard&) = delete;
  void Locked() { locked_ = true; }
  void Exclusive() { exclusive_ = true; }
  int Release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_;
  bool locked_ = false;
  bool exclusive_ = false;
};

// Opens the tty at path exclusively, raw, at the given line settings; the
// errno of the step that failed goes to *error (EBUSY when another holds it).
std::unique_ptr<SerialDevice> OpenTty(const std::string& path, int baudRate, int dataBits,
                                      int stopBits, int* error) {
  *error = EINVAL;
  speed_t speed;
  tcflag_t charSize;
  if (!SpeedFor(baudRate, &speed) || !CharSizeFor(dataBits, &charSize)) return nullptr;
  if (stopBits != 1 && stopBits != 2) return nullptr;

  int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    *error = errno;
    return nullptr;
  }
  FdGuard guard(fd);
  if (!::isatty(fd)) {
    *error = ENOTTY;
    return nullptr;
  }

  // The lock first: a second opener that gets past TIOCEXCL (root may) must
  // fail here without touching the exclusive flag of the port's holder.
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    *error = errno == EWOULDBLOCK ? EBUSY : errno;
    return nullptr;
  }
  guard.Locked();
  if (::ioctl(fd, TIOCEXCL) != 0) {
    *error = errno;
    return nullptr;
  }
  guard.Exclusive();

  termios tio{};
  *error = EIO;
  if (::tcgetattr(fd, &tio) != 0) return nullptr;
  ::cfmakeraw(&tio);
  tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
  tio.c_cflag |= charSize | CLOCAL | CREAD;
  if (stopBits == 2) tio.c_cflag |= CSTOPB;
  tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
  tio.c_cc[VMIN] = 0;
  tio.c_cc[VTIME] = 0;
  if (::cfsetispeed(&tio, speed) != 0 || ::cfsetospeed(&tio, speed) != 0) return nullptr;
  if (::tcsetattr(fd, TCSANOW, &tio) != 0) return nullptr;

  *error = 0;
  return std::make_unique<TtyDevice>(guard.Release());
}

class TtyDevices : public SerialDevices {
 public:
  std::unique_ptr<SerialDevice> Open(int port, int baudRate, int dataBits, int stopBits) override {
    if (port < kFirstComPort || port > kLastComPort) return nullptr;
    const std::string path = ComPortPath(port).string();
    int error = 0;
    std::unique_ptr<SerialDevice> device = OpenTty(path, baudRate, dataBits, stopBits, &error);
    // Missing, dangling, or held under TIOCEXCL: the port is not there for
    // us. Not allowed: the user must hear of it, or the modem just seems
    // silent.
    if (!device && (error == EACCES || error == EPERM))
      NotePortAccessDenied(port, DeviceName(path));
    return device;
  }
};

}  // namespace

SerialDevices& SystemSerialDevices() {
  static TtyDevices devices;
  return devices;
}

std::unique_ptr<SerialDevice> OpenSerialPath(const std::filesystem::path& path, int baudRate,
                                             int* error) {
  int ignored = 0;
  return OpenTty(path.string(), baudRate, 8, 1, error != nullptr ? error : &ignored);
}

}  // namespace quorrel

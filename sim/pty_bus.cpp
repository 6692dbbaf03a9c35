#include "sim/pty_bus.h"

#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/dosdevices.h"
#include "sim/usb_registry.h"
#include "sim/wine_registry.h"
#include "util/text.h"

namespace quorrel::sim {

namespace {

constexpr size_t kReadChunk = 4096;
// How often a port is checked for an exclusive flag left by a host that died.
constexpr auto kExclusiveCheck = std::chrono::seconds(1);

#ifdef TIOCGEXCL
bool ExclusiveSet(int fd) {
  int set = 0;
  return ::ioctl(fd, TIOCGEXCL, &set) == 0 && set != 0;
}
#else
bool ExclusiveSet(int /*fd*/) {
  return true;
}
#endif

}  // namespace

PtyBus::PtyBus(double timeScale, std::function<void(const std::string&)> announce)
    : scale_(timeScale > 0 ? timeScale : 1.0),
      announce_(std::move(announce)),
      origin_(SteadyClock::now()) {}

PtyBus::~PtyBus() {
  if (attached_) Detach();
}

uint64_t PtyBus::NowMs() {
  auto us =
      std::chrono::duration_cast<std::chrono::microseconds>(SteadyClock::now() - origin_).count();
  return static_cast<uint64_t>(static_cast<double>(us) / 1000.0 / scale_);
}

PtyBus::SteadyClock::time_point PtyBus::Due(uint64_t deviceMs) const {
  return SteadyClock::now() + std::chrono::microseconds(static_cast<int64_t>(
                                  static_cast<double>(deviceMs) * 1000.0 * scale_));
}

PtyBus::Port* PtyBus::PortFor(PortRole role) {
  for (auto& port : ports_) {
    if (port->role == role) return port.get();
  }
  return nullptr;
}

void PtyBus::Send(PortRole role, std::vector<uint8_t> bytes, const ReplyShape& shape) {
  Port* port = PortFor(role);
  if (port == nullptr || bytes.empty()) return;
  uint64_t delay = shape.delayMs;
  size_t at = 0;
  for (size_t n : PieceLengths(shape, bytes.size())) {
    Outgoing o;
    o.due = Due(delay);
    // Later bytes never overtake earlier ones.
    if (!port->out.empty() && port->out.back().due > o.due) o.due = port->out.back().due;
    o.bytes.assign(bytes.begin() + static_cast<long>(at),
                   bytes.begin() + static_cast<long>(at + n));
    port->out.push_back(std::move(o));
    at += n;
    delay += shape.intervalMs;
  }
}

ModemTransport::TimerId PtyBus::After(uint64_t delayMs, std::function<void()> fn) {
  TimerId id = next_timer_++;
  timers_.emplace(std::make_pair(Due(delayMs), id), std::move(fn));
  return id;
}

void PtyBus::CancelTimer(TimerId id) {
  for (auto it = timers_.begin(); it != timers_.end(); ++it) {
    if (it->first.second == id) {
      timers_.erase(it);
      return;
    }
  }
}

void PtyBus::UseUsb(std::unique_ptr<UsbSysfs> usb) {
  usb_ = std::move(usb);
}

std::string PtyBus::NextUsbPath(ModemMode mode) const {
  const UsbSettings& settings = modem_->config().usb;
  const bool download = mode == ModemMode::Downloader || mode == ModemMode::Programmer;
  const bool companion = settings.companion == UsbCompanion::Every      ? usb_attachments_ % 2 == 1
                         : settings.companion == UsbCompanion::Download ? download
                                                                        : false;
  return companion ? UsbCompanionPath(settings.path) : settings.path;
}

Enumeration PtyBus::AttachUsb(const Enumeration& proposed) {
  Enumeration e = proposed;
  const ModemConfig& config = modem_->config();
  const UsbSettings& settings = config.usb;
  const bool download = e.mode == ModemMode::Downloader || e.mode == ModemMode::Programmer;
  UsbDeviceLayout layout;
  layout.path = NextUsbPath(e.mode);
  ++usb_attachments_;
  bool ok = true;
  auto open = [&](PortRole role, int number) {
    auto port = std::make_unique<Port>();
    port->role = role;
    port->number = number;
    if (!port->pty.Open() || !port->pty.HoldSlaveOpen()) {
      std::fprintf(stderr, "quorrel-sim: cannot open a pseudo-terminal: %s\n",
                   std::strerror(errno));
      ok = false;
      return std::filesystem::path();
    }
    std::filesystem::path terminal = port->pty.slave_path();
    ports_.push_back(std::move(port));
    return terminal;
  };
  if (download) {
    // The chipset's download mode: one interface on qcserial, no serial.
    layout.vendorId = settings.downloadVendorId;
    layout.productId = settings.downloadProductId;
    if (e.diagPort > 0)
      layout.interfaces.push_back(
          {0, 0xFF, "qcserial", "qcserial", open(PortRole::Diag, e.diagPort)});
  } else {
    layout.vendorId = config.usbVendorId;
    layout.productId = config.usbProductId;
    layout.serial = UsbSerial(config);
    layout.manufacturer = config.vendor;
    layout.product = "USB modem";
    for (int n = 0; n < settings.interfaceCount; ++n) {
      UsbInterfaceLayout i{n, 0xFF, "", "", {}};
      // The diagnostic and AT ports on option; the rest reserved for the
      // network function, without a driver.
      const bool diag = n == settings.diagInterface && e.diagPort > 0;
      const bool data = n == settings.atInterface && e.dataPort > 0;
      if (diag || data) {
        i.driver = "option";
        i.serialDriver = "option1";
        i.terminal = open(diag ? PortRole::Diag : PortRole::Data, diag ? e.diagPort : e.dataPort);
      }
      layout.interfaces.push_back(std::move(i));
    }
  }
  UsbAttachment got;
  std::string why;
  if (ok && !usb_->Attach(layout, &got, &why)) {
    std::fprintf(stderr, "quorrel-sim: cannot attach the USB device: %s\n", why.c_str());
    ok = false;
  }
  attached_ = e;
  usb_path_ = layout.path;
  ++generation_;
  if (!ok) {
    attach_failed_ = true;
    announce_("attach failed");
    return e;
  }
  std::string diagTty = "none", dataTty = "none";
  for (size_t k = 0; k < layout.interfaces.size(); ++k) {
    if (got.ttys[k].empty()) continue;
    const bool diag = download || layout.interfaces[k].number == settings.diagInterface;
    (diag ? diagTty : dataTty) = got.ttys[k];
  }
  announce_(
      Format("attached usb=%s diag=%s data=%s id=%04x:%04x mode=%s devnum=%d speed=%d serial=%s",
             layout.path.c_str(), diagTty.c_str(), dataTty.c_str(), layout.vendorId,
             layout.productId, std::string(ModeName(e.mode)).c_str(), got.devnum, got.speed,
             layout.serial.empty() ? "none" : layout.serial.c_str()));
  if (download) announce_(Format("interfaces usb=%s diag only", layout.path.c_str()));
  return e;
}

bool PtyBus::HandOver(uint64_t afterMs) {
  if (replacement_ == nullptr) return false;
  After(afterMs, [this] {
    VirtualModem* next = replacement_;
    replacement_ = nullptr;
    modem_ = next;
    const std::string serial = UsbSerial(next->config());
    announce_(
        (usb_ ? "replaced usb=" + NextUsbPath(ModemMode::Normal) + " " : std::string("replaced ")) +
        Format("esn=%08X serial=%s", next->config().esn, serial.empty() ? "none" : serial.c_str()));
    next->PowerOn();
  });
  return true;
}

Enumeration PtyBus::Attach(const Enumeration& proposed) {
  if (attached_) Detach();
  if (usb_) return AttachUsb(proposed);
  Enumeration e = proposed;
  // Skip numbers whose link leads to a live tty (another device holds them).
  auto freePort = [](int n, int other) {
    for (int tries = 0; tries < kLastComPort; ++tries) {
      if (n != other && !ComPortExists(n)) return n;
      n = n % kLastComPort + 1;
    }
    return 0;
  };
  if (e.diagPort > 0) e.diagPort = freePort(e.diagPort, 0);
  if (e.dataPort > 0) e.dataPort = freePort(e.dataPort, e.diagPort);

  bool ok = true;
  auto open = [&](PortRole role, int number) {
    auto port = std::make_unique<Port>();
    port->role = role;
    port->number = number;
    if (number == 0 || !port->pty.Open() || !port->pty.HoldSlaveOpen() ||
        !LinkComPort(number, port->pty.slave_path())) {
      std::fprintf(stderr, "quorrel-sim: cannot attach COM%d: %s\n", number, std::strerror(errno));
      ok = false;
      return;
    }
    ports_.push_back(std::move(port));
  };
  if (e.diagPort > 0) open(PortRole::Diag, e.diagPort);
  if (e.dataPort > 0) open(PortRole::Data, e.dataPort);
  if (ok &&
      !(wine_prefix_.empty() ? RegisterPorts(e) : WineImport(wine_prefix_, WineRegisterText(e)))) {
    std::fprintf(stderr, "quorrel-sim: cannot write the registry keys\n");
    ok = false;
  }
  attached_ = e;
  seen_.push_back(e);
  ++generation_;
  if (!ok) {
    attach_failed_ = true;
    announce_("attach failed");
    return e;
  }
  auto name = [](int port) { return port > 0 ? Format("COM%d", port) : std::string("none"); };
  announce_("attached diag=" + name(e.diagPort) + " data=" + name(e.dataPort));
  return e;
}

void PtyBus::Detach() {
  if (!attached_) return;
  if (usb_) {
    // As usb-serial does at a disconnect: every descriptor on the ttys is
    // hung up first (closing the master hangs up the slave: reads end,
    // writes fail with EIO, poll says POLLHUP), then the device leaves the
    // tree, nodes first.
    for (auto& port : ports_) port->pty.Close();
    ports_.clear();
    usb_->Detach();
    attached_.reset();
    ++generation_;
    announce_("detached usb=" + usb_path_);
    return;
  }
  if (wine_prefix_.empty()) UnregisterPorts(*attached_);
  for (auto& port : ports_) {
    port->pty.ClearExclusive();
    UnlinkComPort(port->number);
    port->pty.Close();
  }
  ports_.clear();
  // Through Wine the keys take a while to go; the ports go first, so that
  // no host finds a port of the old attachment meanwhile and talks to a
  // modem that has left.
  if (!wine_prefix_.empty()) WineImport(wine_prefix_, WineUnregisterText(*attached_));
  attached_.reset();
  ++generation_;
  announce_("detached");
}

void PtyBus::ForgetDevices() {
  for (const Enumeration& e : seen_) {
    if (wine_prefix_.empty()) {
      ForgetDevice(e);
    } else {
      WineImport(wine_prefix_, WineForgetText(e));
    }
  }
  seen_.clear();
}

void PtyBus::FlushDue(Port& port, SteadyClock::time_point now) {
  const int fd = port.pty.master_fd();
  while (!port.out.empty() && port.out.front().due <= now) {
    Outgoing& o = port.out.front();
    ssize_t n = ::write(fd, o.bytes.data() + port.sent, o.bytes.size() - port.sent);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) {
        port.blocked = true;
        return;
      }
      port.out.clear();  // the line is gone; nothing can reach the host
      port.sent = 0;
      return;
    }
    port.sent += static_cast<size_t>(n);
    if (port.sent < o.bytes.size()) {
      port.blocked = true;
      return;
    }
    port.out.pop_front();
    port.sent = 0;
  }
  port.blocked = false;
}

void PtyBus::ClearStaleExclusive() {
  // A host that died with the port open leaves the exclusive flag behind.
  // Only a flag with no host's lock beside it is stale.
  for (auto& port : ports_) {
    int fd = port->pty.held_slave_fd();
    if (fd < 0 || !ExclusiveSet(fd)) continue;
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
      port->pty.ClearExclusive();
      ::flock(fd, LOCK_UN);
    }
  }
}

bool PtyBus::Run(int stopFd) {
  auto nextExclusiveCheck = SteadyClock::now() + kExclusiveCheck;
  for (;;) {
    auto now = SteadyClock::now();
    // Timers that are due, one at a time: each may schedule or cancel others.
    while (!timers_.empty() && timers_.begin()->first.first <= now) {
      auto fn = std::move(timers_.begin()->second);
      timers_.erase(timers_.begin());
      fn();
      now = SteadyClock::now();
    }
    for (auto& port : ports_) FlushDue(*port, now);
    if (now >= nextExclusiveCheck) {
      ClearStaleExclusive();
      nextExclusiveCheck = now + kExclusiveCheck;
    }

    auto wake = nextExclusiveCheck;
    if (!timers_.empty()) wake = std::min(wake, timers_.begin()->first.first);
    std::vector<pollfd> fds;
    fds.push_back({stopFd, POLLIN, 0});
    for (auto& port : ports_) {
      short events = POLLIN;
      if (!port->out.empty()) {
        if (port->blocked) {
          events |= POLLOUT;
        } else {
          wake = std::min(wake, port->out.front().due);
        }
      }
      fds.push_back({port->pty.master_fd(), events, 0});
    }
    auto waitMs =
        std::chrono::duration_cast<std::chrono::milliseconds>(wake - SteadyClock::now()).count();
    int timeout = static_cast<int>(std::clamp<int64_t>(waitMs + 1, 0, 60000));
    int r = ::poll(fds.data(), fds.size(), timeout);
    if (r < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (fds[0].revents != 0) return true;

    const uint64_t generation = generation_;
    for (size_t i = 0; i < ports_.size() && generation == generation_; ++i) {
      Port& port = *ports_[i];
      const short revents = fds[i + 1].revents;
      if (revents & POLLOUT) port.blocked = false;
      if (!(revents & POLLIN)) continue;
      uint8_t buffer[kReadChunk];
      ssize_t n = ::read(port.pty.master_fd(), buffer, sizeof buffer);
      if (n <= 0) continue;
      const PortRole role = port.role;
      // The modem may take the ports off the bus while it handles the bytes.
      if (modem_ != nullptr)
        modem_->Receive(role, std::span<const uint8_t>(buffer, static_cast<size_t>(n)));
    }
  }
}

}  // namespace quorrel::sim

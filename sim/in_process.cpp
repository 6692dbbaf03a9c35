#include "sim/in_process.h"

#include "sim/usb_registry.h"

namespace quorrel::sim {

InProcessModem::InProcessModem(VirtualClock& clock, MemoryPorts& ports, ModemConfig config)
    : InProcessModem(clock, ports, std::move(config), Options{}) {}

InProcessModem::InProcessModem(VirtualClock& clock, MemoryPorts& ports, ModemConfig config,
                               Options options)
    : clock_(clock), ports_(ports), options_(options) {
  ModemTransport& transport = *this;
  if (config.swap) swapped_ = std::make_unique<VirtualModem>(SwappedInConfig(config), transport);
  modem_ = std::make_unique<VirtualModem>(std::move(config), transport);
  current_ = modem_.get();
}

InProcessModem::~InProcessModem() {
  Unplug();
  modem_.reset();
  swapped_.reset();
}

void InProcessModem::PlugIn() {
  modem_->PowerOn();
}

void InProcessModem::Unplug() {
  modem_->Shutdown();
  if (swapped_) swapped_->Shutdown();
  {
    std::lock_guard lock(mutex_);
    if (hand_over_) clock_.Cancel(*hand_over_);
    hand_over_.reset();
  }
  if (options_.registry) {
    std::lock_guard lock(mutex_);
    for (const Enumeration& e : seen_) ForgetDevice(e);
    seen_.clear();
  }
}

int InProcessModem::DiagPort() {
  std::lock_guard lock(mutex_);
  return attached_ ? attached_->diagPort : 0;
}

int InProcessModem::DataPort() {
  std::lock_guard lock(mutex_);
  return attached_ ? attached_->dataPort : 0;
}

std::shared_ptr<MemoryWire> InProcessModem::DiagWire() {
  std::lock_guard lock(mutex_);
  return diag_wire_;
}

std::shared_ptr<MemoryWire> InProcessModem::DataWire() {
  std::lock_guard lock(mutex_);
  return data_wire_;
}

uint64_t InProcessModem::NowMs() {
  return clock_.NowMs();
}

void InProcessModem::Send(PortRole role, std::vector<uint8_t> bytes, const ReplyShape& shape) {
  std::shared_ptr<MemoryWire> wire;
  {
    std::lock_guard lock(mutex_);
    wire = role == PortRole::Diag ? diag_wire_ : data_wire_;
  }
  if (!wire) return;
  uint64_t delay = shape.delayMs;
  size_t at = 0;
  for (size_t n : PieceLengths(shape, bytes.size())) {
    wire->SendToHost(std::span<const uint8_t>(bytes.data() + at, n), delay);
    at += n;
    delay += shape.intervalMs;
  }
}

ModemTransport::TimerId InProcessModem::After(uint64_t delayMs, std::function<void()> fn) {
  return clock_.ScheduleIn(delayMs, std::move(fn));
}

void InProcessModem::CancelTimer(TimerId id) {
  clock_.Cancel(id);
}

Enumeration InProcessModem::Attach(const Enumeration& proposed) {
  Enumeration e = proposed;
  // Port numbers another device holds are skipped, as the bus driver would.
  auto freePort = [&](int n, int other) {
    while (ports_.Wire(n) != nullptr || n == other) n = n % 255 + 1;
    return n;
  };
  if (e.diagPort > 0) e.diagPort = freePort(e.diagPort, 0);
  if (e.dataPort > 0) e.dataPort = freePort(e.dataPort, e.diagPort);

  auto makeWire = [&](PortRole role) {
    auto wire = std::make_shared<MemoryWire>(clock_);
    VirtualModem* modem = current_.load();
    wire->SetReceiver(
        [modem, role](std::span<const uint8_t> bytes) { modem->Receive(role, bytes); });
    return wire;
  };
  std::shared_ptr<MemoryWire> diag = e.diagPort > 0 ? makeWire(PortRole::Diag) : nullptr;
  std::shared_ptr<MemoryWire> data = e.dataPort > 0 ? makeWire(PortRole::Data) : nullptr;
  {
    std::lock_guard lock(mutex_);
    diag_wire_ = diag;
    data_wire_ = data;
    attached_ = e;
    seen_.push_back(e);
  }
  if (diag) ports_.Attach(e.diagPort, diag);
  if (data) ports_.Attach(e.dataPort, data);
  if (options_.registry) RegisterPorts(e);
  return e;
}

bool InProcessModem::HandOver(uint64_t afterMs) {
  if (!swapped_ || current_.load() == swapped_.get()) return false;
  std::lock_guard lock(mutex_);
  hand_over_ = clock_.ScheduleIn(afterMs, [this] {
    {
      std::lock_guard inner(mutex_);
      hand_over_.reset();
    }
    current_ = swapped_.get();
    swapped_->PowerOn();
  });
  return true;
}

void InProcessModem::Detach() {
  std::optional<Enumeration> e;
  std::shared_ptr<MemoryWire> diag, data;
  {
    std::lock_guard lock(mutex_);
    e = attached_;
    attached_.reset();
    diag = std::move(diag_wire_);
    data = std::move(data_wire_);
  }
  if (!e) return;
  if (options_.registry) UnregisterPorts(*e);
  for (auto& wire : {diag, data}) {
    if (wire) wire->SetReceiver(nullptr);
  }
  if (e->diagPort > 0) ports_.Detach(e->diagPort);
  if (e->dataPort > 0) ports_.Detach(e->dataPort);
}

}  // namespace quorrel::sim

#include "platform/serial_port.h"

namespace quorrel {

SerialPort::SerialPort(SerialDevices& devices) : devices_(&devices) {}

SerialPort::~SerialPort() {
  Close();
}

int SerialPort::Open(int portNumber, int baudRate, int dataBits, int stopBits) {
  if (device_) return 1;
  device_ = devices_->Open(portNumber, baudRate, dataBits, stopBits);
  if (!device_) return 0;
  hung_up_ = false;
  port_number_ = portNumber;
  device_->Purge(true, true);
  return 1;
}

int SerialPort::Close() {
  if (device_) {
    device_->Purge(true, true);
    device_.reset();
  }
  return 1;
}

void SerialPort::CloseIfHungUp() {
  if (!device_ || !device_->HungUp()) return;
  device_->Note("hung up: the device went away; the port is closed");
  device_.reset();
  hung_up_ = true;
}

void SerialPort::ReopenIfHungUp() {
  if (device_ || !hung_up_ || !reopener_ || reopening_) return;
  reopening_ = true;
  struct Done {
    bool& flag;
    ~Done() { flag = false; }
  } done{reopening_};
  (void)reopener_();
}

int SerialPort::Write(const uint8_t* data, int length) {
  ReopenIfHungUp();
  if (!device_ || length < 0) return 0;
  device_->Purge(true, true);
  const int written = device_->Write(data, length);
  CloseIfHungUp();
  return written;
}

int SerialPort::WriteKeepInput(const uint8_t* data, int length) {
  ReopenIfHungUp();
  if (!device_ || length < 0) return 0;
  device_->Purge(false, true);
  const int written = device_->Write(data, length);
  CloseIfHungUp();
  return written;
}

int SerialPort::BytesQueued() {
  if (!device_) return 0;
  const int queued = device_->BytesQueued();
  if (queued <= 0) CloseIfHungUp();
  return device_ ? queued : 0;
}

int SerialPort::Read(uint8_t* buffer, int maxLength) {
  if (!device_ || maxLength <= 0) return 0;
  int queued = device_->BytesQueued();
  if (queued <= 0) return 0;
  const int got = device_->Read(buffer, maxLength < queued ? maxLength : queued);
  if (got > 0) bytes_read_ += static_cast<uint64_t>(got);
  if (got <= 0) CloseIfHungUp();
  return got;
}

int SerialPort::WaitForBytes(Clock& clock, uint32_t ms) {
  const uint64_t start = clock.NowMs();
  bool wokeEmpty = false;
  for (;;) {
    const int queued = BytesQueued();
    if (queued > 0 || !device_) return queued;
    const uint64_t spent = clock.NowMs() - start;
    if (spent >= ms) return 0;
    SuspensionPoint();
    const uint32_t real = clock.RealMs(static_cast<uint32_t>(ms - spent));
    // A device that wakes without bytes twice running is not trusted to
    // block: the clock paces the next look.
    if (real == 0 || wokeEmpty || !device_->WaitReadable(real)) {
      clock.Sleep(1);
      wokeEmpty = false;
    } else {
      wokeEmpty = true;
    }
  }
}

void SerialPort::Note(std::string_view text) {
  if (device_) device_->Note(text);
}

void SerialPort::SetDevices(SerialDevices& devices) {
  Close();
  devices_ = &devices;
}

}  // namespace quorrel

#include "platform/serial_port.h"

namespace quorrel {

SerialPort::SerialPort(SerialDevices& devices) : devices_(&devices) {}

SerialPort::~SerialPort() { Close(); }

int SerialPort::Open(int portNumber, int baudRate, int dataBits, int stopBits) {
  if (device_) return 1;
  device_ = devices_->Open(portNumber, baudRate, dataBits, stopBits);
  if (!device_) return 0;
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

int SerialPort::Write(const uint8_t* data, int length) {
  if (!device_ || length < 0) return 0;
  device_->Purge(true, true);
  return device_->Write(data, length);
}

int SerialPort::WriteKeepInput(const uint8_t* data, int length) {
  if (!device_ || length < 0) return 0;
  device_->Purge(false, true);
  return device_->Write(data, length);
}

int SerialPort::BytesQueued() { return device_ ? device_->BytesQueued() : 0; }

int SerialPort::Read(uint8_t* buffer, int maxLength) {
  if (!device_ || maxLength <= 0) return 0;
  int queued = device_->BytesQueued();
  if (queued <= 0) return 0;
  const int got = device_->Read(buffer, maxLength < queued ? maxLength : queued);
  if (got > 0) bytes_read_ += static_cast<uint64_t>(got);
  return got;
}

void SerialPort::Note(std::string_view text) {
  if (device_) device_->Note(text);
}

void SerialPort::SetDevices(SerialDevices& devices) {
  Close();
  devices_ = &devices;
}

}  // namespace quorrel

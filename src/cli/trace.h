// A record of the bytes on the wire: every block written to a port and every
// block read from one, with the time and the direction, in hex.
//
//   12.345  COM5  >  7E 0C 14 3A 7E
//   12.352  COM5  <  0C 14 3A ... 7E
#pragma once

#include <chrono>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>

#include "platform/serial_port.h"

namespace quorrel::cli {

class TracingSerialDevices : public SerialDevices {
 public:
  // Writes to file (owned by the caller, kept open while ports are used).
  TracingSerialDevices(SerialDevices& inner, std::FILE* file);

  std::unique_ptr<SerialDevice> Open(int port, int baudRate, int dataBits, int stopBits) override;

  // One line of the record.
  void Record(int port, char direction, const uint8_t* data, int length);
  void Note(int port, const std::string& text);

 private:
  SerialDevices& inner_;
  std::FILE* file_;
  std::mutex mutex_;
  const std::chrono::steady_clock::time_point origin_;
};

}  // namespace quorrel::cli

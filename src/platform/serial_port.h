// The byte pipe between a line and one port of its phone.
//
// SerialPort keeps the semantics the line code relies on (open once, purge on
// write, bounded writes, a queued-byte count and reads that never block); the
// device underneath comes from a SerialDevices source: real ttys attached
// under <root>/dosdevices (SystemSerialDevices), or in-memory wires whose far
// end is the device simulator (MemoryPorts, platform/memory_wire.h).
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string_view>

#include "platform/clock.h"

namespace quorrel {

// One opened port.
class SerialDevice {
 public:
  virtual ~SerialDevice() = default;  // closes the device

  // Discards received bytes not yet read (input) and/or bytes of an
  // unfinished write (output). Bytes of a write that has completed are never
  // thrown away: the device already has them.
  virtual void Purge(bool input, bool output) = 0;
  // Writes the whole block; returns once its bytes have left the output queue,
  // with the count written, or 0 when that does not happen within 10 s.
  virtual int Write(const uint8_t* data, int length) = 0;
  // Received bytes waiting to be read.
  virtual int BytesQueued() = 0;
  // Reads at most maxLength of the bytes queued now; never blocks.
  virtual int Read(uint8_t* buffer, int maxLength) = 0;
  // A remark about the bytes on this port (what the reader made of them) for
  // a record of the wire; ignored unless the device keeps such a record.
  virtual void Note(std::string_view /*text*/) {}
  // True once the device has gone from under the open port (unplugged,
  // re-enumerated): nothing will ever pass through it again.
  virtual bool HungUp() { return false; }
  // Blocks up to realMs real milliseconds until bytes arrive (or the device
  // goes); true when it blocked, so the caller need not sleep. A device that
  // cannot block returns false at once.
  virtual bool WaitReadable(uint32_t /*realMs*/) { return false; }
};

// Where numbered ports come from.
class SerialDevices {
 public:
  virtual ~SerialDevices() = default;
  // Opens port number `port` exclusively, raw, at the given line settings
  // (parity is always none). nullptr when the port is missing or busy.
  virtual std::unique_ptr<SerialDevice> Open(int port, int baudRate, int dataBits,
                                             int stopBits) = 0;
};

// The ports of this machine: COM port N is <root>/dosdevices/comN.
SerialDevices& SystemSerialDevices();

// Opens the tty node at path the way a COM port is opened (exclusive and
// locked, raw, 8N1 at baudRate), for a port that has no COM number yet.
// nullptr when it cannot be, with the errno of the failed step in *error:
// EACCES or EPERM without permission, EBUSY when another program holds it,
// ENOENT when the node is missing. POSIX only (ENOSYS on Windows).
std::unique_ptr<SerialDevice> OpenSerialPath(const std::filesystem::path& path, int baudRate,
                                             int* error);

class SerialPort {
 public:
  explicit SerialPort(SerialDevices& devices = SystemSerialDevices());
  ~SerialPort();
  SerialPort(const SerialPort&) = delete;
  SerialPort& operator=(const SerialPort&) = delete;

  // 1 on success. On an open port: 1 at once, settings unchanged.
  int Open(int portNumber, int baudRate, int dataBits, int stopBits);
  // Always 1; harmless on a closed port.
  int Close();
  int IsOpen() const { return device_ ? 1 : 0; }
  // Discards both queues, then writes; the count written, 0 on failure.
  int Write(const uint8_t* data, int length);
  // Discards only the output queue, so received bytes stay readable.
  int WriteKeepInput(const uint8_t* data, int length);
  // Received bytes waiting; 0 when closed.
  int BytesQueued();
  // Reads at most maxLength of the queued bytes; 0 when closed or nothing queued.
  int Read(uint8_t* buffer, int maxLength);
  // Waits up to ms of clock's time for received bytes: blocks on the device
  // where it can, else sleeps on the clock. The bytes queued then (0 when
  // none came, the port is closed or its device went away).
  int WaitForBytes(Clock& clock, uint32_t ms);
  // True when the port was closed because its device went away under it
  // (a hung-up descriptor is closed at once); cleared by the next Open.
  bool HungUp() const { return hung_up_; }
  // How a port whose device went away is opened again where the device now
  // is: called before a write on a hung-up port (it closes and opens this
  // port; true when it opened). Without one, the port stays closed.
  void SetReopener(std::function<bool()> reopener) { reopener_ = std::move(reopener); }
  // A remark for the wire's record, when the device keeps one.
  void Note(std::string_view text);
  // Every byte Read has returned since the port object was made, over all
  // its opens: a caller compares two readings to tell whether a reply came.
  uint64_t BytesRead() const { return bytes_read_; }

  // The port number given to the last successful Open (0 when never opened).
  int PortNumber() const { return port_number_; }
  // Changes where later Opens find their ports (the port is closed first).
  void SetDevices(SerialDevices& devices);

 private:
  // Closes the device when it has gone from under the port.
  void CloseIfHungUp();
  // Before a write: a hung-up port is opened again through the reopener.
  void ReopenIfHungUp();

  SerialDevices* devices_;
  std::unique_ptr<SerialDevice> device_;
  int port_number_ = 0;
  uint64_t bytes_read_ = 0;
  bool hung_up_ = false;
  std::function<bool()> reopener_;
  bool reopening_ = false;
};

}  // namespace quorrel

// A pseudo-terminal pair for tests and for the device simulator: the master
// side plays the device, the slave side is the tty a host opens as a COM port
// (through LinkComPort, platform/dosdevices.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace quorrel {

class PseudoTerminal {
 public:
  PseudoTerminal() = default;
  ~PseudoTerminal();  // closes both ends
  PseudoTerminal(const PseudoTerminal&) = delete;
  PseudoTerminal& operator=(const PseudoTerminal&) = delete;
  PseudoTerminal(PseudoTerminal&& other) noexcept;
  PseudoTerminal& operator=(PseudoTerminal&& other) noexcept;

  // Creates the pair (master non-blocking) and puts the slave in raw mode.
  // False, with nothing left open, when any step fails.
  bool Open();
  void Close();
  bool IsOpen() const { return master_fd_ >= 0; }

  int master_fd() const { return master_fd_; }
  // The slave's device path, e.g. /dev/pts/7.
  const std::string& slave_path() const { return slave_path_; }

  // Keeps an fd of our own on the slave, so the master never reports a
  // hang-up (EIO, POLLHUP) while no host has the port open. The slave is
  // opened before any host takes it exclusively; ClearExclusive() then lets a
  // host reopen it even when an earlier host died without clearing the flag.
  bool HoldSlaveOpen();
  void ReleaseSlave();
  // Our slave fd, -1 when not held (useful to poll for input or inspect
  // the line settings a host chose).
  int held_slave_fd() const { return slave_fd_; }
  // Clears the slave's exclusive flag from our end (needs the held fd).
  bool ClearExclusive();

  // Writes every byte to the master, waiting for room up to timeoutMs.
  bool WriteAll(std::span<const uint8_t> bytes, int timeoutMs);
  // Whatever the master has now, waiting up to timeoutMs for the first byte;
  // at most maxLength bytes. Empty on time-out or hang-up.
  std::vector<uint8_t> ReadSome(size_t maxLength, int timeoutMs);
  // Reads until exactly count bytes came or timeoutMs passed; returns what came.
  std::vector<uint8_t> ReadExactly(size_t count, int timeoutMs);

 private:
  int master_fd_ = -1;
  int slave_fd_ = -1;
  std::string slave_path_;
};

}  // namespace quorrel

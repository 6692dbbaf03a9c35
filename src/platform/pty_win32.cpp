// Windows has no pseudo-terminals: every step fails, and an object of this
// class is never open. (The simulator attaches to a Windows program through
// a Wine prefix from the POSIX side.)
#include "platform/pty.h"

#include <utility>

namespace quorrel {

PseudoTerminal::~PseudoTerminal() {
  Close();
}

PseudoTerminal::PseudoTerminal(PseudoTerminal&& other) noexcept
    : master_fd_(std::exchange(other.master_fd_, -1)),
      slave_fd_(std::exchange(other.slave_fd_, -1)),
      slave_path_(std::move(other.slave_path_)) {}

PseudoTerminal& PseudoTerminal::operator=(PseudoTerminal&& other) noexcept {
  if (this != &other) {
    master_fd_ = std::exchange(other.master_fd_, -1);
    slave_fd_ = std::exchange(other.slave_fd_, -1);
    slave_path_ = std::move(other.slave_path_);
  }
  return *this;
}

bool PseudoTerminal::Open() {
  return false;
}
void PseudoTerminal::Close() {
  master_fd_ = -1;
  slave_fd_ = -1;
  slave_path_.clear();
}
bool PseudoTerminal::HoldSlaveOpen() {
  return false;
}
void PseudoTerminal::ReleaseSlave() {
  slave_fd_ = -1;
}
bool PseudoTerminal::ClearExclusive() {
  return false;
}
bool PseudoTerminal::WriteAll(std::span<const uint8_t> /*bytes*/, int /*timeoutMs*/) {
  return false;
}
std::vector<uint8_t> PseudoTerminal::ReadSome(size_t /*maxLength*/, int /*timeoutMs*/) {
  return {};
}
std::vector<uint8_t> PseudoTerminal::ReadExactly(size_t /*count*/, int /*timeoutMs*/) {
  return {};
}

}  // namespace quorrel

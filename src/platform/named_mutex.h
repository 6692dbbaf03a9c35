// A mutex known by name to every process of the machine, as long as its
// handle is open. On POSIX: the file <root>/mutex/<name> ('/' in the name
// becomes '_') held with an exclusive, non-blocking flock.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>

namespace quorrel {

class NamedMutex {
 public:
  // Creates the mutex, or opens it when it already exists (another handle,
  // in this or another process, holds it): then *alreadyExists is true and
  // this handle holds nothing. nullptr when it cannot be made at all.
  static std::unique_ptr<NamedMutex> Create(std::string_view name, bool* alreadyExists);

  ~NamedMutex();
  NamedMutex(const NamedMutex&) = delete;
  NamedMutex& operator=(const NamedMutex&) = delete;

  bool Holds() const { return holds_; }

 private:
  // The system's handle: a file descriptor on POSIX, a HANDLE on Windows.
  NamedMutex(intptr_t handle, bool holds) : handle_(handle), holds_(holds) {}
  intptr_t handle_;
  bool holds_;
};

}  // namespace quorrel

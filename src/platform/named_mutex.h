// A mutex known by name to every process of the machine, as long as its
// handle is open. On POSIX: the file <root>/mutex/<name> ('/' in the name
// becomes '_') held with an exclusive, non-blocking flock.
#pragma once

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
  NamedMutex(int fd, bool holds) : fd_(fd), holds_(holds) {}
  int fd_;
  bool holds_;
};

}  // namespace quorrel

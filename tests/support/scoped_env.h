// Sets an environment variable for the life of the object and restores the
// previous value (or its absence) afterwards.
//
// Header-only; include as "support/scoped_env.h".
#pragma once

#include <stdlib.h>

#include <optional>
#include <string>

namespace quorrel::testsupport {

class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::string& value) : name_(name) {
    if (const char* old = ::getenv(name)) old_ = old;
    ::setenv(name, value.c_str(), 1);
  }
  ~ScopedEnv() {
    if (old_) {
      ::setenv(name_, old_->c_str(), 1);
    } else {
      ::unsetenv(name_);
    }
  }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  const char* name_;
  std::optional<std::string> old_;
};

}  // namespace quorrel::testsupport

// A fresh QUORREL_ROOT for one test, removed afterwards.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <string>

#include "support/test_env.h"

namespace quorrel::testing {

class ScopedRoot {
 public:
  ScopedRoot() {
    path_ = MakeScratchFolder("quorrel-root-");
    const char* old = std::getenv("QUORREL_ROOT");
    if (old != nullptr) {
      had_old_ = true;
      old_ = old;
    }
    SetEnv("QUORREL_ROOT", path_.string().c_str());
    ClearMachineState();
  }
  ~ScopedRoot() {
    if (had_old_) {
      SetEnv("QUORREL_ROOT", old_.c_str());
    } else {
      UnsetEnv("QUORREL_ROOT");
    }
    ClearMachineState();
    std::error_code ec;
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ec);
    std::filesystem::remove_all(path_, ec);
  }
  ScopedRoot(const ScopedRoot&) = delete;
  ScopedRoot& operator=(const ScopedRoot&) = delete;

  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
  bool had_old_ = false;
  std::string old_;
};

}  // namespace quorrel::testing

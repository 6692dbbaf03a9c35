// Points QUORREL_ROOT at a fresh temporary folder for the life of the object
// and removes the folder afterwards, restoring the previous value.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <system_error>

#include "support/test_env.h"

namespace quorrel::testing {

class ScratchRoot {
 public:
  ScratchRoot() {
    if (const char* old = std::getenv("QUORREL_ROOT")) previous_ = old;
    path_ = MakeScratchFolder("quorrel-test-");
    if (path_.empty()) {
      ADD_FAILURE() << "no scratch folder could be made";
      return;
    }
    SetEnv("QUORREL_ROOT", path_.string().c_str());
    ClearMachineState();
  }
  ~ScratchRoot() {
    if (previous_) {
      SetEnv("QUORREL_ROOT", previous_->c_str());
    } else {
      UnsetEnv("QUORREL_ROOT");
    }
    ClearMachineState();
    std::error_code ec;
    if (!path_.empty()) std::filesystem::remove_all(path_, ec);
  }
  ScratchRoot(const ScratchRoot&) = delete;
  ScratchRoot& operator=(const ScratchRoot&) = delete;

  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
  std::optional<std::string> previous_;
};

}  // namespace quorrel::testing

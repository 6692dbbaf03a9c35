// Points QUORREL_ROOT at a fresh temporary folder for the life of the object
// and removes the folder afterwards, restoring the previous value.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <optional>
#include <string>
#include <system_error>

namespace quorrel::testing {

class ScratchRoot {
 public:
  ScratchRoot() {
    if (const char* old = ::getenv("QUORREL_ROOT")) previous_ = old;
    std::string templ = (std::filesystem::temp_directory_path() / "quorrel-test-XXXXXX").string();
    if (::mkdtemp(templ.data()) == nullptr) {
      ADD_FAILURE() << "mkdtemp failed for " << templ;
      return;
    }
    path_ = templ;
    ::setenv("QUORREL_ROOT", templ.c_str(), 1);
  }
  ~ScratchRoot() {
    if (previous_) {
      ::setenv("QUORREL_ROOT", previous_->c_str(), 1);
    } else {
      ::unsetenv("QUORREL_ROOT");
    }
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

// A fresh QUORREL_ROOT for one test, removed afterwards.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <string>

namespace quorrel::testing {

class ScopedRoot {
 public:
  ScopedRoot() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "quorrel-root-XXXXXX").string();
    path_ = ::mkdtemp(tmpl.data());
    const char* old = ::getenv("QUORREL_ROOT");
    if (old != nullptr) {
      had_old_ = true;
      old_ = old;
    }
    ::setenv("QUORREL_ROOT", path_.c_str(), 1);
  }
  ~ScopedRoot() {
    if (had_old_) {
      ::setenv("QUORREL_ROOT", old_.c_str(), 1);
    } else {
      ::unsetenv("QUORREL_ROOT");
    }
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

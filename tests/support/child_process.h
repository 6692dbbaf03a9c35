// A child program whose standard output and error the test reads, with
// bounded waits for a line or for its end.
//
// Header-only; include as "support/child_process.h".
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

extern char** environ;

namespace quorrel::testsupport {

// The build folder, as ctest passes it.
inline std::optional<std::filesystem::path> BinaryDir() {
  const char* dir = std::getenv("QUORREL_TEST_BINARY_DIR");
  if (dir == nullptr || *dir == 0) return std::nullopt;
  return std::filesystem::path(dir);
}

// The command-line program and the simulator of that build.
struct Programs {
  std::filesystem::path cli, simulator;
};

inline std::optional<Programs> FindCliAndSimulator() {
  std::optional<std::filesystem::path> bin = BinaryDir();
  if (!bin) return std::nullopt;
  return Programs{*bin / "src/cli/quorrel-cli", *bin / "sim/quorrel-sim"};
}

class ChildProcess {
 public:
  explicit ChildProcess(const std::vector<std::string>& argv, const std::string& cwd = {}) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (!cwd.empty()) posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDERR_FILENO);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    if (posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    out_ = fds[0];
  }
  ~ChildProcess() {
    if (pid_ > 0 && !exited_) {
      ::kill(pid_, SIGKILL);
      int status;
      ::waitpid(pid_, &status, 0);
    }
    if (out_ >= 0) ::close(out_);
  }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  bool Started() const { return pid_ > 0; }

  // Reads output until the text appears (after from) or the child closes
  // its output; false when neither happened within the timeout.
  bool ReadUntil(std::string_view text, std::chrono::seconds timeout, size_t from = 0) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (output_.find(text, from) == std::string::npos) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return false;
      pollfd p{out_, POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
      char buffer[4096];
      ssize_t n = ::read(out_, buffer, sizeof buffer);
      if (n <= 0) return output_.find(text, from) != std::string::npos;
      output_.append(buffer, static_cast<size_t>(n));
    }
    return true;
  }
  // Reads everything until the child closes its output, then its exit code.
  std::optional<int> Wait(std::chrono::seconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return std::nullopt;
      pollfd p{out_, POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
      char buffer[4096];
      ssize_t n = ::read(out_, buffer, sizeof buffer);
      if (n <= 0) break;
      output_.append(buffer, static_cast<size_t>(n));
    }
    int status = 0;
    if (::waitpid(pid_, &status, 0) != pid_) return std::nullopt;
    exited_ = true;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  void Signal(int sig) { ::kill(pid_, sig); }
  const std::string& output() const { return output_; }

 private:
  pid_t pid_ = -1;
  int out_ = -1;
  bool exited_ = false;
  std::string output_;
};

}  // namespace quorrel::testsupport

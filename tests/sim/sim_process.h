// quorrel-sim as a child process for the simulator's tests: started with
// arguments, its standard output read line by line with bounded waits.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

namespace quorrel::simtest {

namespace fs = std::filesystem;

constexpr int kLineTimeoutMs = 20000;

inline fs::path SimulatorPath() {
  if (const char* dir = std::getenv("QUORREL_TEST_BINARY_DIR"))
    return fs::path(dir) / "sim" / "quorrel-sim";
  // Run by hand: the build tree holds tests/test_sim and sim/quorrel-sim.
  return fs::read_symlink("/proc/self/exe").parent_path().parent_path() / "sim" / "quorrel-sim";
}

// The simulator as a child process whose stdout lines the test reads.
class SimProcess {
 public:
  bool Start(const std::vector<std::string>& args, const fs::path& errorLog) {
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) return false;
    pid_ = ::fork();
    if (pid_ < 0) return false;
    if (pid_ == 0) {
      ::dup2(out[1], STDOUT_FILENO);
      int err = ::open(errorLog.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (err >= 0) ::dup2(err, STDERR_FILENO);
      std::vector<char*> argv;
      std::string program = SimulatorPath().string();
      argv.push_back(program.data());
      std::vector<std::string> copy = args;
      for (std::string& a : copy) argv.push_back(a.data());
      argv.push_back(nullptr);
      ::execv(program.c_str(), argv.data());
      ::_exit(127);
    }
    ::close(out[1]);
    out_ = out[0];
    return true;
  }

  ~SimProcess() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    if (out_ >= 0) ::close(out_);
  }

  // The next stdout line; empty on time-out or end of output.
  std::string ReadLine(int timeoutMs = kLineTimeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
      size_t nl = buffer_.find('\n');
      if (nl != std::string::npos) {
        std::string line = buffer_.substr(0, nl);
        buffer_.erase(0, nl + 1);
        seen_ += line + "\n";
        return line;
      }
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0 || eof_) return {};
      pollfd p{out_, POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
      char chunk[256];
      ssize_t n = ::read(out_, chunk, sizeof chunk);
      if (n <= 0) {
        eof_ = true;
        continue;
      }
      buffer_.append(chunk, static_cast<size_t>(n));
    }
  }

  // Reads lines until one names the attached ports; false on anything else.
  bool AwaitAttach(int* diag, int* data) {
    static const std::regex pattern("attached diag=COM([0-9]+) data=COM([0-9]+)");
    for (;;) {
      std::string line = ReadLine();
      if (line.empty()) return false;
      std::smatch m;
      if (std::regex_match(line, m, pattern)) {
        *diag = std::stoi(m[1]);
        *data = std::stoi(m[2]);
        return true;
      }
      if (line != "detached") return false;
    }
  }

  // Reads lines until one starts with prefix; that line, or empty on
  // time-out or end of output.
  std::string AwaitLine(const std::string& prefix, int timeoutMs = kLineTimeoutMs) {
    for (;;) {
      std::string line = ReadLine(timeoutMs);
      if (line.empty() || line.rfind(prefix, 0) == 0) return line;
    }
  }
  // Every line read so far, for messages.
  const std::string& seen() const { return seen_; }

  void Signal(int sig) { ::kill(pid_, sig); }

  // Waits for the end of its output, then reaps it; its exit status.
  int Finish() {
    while (!eof_ && !ReadLine().empty()) {
    }
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

 private:
  pid_t pid_ = -1;
  int out_ = -1;
  std::string buffer_;
  std::string seen_;
  bool eof_ = false;
};

}  // namespace quorrel::simtest

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <sstream>
#include <string>
#include <vector>

#include "platform/paths.h"
#include "platform/shell.h"
#include "util/text.h"

namespace quorrel {

namespace {

bool IsWindowsProgram(const std::string& file) {
  std::string lower = ToLowerAscii(file);
  for (const char* ext : {".exe", ".com", ".bat", ".cmd"}) {
    std::string_view e(ext);
    if (lower.size() >= e.size() && lower.compare(lower.size() - e.size(), e.size(), e) == 0) {
      return true;
    }
  }
  return false;
}

// Starts argv detached from this process (its own session, its standard files
// on /dev/null, reaped by init). True when exec succeeded.
bool SpawnDetached(const std::vector<std::string>& args, bool searchPath) {
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);

  int report[2];
  if (::pipe2(report, O_CLOEXEC) != 0) return false;
  pid_t child = ::fork();
  if (child < 0) {
    ::close(report[0]);
    ::close(report[1]);
    return false;
  }
  if (child == 0) {
    ::setsid();
    pid_t grandchild = ::fork();
    if (grandchild != 0) ::_exit(grandchild < 0 ? 1 : 0);
    int null = ::open("/dev/null", O_RDWR);
    if (null >= 0) {
      ::dup2(null, 0);
      ::dup2(null, 1);
      ::dup2(null, 2);
    }
    if (searchPath) {
      ::execvp(argv[0], argv.data());
    } else {
      ::execv(argv[0], argv.data());
    }
    int err = errno;
    ssize_t ignored = ::write(report[1], &err, sizeof err);
    (void)ignored;
    ::_exit(127);
  }
  ::close(report[1]);
  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  int err = 0;
  ssize_t n;
  do {
    n = ::read(report[0], &err, sizeof err);
  } while (n < 0 && errno == EINTR);
  ::close(report[0]);
  // Nothing read: the pipe closed on a successful exec.
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 && n == 0;
}

}  // namespace

bool SystemShellOpen(const ShellRequest& request) {
  std::string path = MapPath(request.file).string();
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return false;
  if (S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0 && (st.st_mode & 0111) != 0) {
    std::vector<std::string> args{path};
    std::istringstream params(request.parameters);
    for (std::string word; params >> word;) args.push_back(word);
    return SpawnDetached(args, false);
  }
  if (IsWindowsProgram(request.file)) return false;
  return SpawnDetached({"xdg-open", path}, true);
}

}  // namespace quorrel

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <string>

#include "platform/named_mutex.h"
#include "platform/root.h"

namespace quorrel {

std::unique_ptr<NamedMutex> NamedMutex::Create(std::string_view name, bool* alreadyExists) {
  if (alreadyExists != nullptr) *alreadyExists = false;
  std::string file(name);
  for (char& c : file) {
    if (c == '/') c = '_';
  }
  if (file.empty() || file == "." || file == "..") return nullptr;
  std::filesystem::path folder = QuorrelRoot() / "mutex";
  std::error_code ec;
  std::filesystem::create_directories(folder, ec);
  int fd = ::open((folder / file).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return nullptr;
  int rc;
  do {
    rc = ::flock(fd, LOCK_EX | LOCK_NB);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0 && errno != EWOULDBLOCK) {
    ::close(fd);
    return nullptr;
  }
  bool holds = rc == 0;
  if (!holds && alreadyExists != nullptr) *alreadyExists = true;
  return std::unique_ptr<NamedMutex>(new NamedMutex(fd, holds));
}

NamedMutex::~NamedMutex() {
  ::close(static_cast<int>(handle_));
}

}  // namespace quorrel

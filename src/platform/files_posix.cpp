#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "platform/files.h"
#include "platform/paths.h"

namespace quorrel {

namespace {

bool IsDriveRoot(std::string_view path) {
  return path.size() == 3 && path[1] == ':' && path[2] == '\\';
}

bool EntryExists(std::string_view path) {
  struct stat st;
  return ::lstat(MapPath(path).c_str(), &st) == 0;
}

}  // namespace

bool PathExists(std::string_view path) {
  if (!path.empty() && path.back() == '\\') {
    if (IsDriveRoot(path)) return true;
    path.remove_suffix(1);
  }
  if (path.empty()) return false;
  return EntryExists(path);
}

bool EnsureDirectory(std::string_view path) {
  if (PathExists(path)) return true;
  std::string mapped = MapPath(path).string();
  if (::mkdir(mapped.c_str(), 0755) == 0) return true;
  // A drive always has its root folder on Windows; here the drive's folder
  // under the root is made on first use, so "C:\Program Files" can be made
  // on a fresh root.
  if (errno != ENOENT || path.size() < 4 || path[1] != ':' || path[2] != '\\' ||
      path.substr(3).find('\\') != std::string_view::npos) {
    return false;
  }
  std::string drive = MapPath(path.substr(0, 3)).string();
  if (::mkdir(drive.c_str(), 0755) != 0 && errno != EEXIST) return false;
  return ::mkdir(mapped.c_str(), 0755) == 0;
}

bool FileExistsInDir(char* buffer, size_t capacity, std::string_view name) {
  if (buffer == nullptr || capacity == 0) return false;
  std::string_view dir(buffer, ::strnlen(buffer, capacity));
  std::string joined(dir);
  if (!IsDriveRoot(dir)) joined += '\\';
  joined += name;
  if (joined.size() + 1 > capacity) return false;
  std::memcpy(buffer, joined.c_str(), joined.size() + 1);
  return EntryExists(joined);
}

bool DeleteFileAt(std::string_view path) {
  return ::unlink(MapPath(path).c_str()) == 0;
}

bool ReplaceFile(std::string_view from, std::string_view to) {
  return ::rename(MapPath(from).c_str(), MapPath(to).c_str()) == 0;
}

std::optional<File> File::OpenRead(std::string_view path) {
  int fd = ::open(MapPath(path).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  struct stat st;
  if (::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode) || ::flock(fd, LOCK_SH | LOCK_NB) != 0) {
    ::close(fd);
    return std::nullopt;
  }
  return File(fd);
}

std::optional<File> File::OpenWrite(std::string_view path) {
  std::string mapped = MapPath(path).string();
  // O_NOFOLLOW refuses a link in the last place; the checks of what is there
  // are made on the opened file itself, so nothing can be swapped in between.
  int fd = ::open(mapped.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
  if (fd < 0) return std::nullopt;
  struct stat st;
  // Not truncated before the lock is held: a holder's data stays untouched.
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || (st.st_mode & 0222) == 0 ||
      ::flock(fd, LOCK_EX | LOCK_NB) != 0 || ::ftruncate(fd, 0) != 0) {
    ::close(fd);
    return std::nullopt;
  }
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return File(fd);
}

std::optional<File> File::CreateTemporary(std::string_view path, std::string* temporaryPath) {
  static std::atomic<unsigned> counter{0};
  for (int attempt = 0; attempt < 100; ++attempt) {
    char suffix[48];
    std::snprintf(suffix, sizeof suffix, ".%ld.%u.tmp", static_cast<long>(::getpid()), counter++);
    std::string name = std::string(path) + suffix;
    int fd =
        ::open(MapPath(name).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd >= 0) {
      if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        ::unlink(MapPath(name).c_str());
        return std::nullopt;
      }
      if (temporaryPath != nullptr) *temporaryPath = std::move(name);
      return File(fd);
    }
    if (errno != EEXIST) return std::nullopt;
  }
  return std::nullopt;
}

File::File(File&& other) noexcept : fd_(other.fd_) {
  other.fd_ = -1;
}

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    Close();
    fd_ = other.fd_;
    other.fd_ = -1;
  }
  return *this;
}

File::~File() {
  Close();
}

void File::Close() {
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
}

int64_t File::Size() const {
  struct stat st;
  if (fd_ < 0 || ::fstat(fd_, &st) != 0) return -1;
  return st.st_size;
}

int64_t File::Read(std::span<uint8_t> buffer) {
  size_t total = 0;
  while (total < buffer.size()) {
    ssize_t n = ::read(fd_, buffer.data() + total, buffer.size() - total);
    if (n < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (n == 0) break;
    total += static_cast<size_t>(n);
  }
  return static_cast<int64_t>(total);
}

bool File::Write(std::span<const uint8_t> data) {
  size_t total = 0;
  while (total < data.size()) {
    ssize_t n = ::write(fd_, data.data() + total, data.size() - total);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    total += static_cast<size_t>(n);
  }
  return true;
}

bool File::Write(std::string_view text) {
  return Write(
      std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
}

std::string ExecutableDirectory() {
  std::error_code ec;
  std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? std::string(".") : exe.parent_path().string();
}

std::optional<std::string> ReadWholeFile(std::string_view path, size_t maxBytes) {
  std::optional<File> file = File::OpenRead(path);
  if (!file) return std::nullopt;
  int64_t size = file->Size();
  if (size < 0 || static_cast<uint64_t>(size) > maxBytes) return std::nullopt;
  // One byte more than the size told: a file that grew meanwhile is refused
  // rather than cut.
  std::string data(static_cast<size_t>(size) + 1, '\0');
  int64_t n = file->Read(std::span<uint8_t>(reinterpret_cast<uint8_t*>(data.data()), data.size()));
  if (n < 0 || static_cast<uint64_t>(n) > maxBytes || n > size) return std::nullopt;
  data.resize(static_cast<size_t>(n));
  return data;
}

}  // namespace quorrel

// Files through the C runtime's descriptors, opened with Windows share modes:
// a reader denies writers, a writer denies everyone.
#include <fcntl.h>
#include <io.h>
#include <process.h>
#include <share.h>
#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/files.h"
#include "platform/win32_api.h"

namespace quorrel {

namespace {

bool IsDriveRoot(std::string_view path) {
  return path.size() == 3 && path[1] == ':' && path[2] == '\\';
}

bool EntryExists(std::string_view path) {
  const std::string text(path);
  return ::GetFileAttributesA(text.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// A reparse point (a symbolic link or junction) in the last place: a file
// made in a folder others can write never lands where someone's link points.
bool IsReparsePoint(const std::string& path) {
  const DWORD attributes = ::GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
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
  std::string text(path);
  while (!text.empty() && text.back() == '\\' && !IsDriveRoot(text)) text.pop_back();
  return ::CreateDirectoryA(text.c_str(), nullptr) != 0;
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
  const std::string text(path);
  return ::DeleteFileA(text.c_str()) != 0;
}

bool ReplaceFile(std::string_view from, std::string_view to) {
  const std::string source(from);
  const std::string target(to);
  return ::MoveFileExA(source.c_str(), target.c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

std::optional<File> File::OpenRead(std::string_view path) {
  const std::string text(path);
  int fd = -1;
  if (::_sopen_s(&fd, text.c_str(), _O_RDONLY | _O_BINARY | _O_NOINHERIT, _SH_DENYWR, 0) != 0) {
    return std::nullopt;
  }
  struct _stat64 st;
  if (::_fstat64(fd, &st) != 0 || (st.st_mode & _S_IFREG) == 0) {
    ::_close(fd);
    return std::nullopt;
  }
  return File(fd);
}

std::optional<File> File::OpenWrite(std::string_view path) {
  const std::string text(path);
  if (IsReparsePoint(text)) return std::nullopt;
  const DWORD attributes = ::GetFileAttributesA(text.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES &&
      (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY)) != 0) {
    errno = EACCES;
    return std::nullopt;
  }
  int fd = -1;
  // Truncation only once the open holds the file alone: a holder's data stays.
  if (::_sopen_s(&fd, text.c_str(), _O_WRONLY | _O_CREAT | _O_BINARY | _O_NOINHERIT, _SH_DENYRW,
                 _S_IREAD | _S_IWRITE) != 0) {
    return std::nullopt;
  }
  if (::_chsize_s(fd, 0) != 0) {
    ::_close(fd);
    return std::nullopt;
  }
  return File(fd);
}

std::optional<File> File::CreateTemporary(std::string_view path, std::string* temporaryPath) {
  static std::atomic<unsigned> counter{0};
  for (int attempt = 0; attempt < 100; ++attempt) {
    char suffix[48];
    std::snprintf(suffix, sizeof suffix, ".%lu.%u.tmp",
                  static_cast<unsigned long>(::GetCurrentProcessId()), counter++);
    std::string name = std::string(path) + suffix;
    int fd = -1;
    // _O_EXCL: never an existing file, nor a link someone put in the way.
    const errno_t rc =
        ::_sopen_s(&fd, name.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY | _O_NOINHERIT,
                   _SH_DENYRW, _S_IREAD | _S_IWRITE);
    if (rc == 0) {
      if (temporaryPath != nullptr) *temporaryPath = std::move(name);
      return File(fd);
    }
    if (rc != EEXIST) return std::nullopt;
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
    ::_close(fd_);
    fd_ = -1;
  }
}

int64_t File::Size() const {
  if (fd_ < 0) return -1;
  return ::_filelengthi64(fd_);
}

int64_t File::Read(std::span<uint8_t> buffer) {
  size_t total = 0;
  while (total < buffer.size()) {
    // The runtime reads at most INT_MAX bytes at once.
    const size_t want = buffer.size() - total;
    const unsigned chunk = want > (1u << 30) ? (1u << 30) : static_cast<unsigned>(want);
    const int n = ::_read(fd_, buffer.data() + total, chunk);
    if (n < 0) return -1;
    if (n == 0) break;
    total += static_cast<size_t>(n);
  }
  return static_cast<int64_t>(total);
}

bool File::Write(std::span<const uint8_t> data) {
  size_t total = 0;
  while (total < data.size()) {
    const size_t want = data.size() - total;
    const unsigned chunk = want > (1u << 30) ? (1u << 30) : static_cast<unsigned>(want);
    const int n = ::_write(fd_, data.data() + total, chunk);
    if (n <= 0) return false;
    total += static_cast<size_t>(n);
  }
  return true;
}

bool File::Write(std::string_view text) {
  return Write(
      std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
}

std::string ExecutableDirectory() {
  char path[MAX_PATH * 4];
  const DWORD n = ::GetModuleFileNameA(nullptr, path, sizeof path);
  // 0 is a failure, a full buffer a name cut short.
  if (n == 0 || n >= sizeof path) return ".";
  std::string text(path, n);
  const size_t cut = text.find_last_of("\\/");
  return cut == std::string::npos ? std::string(".") : text.substr(0, cut);
}

std::optional<std::string> ReadWholeFile(std::string_view path, size_t maxBytes) {
  std::optional<File> file = File::OpenRead(path);
  if (!file) return std::nullopt;
  int64_t size = file->Size();
  if (size < 0 || static_cast<uint64_t>(size) > maxBytes) return std::nullopt;
  std::string data(static_cast<size_t>(size) + 1, '\0');
  int64_t n = file->Read(std::span<uint8_t>(reinterpret_cast<uint8_t*>(data.data()), data.size()));
  if (n < 0 || static_cast<uint64_t>(n) > maxBytes || n > size) return std::nullopt;
  data.resize(static_cast<size_t>(n));
  return data;
}

}  // namespace quorrel

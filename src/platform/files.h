// File facilities over Windows paths (mapped with MapPath, platform/paths.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace quorrel {

inline constexpr size_t kMaxPath = 260;  // MAX_PATH, terminator included

// True when the path names an existing file or directory. A path ending in a
// backslash: a drive root such as C:\ is true without looking at the file
// system; otherwise the backslash is dropped before the search.
bool PathExists(std::string_view path);

// True when the directory exists or was created. Only the last component is
// created; its parent must exist.
bool EnsureDirectory(std::string_view path);

// Joins the directory held in buffer (zero-terminated, capacity bytes) with
// name, writes the joined path back into buffer and tells whether it exists.
// A drive root (C:\) takes the name directly, a longer directory gets a
// backslash in between. A joined path that does not fit the buffer is refused:
// false, and the buffer is left as it was.
bool FileExistsInDir(char* buffer, size_t capacity, std::string_view name);

// Removes a file; false when it was not there or could not be removed.
bool DeleteFileAt(std::string_view path);

// Renames a file over another one in one step (the old target is replaced
// as a whole or not at all); false when that fails.
bool ReplaceFile(std::string_view from, std::string_view to);

// One open file.
class File {
 public:
  // For reading, with writing by others denied while open (an advisory shared
  // lock: a writer holding the file fails this open). nullopt when missing.
  static std::optional<File> OpenRead(std::string_view path);
  // For writing, created or truncated, nobody else holding it (an advisory
  // exclusive lock). A read-only file (no write permission bit at all, the
  // counterpart of the read-only attribute) is refused whatever the caller's
  // rights, as is a directory in the way and a symbolic link: a file made in
  // a folder others can write never lands where someone else's link points.
  static std::optional<File> OpenWrite(std::string_view path);
  // A new, empty file for writing next to path, under a name no other file
  // has ("<path>.<process>.<n>.tmp"); never through a symbolic link. Its
  // Windows path goes to *temporaryPath. nullopt when none can be made.
  static std::optional<File> CreateTemporary(std::string_view path, std::string* temporaryPath);

  File(File&& other) noexcept;
  File& operator=(File&& other) noexcept;
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  ~File();

  int64_t Size() const;
  // Reads up to buffer.size() bytes; the count read, -1 on error.
  int64_t Read(std::span<uint8_t> buffer);
  // Writes all the bytes; false on any error.
  bool Write(std::span<const uint8_t> data);
  bool Write(std::string_view text);
  void Close();
  bool IsOpen() const { return fd_ >= 0; }

 private:
  explicit File(int fd) : fd_(fd) {}
  int fd_ = -1;
};

// The folder of the running executable (no trailing separator).
std::string ExecutableDirectory();

// The whole content of a file; nullopt when it cannot be read or holds more
// than maxBytes (the size is checked before anything is read).
std::optional<std::string> ReadWholeFile(std::string_view path, size_t maxBytes);

}  // namespace quorrel

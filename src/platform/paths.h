// Windows paths on a POSIX file system: every path the program forms keeps its
// Windows text (shown to the user and logged as it stands); only the call into
// the file system sees the mapped path.
//
//   X:\a\b  ->  <root>/drive_x/a/b    (drive letter in lower case)
//   C:\     ->  <root>/drive_c/
//   a\b     ->  a/b                   (no drive: used as it stands)
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace quorrel {

std::filesystem::path MapPath(std::string_view windowsPath);

// A path as this system writes it, for the program's own messages: what a
// user can paste into a shell or a file dialog. The texts of the
// description keep the path as the program formed it.
std::string NativePath(std::string_view path);

}  // namespace quorrel

// Windows paths on a POSIX file system: every path the program forms keeps its
// Windows text (shown to the user and logged as it stands); only the call into
// the file system sees the mapped path.
//
//   X:\a\b  ->  <root>/drive_x/a/b    (drive letter in lower case)
//   C:\     ->  <root>/drive_c/
//   a\b     ->  a/b                   (no drive: used as it stands)
#pragma once

#include <filesystem>
#include <string_view>

namespace quorrel {

std::filesystem::path MapPath(std::string_view windowsPath);

}  // namespace quorrel

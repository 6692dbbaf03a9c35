#include "platform/paths.h"

namespace quorrel {

// Windows paths are the file system's own: nothing to map.
std::filesystem::path MapPath(std::string_view windowsPath) {
  return std::filesystem::path(std::string(windowsPath));
}

std::string NativePath(std::string_view path) {
  return std::string(path);
}

}  // namespace quorrel

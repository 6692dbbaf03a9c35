#include "platform/root.h"

#include <cstdlib>
#include <system_error>

namespace quorrel {

std::filesystem::path QuorrelRoot() {
  std::filesystem::path root;
  if (const char* env = std::getenv("QUORREL_ROOT"); env && *env) {
    root = env;
  } else if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg && *xdg) {
    root = std::filesystem::path(xdg) / "quorrel";
  } else if (const char* home = std::getenv("HOME"); home && *home) {
    root = std::filesystem::path(home) / ".local/share/quorrel";
  } else {
    root = "/tmp/quorrel";
  }
  std::error_code ec;
  if (std::filesystem::create_directories(root, ec)) {
    std::filesystem::permissions(root, std::filesystem::perms(0755),
                                 std::filesystem::perm_options::replace, ec);
  }
  return root;
}

}  // namespace quorrel

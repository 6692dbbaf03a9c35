#include "platform/dosdevices.h"

#include <unistd.h>

#include <atomic>
#include <string>
#include <system_error>

#include "platform/root.h"

namespace quorrel {

namespace fs = std::filesystem;

namespace {
bool ValidPort(int n) {
  return n >= kFirstComPort && n <= kLastComPort;
}
}  // namespace

fs::path ComPortPath(int n) {
  return QuorrelRoot() / "dosdevices" / ("com" + std::to_string(n));
}

bool LinkComPort(int n, const fs::path& tty) {
  if (!ValidPort(n) || tty.empty()) return false;
  const fs::path link = ComPortPath(n);
  std::error_code ec;
  fs::create_directories(link.parent_path(), ec);
  if (ec) return false;

  // The temporary name is unique per process and call, so two writers never
  // trip over each other's half-made link.
  static std::atomic<unsigned> counter{0};
  fs::path temp = link;
  temp += ".tmp." + std::to_string(::getpid()) + "." + std::to_string(counter++);
  fs::remove(temp, ec);
  fs::create_symlink(tty, temp, ec);
  if (ec) return false;
  fs::rename(temp, link, ec);
  if (ec) {
    std::error_code ignored;
    fs::remove(temp, ignored);
    return false;
  }
  return true;
}

void UnlinkComPort(int n) {
  if (!ValidPort(n)) return;
  std::error_code ec;
  fs::remove(ComPortPath(n), ec);
}

bool ComPortExists(int n) {
  if (!ValidPort(n)) return false;
  std::error_code ec;
  // status() follows the link: a dangling link is "not found".
  return fs::exists(fs::status(ComPortPath(n), ec));
}

}  // namespace quorrel

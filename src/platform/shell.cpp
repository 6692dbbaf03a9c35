#include "platform/shell.h"

#include <mutex>
#include <utility>

namespace quorrel {

namespace {

std::mutex& HandlerMutex() {
  static std::mutex m;
  return m;
}

ShellHandler& Handler() {
  static ShellHandler handler;
  return handler;
}

}  // namespace

bool ShellOpen(const ShellRequest& request) {
  ShellHandler handler;
  {
    std::lock_guard<std::mutex> lock(HandlerMutex());
    handler = Handler();
  }
  return handler ? handler(request) : SystemShellOpen(request);
}

ShellHandler SetShellHandler(ShellHandler handler) {
  std::lock_guard<std::mutex> lock(HandlerMutex());
  return std::exchange(Handler(), std::move(handler));
}

}  // namespace quorrel

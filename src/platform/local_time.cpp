#include "platform/local_time.h"

#include <mutex>
#include <utility>

namespace quorrel {

namespace {

std::mutex& SourceMutex() {
  static std::mutex m;
  return m;
}

LocalTimeSource& Source() {
  static LocalTimeSource source;
  return source;
}

}  // namespace

LocalTime CurrentLocalTime() {
  LocalTimeSource source;
  {
    std::lock_guard<std::mutex> lock(SourceMutex());
    source = Source();
  }
  return source ? source() : SystemLocalTime();
}

LocalTimeSource SetLocalTimeSource(LocalTimeSource source) {
  std::lock_guard<std::mutex> lock(SourceMutex());
  return std::exchange(Source(), std::move(source));
}

}  // namespace quorrel

#include "platform/process_list.h"

#include <mutex>
#include <utility>

namespace quorrel {

namespace {

std::mutex& SourceMutex() {
  static std::mutex m;
  return m;
}

ProcessListSource& Source() {
  static ProcessListSource source;
  return source;
}

}  // namespace

std::optional<std::vector<ProcessEntry>> ProcessList() {
  ProcessListSource source;
  {
    std::lock_guard<std::mutex> lock(SourceMutex());
    source = Source();
  }
  return source ? source() : SystemProcessList();
}

ProcessListSource SetProcessListSource(ProcessListSource source) {
  std::lock_guard<std::mutex> lock(SourceMutex());
  return std::exchange(Source(), std::move(source));
}

}  // namespace quorrel

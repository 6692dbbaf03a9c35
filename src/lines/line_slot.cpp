#include "lines/line_slot.h"

namespace quorrel {

std::string LineJob::VersionText() const {
  std::lock_guard<std::mutex> lock(version_mutex_);
  return version_text_.str();
}

bool LineJob::SetVersionText(std::string_view text) {
  std::lock_guard<std::mutex> lock(version_mutex_);
  return version_text_.Set(text);
}

}  // namespace quorrel

#include "platform/resources.h"

namespace quorrel {

std::optional<std::span<const uint8_t>> ExecutableResource(int /*id*/, const char* /*type*/) {
  return std::nullopt;
}

}  // namespace quorrel

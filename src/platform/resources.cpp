#include "platform/resources.h"

#include "util/text.h"

namespace quorrel {

std::optional<std::span<const uint8_t>> ResourceTable::Find(int id, std::string_view type) const {
  for (const Resource& r : entries_) {
    if (r.id == id && EqualsIgnoreCaseAscii(r.type, type)) {
      return std::span<const uint8_t>(r.data, r.size);
    }
  }
  return std::nullopt;
}

}  // namespace quorrel

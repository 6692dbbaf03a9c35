// Files linked into the executable, found by an integer id and a type name
// (compared without regard to case, as resource types are).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace quorrel {

struct Resource {
  int id;
  const char* type;
  const uint8_t* data;
  size_t size;
};

class ResourceTable {
 public:
  constexpr ResourceTable() = default;
  explicit constexpr ResourceTable(std::span<const Resource> entries) : entries_(entries) {}

  // The bytes of the resource; nullopt when the table has none of that id
  // and type.
  std::optional<std::span<const uint8_t>> Find(int id, std::string_view type) const;
  std::span<const Resource> entries() const { return entries_; }

 private:
  std::span<const Resource> entries_;
};

// A resource compiled into the running executable's own resource section
// (Windows: type "BITMAP" is the standard bitmap type, any other name a type
// of that name). nullopt when it has none such, and always on POSIX, whose
// executables carry their files as linked data instead.
std::optional<std::span<const uint8_t>> ExecutableResource(int id, const char* type);

}  // namespace quorrel

#include "platform/registry.h"

#include <utility>

namespace quorrel {

RegistryValue RegistryValue::Dword(std::string name, uint32_t value) {
  RegistryValue v;
  v.name = std::move(name);
  v.type = Type::Dword;
  v.dword = value;
  return v;
}

RegistryValue RegistryValue::String(std::string name, std::string value) {
  RegistryValue v;
  v.name = std::move(name);
  v.type = Type::String;
  v.text = std::move(value);
  return v;
}

long RegistrySetDword(RegistryRoot root, std::string_view subKey, std::string_view name,
                      uint32_t value) {
  return RegistrySetValues(root, subKey, {RegistryValue::Dword(std::string(name), value)});
}

long RegistrySetString(RegistryRoot root, std::string_view subKey, std::string_view name,
                       std::string_view value) {
  return RegistrySetValues(root, subKey,
                           {RegistryValue::String(std::string(name), std::string(value))});
}

}  // namespace quorrel

// Registry files: a key named by the input and its values.reg holding the
// input's text. The key's folder stays inside the registry folder; setting a
// value leaves a key opened before it reading what it read, and a key opened
// after it reads what was set with the other values as they were.
// Input: the key path up to the first newline, then the file.
#include <fstream>

#include "fuzz/fuzz_support.h"
#include "platform/registry.h"
#include "platform/root.h"

using namespace quorrel;
using namespace quorrel::fuzz;

namespace {

constexpr const char* kNames[] = {"Count", "0", "1", "PortName", "", "count", "Fuzz", "a\\b"};

struct Read {
  long dwordStatus = 0;
  uint32_t dword = 0;
  long stringStatus = 0;
  std::string text;
  bool operator==(const Read&) const = default;
};

Read ReadValue(const RegistryKey& key, std::string_view name) {
  Read r;
  r.dwordStatus = key.QueryDword(name, &r.dword);
  char small[4] = {};
  uint32_t size = sizeof small;
  const long shortStatus = key.QueryString(name, small, &size);
  std::vector<char> buffer(size > 0 ? size : 1);
  uint32_t capacity = static_cast<uint32_t>(buffer.size());
  r.stringStatus = key.QueryString(name, buffer.data(), &capacity);
  if (shortStatus == kRegistryMoreData) FUZZ_CHECK(r.stringStatus == kRegistryOk);
  if (r.stringStatus == kRegistryOk) {
    FUZZ_CHECK(capacity >= 1 && capacity <= buffer.size() && buffer[capacity - 1] == '\0');
    r.text.assign(buffer.data(), capacity - 1);
  }
  return r;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::filesystem::path& root = ScratchRoot();
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const size_t newline = input.find('\n');
  const std::string_view subKey = input.substr(0, std::min(newline, input.size()));
  const std::string_view file = newline == std::string_view::npos ? "" : input.substr(newline + 1);

  const std::filesystem::path hive = root / "registry";
  std::error_code ec;
  std::filesystem::remove_all(hive, ec);
  if (RegistryCreateKey(RegistryRoot::LocalMachine, subKey) != kRegistryOk) return 0;
  const std::optional<std::filesystem::path> folder =
      RegistryKeyFolder(RegistryRoot::LocalMachine, subKey);
  FUZZ_CHECK(folder.has_value());
  static const std::string inside =
      std::filesystem::weakly_canonical(hive / "HKEY_LOCAL_MACHINE").string();
  const std::string resolved = std::filesystem::weakly_canonical(*folder).string();
  FUZZ_CHECK(resolved.compare(0, inside.size(), inside) == 0 &&
             (resolved.size() == inside.size() || resolved[inside.size()] == '/'));
  {
    std::ofstream out(*folder / "values.reg", std::ios::binary | std::ios::trunc);
    out.write(file.data(), static_cast<std::streamsize>(file.size()));
  }

  RegistryKey key;
  FUZZ_CHECK(key.Open(RegistryRoot::LocalMachine, subKey, kKeyRead) == kRegistryOk);
  std::vector<Read> before;
  for (const char* name : kNames) before.push_back(ReadValue(key, name));

  const std::string value = "C:\\\"quoted\" text";
  FUZZ_CHECK(RegistrySetString(RegistryRoot::LocalMachine, subKey, "Fuzz", value) == kRegistryOk);
  RegistryKey reopened;
  FUZZ_CHECK(reopened.Open(RegistryRoot::LocalMachine, subKey, kKeyRead) == kRegistryOk);
  for (size_t i = 0; i < std::size(kNames); ++i) {
    FUZZ_CHECK(ReadValue(key, kNames[i]) == before[i]);
    const Read after = ReadValue(reopened, kNames[i]);
    if (std::string_view(kNames[i]) == "Fuzz") {
      FUZZ_CHECK(after.stringStatus == kRegistryOk && after.text == value);
    } else {
      FUZZ_CHECK(after == before[i]);
    }
  }
  return 0;
}

#include "platform/process_list.h"
#include "platform/win32_api.h"

#include <tlhelp32.h>

namespace quorrel {

std::optional<std::vector<ProcessEntry>> SystemProcessList() {
  HANDLE snapshot = ::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return std::nullopt;
  std::vector<ProcessEntry> list;
  PROCESSENTRY32 entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = ::Process32First(snapshot, &entry); more;
       more = ::Process32Next(snapshot, &entry)) {
    // szExeFile is a bounded array; its text ends at the first zero or at
    // its end.
    const char* name = entry.szExeFile;
    size_t length = 0;
    while (length < sizeof entry.szExeFile && name[length] != '\0') ++length;
    list.push_back(ProcessEntry{static_cast<int>(entry.th32ProcessID), std::string(name, length)});
  }
  ::CloseHandle(snapshot);
  return list;
}

// Windows keeps which process holds a COM port to itself.
std::vector<ProcessEntry> ProcessesHoldingOpen(const std::filesystem::path&) {
  return {};
}

}  // namespace quorrel

#include <dirent.h>

#include <cctype>
#include <fstream>
#include <iterator>
#include <system_error>

#include "platform/process_list.h"

namespace quorrel {

namespace {

bool AllDigits(const char* s) {
  if (*s == '\0') return false;
  for (; *s != '\0'; ++s) {
    if (!std::isdigit(static_cast<unsigned char>(*s))) return false;
  }
  return true;
}

// argv[0] is the text up to the first zero of /proc/<pid>/cmdline. A Windows
// program started under an emulator may carry backslashes in it.
std::string BaseName(const std::string& argv0) {
  size_t cut = argv0.find_last_of("/\\");
  return cut == std::string::npos ? argv0 : argv0.substr(cut + 1);
}

}  // namespace

std::optional<std::vector<ProcessEntry>> SystemProcessList() {
  DIR* proc = ::opendir("/proc");
  if (proc == nullptr) return std::nullopt;
  std::vector<ProcessEntry> list;
  while (dirent* entry = ::readdir(proc)) {
    if (!AllDigits(entry->d_name)) continue;
    std::ifstream in(std::string("/proc/") + entry->d_name + "/cmdline", std::ios::binary);
    if (!in) continue;  // the process ended meanwhile
    // Only the first argument is needed; a command line can be very long.
    std::string cmdline(4096, '\0');
    in.read(cmdline.data(), static_cast<std::streamsize>(cmdline.size()));
    cmdline.resize(static_cast<size_t>(in.gcount()));
    std::string argv0 = cmdline.substr(0, cmdline.find('\0'));
    if (argv0.empty()) continue;  // kernel threads have no command line
    list.push_back(ProcessEntry{std::stoi(entry->d_name), BaseName(argv0)});
  }
  ::closedir(proc);
  return list;
}

std::vector<ProcessEntry> ProcessesHoldingOpen(const std::filesystem::path& file) {
  namespace fs = std::filesystem;
  std::vector<ProcessEntry> holders;
  std::error_code ec;
  const fs::path target = fs::canonical(file, ec);
  if (ec) return holders;
  std::optional<std::vector<ProcessEntry>> processes = SystemProcessList();
  if (!processes) return holders;
  for (const ProcessEntry& p : *processes) {
    const fs::path fds = fs::path("/proc") / std::to_string(p.pid) / "fd";
    // Another user's descriptors cannot be read: such a process stays unseen.
    for (auto it = fs::directory_iterator(fds, ec); !ec && it != fs::directory_iterator();
         it.increment(ec)) {
      std::error_code linkError;
      if (fs::read_symlink(it->path(), linkError) == target && !linkError) {
        holders.push_back(p);
        break;
      }
    }
    ec.clear();
  }
  return holders;
}

}  // namespace quorrel

// The processes running on this machine.
#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace quorrel {

struct ProcessEntry {
  int pid = 0;
  std::string exeName;  // the executable's file name, without folders
};

using ProcessListSource = std::function<std::optional<std::vector<ProcessEntry>>()>;

// A snapshot of the running processes as the system gives it; nullopt when it
// cannot be taken. On POSIX the name is the base name of argv[0].
std::optional<std::vector<ProcessEntry>> SystemProcessList();

// The snapshot every caller sees: the system's unless a source was set.
std::optional<std::vector<ProcessEntry>> ProcessList();
// Replaces the source (empty restores the system's); returns the old one.
ProcessListSource SetProcessListSource(ProcessListSource source);

// The processes that hold `file` open, as far as the system lets this user
// see (on Linux: the descriptors under /proc/<pid>/fd of the processes it may
// look into). Empty when none is seen, or where the system does not tell.
std::vector<ProcessEntry> ProcessesHoldingOpen(const std::filesystem::path& file);

}  // namespace quorrel

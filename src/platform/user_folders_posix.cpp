#include "platform/user_folders.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "platform/files.h"
#include "platform/paths.h"

namespace quorrel {

namespace {

// $VAR when it is an absolute path (the XDG rule: a relative one is ignored),
// else $HOME/<fallback>.
std::filesystem::path XdgFolder(const char* variable, const char* fallback) {
  if (const char* value = std::getenv(variable); value != nullptr && value[0] == '/') {
    return std::filesystem::path(value);
  }
  const char* home = std::getenv("HOME");
  if (home != nullptr && *home != 0) return std::filesystem::path(home) / fallback;
  return std::filesystem::path("/tmp") / fallback;
}

bool UnderUsr(const std::filesystem::path& folder) {
  std::error_code ec;
  const std::filesystem::path real = std::filesystem::weakly_canonical(folder, ec);
  const std::filesystem::path& p = ec ? folder : real;
  auto it = p.begin();
  return it != p.end() && *it == "/" && ++it != p.end() && *it == "usr";
}

std::string MakeFolder(const std::filesystem::path& folder) {
  std::error_code ec;
  if (std::filesystem::create_directories(folder, ec)) ::chmod(folder.c_str(), 0700);
  return folder.string();
}

}  // namespace

ProgramFolders ProgramFoldersFor(const std::string& programFolder) {
  ProgramFolders folders;
  folders.perUser = UnderUsr(programFolder) || ::access(programFolder.c_str(), W_OK) != 0;
  if (!folders.perUser) {
    folders.nvFolder = programFolder;
    return folders;
  }
  folders.nvFolder = MakeFolder(XdgFolder("XDG_DATA_HOME", ".local/share") / "quorrel" / "nv");
  folders.logBase = MakeFolder(XdgFolder("XDG_STATE_HOME", ".local/state") / "quorrel");
  return folders;
}

std::string UserStateFolder() {
  return MakeFolder(XdgFolder("XDG_STATE_HOME", ".local/state") / "quorrel");
}

std::string UserConfigFolder() {
  return MakeFolder(XdgFolder("XDG_CONFIG_HOME", ".config") / "quorrel");
}

ProgramFolders DefaultProgramFolders() {
  return ProgramFoldersFor(ExecutableDirectory());
}

std::string ProgramDataFile(std::string_view name) {
  // Beside the executable, the path is formed as the program always formed
  // it (and mapped when used).
  const std::string program = ExecutableDirectory();
  const std::string beside = program + "\\" + std::string(name);
  std::error_code ec;
  if (std::filesystem::exists(MapPath(beside), ec)) return beside;
  const std::filesystem::path installed =
      std::filesystem::path(program).parent_path() / "share" / "quorrel" / name;
  if (std::filesystem::exists(installed, ec)) return installed.string();
  return beside;
}

}  // namespace quorrel

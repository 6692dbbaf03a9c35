// Windows keeps everything beside the executable, as the program always did.
#include "platform/user_folders.h"

#include "platform/files.h"

namespace quorrel {

ProgramFolders ProgramFoldersFor(const std::string& programFolder) {
  ProgramFolders folders;
  folders.nvFolder = programFolder;
  return folders;
}

ProgramFolders DefaultProgramFolders() {
  return ProgramFoldersFor(ExecutableDirectory());
}

std::string UserStateFolder() {
  return ExecutableDirectory();
}

std::string UserConfigFolder() {
  return ExecutableDirectory();
}

std::string ProgramDataFile(std::string_view name) {
  return ExecutableDirectory() + "\\" + std::string(name);
}

}  // namespace quorrel

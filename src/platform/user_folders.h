// Where the program writes what it would keep beside its executable.
//
// Run from a folder it can write (a build tree, an unpacked archive), the
// program keeps its NV backups there and its logs under the folder it was
// started from, as ever. Installed in a shared system folder (/usr/bin), it
// writes per user instead:
//
//   NV folder    ${XDG_DATA_HOME:-$HOME/.local/share}/quorrel/nv
//   log base     ${XDG_STATE_HOME:-$HOME/.local/state}/quorrel   (its Logs folder)
//
// A folder under /usr counts as shared even for a user who could write it
// (root), so an installed program never writes into its own installation.
#pragma once

#include <string>
#include <string_view>

namespace quorrel {

struct ProgramFolders {
  bool perUser = false;
  // The default NV folder (and the document's other defaults): the program's
  // folder, or the per-user one.
  std::string nvFolder;
  // The folder the Logs folder goes in; empty: the folder the program was
  // started from.
  std::string logBase;
};

// For the executable's folder `programFolder`; the per-user folders are
// created (mode 0700) when they are the answer.
ProgramFolders ProgramFoldersFor(const std::string& programFolder);
// For the running executable.
ProgramFolders DefaultProgramFolders();

// A file installed with the program for reading (the help document, the
// modem table): beside the executable when it is there, else in the data
// folder of the installation (<prefix>/share/quorrel, the executable being
// in <prefix>/bin). The path beside the executable when neither exists.
std::string ProgramDataFile(std::string_view name);

// The user's own folders of the program, created when missing (mode 0700):
// state (the record of every job, results.jsonl) in
// ${XDG_STATE_HOME:-$HOME/.local/state}/quorrel, configuration (the
// station file) in ${XDG_CONFIG_HOME:-$HOME/.config}/quorrel. On Windows
// both are the executable's folder.
std::string UserStateFolder();
std::string UserConfigFolder();

}  // namespace quorrel

// Starting another program, or opening a document with the program the
// desktop associates with it.
#pragma once

#include <functional>
#include <string>

namespace quorrel {

enum class ShowCommand { Normal, Maximized };

struct ShellRequest {
  std::string verb;        // "open"
  std::string file;        // a Windows path (mapped with MapPath)
  std::string parameters;  // blank-separated arguments; may be empty
  ShowCommand show = ShowCommand::Normal;
};

using ShellHandler = std::function<bool(const ShellRequest&)>;

// True when the start was made. Goes to the handler set with SetShellHandler,
// else to SystemShellOpen.
bool ShellOpen(const ShellRequest& request);
// Replaces the handler (empty restores the system's); returns the old one.
ShellHandler SetShellHandler(ShellHandler handler);

// POSIX: an executable file is started detached with the parameters; any
// other existing file is handed to xdg-open. A Windows program file that is
// not executable here (.exe, .com, .bat, .cmd) cannot be started: false.
bool SystemShellOpen(const ShellRequest& request);

}  // namespace quorrel

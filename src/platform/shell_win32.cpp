#include "platform/shell.h"
#include "platform/win32_api.h"

#include <shellapi.h>

namespace quorrel {

bool SystemShellOpen(const ShellRequest& request) {
  const char* parameters = request.parameters.empty() ? nullptr : request.parameters.c_str();
  const int show = request.show == ShowCommand::Maximized ? SW_SHOWMAXIMIZED : SW_SHOWNORMAL;
  HINSTANCE result = ::ShellExecuteA(nullptr, request.verb.c_str(), request.file.c_str(),
                                     parameters, nullptr, show);
  // Values above 32 mean success.
  return reinterpret_cast<INT_PTR>(result) > 32;
}

}  // namespace quorrel

#include <string>

#include "platform/named_mutex.h"
#include "platform/win32_api.h"

namespace quorrel {

std::unique_ptr<NamedMutex> NamedMutex::Create(std::string_view name, bool* alreadyExists) {
  if (alreadyExists != nullptr) *alreadyExists = false;
  if (name.empty() || name.size() >= MAX_PATH) return nullptr;
  const std::string text(name);
  ::SetLastError(ERROR_SUCCESS);
  HANDLE h = ::CreateMutexA(nullptr, FALSE, text.c_str());
  if (h == nullptr) {
    // A mutex of that name made by a more privileged process can still be
    // there; it counts as taken.
    if (::GetLastError() == ERROR_ACCESS_DENIED && alreadyExists != nullptr) {
      *alreadyExists = true;
    }
    return nullptr;
  }
  const bool existed = ::GetLastError() == ERROR_ALREADY_EXISTS;
  if (existed && alreadyExists != nullptr) *alreadyExists = true;
  return std::unique_ptr<NamedMutex>(new NamedMutex(reinterpret_cast<intptr_t>(h), !existed));
}

NamedMutex::~NamedMutex() {
  ::CloseHandle(reinterpret_cast<HANDLE>(handle_));
}

}  // namespace quorrel

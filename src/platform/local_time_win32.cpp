#include "platform/local_time.h"
#include "platform/win32_api.h"

namespace quorrel {

LocalTime SystemLocalTime() {
  SYSTEMTIME t{};
  ::GetLocalTime(&t);
  return LocalTime{t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond};
}

}  // namespace quorrel

#include <time.h>

#include "platform/local_time.h"

namespace quorrel {

LocalTime SystemLocalTime() {
  time_t now = ::time(nullptr);
  struct tm tm {};
  ::localtime_r(&now, &tm);
  return LocalTime{tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec};
}

}  // namespace quorrel

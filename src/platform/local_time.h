// The local wall-clock time in whole seconds, for time stamps in logs.
// Injectable, so that time stamps can be tested exactly.
#pragma once

#include <functional>

namespace quorrel {

struct LocalTime {
  int year = 0;    // e.g. 2010
  int month = 0;   // 1-12
  int day = 0;     // 1-31
  int hour = 0;    // 0-23
  int minute = 0;  // 0-59
  int second = 0;  // 0-59 (60 for a leap second)
};

using LocalTimeSource = std::function<LocalTime()>;

LocalTime SystemLocalTime();
// What every caller sees: the system's time unless a source was set.
LocalTime CurrentLocalTime();
// Replaces the source (empty restores the system's); returns the old one.
LocalTimeSource SetLocalTimeSource(LocalTimeSource source);

}  // namespace quorrel

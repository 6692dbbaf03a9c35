// Formats of the line logs: time stamps, file names, the action log file.
#pragma once

#include <string>
#include <string_view>

#include "platform/local_time.h"

namespace quorrel {

// "2010.3.5 9:7:2——": numbers without leading zeros, then two em dashes.
std::string StatusTimeStamp(const LocalTime& t);
// "201035972": the six numbers without leading zeros or separators.
std::string FileTimeStamp(const LocalTime& t);

// "<dir>\Logs".
std::string LogFolder(std::string_view startupDirectory);
// "<dir>\Logs\ActionLog<n>_<stamp>.txt" with the line number 1-8.
std::string ActionLogPath(std::string_view startupDirectory, int lineNumber,
                          std::string_view fileStamp);

// The log text as stored in a file: every line feed becomes CR LF.
std::string ToFileText(std::string_view logText);

}  // namespace quorrel

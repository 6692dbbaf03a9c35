#include "app/logs.h"

#include "util/text.h"

namespace quorrel {

std::string StatusTimeStamp(const LocalTime& t) {
  return Format("%d.%d.%d %d:%d:%d\u2014\u2014", t.year, t.month, t.day, t.hour, t.minute,
                t.second);
}

std::string FileTimeStamp(const LocalTime& t) {
  return Format("%d%d%d%d%d%d", t.year, t.month, t.day, t.hour, t.minute, t.second);
}

std::string LogFolder(std::string_view startupDirectory) {
  return std::string(startupDirectory) + "\\Logs";
}

std::string ActionLogPath(std::string_view startupDirectory, int lineNumber,
                          std::string_view fileStamp) {
  return LogFolder(startupDirectory) + Format("\\ActionLog%d_", lineNumber) +
         std::string(fileStamp) + ".txt";
}

std::string ToFileText(std::string_view logText) {
  std::string out;
  out.reserve(logText.size() + logText.size() / 16);
  for (char c : logText) {
    if (c == '\n') out.push_back('\r');
    out.push_back(c);
  }
  return out;
}

}  // namespace quorrel

// Which modem each line serves when every attached modem gets a line of its
// own (a flashing station). Off by default: then line 1 takes whichever
// modem discovery finds, as a single-line form does.
//
// A modem is known by its place (the USB port path on Linux, the device
// instance on Windows). A place seen for the first time takes the line the
// station file names for it, or else the lowest line that is free; it keeps
// that line until its modem is no longer attached and the line's job does
// not hold it (a modem re-enumerating during its job stays on its line).
//
// Safe to call from any thread.
#pragma once

#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "lines/line_slot.h"

namespace quorrel {

// A station file: USB port paths mapped to lines (0-based here).
struct StationMap {
  std::map<std::string, int> lineOfPlace;
};

// Reads a station file's text: one "<place> <line 1-8>" pair per line,
// blank lines and "#" comments ignored. A malformed line, a line number
// outside 1-8, a place named twice or two places on one line are refused as
// a whole: std::nullopt and *error names the first problem with its line
// number (origin names the file in the message).
std::optional<StationMap> ParseStationMap(std::string_view text, std::string_view origin,
                                          std::string* error);

class LineAssignment {
 public:
  bool Enabled() const;
  // Gives every modem a line of its own from now on, with the station
  // file's fixed lines.
  void Enable(StationMap map = {});

  // Brings the assignment up to date with the places where modems are
  // attached now, in the order given: a line whose place is gone is freed
  // unless held(line); a new place takes its station line (when that line
  // is free) or the lowest free line that the station file does not
  // reserve. A place with no free line gets none until one is freed.
  void Update(const std::vector<std::string>& places, const std::function<bool(int line)>& held);

  // The place a line serves; empty when none.
  std::string PlaceOf(int line) const;
  std::optional<int> LineOf(std::string_view place) const;

 private:
  bool Reserved(int line) const;

  mutable std::mutex mutex_;
  bool enabled_ = false;
  StationMap map_;
  std::array<std::string, kLineCount> places_{};
};

}  // namespace quorrel

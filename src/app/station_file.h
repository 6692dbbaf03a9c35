// The station file a station starts with: which USB port path is which line.
#pragma once

#include <optional>
#include <string>

#include "lines/line_assignment.h"

namespace quorrel {

// The file named, else station.conf in the user's config folder when there
// is one (none: no fixed lines). nullopt, with the reason in *error, when a
// file could not be read or is not a station file.
std::optional<StationMap> LoadStationFile(const std::string& named, std::string* error);

}  // namespace quorrel

#include "lines/line_assignment.h"

#include <algorithm>
#include <set>

#include "util/text.h"

namespace quorrel {

namespace {

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t' || s.front() == '\r'))
    s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r'))
    s.remove_suffix(1);
  return s;
}

}  // namespace

std::optional<StationMap> ParseStationMap(std::string_view text, std::string_view origin,
                                          std::string* error) {
  StationMap map;
  std::set<int> taken;
  int number = 0;
  auto fail = [&](const std::string& why) {
    if (error)
      *error = Format("%.*s:%d: %s", static_cast<int>(origin.size()), origin.data(), number,
                      why.c_str());
    return std::nullopt;
  };
  while (!text.empty()) {
    ++number;
    const size_t end = text.find('\n');
    std::string_view row = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    if (const size_t hash = row.find('#'); hash != std::string_view::npos)
      row = row.substr(0, hash);
    row = Trim(row);
    if (row.empty()) continue;
    const size_t gap = row.find_first_of(" \t");
    if (gap == std::string_view::npos)
      return fail("expected a USB port path and a line number (1-8)");
    const std::string place(row.substr(0, gap));
    const std::string_view lineText = Trim(row.substr(gap));
    if (lineText.size() != 1 || lineText[0] < '1' || lineText[0] > '0' + kLineCount) {
      return fail(Format("the line must be a number from 1 to %d, not \"%.*s\"", kLineCount,
                         static_cast<int>(lineText.size()), lineText.data()));
    }
    const int line = lineText[0] - '1';
    if (map.lineOfPlace.count(place)) return fail("the port path " + place + " is named twice");
    if (!taken.insert(line).second)
      return fail(Format("line %d is given to two port paths", line + 1));
    map.lineOfPlace.emplace(place, line);
  }
  return map;
}

bool LineAssignment::Enabled() const {
  std::lock_guard lock(mutex_);
  return enabled_;
}

void LineAssignment::Enable(StationMap map) {
  std::lock_guard lock(mutex_);
  enabled_ = true;
  map_ = std::move(map);
}

bool LineAssignment::Reserved(int line) const {
  return std::any_of(map_.lineOfPlace.begin(), map_.lineOfPlace.end(),
                     [line](const auto& entry) { return entry.second == line; });
}

void LineAssignment::Update(const std::vector<std::string>& places,
                            const std::function<bool(int line)>& held) {
  std::lock_guard lock(mutex_);
  for (int line = 0; line < kLineCount; ++line) {
    std::string& place = places_[static_cast<size_t>(line)];
    if (place.empty()) continue;
    const bool attached = std::find(places.begin(), places.end(), place) != places.end();
    if (!attached && !(held && held(line))) place.clear();
  }
  for (const std::string& place : places) {
    if (place.empty()) continue;
    if (std::find(places_.begin(), places_.end(), place) != places_.end()) continue;
    std::optional<int> chosen;
    if (auto fixed = map_.lineOfPlace.find(place); fixed != map_.lineOfPlace.end()) {
      if (places_[static_cast<size_t>(fixed->second)].empty()) chosen = fixed->second;
    } else {
      for (int line = 0; line < kLineCount && !chosen; ++line) {
        if (places_[static_cast<size_t>(line)].empty() && !Reserved(line)) chosen = line;
      }
    }
    if (chosen) places_[static_cast<size_t>(*chosen)] = place;
  }
}

std::string LineAssignment::PlaceOf(int line) const {
  std::lock_guard lock(mutex_);
  if (line < 0 || line >= kLineCount) return {};
  return places_[static_cast<size_t>(line)];
}

std::optional<int> LineAssignment::LineOf(std::string_view place) const {
  std::lock_guard lock(mutex_);
  for (int line = 0; line < kLineCount; ++line) {
    if (!place.empty() && places_[static_cast<size_t>(line)] == place) return line;
  }
  return std::nullopt;
}

}  // namespace quorrel

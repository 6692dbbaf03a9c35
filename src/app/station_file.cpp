#include "app/station_file.h"

#include <filesystem>
#include <system_error>

#include "platform/files.h"
#include "platform/user_folders.h"

namespace quorrel {

namespace {

constexpr size_t kStationFileLimit = 64 * 1024;

}  // namespace

std::optional<StationMap> LoadStationFile(const std::string& named, std::string* error) {
  std::string path = named;
  if (path.empty()) {
    path = (std::filesystem::path(UserConfigFolder()) / "station.conf").string();
    std::error_code ec;
    if (!std::filesystem::exists(path, ec)) return StationMap{};
  }
  std::optional<std::string> text = ReadWholeFile(path, kStationFileLimit);
  if (!text) {
    *error = "cannot read the station file " + path;
    return std::nullopt;
  }
  return ParseStationMap(*text, path, error);
}

}  // namespace quorrel

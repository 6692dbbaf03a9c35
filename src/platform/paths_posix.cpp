#include "platform/paths.h"

#include <cctype>
#include <string>
#include <vector>

#include "platform/root.h"

namespace quorrel {

namespace {

bool HasDrive(std::string_view p) {
  return p.size() >= 2 && p[1] == ':' && std::isalpha(static_cast<unsigned char>(p[0])) != 0;
}

std::string Slashes(std::string_view p) {
  std::string out(p);
  for (char& c : out) {
    if (c == '\\') c = '/';
  }
  return out;
}

}  // namespace

std::filesystem::path MapPath(std::string_view windowsPath) {
  if (!HasDrive(windowsPath)) return std::filesystem::path(Slashes(windowsPath));
  std::string drive = "drive_";
  drive += static_cast<char>(std::tolower(static_cast<unsigned char>(windowsPath[0])));
  const std::string rest = Slashes(windowsPath.substr(2));
  // The components below the drive, with "." dropped and ".." taking one
  // back; as on Windows, ".." at the drive's root stays there, so no path
  // leads out of the drive's folder.
  std::vector<std::string_view> parts;
  std::string_view r = rest;
  while (!r.empty()) {
    const size_t cut = r.find('/');
    const std::string_view part = r.substr(0, cut);
    r = cut == std::string_view::npos ? std::string_view() : r.substr(cut + 1);
    if (part.empty() || part == ".") continue;
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
      continue;
    }
    parts.push_back(part);
  }
  // "C:" and "C:\" both name the drive's root folder.
  std::string mapped = (QuorrelRoot() / drive).string();
  mapped += '/';
  for (size_t i = 0; i < parts.size(); ++i) {
    if (i > 0) mapped += '/';
    mapped += parts[i];
  }
  if (!parts.empty() && rest.back() == '/') mapped += '/';
  return std::filesystem::path(mapped);
}

std::string NativePath(std::string_view path) {
  return MapPath(path).string();
}

}  // namespace quorrel

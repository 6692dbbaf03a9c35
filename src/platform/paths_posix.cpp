#include "platform/paths.h"

#include <cctype>
#include <string>

#include "platform/root.h"

namespace quorrel {

namespace {

bool HasDrive(std::string_view p) {
  return p.size() >= 2 && p[1] == ':' &&
         std::isalpha(static_cast<unsigned char>(p[0])) != 0;
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
  std::string rest = Slashes(windowsPath.substr(2));
  // "C:" and "C:\" both name the drive's root folder.
  std::string mapped = (QuorrelRoot() / drive).string();
  if (rest.empty() || rest.front() != '/') mapped += '/';
  mapped += rest;
  return std::filesystem::path(mapped);
}

}  // namespace quorrel

#include "platform/port_access.h"

#include <mutex>
#include <set>
#include <utility>

#include "util/text.h"

namespace quorrel {

namespace {

struct Notes {
  std::mutex mutex;
  std::set<std::string> noted;
  std::vector<std::string> pending;
};

Notes& TheNotes() {
  static Notes notes;
  return notes;
}

}  // namespace

std::string PortAccessText(int port, const std::string& device) {
  return Format(
      "Cannot open %s (COM%d): permission denied. Add yourself to the dialout group "
      "(sudo usermod -aG dialout $USER, then log in again), or install quorrel's udev rule "
      "(70-quorrel.rules, in the package) and plug the modem in again.",
      device.c_str(), port);
}

void NotePortAccessDenied(int port, const std::string& device) {
  Notes& notes = TheNotes();
  std::lock_guard<std::mutex> lock(notes.mutex);
  if (!notes.noted.insert(device).second) return;
  notes.pending.push_back(PortAccessText(port, device));
}

std::vector<std::string> TakePortAccessProblems() {
  Notes& notes = TheNotes();
  std::lock_guard<std::mutex> lock(notes.mutex);
  return std::exchange(notes.pending, {});
}

}  // namespace quorrel

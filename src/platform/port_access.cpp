#include "platform/port_access.h"

#include <mutex>
#include <set>
#include <utility>

#include "platform/modem_manager.h"
#include "platform/usb_bridge.h"
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

std::string PortAccessFix(std::optional<std::pair<uint16_t, uint16_t>> identity) {
  std::string text =
      "Add yourself to the dialout group (sudo usermod -aG dialout $USER, then log in again), or ";
  if (!identity)
    return text +
           "install quorrel's udev rule (70-quorrel.rules, in the package) and plug the modem in "
           "again.";
  // The package's rule covers only the modems of the table it was built
  // from: a rule for this very modem.
  return text + Format(
                    "give the user at the seat this modem with a udev rule: quorrel-cli udev-rule "
                    "%04x:%04x | "
                    "sudo tee /etc/udev/rules.d/70-quorrel-local.rules, then sudo udevadm control "
                    "--reload and "
                    "plug the modem in again.",
                    identity->first, identity->second);
}

std::string PortAccessText(int port, const std::string& device) {
  std::optional<std::pair<uint16_t, uint16_t>> identity;
  const std::string usb = UsbDeviceOfPort(port);
  if (!usb.empty()) identity = UsbIdentityOfFolder(usb);
  return Format("Cannot open %s (COM%d): permission denied. ", device.c_str(), port) +
         PortAccessFix(identity);
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

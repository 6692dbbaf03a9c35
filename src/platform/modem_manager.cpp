// What the program says about ModemManager, on every system.
#include "platform/modem_manager.h"

#include "platform/modem_table.h"
#include "platform/usb_bridge.h"
#include "util/text.h"

namespace quorrel {

std::string ModemManagerRefusalAdvice(const std::string& uid, const std::string& detail) {
  std::string text = Format(
      "ModemManager is running and would not leave the modem at %s alone (%s). It would probe the "
      "modem's ports "
      "in the middle of the job. Any of these helps:\n",
      uid.c_str(), detail.c_str());
  if (std::optional<std::pair<uint16_t, uint16_t>> id = UsbIdentityOfFolder(uid)) {
    text += Format(
        "- A udev rule for this modem, which also gives you its ports: put the line\n"
        "    %s\n"
        "  into /etc/udev/rules.d/70-quorrel-local.rules (quorrel-cli udev-rule %04x:%04x | sudo "
        "tee "
        "/etc/udev/rules.d/70-quorrel-local.rules), then run sudo udevadm control --reload and "
        "plug the modem in "
        "again.\n",
        UdevRuleLine(id->first, id->second).c_str(), id->first, id->second);
  } else {
    text +=
        "- quorrel's udev rule (70-quorrel.rules, in the package); plug the modem in again after "
        "installing it.\n";
  }
  text +=
      "- Stop ModemManager while you update: sudo systemctl stop ModemManager (and sudo systemctl "
      "start "
      "ModemManager afterwards).\n"
      "- Without the rule, the modem's ports need the dialout group: sudo usermod -aG dialout "
      "$USER, then log in "
      "again.\n"
      "The option --ignore-modem-manager starts regardless.";
  return text;
}

}  // namespace quorrel

// What the USB bridge makes of a device as sysfs shows it, on every system.
#include "platform/usb_bridge.h"

#include "util/text.h"

namespace quorrel {

std::string UsbDeviceInfo::AppearanceKey() const {
  return Format("%s %d %04x:%04x", portPath.c_str(), devnum, vendorId, productId);
}

bool UsbDeviceInfo::DownloadMode() const {
  return interfaceCount == 1 && interfaces.size() == 1 && interfaces[0].driver == "qcserial";
}

std::string UsbDeviceInfo::ModemDriver() const {
  for (const UsbInterfaceInfo& i : interfaces) {
    if (i.driver == "qcserial") return "qcserial";
  }
  for (const UsbInterfaceInfo& i : interfaces) {
    if (i.driver == "option") return "option";
  }
  return interfaceCount == 1 ? "qcserial" : "option";
}

std::vector<const UsbInterfaceInfo*> UsbDeviceInfo::Candidates() const {
  std::vector<const UsbInterfaceInfo*> out;
  for (const UsbInterfaceInfo& i : interfaces) {
    if (IsModemCandidate(i)) out.push_back(&i);
  }
  return out;
}

const UsbInterfaceInfo* UsbDeviceInfo::Interface(int number) const {
  for (const UsbInterfaceInfo& i : interfaces) {
    if (i.number == number) return &i;
  }
  return nullptr;
}

bool IsModemCandidate(const UsbInterfaceInfo& i) {
  const bool modemDriver = i.driver == "option" || i.driver == "qcserial";
  // Where sysfs names the usb-serial port's driver, it must be the modem
  // driver's own port driver too.
  const bool portDriver = i.serialDriver.empty() || i.serialDriver.compare(0, 6, "option") == 0 ||
                          i.serialDriver == "qcserial";
  return i.interfaceClass == 0xFF && modemDriver && portDriver && !i.tty.empty() && i.node;
}

}  // namespace quorrel

// POSIX ttys attached under <root>/dosdevices.
#include "platform/serial_port.h"

namespace quorrel {

namespace {
class TtyDevices : public SerialDevices {
 public:
  std::unique_ptr<SerialDevice> Open(int, int, int, int) override { return nullptr; }
};
}  // namespace

SerialDevices& SystemSerialDevices() {
  static TtyDevices devices;
  return devices;
}

}  // namespace quorrel

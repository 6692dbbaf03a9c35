#include "ports/port_discovery.h"

#include <cstdint>
#include <optional>
#include <string>

#include "lines/control_ids.h"
#include "platform/registry.h"
#include "platform/usb_bridge.h"
#include "util/text.h"

namespace quorrel {

namespace {

constexpr const char kServicesKey[] = "SYSTEM\\CurrentControlSet\\Services\\";
constexpr const char kEnumKey[] = "SYSTEM\\CurrentControlSet\\Enum\\";
constexpr uint32_t kStringBufferSize = 1024;

constexpr const char kReadyText[] = "Готово. Нажмите кнопку для начала обновления";
constexpr const char kWaitText[] = "пожалуйста подождите...";

// The device path of the most recently listed instance of the first service
// that has one.
template <size_t N>
std::optional<std::string> FindDevicePath(const std::array<const char*, N>& services) {
  RegistryKey key;
  for (const char* service : services) {
    std::string enumKey = std::string(kServicesKey) + service + "\\Enum";
    if (key.Open(RegistryRoot::LocalMachine, enumKey, kKeyAllAccess) != kRegistryOk) continue;
    uint32_t count = 0;
    if (key.QueryDword("Count", &count) != kRegistryOk) continue;
    // A Count of 0 names the value "-1", which no service writes.
    std::string name = Format("%lld", static_cast<long long>(static_cast<int32_t>(count)) - 1);
    char buffer[kStringBufferSize];
    uint32_t size = sizeof buffer;
    if (key.QueryString(name, buffer, &size) != kRegistryOk) continue;
    key.Close();
    return std::string(buffer);
  }
  key.Close();
  return std::nullopt;
}

std::optional<int> ReadPortNumber(const std::string& devicePath) {
  RegistryKey key;
  std::string parameters = std::string(kEnumKey) + devicePath + "\\Device Parameters";
  if (key.Open(RegistryRoot::LocalMachine, parameters, kKeyAllAccess) != kRegistryOk) return std::nullopt;
  char buffer[kStringBufferSize];
  uint32_t size = sizeof buffer;
  if (key.QueryString("PortName", buffer, &size) != kRegistryOk) return std::nullopt;
  return PortNumberFromName(buffer);
}

}  // namespace

int PortNumberFromName(std::string_view portName) {
  if (portName.size() < 3) return 0;
  int value = 0;
  for (char c : portName.substr(3)) {
    if (c < '0' || c > '9') break;
    value = value * 10 + (c - '0');
    if (value > 99999) return 0;
  }
  return value;
}

int DiscoverLinePorts(CQuorrelDoc& doc, int /*line*/) {
  // On Linux the modems in sysfs are brought into the registry first.
  (void)PollUsbBridge();
  SettingsRecord& ports = doc.line(0).settings;
  if (std::optional<std::string> modem = FindDevicePath(kModemServices)) {
    if (std::optional<int> port = ReadPortNumber(*modem)) ports.atPort = *port;
  }
  std::optional<std::string> serial = FindDevicePath(kSerialServices);
  if (!serial) return 0;
  std::optional<int> port = ReadPortNumber(*serial);
  if (!port) return 0;
  ports.diagPort = *port;
  return 1;
}

void ShowLinePort(CQuorrelDoc& doc, LineDisplay& display, int line) {
  int port = doc.line(line).settings.diagPort;
  display.SetPortText(line, port != 0 ? Format("COM%d", port) : std::string("NULL"));
}

void ShowLineVersion(CQuorrelDoc& doc, LineDisplay& display, int line) {
  LineJob& job = doc.line(line);
  std::string version = job.VersionText();
  if (version.find("6290") != std::string::npos) {
    AtChannel& at = doc.at(line);
    if (!at.GetVersion(version)) {
      doc.OpenAtPort(line, job.settings.atPort, CQuorrelDoc::kBaudRate);
      if (at.GetVersion(version)) job.phoneState = kPhoneAnswered;
    }
  }
  display.SetVersionText(line, version);
  if (line == 0) {
    std::string stored = job.VersionText();
    if (stored != "NULL" && !stored.empty() && stored != kNoPhoneText) {
      display.SetControlText(controls::kStateLine, kReadyText);
    } else {
      display.SetControlText(controls::kStateLine, kWaitText);
      display.EnableControl(controls::kDownload, false);
    }
  }
}

}  // namespace quorrel

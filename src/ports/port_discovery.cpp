#include "ports/port_discovery.h"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "lines/control_ids.h"
#include "platform/registry.h"
#include "platform/usb_bridge.h"
#include "util/text.h"

namespace quorrel {

namespace {

constexpr const char kServicesKey[] = "SYSTEM\\CurrentControlSet\\Services\\";
constexpr const char kEnumKey[] = "SYSTEM\\CurrentControlSet\\Enum\\";
constexpr uint32_t kStringBufferSize = 1024;
// Devices looked at in one service's list.
constexpr uint32_t kMaxListed = 64;

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

// Every device path listed under any of the services, with its index, in
// service order.
template <size_t N>
std::vector<std::string> ListedDevicePaths(const std::array<const char*, N>& services) {
  RegistryKey key;
  std::vector<std::string> paths;
  for (const char* service : services) {
    std::string enumKey = std::string(kServicesKey) + service + "\\Enum";
    if (key.Open(RegistryRoot::LocalMachine, enumKey, kKeyAllAccess) != kRegistryOk) continue;
    uint32_t count = 0;
    if (key.QueryDword("Count", &count) == kRegistryOk) {
      for (uint32_t i = 0; i < count && i < kMaxListed; ++i) {
        char buffer[kStringBufferSize];
        uint32_t size = sizeof buffer;
        if (key.QueryString(Format("%u", i), buffer, &size) == kRegistryOk)
          paths.emplace_back(buffer);
      }
    }
    key.Close();
  }
  return paths;
}

std::optional<int> ReadPortNumber(const std::string& devicePath) {
  RegistryKey key;
  std::string parameters = std::string(kEnumKey) + devicePath + "\\Device Parameters";
  if (key.Open(RegistryRoot::LocalMachine, parameters, kKeyAllAccess) != kRegistryOk)
    return std::nullopt;
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

std::string DeviceLocation(std::string_view devicePath) {
  const size_t cut = devicePath.rfind('\\');
  return std::string(cut == std::string_view::npos ? devicePath : devicePath.substr(cut + 1));
}

namespace {

std::string SerialAt(const std::vector<UsbModem>& usb, const std::string& location) {
  for (const UsbModem& m : usb) {
    if (m.location == location) return m.serial;
  }
  return {};
}

// The ports listed at a place, into the line's settings, for a line that
// serves the modem there (bound to it, or given it by the assignment).
int TakePortsAt(LineJob& job, const std::string& location, const ModemBinding& binding,
                const std::vector<UsbModem>& usb) {
  std::optional<std::string> diag;
  for (const std::string& path : ListedDevicePaths(kSerialServices)) {
    if (DeviceLocation(path) == location) diag = path;
  }
  if (!diag) return 0;
  // Another modem plugged into the same place, where serial numbers tell.
  const std::string serial = SerialAt(usb, location);
  if (binding.Bound() && !serial.empty() && !binding.serial.empty() && serial != binding.serial) {
    job.SetPlace(ModemPlace{location, binding.serial, serial});
    return 0;
  }
  std::optional<int> port = ReadPortNumber(*diag);
  if (!port) return 0;
  SettingsRecord& ports = job.settings;
  for (const std::string& path : ListedDevicePaths(kModemServices)) {
    if (DeviceLocation(path) != location) continue;
    if (std::optional<int> at = ReadPortNumber(path)) ports.atPort = *at;
  }
  ports.diagPort = *port;
  job.SetPlace(ModemPlace{location, serial, {}});
  return 1;
}

// A single line: line 1 takes the most recently listed modem, or the one it
// is bound to.
int DiscoverLineOnePorts(CQuorrelDoc& doc, const std::vector<UsbModem>& usb) {
  LineJob& job = doc.line(0);
  SettingsRecord& ports = job.settings;
  const ModemBinding binding = job.Binding();
  if (binding.Bound()) return TakePortsAt(job, binding.location, binding, usb);

  // The most recently listed instance of the first service that lists one.
  if (std::optional<std::string> modem = FindDevicePath(kModemServices)) {
    if (std::optional<int> port = ReadPortNumber(*modem)) ports.atPort = *port;
  }
  std::optional<std::string> serial = FindDevicePath(kSerialServices);
  if (!serial) return 0;
  std::optional<int> port = ReadPortNumber(*serial);
  if (!port) return 0;
  ports.diagPort = *port;
  const std::string location = DeviceLocation(*serial);
  job.SetPlace(ModemPlace{location, SerialAt(usb, location), {}});
  return 1;
}

}  // namespace

std::vector<std::string> ListedModemPlaces() {
  std::vector<std::string> places;
  for (const std::string& path : ListedDevicePaths(kSerialServices)) {
    std::string location = DeviceLocation(path);
    if (std::find(places.begin(), places.end(), location) == places.end())
      places.push_back(std::move(location));
  }
  return places;
}

int DiscoverLinePorts(CQuorrelDoc& doc, int line) {
  // On Linux the modems in sysfs are brought into the registry first.
  const std::vector<UsbModem> usb = PollUsbBridge();
  LineAssignment& assignment = doc.assignment();
  if (!assignment.Enabled()) return DiscoverLineOnePorts(doc, usb);
  if (line < 0 || line >= kLineCount) return 0;

  // Every modem a line of its own: bring the assignment up to date with the
  // places that list a diagnostic port now; a bound line keeps its modem's
  // place while the modem is away.
  assignment.Update(ListedModemPlaces(), [&doc](int l) { return doc.line(l).Binding().Bound(); });
  LineJob& job = doc.line(line);
  const ModemBinding binding = job.Binding();
  const std::string place = binding.Bound() ? binding.location : assignment.PlaceOf(line);
  if (place.empty()) return 0;
  return TakePortsAt(job, place, binding, usb);
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
      if (at.GetVersion(version)) job.phoneState = PhoneState::Answered;
    }
  }
  job.SetShownVersionText(version);
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

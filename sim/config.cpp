#include "sim/config.h"

#include "util/text.h"

namespace quorrel::sim {

std::string_view ModeName(ModemMode mode) {
  switch (mode) {
    case ModemMode::Normal:
      return "normal";
    case ModemMode::Downloader:
      return "downloader";
    case ModemMode::Programmer:
      return "programmer";
    case ModemMode::Switching:
      return "switching";
    case ModemMode::Hung:
      return "hung";
    case ModemMode::Detached:
      return "detached";
  }
  return "unknown";
}

ModemConfig SwappedInConfig(const ModemConfig& config) {
  ModemConfig other = config;
  if (!config.swap) return other;
  other.seed = config.swap->seed;
  other.esn = config.swap->esn;
  other.usb.serial = config.swap->serial;
  other.nvContents.clear();
  other.challenge.reset();
  other.faults = FaultPlan{};
  other.startMode = ModemMode::Normal;
  other.swap.reset();
  return other;
}

std::string UsbSerial(const ModemConfig& config) {
  return config.usb.serial ? *config.usb.serial : Format("%08X", config.esn);
}

namespace {

// Bounds of a port path: the kernel's bus numbers, port numbers and depth.
constexpr int kMaxUsbBus = 127;
constexpr int kMaxUsbPort = 31;
constexpr size_t kMaxUsbDepth = 7;

bool SmallNumber(std::string_view text, int max, int* out) {
  if (text.empty() || text.size() > 3 || text[0] == '0') return false;
  int value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  *out = value;
  return value <= max;
}

// The bus and the port numbers of a path.
bool SplitUsbPath(std::string_view path, int* bus, std::vector<int>* ports) {
  const size_t dash = path.find('-');
  if (dash == std::string_view::npos || !SmallNumber(path.substr(0, dash), kMaxUsbBus, bus))
    return false;
  ports->clear();
  size_t start = dash + 1;
  for (;;) {
    const size_t dot = path.find('.', start);
    int port = 0;
    const std::string_view part =
        path.substr(start, dot == std::string_view::npos ? std::string_view::npos : dot - start);
    if (!SmallNumber(part, kMaxUsbPort, &port) || ports->size() >= kMaxUsbDepth) return false;
    ports->push_back(port);
    if (dot == std::string_view::npos) return true;
    start = dot + 1;
  }
}

}  // namespace

bool ValidUsbPortPath(const std::string& path) {
  int bus = 0;
  std::vector<int> ports;
  return SplitUsbPath(path, &bus, &ports);
}

std::string UsbCompanionPath(const std::string& path) {
  int bus = 0;
  std::vector<int> ports;
  if (!SplitUsbPath(path, &bus, &ports) || ports.size() != 1) return {};
  const int other = bus % 2 == 1 ? bus + 1 : bus - 1;
  if (other > kMaxUsbBus) return {};
  return Format("%d-%d", other, ports[0]);
}

std::string ImageTypeName(uint8_t type) {
  switch (type) {
    case 2:
      return "qcsblhd_cfgdata";
    case 3:
      return "qcsbl";
    case 4:
      return "oemsbl";
    case 5:
      return "amss";
    case 9:
      return "efs";
    case 10:
      return "nandprgcombined";
    default:
      return Format("type%u", type);
  }
}

std::string ImageHeaderName(uint8_t type) {
  switch (type) {
    case 4:
      return "oemsblhd";
    case 5:
      return "amsshd";
    case 10:
      return "nandprghd";
    default:
      return Format("type%uhd", type);
  }
}

}  // namespace quorrel::sim

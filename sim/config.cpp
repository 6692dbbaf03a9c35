#include "sim/config.h"

#include "util/text.h"

namespace quorrel::sim {

std::string_view ModeName(ModemMode mode) {
  switch (mode) {
    case ModemMode::Normal: return "normal";
    case ModemMode::Downloader: return "downloader";
    case ModemMode::Programmer: return "programmer";
    case ModemMode::Switching: return "switching";
    case ModemMode::Hung: return "hung";
    case ModemMode::Detached: return "detached";
  }
  return "unknown";
}

std::string ImageTypeName(uint8_t type) {
  switch (type) {
    case 2: return "qcsblhd_cfgdata";
    case 3: return "qcsbl";
    case 4: return "oemsbl";
    case 5: return "amss";
    case 9: return "efs";
    case 10: return "nandprgcombined";
    default: return Format("type%u", type);
  }
}

std::string ImageHeaderName(uint8_t type) {
  switch (type) {
    case 4: return "oemsblhd";
    case 5: return "amsshd";
    case 10: return "nandprghd";
    default: return Format("type%uhd", type);
  }
}

}  // namespace quorrel::sim

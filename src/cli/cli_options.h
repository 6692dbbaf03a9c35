// The command line of quorrel-cli: its options and their usage.
#pragma once

#include <optional>
#include <string>

#include "lines/line_slot.h"

namespace quorrel::cli {

struct Options {
  LineMode mode = LineMode::Download;
  bool command = false;  // download, backup-nv, restore-nv or repair given
  std::optional<int> nvOption;
  std::string release;
  std::string nvDir;
  std::string defaultNv;
  double timeScale = 0;  // 0: real time
  std::string trace;
  int waitSeconds = -1;
  bool ignoreModemManager = false;
  bool help = false;
  bool list = false;
  std::string device;  // --device: the USB modem for line 1
  bool noUsbBridge = false;
  bool otherModem = false;  // restore-nv --other-modem
  bool json = false;        // --json: the events as JSON lines
  bool fast = false;        // --fast: replies read as they arrive, waits end on events
  bool noUsbProbe = false;
  bool station = false;     // station: a job on every modem, each on a line
  bool once = false;        // station --once
  std::string stationFile;  // station --station FILE
};

extern const char kUsage[];

// The options of the command line; std::nullopt with *error on a mistake.
std::optional<Options> Parse(int argc, char** argv, std::string* error);

}  // namespace quorrel::cli

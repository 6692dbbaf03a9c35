// The command line of quorrel-sim: the modem's state and faults, and what the
// program does around it.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "sim/config.h"

namespace quorrel::sim {

struct SimOptions {
  ModemConfig modem;
  double timeScale = 1.0;  // every modem delay and pause is multiplied by it
  std::string reportPath;  // --report
  std::string dumpDir;     // --dump
  std::string winePrefix;  // --wine-prefix: attach to this Wine prefix
  bool quiet = false;
  bool usb = false;            // --usb: a USB device in $QUORREL_SYSFS (modem.usb)
  std::string swapReportPath;  // --swap-report: the swapped-in modem's report
  std::string swapDumpDir;     // --swap-dump
  bool help = false;
};

// Parses argv[1..]. On error returns nothing and sets *error.
std::optional<SimOptions> ParseSimOptions(const std::vector<std::string>& args, std::string* error);

// The --help text.
std::string SimUsage();

// "nth=3,count=2,mode=normal,code=0x26" (plus ms= for a delay, piece= and
// interval= for a split) into the fault, whose kind is already set. False,
// with the reason, on a bad pattern.
bool ParseReplyPattern(const std::string& pattern, ReplyFault* fault, std::string* error);

}  // namespace quorrel::sim

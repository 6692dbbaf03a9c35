// quorrel-sim's options as tables: each option's name, whether it takes a
// value, and the function that reads it into the options.
#pragma once

#include <span>
#include <string>

#include "sim/options.h"

namespace quorrel::sim {

// What the options leave for the checks at the end.
struct ParseState {
  SimOptions options;
  bool versionGiven = false;
  bool noTag = false;
  std::string usbOnly;  // the last option given that means nothing without --usb
  bool seedGivenForSwap = false;
  bool esnGivenForSwap = false;
};

// One option being read.
struct OptionCall {
  const std::string& name;
  ParseState& state;
  std::string* error;

  SimOptions& options() { return state.options; }
  ModemConfig& modem() { return state.options.modem; }
  FaultPlan& faults() { return state.options.modem.faults; }
  // Refuses the value, saying why after the option's name.
  bool Fail(const std::string& why) {
    *error = name + ": " + why;
    return false;
  }
};

struct Option {
  const char* name;
  bool takesValue;
  // False with *call.error set when the value is refused.
  bool (*read)(OptionCall& call, const std::string& value);
};

// The modem's identity, settings and timings.
std::span<const Option> ModemOptions();
// The faults to inject.
std::span<const Option> FaultOptions();
// The USB device, the swap, and what the program writes.
std::span<const Option> AttachmentOptions();

}  // namespace quorrel::sim

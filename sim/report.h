// What quorrel-sim leaves behind: a JSON report of the whole session and the
// flashed images as files.
#pragma once

#include <string>

#include "sim/device.h"

namespace quorrel::sim {

struct ReportContext {
  uint64_t seed = 0;
  double timeScale = 1.0;
  uint32_t esn = 0;
};

std::string ReportJson(const ModemSnapshot& snapshot, const ReportContext& context);

// Writes text to path through a temporary file and a rename.
bool WriteFileAtomically(const std::string& path, const std::string& text);

// Writes the image of every type the flash holds as <name>.mbn, their headers
// as <header name>.mbn, the last partition table as partition.mbn and the
// uploaded programmer as armprg.bin. False when the folder cannot be made or
// a file not written.
bool DumpImages(const ModemSnapshot& snapshot, const std::string& dir, std::string* error);

}  // namespace quorrel::sim

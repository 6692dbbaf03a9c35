// quorrel-cli station: a flashing station. Every modem attached gets a line
// of its own (1-8) and, as soon as it answers, the job of the station's mode
// on that line's own threads, all at once. A modem whose job ended is told
// to be unplugged; its line keeps it through the restart at the job's end and
// takes the next modem plugged in once it is gone.
#pragma once

#include "cli/cli_options.h"

namespace quorrel::cli {

// Runs the station until Ctrl-C (or, with --once, until every modem attached
// is done). Returns the exit code: with --once 0 only when every job
// succeeded, 1 when one failed, 5 when no modem came.
int RunStation(const Options& o);

}  // namespace quorrel::cli

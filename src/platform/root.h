// The folder onto which the fixed Windows paths, COM ports, registry keys and
// mutex names are mapped: $QUORREL_ROOT, else
// ${XDG_DATA_HOME:-$HOME/.local/share}/quorrel. Created (0755) on first use.
#pragma once

#include <filesystem>

namespace quorrel {

// Evaluated on every call, so a test may point QUORREL_ROOT elsewhere.
std::filesystem::path QuorrelRoot();

}  // namespace quorrel

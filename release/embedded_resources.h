// The resources linked into the executable: the demo release (type
// SOURCEMBN) and the status pictures (type BITMAP).
#pragma once

#include "platform/resources.h"

namespace quorrel {

const ResourceTable& EmbeddedResources();

}  // namespace quorrel

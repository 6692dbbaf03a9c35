#include "platform/os_version.h"

namespace quorrel {

OsVersion SystemOsVersion() {
  return OsVersion{kPlatformNone, 0, 0};
}

}  // namespace quorrel

// The packet builders and reply parsers of every protocol on the diagnostic
// port, as a PhoneLink is constructed with them.
#pragma once

#include "link/phone_link.h"

namespace quorrel {

const ProtocolCodecs& StandardCodecs();

}  // namespace quorrel

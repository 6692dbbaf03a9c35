#include "download/codecs.h"

#include "download/dmss.h"
#include "download/streaming.h"

namespace quorrel {

const ProtocolCodecs& StandardCodecs() {
  static const ProtocolCodecs codecs{nullptr, nullptr, &StreamingCodec()};
  return codecs;
}

}  // namespace quorrel

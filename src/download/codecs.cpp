#include "download/codecs.h"

#include "download/dmss.h"
#include "download/streaming.h"
#include "services/diag_codec.h"

namespace quorrel {

const ProtocolCodecs& StandardCodecs() {
  static const ProtocolCodecs codecs{&DiagCodec(), &DmssCodec(), &StreamingCodec()};
  return codecs;
}

}  // namespace quorrel

// Diagnostic replies: one command of the normal firmware's set against a
// phone that answers each request with the next scripted reply, whole or in
// pieces. Input: the command, then the replies (see ScriptReplies).
#include "fuzz/commands.h"
#include "fuzz/fuzz_support.h"

using namespace quorrel;
using namespace quorrel::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Input in(data, size);
  const uint8_t which = in.Byte();
  testsupport::ScriptedPeer peer;
  PhoneLink link(peer.clock, peer.ports);
  link.Port().Open(peer.port, 115200, 8, 1);
  ScriptReplies(in, peer);
  RunDiagCommand(which, link);
  return 0;
}

// Downloader and streaming replies: one command of the boot downloader or
// the flash programmer against a phone that answers each request with the
// next scripted reply. Input: the command, then the replies (see
// ScriptReplies). For the collection of queued replies, the scripted replies
// arrive unasked after a few blocks were sent without waiting.
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

  if (which == kCollectReplies) {
    // Blocks sent without waiting, then whatever came back is collected.
    for (uint32_t i = 0; i < 4; ++i) {
      (void)StreamWriteNoWait(link, Block().data(), i * 1024, 1024);
    }
    while (!in.empty()) {
      const uint16_t delay = in.Le16();
      const std::span<const uint8_t> bytes = in.Block();
      peer.Send(bytes, delay);
    }
    for (int round = 0; round < 4; ++round) {
      (void)StreamCollectReplies(link);
      FUZZ_CHECK(link.Acknowledged().size() <= PhoneLink::kMaxAcks);
      peer.clock.Advance(50);
    }
    return 0;
  }

  ScriptReplies(in, peer);
  RunDownloadCommand(which, link);
  FUZZ_CHECK(link.Acknowledged().size() <= PhoneLink::kMaxAcks);
  return 0;
}

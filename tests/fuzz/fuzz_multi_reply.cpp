// Multi-reply decoding: every streaming reply in what one read returned.
// Input: the bytes; they are also taken as block addresses whose
// acknowledgements, framed one after another, must all be read back.
#include "fuzz/fuzz_support.h"
#include "fuzz/link_harness.h"
#include "link/hdlc.h"
#include "platform/memory_wire.h"
#include "services/packet_bytes.h"

using namespace quorrel;
using namespace quorrel::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static VirtualClock clock;
  static MemoryPorts ports;
  static PhoneLink link(clock, ports);

  (void)DecodeStream(link, std::span<const uint8_t>(data, size));

  Bytes frames;
  std::vector<uint32_t> addresses;
  for (size_t at = 0; at + 4 <= size && addresses.size() < PhoneLink::kMaxAcks; at += 4) {
    const uint32_t address = ReadLe32(data + at);
    const uint8_t ack[5] = {0x08, data[at], data[at + 1], data[at + 2], data[at + 3]};
    const Bytes frame = EncodeFrame(ack, true);
    if (frames.size() + frame.size() > PhoneLink::kReplyCapacity) break;
    frames.insert(frames.end(), frame.begin(), frame.end());
    addresses.push_back(address);
  }
  // A link of its own: the first one may hold an unfinished frame of the
  // fuzzer's bytes, which the next read would rightly go on with.
  PhoneLink fresh(clock, ports);
  const StreamReplies back = DecodeStream(fresh, frames);
  FUZZ_CHECK(back.ok);
  FUZZ_CHECK(back.acks == addresses);
  return 0;
}

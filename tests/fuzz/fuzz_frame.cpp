// Frame decoding: un-stuffing and the unframing, CRC check and parsing of one
// reply, for every protocol. Input: protocol, request code, un-stuffing
// capacity, then the bytes.
#include <memory>

#include "fuzz/fuzz_support.h"
#include "fuzz/link_harness.h"
#include "link/hdlc.h"
#include "platform/memory_wire.h"

using namespace quorrel;
using namespace quorrel::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Input in(data, size);
  const auto protocol = static_cast<LinkProtocol>(in.Byte() % 4);
  const uint8_t requestCode = in.Byte();
  const size_t capacity = in.Byte();
  const std::span<const uint8_t> bytes = in.Rest();

  // Un-stuffing never writes past its capacity and agrees with the
  // unbounded form on what it wrote.
  const std::optional<Bytes> whole = Unstuff(bytes);
  auto out = std::make_unique<uint8_t[]>(capacity + 1);
  const int n = UnstuffInto(bytes, out.get(), capacity);
  FUZZ_CHECK(n <= static_cast<int>(capacity));
  if (n >= 0 && whole) {
    FUZZ_CHECK(static_cast<size_t>(n) <= whole->size());
    FUZZ_CHECK(std::equal(out.get(), out.get() + n, whole->begin()));
  }

  static VirtualClock clock;
  static MemoryPorts ports;
  static PhoneLink link(clock, ports);
  (void)DecodeSingle(link, protocol, requestCode, bytes);

  // The bytes taken as a packet: framed, they decode back to themselves.
  const std::span<const uint8_t> packet = bytes.first(std::min<size_t>(bytes.size(), 500));
  const bool leadingFlag = protocol == LinkProtocol::Dmss || protocol == LinkProtocol::Streaming;
  const Bytes frame = EncodeFrame(packet, leadingFlag);
  PhoneLink fresh(clock, ports);
  const SingleReply back = DecodeSingle(fresh, protocol, requestCode, frame);
  // A frame without a packet byte (only its check bytes) is no reply.
  if (!packet.empty() && frame.size() <= PhoneLink::kReplyCapacity) {
    FUZZ_CHECK(back.packet.has_value());
    FUZZ_CHECK(std::equal(packet.begin(), packet.end(), back.packet->begin(), back.packet->end()));
  }
  return 0;
}

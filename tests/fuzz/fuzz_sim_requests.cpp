// The simulator's request parser: whatever a host sends to either port, in
// any mode the requests lead to. Input: records of a port byte (bit 0: the
// data port), a pause in milliseconds before the bytes (16 bits), and the
// bytes (length-prefixed); the modem's timers run through each pause.
#include "fuzz/fuzz_support.h"
#include "sim/device.h"

using namespace quorrel;
using namespace quorrel::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Input in(data, size);
  ManualTransport transport;
  sim::ModemConfig config;
  sim::VirtualModem modem(config, transport);
  modem.PowerOn();
  for (int n = 0; n < 256 && !in.empty(); ++n) {
    const uint8_t port = in.Byte();
    const uint16_t pauseMs = in.Le16();
    const std::span<const uint8_t> bytes = in.Block();
    transport.Advance(pauseMs);
    modem.Receive(port & 1 ? sim::PortRole::Data : sim::PortRole::Diag, bytes);
  }
  transport.RunAll();
  (void)modem.Snapshot();
  modem.Shutdown();
  return 0;
}

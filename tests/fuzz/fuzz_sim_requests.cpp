// The simulator's request parser: whatever a host sends to either port, in
// any mode the requests lead to. Input: records of a port byte (bit 0: the
// data port), a pause in milliseconds before the bytes (16 bits), and the
// bytes (length-prefixed); the modem's timers run through each pause. The
// diagnostic bytes are also split into frames in one piece and record by
// record, which must come out the same.
#include <string>

#include "fuzz/fuzz_support.h"
#include "sim/device.h"
#include "sim/frame_reader.h"

using namespace quorrel;
using namespace quorrel::fuzz;

namespace {

std::string Describe(const std::vector<sim::ReaderItem>& items) {
  std::string out;
  for (const sim::ReaderItem& item : items) {
    out += std::to_string(static_cast<int>(item.kind)) + ':' + item.text + ':';
    out.append(item.frame.packet.begin(), item.frame.packet.end());
    out += item.frame.crcGood ? 'g' : 'b';
    out += item.frame.leadingFlag ? 'l' : '-';
    out += std::to_string(item.frame.rawLength);
    for (const std::string& p : item.frame.problems) out += p;
    out += '\n';
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Input in(data, size);
  ManualTransport transport;
  sim::VirtualModem modem(sim::ModemConfig{}, transport);
  modem.PowerOn();

  const auto framing = size > 0 && (data[0] & 2) ? sim::FrameReader::Framing::Download
                                                 : sim::FrameReader::Framing::Diag;
  sim::FrameReader whole, pieces;
  whole.SetFraming(framing);
  pieces.SetFraming(framing);
  Bytes diag;
  std::vector<sim::ReaderItem> pieceItems;

  for (int n = 0; n < 256 && !in.empty(); ++n) {
    const uint8_t port = in.Byte();
    const uint16_t pauseMs = in.Le16();
    const std::span<const uint8_t> bytes = in.Block();
    transport.Advance(pauseMs);
    const auto role = port & 1 ? sim::PortRole::Data : sim::PortRole::Diag;
    modem.Receive(role, bytes);
    if (role == sim::PortRole::Diag) {
      diag.insert(diag.end(), bytes.begin(), bytes.end());
      pieces.Feed(bytes.data(), bytes.size(), pieceItems);
    }
  }
  transport.RunAll();
  (void)modem.Snapshot();
  modem.Shutdown();

  std::vector<sim::ReaderItem> wholeItems;
  whole.Feed(diag.data(), diag.size(), wholeItems);
  FUZZ_CHECK(Describe(wholeItems) == Describe(pieceItems));
  return 0;
}

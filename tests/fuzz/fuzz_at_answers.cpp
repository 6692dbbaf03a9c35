// AT answers: the answer line taken from a reply, and the commands that read
// it, against a data port that answers with the bytes, whole or in pieces.
// Input: the command, the piece size, then the reply.
#include <string>

#include "fuzz/fuzz_support.h"
#include "services/at_channel.h"

using namespace quorrel;
using namespace quorrel::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Input in(data, size);
  const uint8_t which = in.Byte();
  const uint8_t piece = in.Byte();
  const std::span<const uint8_t> reply = in.Rest();

  testsupport::ScriptedPeer peer;
  AtChannel at(peer.clock, peer.ports);
  at.port.Open(peer.port, 115200, 8, 1);

  // The answer line is a part of the reply.
  at.response.assign(reply.begin(), reply.end());
  std::string line;
  if (at.ParseAnswer(line)) FUZZ_CHECK(at.response.find(line) != std::string::npos);

  at.SetTries(1 + which % 3);
  peer.AnswerInPieces(Bytes(reply.begin(), reply.end()), piece, 0, 60);
  std::string version = "unchanged";
  switch ((which >> 2) % 4) {
    case 0:
      if (!at.GetVersion(version)) FUZZ_CHECK(version == "unchanged");
      break;
    case 1: {
      const int mode = at.GetDiagMode();
      FUZZ_CHECK(mode >= 0 && mode <= 9);
      break;
    }
    case 2:
      (void)at.SetDiagMode(6);
      break;
    default:
      (void)at.SendCommand("AT+CFUN=1");
      break;
  }
  FUZZ_CHECK(at.response.size() <= static_cast<size_t>(AtChannel::kMaxResponse));
  return 0;
}

#include "jobs/mode_probe.h"

#include "download/dmss.h"
#include "download/streaming.h"
#include "jobs/mode_transitions.h"
#include "jobs/schedule.h"

namespace quorrel {

namespace {

// The rounds of a probe: one, then the others each 1000 ms after the one
// before.
Schedule ProbeRounds(int rounds) {
  return Schedule{{}, {.tries = rounds - 1, .beforeMs = 1000}};
}
// The downloader no-op's own time-out.
constexpr uint32_t kNoOpTimeoutMs = 20000;

// The mode named by the reply the last exchange decoded, if any.
ModemAnswer ModeOfLastReply(const PhoneLink& link) {
  if (link.LastReply().empty()) return ModemAnswer::None;
  return ModeOfReplyCode(link.LastReply()[0]);
}

}  // namespace

ModemAnswer ModeOfReplyCode(uint8_t code) {
  switch (code) {
    case dmss::kAck:  // also the programmer's hello reply; see the callers
    case dmss::kReject:
    case dmss::kParametersReply:
      return ModemAnswer::Downloader;
    case stream::kError:
      return ModemAnswer::Programmer;
    case 0x13:  // diagnostic error replies: bad command, parameter, length
    case 0x14:
    case 0x15:
      return ModemAnswer::Normal;
    default:
      return ModemAnswer::None;
  }
}

ModeProbe ProbeModemMode(JobEnvironment& env, int line, int rounds) {
  PhoneLink& link = env.doc.link(line);
  ModeProbe found;
  if (rounds < 1) return found;
  (void)RunSchedule(env, line, ProbeRounds(rounds), [&] {
    if (!OpenDiagPort(env, line)) return false;

    // The downloader's no-op: acknowledged by the downloader, refused with
    // an error reply by the programmer and by the firmware.
    (void)DmssProbeNoOp(link, kNoOpTimeoutMs);
    found.mode = ModeOfLastReply(link);
    if (found.mode == ModemAnswer::Normal) link.SetProtocol(LinkProtocol::Diag);
    if (found.mode == ModemAnswer::Programmer) link.SetProtocol(LinkProtocol::Streaming);
    if (found.mode != ModemAnswer::None) return true;

    // The programmer's greeting.
    if (StreamHello(link)) {
      found.mode = ModemAnswer::Programmer;
      found.greeted = true;
      return true;
    }
    // A hello reply that did not parse is still the programmer's.
    found.mode = !link.LastReply().empty() && link.LastReply()[0] == 0x02 ? ModemAnswer::Programmer
                                                                          : ModeOfLastReply(link);
    if (found.mode == ModemAnswer::Downloader) link.SetProtocol(LinkProtocol::Dmss);
    if (found.mode == ModemAnswer::Normal) link.SetProtocol(LinkProtocol::Diag);
    return found.mode != ModemAnswer::None;
  });
  return found;
}

}  // namespace quorrel

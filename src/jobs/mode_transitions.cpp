#include "jobs/mode_transitions.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "download/dmss.h"
#include "download/streaming.h"
#include "jobs/schedule.h"
#include "services/diag_commands.h"
#include "util/text.h"

namespace quorrel {

namespace {

int AtBaud() {
  return CQuorrelDoc::kBaudRate;
}

// The AT port opened in a reconnect pass: up to 3 tries, 2000 ms after
// each failure.
constexpr Schedule kAtOpenTries = Evenly(3, 2000);
// A reconnect: up to 60 passes, each a second after the one before. In
// fast mode the first pass goes at once.
constexpr Schedule kReconnectPasses{{.tries = 60, .beforeMs = 1000}};
constexpr Schedule kFastReconnectPasses{{.tries = 1}, {.tries = 59, .beforeMs = 1000}};
// A port wait: a look for the modem's ports once a second, the look that
// finds them included, for as long as it takes.
constexpr Schedule kPortPolls{{.tries = kUntilDone, .afterMs = 1000}};
// In fast mode, ten looks a second.
constexpr uint32_t kFastPortPollMs = 100;
constexpr Schedule kFastPortPolls{{.tries = kUntilDone, .afterMs = kFastPortPollMs}};
// The version texts: try; 200 ms, try. An empty ninth text is asked for
// once more, a second later.
constexpr Schedule kVersionTextTries{{.then = {.pauseMs = 200}}, {}};
constexpr Schedule kVersionRounds{{.then = {.pauseMs = 1000}}, {}};

// One look for the line's modem, so that its port numbers are current.
void LookForModem(JobEnvironment& env, int line) {
  if (env.refreshLinePorts) (void)env.refreshLinePorts(line);
}

void NoPhone(LineJob& job) {
  job.phoneState = PhoneState::NoAnswer;
  (void)job.SetVersionText(kNoPhoneText);
}

}  // namespace

bool OpenDiagPort(JobEnvironment& env, int line) {
  PhoneLink& link = env.doc.link(line);
  const SettingsRecord& s = env.doc.line(line).settings;
  if (link.Port().IsOpen()) link.Port().Close();
  LookForModem(env, line);
  const int baud = s.baudRate > 0 ? s.baudRate : CQuorrelDoc::kBaudRate;
  return link.Port().Open(s.diagPort, baud, 8, 1) != 0;
}

bool OpenAtPort(JobEnvironment& env, int line) {
  LookForModem(env, line);
  return env.doc.OpenAtPort(line, env.doc.line(line).settings.atPort, AtBaud()) != 0;
}

void FollowModem(JobEnvironment& env, int line) {
  env.doc.link(line).Port().SetReopener([&env, line] { return OpenDiagPort(env, line); });
  env.doc.at(line).port.SetReopener([&env, line] { return OpenAtPort(env, line); });
}

bool CloseDiagPort(JobEnvironment& env, int line) {
  PhoneLink& link = env.doc.link(line);
  if (link.Port().IsOpen()) link.Port().Close();
  return true;
}

std::string ReadCurrentVersion(JobEnvironment& env, int line) {
  PhoneLink& link = env.doc.link(line);
  std::string text;
  (void)RunSchedule(env, line, kVersionRounds, [&] {
    VersionTexts texts;
    const bool ok = RunSchedule(env, line, kVersionTextTries,
                                [&] { return GetVersionTexts(link, texts) != 0; });
    text = ok ? std::string(texts.Text(9)) : std::string();
    return !text.empty();
  });
  std::string out;
  out.reserve(text.size());
  for (char c : ToUpperAscii(text)) {
    if (c != ' ') out.push_back(c);
  }
  return out;
}

bool VersionCheckPasses(std::string_view version) {
  return ToUpperAscii(version).find(ToUpperAscii(kVersionTag)) != std::string::npos;
}

bool DetectPhone(JobEnvironment& env, int line) {
  PhoneLink& link = env.doc.link(line);
  LineJob& job = env.doc.line(line);
  if (!CheckCommunication(link)) {
    NoPhone(job);
    return false;
  }
  std::array<char, kBuildTextSize> build{};
  if (GetBuildVersion(link, build)) {
    // The build text need not be terminated; the version text holds 255
    // characters at most.
    const size_t length = ::strnlen(build.data(), LineJob::kVersionCapacity - 1);
    (void)job.SetVersionText(std::string_view(build.data(), length));
    return true;
  }
  uint32_t esn = 0;
  if (GetEsn(link, esn)) {
    (void)job.SetVersionText(Format("%x", esn));
    job.phoneState = PhoneState::Answered;
    return true;
  }
  NoPhone(job);
  return false;
}

namespace {

// Switch to downloader, request by request.
// The vendor request that prepares the switch: try; 300 ms, try;
// 3000 ms, try; 5000 ms, try.
constexpr Schedule kPrepareSwitchTries{
    {.then = {.pauseMs = 300}},
    {.then = {.pauseMs = 3000}},
    {.then = {.pauseMs = 5000}},
    {},
};
// The service programming code, 500 ms after it: try; 300 ms, try. Its
// outcome does not matter.
constexpr Schedule kServiceCodeTries =
    Schedule{{.then = {.pauseMs = 300}}, {}}.Lead(500).IgnoringLastFailure();
// Offline, 50 ms on: try; 300 ms, try; 5000 ms, try; reopen, 8000 ms, try.
constexpr Schedule kOfflineTries =
    Schedule{
        {.then = {.pauseMs = 300}},
        {.then = {.pauseMs = 5000}},
        {.then = {.reopen = Reopen::Diag, .settleMs = 8000}},
        {},
    }
        .Lead(50);
// The phone reports itself ready, 50 ms on: up to 100 polls, 500 ms after
// each unsuccessful one.
constexpr Schedule kReadyPolls = Evenly(100, 500).Lead(50);
// The switch itself, 50 ms on: try; 3000 ms, try; 5000 ms, try; reopen,
// 8000 ms, try. The downloader's answer decides, not the last try.
constexpr Schedule kSwitchTries =
    Schedule{
        {.then = {.pauseMs = 3000}},
        {.then = {.pauseMs = 5000}},
        {.then = {.reopen = Reopen::Diag, .settleMs = 8000}},
        {},
    }
        .Lead(50)
        .IgnoringLastFailure();
// The downloader answers, 5000 ms on (the modem re-enumerates on the way):
// try; 2000 ms, try; 3000 ms, try; 5000 ms, reopen, try; 8000 ms, try;
// reopen, 10000 ms, try.
constexpr Schedule kDownloaderNoOpTries =
    Schedule{
        {.then = {.pauseMs = 2000}},
        {.then = {.pauseMs = 3000}},
        {.then = {.pauseMs = 5000, .reopen = Reopen::Diag}},
        {.then = {.pauseMs = 8000}},
        {.then = {.reopen = Reopen::Diag, .settleMs = 10000}},
        {},
    }
        .Lead(5000)
        .TryingDuringLead();
// The flash parameters: try; 5000 ms, try; 3000 ms, try; 5000 ms, try;
// reopen, 8000 ms, try.
constexpr Schedule kFlashParameterTries{
    {.then = {.pauseMs = 5000}},
    {.then = {.pauseMs = 3000}},
    {.then = {.pauseMs = 5000}},
    {.then = {.reopen = Reopen::Diag, .settleMs = 8000}},
    {},
};

// Start programmer.
// The jump to the programmer: try; 500 ms, try; 500 ms, try. The greeting
// tells whether it runs.
constexpr Schedule kGoTries =
    Schedule{{.then = {.pauseMs = 500}}, {.then = {.pauseMs = 500}}, {}}.IgnoringLastFailure();
// The programmer's greeting: try; 2000 ms, try; try.
constexpr Schedule kHelloTries{{.then = {.pauseMs = 2000}}, {.tries = 2}};
// The same, 2000 ms after the jump while the programmer starts.
constexpr Schedule kFirstHelloTries = kHelloTries.Lead(2000).TryingDuringLead();
// The programmer answers: try; 1000 ms, reopen, try; 1000 ms, reopen, try.
constexpr Schedule kProgrammerNoOpTries{
    {.then = {.pauseMs = 1000, .reopen = Reopen::Diag}},
    {.then = {.pauseMs = 1000, .reopen = Reopen::Diag}},
    {},
};

// The programmer's greeting by helloTries (none: it was greeted already),
// then a no-op that must be answered.
bool Greet(JobEnvironment& env, int line, const Schedule* helloTries) {
  PhoneLink& link = env.doc.link(line);
  if (helloTries && !RunSchedule(env, line, *helloTries, [&] { return StreamHello(link) != 0; })) {
    return false;
  }
  return RunSchedule(env, line, kProgrammerNoOpTries, [&] { return StreamNoOp(link) != 0; });
}

}  // namespace

bool ReadFlashParameters(JobEnvironment& env, int line) {
  PhoneLink& link = env.doc.link(line);
  FlashParameters& info = env.doc.line(line).flashInfo;
  return RunSchedule(env, line, kFlashParameterTries,
                     [&] { return DmssGetParameters(link, info) != 0; });
}

bool EnterDownloader(JobEnvironment& env, int line) {
  PhoneLink& link = env.doc.link(line);
  auto run = [&](const Schedule& schedule, auto request) {
    return RunSchedule(env, line, schedule, [&] { return request(link) != 0; });
  };
  return run(kPrepareSwitchTries, SendCommand5C) && run(kServiceCodeTries, SendSpc) &&
         run(kOfflineTries, PutOffline) && run(kReadyPolls, PollReady) &&
         run(kSwitchTries, SwitchToDownloader) && run(kDownloaderNoOpTries, DmssNoOp) &&
         ReadFlashParameters(env, line);
}

bool StartProgrammer(JobEnvironment& env, int line) {
  PhoneLink& link = env.doc.link(line);
  (void)RunSchedule(env, line, kGoTries, [&] { return DmssGo(link, 0x80, 0) != 0; });
  return Greet(env, line, &kFirstHelloTries);
}

bool GreetProgrammer(JobEnvironment& env, int line, bool alreadyGreeted) {
  return Greet(env, line, alreadyGreeted ? nullptr : &kHelloTries);
}

bool ResetAndWaitForReturn(JobEnvironment& env, int line, const ReconnectGiveUp& giveUp) {
  (void)StreamReset(env.doc.link(line));
  AwaitDeparture(env, line, 3000);
  WaitForPorts(env, line);
  return Reconnect(env, line, giveUp);
}

bool Reconnect(JobEnvironment& env, int line, const ReconnectGiveUp& giveUp) {
  Clock& clock = env.clock();
  const uint64_t start = clock.NowMs();
  bool atOpened = false;
  const auto pass = [&] {
    atOpened = RunSchedule(env, line, kAtOpenTries, [&] { return OpenAtPort(env, line); });
    return OpenDiagPort(env, line) && DetectPhone(env, line);
  };
  const auto over = [&] {
    if (giveUp && giveUp(atOpened)) return true;
    // The same bound as the wait for the ports.
    return env.portWaitLimitMs && clock.NowMs() - start >= *env.portWaitLimitMs;
  };
  return RunSchedule(env, line, env.fast() ? kFastReconnectPasses : kReconnectPasses, pass,
                     {.giveUp = over});
}

void AwaitDeparture(JobEnvironment& env, int line, uint32_t ms) {
  Clock& clock = env.clock();
  if (!env.fast()) {
    clock.Sleep(ms);
    return;
  }
  // The modem leaves the bus: its open port hangs up. A port that was not
  // open, or a system that never tells, waits the whole time.
  SerialPort& port = env.doc.link(line).Port();
  const uint64_t start = clock.NowMs();
  std::array<uint8_t, 256> discard{};
  for (;;) {
    const uint64_t spent = clock.NowMs() - start;
    if (spent >= ms) return;
    if (!port.IsOpen()) {
      if (port.HungUp()) return;
      clock.Sleep(static_cast<uint32_t>(ms - spent));
      return;
    }
    if (port.WaitForBytes(clock, static_cast<uint32_t>(ms - spent)) > 0)
      (void)port.Read(discard.data(), static_cast<int>(discard.size()));
  }
}

std::string ModemDidNotReturnText(const ModemDidNotReturn& gone) {
  std::string text = Format("The modem did not come back within %llu seconds!",
                            static_cast<unsigned long long>(gone.limitMs / 1000));
  if (!gone.otherModem.empty()) {
    text += Format(
        " Another modem (serial number %s) is attached where it was; nothing was written into it.",
        gone.otherModem.c_str());
  }
  return text;
}

void WaitForPorts(JobEnvironment& env, int line, const std::function<void(int polls)>& afterPoll) {
  // Without a discovery the ports stay where they are.
  if (!env.discoverLinePorts) return;
  Clock& clock = env.clock();
  const uint64_t start = clock.NowMs();
  const auto bound = [&] {
    return env.portWaitLimitMs && clock.NowMs() - start >= *env.portWaitLimitMs;
  };
  // The callers count seconds in polls: in fast mode every tenth look is one.
  const bool fast = env.fast();
  const auto afterLook = [&](int looks) {
    if (!afterPoll) return;
    if (!fast) {
      afterPoll(looks);
    } else if (looks % (1000 / kFastPortPollMs) == 0) {
      afterPoll(looks / (1000 / kFastPortPollMs));
    }
  };
  if (!RunSchedule(env, line, fast ? kFastPortPolls : kPortPolls,
                   [&] { return env.discoverLinePorts(line); },
                   {.giveUp = bound, .afterTry = afterLook})) {
    throw ModemDidNotReturn{env.portWaitLimitMs.value_or(0), env.doc.line(line).Place().takenBy};
  }
}

}  // namespace quorrel

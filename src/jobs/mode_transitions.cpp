#include "jobs/mode_transitions.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "download/dmss.h"
#include "download/streaming.h"
#include "services/diag_commands.h"
#include "util/text.h"

namespace quorrel {

namespace {

constexpr int kReconnectPasses = 60;
constexpr int kAtOpenTries = 3;
constexpr int kReadyPolls = 100;

int AtBaud() { return CQuorrelDoc::kBaudRate; }

// Opens the line's AT port: up to 3 tries, 2000 ms after each failure.
bool OpenAtPortWithTries(JobEnvironment& env, int line) {
  for (int i = 0; i < kAtOpenTries; ++i) {
    if (OpenAtPort(env, line)) return true;
    env.clock().Sleep(2000);
  }
  return false;
}

// One look for the line's modem, so that its port numbers are current.
void LookForModem(JobEnvironment& env, int line) {
  if (env.refreshLinePorts) (void)env.refreshLinePorts(line);
}

void NoPhone(LineJob& job) {
  job.phoneState = kPhoneNoAnswer;
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
  for (int round = 0; round < 2; ++round) {
    VersionTexts texts;
    int ok = GetVersionTexts(link, texts);
    if (!ok) {
      env.clock().Sleep(200);
      ok = GetVersionTexts(link, texts);
    }
    text = ok ? std::string(texts.Text(9)) : std::string();
    if (!text.empty()) break;
    if (round == 0) env.clock().Sleep(1000);
  }
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
    job.phoneState = kPhoneAnswered;
    return true;
  }
  NoPhone(job);
  return false;
}

bool EnterDownloader(JobEnvironment& env, int line) {
  PhoneLink& link = env.doc.link(line);
  Clock& clock = env.clock();

  // 1. The vendor request that prepares the switch.
  if (!SendCommand5C(link)) {
    clock.Sleep(300);
    if (!SendCommand5C(link)) {
      clock.Sleep(3000);
      if (!SendCommand5C(link)) {
        clock.Sleep(5000);
        if (!SendCommand5C(link)) return false;
      }
    }
  }

  // 2. The service programming code; its outcome does not matter.
  clock.Sleep(500);
  if (!SendSpc(link)) {
    clock.Sleep(300);
    (void)SendSpc(link);
  }

  // 3. Offline.
  clock.Sleep(50);
  if (!PutOffline(link)) {
    clock.Sleep(300);
    if (!PutOffline(link)) {
      clock.Sleep(5000);
      if (!PutOffline(link)) {
        (void)OpenDiagPort(env, line);
        clock.Sleep(8000);
        if (!PutOffline(link)) return false;
      }
    }
  }

  // 4. Wait for the phone to report itself ready.
  clock.Sleep(50);
  bool ready = false;
  for (int i = 0; i < kReadyPolls; ++i) {
    if (PollReady(link)) {
      ready = true;
      break;
    }
    clock.Sleep(500);
  }
  if (!ready) return false;

  // 5. The switch itself; the last try's outcome is left to the downloader's
  // answer below.
  clock.Sleep(50);
  if (!SwitchToDownloader(link)) {
    clock.Sleep(3000);
    if (!SwitchToDownloader(link)) {
      clock.Sleep(5000);
      if (!SwitchToDownloader(link)) {
        (void)OpenDiagPort(env, line);
        clock.Sleep(8000);
        (void)SwitchToDownloader(link);
      }
    }
  }

  // 6. The downloader answers (the modem re-enumerates on the way).
  clock.Sleep(5000);
  if (!DmssNoOp(link)) {
    clock.Sleep(2000);
    if (!DmssNoOp(link)) {
      clock.Sleep(3000);
      if (!DmssNoOp(link)) {
        clock.Sleep(5000);
        (void)OpenDiagPort(env, line);
        if (!DmssNoOp(link)) {
          clock.Sleep(8000);
          if (!DmssNoOp(link)) {
            (void)OpenDiagPort(env, line);
            clock.Sleep(10000);
            if (!DmssNoOp(link)) return false;
          }
        }
      }
    }
  }

  // 7. The flash parameters.
  FlashParameters& info = env.doc.line(line).flashInfo;
  if (DmssGetParameters(link, info)) return true;
  clock.Sleep(5000);
  if (DmssGetParameters(link, info)) return true;
  clock.Sleep(3000);
  if (DmssGetParameters(link, info)) return true;
  clock.Sleep(5000);
  if (DmssGetParameters(link, info)) return true;
  (void)OpenDiagPort(env, line);
  clock.Sleep(8000);
  return DmssGetParameters(link, info) != 0;
}

bool StartProgrammer(JobEnvironment& env, int line) {
  PhoneLink& link = env.doc.link(line);
  Clock& clock = env.clock();

  // 1. Jump to the programmer; the greeting below tells whether it runs.
  if (!DmssGo(link, 0x80, 0)) {
    clock.Sleep(500);
    if (!DmssGo(link, 0x80, 0)) {
      clock.Sleep(500);
      (void)DmssGo(link, 0x80, 0);
    }
  }

  // 2-3.
  clock.Sleep(2000);
  return GreetProgrammer(env, line, false);
}

bool GreetProgrammer(JobEnvironment& env, int line, bool alreadyGreeted) {
  PhoneLink& link = env.doc.link(line);
  Clock& clock = env.clock();

  // 2. The programmer's greeting.
  if (!alreadyGreeted && !StreamHello(link)) {
    clock.Sleep(2000);
    if (!StreamHello(link) && !StreamHello(link)) return false;
  }

  // 3. It answers.
  if (StreamNoOp(link)) return true;
  clock.Sleep(1000);
  (void)OpenDiagPort(env, line);
  if (StreamNoOp(link)) return true;
  clock.Sleep(1000);
  (void)OpenDiagPort(env, line);
  return StreamNoOp(link) != 0;
}

bool ResetAndWaitForReturn(JobEnvironment& env, int line, const ReconnectGiveUp& giveUp) {
  (void)StreamReset(env.doc.link(line));
  env.clock().Sleep(3000);
  WaitForPorts(env, line);
  return Reconnect(env, line, giveUp);
}

bool Reconnect(JobEnvironment& env, int line, const ReconnectGiveUp& giveUp) {
  Clock& clock = env.clock();
  const uint64_t start = clock.NowMs();
  for (int pass = 0; pass < kReconnectPasses; ++pass) {
    clock.Sleep(1000);
    const bool atOpened = OpenAtPortWithTries(env, line);
    if (OpenDiagPort(env, line) && DetectPhone(env, line)) return true;
    if (giveUp && giveUp(atOpened)) return false;
    // The same bound as the wait for the ports.
    if (env.portWaitLimitMs && clock.NowMs() - start >= *env.portWaitLimitMs) return false;
  }
  return false;
}

std::string ModemDidNotReturnText(const ModemDidNotReturn& gone) {
  std::string text = Format("The modem did not come back within %llu seconds!",
                            static_cast<unsigned long long>(gone.limitMs / 1000));
  if (!gone.otherModem.empty()) {
    text += Format(" Another modem (serial number %s) is attached where it was; nothing was written into it.",
                   gone.otherModem.c_str());
  }
  return text;
}

void WaitForPorts(JobEnvironment& env, int line, const std::function<void(int polls)>& afterPoll) {
  // Without a discovery the ports stay where they are.
  if (!env.discoverLinePorts) return;
  Clock& clock = env.clock();
  const uint64_t start = clock.NowMs();
  for (int polls = 1;; ++polls) {
    const bool found = env.discoverLinePorts(line);
    clock.Sleep(1000);
    if (afterPoll) afterPoll(polls);
    if (found) return;
    if (env.portWaitLimitMs && clock.NowMs() - start >= *env.portWaitLimitMs) {
      throw ModemDidNotReturn{*env.portWaitLimitMs, env.doc.line(line).Place().takenBy};
    }
  }
}

}  // namespace quorrel

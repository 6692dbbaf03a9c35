#include "services/at_channel.h"

#include <array>

#include "util/text.h"

namespace quorrel {

namespace {

constexpr char kCr = '\r';
constexpr char kLf = '\n';

// First CR at or after from; npos when none.
size_t FindCr(std::string_view r, size_t from) {
  return from >= r.size() ? std::string_view::npos : r.find(kCr, from);
}

bool CrLfAt(std::string_view r, size_t p) {
  return p + 1 < r.size() && r[p + 1] == kLf;
}

}  // namespace

bool HasFinalResult(std::string_view text) {
  size_t start = 0;
  for (size_t end = text.find(kCr); end != std::string_view::npos;
       start = end + 1, end = text.find(kCr, start)) {
    std::string_view line = text.substr(start, end - start);
    while (!line.empty() && line.front() == kLf) line.remove_prefix(1);
    if (line == "OK" || line == "ERROR" || line.starts_with("+CME ERROR") ||
        line.starts_with("+CMS ERROR")) {
      return true;
    }
  }
  return false;
}

AtChannel::AtChannel(Clock& clock, SerialDevices& devices) : port(devices), clock_(clock) {}

AtChannel::~AtChannel() = default;

bool AtChannel::SetTimeout(uint32_t ms) {
  timeout_ = ms > kMaxTimeoutMs ? kMaxTimeoutMs : ms;
  return true;
}

bool AtChannel::SetTries(int count) {
  if (count < 1 || count > kMaxTries) return false;
  tries_ = count;
  return true;
}

bool AtChannel::SetCommand(std::string_view text) {
  command.assign(text);
  command.push_back(kCr);
  return true;
}

bool AtChannel::SendAndWait() {
  const auto* bytes = reinterpret_cast<const uint8_t*>(command.data());
  const int length = static_cast<int>(command.size());
  bool answered = false;
  for (int attempt = 0; attempt < tries_ && !answered; ++attempt) {
    if (port.Write(bytes, length) < length) continue;

    const uint64_t t0 = clock_.NowMs();
    if (fast_) {
      // Read as the reply comes, until its final line or the attempt's end.
      std::string got;
      std::array<uint8_t, kMaxResponse> buffer{};
      while (got.size() < static_cast<size_t>(kMaxResponse) && !HasFinalResult(got)) {
        const uint64_t spent = clock_.NowMs() - t0;
        if (spent > timeout_) break;
        if (port.WaitForBytes(clock_, static_cast<uint32_t>(timeout_ - spent) + 1) <= 0) break;
        const int n = port.Read(buffer.data(), kMaxResponse - static_cast<int>(got.size()));
        if (n > 0) got.append(reinterpret_cast<const char*>(buffer.data()), static_cast<size_t>(n));
      }
      if (got.empty()) continue;
      response = std::move(got);
      return true;
    }
    // Sample the queue in pairs 100 ms apart until the reply stops growing
    // or the attempt's time is up; a pair is always taken.
    int queued = 0;
    for (;;) {
      clock_.Sleep(kSampleMs);
      const int first = port.BytesQueued();
      clock_.Sleep(kSampleMs);
      queued = port.BytesQueued();
      if (first >= 1 && queued == first) break;
      if (clock_.NowMs() - t0 > timeout_) break;
    }
    // Bytes that arrived count, even when they were still coming in or came
    // in the last sample before the time ran out.
    answered = queued >= 1;
  }
  if (!answered) return false;

  std::array<uint8_t, kMaxResponse> buffer{};
  const int got = port.Read(buffer.data(), kMaxResponse);
  response.assign(reinterpret_cast<const char*>(buffer.data()),
                  static_cast<size_t>(got > 0 ? got : 0));
  return true;
}

bool AtChannel::ParseAnswer(std::string& out) const {
  const std::string_view r = response;
  constexpr size_t npos = std::string_view::npos;

  // p: the first CR that a LF follows; s: where the search that found it began.
  size_t s = 0;
  size_t p = FindCr(r, s);
  if (p == npos) return false;
  while (!CrLfAt(r, p)) {
    s = p + 1;
    p = FindCr(r, s);
    if (p == npos) return false;
  }

  // q: the first CR LF after s. When the reply begins with its CR LF this is
  // the end of the answer line; otherwise it is p itself and the line is empty.
  size_t q = FindCr(r, s + 1);
  while (q != npos && !CrLfAt(r, q)) q = FindCr(r, q + 1);
  if (q == npos) return false;

  out = q >= p + 2 ? std::string(r.substr(p + 2, q - (p + 2))) : std::string();
  return !EqualsIgnoreCaseAscii(out, "error");
}

bool AtChannel::AtExchange(std::string_view text, std::string& out) {
  SetCommand(text);
  if (!SendAndWait()) return false;
  return ParseAnswer(out);
}

bool AtChannel::GetVersion(std::string& out) {
  std::string line;
  if (!AtExchange("AT+GMR", line)) return false;
  const size_t blank = line.find(' ');
  out = blank == std::string::npos ? line : line.substr(blank + 1);
  return true;
}

bool AtChannel::SetDiagMode(int mode) {
  std::string line;
  return AtExchange(Format("AT+VDIAG=%d", mode), line);
}

int AtChannel::GetDiagMode() {
  std::string line;
  if (!AtExchange("AT+VDIAG?", line)) return 0;
  // "+VDIAG: 6": the prefix, its colon and the blank are 8 characters.
  if (line.size() <= 8) return 0;
  const char c = line[8];
  return c >= '0' && c <= '9' ? c - '0' : 0;
}

bool AtChannel::SendCommand(std::string_view text) {
  std::string line;
  return AtExchange(text, line);
}

}  // namespace quorrel

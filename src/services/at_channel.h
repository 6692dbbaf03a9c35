// One line's AT command channel on the device's data (modem) port: sends one
// command, waits for the reply to stop growing and extracts the answer line.
// No frames here: plain text out, plain text in.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/clock.h"
#include "platform/serial_port.h"

namespace quorrel {

class AtChannel {
 public:
  static constexpr uint32_t kMaxTimeoutMs = 5000;
  static constexpr int kMaxTries = 9;
  // At most this many reply bytes are read; the rest stays queued and is
  // discarded by the next command's write.
  static constexpr int kMaxResponse = 256;
  // Time between two samples of the input queue.
  static constexpr uint32_t kSampleMs = 100;

  AtChannel(Clock& clock, SerialDevices& devices);
  virtual ~AtChannel();
  AtChannel(const AtChannel&) = delete;
  AtChannel& operator=(const AtChannel&) = delete;

  // Stores the wait of one attempt, clamped to kMaxTimeoutMs. Always true.
  bool SetTimeout(uint32_t ms);
  // Stores the attempts per command when 1 <= count <= kMaxTries; otherwise
  // false and the old value stays.
  bool SetTries(int count);
  // command = text followed by one carriage return. Always true.
  bool SetCommand(std::string_view text);
  // Sends the command and collects the reply into response. False when no
  // attempt got any byte back (response unchanged).
  bool SendAndWait();
  // Extracts the answer line of response into out; false when response has
  // no answer line or the line says "error".
  bool ParseAnswer(std::string& out) const;
  // SetCommand, SendAndWait, ParseAnswer.
  bool AtExchange(std::string_view text, std::string& out);

  // "AT+GMR": out = the answer line after its first blank (all of it when it
  // has none); out is unchanged on failure.
  bool GetVersion(std::string& out);
  // "AT+VDIAG=<mode>".
  bool SetDiagMode(int mode);
  // "AT+VDIAG?": the digit after the 8-character prefix; 0 on failure.
  int GetDiagMode();
  // Any command whose answer line is not needed.
  bool SendCommand(std::string_view text);

  // Fast: a reply is taken as soon as its final result line ("OK",
  // "ERROR", "+CME ERROR: ...") has come, the wait blocking on the port,
  // instead of once the bytes stop growing over two samples. Off by default.
  void SetFast(bool fast) { fast_.store(fast, std::memory_order_relaxed); }

  uint32_t timeoutMs() const { return timeout_; }
  int tries() const { return tries_; }
  Clock& clock() { return clock_; }

  SerialPort port;
  // The command being sent, ending with a carriage return.
  std::string command;
  // The raw bytes of the last reply.
  std::string response;

 private:
  Clock& clock_;
  uint32_t timeout_ = kMaxTimeoutMs;
  int tries_ = 3;
  std::atomic<bool> fast_{false};
};

// True when text holds a complete final result line of an AT command.
bool HasFinalResult(std::string_view text);

}  // namespace quorrel

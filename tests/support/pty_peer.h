// A device at the far end of a pseudo-terminal, played by a thread: it
// records every byte a host writes to the slave and answers as its responder
// says. Responders for a diagnostic port, a download-mode port, an AT port
// and a silent one.
//
// Header-only; include as "support/pty_peer.h". POSIX only.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "link/hdlc.h"
#include "platform/pty.h"

namespace quorrel::testsupport {

class PtyPeer {
 public:
  // Takes what it wants from the bytes not answered yet (erasing them) and
  // returns the reply; nothing for silence.
  using Responder = std::function<std::vector<uint8_t>(std::vector<uint8_t>& unanswered)>;

  explicit PtyPeer(Responder responder = {}) : responder_(std::move(responder)) {
    ok_ = pty_.Open() && pty_.HoldSlaveOpen();
    if (ok_) thread_ = std::thread([this] { Run(); });
  }
  ~PtyPeer() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }
  PtyPeer(const PtyPeer&) = delete;
  PtyPeer& operator=(const PtyPeer&) = delete;

  bool ok() const { return ok_; }
  const std::string& slave() const { return pty_.slave_path(); }
  std::vector<uint8_t> Received() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return received_;
  }
  std::string ReceivedText() const {
    std::vector<uint8_t> bytes = Received();
    return std::string(bytes.begin(), bytes.end());
  }

 private:
  void Run() {
    std::vector<uint8_t> unanswered;
    while (!stop_) {
      std::vector<uint8_t> bytes = pty_.ReadSome(4096, 10);
      if (bytes.empty()) continue;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        received_.insert(received_.end(), bytes.begin(), bytes.end());
      }
      if (!responder_) continue;
      unanswered.insert(unanswered.end(), bytes.begin(), bytes.end());
      std::vector<uint8_t> reply = responder_(unanswered);
      if (!reply.empty()) pty_.WriteAll(reply, 1000);
    }
  }

  PseudoTerminal pty_;
  Responder responder_;
  bool ok_ = false;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  mutable std::mutex mutex_;
  std::vector<uint8_t> received_;
};

// The packet of the first whole frame in bytes (flags around it, stuffing
// undone, check removed), erasing it and what came before; empty while no
// frame has ended. A frame whose check is bad gives {} and is dropped too.
inline std::vector<uint8_t> TakeFrame(std::vector<uint8_t>& bytes, bool* whole) {
  *whole = false;
  size_t start = 0;
  while (start < bytes.size() && bytes[start] == kFlag) ++start;
  size_t end = start;
  while (end < bytes.size() && bytes[end] != kFlag) ++end;
  if (end >= bytes.size()) return {};
  *whole = true;
  std::optional<std::vector<uint8_t>> packet =
      Unstuff(std::span<const uint8_t>(bytes.data() + start, end - start));
  bytes.erase(bytes.begin(), bytes.begin() + static_cast<long>(end) + 1);
  if (!packet || packet->size() < 3 || !FrameCheckGood(*packet)) return {};
  packet->resize(packet->size() - 2);
  return *packet;
}

// The firmware's diagnostic port: the ESN request gets the ESN, any other
// request the "bad command" error reply.
inline PtyPeer::Responder DiagnosticPort(uint32_t esn = 0x8A3F21C4) {
  return [esn](std::vector<uint8_t>& bytes) {
    std::vector<uint8_t> out;
    for (bool whole = true; whole;) {
      std::vector<uint8_t> packet = TakeFrame(bytes, &whole);
      if (packet.empty()) continue;
      std::vector<uint8_t> reply;
      if (packet == std::vector<uint8_t>{0x01}) {
        reply = {0x01, static_cast<uint8_t>(esn), static_cast<uint8_t>(esn >> 8),
                 static_cast<uint8_t>(esn >> 16), static_cast<uint8_t>(esn >> 24)};
      } else {
        reply = {0x13};
        reply.insert(reply.end(), packet.begin(), packet.end());
      }
      std::vector<uint8_t> frame = EncodeFrame(reply, false);
      out.insert(out.end(), frame.begin(), frame.end());
    }
    return out;
  };
}

// The chipset's downloader: its no-op is acknowledged.
inline PtyPeer::Responder DownloaderPort() {
  return [](std::vector<uint8_t>& bytes) {
    std::vector<uint8_t> out;
    for (bool whole = true; whole;) {
      std::vector<uint8_t> packet = TakeFrame(bytes, &whole);
      if (packet == std::vector<uint8_t>{0x06}) {
        const std::vector<uint8_t> ack = {0x02};
        std::vector<uint8_t> frame = EncodeFrame(ack, true);
        out.insert(out.end(), frame.begin(), frame.end());
      }
    }
    return out;
  };
}

// An AT command interpreter: a line "AT" is answered OK, any other ERROR.
inline PtyPeer::Responder AtPort() {
  return [](std::vector<uint8_t>& bytes) {
    std::string out;
    for (;;) {
      auto cr = std::find(bytes.begin(), bytes.end(), static_cast<uint8_t>('\r'));
      if (cr == bytes.end()) break;
      const std::string line(bytes.begin(), cr);
      bytes.erase(bytes.begin(), cr + 1);
      out += line == "AT" ? "\r\nOK\r\n" : "\r\nERROR\r\n";
    }
    return std::vector<uint8_t>(out.begin(), out.end());
  };
}

}  // namespace quorrel::testsupport

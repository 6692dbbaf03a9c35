// A phone at the far end of a line's two in-memory ports, on the virtual
// clock, for tests of the line-level steps: it answers every diagnostic,
// downloader and streaming request with a well-formed success unless a test
// makes a given request fail a number of times or intercepts it, and records
// every request with its virtual time, every AT command and every port open.
#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/recording_display.h"
#include "jobs/job_environment.h"
#include "lines/document.h"
#include "link/hdlc.h"
#include "platform/clock.h"
#include "platform/memory_wire.h"
#include "platform/paths.h"

namespace quorrel::testsupport {

using Bytes = std::vector<uint8_t>;

// Counts the opens of each port number on the way to the memory ports.
class CountingPorts : public SerialDevices {
 public:
  explicit CountingPorts(MemoryPorts& inner) : inner_(inner) {}
  std::unique_ptr<SerialDevice> Open(int port, int baud, int dataBits, int stopBits) override {
    {
      std::lock_guard lock(mutex_);
      ++opens_[port];
    }
    return inner_.Open(port, baud, dataBits, stopBits);
  }
  int Opens(int port) {
    std::lock_guard lock(mutex_);
    return opens_[port];
  }
  void ResetCounts() {
    std::lock_guard lock(mutex_);
    opens_.clear();
  }

 private:
  MemoryPorts& inner_;
  std::mutex mutex_;
  std::map<int, int> opens_;
};

enum class Proto { Diag, Download, Raw };

struct FakeRequest {
  uint64_t atMs = 0;
  Proto proto = Proto::Diag;
  Bytes packet;  // unframed, without its check bytes
  uint8_t code() const { return packet.empty() ? 0 : packet[0]; }
};

struct FakeReply {
  Bytes packet;  // framed like the request unless raw
  uint64_t delayMs = 0;
};

enum class Failure { Silent, ErrorReply };

class FakePhone {
 public:
  static constexpr int kDiagPort = 3;
  static constexpr int kAtPort = 4;

  // Returns true when it decided the answer (reply, or nullopt for silence).
  using Interceptor = std::function<bool(const FakeRequest&, std::optional<FakeReply>& reply)>;

  FakePhone() : counting(ports) {
    diag = std::make_shared<MemoryWire>(clock);
    at = std::make_shared<MemoryWire>(clock);
    ports.Attach(kDiagPort, diag);
    ports.Attach(kAtPort, at);
    diag->SetReceiver([this](std::span<const uint8_t> bytes) { OnDiag(bytes); });
    at->SetReceiver([this](std::span<const uint8_t> bytes) { OnAt(bytes); });
  }
  ~FakePhone() {
    diag->SetReceiver(nullptr);
    at->SetReceiver(nullptr);
  }
  FakePhone(const FakePhone&) = delete;
  FakePhone& operator=(const FakePhone&) = delete;

  // The next count requests of this code fail.
  void FailNext(Proto proto, uint8_t code, int count, Failure how = Failure::Silent) {
    std::lock_guard lock(mutex_);
    failures_[{proto, code}] += count;
    failure_kind_[{proto, code}] = how;
  }
  void SetInterceptor(Interceptor interceptor) {
    std::lock_guard lock(mutex_);
    interceptor_ = std::move(interceptor);
  }
  // The modem re-enumerates: its diagnostic port goes away and comes back
  // under another number.
  void MoveDiag(int newPort) {
    diag->SetReceiver(nullptr);
    ports.Detach(diag_port_);
    diag_port_ = newPort;
    diag = std::make_shared<MemoryWire>(clock);
    ports.Attach(newPort, diag);
    diag->SetReceiver([this](std::span<const uint8_t> bytes) { OnDiag(bytes); });
  }
  void SetSilent(bool silent) { silent_ = silent; }
  void SetAtSilent(bool silent) { at_silent_ = silent; }

  // ---- what the phone answers ----
  std::string ninthVersionText = "ZIZ_RU_Farrick_B01";
  std::string buildText = "BUILD-1.0";
  uint32_t esn = 0x0ABC1234;
  // NV contents; an item not listed reads as 128 bytes of its low byte.
  std::map<uint16_t, Bytes> nv;
  // Statuses the phone answers NV writes with, per item (missing: 0), used
  // once each from the front.
  std::map<uint16_t, std::vector<uint16_t>> nvWriteStatuses;
  std::map<uint16_t, uint16_t> nvReadStatus;

  // ---- what the host did ----
  std::vector<FakeRequest> Requests() {
    std::lock_guard lock(mutex_);
    return requests_;
  }
  std::vector<FakeRequest> Requests(Proto proto, uint8_t code) {
    std::lock_guard lock(mutex_);
    std::vector<FakeRequest> out;
    for (const auto& r : requests_) {
      if (r.proto == proto && r.code() == code) out.push_back(r);
    }
    return out;
  }
  // Gaps in virtual time between successive requests of a code.
  std::vector<uint64_t> Gaps(Proto proto, uint8_t code) {
    const auto rs = Requests(proto, code);
    std::vector<uint64_t> out;
    for (size_t i = 1; i < rs.size(); ++i) out.push_back(rs[i].atMs - rs[i - 1].atMs);
    return out;
  }
  std::vector<std::string> AtCommands() {
    std::lock_guard lock(mutex_);
    return at_commands_;
  }
  // (item, data) of every NV write, in order.
  std::vector<uint16_t> NvWrites() {
    std::vector<uint16_t> out;
    for (const auto& r : Requests(Proto::Diag, 0x27)) out.push_back(ItemOf(r.packet));
    return out;
  }
  void ClearRequests() {
    std::lock_guard lock(mutex_);
    requests_.clear();
    at_commands_.clear();
  }

  VirtualClock clock;
  MemoryPorts ports;
  CountingPorts counting;
  std::shared_ptr<MemoryWire> diag;
  std::shared_ptr<MemoryWire> at;

  static uint16_t ItemOf(const Bytes& p) {
    return p.size() >= 3 ? static_cast<uint16_t>(p[1] | p[2] << 8) : 0;
  }
  static uint32_t Le32At(const Bytes& p, size_t at) {
    return static_cast<uint32_t>(p[at] | p[at + 1] << 8 | p[at + 2] << 16) |
           static_cast<uint32_t>(p[at + 3]) << 24;
  }

 private:
  int diag_port_ = kDiagPort;

  void OnDiag(std::span<const uint8_t> bytes) {
    FakeRequest request;
    request.atMs = clock.NowMs();
    bool leading = false;
    if (!bytes.empty() && bytes.back() == kFlag) {
      leading = bytes.front() == kFlag;
      auto body = bytes.subspan(leading ? 1 : 0, bytes.size() - (leading ? 2 : 1));
      auto unstuffed = Unstuff(body);
      if (unstuffed && unstuffed->size() >= 2) {
        request.packet.assign(unstuffed->begin(), unstuffed->end() - 2);
      }
      request.proto = leading ? Proto::Download : Proto::Diag;
    } else {
      request.proto = Proto::Raw;
      request.packet.assign(bytes.begin(), bytes.end());
    }

    std::optional<FakeReply> reply;
    {
      std::lock_guard lock(mutex_);
      requests_.push_back(request);
      bool decided = false;
      if (interceptor_) decided = interceptor_(request, reply);
      if (!decided) {
        auto key = std::make_pair(request.proto, request.code());
        auto it = failures_.find(key);
        if (silent_) {
          reply.reset();
        } else if (it != failures_.end() && it->second > 0) {
          --it->second;
          if (failure_kind_[key] == Failure::ErrorReply)
            reply = FakeReply{Bytes{0x0D, 0x01, 0, 0, 0}};
        } else {
          reply = DefaultReply(request);
        }
      }
    }
    if (!reply) return;
    if (request.proto == Proto::Raw) {
      diag->SendToHost(reply->packet, reply->delayMs);
    } else {
      diag->SendToHost(EncodeFrame(reply->packet, leading), reply->delayMs);
    }
  }

  void OnAt(std::span<const uint8_t> bytes) {
    std::string text(bytes.begin(), bytes.end());
    {
      std::lock_guard lock(mutex_);
      at_commands_.push_back(text);
    }
    if (!at_silent_) {
      static const std::string ok = "\r\nOK\r\n";
      at->SendToHost(
          std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(ok.data()), ok.size()));
    }
  }

  std::optional<FakeReply> DefaultReply(const FakeRequest& r) {
    const Bytes& p = r.packet;
    if (p.empty() || r.proto == Proto::Raw) return std::nullopt;
    if (r.proto == Proto::Diag) {
      switch (p[0]) {
        case 0x01:
          return FakeReply{Bytes{0x01, static_cast<uint8_t>(esn), static_cast<uint8_t>(esn >> 8),
                                 static_cast<uint8_t>(esn >> 16), static_cast<uint8_t>(esn >> 24)}};
        case 0x29:
        case 0x3A:
        case 0x5C:
          return FakeReply{p};
        case 0x41:
          return FakeReply{Bytes{0x41, 0x01}};
        case 0x4B:
          return FakeReply{Bytes{0x4B, 0x04, 0x0E, 0x00, 0x00}};
        case 0x7C: {
          Bytes out(12 + 256, 0);
          out[0] = 0x7C;
          std::copy(buildText.begin(), buildText.end(), out.begin() + 12);
          return FakeReply{out};
        }
        case 0x39: {
          Bytes out(1, 0x39);
          for (int i = 0; i < 8; ++i) {
            Bytes field(30, 0);
            field[0] = 'V';
            field[1] = static_cast<uint8_t>('1' + i);
            out.insert(out.end(), field.begin(), field.end());
          }
          Bytes ninth(31 + 13 + 9, 0);
          std::copy(ninthVersionText.begin(), ninthVersionText.end(), ninth.begin());
          out.insert(out.end(), ninth.begin(), ninth.end());
          return FakeReply{out};
        }
        case 0x26: {
          const uint16_t item = ItemOf(p);
          Bytes out{0x26, p[1], p[2]};
          Bytes data = nv.count(item) ? nv[item] : Bytes(128, static_cast<uint8_t>(item));
          data.resize(128);
          const uint16_t status = nvReadStatus.count(item) ? nvReadStatus[item] : 0;
          out.insert(out.end(), data.begin(), data.end());
          out.push_back(static_cast<uint8_t>(status));
          out.push_back(static_cast<uint8_t>(status >> 8));
          return FakeReply{out};
        }
        case 0x27: {
          const uint16_t item = ItemOf(p);
          uint16_t status = 0;
          auto it = nvWriteStatuses.find(item);
          if (it != nvWriteStatuses.end() && !it->second.empty()) {
            status = it->second.front();
            it->second.erase(it->second.begin());
          }
          if (status == 0) nv[item] = Bytes(p.begin() + 3, p.begin() + 3 + 128);
          Bytes out(p.begin(), p.end() - 2);
          out.push_back(static_cast<uint8_t>(status));
          out.push_back(static_cast<uint8_t>(status >> 8));
          return FakeReply{out};
        }
        default:
          return std::nullopt;
      }
    }
    // Downloader and streaming requests (the downloader's parameter request
    // is the one-byte 0x07; a stream write carries an address and data).
    switch (p[0]) {
      case 0x0F:
      case 0x05:
      case 0x06:
      case 0x0A:
        return FakeReply{Bytes{0x02}};
      case 0x07:
        if (p.size() == 1)
          return FakeReply{Bytes{0x08, 0x05, 0x02, 0x78, 0x56, 0x34, 0x12, 0x33, 6, 5}};
        return FakeReply{Bytes{0x08, p[1], p[2], p[3], p[4]}};
      case 0x01:
        return FakeReply{Bytes{0x02}};
      case 0x09:
      case 0x0B:
      case 0x15:
      case 0x17:
      case 0x19:
      case 0x1B:
        return FakeReply{Bytes{static_cast<uint8_t>(p[0] + 1)}};
      default:
        return std::nullopt;
    }
  }

  std::mutex mutex_;
  std::map<std::pair<Proto, uint8_t>, int> failures_;
  std::map<std::pair<Proto, uint8_t>, Failure> failure_kind_;
  Interceptor interceptor_;
  std::vector<FakeRequest> requests_;
  std::vector<std::string> at_commands_;
  bool silent_ = false;
  bool at_silent_ = false;
};

// A line (line 1, index 0) whose ports are the fake phone's, with a recording
// display; the diagnostic port starts open and the run flag set.
struct LineBench {
  FakePhone phone;
  CQuorrelDoc doc{phone.clock, phone.counting};
  RecordingDisplay display;
  int discoverCalls = 0;
  std::function<bool(int)> discover = [](int) { return true; };
  JobEnvironment env{doc,
                     display,
                     [this](int l) {
                       ++discoverCalls;
                       return discover(l);
                     },
                     [](int) {},
                     [](int) {},
                     std::nullopt,
                     {}};

  LineBench() {
    doc.line(0).settings.diagPort = FakePhone::kDiagPort;
    doc.line(0).settings.atPort = FakePhone::kAtPort;
    doc.line(0).runFlag = 1;
    doc.link(0).Port().Open(FakePhone::kDiagPort, 115200, 8, 1);
    phone.counting.ResetCounts();
  }
  PhoneLink& link() { return doc.link(0); }
  uint64_t Now() { return phone.clock.NowMs(); }
};

// Writes a file where the program looks for the Windows path.
inline void WriteFileAt(std::string_view winPath, const Bytes& bytes) {
  const auto p = MapPath(winPath);
  std::filesystem::create_directories(p.parent_path());
  std::ofstream(p, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
}

}  // namespace quorrel::testsupport

// What every mode of the virtual modem shares: its ports and their readers,
// its timers, its life on the bus (attaching, restarting, coming back), the
// fault plan that shapes its replies, its persistent memory and its records.
//
// The mode handlers (firmware, downloader, programmer) answer requests over
// this core; the core tells them when the modem boots or enters a mode. Every
// call expects the core's lock to be held; the core takes it itself only
// when one of its timers fires.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "sim/config.h"
#include "sim/flash_store.h"
#include "sim/frame_reader.h"
#include "sim/link_model.h"
#include "sim/nv_store.h"
#include "sim/random.h"
#include "sim/records.h"
#include "sim/transport.h"

namespace quorrel::sim {

using Packet = std::vector<uint8_t>;

// What survives a restart: NV items, the flash, the vendor settings.
struct ModemMemory {
  explicit ModemMemory(const ModemConfig& config);

  NvStore nv;
  FlashStore flash;
  bool flashed = false;  // an AMSS image was written and closed
  // The flash is unfinished: every boot ends in the downloader.
  bool bootDownloader = false;
  uint8_t autorun = 0;
  uint8_t switchAA = 0;
  int diagPortMode = 0;
};

// Everything the modem writes down, in order.
struct ModemRecords {
  std::vector<RequestRecord> requests;
  std::vector<Violation> violations;
  std::vector<AtRecord> atCommands;
  std::vector<VendorRecord> vendor;
  std::vector<NvWriteRecord> nvWrites;
  std::vector<AttachRecord> attachHistory;
};

class ModemCore {
 public:
  // What the core tells the holder of the mode handlers.
  class ModeHandlers {
   public:
    // The modem boots (power-on, restart, re-enumeration) into boot: every
    // transient state goes.
    virtual void Booting(ModemMode boot) = 0;
    // The modem enters a download mode without leaving the bus.
    virtual void Entering(ModemMode mode) = 0;

   protected:
    virtual ~ModeHandlers() = default;
  };

  ModemCore(ModemConfig config, ModemTransport& transport, ModeHandlers& handlers);
  ModemCore(const ModemCore&) = delete;
  ModemCore& operator=(const ModemCore&) = delete;

  std::mutex& mutex() { return mutex_; }
  const ModemConfig& config() const { return config_; }
  uint64_t NowMs() { return transport_.NowMs(); }
  ModemMode mode() const { return mode_; }
  bool shutDown() const { return shut_down_; }
  const std::optional<Enumeration>& ports() const { return ports_; }
  int attachments() const { return attachments_; }

  ModemMemory memory;
  ModemRecords records;

  // ---- life on the bus ----
  void PowerOn();
  void Shutdown();
  void PullPlug();
  void PowerCycle(uint64_t offMs);
  // Becomes another modem: its ESN, NV items and vendor settings. The seed
  // of the port numbers, instance ids and faults stays (it sits at the same
  // place), and so does the flash.
  void SwapIdentity(uint64_t seed, uint32_t esn);

  // A timer that dies with the modem's current life (a restart cancels it).
  void After(uint64_t delayMs, std::function<void()> fn);
  void DetachNow(const std::string& reason);
  // Called just after a DetachNow: the modem comes back afterMs later (or
  // later still, or another modem in its place, as the faults and the swap
  // say). boot: the mode to attach in; unset, the one the flash boots into.
  void ComeBack(uint64_t afterMs, std::optional<ModemMode> boot, const std::string& reason);
  // A switch into a download mode that leaves the bus and comes back in it.
  void ReenumerateInto(ModemMode mode, uint64_t bootMs, const std::string& reason);
  // A switch into a download mode that keeps the ports: the modem hears
  // nothing for delayMs, then answers in mode.
  void EnterAfter(ModemMode mode, uint64_t delayMs);
  // The reset a host asked for: the modem leaves the bus and boots again.
  void Restart(const std::string& reason);
  void SwitchMode(ModemMode mode);

  // ---- the ports ----
  // Bytes the host wrote to a port: handed to handle once they have crossed
  // the link (at once when the link costs nothing), in the order written.
  // Bytes still on their way when the modem leaves the bus are lost.
  void Arrive(PortRole role, std::span<const uint8_t> bytes,
              std::function<void(PortRole, std::span<const uint8_t>)> handle);
  const CostFloor& costFloor() const { return link_.floor(); }
  // The modem spends ms leaving the bus, booting or switching modes.
  void CountBootTime(uint64_t ms) { link_.Booted(ms); }
  // Feeds the diagnostic port's bytes to its reader; each item that arrives
  // while a mode is live goes to answer, with the mode it is answered in.
  void ReadDiag(std::span<const uint8_t> bytes, const std::function<void(ReaderItem&)>& answer);
  // Collects the data port's bytes into command lines; each complete one
  // goes to answer.
  void ReadData(std::span<const uint8_t> bytes,
                const std::function<void(const std::string&)>& answer);

  // Replies on the diagnostic port, through the fault plan. requestCode:
  // the code of the request answered (for the plan's filters).
  void Reply(uint8_t requestCode, const Packet& packet, uint64_t delayMs);
  void SendDiagBytes(std::vector<uint8_t> bytes, uint64_t delayMs);
  void SendAt(PortRole role, const std::string& text);

  // ---- records ----
  void Note(PortRole port, int code, size_t length, std::string what);
  void Violate(std::string text);

 private:
  // What the fault plan does to one reply.
  struct ReplyFate {
    bool drop = false;
    bool corrupt = false;
    bool noise = false;
    bool twice = false;
    uint32_t randomCuts = 0;  // cut into up to this many more pieces
    ReplyShape shape;
  };
  ReplyFate FateOf(uint8_t requestCode, uint64_t delayMs);
  // Cuts a frame of length bytes at 1 to maxCuts random places.
  void CutAtRandom(size_t length, uint32_t maxCuts, ReplyShape* shape);

  // Every reply leaves through here: the link decides when it arrives.
  void Send(PortRole role, std::vector<uint8_t> bytes, ReplyShape shape, uint64_t processingMs);
  void OnTimer(uint64_t epoch, const ModemTransport::TimerId& slot,
               const std::function<void()>& fn);
  void AttachNow(const std::string& reason, std::optional<ModemMode> boot = std::nullopt);
  // The ports of an attachment in the given mode: the downloader and the
  // programmer show only the diagnostic port.
  Enumeration ProposeEnumeration(ModemMode boot);
  // The mode the next attachment boots into.
  ModemMode BootMode() const;

  std::mutex mutex_;
  ModemConfig config_;
  ModemTransport& transport_;
  ModeHandlers& handlers_;
  SeededRandom fault_random_;
  SeededRandom split_random_;

  ModemMode mode_ = ModemMode::Detached;
  bool shut_down_ = false;
  uint64_t epoch_ = 0;
  std::set<ModemTransport::TimerId> timers_;
  std::optional<Enumeration> ports_;
  int attachments_ = 0;
  int restarts_ = 0;
  uint32_t departures_ = 0;  // times the modem left the bus to come back
  FrameReader diag_reader_;
  std::string data_line_;
  LinkModel link_;
  std::deque<std::pair<PortRole, Packet>> inbound_;  // on the link toward the modem

  // Fault bookkeeping: matching replies seen per reply fault.
  std::vector<uint32_t> reply_fault_seen_;
  ModemMode request_mode_ = ModemMode::Normal;  // mode of the request being answered
};

}  // namespace quorrel::sim

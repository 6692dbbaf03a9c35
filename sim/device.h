// The virtual modem: one device model behind two ports.
//
// The diagnostic port speaks, by mode, the firmware's diagnostic requests
// (with the AT probes), the DMSS downloader or the streaming flash programmer;
// the data port answers AT commands while the firmware runs. The model is
// independent of how bytes travel: it is fed each port's bytes by a
// ModemTransport and answers through it, with delays, and it asks the
// transport for timers and for the ports to appear and vanish (USB
// re-enumeration). The transport may call in from any thread; the model
// serialises everything behind one lock.
//
// The model is strict: whatever the host sends that the current mode does not
// allow (framing, CRC, stuffing, lengths, request codes, order) is recorded as
// a violation with its time, and the modem answers as a real one would.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "sim/config.h"
#include "sim/flash_store.h"
#include "sim/frame_reader.h"
#include "sim/nv_store.h"
#include "sim/random.h"

namespace quorrel::sim {

enum class PortRole { Diag, Data };
std::string_view PortRoleName(PortRole role);

// How a block of bytes reaches the host: after delayMs, in one piece or in
// pieces of pieceSize bytes intervalMs apart (pieceSize 0: one piece), or in
// pieces of the given lengths when pieces is not empty.
struct ReplyShape {
  uint64_t delayMs = 0;
  size_t pieceSize = 0;
  uint64_t intervalMs = 0;
  std::vector<size_t> pieces;
};
// The lengths of the pieces in which a block of total bytes is sent.
std::vector<size_t> PieceLengths(const ReplyShape& shape, size_t total);

// One appearance of the modem on the bus.
struct Enumeration {
  int index = 0;     // 0 for the first attachment after power-on
  // The mode it boots into: a download mode shows only the diagnostic port
  // (and, on USB, the download identity).
  ModemMode mode = ModemMode::Normal;
  int diagPort = 0;  // 0 when the diagnostic port is switched off
  int dataPort = 0;
  std::string vendor;
  std::string diagDevicePath;   // USB\VID_xxxx&PID_xxxx&MI_01\<instance>
  std::string modemDevicePath;  // USB\VID_xxxx&PID_xxxx&MI_00\<instance>
};

class ModemTransport {
 public:
  using TimerId = uint64_t;
  virtual ~ModemTransport() = default;
  // The modem's clock, in milliseconds.
  virtual uint64_t NowMs() = 0;
  virtual void Send(PortRole role, std::vector<uint8_t> bytes, const ReplyShape& shape) = 0;
  virtual TimerId After(uint64_t delayMs, std::function<void()> fn) = 0;
  virtual void CancelTimer(TimerId id) = 0;
  // Makes the ports appear. The transport may pick other port numbers than
  // proposed (ports already taken); it returns what it attached.
  virtual Enumeration Attach(const Enumeration& proposed) = 0;
  virtual void Detach() = 0;
  // The modem entered another mode.
  virtual void ModeChanged(ModemMode /*mode*/) {}
  // The modem has left the bus for good, and another modem comes back in
  // its place afterMs later (a swap, ModemConfig::swap). False when the
  // transport has no other modem: this one then comes back itself.
  virtual bool HandOver(uint64_t /*afterMs*/) { return false; }
};

// ---- what the modem records ----

struct RequestRecord {
  uint64_t timeMs = 0;
  PortRole port = PortRole::Diag;
  ModemMode mode = ModemMode::Normal;
  int code = -1;  // request code; -1 for AT text and noise
  size_t length = 0;  // packet bytes (AT: characters)
  std::string what;   // a short description
};

struct Violation {
  uint64_t timeMs = 0;
  ModemMode mode = ModemMode::Normal;
  std::string text;
};

struct AtRecord {
  uint64_t timeMs = 0;
  PortRole port = PortRole::Data;
  std::string command;
  bool answered = false;
};

struct VendorRecord {
  uint64_t timeMs = 0;
  std::string name;  // "switch_aa", "autorun", "get_value", "set_value", "command_5c", "spc", "ready_poll"
  std::vector<uint8_t> value;
  std::string result;
};

struct HandshakeState {
  enum class Result { NotAttempted, Passed, Failed };
  Result result = Result::NotAttempted;
  std::vector<uint8_t> challenge;  // the last challenge handed out
  std::vector<uint8_t> answer;     // the last answer received
  int challenges = 0;
  int answers = 0;
};
std::string_view HandshakeResultName(HandshakeState::Result result);

struct AttachRecord {
  uint64_t timeMs = 0;
  bool attached = false;  // false: detached
  Enumeration ports;
  std::string reason;
};

struct ModemSnapshot {
  uint64_t nowMs = 0;
  ModemMode mode = ModemMode::Detached;
  std::optional<Enumeration> ports;
  std::vector<AttachRecord> attachHistory;
  std::vector<RequestRecord> requests;
  std::vector<Violation> violations;
  std::vector<AtRecord> atCommands;
  std::vector<VendorRecord> vendorRequests;
  HandshakeState handshake;
  std::vector<NvWriteRecord> nvWrites;
  std::vector<std::vector<uint8_t>> partitionTables;
  std::vector<FlashImage> images;
  // The programmer the last successful go started, else what RAM holds at
  // the load address now.
  std::vector<uint8_t> programmer;
  std::string version;
  uint8_t autorun = 0;
  uint8_t vendorSwitchAA = 0;
  int diagPortMode = 0;
  std::vector<std::string> cdRun;
};

class VirtualModem {
 public:
  VirtualModem(ModemConfig config, ModemTransport& transport);
  ~VirtualModem();
  VirtualModem(const VirtualModem&) = delete;
  VirtualModem& operator=(const VirtualModem&) = delete;

  // Attaches in the normal firmware at once.
  void PowerOn();
  // Bytes the host wrote to one of the ports.
  void Receive(PortRole role, std::span<const uint8_t> bytes);
  // Stops every timer and takes the ports off the bus for good.
  void Shutdown();
  // Pulls the plug and plugs it in again offMs later: the firmware boots
  // with new port numbers (the way out of a hung modem).
  void PowerCycle(uint64_t offMs);
  // Pulls the plug; PowerOn plugs it in again.
  void PullPlug();
  // Becomes another modem (SwapFault says which): from now on the modem
  // answers with that one's ESN, NV items, vendor settings and firmware.
  // The records go on as one log; the attachment history marks the swap.
  void SwapIdentity(uint64_t seed, uint32_t esn);

  // ---- inspection (copies, safe from any thread) ----
  ModemMode Mode();
  std::optional<Enumeration> Ports();  // nothing while off the bus
  int Attachments();
  std::vector<AttachRecord> AttachHistory();
  std::vector<RequestRecord> Requests();
  std::vector<Violation> Violations();
  std::vector<AtRecord> AtCommands();
  std::vector<VendorRecord> VendorRequests();
  HandshakeState Handshake();
  std::vector<NvWriteRecord> NvWrites();
  NvData NvItem(uint16_t item);
  NvData NvDefault(uint16_t item);
  // Changes an item as a flash of the release might (for tests).
  void PutNvItem(uint16_t item, const NvData& data);
  std::vector<std::vector<uint8_t>> PartitionTables();
  std::vector<FlashImage> Images();
  // The bytes of the image of a type that the flash ends up holding.
  std::optional<std::vector<uint8_t>> ImageBytes(uint8_t type);
  std::optional<std::vector<uint8_t>> ImageHeader(uint8_t type);
  // What was uploaded into RAM at the load address (contiguous part).
  std::vector<uint8_t> UploadedProgrammer();
  std::string CurrentVersion();
  uint8_t Autorun();
  uint8_t VendorSwitchAA();
  int DiagPortMode();
  std::vector<std::string> CdRunCommands();
  bool Offline();
  uint64_t NowMs();
  const ModemConfig& config() const { return config_; }

  // Everything at one moment, for reports.
  ModemSnapshot Snapshot();

 private:
  using Packet = std::vector<uint8_t>;

  // Timers that die with the modem's current life (a restart cancels them).
  void After(uint64_t delayMs, std::function<void()> fn);
  // slot: the timer's id, read only once the lock is held.
  void OnTimer(uint64_t epoch, const ModemTransport::TimerId& slot, const std::function<void()>& fn);

  // boot: the mode to attach in; unset, the one BootMode gives.
  void AttachNow(const std::string& reason, std::optional<ModemMode> boot = std::nullopt);
  void DetachNow(const std::string& reason);
  // Called just after a DetachNow: the modem comes back afterMs later (or
  // later still, or another modem in its place, as the faults and the swap
  // say).
  void ComeBack(uint64_t afterMs, std::optional<ModemMode> boot, const std::string& reason);
  // A switch into a download mode that leaves the bus and comes back in it.
  void ReenumerateInto(ModemMode mode, uint64_t bootMs, const std::string& reason);
  void Restart(const std::string& reason);
  void SwapIdentityLocked(uint64_t seed, uint32_t esn);
  void SwitchMode(ModemMode mode);
  // The ports of an attachment in the given mode: the downloader and the
  // programmer show only the diagnostic port.
  Enumeration ProposeEnumeration(ModemMode boot);
  // The mode the next attachment boots into.
  ModemMode BootMode() const;

  // Replies on the diagnostic port, through the fault plan.
  void Reply(uint8_t requestCode, const Packet& packet, uint64_t delayMs);
  void SendDiagBytes(std::vector<uint8_t> bytes, uint64_t delayMs);
  void SendAt(PortRole role, const std::string& text);

  void Note(PortRole port, int code, size_t length, std::string what);
  void Violate(std::string text);

  void HandleDiagItems(std::vector<ReaderItem>& items);
  void HandleDataBytes(std::span<const uint8_t> bytes);
  void HandleAtOnDiag(const std::string& line);
  void HandleAtOnData(const std::string& line);

  // Normal firmware.
  void DiagRequest(const HostFrame& frame);
  void DiagError(uint8_t error, const Packet& request, const std::string& why);
  void DiagModeChange(const Packet& p);
  void DiagVersionTexts();
  void DiagBuildVersion();
  void DiagNv(const Packet& p);
  // Answers an NV request through the first NV reply fault that applies;
  // false when none does.
  bool FaultyNvReply(const Packet& p, bool write, uint16_t item, const NvData& data);
  void DiagSubsystem(const Packet& p);
  std::vector<uint8_t> NextChallenge();

  // DMSS downloader.
  void DmssRequest(const HostFrame& frame);
  void DmssReject(uint8_t requestCode, uint16_t reason, const std::string& why);
  void DmssWrite(const Packet& p);
  void DmssGo(const Packet& p);
  bool ProgrammerInRam(std::string* why);

  // Streaming programmer.
  void StreamRequest(const HostFrame& frame);
  void StreamError(uint8_t requestCode, uint32_t code, const std::string& why);
  void StreamWrite(const Packet& p);
  void StreamOpen(const Packet& p);

  std::mutex mutex_;
  ModemConfig config_;
  ModemTransport& transport_;
  SeededRandom fault_random_;
  SeededRandom challenge_random_;
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

  // Firmware state.
  std::string current_version_;
  bool flashed_ = false;  // an AMSS image was written and closed
  bool offline_ = false;
  uint32_t polls_since_offline_ = 0;
  uint8_t autorun_;
  uint8_t switch_aa_;
  int diag_port_mode_;
  bool at_echo_;
  std::vector<std::string> cdrun_;
  std::optional<std::vector<uint8_t>> pending_challenge_;
  HandshakeState handshake_;
  bool spc_unlocked_ = false;
  NvStore nv_;
  std::map<uint16_t, uint32_t> nv_fault_uses_;
  // Per NV reply fault: the item's uses so far.
  std::vector<std::map<uint16_t, uint32_t>> nv_reply_fault_uses_;

  // Downloader state.
  std::vector<uint8_t> ram_;
  std::map<uint32_t, uint32_t> ram_written_;  // offset -> end, merged
  uint32_t dmss_writes_ = 0;
  std::vector<uint8_t> started_programmer_;  // what the last successful go ran

  // Programmer state.
  bool greeted_ = false;
  bool secure_ = false;
  bool partition_sent_ = false;
  FlashStore flash_;
  std::vector<uint32_t> stream_error_uses_;
  bool unplug_done_ = false;
  uint32_t stream_writes_ = 0;
  // The flash is unfinished: every boot ends in the downloader.
  bool boot_downloader_ = false;
  bool power_loss_done_ = false;
  // The programmer answers nothing until it is greeted again.
  bool stalled_ = false;
  bool stall_done_ = false;

  // Fault bookkeeping: matching replies seen per reply fault.
  std::vector<uint32_t> reply_fault_seen_;
  ModemMode request_mode_ = ModemMode::Normal;  // mode of the request being answered

  // Records.
  std::vector<RequestRecord> requests_;
  std::vector<Violation> violations_;
  std::vector<AtRecord> at_commands_;
  std::vector<VendorRecord> vendor_;
  std::vector<NvWriteRecord> nv_writes_;
  std::vector<AttachRecord> attach_history_;
};

}  // namespace quorrel::sim

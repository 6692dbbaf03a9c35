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
//
// Each mode has a handler of its own (firmware_mode.h, downloader_mode.h,
// programmer_mode.h) over the core they share (modem_core.h); this class
// holds them, hands each request to the mode the modem is in, and answers
// the inspection calls.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "sim/config.h"
#include "sim/downloader_mode.h"
#include "sim/firmware_mode.h"
#include "sim/flash_store.h"
#include "sim/modem_core.h"
#include "sim/nv_store.h"
#include "sim/programmer_mode.h"
#include "sim/records.h"
#include "sim/transport.h"

namespace quorrel::sim {

class VirtualModem : private ModemCore::ModeHandlers {
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
  const ModemConfig& config() const { return core_.config(); }

  // Everything at one moment, for reports.
  ModemSnapshot Snapshot();

 private:
  void Booting(ModemMode boot) override;
  void Entering(ModemMode mode) override;
  void Answer(ReaderItem& item);

  ModemCore core_;
  FirmwareMode firmware_;
  DownloaderMode downloader_;
  ProgrammerMode programmer_;
};

}  // namespace quorrel::sim

#include "sim/device.h"

namespace quorrel::sim {

std::string_view PortRoleName(PortRole role) {
  return role == PortRole::Diag ? "diag" : "data";
}

std::string_view HandshakeResultName(HandshakeState::Result result) {
  switch (result) {
    case HandshakeState::Result::NotAttempted:
      return "not attempted";
    case HandshakeState::Result::Passed:
      return "passed";
    case HandshakeState::Result::Failed:
      return "failed";
  }
  return "unknown";
}

VirtualModem::VirtualModem(ModemConfig config, ModemTransport& transport)
    : core_(std::move(config), transport, *this),
      firmware_(core_),
      downloader_(core_),
      programmer_(core_) {}

VirtualModem::~VirtualModem() {
  Shutdown();
}

// ---------------------------------------------------------------- life cycle

void VirtualModem::PowerOn() {
  std::lock_guard lock(core_.mutex());
  core_.PowerOn();
}

void VirtualModem::Shutdown() {
  std::lock_guard lock(core_.mutex());
  core_.Shutdown();
}

void VirtualModem::PullPlug() {
  std::lock_guard lock(core_.mutex());
  core_.PullPlug();
}

void VirtualModem::PowerCycle(uint64_t offMs) {
  std::lock_guard lock(core_.mutex());
  core_.PowerCycle(offMs);
}

void VirtualModem::SwapIdentity(uint64_t seed, uint32_t esn) {
  std::lock_guard lock(core_.mutex());
  core_.SwapIdentity(seed, esn);
}

void VirtualModem::Booting(ModemMode boot) {
  firmware_.Boot();
  downloader_.Boot(boot);
  programmer_.Boot();
}

void VirtualModem::Entering(ModemMode mode) {
  if (mode == ModemMode::Downloader) downloader_.Enter();
  if (mode == ModemMode::Programmer) programmer_.Enter();
}

// ------------------------------------------------------------------ requests

void VirtualModem::Receive(PortRole role, std::span<const uint8_t> bytes) {
  std::lock_guard lock(core_.mutex());
  if (core_.shutDown() || bytes.empty()) return;
  core_.Arrive(role, bytes, [this](PortRole from, std::span<const uint8_t> arrived) {
    if (from == PortRole::Data) {
      core_.ReadData(arrived, [this](const std::string& line) { firmware_.AtOnData(line); });
    } else {
      core_.ReadDiag(arrived, [this](ReaderItem& item) { Answer(item); });
    }
  });
}

void VirtualModem::Answer(ReaderItem& item) {
  switch (item.kind) {
    case ReaderItem::Kind::Noise:
      core_.Note(PortRole::Diag, -1, 0, item.text);
      core_.Violate(item.text);
      return;
    case ReaderItem::Kind::AtLine:
      firmware_.AtOnDiag(item.text);
      return;
    case ReaderItem::Kind::Frame:
      for (const std::string& problem : item.frame.problems) core_.Violate(problem);
      if (core_.mode() == ModemMode::Normal) {
        firmware_.Request(item.frame);
      } else if (core_.mode() == ModemMode::Downloader) {
        downloader_.Request(item.frame);
      } else {
        programmer_.Request(item.frame);
      }
      return;
  }
}

// ---------------------------------------------------------------- inspection

ModemMode VirtualModem::Mode() {
  std::lock_guard lock(core_.mutex());
  return core_.mode();
}
std::optional<Enumeration> VirtualModem::Ports() {
  std::lock_guard lock(core_.mutex());
  return core_.ports();
}
int VirtualModem::Attachments() {
  std::lock_guard lock(core_.mutex());
  return core_.attachments();
}
std::vector<AttachRecord> VirtualModem::AttachHistory() {
  std::lock_guard lock(core_.mutex());
  return core_.records.attachHistory;
}
std::vector<RequestRecord> VirtualModem::Requests() {
  std::lock_guard lock(core_.mutex());
  return core_.records.requests;
}
std::vector<Violation> VirtualModem::Violations() {
  std::lock_guard lock(core_.mutex());
  return core_.records.violations;
}
std::vector<AtRecord> VirtualModem::AtCommands() {
  std::lock_guard lock(core_.mutex());
  return core_.records.atCommands;
}
std::vector<VendorRecord> VirtualModem::VendorRequests() {
  std::lock_guard lock(core_.mutex());
  return core_.records.vendor;
}
HandshakeState VirtualModem::Handshake() {
  std::lock_guard lock(core_.mutex());
  return firmware_.handshake();
}
std::vector<NvWriteRecord> VirtualModem::NvWrites() {
  std::lock_guard lock(core_.mutex());
  return core_.records.nvWrites;
}
NvData VirtualModem::NvItem(uint16_t item) {
  std::lock_guard lock(core_.mutex());
  return core_.memory.nv.Data(item);
}
void VirtualModem::PutNvItem(uint16_t item, const NvData& data) {
  std::lock_guard lock(core_.mutex());
  core_.memory.nv.Put(item, data);
}
NvData VirtualModem::NvDefault(uint16_t item) {
  std::lock_guard lock(core_.mutex());
  return core_.memory.nv.DefaultData(item);
}
std::vector<std::vector<uint8_t>> VirtualModem::PartitionTables() {
  std::lock_guard lock(core_.mutex());
  return core_.memory.flash.PartitionTables();
}
std::vector<FlashImage> VirtualModem::Images() {
  std::lock_guard lock(core_.mutex());
  return core_.memory.flash.Images();
}
std::optional<std::vector<uint8_t>> VirtualModem::ImageBytes(uint8_t type) {
  std::lock_guard lock(core_.mutex());
  const FlashImage* image = core_.memory.flash.Latest(type);
  if (image == nullptr) return std::nullopt;
  return image->Assembled();
}
std::optional<std::vector<uint8_t>> VirtualModem::ImageHeader(uint8_t type) {
  std::lock_guard lock(core_.mutex());
  const FlashImage* image = core_.memory.flash.Latest(type);
  if (image == nullptr) return std::nullopt;
  return image->header;
}
std::vector<uint8_t> VirtualModem::UploadedProgrammer() {
  std::lock_guard lock(core_.mutex());
  return downloader_.Uploaded();
}
std::string VirtualModem::CurrentVersion() {
  std::lock_guard lock(core_.mutex());
  return firmware_.version();
}
uint8_t VirtualModem::Autorun() {
  std::lock_guard lock(core_.mutex());
  return core_.memory.autorun;
}
uint8_t VirtualModem::VendorSwitchAA() {
  std::lock_guard lock(core_.mutex());
  return core_.memory.switchAA;
}
int VirtualModem::DiagPortMode() {
  std::lock_guard lock(core_.mutex());
  return core_.memory.diagPortMode;
}
std::vector<std::string> VirtualModem::CdRunCommands() {
  std::lock_guard lock(core_.mutex());
  return firmware_.cdRun();
}
bool VirtualModem::Offline() {
  std::lock_guard lock(core_.mutex());
  return firmware_.offline();
}
uint64_t VirtualModem::NowMs() {
  return core_.NowMs();
}

ModemSnapshot VirtualModem::Snapshot() {
  std::lock_guard lock(core_.mutex());
  ModemSnapshot s;
  s.nowMs = core_.NowMs();
  s.mode = core_.mode();
  s.ports = core_.ports();
  s.attachHistory = core_.records.attachHistory;
  s.requests = core_.records.requests;
  s.violations = core_.records.violations;
  s.atCommands = core_.records.atCommands;
  s.vendorRequests = core_.records.vendor;
  s.handshake = firmware_.handshake();
  s.nvWrites = core_.records.nvWrites;
  s.partitionTables = core_.memory.flash.PartitionTables();
  s.images = core_.memory.flash.Images();
  s.programmer = downloader_.StartedOrUploaded();
  s.version = firmware_.version();
  s.autorun = core_.memory.autorun;
  s.vendorSwitchAA = core_.memory.switchAA;
  s.diagPortMode = core_.memory.diagPortMode;
  s.cdRun = firmware_.cdRun();
  s.floor = core_.costFloor();
  return s;
}

}  // namespace quorrel::sim

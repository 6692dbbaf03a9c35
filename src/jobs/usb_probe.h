// Finding which ports of a USB modem are its diagnostic and AT ports when no
// modem table line names them.
//
// Only modem candidates are looked at: interfaces of vendor-specific class
// bound to option or qcserial, with a tty (IsModemCandidate); nothing else is
// ever opened. Each candidate is opened exclusively and locked, as a job
// opens its ports, for one exchange at a time:
//
// - When ModemManager drives the device, the port types it found (QCDM, AT)
//   are taken instead, and it is asked to leave the device alone.
// - A device with its one interface on qcserial is in the chipset's download
//   mode: it gets the downloader's no-op only, never a diagnostic frame.
// - Otherwise each candidate in turn gets one read-only diagnostic request
//   (the ESN) until one answers it with a frame whose check is good (an error
//   reply to the request counts too: only a diagnostic port gives one); the
//   others then get "AT", answered by "OK" on an AT port.
//
// What is found becomes a line of the user's modem table (through the USB
// bridge's prober, see SetUsbProber); each appearance of a device is probed
// once.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/modem_table.h"
#include "platform/usb_bridge.h"

namespace quorrel {

// What one port made of the probe.
struct PortProbeResult {
  enum class Outcome {
    Diagnostic,  // answered the diagnostic request
    Download,    // answered the downloader's no-op
    At,          // answered "AT" with OK
    NoAnswer,    // opened, asked, nothing that counts came back
    Busy,        // another program holds it
    Denied,      // this user may not open it
    CannotOpen,  // any other reason
    NotAsked,    // the ports were found before its turn
  };
  int interfaceNumber = 0;
  std::string tty;
  Outcome outcome = Outcome::NotAsked;
  // How it answered, or why it could not be asked: the process holding it,
  // the fix for the permission.
  std::string detail;
};

struct DeviceProbeReport {
  std::string appearance;  // UsbDeviceInfo::AppearanceKey
  std::string how;         // "probing", "ModemManager's port types"
  std::vector<PortProbeResult> ports;
  std::optional<ModemTableEntry> found;
  // What ModemManager said when asked to leave the device alone; empty when
  // it was not asked.
  std::string modemManager;
};

// The time each request of the probe waits for its answer.
inline constexpr uint32_t kUsbProbeReplyMs = 500;

// Probes one device whose tty nodes are under dev (a sysfs scan's device).
// Sends nothing when the device has no candidate.
DeviceProbeReport ProbeUsbDevice(Clock& clock, const UsbDeviceInfo& device,
                                 const std::filesystem::path& dev);

// A tty that could not be opened, in words: "busy: held by ModemManager
// (pid 812)", "permission denied" with the fix, the system's text.
PortProbeResult::Outcome OpenFailure(int error, const std::filesystem::path& node,
                                     uint16_t vendorId, uint16_t productId, std::string* why);

// Makes the process's USB bridge probe devices that no table line names,
// on this clock (unless probing is off: --no-usb-probe, QUORREL_USB_PROBE=0).
// The clock must outlive the process's polls.
void EnableUsbProbing(Clock& clock);

// The report of the last probe of an appearance in this process; nothing
// when it was not probed.
std::optional<DeviceProbeReport> UsbProbeReportFor(const std::string& appearance);

// The word for an outcome ("diagnostic port", "busy", ...).
const char* ProbeOutcomeText(PortProbeResult::Outcome outcome);

}  // namespace quorrel

// What a virtual modem is and how it misbehaves: its identity, firmware texts,
// NV contents, timings and the faults to inject. Everything that varies is
// derived from the seed, so two modems built from the same configuration act
// byte for byte alike.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace quorrel::sim {

// The three personalities of the diagnostic port, and the moments between
// them when the port hears nothing.
enum class ModemMode {
  Normal,      // the firmware: diagnostic requests and AT probes
  Downloader,  // the boot code's DMSS downloader
  Programmer,  // the flash programmer in RAM: streaming download
  Switching,   // on the way into the downloader or the programmer
  Hung,        // jumped into RAM that held no programmer
  Detached,    // off the bus (re-enumerating, unplugged, gone)
};
std::string_view ModeName(ModemMode mode);

// Which replies a fault applies to: the nth, (n+1)th, ... reply that matches
// the mode and request-code filters, count of them (0: every one from the nth
// on). Replies are counted per fault, on the diagnostic port only.
struct ReplyMatch {
  uint32_t nth = 1;
  uint32_t count = 1;
  std::optional<ModemMode> mode;
  std::optional<uint8_t> code;  // the request code the reply answers
  // Only every `every`th matching reply from the nth on (1: each one).
  uint32_t every = 1;
};

struct ReplyFault {
  // Noise: 1 to 8 stray bytes (drawn from the seed; never a flag or an
  // escape) go out in front of the reply, as line noise or the tail of
  // something sent earlier would.
  // Twice: the reply is sent a second time right after itself.
  enum class Kind { Drop, Corrupt, Delay, Split, Noise, Twice };
  Kind kind = Kind::Drop;
  ReplyMatch match;
  uint64_t delayMs = 0;      // Delay
  size_t pieceSize = 1;      // Split: bytes per piece
  uint64_t intervalMs = 20;  // Split: time between pieces
  // Split: when set, each reply is cut instead at 1 to randomCuts points
  // drawn from the seed (pieceSize is then not used).
  uint32_t randomCuts = 0;
};

// A DMSS write refused with a reject reason: the nth write request received
// and the count-1 after it (count 0: every one from the nth on).
struct DmssRejectFault {
  uint32_t nth = 1;
  uint32_t count = 1;
  uint16_t reason = 7;  // "operation did not succeed"
};

// A stream write answered with an error reply: the block at index block
// (address / 1024) of the image of the given type; count times (0: always).
struct StreamErrorFault {
  uint8_t imageType = 5;
  uint32_t block = 0;
  uint32_t code = 10;  // "Write-verify failed"
  uint32_t count = 1;
};

// A status answered for an NV item instead of the stored one; count times
// (0: always). Unset read/write statuses leave that direction alone.
struct NvStatusFault {
  std::optional<uint16_t> read;
  std::optional<uint16_t> write;
  uint32_t count = 0;
};

// An NV read or write answered wrongly, for one item or every item; count
// times per item (0: always). A wrongly answered write is not stored.
struct NvReplyFault {
  enum class Kind {
    OtherItem,  // the reply names item `value` (a read: with that item's data)
    Short,      // the reply is cut to its first `value` bytes
    DiagError,  // a diagnostic error reply with code `value` (0x13, 0x14, 0x15)
    Status,     // the reply carries status `value` and zero data
  };
  Kind kind = Kind::OtherItem;
  std::optional<uint16_t> item;  // unset: every item
  bool write = false;            // writes instead of reads
  uint16_t value = 0;
  uint32_t count = 0;
};

// The cable is pulled while the host writes block `block` of the image of the
// given type; the modem comes back in its normal firmware after replugMs (0:
// never).
struct UnplugFault {
  uint8_t imageType = 9;
  uint32_t block = 0;
  uint64_t replugMs = 0;
};

// The programmer stops answering when the host writes block `block` of the
// image of the given type: that write and everything after it get no reply
// (the image never completes), until the host greets the programmer again.
struct StallFault {
  uint8_t imageType = 5;
  uint32_t block = 0;
};

// Another modem comes back in this one's place after its nth re-enumerating
// reset, as when a user swaps modems during a reboot: another ESN, NV items
// drawn from another seed, its own vendor settings, and its own firmware
// (nothing flashed). Its USB place and port numbering stay those of the
// first modem.
struct SwapFault {
  uint32_t afterReset = 1;
  uint64_t seed = 2;
  uint32_t esn = 0x5C0FFEE5;
};

// A slow boot: the nth time the modem comes back to the bus (counting every
// time it left to come back: a reset, a switch that re-enumerates, a power
// cycle, a replug) and the count-1 after it (count 0: every one from the nth
// on) take ms instead of their usual pause.
struct SlowReboot {
  uint32_t nth = 1;
  uint32_t count = 1;
  uint64_t ms = 0;
};

struct FaultPlan {
  std::vector<ReplyFault> replies;
  // Drop or corrupt each diagnostic-port reply with this probability (in
  // thousandths), drawn from the seed.
  uint32_t randomDropPerMille = 0;
  uint32_t randomCorruptPerMille = 0;
  std::vector<DmssRejectFault> dmssRejects;
  std::vector<StreamErrorFault> streamErrors;
  std::map<uint16_t, NvStatusFault> nvStatus;
  std::vector<NvReplyFault> nvReplies;
  // The modem does not come back after its nth re-enumerating reset (0: off).
  uint32_t noReturnAfterReset = 0;
  std::optional<UnplugFault> unplug;
  // The readiness poll never reports ready.
  bool neverReady = false;
  // The programmer answers this many stream writes, then hangs: from the
  // next write on it answers nothing at all (0: off).
  uint32_t programmerSilentAfter = 0;
  // Power fails right after the partition table was written: the modem
  // comes back in its downloader, and keeps booting into it until an amss
  // image has been written and closed again.
  bool powerLossAfterPartition = false;
  std::optional<StallFault> stall;
  std::optional<SwapFault> swap;
  // Re-enumerations that take longer to come back.
  std::optional<SlowReboot> slowReboot;
};

struct Timings {
  uint64_t replyMs = 2;       // ordinary replies
  uint64_t nvReplyMs = 6;     // NV read and write
  uint64_t atReplyMs = 20;    // AT answers on either port
  uint64_t flashWriteMs = 3;  // a stream write, until its block-written reply
  // The programmer erases each flash block as it first writes to it (the
  // cost is in flashWriteMs); opening an image only finds its partition.
  uint64_t imageOpenMs = 20;   // an open multi-image, until its reply
  uint64_t imageCloseMs = 10;  // a close, until its reply
  // The USB link's rate each way (full speed carries about 1 MB/s). 0: bytes
  // cross at once and the modem works on requests side by side.
  uint64_t linkBytesPerSecond = 1'000'000;
  uint64_t downloaderStartMs = 1500;  // from the switch reply until the downloader answers
  uint64_t programmerStartMs = 500;   // from the go acknowledgement until the programmer answers
  uint64_t detachAfterMs = 300;       // from a reset reply until the ports vanish
  uint64_t reattachAfterMs = 4000;    // ports gone until they appear with new numbers
  // A switch that re-enumerates (UsbSettings) leaves the bus detachAfterMs
  // after its reply and comes back downloaderStartMs (programmerStartMs)
  // after that.
};

// Where the modem comes back when it re-enumerates at another speed: on the
// companion port of a USB3 root hub (1-2 <-> 2-2).
enum class UsbCompanion {
  None,      // always at its own path
  Every,     // each re-enumeration comes back on the other side
  Download,  // the download modes on the companion, the firmware at its path
};

// The modem as a Linux USB device.
struct UsbSettings {
  // Every mode change leaves the bus and comes back as a new device, as a
  // real modem does: the switch into the downloader, and the programmer's
  // start when programmerReenumerates (resets, power cycles and replugs
  // always do). Off, the ports stay across those two switches.
  bool reenumerate = false;
  bool programmerReenumerates = true;
  // The port path of the first attachment ("1-2", "1-1.4.2").
  std::string path = "1-2";
  UsbCompanion companion = UsbCompanion::None;
  // The download modes' identity (one interface, number 0, bound to
  // qcserial, no serial number): the chipset's download mode.
  uint16_t downloadVendorId = 0x05C6;
  uint16_t downloadProductId = 0x9008;
  // The firmware's serial number: unset, the ESN in eight upper-case hex
  // digits; empty, none.
  std::optional<std::string> serial;
  // The firmware's interfaces 0 .. interfaceCount-1: the diagnostic and the
  // AT one bound to option with a tty each, the others reserved (no driver,
  // no tty).
  int diagInterface = 0;
  int atInterface = 2;
  int interfaceCount = 3;
};

// Another modem put in at the same place while this one was away (a user
// who swapped modems during a reboot): at its at-th departure this modem
// never comes back; the other one does, with its own seed (NV contents),
// ESN and serial number.
struct SwapPlan {
  uint32_t at = 1;
  uint64_t seed = 0;
  uint32_t esn = 0;
  std::optional<std::string> serial;  // unset: its ESN, as above
};

struct ModemConfig {
  uint64_t seed = 1;

  // The mode the modem attaches in at power-on: Normal, or Downloader or
  // Programmer for a modem a failed flash left behind (only the diagnostic
  // port then, and it keeps booting into the downloader until an amss image
  // is written and closed).
  ModemMode startMode = ModemMode::Normal;

  // Identity.
  uint32_t esn = 0x8A3F21C4;
  std::string buildVersion = "M6290A-KPRBL-1.5.1205";
  // Texts 1 to 8 of the version-text reply (at most 30 characters each);
  // missing ones are empty.
  std::vector<std::string> versionTexts = {"Q6290-ASWP-1.5", "HW-V2.1", "BOOT-1.05", "CFG-7",
                                           "RF-3.2",         "AUD-1",   "MMC-2",     "NAND-512"};
  // The ninth text (the firmware release the updater checks for its carrier
  // tag; up to 53 characters, running on into fields 10 and 11).
  std::string firmwareVersion = "ZIZ_RU_Farrick_B01";
  // What the ninth text becomes once a release has been flashed (an AMSS
  // image written and closed) and the modem restarted.
  std::string flashedVersion = "ZIZ_RU_Farrick_B02";
  // The answer to AT+GMR; empty: the current ninth text.
  std::string gmrText;
  bool atEcho = false;
  std::string serviceCode = "000000";

  // USB identity: <vendor>usbser6k / <vendor>usbmdm6k services and the
  // device path's vendor and product ids.
  std::string vendor = "Vantrel";
  uint16_t usbVendorId = 0x1E0E;
  uint16_t usbProductId = 0x9000;
  // Port numbers of the first attachment; each re-enumeration moves both on.
  int firstDiagPort = 5;
  int firstDataPort = 6;

  // NV items: every item 0..65535 is active with 128 bytes derived from the
  // seed, except these.
  std::set<uint16_t> inactiveItems;
  std::set<uint16_t> readOnlyItems;
  std::map<uint16_t, std::vector<uint8_t>> nvContents;  // explicit contents

  // Downloader: the parameter reply, the RAM that takes DMSS writes, and,
  // when set, the programmer that must be in RAM for go to start it.
  uint8_t dmssVersion = 2;
  uint8_t dmssMinVersion = 1;
  uint32_t dmssValue32 = 1024;
  uint8_t dmssModel = 0x26;
  uint8_t flashSizeCode = 6;
  uint8_t flashKind = 0x05;
  uint32_t ramBase = 0x00800000;
  uint32_t ramSize = 0x00200000;
  std::vector<uint8_t> expectedProgrammer;

  // Vendor settings kept across restarts.
  uint8_t autorun = 1;
  uint8_t vendorSwitchAA = 0;
  int diagPortMode = 6;  // AT+VDIAG; 0 removes the diagnostic port at the next attach
  // Readiness polls answered "not ready" after each offline request.
  uint32_t readyAfterPolls = 0;
  // The challenge of the vendor handshake; unset: drawn from the seed.
  std::optional<std::vector<uint8_t>> challenge;

  Timings timings;
  FaultPlan faults;
  UsbSettings usb;
  std::optional<SwapPlan> swap;
};

// The configuration of the modem a swap puts in: this one's model and
// firmware, the swap's identity, fresh NV contents and no faults.
ModemConfig SwappedInConfig(const ModemConfig& config);
// The firmware's USB serial number (empty: none).
std::string UsbSerial(const ModemConfig& config);
// "1-2", "1-1.4.2": a bus from 1, a dash, port numbers from 1 joined by dots.
bool ValidUsbPortPath(const std::string& path);
// The companion of a root port path: USB 2.0 on the odd bus, USB3 on the
// even one above it ("1-2" <-> "2-2"); empty for a path behind a hub.
std::string UsbCompanionPath(const std::string& path);

// Names used for image types in reports and dumps ("amss", "efs", ...).
std::string ImageTypeName(uint8_t type);
// The header file name of an image type that has one ("amsshd"), else empty.
std::string ImageHeaderName(uint8_t type);

}  // namespace quorrel::sim

// Keeping ModemManager off a modem while a job runs.
//
// ModemManager probes every new modem port with AT commands; in the middle of
// a download that ruins the exchange. Before a job first talks to a modem it
// asks ModemManager over the system bus to inhibit the modem's USB device
// (InhibitDevice with the device's uid, its sysfs path) and gives the device
// back when the job ends. No system bus, or nobody owning ModemManager's name
// on it, means ModemManager does not run: nothing to do.
//
// The bus address is $QUORREL_SYSTEM_BUS when set (a private bus in tests),
// else the system bus. Windows has no ModemManager: there every request is
// "not needed".
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace quorrel {

// The sysfs folder of the USB device behind COM port `port`:
// <root>/dosdevices/comN -> the tty node -> $QUORREL_SYSFS/class/tty/<tty>/device
// resolved -> the nearest folder above it with idVendor and idProduct (the
// device, above its interface). Empty when the port is missing or its tty is
// not on USB (a pseudo-terminal).
std::string UsbDeviceOfPort(int port);

class ModemManagerInhibition;

struct InhibitOutcome {
  enum class State {
    Inhibited,  // ModemManager leaves the device alone until the hold goes
    NotNeeded,  // no bus, ModemManager not running, or it does not handle the device
    Refused,    // ModemManager runs and would not inhibit the device
  };
  State state = State::NotNeeded;
  // Refused: the bus's error (name and message); NotNeeded: why.
  std::string detail;
  // Inhibited: releases the inhibition when the last copy goes.
  std::shared_ptr<ModemManagerInhibition> hold;
};

// How long the inhibition request waits for ModemManager's answer. It may
// have to ask polkit, and polkit a person at a password dialog.
inline constexpr int kInhibitWaitSeconds = 120;

// Asks ModemManager to inhibit the USB device `uid`, allowing it to ask for
// an interactive authorization (polkit's password dialog) on the way. When no
// answer came within a second, onWaiting (when given) is told once what is
// awaited; the request waits up to kInhibitWaitSeconds in all. Every other
// bus call is bounded by 10 s. No answer counts as a refusal.
InhibitOutcome InhibitModemManager(const std::string& uid,
                                   const std::function<void(const std::string&)>& onWaiting = {});

// A port of a modem ModemManager drives, with the type it found by probing.
struct ModemManagerPort {
  enum Type : uint32_t {
    Unknown = 1,
    Net = 2,
    At = 3,
    Qcdm = 4,
    Gps = 5,
    Qmi = 6,
    Mbim = 7,
    Audio = 8,
    Ignored = 9
  };
  std::string name;  // "ttyUSB0"
  uint32_t type = Unknown;
};

// The ports of the modem ModemManager drives at USB device `uid` (its
// modem object's Device and Ports); nothing when ModemManager does not run
// or drives no modem there.
std::optional<std::vector<ModemManagerPort>> ModemManagerPorts(const std::string& uid);

// What to tell a user whose ModemManager refused to leave the USB device
// `uid` alone (detail: its answer): a udev rule for the device's identity
// written out in full, stopping ModemManager for the update, the dialout
// group for the ports.
std::string ModemManagerRefusalAdvice(const std::string& uid, const std::string& detail);

// Releases every inhibition still held, at once; the holds then release
// nothing. For a process that is ending on a signal. Thread-safe.
void ReleaseModemManagerInhibitions();

// How many inhibitions are held now (for tests).
int HeldModemManagerInhibitions();

}  // namespace quorrel

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

#include <memory>
#include <string>

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

// Asks ModemManager to inhibit the USB device `uid`. Every bus call is bounded
// (10 s); one that gets no answer counts as a refusal.
InhibitOutcome InhibitModemManager(const std::string& uid);

// Releases every inhibition still held, at once; the holds then release
// nothing. For a process that is ending on a signal. Thread-safe.
void ReleaseModemManagerInhibitions();

// How many inhibitions are held now (for tests).
int HeldModemManagerInhibitions();

}  // namespace quorrel

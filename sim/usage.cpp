#include "sim/options.h"

namespace quorrel::sim {

std::string SimUsage() {
  return R"(Usage: quorrel-sim [options]

Attaches a virtual modem under $QUORREL_ROOT: two pseudo-terminals linked as
dosdevices/comN, registry keys for the driver services (or, with --usb, a
USB device in a sysfs tree). Prints a line on every attachment and
detachment (see "Lines printed" below). SIGTERM or SIGINT detaches, writes
the report and exits.

Modem:
  --seed N                 seed of everything drawn (NV contents, challenge, faults) [1]
  --esn HEX                the ESN [8A3F21C4]
  --version TEXT           the firmware release (ninth version text) [ZIZ_RU_Farrick_B01]
  --no-carrier-tag         a release without the carrier tag (ZIZ_KZ_Brenta_B01)
  --flashed-version TEXT   the release after a flash [ZIZ_RU_Farrick_B02]
  --build TEXT             the build version text
  --gmr TEXT               the AT+GMR answer [the release]
  --at-echo                echo AT commands on the data port
  --vendor NAME            driver services NAMEusbser6k / NAMEusbmdm6k [Vantrel]
  --first-port N           first diagnostic port (data port N+1); each restart moves on by 2 [5]
  --diag-port-mode N       AT+VDIAG mode; 0 leaves out the diagnostic port [6]
  --spc DIGITS             the service programming code [000000]
  --programmer FILE        go starts the programmer only if RAM holds exactly this file
  --nv-inactive LIST       NV items that answer "not active" (comma-separated)
  --nv-readonly LIST       NV items that refuse writes
  --ready-after N          readiness polls answered "busy" after going offline [0]
  --challenge HEX          the 8-byte handshake challenge [drawn from the seed]
  --timing K=MS,...        reply, nv-reply, at-reply, flash-write, image-open,
                           image-close, downloader-start, programmer-start, detach-after,
                           reattach-after; and link-rate=BYTES a second each way
                           [1000000; 0: no link]
  --time-scale F           multiply every delay and pause by F (0.1: ten times faster) [1]
  --start-in MODE          attach in normal, downloader or programmer mode [normal]; the
                           last two show only the diagnostic port

Faults (PATTERN: nth=N,count=C,every=E,mode=normal|downloader|programmer,code=X; count 0 = all
        from nth on; every=E: only every Eth of them):
  --drop-reply PATTERN        leave matching diagnostic-port replies out
  --corrupt-reply PATTERN     send them with a wrong CRC
  --noise-reply PATTERN       send 1 to 8 stray bytes in front of them
  --twice-reply PATTERN       send them twice
  --delay-reply PATTERN,ms=D  send them D ms late
  --split-replies PATTERN,piece=P,interval=I   send them in P-byte pieces I ms apart
                           (cuts=K instead of piece=: cut each at 1 to K random points)
  --random-drop PERMILLE   drop replies at random (seeded)
  --random-corrupt PERMILLE
  --reject-dmss-write nth=N,count=C,reason=R
  --stream-error type=T,block=B,code=C,count=N
  --nv-status item=I,read=S,write=S,count=N
  --nv-reply kind=other|short|error|status,value=V[,item=I][,dir=read|write][,count=N]
                           NV replies (of item I, else every item) naming item V, cut to
                           V bytes, a diagnostic error reply V, or status V
  --no-return-after-reset N   stay away after the Nth restart
  --unplug-during-write type=T,block=B[,replug-ms=MS]
  --never-ready            the readiness poll never says ready
  --programmer-silent-after N  the programmer answers N stream writes, then nothing at all
  --power-loss-after-partition  power fails after the partition table; the modem comes
                           back in its downloader until an amss image is written again
  --stall-image type=T[,block=B]  the programmer stops answering at block B of image
                           type T, until the host greets it again
  --swap-at-reset reset=N[,seed=S][,esn=HEX]  another modem comes back after the Nth
                           restart, at the same place: ESN HEX [5C0FFEE5], NV items of
                           seed S [2], its own firmware and settings

USB (Linux):
  --usb                    attach as a USB device instead, as the kernel shows one: a sysfs tree
                           under $QUORREL_SYSFS (root hubs and ports, the device at its port path,
                           its interfaces, drivers, usb-serial ports and tty class entries) and
                           tty nodes $QUORREL_DEV/ttyUSBn leading to the pseudo-terminals; nothing
                           is written under $QUORREL_ROOT. Every mode change is a disconnect: the
                           switch into the downloader, the programmer's start, every reset, a
                           replug. The device leaves the tree, the host's descriptors on its ttys
                           hang up (reads end, writes fail with EIO, poll says POLLHUP), and after
                           its boot time a new device comes (a new devnum):
                             firmware: VID:PID of the modem (1e0e:9000), its serial (the ESN),
                               interfaces 0 diagnostic and 2 AT on option (usb-serial option1),
                               1 reserved without a driver
                             downloader, programmer: the download identity, one interface 0 on
                               qcserial, no serial
                           A ttyUSB number stays taken while any process holds the tty it last
                           stood for open; a new tty takes the lowest free number. Several
                           simulators may share one tree (each at its own path).
  --usb-path PATH          the USB port path, 1-2 or behind hubs 1-1.4.2 [1-2]
  --usb-download-id VID:PID  the download modes' identity [05c6:9008]
  --usb-serial TEXT        the firmware's serial number, or none [the ESN]
  --usb-interfaces diag=N,at=M[,count=K]  the firmware's layout: at=none leaves out the AT
                           port; interfaces below K without a port are reserved
                           [diag=0,at=2,count=3]
  --usb-programmer-stays   the programmer starts on the downloader's device, without re-enumerating
  --usb-companion every|download  a USB3 root hub pair (USB 2.0 on the odd bus, USB3 on the even
                           one, each port the other's peer; the path must be a root port): the
                           modem comes back on the companion port (1-2 <-> 2-2) at every
                           re-enumeration, or in its download modes only

Coming back (any attachment):
  --slow-reboot ms=MS[,nth=N][,count=C]  the Nth return to the bus (and C-1 after it; 0: all)
                           takes MS instead of its usual pause [nth=1,count=1]
  --swap-modem at=N[,seed=S][,esn=HEX][,serial=TEXT|none]  at its Nth departure another modem
                           comes back in its place: its own seed (NV contents) [seed+1], ESN
                           [ESN+1] and serial [its ESN]; no faults; the firmware, not flashed
  --swap-report FILE       the JSON report of the swapped-in modem
  --swap-dump DIR          its images

Lines printed (standard output), one per event:
  attached diag=COMd data=COMm                  a registry attachment (none: no such port)
  detached                                      its ports went
  attached usb=PATH diag=TTY data=TTY id=VVVV:PPPP mode=normal|downloader|programmer devnum=N
           speed=480|5000 serial=SERIAL         a USB attachment (one line; TTY or none)
  interfaces usb=PATH diag only                 after it, in a download mode
  detached usb=PATH                             the device left (its ttys already hung up)
  replaced [usb=PATH ]esn=XXXXXXXX serial=S     a swapped-in modem comes; its attach line follows
  attach failed                                 the ports or the device could not be made

Output:
  --report FILE            JSON report at exit
  --dump DIR               the flashed images, headers, partition table and programmer at exit
  --quiet                  print only the attach and detach lines

Attachment:
  --wine-prefix DIR        attach to a Wine prefix: the ports linked as DIR/dosdevices/comN, the
                           driver keys imported into its registry with `wine regedit` ($QUORREL_WINE)
)";
}

}  // namespace quorrel::sim

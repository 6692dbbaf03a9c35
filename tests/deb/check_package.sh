#!/usr/bin/env bash
# Builds the Debian package with cpack in the build tree, checks what it
# holds (the station service shipped but not enabled, the update module),
# runs lintian on it, unpacks it, has systemd verify the unit and runs the
# unpacked programs: the CLI's help, and a download against the unpacked
# virtual modem.
#
#   check_package.sh BUILD_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
out="$build/package-test"
rm -rf "$out"
mkdir -p "$out"
fail() { echo "FAIL: $*" >&2; exit 1; }

( cd "$build" && cpack -G DEB -B "$out" >"$out/cpack.log" 2>&1 ) || { cat "$out/cpack.log"; fail "cpack"; }
debs=("$out"/quorrel_*.deb)
[ -f "${debs[0]}" ] || fail "cpack wrote no quorrel_*.deb"
deb=${debs[0]}
echo "package: $deb"

# What the package holds.
dpkg-deb -c "$deb" | awk '{print $6}' | sed 's|^\./|/|' >"$out/contents"
for path in /usr/bin/quorrel /usr/bin/quorrel-cli /usr/bin/quorrel-sim \
            /usr/lib/udev/rules.d/70-quorrel.rules /usr/share/quorrel/modems.conf \
            /usr/share/quorrel/help.pdf \
            /usr/share/applications/org.quorrel.Quorrel.desktop \
            /usr/share/metainfo/org.quorrel.Quorrel.metainfo.xml \
            /usr/share/icons/hicolor/scalable/apps/org.quorrel.Quorrel.svg \
            /usr/share/man/man1/quorrel.1.gz /usr/share/man/man1/quorrel-cli.1.gz \
            /usr/share/man/man1/quorrel-sim.1.gz \
            /usr/share/doc/quorrel/copyright /usr/share/doc/quorrel/changelog.gz \
            /usr/lib/systemd/system/quorrel-station.service \
            /usr/share/mender/modules/v3/quorrel-modem; do
  grep -qx "$path" "$out/contents" || fail "the package lacks $path"
done
# The station service is shipped, not enabled: no link under /etc/systemd and
# no maintainer script that enables or starts a unit.
if grep -q '^/etc/systemd/' "$out/contents"; then fail "the package links units under /etc/systemd"; fi
dpkg-deb -e "$deb" "$out/control"
for script in preinst postinst prerm postrm; do
  [ -f "$out/control/$script" ] || continue
  if grep -Eq 'systemctl|deb-systemd-helper|deb-systemd-invoke|invoke-rc.d' "$out/control/$script"; then
    fail "the package's $script enables or starts a service"
  fi
done
# The update module is a program.
dpkg-deb -c "$deb" | awk '$6 ~ /quorrel-modem$/ {print $1}' | grep -q '^-rwxr-xr-x' ||
  fail "the update module is not executable"
# Dependencies come from dpkg-shlibdeps: the C++ runtime at least.
depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
[[ "$depends" == *libstdc++6* && "$depends" == *libc6* ]] || fail "Depends lacks the shared libraries: $depends"

root="$out/unpacked"
dpkg -x "$deb" "$root"
desktop-file-validate "$root/usr/share/applications/org.quorrel.Quorrel.desktop" || fail "desktop file"
appstreamcli validate --no-net "$root/usr/share/metainfo/org.quorrel.Quorrel.metainfo.xml" >"$out/appstream.log" 2>&1 ||
  { cat "$out/appstream.log"; fail "metainfo"; }
# The rule holds every identity of the table.
while read -r vid pid; do
  grep -q "ATTRS{idVendor}==\"$vid\", ATTRS{idProduct}==\"$pid\", TAG+=\"uaccess\", ENV{ID_MM_DEVICE_IGNORE}=\"1\"" \
    "$root/usr/lib/udev/rules.d/70-quorrel.rules" || fail "the udev rule lacks $vid:$pid"
done < <(sed -e 's/#.*//' "$root/usr/share/quorrel/modems.conf" | awk -F'[: ]' 'NF >= 2 && $1 != "" {print tolower($1), tolower($2)}')

# The unit as systemd reads it, its program being the unpacked one, and the
# module as a POSIX shell reads it.
if command -v systemd-analyze >/dev/null; then
  mkdir -p "$out/units"
  sed "s|^ExecStart=/usr/bin/quorrel-cli|ExecStart=$root/usr/bin/quorrel-cli|" \
    "$root/usr/lib/systemd/system/quorrel-station.service" >"$out/units/quorrel-station.service"
  ( cd "$out/units" && systemd-analyze verify --man=no ./quorrel-station.service ) >"$out/unit.log" 2>&1 ||
    { cat "$out/unit.log"; fail "systemd-analyze verify quorrel-station.service"; }
  if [ -s "$out/unit.log" ]; then cat "$out/unit.log"; fail "systemd-analyze has remarks on the unit"; fi
else
  echo "systemd-analyze is not installed: the unit is not verified"
fi
sh -n "$root/usr/share/mender/modules/v3/quorrel-modem" || fail "the update module is no valid shell script"

if command -v lintian >/dev/null; then
  # Errors fail the test; warnings are printed.
  lintian --tag-display-limit 0 "$deb" >"$out/lintian.log" 2>&1 || true
  cat "$out/lintian.log"
  if grep -q '^E:' "$out/lintian.log"; then fail "lintian reports errors"; fi
else
  echo "lintian is not installed: not run"
fi

# The unpacked programs run.
# Read whole before it is searched: grep -q leaves at its first match, and a
# writer with more to say would die of the closed pipe (pipefail).
help=$("$root/usr/bin/quorrel-cli" --help) || fail "quorrel-cli --help exited $?"
grep -q '^usage: quorrel-cli' <<<"$help" || fail "quorrel-cli --help"

export QUORREL_ROOT="$out/machine"
mkdir -p "$QUORREL_ROOT" "$out/nv"
# Only the virtual modem's own ports: the real USB devices stay out of it.
export QUORREL_SYSFS="$out/no-sysfs"
mkdir -p "$QUORREL_SYSFS"
scale=0.05
"$root/usr/bin/quorrel-sim" --time-scale "$scale" --dump "$out/flashed" >"$out/sim.log" 2>&1 &
sim=$!
trap 'kill -TERM $sim 2>/dev/null || true' EXIT
for _ in $(seq 1 200); do
  grep -qs '^attached' "$out/sim.log" && break
  kill -0 $sim 2>/dev/null || { cat "$out/sim.log"; fail "quorrel-sim ended"; }
  sleep 0.05
done
grep -q '^attached' "$out/sim.log" || fail "quorrel-sim did not attach"
status=0
( cd "$out" && "$root/usr/bin/quorrel-cli" download --time-scale "$scale" --nv-dir "$out/nv" --wait-seconds 60 \
    >"$out/cli.log" 2>&1 ) || status=$?
tail -n 5 "$out/cli.log"
[ "$status" -eq 0 ] || fail "the unpacked quorrel-cli download exited $status"
# The folder a user must find the NV backup in again is named.
grep -qx "NV folder: $out/nv" "$out/cli.log" || fail "the CLI does not say where the NV folder is"
kill -TERM $sim
wait $sim || true
trap - EXIT
[ -s "$out/flashed/amss.mbn" ] || fail "the modem holds no amss.mbn"
echo "package checked"

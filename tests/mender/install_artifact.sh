#!/usr/bin/env bash
# A quorrel-modem artifact made with mender-artifact from a release folder,
# installed by `mender install` (standalone, no server) into a virtual modem
# attached as a USB device: the modem must hold the release, the job's record
# must say so, and a download that fails must fail the install.
#
# The Mender client looks for update modules only in
# /usr/share/mender/modules/v3 and for the first artifact name only in
# /etc/mender, so the client runs in a private mount namespace
# (unshare --user --map-root-user --mount, no privileges needed) in which
# scratch folders with this tree's module are mounted there. Everything else
# is the client's own --config/--data.
#
#   install_artifact.sh SOURCE_DIR BUILD_DIR
# Exits 77 (skipped) when mender or mender-artifact is not installed
# (scripts/bootstrap installs both) or no private mount namespace is allowed.
set -euo pipefail
source_dir=$(cd "$1" && pwd)
build=$(cd "$2" && pwd)
skip() { echo "SKIP: $*"; exit 77; }
fail() { echo "FAIL: $*" >&2; exit 1; }

command -v mender >/dev/null || skip "mender is not installed (Debian package mender-client; scripts/bootstrap installs it)"
command -v mender-artifact >/dev/null || skip "mender-artifact is not installed (scripts/bootstrap installs it)"
[ -d /usr/share/mender/modules/v3 ] && [ -d /etc/mender ] ||
  skip "the Mender client's folders /usr/share/mender/modules/v3 and /etc/mender are missing"
unshare --user --map-root-user --mount true 2>/dev/null ||
  skip "this machine allows no private mount namespace (unshare --user --map-root-user --mount)"

out="$build/mender-test"
rm -rf "$out"
mkdir -p "$out"/{release,modules,etc,data,nv,sys,dev,state,share}
cli="$build/src/cli/quorrel-cli"
sim_program="$build/sim/quorrel-sim"
[ -x "$cli" ] && [ -x "$sim_program" ] || fail "build quorrel-cli and quorrel-sim first"

# The release: the images of the build's demo release and the programmer.
cp "$build"/release/small/*.mbn "$build"/release/small/armprg.bin "$out/release/"

# The device: the module, a device type, the artifact it carried at first.
install -m 0755 "$source_dir/data/mender/quorrel-modem" "$out/modules/quorrel-modem"
echo "artifact_name=factory" >"$out/etc/artifact_info"
echo "device_type=quorrel-gateway" >"$out/data/device_type"
printf '{"DeviceTypeFile": "%s", "UpdateLogPath": "%s"}\n' "$out/data/device_type" "$out/data" \
  >"$out/mender.conf"

# The machine the modem is attached to, and what the module is told: the CLI
# of this tree, the scratch NV folder, the simulator's time scale.
printf '1e0e:9000 diag=0 at=2 Virtual card\n05c6:9008 diag=0 Download mode\n' >"$out/modems.conf"
export QUORREL_ROOT="$out/machine" QUORREL_SYSFS="$out/sys" QUORREL_DEV="$out/dev" \
  QUORREL_MODEMS="$out/modems.conf" QUORREL_USB_BRIDGE=1 \
  XDG_STATE_HOME="$out/state" XDG_DATA_HOME="$out/share" XDG_CONFIG_HOME="$out/config"
scale=0.1
export QUORREL_MODULE_CONFIG="$out/no-config" QUORREL_MODULE_CLI="$cli" \
  QUORREL_MODULE_NV_DIR="$out/nv" QUORREL_MODULE_WAIT_SECONDS=60 \
  QUORREL_MODULE_CLI_ARGS="--time-scale $scale"

on_device() {
  unshare --user --map-root-user --mount sh -c \
    'mount --bind "$1" /usr/share/mender/modules/v3 && mount --bind "$2" /etc/mender && shift 2 && exec "$@"' \
    sh "$out/modules" "$out/etc" \
    mender --no-syslog --config "$out/mender.conf" --data "$out/data" "$@"
}

artifact() { # NAME
  local files=()
  for f in "$out"/release/*; do files+=(-f "$f"); done
  mender-artifact write module-image -T quorrel-modem -t quorrel-gateway -n "$1" \
    -o "$out/$1.mender" "${files[@]}" >"$out/$1.artifact.log" 2>&1 ||
    { cat "$out/$1.artifact.log"; fail "mender-artifact write module-image"; }
}

sim=""
stop_sim() {
  [ -n "$sim" ] || return 0
  kill -TERM "$sim" 2>/dev/null || true
  wait "$sim" 2>/dev/null || true
  sim=""
}
trap stop_sim EXIT
start_sim() { # NAME [OPTIONS...]
  local name=$1
  shift
  mkdir -p "$out/$name"
  "$sim_program" --usb --time-scale "$scale" --dump "$out/$name/dump" "$@" >"$out/$name/sim.log" 2>&1 &
  sim=$!
  for _ in $(seq 1 300); do
    grep -qs '^attached' "$out/$name/sim.log" && return 0
    kill -0 "$sim" 2>/dev/null || { cat "$out/$name/sim.log"; fail "quorrel-sim ended"; }
    sleep 0.1
  done
  fail "quorrel-sim did not attach"
}

records() { wc -l <"$out/state/quorrel/results.jsonl" 2>/dev/null || echo 0; }
# FIELD of the last job record.
last_record() {
  python3 -c 'import json,sys; r=json.loads(open(sys.argv[1]).read().splitlines()[-1]); print(r[sys.argv[2]])' \
    "$out/state/quorrel/results.jsonl" "$1"
}
installed() { on_device show-artifact 2>/dev/null; }

# An artifact of the release goes into the modem.
artifact release-b02
start_sim good
status=0
on_device install "$out/release-b02.mender" >"$out/good/install.log" 2>&1 || status=$?
stop_sim
grep -v 'Output (stderr)' "$out/good/install.log" | tail -n 5
[ "$status" -eq 0 ] || { cat "$out/good/install.log"; fail "mender install exited $status"; }
diff -r "$out/release" "$out/good/dump" || fail "the modem does not hold the release"
[ "$(records)" -eq 1 ] || fail "$(records) job records after one install"
[ "$(last_record outcome)" = success ] && [ "$(last_record exit_code)" = 0 ] ||
  fail "the record says $(last_record outcome) ($(last_record exit_code))"
grep -q '{\\"event\\":\\"result\\",\\"exit_code\\":0' "$out/good/install.log" ||
  fail "the result of the download is not in the client's log"
[ "$(installed)" = release-b02 ] || fail "the client shows the artifact '$(installed)' as installed"
backup=$(last_record nv_file)
archived=("$out"/nv/archive/*.nvm)
[ -f "${archived[0]}" ] || fail "no NV backup in the archive"
mkdir -p "$out/kept"
cp "${archived[@]}" "$out/kept/"

# A modem whose flash fails every write: the install fails with the job's
# exit code, and the backups stay.
artifact release-b03
start_sim failing --stream-error type=5,block=2,code=10,count=0
status=0
on_device install "$out/release-b03.mender" >"$out/failing/install.log" 2>&1 || status=$?
stop_sim
grep -v 'Output (stderr)' "$out/failing/install.log" | tail -n 5
[ "$status" -ne 0 ] || fail "mender install succeeded although the download failed"
[ "$(records)" -eq 2 ] || fail "$(records) job records after two installs"
code=$(last_record exit_code)
[ "$(last_record outcome)" != success ] && [ "$code" != 0 ] || fail "the record of the failed download says success"
grep -q "Update module terminated abnormally: exit status $code\"" "$out/failing/install.log" ||
  fail "the module did not exit with the job's exit code $code"
[ "$(installed)" != release-b03 ] || fail "the client shows the failed artifact as installed"
for f in "${archived[@]}"; do
  cmp -s "$f" "$out/kept/$(basename "$f")" || fail "the backup $f is gone or changed"
done
[ -f "$backup" ] || fail "the NV file $backup is gone"
echo "mender install checked"

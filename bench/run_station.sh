#!/usr/bin/env bash
# Runs N simulated modems at once through quorrel-cli station --once at the
# modems' own pace (time scale 1), each quorrel-sim attached as a USB device
# on a hub port of its own in a scratch sysfs, and reports:
#   per line  the job's wall time over its floor (the sleeps its thread
#             asked for: the time the job is bound to wait whatever the
#             machine)
#   cpu/wall  the station's user + system CPU time over its wall time, in
#             per cent of one core
#   peak      the station's peak resident memory
# Not part of the tests: each run takes about three minutes.
# Usage: bench/run_station.sh N [BUILD_DIR]   (N 1-8; default build/default)
set -euo pipefail
cd "$(dirname "$0")/.."

count="${1:?usage: bench/run_station.sh N [BUILD_DIR]}"
build="${2:-build/default}"
case "$count" in
  [1-8]) ;;
  *) echo "run_station.sh: N is 1 to 8" >&2; exit 2 ;;
esac
if [ "$build" = "build/default" ]; then
  scripts/bootstrap
  cmake --preset default >/dev/null
fi
cmake --build "$build" --target quorrel-cli quorrel-sim -- -j "$(nproc 2>/dev/null || echo 2)"

root="$(mktemp -d "${TMPDIR:-/tmp}/quorrel-station-bench-XXXXXX")"
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$root"
}
trap cleanup EXIT
mkdir -p "$root"/{root,sys,dev,nv,state,config}
export QUORREL_ROOT="$root/root" QUORREL_SYSFS="$root/sys" QUORREL_DEV="$root/dev" \
  QUORREL_MODEMS="$root/modems.conf" QUORREL_USB_BRIDGE=1 \
  XDG_STATE_HOME="$root/state" XDG_CONFIG_HOME="$root/config"
printf '1e0e:9000 diag=0 at=2 Virtual card\n05c6:9008 diag=0 Download mode\n' >"$root/modems.conf"

for i in $(seq 1 "$count"); do
  "$build/sim/quorrel-sim" --usb --usb-path "1-$i" --esn "$(printf '8A3F21%02X' "$i")" \
    --seed "$i" --quiet >"$root/sim$i.log" 2>&1 &
  pids+=($!)
done
for i in $(seq 1 "$count"); do
  for _ in $(seq 1 300); do
    grep -q attached "$root/sim$i.log" 2>/dev/null && break
    sleep 0.1
  done
done

python3 - "$build/src/cli/quorrel-cli" "$root" "$count" <<'PY'
import json, resource, subprocess, sys, time
cli, root, count = sys.argv[1], sys.argv[2], int(sys.argv[3])
start = time.monotonic()
proc = subprocess.run([cli, "station", "--once", "--json", "--nv-dir", root + "/nv",
                       "--wait-seconds", "120"], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                      text=True)
wall = time.monotonic() - start
usage = resource.getrusage(resource.RUSAGE_CHILDREN)
results = []
for line in proc.stdout.splitlines():
    if not line.startswith("{"):
        continue
    event = json.loads(line)
    if event.get("event") == "result":
        results.append(event)
ok = proc.returncode == 0 and len(results) == count
print("modems: %d, station exit code %d, %d results" % (count, proc.returncode, len(results)))
for r in sorted(results, key=lambda r: r["line"]):
    ratio = r["wall_ms"] / r["floor_ms"] if r.get("floor_ms") else float("nan")
    print("  line %d (%s): %s, wall %.1f s, floor %.1f s, ratio %.4f"
          % (r["line"], r["record"]["usb_path"], r["record"]["outcome"], r["wall_ms"] / 1000,
             r["floor_ms"] / 1000, ratio))
cpu = usage.ru_utime + usage.ru_stime
print("station wall %.1f s, cpu %.2f s (%.2f%% of one core), peak %.1f MB"
      % (wall, cpu, 100 * cpu / wall, usage.ru_maxrss / 1024))
sys.exit(0 if ok else 1)
PY

#!/usr/bin/env bash
# Times the whole download of the full-size demo release (the sizes of the
# real release, ~36 MB) through quorrel-cli against quorrel-sim at the modem's
# own pace (time scale 1), and reports:
#   wall      the CLI's run from start to exit
#   floor     the total of every sleep the CLI asked its clock for (the time
#             the job is bound to wait whatever the machine)
#   ratio     wall / floor
#   cpu/wall  the CLI's user + system CPU time over its wall time
#   peak      the CLI's peak resident memory
#   physical  what the simulator's cost model imposed: every byte over the
#             link's rate (1 MB/s each way), the modem's processing of each
#             request and its boots; no host can be faster than that, less
#             what of it overlapped
# Not part of the tests: it takes several minutes.
# Usage: bench/run_full_release.sh [BUILD_DIR]   (default build/default)
set -euo pipefail
cd "$(dirname "$0")/.."

build="${1:-build/default}"
if [ "$build" = "build/default" ]; then
  scripts/bootstrap
  cmake --preset default >/dev/null
fi
cmake --build "$build" --target quorrel-cli quorrel-sim quorrel_full_release -- -j "$(nproc 2>/dev/null || echo 2)"
release="$build/release/full"
[ -f "$release/amss.mbn" ] || { echo "no full-size release in $release (QUORREL_FULL_RELEASE=OFF?)" >&2; exit 1; }

root="$(mktemp -d "${TMPDIR:-/tmp}/quorrel-bench-XXXXXX")"
sim_pid=""
cleanup() {
  if [ -n "$sim_pid" ]; then
    kill "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
  fi
  rm -rf "$root"
}
trap cleanup EXIT
export QUORREL_ROOT="$root"
mkdir -p "$root/nv"

"$build/sim/quorrel-sim" --programmer "$release/armprg.bin" --report "$root/report.json" \
  >"$root/sim.log" 2>&1 &
sim_pid=$!
for _ in $(seq 1 100); do
  grep -q attached "$root/sim.log" 2>/dev/null && break
  sleep 0.1
done

python3 - "$build/src/cli/quorrel-cli" "$release" "$root" "$sim_pid" <<'PY'
import json, os, re, resource, signal, subprocess, sys, time
cli, release, root, sim_pid = sys.argv[1:5]
start = time.monotonic()
proc = subprocess.run([cli, "download", "--release", release, "--nv-dir", root + "/nv",
                       "--wait-seconds", "60"], stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
wall = time.monotonic() - start
usage = resource.getrusage(resource.RUSAGE_CHILDREN)
out = proc.stdout
sys.stdout.write("".join(l + "\n" for l in out.splitlines() if not l.startswith("progress ")))
m = re.search(r"requested sleeps: ([0-9.]+) s", out)
if proc.returncode != 0 or not m:
    print("the download failed (exit code %d)" % proc.returncode)
    sys.exit(1)
floor = float(m.group(1))
cpu = usage.ru_utime + usage.ru_stime
print()
print("wall time        %9.1f s" % wall)
print("floor (sleeps)   %9.1f s" % floor)
print("wall / floor     %9.3f   (%+.1f%%)" % (wall / floor, (wall / floor - 1) * 100))
print("cpu / wall       %9.3f   (%.1f s user + system)" % (cpu / wall, cpu))
print("peak memory      %9.1f MB" % (usage.ru_maxrss / 1024.0))
# The simulator writes its report when it is stopped.
os.kill(int(sim_pid), signal.SIGTERM)
report = os.path.join(root, "report.json")
for _ in range(100):
    if os.path.exists(report):
        break
    time.sleep(0.1)
with open(report) as f:
    physical = json.load(f)["floor"]
total = physical["total_ms"] / 1000.0
print("physical floor   %9.1f s   (link %.1f s, modem %.1f s, boots %.1f s; %.1f MB to the modem)"
      % (total, physical["link_ms"] / 1000.0, physical["processing_ms"] / 1000.0,
         physical["boot_ms"] / 1000.0, physical["bytes_to_modem"] / 1e6))
print("wall / physical  %9.3f" % (wall / total))
PY

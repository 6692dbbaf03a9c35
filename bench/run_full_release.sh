#!/usr/bin/env bash
# Times the whole download of the full-size demo release (the sizes of the
# real release, ~36 MB) through quorrel-cli against quorrel-sim at the modem's
# own pace (time scale 1), in the default mode and in fast mode (--fast),
# each against a fresh simulator with the same cost model, and reports for
# each:
#   wall      the CLI's run from start to exit
#   sleeps    the total of every sleep the CLI asked its clock for (the
#             floor of the default mode: the time the job is bound to wait
#             whatever the machine)
#   physical  what the simulator's cost model imposed: every byte over the
#             link's rate (1 MB/s each way), the modem's processing of each
#             request and its boots, summed (the floor of fast mode as its
#             targets are stated); and a tighter one: the boots plus the
#             longer of the link's and the modem's time, as a run that keeps
#             the link busy while the modem works could at best do
#   cpu/wall  the CLI's user + system CPU time over its wall time
#   peak      the CLI's peak resident memory
# Not part of the tests: it takes about ten minutes.
# Usage: bench/run_full_release.sh [--default|--fast] [BUILD_DIR]
#   (both modes unless one is named; BUILD_DIR default build/default)
set -euo pipefail
cd "$(dirname "$0")/.."

modes=(default fast)
case "${1:-}" in
  --default) modes=(default); shift ;;
  --fast) modes=(fast); shift ;;
esac
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

for mode in "${modes[@]}"; do
  run="$root/$mode"
  mkdir -p "$run/nv"
  export QUORREL_ROOT="$run"
  "$build/sim/quorrel-sim" --programmer "$release/armprg.bin" --report "$run/report.json" \
    >"$run/sim.log" 2>&1 &
  sim_pid=$!
  for _ in $(seq 1 100); do
    grep -q attached "$run/sim.log" 2>/dev/null && break
    sleep 0.1
  done
  fast=""
  [ "$mode" = fast ] && fast="--fast"

  echo "=== $mode mode"
  python3 - "$build/src/cli/quorrel-cli" "$release" "$run" "$sim_pid" "$fast" <<'PY'
import json, os, re, resource, signal, subprocess, sys, time
cli, release, run, sim_pid, fast = sys.argv[1:6]
args = [cli, "download", "--release", release, "--nv-dir", run + "/nv", "--wait-seconds", "60"]
if fast:
    args.append(fast)
start = time.monotonic()
proc = subprocess.run(args, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
wall = time.monotonic() - start
usage = resource.getrusage(resource.RUSAGE_CHILDREN)
out = proc.stdout
m = re.search(r"requested sleeps: ([0-9.]+) s", out)
if proc.returncode != 0 or not m:
    sys.stdout.write("".join(l + "\n" for l in out.splitlines() if not l.startswith("progress ")))
    print("the download failed (exit code %d)" % proc.returncode)
    sys.exit(1)
sleeps = float(m.group(1))
slept = re.search(r"slept ([0-9.]+) s in ([0-9]+) sleeps", out)
cpu = usage.ru_utime + usage.ru_stime
# The simulator writes its report when it is stopped.
os.kill(int(sim_pid), signal.SIGTERM)
report = os.path.join(run, "report.json")
for _ in range(100):
    if os.path.exists(report):
        break
    time.sleep(0.1)
with open(report) as f:
    physical = json.load(f)["floor"]
total = physical["total_ms"] / 1000.0
print("wall time        %9.1f s" % wall)
print("sleeps           %9.1f s   wall / sleeps   %.3f" % (sleeps, wall / sleeps))
if slept:
    real, count = float(slept.group(1)), int(slept.group(2))
    print("  they lasted %.1f s: %d sleeps, each %.0f us past its end; the rest, %.1f s, is work"
          % (real, count, (real - sleeps) / max(count, 1) * 1e6, wall - real))
print("physical floor   %9.1f s   wall / physical %.3f" % (total, wall / total))
tight = (physical["boot_ms"] + max(physical["link_ms"], physical["processing_ms"])) / 1000.0
print("overlapped floor %9.1f s   wall / overlapped %.3f" % (tight, wall / tight))
print("  link %.1f s (%.1f MB to the modem, %.1f MB back), modem %.1f s, boots %.1f s"
      % (physical["link_ms"] / 1000.0, physical["bytes_to_modem"] / 1e6,
         physical["bytes_to_host"] / 1e6, physical["processing_ms"] / 1000.0,
         physical["boot_ms"] / 1000.0))
print("cpu / wall       %9.3f   (%.1f s user + system)" % (cpu / wall, cpu))
print("peak memory      %9.1f MB" % (usage.ru_maxrss / 1024.0))
PY
  wait "$sim_pid" 2>/dev/null || true
  sim_pid=""
done

#!/usr/bin/env bash
# The benchmark: builds orvo-bench and orvo-sim, starts orvo-sim over TLS on loopback and
# `p11-kit server` in front of a SoftHSM2 token, prepares a second SoftHSM2 token for direct
# calls, and runs orvo-bench with all of them pinned to one CPU (ORVO_BENCH_CPU, default the
# last one): on a small machine the steadiest placement, every exchange a switch on one core.
# Also starts orvo-bench's canned-reply server, the floor without device work. Arguments go to
# orvo-bench (--rounds N, --seconds S, --only TEXT). The table, its data and a chart of it
# (gnuplot, SVG) are written to ORVO_BENCH_RESULTS: by default bench/results, the committed run,
# for a whole run, and $build/bench-results for a partial one (--only). Not part of the tests.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${ORVO_BENCH_BUILD:-build}
cpu=${ORVO_BENCH_CPU:-$(($(nproc) - 1))}
softhsm=/usr/lib/softhsm/libsofthsm2.so
results=bench/results
for arg in "$@"; do [ "$arg" = --only ] && results=$build/bench-results; done
results=${ORVO_BENCH_RESULTS:-$results}

bash scripts/setup.sh
[ -f "$build/build.ninja" ] || cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j2 --target orvo-bench orvo-sim >/dev/null

work=$(mktemp -d /tmp/orvo-bench-XXXXXX)
pids=()
finish() {
  for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null && wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap finish EXIT
wait_for() {  # a condition, up to 10 s
  for _ in $(seq 100); do eval "$1" && return 0; sleep 0.1; done
  echo "bench: gave up waiting for: $1" >&2
  return 1
}

taskset -c "$cpu" "$build/sim/daemon/orvo-sim" --state-dir "$work/sim" --port 0 --quiet >"$work/sim.log" 2>&1 &
pids+=($!)
wait_for 'grep -qs "listening on" "$work/sim.log"'
taskset -c "$cpu" "$build/bench/orvo-bench" --serve-canned-replies "$work/canned" >"$work/canned.log" 2>&1 &
pids+=($!)
wait_for 'grep -qs "listening on" "$work/canned.log"'

for side in direct served; do
  mkdir -p "$work/$side/tokens"
  printf 'directories.tokendir = %s\nobjectstore.backend = file\nlog.level = ERROR\n' "$work/$side/tokens" \
    >"$work/$side/softhsm2.conf"
  SOFTHSM2_CONF=$work/$side/softhsm2.conf softhsm2-util --init-token --free --label bench \
    --so-pin 12345678 --pin 123456 >/dev/null
done
SOFTHSM2_CONF=$work/served/softhsm2.conf taskset -c "$cpu" p11-kit server --foreground --name "$work/p11-kit.socket" \
  --provider "$softhsm" "pkcs11:token=bench" >"$work/p11-kit.log" 2>&1 &
pids+=($!)
wait_for '[ -S "$work/p11-kit.socket" ]'

echo "bench: orvo-sim, the canned-reply server, p11-kit server and orvo-bench on CPU $cpu" >&2
mkdir -p "$results"
{
  echo "$(date -u '+%Y-%m-%d %H:%M UTC'), $(lscpu | sed -n 's/^Model name: *//p'), $(nproc) cores;" \
    "load average before the run: $(cut -d' ' -f1-3 /proc/loadavg)"
  echo "bash scripts/bench.sh $*"
  echo
  SOFTHSM2_CONF=$work/direct/softhsm2.conf P11_KIT_SERVER_ADDRESS=unix:path=$work/p11-kit.socket \
    ORVO_CONFIG_PATH=$work/sim taskset -c "$cpu" "$build/bench/orvo-bench" --softhsm "$softhsm" \
    --canned-replies "$work/canned" --chart-data "$work/figures.tsv" "$@"
} >"$work/table.txt"
cat "$work/table.txt"
cp "$work/table.txt" "$work/figures.tsv" "$results/"
gnuplot -e "data='$results/figures.tsv'; title='$(head -1 "$work/table.txt" | cut -d';' -f1)'" bench/chart.gp \
  >"$results/chart.svg"
echo "bench: table, data and chart in $results/" >&2

#!/usr/bin/env bash
# Fuzzing: builds the libFuzzer targets of fuzz/ with clang (AddressSanitizer and
# UndefinedBehaviorSanitizer) in build-fuzz/ and runs each for a bounded time, starting from its
# committed corpus. A crash, a leak, a timeout or a broken invariant fails the run; the input that
# caused it is left in build-fuzz/findings/<target>/. New interesting inputs collect in
# build-fuzz/corpus/<target>/ and are kept between runs.
#
#   scripts/fuzz.sh [seconds per target, default 60] [target ...]
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
seconds=${1:-60}
[ $# -gt 0 ] && shift
targets=("$@")
[ ${#targets[@]} -eq 0 ] && targets=(device_reply hid_reassembly config_file engine_requests)

echo "== build (clang, libFuzzer, AddressSanitizer + UndefinedBehaviorSanitizer)"
cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang \
  -DCMAKE_CXX_COMPILER=clang++ -DORVO_FUZZ=ON -DORVO_BUILD_TESTS=OFF >/dev/null
cmake --build build-fuzz -j"$(nproc)" --target fuzz_targets

# One target per processor at a time; each writes its own log, read once it has ended.
fuzz_one() {
  local target=$1 work=$root/build-fuzz/corpus/$1 findings=$root/build-fuzz/findings/$1
  mkdir -p "$work" "$findings"
  # Paths are absolute: a target may change its working directory.
  ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
    "$root/build-fuzz/fuzz/fuzz_$target" -max_total_time="$seconds" -timeout=30 -rss_limit_mb=4096 \
      -print_final_stats=1 -artifact_prefix="$findings/" "$work" "$root/fuzz/corpus/$target" \
      2>"$findings/log.txt"
}
report() {
  local target=$1 status=$2 findings=$root/build-fuzz/findings/$1
  echo "== fuzz $target for ${seconds}s"
  if [ "$status" -ne 0 ]; then
    tail -60 "$findings/log.txt"
    echo "fuzz: $target failed; the input is in $findings/"
    return 1
  fi
  grep -E "^stat::(number_of_executed_units|average_exec_per_sec|new_units_added)|Done [0-9]+ runs" "$findings/log.txt" || true
}
failed=0
parallel=$(nproc)
for ((i = 0; i < ${#targets[@]}; i += parallel)); do
  batch=("${targets[@]:i:parallel}")
  pids=()
  for target in "${batch[@]}"; do fuzz_one "$target" & pids+=($!); done
  for k in "${!batch[@]}"; do
    status=0
    wait "${pids[$k]}" || status=$?
    report "${batch[$k]}" "$status" || failed=1
  done
  [ "$failed" -eq 0 ] || exit 1
done
echo "fuzz: ${#targets[@]} targets ran ${seconds}s each without a finding"

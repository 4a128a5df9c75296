#!/usr/bin/env bash
# The test command: installs what is missing, builds, and runs the whole suite twice: a plain
# build (with the shipped library and its export check) and one under AddressSanitizer and
# UndefinedBehaviorSanitizer (with LeakSanitizer, which checks the initialise/finalise and
# load/unload cycles). The thread tests run a third time under ThreadSanitizer, in a build of
# only what they use. After the plain run, the Windows x64 cross-build with its export check,
# its unit tests and the end-to-end test under Wine (scripts/test-windows.sh; ORVO_SKIP_WINDOWS=1
# leaves it out). Then each fuzz target is fuzzed for a short while (ORVO_FUZZ_SECONDS, default
# 30 per target).
set -euo pipefail
cd "$(dirname "$0")/.."
# Each phase is announced with the time since the start, so that a slow one shows in the log.
phase() { printf '== %s (at %dm%02ds)\n' "$1" $((SECONDS / 60)) $((SECONDS % 60)); }
bash scripts/setup.sh
jobs=$(nproc)

phase "build (RelWithDebInfo; the benchmark is built, never run here)"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=/usr \
  -DCMAKE_INSTALL_LIBDIR="lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)" >/dev/null
cmake --build build -j"$jobs"
bash scripts/check-exports.sh build/src/liborvo-pkcs11.so

phase "tests"
ctest --test-dir build --output-on-failure -j"$jobs" --timeout 300

phase "Debian package (installed, tried and removed again on CI only)"
deb=$(ORVO_PACKAGE_BUILD=build bash scripts/package.sh 2>build/package.log) || { cat build/package.log; exit 1; }
dpkg-deb --contents "$deb" | grep "pkcs11/liborvo-pkcs11.so$" >/dev/null  # -q would cut the pipe
if [ "${CI:-}" = true ] && [ "$(id -u)" -eq 0 ]; then bash scripts/package-check.sh "$deb"; fi

if [ "${ORVO_SKIP_WINDOWS:-0}" != 1 ]; then
  phase "Windows x64 build, its tests under Wine"
  bash scripts/test-windows.sh
fi

phase "build (ThreadSanitizer: the thread tests, the library and the simulator they use)"
cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORVO_TSAN=ON >/dev/null
cmake --build build-tsan -j"$jobs" --target threads_tests orvo-sim

phase "thread tests under ThreadSanitizer"
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
  ctest --test-dir build-tsan --output-on-failure -j"$jobs" --timeout 300

phase "build (AddressSanitizer + UndefinedBehaviorSanitizer)"
# The benchmark is left out here: the plain build has shown that it compiles, and it never runs.
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DORVO_SANITIZE=ON -DORVO_BENCH=OFF >/dev/null
cmake --build build-asan -j"$jobs"

phase "tests under the sanitizers"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build-asan --output-on-failure -j"$jobs" --timeout 600 -LE nosan

phase "fuzzing"
bash scripts/fuzz.sh "${ORVO_FUZZ_SECONDS:-30}"
phase "all passed"

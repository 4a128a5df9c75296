#!/usr/bin/env bash
# The Windows build's tests under Wine (64-bit only): builds it (scripts/build-windows.sh, which
# also installs Wine), runs the unit tests as Windows programs (ctest in build-windows, each test
# under Wine), and the end-to-end test: orvo-e2e-client.exe loads orvo-pkcs11.dll under Wine
# and talks over TLS to the Linux orvo-sim on loopback (built in build/ when missing).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/build-windows.sh --wine

if [ ! -x build/sim/daemon/orvo-sim ]; then
  echo "== build orvo-sim (Linux)"
  cmake -S . -B build -G Ninja >/dev/null
  cmake --build build -j"$(nproc)" --target orvo-sim
fi

# A Wine prefix of the build's own, and one wine server for the whole run (started here and
# stopped on exit) rather than one per test program. The first Windows program also starts
# Wine's service processes, which inherit its output: started by a test whose output ctest
# reads, they would hold that pipe open and ctest would wait on it until its timeout. So the
# first program runs here, with its output on /dev/null (creating the prefix on the first run).
export WINEPREFIX="$PWD/build-windows/wine-prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
echo "== Wine $(wine --version) in $WINEPREFIX"
mkdir -p "$WINEPREFIX"
wineserver -p
trap 'wineserver -k' EXIT
wine cmd /c exit >/dev/null 2>&1 || true

echo "== unit tests under Wine"
ctest --test-dir build-windows --output-on-failure -j"$(nproc)" --timeout 120

echo "== end-to-end under Wine: the Windows client and orvo-admin.exe against orvo-sim"
ORVO_SIM="$PWD/build/sim/daemon/orvo-sim" ORVO_LIB="$PWD/build-windows/bin/orvo-pkcs11.dll" \
  PYTHONDONTWRITEBYTECODE=1 python3 tests/e2e/wine_client_test.py

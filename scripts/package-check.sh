#!/usr/bin/env bash
# Installs the Debian package on this machine with apt, checks that pkcs11-tool and p11-kit use
# the installed library against the installed orvo-sim, and removes the package again. It
# changes the system, so the test command runs it on CI only (CI=true, as root); the test suite's
# e2e_install covers the same ground in a staging directory.
set -euo pipefail
deb=$(realpath "${1:?usage: package-check.sh path/to/orvo-pkcs11_VERSION_ARCH.deb}")
[ "$(id -u)" -eq 0 ] || { echo "package-check: needs root" >&2; exit 1; }
if dpkg-query -W -f='${Status}' orvo-pkcs11 2>/dev/null | grep -q 'install ok installed'; then
  echo "package-check: orvo-pkcs11 is installed already; leaving this machine alone" >&2
  exit 1
fi
work=$(mktemp -d /tmp/orvo-package-XXXXXX)
sim_pid=""
finish() {
  [ -n "$sim_pid" ] && kill -TERM "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null || true
  DEBIAN_FRONTEND=noninteractive apt-get remove -y -qq orvo-pkcs11 >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap finish EXIT

DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "$deb" >/dev/null
lib=/usr/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)/pkcs11/liborvo-pkcs11.so
orvo-sim --state-dir "$work/sim" --port 0 --quiet >"$work/sim.log" 2>&1 &
sim_pid=$!
for _ in $(seq 100); do grep -qs "listening on" "$work/sim.log" && break; sleep 0.1; done
export ORVO_CONFIG_PATH=$work/sim

slots=$(pkcs11-tool --module "$lib" -L)
grep -q "Slot 0 (0x0): Orvo" <<<"$slots" || { echo "package-check: pkcs11-tool -L: $slots" >&2; exit 1; }
modules=$(p11-kit list-modules | sed -n '/^orvo: /,/^[^ ]/p')
grep -q "model: Orvo" <<<"$modules" || { echo "package-check: p11-kit list-modules: $modules" >&2; exit 1; }
echo "package-check: apt installed $(basename "$deb"); pkcs11-tool -L and p11-kit list-modules see the token"

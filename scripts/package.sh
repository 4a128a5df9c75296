#!/usr/bin/env bash
# Builds the Debian package in one command and prints its path:
#   bash scripts/package.sh      ->  build-package/orvo-pkcs11_<version>_amd64.deb
# Install it with `sudo apt install ./build-package/orvo-pkcs11_*.deb`. ORVO_PACKAGE_BUILD names
# another build directory to package from (the test command reuses its own build).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${ORVO_PACKAGE_BUILD:-build-package}
bash scripts/setup.sh >&2
tests=OFF
[ -f "$build/CMakeCache.txt" ] && grep -q '^ORVO_BUILD_TESTS:BOOL=ON' "$build/CMakeCache.txt" && tests=ON
cmake -S . -B "$build" -G Ninja -DCMAKE_INSTALL_PREFIX=/usr \
  -DCMAKE_INSTALL_LIBDIR="lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)" -DORVO_BUILD_TESTS=$tests >&2
cmake --build "$build" -j2 --target orvo-pkcs11 orvo-admin orvo-sim >&2
rm -f "$build"/orvo-pkcs11_*.deb
(cd "$build" && cpack -G DEB >&2)
ls "$PWD/$build"/orvo-pkcs11_*.deb

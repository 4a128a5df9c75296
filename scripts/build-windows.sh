#!/usr/bin/env bash
# The Windows x64 build, cross-compiled with mingw-w64: orvo-pkcs11.dll, orvo-admin.exe, the
# unit tests and the end-to-end client, in build-windows/bin/, and the check of the DLL's
# exports. Installs what is missing (Debian packages and deb-src entries), builds the
# dependencies from Debian's source packages once (build-windows/deps/).
#
#   bash scripts/build-windows.sh [--wine]     (--wine: also install Wine to run the tests)
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/windows/setup.sh "$@"
bash scripts/windows/deps.sh build-windows/deps

echo "== build (Windows x64, Release)"
cmake -S . -B build-windows -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw64.cmake -DORVO_WINDOWS_DEPS="$PWD/build-windows/deps/prefix" >/dev/null
cmake --build build-windows -j"$(nproc)"
bash scripts/check-exports.sh build-windows/bin/orvo-pkcs11.dll

#!/usr/bin/env bash
# Installs what the Windows cross-build needs besides scripts/setup.sh's packages: Debian's
# mingw-w64 toolchain, dpkg-dev (for `apt-get source`) and the deb-src entries; with --wine
# also Wine (64-bit only) for running the Windows programs.
set -euo pipefail
packages=(g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix mingw-w64-x86-64-dev
  binutils-mingw-w64-x86-64 dpkg-dev python3)
[ "${1:-}" = --wine ] && packages+=(wine wine64)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO=sudo
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup-windows: installing ${missing[*]}"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
bash "$(dirname "$0")/deb-src.sh"

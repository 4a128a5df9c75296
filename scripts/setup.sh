#!/usr/bin/env bash
# Installs every Debian package that building, testing and running the demo need.
set -euo pipefail
packages=(
  build-essential cmake ninja-build pkg-config git
  protobuf-compiler nanopb libnanopb-dev
  libmbedtls-dev libssl-dev libhidapi-dev libudev-dev
  nlohmann-json3-dev libp11-kit-dev p11-kit
  libgtest-dev libgmock-dev libbenchmark-dev
  opensc python3-pykcs11 python3-cryptography openssl libengine-pkcs11-openssl softhsm2 gnutls-bin libnss3-tools
  clang libclang-rt-dev
  gnuplot-nox
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO=sudo
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

#!/usr/bin/env bash
# Builds the libraries that the Windows build links, for x86_64-w64-mingw32, from Debian's own
# source packages (`apt-get source`) and from the GoogleTest sources that libgtest-dev ships, and
# installs them with the header-only dependencies (links to the installed Debian headers) into
# one prefix:
#
#   scripts/windows/deps.sh [DEPS_DIR]        (default: build-windows/deps)
#
# Each library is rebuilt only when its source package version or this recipe changed, so a
# second run takes a few seconds. Needs scripts/windows/setup.sh first.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
deps=$(mkdir -p "${1:-$root/build-windows/deps}" && cd "${1:-$root/build-windows/deps}" && pwd)
prefix=$deps/prefix
jobs=$(nproc)
recipe=$(cat "$0" "$root/cmake/toolchain-mingw64.cmake" | sha256sum | cut -c1-16)
mkdir -p "$deps/src" "$deps/build" "$prefix/include"

# The source tree of a Debian source package, fetched once into src/PACKAGE/.
source_tree() {
  local package=$1 dir=$deps/src/$1
  if ! compgen -G "$dir/*.dsc" >/dev/null; then
    rm -rf "$dir" && mkdir -p "$dir"
    (cd "$dir" && apt-get source -qq "$package" >/dev/null 2>"$dir/apt-source.log") || {
      cat "$dir/apt-source.log" >&2
      exit 1
    }
  fi
  find "$dir" -mindepth 1 -maxdepth 1 -type d | head -n1
}

# Configures, builds and installs one CMake project into the prefix, unless the stamp says
# that this version was built with this recipe already.
build() {
  local name=$1 tree=$2 version=$3
  shift 3
  local stamp=$deps/build/$name.stamp key="$version $recipe"
  if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$key" ]; then
    echo "deps: $name $version (cached)"
    return
  fi
  echo "deps: building $name $version for Windows"
  rm -rf "$deps/build/$name"
  cmake -S "$tree" -B "$deps/build/$name" -G Ninja -Wno-dev \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-mingw64.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" -DCMAKE_INSTALL_LIBDIR=lib \
    "$@" >"$deps/build/$name.log" 2>&1 || { cat "$deps/build/$name.log" >&2; exit 1; }
  { cmake --build "$deps/build/$name" -j"$jobs" && cmake --install "$deps/build/$name"; } \
    >>"$deps/build/$name.log" 2>&1 || { tail -n 50 "$deps/build/$name.log" >&2; exit 1; }
  echo "$key" >"$stamp"
}

dsc_version() { basename "$(compgen -G "$deps/src/$1/*.dsc" | head -n1)" .dsc; }

# mbedtls, with the configuration Debian builds it with (its threading on mingw-w64's
# winpthreads).
tree=$(source_tree mbedtls)
for option in MBEDTLS_DEPRECATED_WARNING MBEDTLS_HAVEGE_C MBEDTLS_MD2_C MBEDTLS_MD4_C \
  MBEDTLS_THREADING_C MBEDTLS_THREADING_PTHREAD MBEDTLS_CMAC_C MBEDTLS_SSL_DTLS_SRTP; do
  python3 "$tree/scripts/config.py" -f "$tree/include/mbedtls/config.h" set "$option"
done
build mbedtls "$tree" "$(dsc_version mbedtls)" \
  -DENABLE_PROGRAMS=OFF -DENABLE_TESTING=OFF -DGEN_FILES=OFF -DMBEDTLS_FATAL_WARNINGS=OFF \
  -DUSE_STATIC_MBEDTLS_LIBRARY=ON -DUSE_SHARED_MBEDTLS_LIBRARY=OFF

# hidapi with its Windows backend, as a static library.
build hidapi "$(source_tree hidapi)" "$(dsc_version hidapi)" \
  -DBUILD_SHARED_LIBS=OFF -DHIDAPI_BUILD_HIDTEST=OFF

# The nanopb runtime (the generator is the build machine's), with Debian's PB_ENABLE_MALLOC.
build nanopb "$(source_tree nanopb)" "$(dsc_version nanopb)" \
  -Dnanopb_BUILD_GENERATOR=OFF -DBUILD_SHARED_LIBS=OFF -DBUILD_STATIC_LIBS=ON \
  -DCMAKE_C_FLAGS=-DPB_ENABLE_MALLOC

# GoogleTest and GoogleMock from the sources of the installed libgtest-dev.
build googletest /usr/src/googletest "googletest_$(dpkg-query -W -f='${Version}' libgtest-dev)" \
  -DBUILD_GMOCK=ON -DINSTALL_GTEST=ON -DBUILD_SHARED_LIBS=OFF

# Header-only dependencies: the installed Debian headers themselves.
ln -sfn /usr/include/nlohmann "$prefix/include/nlohmann"
ln -sfn /usr/include/p11-kit-1/p11-kit "$prefix/include/p11-kit"
echo "deps: installed in $prefix"

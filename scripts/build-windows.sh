#!/usr/bin/env bash
# Builds chunkup.dll, the 32-bit Windows library, on Debian 12 with mingw-w64.
#
#   bash scripts/build-windows.sh            -> build-win/chunkup.dll
#
# Installs what is missing with apt-get, cross-builds libcurl and jsoncpp from
# Debian's own source packages (and googletest from /usr/src/googletest, for
# the tests) once into BUILD_DIR/deps/prefix, then builds the DLL and the
# Windows test programs in BUILD_DIR.
#   BUILD_DIR    build directory (default: build-win in the source tree)
#   CMAKE_ARGS   extra CMake arguments
#   JOBS         parallel build jobs (default 2)
set -euo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD_DIR=${BUILD_DIR:-$ROOT/build-win}
mkdir -p "$BUILD_DIR"
BUILD_DIR=$(cd "$BUILD_DIR" && pwd)
JOBS=${JOBS:-2}
DEPS=$BUILD_DIR/deps
PREFIX=$DEPS/prefix
TOOLCHAIN=$ROOT/cmake/i686-w64-mingw32.cmake
# Bump when the dependency recipe below changes, so cached prefixes are rebuilt.
DEPS_RECIPE=2

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive

elapsed() { echo "$(( $(date +%s) - $1 ))s"; }

bash "$ROOT/scripts/install-deps.sh" g++-mingw-w64-i686 mingw-w64-tools cmake make dpkg-dev googletest

# The cross-built dependencies, once per build tree.
stamp=$PREFIX/.chunkup-deps-$DEPS_RECIPE
if [ ! -f "$stamp" ]; then
  started=$(date +%s)
  rm -rf "$DEPS"
  mkdir -p "$DEPS/src" "$PREFIX"
  # Debian's source packages: deb-src entries that mirror the binary ones.
  if ! grep -rqs '^Types:.*deb-src\|^deb-src ' /etc/apt/sources.list /etc/apt/sources.list.d/; then
    if [ -f /etc/apt/sources.list.d/debian.sources ]; then
      sed 's/^Types: deb$/Types: deb-src/' /etc/apt/sources.list.d/debian.sources |
        $SUDO tee /etc/apt/sources.list.d/chunkup-deb-src.sources >/dev/null
    else
      sed -n 's/^deb /deb-src /p' /etc/apt/sources.list |
        $SUDO tee /etc/apt/sources.list.d/chunkup-deb-src.list >/dev/null
    fi
  fi
  $SUDO apt-get update -qq
  (cd "$DEPS/src" && apt-get source -qq curl libjsoncpp >/dev/null 2>&1) || {
    echo "apt-get source curl libjsoncpp failed" >&2
    exit 1
  }
  curl_src=$(find "$DEPS/src" -maxdepth 1 -type d -name 'curl-*' | head -n1)
  jsoncpp_src=$(find "$DEPS/src" -maxdepth 1 -type d -name 'libjsoncpp-*' -o -maxdepth 1 -type d -name 'jsoncpp-*' | head -n1)
  common=(-G "Unix Makefiles" -DCMAKE_TOOLCHAIN_FILE="$TOOLCHAIN" -DCMAKE_BUILD_TYPE=Release
          -DCMAKE_INSTALL_PREFIX="$PREFIX" -DBUILD_SHARED_LIBS=OFF)

  echo "== cross-building libcurl ($(basename "$curl_src"))"
  # HTTP and HTTPS only, the TLS from Windows itself (Schannel), so the DLL
  # still imports nothing but system DLLs. No built-in CA bundle: without
  # CHUNKUP_CA_FILE Schannel uses the Windows certificate store.
  cmake -S "$curl_src" -B "$DEPS/build-curl" "${common[@]}" \
    -DBUILD_CURL_EXE=OFF -DBUILD_TESTING=OFF -DHTTP_ONLY=ON \
    -DCURL_ENABLE_SSL=ON -DCURL_USE_SCHANNEL=ON -DCURL_USE_OPENSSL=OFF \
    -DCURL_CA_BUNDLE=none -DCURL_CA_PATH=none \
    -DCURL_ZLIB=OFF -DCURL_BROTLI=OFF -DCURL_ZSTD=OFF -DCURL_USE_LIBSSH2=OFF -DCURL_USE_LIBSSH=OFF \
    -DUSE_LIBIDN2=OFF -DUSE_NGHTTP2=OFF -DCURL_DISABLE_LDAP=ON -DCURL_DISABLE_LDAPS=ON \
    -DCURL_USE_GSSAPI=OFF -DENABLE_UNIX_SOCKETS=OFF -DCURL_DISABLE_ALTSVC=ON -DCURL_DISABLE_HSTS=ON \
    -DENABLE_MANUAL=OFF >"$DEPS/curl.log" 2>&1 || { tail -40 "$DEPS/curl.log"; exit 1; }
  cmake --build "$DEPS/build-curl" -j"$JOBS" --target install >>"$DEPS/curl.log" 2>&1 || { tail -40 "$DEPS/curl.log"; exit 1; }

  echo "== cross-building jsoncpp ($(basename "$jsoncpp_src"))"
  cmake -S "$jsoncpp_src" -B "$DEPS/build-jsoncpp" "${common[@]}" \
    -DBUILD_STATIC_LIBS=ON -DBUILD_OBJECT_LIBS=OFF -DJSONCPP_WITH_TESTS=OFF \
    -DJSONCPP_WITH_POST_BUILD_UNITTEST=OFF -DJSONCPP_WITH_PKGCONFIG_SUPPORT=OFF \
    >"$DEPS/jsoncpp.log" 2>&1 || { tail -40 "$DEPS/jsoncpp.log"; exit 1; }
  cmake --build "$DEPS/build-jsoncpp" -j"$JOBS" --target install >>"$DEPS/jsoncpp.log" 2>&1 || { tail -40 "$DEPS/jsoncpp.log"; exit 1; }

  echo "== cross-building googletest (/usr/src/googletest)"
  cmake -S /usr/src/googletest -B "$DEPS/build-gtest" "${common[@]}" -Dgtest_disable_pthreads=OFF \
    >"$DEPS/gtest.log" 2>&1 || { tail -40 "$DEPS/gtest.log"; exit 1; }
  cmake --build "$DEPS/build-gtest" -j"$JOBS" --target install >>"$DEPS/gtest.log" 2>&1 || { tail -40 "$DEPS/gtest.log"; exit 1; }

  rm -rf "$DEPS/src" "$DEPS"/build-*  # the prefix is all later builds need
  touch "$stamp"
  echo "== dependencies ready in $PREFIX ($(elapsed "$started"))"
fi

started=$(date +%s)
# shellcheck disable=SC2086
cmake -S "$ROOT" -B "$BUILD_DIR" -G "Unix Makefiles" -DCMAKE_TOOLCHAIN_FILE="$TOOLCHAIN" \
  -DCHUNKUP_WIN_DEPS_PREFIX="$PREFIX" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCHUNKUP_BUILD_TESTS=ON ${CMAKE_ARGS:-} >/dev/null
cmake --build "$BUILD_DIR" -j"$JOBS"
echo "== built $BUILD_DIR/chunkup.dll ($(elapsed "$started"))"

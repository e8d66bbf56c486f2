#!/usr/bin/env bash
# The Windows stage: builds chunkup.dll and its test programs
# (scripts/build-windows.sh), checks the DLL's export and import tables, and
# runs the Windows tests under wine (32-bit): the Win32 platform tests and the
# end-to-end cases against the reference service, which runs as a Linux
# program on 127.0.0.1:8642 (and, with TLS, on a free port for the HTTPS case).
#
#   bash scripts/test-windows.sh [ctest arguments]
#
#   BUILD_DIR        the Windows build (default: build-win); the cross-built
#                    dependencies and the wine prefix are cached inside it
#   LINUX_BUILD_DIR  where the Linux reference service is built (default: build)
set -euo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$ROOT"
export BUILD_DIR=${BUILD_DIR:-$ROOT/build-win}
LINUX_BUILD_DIR=${LINUX_BUILD_DIR:-$ROOT/build}
started=$(date +%s)

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive

# wine for 32-bit programs: the i386 architecture and wine32 from it.
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  $SUDO dpkg --add-architecture i386
fi
# wine's Schannel does its TLS with the 32-bit GnuTLS, which wine only recommends;
# openssl makes the HTTPS case's throw-away certificates.
bash scripts/install-deps.sh wine wine32:i386 libgnutls30:i386 curl openssl

# The reference service the wine suite talks to is the Linux one.
bash scripts/install-deps.sh
if [ ! -f "$LINUX_BUILD_DIR/CMakeCache.txt" ]; then
  cmake -S . -B "$LINUX_BUILD_DIR" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build "$LINUX_BUILD_DIR" -j2 --target chunkup-service
service=$(cd "$LINUX_BUILD_DIR" && pwd)/service/chunkup-service

CMAKE_ARGS="-DCHUNKUP_LINUX_SERVICE=$service ${CMAKE_ARGS:-}" bash scripts/build-windows.sh
built=$(date +%s)

cd "$BUILD_DIR"
status=0
ctest --output-on-failure -j2 --timeout 900 "$@" || status=$?
# The wine server of this build's prefix ends a few seconds after its last program.
WINEPREFIX="$BUILD_DIR/wine-prefix" timeout 60 wineserver -w 2>/dev/null || true
echo "== Windows stage: build $((built - started))s, tests $(($(date +%s) - built))s"
exit "$status"

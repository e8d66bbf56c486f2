#!/usr/bin/env bash
# Installs what is missing, builds everything and runs the test suite.
#   BUILD_DIR      build directory (default: build)
#   CMAKE_ARGS     extra CMake arguments, e.g. -DCHUNKUP_SANITIZE=thread
# Arguments are passed on to ctest (e.g. -L concurrency, -LE slow).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
build="${BUILD_DIR:-build}"
# shellcheck disable=SC2086
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo ${CMAKE_ARGS:-} >/dev/null
cmake --build "$build" -j"$(nproc)"
cd "$build"
ctest --output-on-failure -j2 --timeout 600 "$@"

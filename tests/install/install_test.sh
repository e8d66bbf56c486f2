#!/usr/bin/env bash
# Installs the build into a fresh prefix, builds a small C host outside the
# tree against it twice (find_package and pkg-config), and uploads a file with
# each build, and with the installed CLI, to the reference service.
#   install_test.sh BUILD_DIR CONSUMER_SOURCE_DIR
set -euo pipefail
build="$1"
consumer="$2"

work=$(mktemp -d "${TMPDIR:-/tmp}/chunkup-install-XXXXXX")
service_pid=""
cleanup() {
  if [ -n "$service_pid" ]; then kill "$service_pid" 2>/dev/null || true; wait "$service_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

prefix="$work/prefix"
cmake --install "$build" --prefix "$prefix" > "$work/install.log" || { cat "$work/install.log"; fail "cmake --install"; }

# What a distribution package would hold.
for f in include/chunkup.h lib/libchunkup.so lib/pkgconfig/chunkup.pc lib/cmake/chunkup/chunkupConfig.cmake \
         lib/cmake/chunkup/chunkupConfigVersion.cmake bin/chunkup bin/chunkup-service share/man/man1/chunkup.1 \
         share/man/man1/chunkup-service.1 \
         share/bash-completion/completions/chunkup; do
  [ -e "$prefix/$f" ] || fail "$f is not installed"
done
soname=$(readelf -d "$prefix/lib/libchunkup.so" | sed -n 's/.*SONAME.*\[\(.*\)\]/\1/p')
[ -n "$soname" ] && [ -L "$prefix/lib/libchunkup.so" ] && [ -L "$prefix/lib/$soname" ] \
  || fail "libchunkup.so and its SONAME ($soname) are not links to the versioned library"
[ -f "$(readlink -f "$prefix/lib/libchunkup.so")" ] || fail "the library links lead nowhere"
bash -n "$prefix/share/bash-completion/completions/chunkup" || fail "the bash completion does not parse"
# The manual pages render without a warning, where groff is at hand.
if command -v groff > /dev/null; then
  for page in "$prefix"/share/man/man1/*.1; do
    warnings=$(groff -man -ww -z "$page" 2>&1) || true
    [ -z "$warnings" ] || fail "$(basename "$page") does not render cleanly: $warnings"
  done
fi

# 1. CMake: find_package(chunkup CONFIG) and chunkup::chunkup.
cmake -S "$consumer" -B "$work/with-cmake" -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_BUILD_TYPE=Release \
  > "$work/cmake.log" 2>&1 || { cat "$work/cmake.log"; fail "configuring the consumer with find_package"; }
cmake --build "$work/with-cmake" > "$work/cmake-build.log" 2>&1 \
  || { cat "$work/cmake-build.log"; fail "building the consumer with find_package"; }

# 2. pkg-config, with nothing but the compiler and what chunkup.pc says.
flags=$(PKG_CONFIG_PATH="$prefix/lib/pkgconfig" pkg-config --cflags --libs chunkup) || fail "pkg-config chunkup"
# shellcheck disable=SC2086
cc -std=c11 -Wall -Wextra -pedantic -Werror "$consumer/upload_one.c" $flags -o "$work/upload_one_pc" \
  || fail "building the consumer with pkg-config ($flags)"

# The reference service on a free loopback port.
data="$work/data"
"$prefix/bin/chunkup-service" --listen 127.0.0.1:0 --data-dir "$data" > "$work/service.out" 2> "$work/service.log" &
service_pid=$!
base=""
for _ in $(seq 1 150); do
  base=$(sed -n 's/^chunkup-service listening on \(http:\/\/[^ ]*\).*/\1/p' "$work/service.out" | head -n 1)
  [ -n "$base" ] && break
  kill -0 "$service_pid" 2>/dev/null || break
  sleep 0.1
done
[ -n "$base" ] || { cat "$work/service.log"; fail "chunkup-service did not start"; }

# The library is told where the service is through the environment; no proxy
# may stand in between, and no browser opens.
run=(env -u http_proxy -u HTTP_PROXY -u https_proxy -u HTTPS_PROXY -u all_proxy -u ALL_PROXY
     CHUNKUP_FILE_SERVICE_HOST="${base#http://}" CHUNKUP_WEB_BASE_URL="$base" CHUNKUP_OPEN_PAGE=0)
upload_and_compare() {
  local label="$1"; shift
  local file="$work/$label.bin"
  # Two chunks and a bit, different for every host.
  head -c $((4 * 1024 * 1024 + 4097)) /dev/urandom > "$file"
  local url
  url=$(timeout 120 "${run[@]}" "$@" "$file" | tail -n 1) || fail "$label: the upload failed"
  url="${url##* }"
  case "$url" in "$base"/*) ;; *) fail "$label: no result URL on the service ($url)" ;; esac
  curl --silent --show-error --fail --noproxy '*' --max-time 60 -o "$work/$label.down" "$url" \
    || fail "$label: cannot download $url"
  cmp -s "$file" "$work/$label.down" || fail "$label: the download differs from the file"
  echo "$label: uploaded and downloaded the same bytes"
}

upload_and_compare find-package "$work/with-cmake/upload_one"
upload_and_compare pkg-config env LD_LIBRARY_PATH="$prefix/lib" "$work/upload_one_pc"
# The installed CLI finds the installed library by itself (its run path).
[ "$("$prefix/bin/chunkup" --version)" = "chunkup $(PKG_CONFIG_PATH="$prefix/lib/pkgconfig" pkg-config --modversion chunkup)" ] \
  || fail "chunkup --version does not match the package version"
upload_and_compare cli "$prefix/bin/chunkup" --no-open --service "$base"

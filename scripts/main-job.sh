#!/usr/bin/env bash
# Uploads one file end to end on this machine: installs what is missing,
# builds the library, the command-line host and the reference service, starts
# the service on 127.0.0.1:8642 unless one already answers there, uploads FILE
# (or a generated 10 MiB sample) with `chunkup`, prints the result URL and the
# upload page URL, and checks that the download matches the file.
#
#   bash scripts/main-job.sh [FILE]
#
# BUILD_DIR (default build-main in the source tree) holds the build, the
# service's data and the job's scratch files.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD_DIR=${BUILD_DIR:-$ROOT/build-main}
LISTEN=127.0.0.1:8642
BASE_URL=http://$LISTEN

if [ $# -gt 1 ]; then
  echo "usage: $0 [FILE]" >&2
  exit 2
fi
if [ $# -eq 1 ]; then
  FILE=$1
  if [ ! -f "$FILE" ] || [ ! -r "$FILE" ]; then
    echo "main-job: $FILE is not a readable file" >&2
    exit 2
  fi
  FILE=$(cd "$(dirname "$FILE")" && pwd)/$(basename "$FILE")
fi

echo "== installing missing packages"
bash "$ROOT/scripts/install-deps.sh"

echo "== building (Release) in $BUILD_DIR"
# The endpoints are given explicitly so a reused build directory cannot point
# the library elsewhere.
cmake -S "$ROOT" -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=Release -DCHUNKUP_BUILD_TESTS=OFF \
  -DCHUNKUP_BUILD_SERVICE=ON -DCHUNKUP_FILE_SERVICE_HOST="$LISTEN" -DCHUNKUP_WEB_BASE_URL="$BASE_URL" >/dev/null
cmake --build "$BUILD_DIR" --target chunkup-cli chunkup-service -j2
CLI=$BUILD_DIR/tools/chunkup
SERVICE=$BUILD_DIR/service/chunkup-service

WORK=$BUILD_DIR/main-job
mkdir -p "$WORK"

SERVICE_PID=
cleanup() {
  if [ -n "$SERVICE_PID" ] && kill -0 "$SERVICE_PID" 2>/dev/null; then
    kill -TERM "$SERVICE_PID" 2>/dev/null || true
    for _ in $(seq 1 50); do
      kill -0 "$SERVICE_PID" 2>/dev/null || break
      sleep 0.1
    done
    kill -KILL "$SERVICE_PID" 2>/dev/null || true
    wait "$SERVICE_PID" 2>/dev/null || true
    echo "== stopped the service this job started"
  fi
}
trap cleanup EXIT

if curl --noproxy "*" -s -o /dev/null --max-time 3 "$BASE_URL/"; then
  echo "== a service already answers at $BASE_URL; using it"
else
  echo "== starting chunkup-service at $BASE_URL (data in $WORK/service-data)"
  mkdir -p "$WORK/service-data"
  "$SERVICE" --listen "$LISTEN" --data-dir "$WORK/service-data" >"$WORK/service.out" 2>"$WORK/service.log" &
  SERVICE_PID=$!
  for _ in $(seq 1 100); do
    grep -q "listening on" "$WORK/service.out" 2>/dev/null && break
    kill -0 "$SERVICE_PID" 2>/dev/null || break
    sleep 0.1
  done
  if ! grep -q "listening on" "$WORK/service.out" 2>/dev/null; then
    echo "main-job: the service did not start; its log:" >&2
    cat "$WORK/service.log" >&2 || true
    exit 1
  fi
fi

if [ -z "${FILE:-}" ]; then
  FILE=$WORK/sample-10MiB.bin
  echo "== generating a 10 MiB random sample: $FILE"
  head -c $((10 * 1024 * 1024)) /dev/urandom >"$FILE"
fi

# The library shows the upload page with xdg-open. This stand-in records the
# address so the job can print it, and hands it on to the real one only when
# there is a display to show it on.
SHIM=$WORK/bin
mkdir -p "$SHIM"
PAGES=$WORK/opened-pages.txt
: >"$PAGES"
REAL_XDG_OPEN=$(command -v xdg-open || true)
cat >"$SHIM/xdg-open" <<EOF
#!/bin/sh
printf '%s\n' "\$1" >>"$PAGES"
if [ -n "$REAL_XDG_OPEN" ] && { [ -n "\${DISPLAY:-}" ] || [ -n "\${WAYLAND_DISPLAY:-}" ]; }; then
  exec "$REAL_XDG_OPEN" "\$1"
fi
EOF
chmod +x "$SHIM/xdg-open"

echo "== uploading $FILE"
RESULT=$WORK/result.json
set +e
# --service so an endpoint in the caller's environment cannot send the file
# elsewhere; CHUNKUP_OPEN_PAGE=1 because the stand-in above decides whether a
# browser can be shown (the CLI alone would not open the page without a display).
PATH="$SHIM:$PATH" CHUNKUP_OPEN_PAGE=1 "$CLI" --json --service "$BASE_URL" "$FILE" >"$RESULT"
STATUS=$?
set -e
cat "$RESULT"
if [ $STATUS -ne 0 ]; then
  echo "main-job: the upload failed (chunkup exit status $STATUS)" >&2
  exit 1
fi
URL=$(sed -n 's/.*"url":"\([^"]*\)".*/\1/p' "$RESULT" | head -n 1)
if [ -z "$URL" ]; then
  echo "main-job: no result URL in the CLI's output" >&2
  exit 1
fi

# The page is opened from a child process; give it a moment to be recorded.
for _ in $(seq 1 30); do
  [ -s "$PAGES" ] && break
  sleep 0.1
done
PAGE=$(head -n 1 "$PAGES")

echo
echo "result URL:      $URL"
echo "upload page URL: ${PAGE:-(not opened: the web site accepted no report)}"

echo "== downloading the result URL and comparing"
curl --noproxy "*" -sS --fail --max-time 120 -o "$WORK/download.bin" "$URL"
if cmp "$FILE" "$WORK/download.bin"; then
  echo "download matches: $(stat -c %s "$FILE") bytes identical"
else
  echo "main-job: the download differs from $FILE" >&2
  exit 1
fi

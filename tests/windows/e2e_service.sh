#!/usr/bin/env bash
# Starts or stops the reference service (a Linux program) for the Windows
# end-to-end host under wine, on the address chunkup.dll was built for.
#   e2e_service.sh start SERVICE_BINARY STATE_DIR LISTEN
#   e2e_service.sh stop STATE_DIR
# start also writes a stand-in xdg-open to STATE_DIR/bin that appends each URL
# to STATE_DIR/opened-pages.txt: wine hands ShellExecuteW of an http URL to the
# Linux xdg-open, so putting STATE_DIR/bin first in PATH records the page.
set -euo pipefail

stop() {
  local state="$1" pid
  [ -f "$state/service.pid" ] || return 0
  pid=$(cat "$state/service.pid")
  rm -f "$state/service.pid"
  if kill -0 "$pid" 2>/dev/null; then
    kill -TERM "$pid" 2>/dev/null || true
    for _ in $(seq 1 100); do  # up to 10 s, then for good
      kill -0 "$pid" 2>/dev/null || break
      sleep 0.1
    done
    kill -KILL "$pid" 2>/dev/null || true
  fi
  rm -rf "$state/data"
}

case "${1:-}" in
  start)
    service="$2" state="$3" listen="$4"
    [ -x "$service" ] || { echo "no service binary at $service" >&2; exit 1; }
    stop "$state"
    mkdir -p "$state/bin" "$state/data"
    : >"$state/opened-pages.txt"
    printf '#!/bin/sh\nprintf "%%s\\n" "$1" >> "%s"\n' "$state/opened-pages.txt" >"$state/bin/xdg-open"
    chmod +x "$state/bin/xdg-open"
    # Another test run on this machine may hold the port for a while: wait,
    # bounded, then give up.
    for _ in $(seq 1 120); do
      curl -s -o /dev/null --noproxy "*" --max-time 2 "http://$listen/" || break
      sleep 1
    done
    setsid "$service" --listen "$listen" --data-dir "$state/data" --quiet \
      >"$state/service.out" 2>"$state/service.log" </dev/null &
    echo $! >"$state/service.pid"
    for _ in $(seq 1 150); do  # up to 15 s
      if curl -s -o /dev/null --noproxy '*' --max-time 2 -w '%{http_code}' "http://$listen/_control/stats" | grep -q 200; then
        exit 0
      fi
      kill -0 "$(cat "$state/service.pid")" 2>/dev/null || break
      sleep 0.1
    done
    echo "the service did not come up on $listen:" >&2
    cat "$state/service.log" >&2 || true
    stop "$state"
    exit 1
    ;;
  stop)
    stop "$2"
    ;;
  *)
    echo "usage: $0 start SERVICE_BINARY STATE_DIR LISTEN | stop STATE_DIR" >&2
    exit 2
    ;;
esac

#!/usr/bin/env bash
# Starts or stops the reference service (a Linux program) for the Windows
# end-to-end host under wine, on the address chunkup.dll was built for.
#   e2e_service.sh start SERVICE_BINARY STATE_DIR LISTEN
#   e2e_service.sh start-tls SERVICE_BINARY STATE_DIR
#   e2e_service.sh stop STATE_DIR
# start-tls serves HTTPS on a free port instead, with a server certificate for
# 127.0.0.1 from a throw-away CA, and leaves for the host: STATE_DIR/url (the
# https:// base URL), STATE_DIR/pki/ca.pem (the CA) and
# STATE_DIR/pki/other-ca.pem (a CA that signed nothing here).
# Both starts also write a stand-in xdg-open to STATE_DIR/bin that appends each URL
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

stand_in_browser() {
  local state="$1"
  mkdir -p "$state/bin"
  : >"$state/opened-pages.txt"
  printf '#!/bin/sh\nprintf "%%s\\n" "$1" >> "%s"\n' "$state/opened-pages.txt" >"$state/bin/xdg-open"
  chmod +x "$state/bin/xdg-open"
}

# A CA, a certificate it signs for 127.0.0.1 (no other name), and an
# unrelated CA; valid for two days, never reused.
make_pki() {
  local dir="$1"
  rm -rf "$dir"
  mkdir -p "$dir"
  (
    cd "$dir"
    ec=(-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes)
    ca_ext=(-addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign)
    openssl req -x509 "${ec[@]}" -days 2 -keyout ca.key -out ca.pem -subj "/CN=chunkup test CA" "${ca_ext[@]}"
    openssl req -x509 "${ec[@]}" -days 2 -keyout other-ca.key -out other-ca.pem -subj "/CN=chunkup unrelated CA" \
      "${ca_ext[@]}"
    openssl req "${ec[@]}" -keyout server.key -out server.csr -subj /CN=127.0.0.1
    printf '%s\n' subjectAltName=IP:127.0.0.1 basicConstraints=CA:FALSE keyUsage=digitalSignature \
      extendedKeyUsage=serverAuth >server.ext
    openssl x509 -req -days 2 -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -out server.pem \
      -extfile server.ext
  ) >"$dir/openssl.log" 2>&1 || { cat "$dir/openssl.log" >&2; return 1; }
}

case "${1:-}" in
  start-tls)
    service="$2" state="$3"
    [ -x "$service" ] || { echo "no service binary at $service" >&2; exit 1; }
    stop "$state"
    rm -f "$state/url"
    mkdir -p "$state/data"
    stand_in_browser "$state"
    make_pki "$state/pki"
    setsid "$service" --listen 127.0.0.1:0 --data-dir "$state/data" --quiet \
      --tls-cert "$state/pki/server.pem" --tls-key "$state/pki/server.key" \
      >"$state/service.out" 2>"$state/service.log" </dev/null &
    echo $! >"$state/service.pid"
    for _ in $(seq 1 150); do  # up to 15 s
      url=$(sed -n 's|^chunkup-service listening on \(https://.*\)$|\1|p' "$state/service.out")
      if [ -n "$url" ] && curl -s -o /dev/null --noproxy '*' --max-time 2 --cacert "$state/pki/ca.pem" \
           -w '%{http_code}' "$url/_control/stats" | grep -q 200; then
        echo "$url" >"$state/url"
        exit 0
      fi
      kill -0 "$(cat "$state/service.pid")" 2>/dev/null || break
      sleep 0.1
    done
    echo "the service did not come up with TLS:" >&2
    cat "$state/service.out" "$state/service.log" >&2 || true
    stop "$state"
    exit 1
    ;;
  start)
    service="$2" state="$3" listen="$4"
    [ -x "$service" ] || { echo "no service binary at $service" >&2; exit 1; }
    stop "$state"
    mkdir -p "$state/data"
    stand_in_browser "$state"
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
    echo "usage: $0 start SERVICE_BINARY STATE_DIR LISTEN | start-tls SERVICE_BINARY STATE_DIR | stop STATE_DIR" >&2
    exit 2
    ;;
esac

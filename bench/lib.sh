# shellcheck shell=bash
# What the benchmark scripts share; they source it. The service helpers run
# $service (the binary) with a body limit just over $size (the largest file
# PUT to it), both set by the script, and leave its address in $hostport.
# shellcheck disable=SC2154  # $service and $size are the sourcing script's

# require_built PATH...: exits 2 unless each is an executable.
require_built() {
  local path
  for path in "$@"; do
    [[ -x $path ]] || { echo "missing $path (build it first)" >&2; exit 2; }
  done
}

# require_commands NAME...: exits 2 unless each is on PATH.
require_commands() {
  local name
  for name in "$@"; do
    command -v "$name" >/dev/null || { echo "needs $name" >&2; exit 2; }
  done
}

# What cleanup removes.
paths_to_remove=()
remove_on_exit() { paths_to_remove+=("$@"); }

# work_dirs NAME: $work, a temp dir under TMPDIR, and $data_root for the
# service's data, under CHUNKUP_BENCH_DATA or else in $work; both go on exit.
work_dirs() {
  work=$(mktemp -d "${TMPDIR:-/tmp}/chunkup-$1.XXXXXX")
  remove_on_exit "$work"
  data_root=$(mktemp -d "${CHUNKUP_BENCH_DATA:-$work}/chunkup-$1-data.XXXXXX")
  remove_on_exit "$data_root"
}

# write_random_file PATH MIB
write_random_file() {
  echo "writing $2 MiB of random bytes to $1" >&2
  head -c $(($2 * 1048576)) /dev/urandom >"$1"
}

# The prefix that runs a client where the service runs (ip netns exec NS);
# empty runs it here.
run_in=()
service_pid=

# start_service DATA_ROOT [PREFIX...]: the service on a free loopback port
# and a fresh DATA_ROOT/data; sets $hostport. The prefix runs it elsewhere.
start_service() {
  local root=$1 line
  shift
  rm -rf "$root/data" && mkdir "$root/data"
  # --max-body lets curl PUT the whole file to /_sink.
  coproc SERVICE { exec "$@" "$service" --listen 127.0.0.1:0 --data-dir "$root/data" --quiet \
    --max-body $((size + 1048576)) 2>/dev/null; }
  # shellcheck disable=SC2153  # the coproc sets SERVICE_PID
  service_pid=$SERVICE_PID
  # Its first line, "... listening on http://HOST:PORT", comes once it accepts.
  if ! read -r -t 20 line <&"${SERVICE[0]}"; then
    echo "service did not start" >&2
    exit 1
  fi
  hostport=${line##*http://}
}

stop_service() {
  if [[ -n $service_pid ]]; then
    kill "$service_pid" 2>/dev/null || true
    wait "$service_pid" 2>/dev/null || true
    service_pid=
  fi
}

# For the EXIT trap.
cleanup() {
  stop_service
  rm -rf "${paths_to_remove[@]}"
}

# The service's count of accepted connections, or nothing when it keeps none.
# The request for it is itself one connection, counted before it is answered.
service_connections() {
  "${run_in[@]}" curl -sS -f "http://$hostport/_control/stats" 2>/dev/null | tr -d ' \n' | grep -o '"connections":[0-9]*' |
    cut -d: -f2 || true
}

# sink_put FILE: one PUT of FILE to /_sink, which stores it as it stores a chunk.
sink_put() { "${run_in[@]}" curl -sS -f -o /dev/null -T "$1" "http://$hostport/_sink"; }

# dd_fsync FILE DIR: what the disk alone takes to store FILE in DIR the way
# the service does (4 MiB writes, then fsync); the copy is removed.
dd_fsync() { dd if="$1" of="$2/dd.bin" bs=4M conv=fsync status=none && rm -f "$2/dd.bin"; }

# Decimals seconds_of prints: 9 keeps every nanosecond for the arithmetic;
# a script that prints the figures as they are sets fewer.
seconds_decimals=9

# seconds_of COMMAND...: runs it, its output discarded; prints the wall seconds.
seconds_of() {
  local start end
  start=$(date +%s%N)
  "$@" >/dev/null || { echo "failed: $*" >&2; return 1; }
  end=$(date +%s%N)
  awk -v ns=$((end - start)) -v decimals="$seconds_decimals" 'BEGIN {printf "%.*f\n", decimals, ns / 1e9}'
}

# median NUMBER...: the middle one, or the mean of the middle two.
median() { printf '%s\n' "$@" | sort -g | awk '{v[NR]=$1} END {print (NR%2) ? v[(NR+1)/2] : (v[NR/2]+v[NR/2+1])/2}'; }

# field NAME LINE: VALUE of NAME=VALUE in a bench program's one-line report.
field() { sed -nE "s/(^|.* )$1=([^ ]*).*/\2/p" <<<"$2"; }

# fs_type PATH: the type of the file system PATH is on.
fs_type() { df -T "$1" | awk 'NR==2 {print $2}'; }

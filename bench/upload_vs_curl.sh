#!/usr/bin/env bash
# Upload of a large file to chunkup-service on loopback, side by side with
# what a plain client needs for the same job:
#   fresh upload      vs  openssl dgst -sha1 FILE  +  curl -T FILE .../_sink
#   re-upload (409)   vs  openssl dgst -sha1 FILE
#   peak RSS of the uploading process vs its idle RSS (target: + 16 MiB)
# Medians over RUNS runs; each run starts the service on an empty data dir.
#
# usage: bench/upload_vs_curl.sh BUILD_DIR [RUNS] [SIZE_MIB]
#   BUILD_DIR configured with -DCHUNKUP_BUILD_BENCH=ON and built with the
#   targets upload_bench and chunkup-service.
# environment:
#   CHUNKUP_BENCH_SERVICE  another chunkup-service binary to run
#   CHUNKUP_BENCH_DATA     where the service keeps its data (default: a temp
#                          dir; /dev/shm takes the disk's sync latency out)
set -euo pipefail

build=${1:?usage: $0 BUILD_DIR [RUNS] [SIZE_MIB]}
runs=${2:-5}
size_mib=${3:-1024}
uploader="$build/bench/upload_bench"
service=${CHUNKUP_BENCH_SERVICE:-$build/service/chunkup-service}
for tool in "$uploader" "$service"; do
  [[ -x $tool ]] || { echo "missing $tool (build it first)" >&2; exit 2; }
done
command -v openssl >/dev/null && command -v curl >/dev/null || { echo "needs openssl and curl" >&2; exit 2; }

work=$(mktemp -d "${TMPDIR:-/tmp}/chunkup-bench.XXXXXX")
data_root=$(mktemp -d "${CHUNKUP_BENCH_DATA:-$work}/chunkup-bench-data.XXXXXX")
service_pid=
stop_service() {
  if [[ -n $service_pid ]]; then
    kill "$service_pid" 2>/dev/null || true
    wait "$service_pid" 2>/dev/null || true
    service_pid=
  fi
}
trap 'stop_service; rm -rf "$work" "$data_root"' EXIT

file="$work/bench-$size_mib.bin"
echo "writing $size_mib MiB of random bytes to $file" >&2
head -c $((size_mib * 1048576)) /dev/urandom >"$file"
cat "$file" >/dev/null  # every contender reads from the page cache

# Starts the service on a free port with a fresh data dir; sets $hostport.
start_service() {
  rm -rf "$data_root/data" && mkdir "$data_root/data"
  # --max-body lets the curl side PUT the whole file to /_sink.
  coproc SERVICE { exec "$service" --listen 127.0.0.1:0 --data-dir "$data_root/data" --quiet \
    --max-body $((size_mib * 1048576 + 1048576)) 2>/dev/null; }
  service_pid=$SERVICE_PID
  local line
  if ! read -r -t 20 line <&"${SERVICE[0]}"; then
    echo "service did not start" >&2
    exit 1
  fi
  hostport=${line##*http://}
}

seconds_of() {  # runs "$@", prints wall seconds
  local start end
  start=$(date +%s.%N)
  "$@" >/dev/null || { echo "failed: $*" >&2; return 1; }
  end=$(date +%s.%N)
  echo "$end - $start" | bc -l
}

declare -a fresh reupload dgst put idle peak
for ((i = 1; i <= runs; i++)); do
  start_service
  d=$(seconds_of openssl dgst -sha1 "$file") || exit 1
  p=$(seconds_of curl -sS -f -o /dev/null -T "$file" "http://$hostport/_sink") || exit 1
  out=$("$uploader" "$hostport" "$file")
  [[ $out == status=200* ]] || { echo "fresh upload failed: $out" >&2; exit 1; }
  f=$(sed -E 's/.*seconds=([0-9.]+).*/\1/' <<<"$out")
  idle+=("$(sed -E 's/.*idle_rss_kib=([0-9]+).*/\1/' <<<"$out")")
  peak+=("$(sed -E 's/.*peak_rss_kib=([0-9]+).*/\1/' <<<"$out")")
  out=$("$uploader" "$hostport" "$file")
  [[ $out == status=409* ]] || { echo "re-upload was not answered 409: $out" >&2; exit 1; }
  r=$(sed -E 's/.*seconds=([0-9.]+).*/\1/' <<<"$out")
  stop_service
  fresh+=("$f") reupload+=("$r") dgst+=("$d") put+=("$p")
  printf 'run %d: upload %.3fs  re-upload %.3fs  openssl %.3fs  curl -T %.3fs\n' "$i" "$f" "$r" "$d" "$p" >&2
done

median() { printf '%s\n' "$@" | sort -g | awk '{v[NR]=$1} END {print (NR%2) ? v[(NR+1)/2] : (v[NR/2]+v[NR/2+1])/2}'; }
mf=$(median "${fresh[@]}") mr=$(median "${reupload[@]}") md=$(median "${dgst[@]}") mp=$(median "${put[@]}")
mi=$(median "${idle[@]}") mk=$(median "${peak[@]}")

echo "file: $size_mib MiB, $runs runs, medians; service data in ${CHUNKUP_BENCH_DATA:-$work}"
printf 'fresh upload           %8.3f s\n' "$mf"
printf 'openssl dgst + curl -T %8.3f s  (%.3f + %.3f)\n' "$(echo "$md + $mp" | bc -l)" "$md" "$mp"
printf 'ratio                  %8.3f    (target <= 1.25)\n' "$(echo "$mf / ($md + $mp)" | bc -l)"
printf 're-upload (409)        %8.3f s\n' "$mr"
printf 'openssl dgst           %8.3f s\n' "$md"
printf 'ratio                  %8.3f    (target <= 1.10)\n' "$(echo "$mr / $md" | bc -l)"
printf 'idle RSS               %8.0f KiB\n' "$mi"
printf 'peak RSS while upload  %8.0f KiB  (+%.0f KiB, target <= +16384)\n' "$mk" "$(echo "$mk - $mi" | bc -l)"

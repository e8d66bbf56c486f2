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
# shellcheck source=bench/lib.sh
source "$(dirname "$0")/lib.sh"

build=${1:?usage: $0 BUILD_DIR [RUNS] [SIZE_MIB]}
runs=${2:-5}
size_mib=${3:-1024}
uploader="$build/bench/upload_bench"
service=${CHUNKUP_BENCH_SERVICE:-$build/service/chunkup-service}
require_built "$uploader" "$service"
require_commands openssl curl
size=$((size_mib * 1048576))

trap cleanup EXIT
work_dirs bench

file="$work/bench-$size_mib.bin"
write_random_file "$file" "$size_mib"
cat "$file" >/dev/null  # every contender reads from the page cache

declare -a fresh reupload dgst put idle peak
for ((i = 1; i <= runs; i++)); do
  start_service "$data_root"
  d=$(seconds_of openssl dgst -sha1 "$file") || exit 1
  p=$(seconds_of sink_put "$file") || exit 1
  out=$("$uploader" "$hostport" "$file")
  [[ $out == status=200* ]] || { echo "fresh upload failed: $out" >&2; exit 1; }
  f=$(field seconds "$out")
  idle+=("$(field idle_rss_kib "$out")")
  peak+=("$(field peak_rss_kib "$out")")
  out=$("$uploader" "$hostport" "$file")
  [[ $out == status=409* ]] || { echo "re-upload was not answered 409: $out" >&2; exit 1; }
  r=$(field seconds "$out")
  stop_service
  fresh+=("$f") reupload+=("$r") dgst+=("$d") put+=("$p")
  printf 'run %d: upload %.3fs  re-upload %.3fs  openssl %.3fs  curl -T %.3fs\n' "$i" "$f" "$r" "$d" "$p" >&2
done

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

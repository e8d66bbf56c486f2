#!/usr/bin/env bash
# How fast chunkup-service takes bytes in, side by side with dd writing the
# same bytes to the same file system and syncing them:
#   one large PUT     curl -T FILE .../_sink (stored like a chunk: temp file,
#                     digest, fsync, rename)  vs  dd bs=4M conv=fsync of FILE
#   4 MiB chunk PUTs  a real upload's series: prepare, every chunk PUT on one
#                     connection (one curl, one URL after another), commit
#                     vs  the same dd, and vs one dd conv=fsync per chunk file
#                     (the same number of syncs as the service makes)
# Also prints how many TCP connections the service accepted for the chunk
# series (its /_control/stats "connections"; target 1).
# Medians over RUNS runs; each run starts the service on an empty data dir.
#
# usage: bench/service_ingest.sh BUILD_DIR [RUNS] [SIZE_MIB]
#   BUILD_DIR holds a built chunkup-service (no bench option needed).
# environment:
#   CHUNKUP_BENCH_SERVICE  another chunkup-service binary to run
#   CHUNKUP_BENCH_DATA     the file system to measure: where the service's data
#                          dir and dd's output go (default: a temp dir under
#                          TMPDIR; /dev/shm measures without a disk)
set -euo pipefail
# shellcheck source=bench/lib.sh
source "$(dirname "$0")/lib.sh"

build=${1:?usage: $0 BUILD_DIR [RUNS] [SIZE_MIB]}
runs=${2:-5}
size_mib=${3:-1024}
service=${CHUNKUP_BENCH_SERVICE:-$build/service/chunkup-service}
require_built "$service"
require_commands curl openssl dd bc jq
chunk=4194304
size=$((size_mib * 1048576))

trap cleanup EXIT
work_dirs ingest

file="$work/ingest-$size_mib.bin"
write_random_file "$file" "$size_mib"
# The chunks as separate files, their keys, and the prepare/commit documents
# exactly as the library writes them.
mkdir "$work/pieces"
split -b $chunk -d -a 6 "$file" "$work/pieces/p"
keys=()
for piece in "$work"/pieces/p*; do
  keys+=("$(openssl dgst -sha1 -binary "$piece" | base64 | tr '+/' '-_')")
done
keys_json=$(printf '"%s",' "${keys[@]}")
keys_json="[${keys_json%,}]"
prepare_doc="{\"chunkSize\":$chunk,\"fileSize\":\"$size\",\"keys\":$keys_json,\"path\":\"home/ingest.bin\"}"
commit_doc="{\"chunkSize\":$chunk,\"editTime\":\"0\",\"fileSize\":\"$size\",\"keys\":$keys_json,\"mimeType\":\"application/x-msdownload\",\"path\":\"home/ingest.bin\"}"
cat "$file" "$work"/pieces/p* >/dev/null  # everything is read from the page cache

dd_chunks() {
  mkdir -p "$data_root/dd"
  for piece in "$work"/pieces/p*; do
    dd if="$piece" of="$data_root/dd/${piece##*/}" bs=4M conv=fsync status=none
  done
  rm -rf "$data_root/dd"
}

# prepare, every required chunk on one curl (one connection), commit.
chunk_series() {
  local reply config
  reply=$(curl -sS -f -H 'Content-Type: application/octet-stream' -H 'Expect:' \
    --data-binary "$prepare_doc" "http://$hostport/anonymous/prepare_put")
  config="$work/put.curlrc"
  : >"$config"
  while read -r index url; do
    printf 'upload-file = "%s/pieces/p%06d"\nurl = "%s"\noutput = "/dev/null"\n' "$work" "$index" "$url" >>"$config"
  done < <(jq -r '.required[] | "\(.index) \(.url)"' <<<"$reply")
  curl -sS -f -H 'Content-Type: application/octet-stream' -H 'Expect:' -K "$config"
  curl -sS -f -o /dev/null -H 'Content-Type: application/octet-stream' -H 'Expect:' \
    --data-binary "$commit_doc" "http://$hostport/anonymous/commit_put"
}

declare -a t_dd t_ddc t_put t_series conns
for ((i = 1; i <= runs; i++)); do
  start_service "$data_root"
  a=$(seconds_of dd_fsync "$file" "$data_root") || exit 1
  b=$(seconds_of sink_put "$file") || exit 1
  c0=$(service_connections)
  c=$(seconds_of chunk_series) || exit 1
  c1=$(service_connections)
  if [[ -n $c0 && -n $c1 ]]; then
    n=$((c1 - c0 - 1 - 2))  # less the second stats request, the prepare and the commit
  else
    n=n/a
  fi
  d=$(seconds_of dd_chunks) || exit 1
  stop_service
  t_dd+=("$a") t_put+=("$b") t_series+=("$c") t_ddc+=("$d") conns+=("$n")
  printf 'run %d: dd %.3fs  PUT %.3fs  chunk series %.3fs (%s connections)  dd per chunk %.3fs\n' \
    "$i" "$a" "$b" "$c" "$n" "$d" >&2
done

mdd=$(median "${t_dd[@]}") mput=$(median "${t_put[@]}") mser=$(median "${t_series[@]}") mddc=$(median "${t_ddc[@]}")

echo "file: $size_mib MiB, $runs runs, medians; data on ${CHUNKUP_BENCH_DATA:-$work} ($(fs_type "$data_root"))"
printf 'dd bs=4M conv=fsync           %8.3f s  %7.1f MB/s\n' "$mdd" "$(echo "$size / $mdd / 1000000" | bc -l)"
printf 'one PUT to /_sink             %8.3f s  %7.1f MB/s\n' "$mput" "$(echo "$size / $mput / 1000000" | bc -l)"
printf 'ratio PUT / dd                %8.3f    (target <= 1.20)\n' "$(echo "$mput / $mdd" | bc -l)"
printf 'chunk series (%d PUTs)       %8.3f s  %7.1f MB/s\n' "${#keys[@]}" "$mser" "$(echo "$size / $mser / 1000000" | bc -l)"
printf 'ratio chunk series / dd       %8.3f\n' "$(echo "$mser / $mdd" | bc -l)"
printf 'dd conv=fsync per chunk file  %8.3f s\n' "$mddc"
printf 'ratio chunk series / that     %8.3f\n' "$(echo "$mser / $mddc" | bc -l)"
printf 'connections for the chunk PUTs %7s    (target 1)\n' "$(median "${conns[@]}")"

#!/usr/bin/env bash
# Times the hashing step on a 1 GiB file in the page cache side by side with
# `openssl dgst -sha1` on the same file, and prints the medians and the ratio
# (ours / openssl; the target is <= 1.05). Also prints the step's peak RSS on
# a small and on the large file: it must not grow with the file.
#
# usage: bench/hash_vs_openssl.sh [--dir DIR] [--runs N] [--bin PATH] [--keep] [-- BENCH-ARGS...]
#   --dir   where the test files go (default /tmp)
#   --runs  timed runs of each tool, interleaved (default 7)
#   --bin   hash_file_bench (default: build*/bench/hash_file_bench under the repo)
#   --keep  leave the test files for the next run
#   BENCH-ARGS are passed to hash_file_bench, e.g. -- --portable
set -euo pipefail
# shellcheck source=bench/lib.sh
source "$(dirname "$0")/lib.sh"

dir=/tmp
runs=7
bin=""
keep=0
extra=()
while [[ $# -gt 0 ]]; do
  case "$1" in
    --dir) dir="$2"; shift 2 ;;
    --runs) runs="$2"; shift 2 ;;
    --bin) bin="$2"; shift 2 ;;
    --keep) keep=1; shift ;;
    --) shift; extra=("$@"); break ;;
    *) echo "unknown argument: $1" >&2; exit 2 ;;
  esac
done

root="$(cd "$(dirname "$0")/.." && pwd)"
if [[ -z "$bin" ]]; then
  bin="$(ls -t "$root"/build*/bench/hash_file_bench 2>/dev/null | head -n 1 || true)"
fi
if [[ -z "$bin" || ! -x "$bin" ]]; then
  echo "hash_file_bench not found: configure with -DCHUNKUP_BUILD_BENCH=ON and build it, or pass --bin" >&2
  exit 1
fi
command -v openssl >/dev/null || { echo "openssl is not installed" >&2; exit 1; }

big="$dir/chunkup-bench-1g.bin"
small="$dir/chunkup-bench-64m.bin"
[[ $keep -eq 1 ]] || remove_on_exit "$big" "$small"
trap cleanup EXIT

make_file() {  # path size
  if [[ ! -f "$1" || $(stat -c %s "$1") -ne $2 ]]; then
    head -c "$2" /dev/urandom > "$1.tmp" && mv "$1.tmp" "$1"
  fi
}
make_file "$big" $((1024 * 1024 * 1024))
make_file "$small" $((64 * 1024 * 1024))

# Warm the page cache, so both tools measure hashing and not the disk.
cat "$big" "$small" > /dev/null
cat "$big" > /dev/null

# The first chunk's digest must match openssl's digest of the first 4 MiB.
check="$("$bin" "$big" "${extra[@]}")"
want="$(head -c 4194304 "$big" | openssl dgst -sha1 -r | cut -d' ' -f1)"
got="$(field first "$check")"
if [[ "$got" != "$want" ]]; then
  echo "first chunk digest differs: ours $got, openssl $want" >&2
  exit 1
fi

ours=()
theirs=()
for ((i = 0; i < runs; i++)); do
  t=$(seconds_of openssl dgst -sha1 "$big") || exit 1
  theirs+=("$t")
  t=$(seconds_of "$bin" "$big" "${extra[@]}") || exit 1
  ours+=("$t")
done

m_ours=$(median "${ours[@]}")
m_theirs=$(median "${theirs[@]}")

small_report="$("$bin" "$small" "${extra[@]}")"
rss_small="$(field peak_rss_kb "$small_report")"
rss_big="$(field peak_rss_kb "$check")"

echo "file:              $big (1 GiB, page cache warm), $runs runs each, interleaved"
echo "bench args:        ${extra[*]:-(none: the step as built)}"
echo "$check" | sed 's/^/hash_file_bench:   /'
awk -v o="$m_ours" -v t="$m_theirs" 'BEGIN {
  printf "median ours:       %.3f s (%.0f MB/s)\n", o, 1073.741824 / o
  printf "median openssl:    %.3f s (%.0f MB/s)\n", t, 1073.741824 / t
  printf "ratio ours/openssl: %.3f (target <= 1.05)\n", o / t
}'
echo "peak RSS:          ${rss_small} KiB on 64 MiB, ${rss_big} KiB on 1 GiB"

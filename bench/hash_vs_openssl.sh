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
cleanup() { [[ $keep -eq 1 ]] || rm -f "$big" "$small"; }
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
got="$(sed -n 's/.* first=\([0-9a-f]*\).*/\1/p' <<<"$check")"
if [[ "$got" != "$want" ]]; then
  echo "first chunk digest differs: ours $got, openssl $want" >&2
  exit 1
fi

now_ns() { date +%s%N; }
ours=()
theirs=()
for ((i = 0; i < runs; i++)); do
  t0=$(now_ns); openssl dgst -sha1 "$big" > /dev/null; t1=$(now_ns)
  theirs+=($((t1 - t0)))
  t0=$(now_ns); "$bin" "$big" "${extra[@]}" > /dev/null; t1=$(now_ns)
  ours+=($((t1 - t0)))
done

median() { printf '%s\n' "$@" | sort -n | awk '{v[NR] = $1} END {print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'; }
m_ours=$(median "${ours[@]}")
m_theirs=$(median "${theirs[@]}")

rss_small="$("$bin" "$small" "${extra[@]}" | sed -n 's/.*peak_rss_kb=\([0-9]*\).*/\1/p')"
rss_big="$(sed -n 's/.*peak_rss_kb=\([0-9]*\).*/\1/p' <<<"$check")"

echo "file:              $big (1 GiB, page cache warm), $runs runs each, interleaved"
echo "bench args:        ${extra[*]:-(none: the step as built)}"
echo "$check" | sed 's/^/hash_file_bench:   /'
awk -v o="$m_ours" -v t="$m_theirs" 'BEGIN {
  printf "median ours:       %.3f s (%.0f MB/s)\n", o / 1e9, 1073.741824 / (o / 1e9)
  printf "median openssl:    %.3f s (%.0f MB/s)\n", t / 1e9, 1073.741824 / (t / 1e9)
  printf "ratio ours/openssl: %.3f (target <= 1.05)\n", o / t
}'
echo "peak RSS:          ${rss_small} KiB on 64 MiB, ${rss_big} KiB on 1 GiB"

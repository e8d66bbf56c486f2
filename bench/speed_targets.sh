#!/usr/bin/env bash
# The upload's speed figures, each side by side with a peer measured in the
# same run, as medians of RUNS runs, with its target and PASS or MISS:
#   1  TCP connections opened per upload (fresh and held)  vs  hosts talked to
#   2  fresh upload  vs  openssl dgst -sha1 FILE + curl -T FILE .../_sink,
#      service data on disk and on /dev/shm                    (<= 1.10 x)
#   3  the service's ingest of one large PUT (curl -T to /_sink)
#      vs  dd bs=4M conv=fsync of the same bytes to the same file system
#                                                               (<= 1.20 x)
#   4  on a link shaped by tc tbf: upload of a 256 MiB file  vs  curl -T of
#      it into /_sink                                          (<= 1.05 x)
#      The service and both clients run in a network namespace of their own
#      whose loopback is shaped: /_sink and the control endpoints answer
#      loopback clients only, so a veth pair between two namespaces would
#      leave curl without a sink. Needs root and `ip netns`, else SKIP.
#   5  held re-upload (409, hashing only)  vs  openssl dgst -sha1  (<= 0.60 x)
#   6  peak RSS of the uploading process  vs  its idle RSS + 16 MiB, and CPU
#      time (user + sys) per GiB of a fresh upload  vs  a baseline build's
# Per-run numbers go to stderr, the figures to stdout, with the machine's load
# (uptime) at the start and at the end.
#
# usage: bench/speed_targets.sh BUILD_DIR [RUNS=5] [SIZE_MIB=1024]
#   BUILD_DIR configured with -DCHUNKUP_BUILD_BENCH=ON, with the targets
#   upload_bench and chunkup-service built.
# environment:
#   CHUNKUP_BENCH_BASELINE_BUILD  build dir of an older commit (its
#                       bench/upload_bench): its fresh uploads run in the same
#                       runs, for figure 6's CPU time and as "before" figures
#   CHUNKUP_BENCH_SERVICE         another chunkup-service binary to run
#   CHUNKUP_BENCH_INGEST_SCRIPT   the service's ingest benchmark (default
#                       bench/service_ingest.sh next to this script); figure 3
#                       is taken from it when it runs, else measured here;
#                       "none" measures here only
#   CHUNKUP_BENCH_LINK_MIB        file size on the shaped link (default 256,
#                       at most SIZE_MIB)
#   CHUNKUP_BENCH_LINK_RATE       tbf rate (default 200mbit)
#   CHUNKUP_BENCH_LINK_DATA       service data on the link (default /dev/shm,
#                       so the link is the only bottleneck)
#   TMPDIR                        the disk the files and disk data dirs go to
#
# Connections are counted by the service ("connections" in its
# /_control/stats) when it counts them; otherwise by strace on the connect()
# calls of one extra fresh and held upload.
set -euo pipefail

build=${1:?usage: $0 BUILD_DIR [RUNS=5] [SIZE_MIB=1024]}
runs=${2:-5}
size_mib=${3:-1024}
[[ $runs =~ ^[1-9][0-9]*$ && $size_mib =~ ^[1-9][0-9]*$ ]] || { echo "RUNS and SIZE_MIB are positive integers" >&2; exit 2; }
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=bench/lib.sh
source "$here/lib.sh"
uploader="$build/bench/upload_bench"
service=${CHUNKUP_BENCH_SERVICE:-$build/service/chunkup-service}
baseline_build=${CHUNKUP_BENCH_BASELINE_BUILD:-}
baseline_uploader=
[[ -n $baseline_build ]] && baseline_uploader="$baseline_build/bench/upload_bench"
ingest_script=${CHUNKUP_BENCH_INGEST_SCRIPT:-$here/service_ingest.sh}
link_mib=${CHUNKUP_BENCH_LINK_MIB:-256}
((link_mib > size_mib)) && link_mib=$size_mib
link_rate=${CHUNKUP_BENCH_LINK_RATE:-200mbit}
link_data=${CHUNKUP_BENCH_LINK_DATA:-/dev/shm}
require_built "$uploader" "$service" ${baseline_uploader:+"$baseline_uploader"}
require_commands openssl curl dd awk
[[ -d /dev/shm && -w /dev/shm ]] || { echo "needs a writable /dev/shm" >&2; exit 2; }

started=$(date +%s)
load_start=$(uptime)
size=$((size_mib * 1048576))
ns=
link_teardown() {
  if [[ -n $ns ]]; then
    ip netns del "$ns" 2>/dev/null || true
    ns=
  fi
}
trap 'cleanup; link_teardown' EXIT
trap 'exit 130' INT TERM
work=$(mktemp -d "${TMPDIR:-/tmp}/chunkup-speed.XXXXXX")
remove_on_exit "$work"
shm_root=$(mktemp -d /dev/shm/chunkup-speed.XXXXXX)
remove_on_exit "$shm_root"
# The rows print the medians as they are.
seconds_decimals=3

file="$work/speed-$size_mib.bin"
link_file="$work/speed-link-$link_mib.bin"
write_random_file "$file" "$size_mib"
head -c $((link_mib * 1048576)) "$file" >"$link_file"
cat "$file" "$link_file" >/dev/null  # every contender reads from the page cache

openssl_dgst() { openssl dgst -sha1 "$1"; }

# upload BINARY FILE WANT_STATUS: one upload, timed; sets up_seconds, up_cpu
# (user + sys seconds), up_rss (peak - idle KiB) and up_conns (by the
# service's count, or "-").
upload() {
  local bin=$1 path=$2 want=$3 c0 c1 out rc=0 TIMEFORMAT='%3U %3S'
  c0=
  [[ $count_mode == service ]] && c0=$(service_connections)
  { time "${run_in[@]}" "$bin" "$hostport" "$path" >"$work/up.out" 2>"$work/up.err"; } 2>"$work/up.time" || rc=$?
  out=$(<"$work/up.out")
  if [[ $rc -ne 0 || $out != "status=$want "* ]]; then
    echo "upload with $bin was not answered $want: $out $(head -c 500 "$work/up.err")" >&2
    exit 1
  fi
  up_seconds=$(field seconds "$out")
  up_rss=$(($(field peak_rss_kib "$out") - $(field idle_rss_kib "$out")))
  up_cpu=$(awk '{printf "%.3f", $1 + $2}' "$work/up.time")
  up_conns=-
  if [[ -n $c0 ]]; then
    c1=$(service_connections)
    if [[ -n $c1 ]]; then up_conns=$((c1 - c0 - 1)); fi
  fi
  return 0
}

# strace_upload BINARY FILE WANT_STATUS: sets tr_conns (connect() calls) and
# tr_hosts (distinct addresses and ports connected to).
strace_upload() {
  local bin=$1 path=$2 want=$3 out
  out=$(strace -f -qq --seccomp-bpf -e trace=connect -o "$work/strace.out" "$bin" "$hostport" "$path" 2>"$work/up.err") ||
    true
  [[ $out == "status=$want "* ]] || { echo "traced upload with $bin was not answered $want: $out" >&2; exit 1; }
  tr_conns=$(grep -c 'connect(.*sa_family=AF_INET' "$work/strace.out" || true)
  tr_hosts=$(grep -o 'sin6\?_port=htons([0-9]*), [a-z0-9_]*=inet_[a-z]*([^)]*)' "$work/strace.out" | sort -u | wc -l)
}

ratio() { awk -v a="$1" -v b="$2" 'BEGIN {printf "%.3f", (b > 0) ? a / b : 0}'; }
verdict() { awk -v r="$1" -v t="$2" 'BEGIN {print (r <= t + 1e-9) ? "PASS" : "MISS"}'; }
sum() { awk -v a="$1" -v b="$2" 'BEGIN {printf "%.3f", a + b}'; }

# --- how connections are counted ---------------------------------------------
count_mode=strace
start_service "$work"
[[ -n $(service_connections) ]] && count_mode=service
declare -a tr_fresh tr_held tr_base
if [[ $count_mode == strace ]]; then
  command -v strace >/dev/null || { echo "the service counts no connections and strace is missing" >&2; exit 2; }
  echo "the service counts no connections: counting connect() calls with strace on one extra upload" >&2
  strace_upload "$uploader" "$file" 200
  tr_fresh=("$tr_conns" "$tr_hosts")
  strace_upload "$uploader" "$file" 409
  tr_held=("$tr_conns" "$tr_hosts")
  stop_service
  if [[ -n $baseline_uploader ]]; then
    start_service "$work"
    strace_upload "$baseline_uploader" "$file" 200
    tr_base=("$tr_conns" "$tr_hosts")
  fi
fi
stop_service

# --- service data on disk: figures 1, 2, 3, 5, 6 -----------------------------
declare -a d_dgst d_put d_dd d_up d_cpu d_rss d_conn d_held d_hrss d_hconn b_up b_cpu b_rss b_conn
for ((i = 1; i <= runs; i++)); do
  start_service "$work"
  a=$(seconds_of openssl_dgst "$file") || exit 1
  b=$(seconds_of sink_put "$file") || exit 1
  c=$(seconds_of dd_fsync "$file" "$work") || exit 1
  upload "$uploader" "$file" 200
  d_up+=("$up_seconds") d_cpu+=("$up_cpu") d_rss+=("$up_rss") d_conn+=("$up_conns")
  f=$up_seconds fc=$up_cpu
  upload "$uploader" "$file" 409
  d_held+=("$up_seconds") d_hrss+=("$up_rss") d_hconn+=("$up_conns")
  stop_service
  d_dgst+=("$a") d_put+=("$b") d_dd+=("$c")
  line=$(printf 'disk run %d: upload %.3fs (cpu %.3fs) held %.3fs  openssl %.3fs  curl -T %.3fs  dd %.3fs  connections %s/%s' \
    "$i" "$f" "$fc" "$up_seconds" "$a" "$b" "$c" "${d_conn[-1]}" "$up_conns")
  if [[ -n $baseline_uploader ]]; then
    start_service "$work"
    upload "$baseline_uploader" "$file" 200
    stop_service
    b_up+=("$up_seconds") b_cpu+=("$up_cpu") b_rss+=("$up_rss") b_conn+=("$up_conns")
    line+=$(printf '  baseline upload %.3fs (cpu %.3fs, %s connections)' "$up_seconds" "$up_cpu" "$up_conns")
  fi
  echo "$line" >&2
done

# --- service data on /dev/shm: figure 2 --------------------------------------
declare -a s_dgst s_put s_up s_cpu s_rss s_conn
for ((i = 1; i <= runs; i++)); do
  start_service "$shm_root"
  a=$(seconds_of openssl_dgst "$file") || exit 1
  b=$(seconds_of sink_put "$file") || exit 1
  upload "$uploader" "$file" 200
  stop_service
  rm -rf "$shm_root/data"
  s_dgst+=("$a") s_put+=("$b") s_up+=("$up_seconds") s_cpu+=("$up_cpu") s_rss+=("$up_rss") s_conn+=("$up_conns")
  printf 'shm run %d: upload %.3fs (cpu %.3fs)  openssl %.3fs  curl -T %.3fs  connections %s\n' \
    "$i" "$up_seconds" "$up_cpu" "$a" "$b" "$up_conns" >&2
done

# --- a shaped link: figure 4 -------------------------------------------------
link_skip=
link_setup() {
  [[ $(id -u) -eq 0 ]] || { link_skip="not root"; return 1; }
  command -v ip >/dev/null && command -v tc >/dev/null || { link_skip="ip or tc missing"; return 1; }
  ns=chunkup-speed-$$
  ip netns add "$ns" 2>/dev/null || { ns=; link_skip="ip netns add refused"; return 1; }
  ip -n "$ns" link set lo up || { link_skip="no loopback in the namespace"; return 1; }
  # Every byte between the two ends crosses the namespace's own loopback
  # once, so this one qdisc shapes the link in both directions.
  ip netns exec "$ns" tc qdisc add dev lo root tbf rate "$link_rate" burst 256kb latency 50ms 2>/dev/null ||
    { link_skip="tc tbf refused"; return 1; }
  link_root=$(mktemp -d "$link_data/chunkup-speed-link.XXXXXX")
  remove_on_exit "$link_root"
}
declare -a l_up l_put
if link_setup; then
  for ((i = 1; i <= runs; i++)); do
    start_service "$link_root" ip netns exec "$ns"
    run_in=(ip netns exec "$ns")
    if ((i % 2)); then
      upload "$uploader" "$link_file" 200 && u=$up_seconds
      b=$(seconds_of sink_put "$link_file") || exit 1
    else
      b=$(seconds_of sink_put "$link_file") || exit 1
      upload "$uploader" "$link_file" 200 && u=$up_seconds
    fi
    stop_service
    run_in=()
    l_up+=("$u") l_put+=("$b")
    printf 'link run %d: upload %.3fs  curl -T %.3fs\n' "$i" "$u" "$b" >&2
  done
  link_teardown
else
  link_teardown
  echo "shaped link skipped: $link_skip" >&2
fi

# --- the service's own ingest benchmark: figure 3 ----------------------------
ingest_from=
if [[ $ingest_script != none && -x $ingest_script ]]; then
  echo "running $ingest_script" >&2
  if ingest_out=$(CHUNKUP_BENCH_SERVICE=$service CHUNKUP_BENCH_DATA= "$ingest_script" "$build" "$runs" "$size_mib"); then
    i_dd=$(awk '/^dd bs=4M conv=fsync / {print $4; exit}' <<<"$ingest_out")
    i_put=$(awk '/^one PUT to \/_sink / {print $5; exit}' <<<"$ingest_out")
    [[ $i_dd =~ ^[0-9.]+$ && $i_put =~ ^[0-9.]+$ ]] && ingest_from=${ingest_script##*/}
  fi
  [[ -n $ingest_from ]] || echo "could not read figure 3 from $ingest_script: measured here" >&2
fi

# --- the figures ---------------------------------------------------------------
row() {  # figure what measured peer ratio target result
  printf '%-2s %-40s %-20s %-28s %-7s %-16s %s\n' "$@"
}
echo
echo "file: $size_mib MiB, $runs runs, medians; $(nproc) cores; disk data under ${TMPDIR:-/tmp} ($(fs_type "$work"))"
echo "load at start: $load_start"
echo "load at end:   $(uptime)"
echo "connections counted by: $count_mode$([[ $count_mode == strace ]] && echo " (one extra fresh and held upload)")"
row "#" "figure" "measured" "peer" "ratio" "target" "result"

# 1
if [[ $count_mode == service ]]; then
  cf=$(median "${d_conn[@]}" "${s_conn[@]}") ch=$(median "${d_hconn[@]}") hosts=1
else
  cf=${tr_fresh[0]} ch=${tr_held[0]} hosts=${tr_fresh[1]}
  ((tr_held[1] > hosts)) && hosts=${tr_held[1]}
fi
worst=$cf
awk -v a="$ch" -v b="$cf" 'BEGIN {exit !(a > b)}' && worst=$ch
row 1 "TCP connections per upload (fresh/held)" "$cf / $ch" "$hosts host(s)" "$(ratio "$worst" "$hosts")" "<= 1 per host" \
  "$(verdict "$(ratio "$worst" "$hosts")" 1)"
if [[ -n $baseline_uploader ]]; then
  if [[ $count_mode == service ]]; then bc1=$(median "${b_conn[@]}"); else bc1=${tr_base[0]}; fi
  row 1 "  baseline build, fresh upload" "$bc1" "" "" "(before)" ""
fi

# 2
for where in disk shm; do
  if [[ $where == disk ]]; then
    mu=$(median "${d_up[@]}") md=$(median "${d_dgst[@]}") mp=$(median "${d_put[@]}") label="service data on disk"
  else
    mu=$(median "${s_up[@]}") md=$(median "${s_dgst[@]}") mp=$(median "${s_put[@]}") label="service data on /dev/shm"
  fi
  peer=$(sum "$md" "$mp")
  r=$(ratio "$mu" "$peer")
  row 2 "fresh upload, $label" "$mu s" "$peer s ($md + $mp)" "$r" "<= 1.10" "$(verdict "$r" 1.10)"
done
if [[ -n $baseline_uploader ]]; then
  mb=$(median "${b_up[@]}") peer=$(sum "$(median "${d_dgst[@]}")" "$(median "${d_put[@]}")")
  row 2 "  baseline build, data on disk" "$mb s" "$peer s" "$(ratio "$mb" "$peer")" "(before)" ""
fi

# 3
mp=$(median "${d_put[@]}") mdd=$(median "${d_dd[@]}")
if [[ -n $ingest_from ]]; then
  r=$(ratio "$i_put" "$i_dd")
  row 3 "ingest of one PUT vs dd fsync ($ingest_from)" "$i_put s" "$i_dd s" "$r" "<= 1.20" "$(verdict "$r" 1.20)"
  row 3 "  same, measured in the disk runs here" "$mp s" "$mdd s" "$(ratio "$mp" "$mdd")" "" ""
else
  r=$(ratio "$mp" "$mdd")
  row 3 "ingest of one PUT to /_sink vs dd fsync" "$mp s" "$mdd s" "$r" "<= 1.20" "$(verdict "$r" 1.20)"
fi

# 4
if [[ -z $link_skip ]]; then
  mu=$(median "${l_up[@]}") mp=$(median "${l_put[@]}")
  r=$(ratio "$mu" "$mp")
  row 4 "$link_mib MiB over tbf $link_rate, vs curl -T" "$mu s" "$mp s" "$r" "<= 1.05" "$(verdict "$r" 1.05)"
else
  row 4 "$link_mib MiB over tbf $link_rate, vs curl -T" "-" "-" "-" "<= 1.05" "SKIP ($link_skip)"
fi

# 5
mh=$(median "${d_held[@]}") md=$(median "${d_dgst[@]}")
r=$(ratio "$mh" "$md")
row 5 "held re-upload (409) vs openssl dgst" "$mh s" "$md s" "$r" "<= 0.60" "$(verdict "$r" 0.60)"

# 6
rf=$(median "${d_rss[@]}" "${s_rss[@]}") rh=$(median "${d_hrss[@]}")
rw=$rf
((rh > rw)) && rw=$rh
r=$(ratio "$rw" 16384)
row 6 "peak RSS over idle (fresh/held)" "+$rf / +$rh KiB" "+16384 KiB" "$r" "<= 1.00" "$(verdict "$r" 1.00)"
gib=$(awk -v m="$size_mib" 'BEGIN {print m / 1024}')
cpu=$(awk -v c="$(median "${d_cpu[@]}")" -v g="$gib" 'BEGIN {printf "%.3f", c / g}')
if [[ -n $baseline_uploader ]]; then
  bcpu=$(awk -v c="$(median "${b_cpu[@]}")" -v g="$gib" 'BEGIN {printf "%.3f", c / g}')
  r=$(ratio "$cpu" "$bcpu")
  row 6 "CPU user+sys per GiB, fresh upload" "$cpu s" "$bcpu s (baseline)" "$r" "<= 1.00" "$(verdict "$r" 1.00)"
else
  row 6 "CPU user+sys per GiB, fresh upload" "$cpu s" "-" "-" "<= baseline" "INFO (no CHUNKUP_BENCH_BASELINE_BUILD)"
fi
echo "took $(($(date +%s) - started)) s"

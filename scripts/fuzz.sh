#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, AddressSanitizer + UndefinedBehaviorSanitizer)
# in a build directory of their own and runs each for a bounded time, starting
# from its seed corpus in fuzz/corpus/<target>/. Exits non-zero when any target
# crashes, leaks, times out on one input or breaks one of its checks; the input
# that did it is kept under <build dir>/fuzz-work/<target>/ and its log printed.
# fuzz/dict/<target>.dict, where present, gives the target the tokens of its input.
#   scripts/fuzz.sh [SECONDS] [TARGET ...]
#     SECONDS   time per target (default 60)
#     TARGET    corpus names, e.g. prepare_reply (default: every fuzz/corpus/*)
#   BUILD_DIR   build directory (default: build-fuzz)
# New inputs found on the way stay in the build directory; the seed corpora in
# the repository are not touched.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-60}"
shift || true

bash scripts/install-deps.sh
# clang and its runtime libraries (libFuzzer and the sanitizers).
bash scripts/install-deps.sh clang libclang-rt-dev

build="${BUILD_DIR:-build-fuzz}"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DCHUNKUP_FUZZ=ON -DCHUNKUP_SANITIZE=address,undefined -DCHUNKUP_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target fuzzers

if [ $# -gt 0 ]; then
  targets=("$@")
else
  targets=()
  for dir in fuzz/corpus/*/; do targets+=("$(basename "$dir")"); done
fi

export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
failed=()
for target in "${targets[@]}"; do
  binary="$build/fuzz/${target}_fuzzer"
  work="$build/fuzz-work/$target"
  mkdir -p "$work/corpus"
  rm -f "$work"/crash-* "$work"/leak-* "$work"/timeout-* "$work"/oom-* "$work"/slow-unit-*
  dict=()
  if [ -f "fuzz/dict/$target.dict" ]; then dict=(-dict="fuzz/dict/$target.dict"); fi
  echo "== fuzzing $target for ${seconds}s"
  # -timeout: one input may take at most 10 s; -rss_limit_mb bounds memory.
  if "$binary" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=16384 \
      -print_final_stats=1 "${dict[@]}" -artifact_prefix="$work/" "$work/corpus" "fuzz/corpus/$target" >"$work/log" 2>&1; then
    grep -E '^stat::number_of_executed_units|^Done' "$work/log" | tr '\n' ' '
    echo
  else
    echo "!! $target failed; reproduce with: $binary $(ls "$work"/crash-* "$work"/leak-* "$work"/timeout-* "$work"/oom-* 2>/dev/null | head -n 1)"
    tail -n 60 "$work/log"
    failed+=("$target")
  fi
done

if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzzing failed: ${failed[*]}" >&2
  exit 1
fi
echo "fuzzing: ${#targets[@]} targets ran ${seconds}s each without a finding"

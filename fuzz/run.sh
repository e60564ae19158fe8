#!/usr/bin/env bash
# Builds the fuzz targets with clang (libFuzzer, AddressSanitizer,
# UndefinedBehaviorSanitizer), replays every seed and regression input, then
# fuzzes for SECONDS in all: a third for parse_fuzzer, the rest for
# board_fuzzer.
#
#   fuzz/run.sh [SECONDS]        default $FUZZ_SECONDS or 60
#
# New corpus entries go to build-fuzz/corpus/<target>; fuzz/corpus stays as
# it is. An input that fails a check or trips a sanitizer is written to
# build-fuzz/artifacts/<target>/: keep it under fuzz/regressions/<target>/
# (the robustness tests replay that directory) and fix the fault.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
seconds=${1:-${FUZZ_SECONDS:-60}}
build=${FUZZ_BUILD:-$root/build-fuzz}

if ! command -v clang++ >/dev/null; then
  echo "fuzz: clang++ is missing; run tools/install-deps --fuzz" >&2
  exit 1
fi
cmake -S fuzz -B "$build" -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build "$build" -j "${JOBS:-2}"

export ASAN_OPTIONS=${ASAN_OPTIONS:-quarantine_size_mb=16}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1}

parse_seconds=$((seconds / 3 > 0 ? seconds / 3 : 1))
board_seconds=$((seconds - parse_seconds > 0 ? seconds - parse_seconds : 1))
status=0
for target in parse board; do
  fuzzer="$build/${target}_fuzzer"
  corpus="$build/corpus/$target"
  artifacts="$build/artifacts/$target"
  mkdir -p "$corpus" "$artifacts"
  sources=("$root/fuzz/corpus/$target")
  [ -d "$root/fuzz/regressions/$target" ] && sources+=("$root/fuzz/regressions/$target")

  echo "== $target: replaying the seeds and regression inputs"
  inputs=()
  for dir in "${sources[@]}"; do
    for f in "$dir"/*; do [ -f "$f" ] && inputs+=("$f"); done
  done
  if ! "$fuzzer" "${inputs[@]}" >"$build/$target-replay.log" 2>&1; then
    tail -n 40 "$build/$target-replay.log" >&2
    echo "fuzz: a seed or regression input of $target fails (log: $build/$target-replay.log)" >&2
    status=1
    continue
  fi

  t=$parse_seconds
  [ "$target" = board ] && t=$board_seconds
  echo "== $target: fuzzing for $t s"
  # Paths are absolute: the board target works in a scratch directory of its own.
  if ! "$fuzzer" -max_total_time="$t" -timeout=10 -max_len=17000 -print_final_stats=1 \
      -dict="$root/fuzz/dict/requests.dict" -artifact_prefix="$artifacts/" \
      "$corpus" "${sources[@]}" >"$build/$target-fuzz.log" 2>&1; then
    tail -n 60 "$build/$target-fuzz.log" >&2
    echo "fuzz: $target found a fault; the input is in $artifacts/" >&2
    echo "      keep it under fuzz/regressions/$target/ and fix the fault" >&2
    status=1
    continue
  fi
  grep -E '^(Done|stat::peak_rss_mb)' "$build/$target-fuzz.log" || true
  grep -oE 'cov: [0-9]+ ft: [0-9]+ corp: [^ ]+' "$build/$target-fuzz.log" | tail -n 1 || true
done
exit $status

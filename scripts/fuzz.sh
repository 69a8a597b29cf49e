#!/usr/bin/env bash
# Builds the libFuzzer targets, runs each once over every input that crashed it before
# (tests/fuzz/regressions/<target>/), then for SECONDS (default 60) from the committed
# seed corpus plus what earlier runs found. New crash inputs go to build-fuzz/artifacts/.
# Exits non-zero when any run crashes. QUARVEL_FUZZ_BUILD_DIR and QUARVEL_FUZZ_JOBS
# override the build folder and the number of compile jobs.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
build=$(realpath -m "${QUARVEL_FUZZ_BUILD_DIR:-build-fuzz}")
jobs=${QUARVEL_FUZZ_JOBS:-$(nproc)}
targets=(text_readers extract)

scripts/install-deps.sh
CC=clang CXX=clang++ cmake -S . -B "$build" -DQUARVEL_FUZZ=ON -DQUARVEL_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j"$jobs" --target "${targets[@]/#/fuzz_}"

# The targets change their working directory, so every path they are given is absolute.
# The extraction's scratch folders go below the build, where a crash leaves its one.
rm -rf "$build/tmp"
mkdir -p "$build/artifacts" "$build/logs" "$build/tmp"
export TMPDIR=$build/tmp
export UBSAN_OPTIONS=print_stacktrace=1

run() {  # target, log name, libFuzzer arguments...
  local target=$1 log=$build/logs/$2.log
  shift 2
  if "$build/bin/fuzz_$target" -timeout=10 -rss_limit_mb=2048 -artifact_prefix="$build/artifacts/$target-" "$@" \
    >"$log" 2>&1; then
    grep -E '^#[0-9]+[[:space:]]+DONE|^stat::average_exec_per_sec' "$log" | sed 's/^/  /' || true
    return 0
  fi
  sed -n '/Assertion failed\|ERROR:\|runtime error/,$p' "$log" | head -n 40
  echo "!! fuzz_$target crashed; the whole log is $log"
  return 1
}

failed=0
for target in "${targets[@]}"; do
  for input in "$PWD/tests/fuzz/regressions/$target"/*; do
    [ -f "$input" ] || continue
    echo "-- fuzz_$target on ${input#"$PWD/"}"
    run "$target" "$target-$(basename "$input")" "$input" || failed=1
  done

  echo "-- fuzz_$target for $seconds s"
  corpus=$build/corpus/$target
  mkdir -p "$corpus"
  cp "tests/fuzz/corpus/$target"/* "$corpus"/
  run "$target" "$target" -max_total_time="$seconds" -print_final_stats=1 "$corpus" || failed=1
done
exit $failed

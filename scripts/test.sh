#!/usr/bin/env bash
# Builds and runs every test: the release build with its end-to-end run under Xvfb,
# then the whole suite again under AddressSanitizer with UBSan, and under ThreadSanitizer,
# the Windows build with its tests under Wine, and last the fuzzers for a bounded time.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
jobs=$(nproc)

run_suite() {  # build-dir cmake-options...
  local dir=$1
  shift
  cmake -S . -B "$dir" "$@" >/dev/null
  cmake --build "$dir" -j"$jobs"
  (cd "$dir" && ctest -j"$jobs" --output-on-failure)
}

echo "== release build, unit, integration and end-to-end tests"
run_suite build -DCMAKE_BUILD_TYPE=Release
echo "== AddressSanitizer + UndefinedBehaviorSanitizer"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  run_suite build-asan -DCMAKE_BUILD_TYPE=Debug -DQUARVEL_SANITIZE=address,undefined
echo "== ThreadSanitizer"
TSAN_OPTIONS=halt_on_error=1 run_suite build-tsan -DCMAKE_BUILD_TYPE=Debug -DQUARVEL_SANITIZE=thread
echo "== Windows build (mingw-w64) with the studio guide's build settings, tests under Wine"
tests/windows/guide_settings.sh
echo "== fuzzing"
scripts/fuzz.sh 45
echo "== all tests passed"

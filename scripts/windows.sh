#!/usr/bin/env bash
# The Windows build: cross-compiles the launcher with mingw-w64, gathers it with its
# DLLs and assets into build-windows/quarvel-launcher-windows, and runs its tests under
# Wine (the platform layer's tests and one update in a real window).
#
#   scripts/windows.sh [--no-tests]
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
build=${QUARVEL_WINDOWS_BUILD:-$repo/build-windows}
"$repo/scripts/install-deps.sh"
deps=$("$repo/scripts/windows-deps.sh")

cmake -S "$repo" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/mingw-w64-x86_64.cmake" -DQUARVEL_WINDOWS_DEPS="$deps" >/dev/null
cmake --build "$build"
cmake --install "$build" --prefix "$build/quarvel-launcher-windows" >/dev/null
echo "The launcher's folder: $build/quarvel-launcher-windows"
[ "${1:-}" = "--no-tests" ] || ctest --test-dir "$build" --output-on-failure

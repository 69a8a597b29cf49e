#!/usr/bin/env bash
# The Windows build: cross-compiles the launcher with mingw-w64, gathers it with its
# DLLs and assets into build-windows/quarvel-launcher-windows, packs that folder into the
# setup program build-windows/quarvel-launcher-setup.exe and a portable zip (signed when
# QUARVEL_CODESIGN_CERT and QUARVEL_CODESIGN_KEY name a certificate and its key; see
# packaging/windows/sign.sh), and runs its tests under Wine (the platform layer's tests,
# and the setup program's install, an update in a real window and the uninstall).
#
#   scripts/windows.sh [--server URL] [--keys KEYS] [--launcher-version VERSION] [--no-tests]
# The build settings are those of the Linux build (QUARVEL_SERVER_URL, QUARVEL_PUBLIC_KEY,
# QUARVEL_LAUNCHER_VERSION); one given here stays in the build folder's cache for later runs.
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
build=${QUARVEL_WINDOWS_BUILD:-$repo/build-windows}
settings=() tests=1
while (($#)); do
  case $1 in
    --server) settings+=("-DQUARVEL_SERVER_URL=$2") && shift 2 ;;
    --keys) settings+=("-DQUARVEL_PUBLIC_KEY=$2") && shift 2 ;;
    --launcher-version) settings+=("-DQUARVEL_LAUNCHER_VERSION=$2") && shift 2 ;;
    --no-tests) tests=0 && shift ;;
    *) echo "usage: scripts/windows.sh [--server URL] [--keys KEYS] [--launcher-version VERSION] [--no-tests]" >&2 && exit 2 ;;
  esac
done
"$repo/scripts/install-deps.sh"
deps=$("$repo/scripts/windows-deps.sh")

cmake -S "$repo" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/mingw-w64-x86_64.cmake" -DQUARVEL_WINDOWS_DEPS="$deps" "${settings[@]}" >/dev/null
cmake --build "$build"
"$repo/packaging/windows/package.sh" "$build" "$build"
echo "The launcher's folder: $build/quarvel-launcher-windows"
echo "The setup program: $build/quarvel-launcher-setup.exe"
echo "The portable zip: $build/quarvel-launcher-$(sed -n 's/^QUARVEL_LAUNCHER_VERSION:STRING=//p' "$build/CMakeCache.txt")-win64.zip"
((tests == 0)) || ctest --test-dir "$build" --output-on-failure

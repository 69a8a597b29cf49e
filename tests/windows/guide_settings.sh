#!/usr/bin/env bash
# The studio guide's Windows build settings, run as written with the Wine run's server and the test key; the
# Windows tests then run on that build, and the build folder gets back the settings it had (or the defaults).
#   tests/windows/guide_settings.sh
set -euo pipefail
repo=$(cd "$(dirname "$0")/../.." && pwd)
# shellcheck source=../e2e/guide.sh
source "$repo/tests/e2e/guide.sh"
build=${QUARVEL_WINDOWS_BUILD:-$repo/build-windows}

setting() { sed -n "s/^$1:STRING=//p" "$build/CMakeCache.txt" 2>/dev/null || true; }
before=(-DQUARVEL_SERVER_URL="$(setting QUARVEL_SERVER_URL)" -DQUARVEL_PUBLIC_KEY="$(setting QUARVEL_PUBLIC_KEY)"
  -DQUARVEL_LAUNCHER_VERSION="$(setting QUARVEL_LAUNCHER_VERSION)")
[[ ${before[0]} != *= ]] || before=(-DQUARVEL_SERVER_URL=127.0.0.1:8470/ -DQUARVEL_PUBLIC_KEY= -DQUARVEL_LAUNCHER_VERSION="$(
  sed -n 's/^project(QuarvelLauncher VERSION \([0-9.]*\).*/\1/p' "$repo/CMakeLists.txt")")
[[ ! -e $repo/carried ]] || { echo "$repo/carried is in the way" >&2; exit 1; }
work=$(mktemp -d /tmp/quarvel-windows-settings.XXXXXX)
# The settings go back into the cache, so the next build uses them; what this build packed with the test key goes.
restore() {
  rm -rf "$work" "$repo/carried" "$build/quarvel-launcher-windows" "$build/quarvel-launcher-setup.exe" \
    "$build"/quarvel-launcher-*-win64.zip && cmake -S "$repo" -B "$build" "${before[@]}" >/dev/null
}
trap restore EXIT

mkdir "$work/keys" && cp "$repo/tests/keys/test.pub" "$work/keys/quarvel.pub"
# The first address is down while the Wine run serves the second.
export KEYS=$work/keys URL=http://127.0.0.1:8479/,http://127.0.0.1:8470/ LAUNCHER_VERSION=0.2.0
section "Windows build settings" || { echo "the guide has no Windows build settings" >&2; exit 1; }
(cd "$repo" && bash -euo pipefail -c "${STEPS[0]}") | tee "$work/shown"
expected=$(printf '%s\n' "$URL" "$(sed -n 2p "$KEYS/quarvel.pub")" "quarvel launcher $LAUNCHER_VERSION")
[[ $(tail -n 3 "$work/shown") == "$expected" ]] || { echo "the Windows launcher's files do not name its settings" >&2; exit 1; }
ctest --test-dir "$build" --output-on-failure

#!/usr/bin/env bash
# The studio guide's Windows build settings, run as written: scripts/windows.sh builds the launcher with the
# address of the Wine run's server and the test key, the folder it leaves names both, and the Windows tests then
# run on that build (the Wine run installs its setup program and updates to a build signed with that key).
#   tests/windows/guide_settings.sh
set -euo pipefail
repo=$(cd "$(dirname "$0")/../.." && pwd)
# shellcheck source=../e2e/guide.sh
source "$repo/tests/e2e/guide.sh"

work=$(mktemp -d /tmp/quarvel-windows-settings.XXXXXX)
trap 'rm -rf "$work" "$repo/carried"' EXIT
mkdir "$work/keys" && cp "$repo/tests/keys/test.pub" "$work/keys/quarvel.pub"
export KEYS=$work/keys URL=http://127.0.0.1:8470/
section "Windows build settings" || { echo "the guide has no Windows build settings" >&2; exit 1; }
[[ ! -e $repo/carried ]] || { echo "$repo/carried is in the way" >&2; exit 1; }
(cd "$repo" && bash -euo pipefail -c "${STEPS[0]}") | tee "$work/shown"
expected=$(printf '%s\n' "$URL" "$(sed -n 2p "$KEYS/quarvel.pub")" "quarvel launcher 0.2.0")
[[ $(tail -n 3 "$work/shown") == "$expected" ]] || { echo "the Windows launcher's files do not name its settings" >&2; exit 1; }
ctest --test-dir "$repo/build-windows" --output-on-failure

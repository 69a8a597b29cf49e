#!/usr/bin/env bash
# The launcher in an X window fed by nginx and driven by xdotool: it installs a build, enables the button,
# starts the game on a click and ends on Q, as quickly while the version file is stalled in transfer,
# leaving no temporary file.
#   tests/e2e/launcher_e2e.sh BIN_DIR [SCREENSHOT_DIR]
set -euo pipefail
# shellcheck source=lib.sh
source "$(dirname "$0")/lib.sh"

readonly LINE='1.0 20261205'
game_started() {
  file_holds "$TMP/marker" "$(cd "$1/game/details" && pwd -P)" &&
    [[ $(grep -cFx 'cd game/details && "./Quarvel.exe"' "$TMP/$2.out") == 1 ]]
}

e2e_begin e2e "$1" quarvel-launcher-e2e quarvel-publish Xvfb xdotool xprop import convert nginx
shot=${2:-$TMP}/ready.png && mkdir -p -- "${shot%/*}"
make_build "$TMP/build"
publish "$TMP/build" "$LINE" "$TMP/server"
# While the flag file is there the version file trickles out at 50 bytes a second, headers included.
# shellcheck disable=SC2016 # nginx variables
start_nginx "$TMP/server" 'location = /latest_version.txt { if (-f $document_root/slow) { set $limit_rate 50; } }'
w=$TMP/player/work && new_workdir "$w"

open_window "$w" first
check "first: the window is 640x480" eval 'xdo 5 getwindowgeometry "$WID" | grep -q "Geometry: 640x480"'
check "first: the button becomes enabled" wait_until 30 shows_enabled "$shot"
click_button
check "first: a click starts the game in game/details" wait_until 5 game_started "$w" first
quit first

touch "$TMP/server/slow"
open_window "$w" stalled
check "stalled: the version file is in transfer" wait_until 10 test -e "$w/temp.txt"
quit stalled
check "stalled: no temporary file, the installed version kept, nothing beside the working folder" \
  test ! -e "$w/temp.txt" -a "$(cat "$w/latest_version.txt")" = "$LINE" -a "$(ls -A "$w/..")" = work
rm "$TMP/server/slow"
check "nothing was written to HOME or TMPDIR" test -z "$(find "$TMP/home" "$TMP/tmpdir" -mindepth 1)"
e2e_end

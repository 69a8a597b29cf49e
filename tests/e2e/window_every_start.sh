#!/usr/bin/env bash
# 200 starts in a row, the launcher's asset files copied into a fresh working folder just before each, as an
# installer's "run now" does: every start shows its window within 5 s. A start with a build installed and no
# server: the 640x480 window enables its button, a click starts the game in game/details, Q ends it, and nothing is
# written to HOME or TMPDIR. A start without any display ends with a message and status 1.
#   tests/e2e/window_every_start.sh BIN_DIR [STARTS [SCREENSHOT_DIR]]
set -euo pipefail
# shellcheck source=lib.sh
source "$(dirname "$0")/lib.sh"

e2e_begin starts "$1" quarvel-launcher-e2e Xvfb xdotool xprop import convert
starts=${2:-200} shots=${3:-$TMP} shown=0 missing="" && mkdir -p -- "$shots"
for ((n = 1; n <= starts; n++)); do
  rm -rf -- "$TMP/start" && new_workdir "$TMP/start/work"
  start_launcher "$TMP/start/work" start
  if wait_until 5 find_window; then ((++shown)); else missing+=" $n ($(tail -c 300 "$TMP/start.err"))"; fi
  stop_pid "$LAUNCHER_PID" && LAUNCHER_PID=""
done
check "every one of $starts starts showed its window within 5 s ($shown did;${missing:- none missing})" test "$shown" = "$starts"

w=$TMP/played/work && new_workdir "$w" && make_build "$w/game" && printf '1.0 20261205' >"$w/latest_version.txt"
game_started() {
  file_holds "$TMP/marker" "$(cd "$w/game/details" && pwd -P)" && (($(grep -cFx 'cd game/details && "./Quarvel.exe"' "$TMP/played.out") == 1))
}
open_window "$w" played
check "played: the window is 640x480" eval 'xdo 5 getwindowgeometry "$WID" | grep -q "Geometry: 640x480"'
check "played: the button becomes enabled" wait_until 30 shows_enabled "$shots/ready.png"
click_button
check "played: a click starts the game in game/details" wait_until 5 game_started
quit played
check "nothing was written to HOME or TMPDIR" test -z "$(find "$TMP/home" "$TMP/tmpdir" -mindepth 1)"

w=$TMP/nodisplay/work && new_workdir "$w"
status=0 && (cd "$w" && env -u DISPLAY -u WAYLAND_DISPLAY HOME="$TMP/home" timeout 60 "$LAUNCHER") >"$TMP/nodisplay.out" \
  2>"$TMP/nodisplay.err" || status=$?
message='Quarvel Launcher cannot open its window: no display could be opened'
check "without a display: status 1, the message on standard error and in the log file (status $status)" \
  eval '((status == 1)) && grep -qF "$message" "$TMP/nodisplay.err" && grep -qF "$message" "$w/quarvel-launcher.log" && test ! -e "$w/game"'
e2e_end

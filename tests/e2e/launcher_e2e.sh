#!/usr/bin/env bash
# What only a real window and a real server show: the launcher in an X window (Xvfb),
# fed by nginx and driven by xdotool, installs a build on its first run, asks for no
# package on the second, stays playable without the server, starts the game on a click
# and ends with status 0 on Q. quarvel-publish --check passes on the same server until
# the package is gone. Screenshots of the window go to SCREENSHOT_DIR.
#   tests/e2e/launcher_e2e.sh BIN_DIR [SCREENSHOT_DIR]
set -euo pipefail
# shellcheck source=lib.sh
source "$(dirname "$0")/lib.sh"

readonly LINE='1.0 20261205'
SHOT_DIR=""

# shows_enabled FILE: a screenshot of the window in which the button has the enabled look.
shows_enabled() {
  timeout 10 import -window "$WID" "$TMP/$1" 2>/dev/null || return 1
  [[ -z $SHOT_DIR ]] || cp -- "$TMP/$1" "$SHOT_DIR/$1"
  button_is_enabled "$TMP/$1"
}
# The game ran in game/details, and the launcher printed the command once.
game_started() { file_holds "$TMP/marker" "$(cd "$1/game/details" && pwd -P)" && (($(launch_lines "$TMP/$2.out") == 1)); }
full_size() { xdo 5 getwindowgeometry "$WID" | grep -q 'Geometry: 640x480'; }
packages_asked() { grep -c '\.zip HTTP' "$TMP/nginx/access.log" || true; }
# check_reports STATUS FINDING: quarvel-publish --check on the server exits with STATUS
# and reports FINDING.
check_reports() {
  local status=0
  timeout 60 "$BIN/quarvel-publish" --check "127.0.0.1:$PORT/" >"$TMP/report" 2>&1 || status=$?
  sed 's/^/#   /' "$TMP/report"
  ((status == $1)) && grep -qF -- "$2" "$TMP/report"
}

# play NAME DIR SCREENSHOT: the launcher in DIR until its button is enabled, a click on it, then Q.
play() {
  local name=$1 w=$2
  start_launcher "$w" "$name"
  open_window "$name" || return 0
  check "$name: the window is 640x480" full_size
  check "$name: the button becomes enabled" wait_until 20 shows_enabled "$3"
  sleep 0.2 && shows_enabled "$3" || true  # the shot again, once the last log line is drawn too
  click_button
  check "$name: a click starts the game in game/details" wait_until 5 game_started "$w" "$name"
  quit "$name" Q
}

main() {
  (($# == 1 || $# == 2)) || { echo "usage: $0 BIN_DIR [SCREENSHOT_DIR]" >&2; exit 2; }
  if (($# == 2)); then mkdir -p -- "$2" && SHOT_DIR=$(cd -- "$2" && pwd); fi
  e2e_begin e2e "$1" quarvel-launcher quarvel-publish Xvfb xdotool xprop import convert nginx curl
  need_port
  start_xvfb
  make_build "$TMP/build"
  publish "$TMP/build" "$LINE" "$TMP/server"
  start_nginx "$TMP/server"
  local w=$TMP/player
  new_workdir "$w"

  play first-install "$w" ready.png
  check "first-install: latest_version.txt names $LINE and the program is executable" \
    test "$(cat "$w/latest_version.txt")" = "$LINE" -a -x "$w/game/details/Quarvel.exe"
  check "first-install: the package was asked for once, with blanks as %20" \
    grep -qF '"GET /quarvel%201.0%2020261205.zip HTTP/1.1" 200' "$TMP/nginx/access.log"
  play second-run "$w" second-run.png
  check "second-run: no package is asked for again" test "$(packages_asked)" = 1
  check "--check passes on the served folder" check_reports 0 "ok: details/Quarvel.exe is present and executable"
  rm -- "$TMP/server/quarvel $LINE.zip"
  check "--check names the missing package by nginx's answer" check_reports 1 "problem: 'quarvel $LINE.zip' answers 404"
  stop_pid "$NGINX_PID" && wait_until 5 not port_open
  play offline "$w" offline.png
  e2e_end
}

main "$@"

#!/usr/bin/env bash
# The Windows launcher under Wine, in a real X window (Xvfb), against nginx on
# 127.0.0.1: it installs a published build, starts the game on a click through the
# command interpreter, and ends on Q.
#   tests/windows/wine_e2e.sh WINE BIN_DIR FAKE_GAME [SCREENSHOT]
# BIN_DIR holds quarvel-launcher.exe, its DLLs and assets; FAKE_GAME is a Windows program
# that records the folder it was started in.
set -euo pipefail
# shellcheck source=../e2e/lib.sh
source "$(dirname "$0")/../e2e/lib.sh"

WINE=$1 FAKE_GAME=$3 SCREENSHOT=${4:-}
readonly LINE='1.0 20261205' WINDOWS_COMMAND='cd game\details && "Quarvel.exe"'

# The package as quarvel-publish lays it out; that Linux tool is not part of this build.
publish_build() {
  local root="$TMP/build" site="$TMP/site"
  mkdir -p "$root/Top/details" "$site"
  cp "$FAKE_GAME" "$root/Top/details/Quarvel.exe"
  echo "Quarvel $LINE" >"$root/Top/readme.txt"
  (cd "$root" && zip -q -r "$site/quarvel $LINE.zip" Top)
  printf '%s' "$LINE" >"$site/latest_version.txt"
  start_nginx "$site"
}

# Wine builds its Windows folder on first use; doing it here keeps that out of the
# launcher's own waits.
prepare_wine() {
  export WINEPREFIX=${WINEPREFIX:-$TMP/wineprefix} WINEDEBUG=-all WINEDLLOVERRIDES='mscoree,mshtml='
  [[ -d $WINEPREFIX/drive_c/windows ]] || timeout 240 "$WINE" wineboot -i >"$TMP/wineboot.log" 2>&1 ||
    die "wineboot failed: $(tail -3 "$TMP/wineboot.log")"
}

# The window fills the screen from 0,0, so clicks go to screen positions.
start_wine_launcher() {
  mkdir -p "$TMP/install"
  cp "$BIN"/quarvel-launcher.exe "$BIN"/*.dll "${ASSETS[@]/#/$BIN/}" "$TMP/install/"
  (cd "$TMP/install" && exec "$WINE" quarvel-launcher.exe) >"$TMP/launcher.out" 2>"$TMP/launcher.err" &
  LAUNCHER_PID=$!
  xdo 60 search --sync --name '^Quarvel Launcher$' >/dev/null ||
    die "the launcher window did not appear: $(tail -5 "$TMP/launcher.err")"
}

check_install() {
  check "the build is installed and named in latest_version.txt" \
    wait_until 120 file_holds "$TMP/install/latest_version.txt" "$LINE"
  check "the game's program is unpacked into game\\details" cmp -s "$FAKE_GAME" "$TMP/install/game/details/Quarvel.exe"
  check "the version download temp.txt is gone" not test -e "$TMP/install/temp.txt"
  sleep 0.5
  import -window root "$TMP/ready.png" 2>/dev/null
  [[ -z $SCREENSHOT ]] || cp -- "$TMP/ready.png" "$SCREENSHOT"
  check "the window shows the enabled LAUNCH button" button_is_enabled "$TMP/ready.png"
}

check_launch() {
  xdo 5 mousemove "$BUTTON_X" "$BUTTON_Y" || true
  sleep 0.2
  xdo 5 click 1 || true
  check "a click on LAUNCH starts the game in game\\details" \
    wait_until 30 grep -qis 'game\\details$' "$TMP/install/game/details/started.txt"
  check "the start command is echoed exactly on standard output" \
    grep -qFx -- "$WINDOWS_COMMAND" <(tr -d '\r' <"$TMP/launcher.out")
}

# Wine ignores key events sent to a window directly and wants a click to make its window
# active again after the game ran; under Xvfb it then drops the first key press that
# reaches the window (seen every time here), so click and Q are repeated until the
# process ends. The launcher quits on the first Q it receives.
check_quit() {
  local status=0 attempt
  for attempt in 1 2 3 4 5; do
    xdo 5 mousemove 50 50 click 1 || true
    sleep 0.5
    xdo 5 key q || true
    wait_until 2 not is_running "$LAUNCHER_PID" && break
  done
  if is_running "$LAUNCHER_PID"; then
    not_ok "Q ends the launcher"
    return
  fi
  wait "$LAUNCHER_PID" || status=$?
  LAUNCHER_PID=""
  check "Q ends the launcher with status 0 (status $status, after $attempt presses)" test "$status" -eq 0
}

e2e_begin wine "$2" Xvfb xdotool import convert nginx zip quarvel-launcher.exe
need_port
start_xvfb
prepare_wine
publish_build
start_wine_launcher
check_install
check_launch
check_quit
e2e_end

#!/usr/bin/env bash
# Quitting the launcher at every moment of an update, with Q and with the close request
# a window manager's close button sends (WM_DELETE_WINDOW): in each stage's pause, with
# the version file or the package in transfer, half way through the extraction, once
# the update is done and after the game ran. Each quit must end the process with status
# 0 within 1 s and leave no temporary version file, the old version line unless the
# update finished, and nothing beside the working folder. Clicks on the disabled button
# start nothing; a double click on the enabled one starts the game once per click.
#
#   tests/e2e/quit_matrix.sh BIN_DIR
#
# BIN_DIR holds quarvel-launcher with its six assets, quarvel-close-window and
# quarvel-publish. Needs Xvfb, xdotool, xprop, nginx and curl, and port 8470 free (see
# launcher_e2e.sh for running it in a private network namespace).
set -euo pipefail
# shellcheck source=../../scripts/lib/serve.sh
source "$(dirname "$0")/../../scripts/lib/serve.sh"
# shellcheck source=lib.sh
source "$(dirname "$0")/lib.sh"

readonly PORT=8470 OLD='1.0 20261205' SMALL='1.1 20261206' MANY='1.2 20261207' BIG='1.3 20261208'
readonly GAME_COMMAND='cd game/details && "./Quarvel.exe"'
readonly ASSETS=(quarvel_splash.png launch.png launch_pressed.png launch_disabled.png quarvel_icon_black.png LTYPE.TTF)
readonly BUTTON_X=320 BUTTON_Y=420 QUIT_LIMIT_MS=1000

BIN="" TMP="" XVFB_PID="" NGINX_PID="" LAUNCHER_PID="" WID="" T_WINDOW=0 LOG_COUNT=0 CHECKS=0 FAILED=0

xdo() { timeout "$1" xdotool "${@:2}" 2>/dev/null; }

# Each build's game appends the folder it was started in to the marker file; it runs
# for 0.3 s and writes as it ends, so a marker line means that run is over.
setup_server() {
  local build i file
  for build in old small many big; do
    mkdir -p "$TMP/build-$build/details" "$TMP/build-$build/data"
    printf '#!/bin/sh\nsleep 0.3\npwd -P >> '\''%s'\''\n' "$TMP/marker" >"$TMP/build-$build/details/Quarvel.exe"
    chmod 755 "$TMP/build-$build/details/Quarvel.exe"
    printf 'level of the %s build\n' "$build" >"$TMP/build-$build/data/level.txt"
  done
  # 2000 entries at 5 ms each keep the extraction busy for over ten seconds.
  mkdir "$TMP/build-many/data/many"
  for ((i = 1; i <= 2000; i++)); do
    printf -v file '%s/f%04d' "$TMP/build-many/data/many" "$i"
    printf 'entry %d\n' "$i" >"$file"
  done
  # Random bytes do not compress: 4 MiB served at 200 KiB/s download for 20 s.
  head -c 4194304 /dev/urandom >"$TMP/build-big/data/big.bin"
  mkdir -p "$TMP/server"
  for build in old:"$OLD" small:"$SMALL" many:"$MANY" big:"$BIG"; do
    "$BIN/quarvel-publish" "$TMP/build-${build%%:*}" "${build#*:}" "$TMP/server" >/dev/null ||
      die "quarvel-publish refused the ${build#*:} build"
  done
  # A flag file makes the version file trickle out at 50 bytes a second, headers
  # included, so its request stays in flight for seconds.
  # shellcheck disable=SC2016 # nginx variables
  write_nginx_conf "$TMP/nginx" "$TMP/server" "$PORT" \
    'location = /latest_version.txt { if (-f $document_root/slow) { set $limit_rate 50; } }
     location ~ "20261208\.zip$" { limit_rate 200k; }'
  start_nginx_on "$TMP/nginx"
  NGINX_PID=$SERVER_PID
  wait_until 10 curl -fsS --noproxy '*' --max-time 1 -o /dev/null "http://127.0.0.1:$PORT/latest_version.txt" ||
    die "nginx did not answer on port $PORT"
}

serve() {
  printf '%s' "$1" >"$TMP/server/latest_version.tmp"
  mv "$TMP/server/latest_version.tmp" "$TMP/server/latest_version.txt"
}
# Answered version requests only: one cut off by a quit logs a shorter body.
version_requests() { grep -cF '"GET /latest_version.txt HTTP/1.1" 200 12 ' "$TMP/nginx/access.log" || true; }

# CASE/work holds the assets and an installed old build; CASE itself holds nothing
# else, so anything the launcher writes beside its working folder shows there.
new_workdir() {
  local w=$TMP/cases/$1/work asset
  rm -rf -- "$TMP/cases/$1"
  mkdir -p "$w"
  for asset in "${ASSETS[@]}"; do cp -- "$BIN/$asset" "$w/"; done
  cp -a "$TMP/build-old" "$w/game"
  printf '%s' "$OLD" >"$w/latest_version.txt"
  echo "$w"
}

start_launcher() {
  local dir=$1 name=$2
  xdo 5 keyup q || true
  : >"$TMP/marker"
  LOG_COUNT=$(version_requests)
  # The private HOME must stay empty; XDG_RUNTIME_DIR is where a desktop session lets
  # libraries keep their runtime files.
  (cd "$dir" && HOME=$TMP/home XDG_RUNTIME_DIR=$TMP/runtime TMPDIR=$TMP/tmpdir exec "$BIN/quarvel-launcher") \
    >"$TMP/$name.out" 2>"$TMP/$name.err" &
  LAUNCHER_PID=$!
  # Polled rather than "search --sync", which looks only twice a second.
  if ! wait_until 10 find_window; then
    not_ok "$name: the launcher window appears"
    stop_pid "$LAUNCHER_PID"
    return 1
  fi
  T_WINDOW=$(now_ms)
}
# The first window SDL shows is destroyed and made again when the renderer is created;
# the icon is set on the one that stays.
find_window() {
  WID=$(xdo 2 search --all --onlyvisible --pid "$LAUNCHER_PID" --name '^Quarvel Launcher$' | head -n 1) || true
  [[ -n $WID ]] && timeout 2 xprop -id "$WID" -len 1 _NET_WM_ICON 2>/dev/null | grep -q =
}

# quit NAME HOW: Q typed through XTEST after focusing the window ("key --window" would
# lose the release when the window closes and leave Q held), or the close request.
quit() {
  local name=$1 how=$2 pid=$LAUNCHER_PID status=0 start elapsed
  [[ $how != Q ]] || xdo 5 windowfocus "$WID" || true
  start=$(now_ms)
  if [[ $how == Q ]]; then xdo 5 key q || true; else timeout 5 "$BIN/quarvel-close-window" "$WID" || true; fi
  while is_running "$pid" && (($(now_ms) - start < 5000)); do sleep 0.005; done
  elapsed=$(($(now_ms) - start))
  ! is_running "$pid" || kill -KILL "$pid"
  wait "$pid" || status=$?
  LAUNCHER_PID=""
  check "$name: ends with status 0 within 1 s (status $status, $elapsed ms)" \
    test "$status" = 0 -a "$elapsed" -le "$QUIT_LIMIT_MS"
}

launch_lines() { grep -cFx -- "$GAME_COMMAND" "$1" || true; }
marker_lines() { grep -c . "$TMP/marker" || true; }
games_run() { (($(marker_lines) >= $1)); }
# SDL drops a press that comes with the focus the pointer's arrival gives the window,
# as the click that focuses it; so the pointer arrives a few frames ahead of the press.
point_at_button() { xdo 5 mousemove --window "$WID" "$BUTTON_X" "$BUTTON_Y" || true; sleep 0.2; }
click_button() { point_at_button; xdo 5 click "$@" 1 || true; }

# What a quit may leave: no temporary version file, the old line unless the update
# was recorded, nothing beside the working folder, and no game started unasked.
leftovers_fine() {
  local w=$1 line=$2 games=$3 name=$4 problems=()
  [[ ! -e $w/temp.txt ]] || problems+=("temp.txt left")
  [[ ! -e $w/latest_version.txt.new ]] || problems+=("latest_version.txt.new left")
  file_holds "$w/latest_version.txt" "$line" || problems+=("latest_version.txt holds '$(cat "$w/latest_version.txt" 2>/dev/null)'")
  [[ "$(ls -A "$w/..")" == work ]] || problems+=("beside the working folder: $(ls -A "$w/.." | tr '\n' ' ')")
  [[ $(launch_lines "$TMP/$name.out") == "$games" && $(marker_lines) == "$games" ]] ||
    problems+=("$(launch_lines "$TMP/$name.out") launch lines, $(marker_lines) games run, expected $games")
  ((${#problems[@]} == 0)) || { echo "# $name: ${problems[*]}"; return 1; }
}

# Each moment has a reach_ function that returns once the launcher is there, and may
# have a landed_ function that tells afterwards whether the quit arrived in time. The
# pauses last 250 ms, so a loaded machine can miss one; that attempt is run again.
# Stage 1 begins with the first frame, some 90 ms after the window is complete, and
# pauses for 250 ms; the next frame starts stage 2 and its pause, some 380 to 630 ms in.
reach_pause1() { sleep_ms $((T_WINDOW + 200 - $(now_ms))); }
landed_pause1() { sleep 0.05; [[ $(version_requests) == "$LOG_COUNT" ]]; }
reach_pause2() { sleep_ms $((T_WINDOW + 505 - $(now_ms))); }
landed_pause2() { landed_pause1; }
# temp.txt is opened just before the request goes out.
reach_fetch2() { wait_until 5 test -e "$1/temp.txt" && sleep 0.15; }
# Once the version file is served the package waits 250 ms before its request.
version_answered() { (($(version_requests) > LOG_COUNT)); }
reach_pause3() { wait_until 5 version_answered; }
landed_pause3() { [[ ! -e "$1/quarvel $SMALL.zip" ]]; }
reach_download3() {
  local package="$1/quarvel $BIG.zip" size
  wait_until 5 test -s "$package" || return 1
  size=$(file_size "$package")
  sleep 0.3
  (($(file_size "$package") > size))
}
# A whole package waits 250 ms before its first entry.
package_whole() { [[ $(file_size "$1/quarvel $MANY.zip") == "$(file_size "$TMP/server/quarvel $MANY.zip")" ]]; }
reach_pause4() { wait_until 5 package_whole "$1"; }
landed_pause4() { [[ ! -e $1/game/data/many ]]; }
reach_extract4() { wait_until 5 test -d "$1/game/data/many" && file_holds "$1/latest_version.txt" "$OLD"; }
landed_extract4() { [[ -d $1/game/data/many && ! -e $1/game/data/many/f2000 ]]; }
reach_ready5() { wait_until 10 file_holds "$1/latest_version.txt" "$SMALL"; }
reach_played() {
  reach_ready5 "$1" || return 1
  click_button
  wait_until 5 games_run 1 && sleep 0.1
}

# quit_at MOMENT HOW SERVED RECORDED GAMES
quit_at() {
  local moment=$1 how=$2 served=$3 recorded=$4 games=$5 name="$1-$2" attempt w
  serve "$served"
  for attempt in 1 2 3; do
    w=$(new_workdir "$name")
    start_launcher "$w" "$name" || return 0
    if ! "reach_$moment" "$w"; then
      echo "# $name: the launcher never reached the moment (attempt $attempt)"
      stop_pid "$LAUNCHER_PID"
      continue
    fi
    quit "$name" "$how"
    if declare -F "landed_$moment" >/dev/null && ! "landed_$moment" "$w"; then
      echo "# $name: the quit arrived after the moment (attempt $attempt)"
      continue
    fi
    check "$name: leaves no temporary files, latest_version.txt names $recorded, nothing outside" \
      leftovers_fine "$w" "$recorded" "$games" "$name"
    return 0
  done
  not_ok "$name: the moment was reached within 3 attempts"
}

# The button is disabled until the update is done: clicks in every stage start nothing.
test_clicks_while_updating() {
  local w name=clicks-while-updating
  serve "$MANY"
  w=$(new_workdir $name)
  start_launcher "$w" $name || return 0
  until [[ -e $w/game/data/many/f0100 ]] || (($(now_ms) - T_WINDOW > 8000)); do
    click_button
  done
  check "$name: the clicks went on into the extraction" test -e "$w/game/data/many/f0100"
  sleep 0.5
  quit $name Q
  check "$name: no game was started and no command line printed" leftovers_fine "$w" "$OLD" 0 $name
}

# A press made while the button is disabled and released once it is enabled is no
# click. Then a double click: the first click's game runs for 0.3 s while the second
# click waits in the queue, to be handled once the launcher gets its frames back.
test_double_click() {
  local w name=double-click
  serve "$SMALL"
  w=$(new_workdir $name)
  start_launcher "$w" $name || return 0
  point_at_button
  xdo 5 mousedown 1 || true
  reach_ready5 "$w" || { not_ok "$name: the update completes"; stop_pid "$LAUNCHER_PID"; return 0; }
  sleep 0.2
  xdo 5 mouseup 1 || true
  sleep 0.5
  check "$name: a press held through the update starts nothing when released" test "$(marker_lines)" = 0
  click_button --repeat 2 --delay 80
  wait_until 5 games_run 2 || true
  sleep 0.5
  check "$name: each of the two clicks started the game once ($(marker_lines) games)" test "$(marker_lines)" = 2
  quit $name close
  check "$name: one command line per game run" leftovers_fine "$w" "$SMALL" 2 $name
}

main() {
  (($# == 1)) || { echo "usage: $0 BIN_DIR" >&2; exit 2; }
  BIN=$(cd -- "$1" && pwd)
  local tool how started
  for tool in quarvel-launcher quarvel-close-window quarvel-publish; do
    [[ -x $BIN/$tool ]] || { echo "no $tool in $BIN" >&2; exit 2; }
  done
  for tool in Xvfb xdotool xprop nginx curl timeout; do
    command -v "$tool" >/dev/null || die "$tool is not installed"
  done
  port_open && die "port $PORT is already in use"
  unset http_proxy https_proxy all_proxy HTTP_PROXY HTTPS_PROXY ALL_PROXY
  TMP=$(mktemp -d /tmp/quarvel-quit.XXXXXX)
  trap cleanup EXIT
  trap 'exit 130' INT TERM
  mkdir -p "$TMP/home" "$TMP/tmpdir" "$TMP/runtime"
  chmod 700 "$TMP/runtime"
  started=$(now_ms)

  start_xvfb
  setup_server

  for how in Q close; do
    quit_at pause1 $how "$SMALL" "$OLD" 0
    quit_at pause2 $how "$SMALL" "$OLD" 0
    touch "$TMP/server/slow"
    quit_at fetch2 $how "$SMALL" "$OLD" 0
    rm -f "$TMP/server/slow"
    quit_at pause3 $how "$SMALL" "$OLD" 0
    quit_at download3 $how "$BIG" "$OLD" 0
    quit_at pause4 $how "$MANY" "$OLD" 0
    quit_at extract4 $how "$MANY" "$OLD" 0
    quit_at ready5 $how "$SMALL" "$SMALL" 0
    quit_at played $how "$SMALL" "$SMALL" 1
  done
  test_clicks_while_updating
  test_double_click
  check "nothing was written to HOME or TMPDIR" test -z "$(find "$TMP/home" "$TMP/tmpdir" -mindepth 1)"

  echo "1..$CHECKS"
  echo "# $((CHECKS - FAILED)) passed, $FAILED failed in $((($(now_ms) - started) / 1000)) s"
  ((FAILED == 0))
}

main "$@"

# shellcheck shell=bash
# Helpers shared by the end-to-end scripts: TAP-style results, waits that cannot hang,
# process handling, the X server, nginx and the launcher in its window. The launcher's
# server is compiled in as 127.0.0.1:8470; where something else holds that port, run
# a script in a private network namespace:
#   unshare -n sh -c 'ip link set lo up && tests/e2e/launcher_e2e.sh build/bin'
# shellcheck source=../../scripts/lib/serve.sh
source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/lib/serve.sh"

PATH=$PATH:/usr/sbin
readonly GAME_COMMAND='cd game/details && "./Quarvel.exe"' BUTTON_X=320 BUTTON_Y=420 QUIT_LIMIT_MS=1000
readonly ASSETS=(quarvel_splash.png launch.png launch_pressed.png launch_disabled.png quarvel_icon_black.png LTYPE.TTF)
PORT=8470 BIN="" TMP="" XVFB_PID="" NGINX_PID="" LAUNCHER_PID="" WID="" T_WINDOW=0 CHECKS=0 FAILED=0 STARTED=0

ok() { CHECKS=$((CHECKS + 1)); echo "ok $CHECKS - $1"; }
not_ok() { CHECKS=$((CHECKS + 1)) FAILED=$((FAILED + 1)); echo "not ok $CHECKS - $1"; }
check() { if "${@:2}"; then ok "$1"; else not_ok "$1"; fi; }
die() { echo "Bail out! $*"; exit 1; }

now_ms() { echo $(($(date +%s%N) / 1000000)); }
sleep_ms() { (($1 <= 0)) || sleep "$(printf '%d.%03d' $(($1 / 1000)) $(($1 % 1000)))"; }
# wait_until SECONDS COMMAND...: polls every 10 ms, so moments a few frames long are caught.
wait_until() {
  local deadline=$(($(now_ms) + $1 * 1000))
  until "${@:2}"; do
    (($(now_ms) < deadline)) || return 1
    sleep 0.01
  done
}
not() { ! "$@"; }
file_holds() { [[ -f $1 && "$(cat -- "$1")" == "$2" ]]; }
file_size() { stat -c %s -- "$1" 2>/dev/null || echo 0; }
port_open() { (exec 3<>"/dev/tcp/127.0.0.1/$PORT") 2>/dev/null; }
# A zombie no longer runs, though kill -0 still reaches it.
is_running() {
  local state=""
  [[ -n $1 ]] && { read -r _ _ state _ <"/proc/$1/stat"; } 2>/dev/null || true
  [[ -n $state && $state != Z ]]
}
stop_pid() {
  is_running "$1" || return 0
  kill -TERM "$1" 2>/dev/null || true
  wait_until 3 not is_running "$1" || kill -KILL "$1" 2>/dev/null || true
  wait "$1" 2>/dev/null || true
}
# The exit trap: stops what the script started and removes its temporary folder.
cleanup() {
  local status=$? pid
  for pid in "$LAUNCHER_PID" "$NGINX_PID" "$XVFB_PID"; do stop_pid "$pid"; done
  [[ -z $TMP ]] || rm -rf -- "$TMP"
  exit "$status"
}

# e2e_begin NAME BIN_DIR TOOL...: the tools must be in BIN_DIR or on the PATH; makes TMP
# with a private HOME, TMPDIR and runtime folder, and sets the traps.
e2e_begin() {
  BIN=$(cd -- "$2" && pwd) || exit 2
  local tool
  for tool in "${@:3}"; do [[ -x $BIN/$tool ]] || command -v "$tool" >/dev/null || die "$tool is missing"; done
  unset http_proxy https_proxy all_proxy HTTP_PROXY HTTPS_PROXY ALL_PROXY  # straight to the local server
  TMP=$(mktemp -d "/tmp/quarvel-$1.XXXXXX")
  trap cleanup EXIT
  trap 'exit 130' INT TERM
  mkdir -p "$TMP/home" "$TMP/tmpdir" "$TMP/runtime"
  chmod 700 "$TMP/runtime"
  STARTED=$(now_ms)
}
need_port() { ! port_open || die "port $PORT is already in use (see tests/e2e/lib.sh)"; }
e2e_end() {
  echo "1..$CHECKS"
  echo "# $((CHECKS - FAILED)) passed, $FAILED failed in $((($(now_ms) - STARTED) / 1000)) s"
  ((FAILED == 0))
}

# A screen the size of the launcher's window, so that it sits at 0,0; sets DISPLAY.
start_xvfb() {
  Xvfb -displayfd 5 -screen 0 640x480x24 -nolisten tcp -noreset 5>"$TMP/display" >"$TMP/xvfb.log" 2>&1 &
  XVFB_PID=$!
  wait_until 10 grep -q '^[0-9][0-9]*$' "$TMP/display" || die "Xvfb did not start"
  DISPLAY=":$(head -n 1 "$TMP/display")"
  export DISPLAY
}

# make_build DIR: a game whose program runs for 0.3 s and then appends the folder it was
# started in to TMP/marker, so a marker line means that run is over.
make_build() {
  mkdir -p "$1/details" "$1/data"
  printf '#!/bin/sh\nsleep 0.3\npwd -P >> '\''%s'\''\n' "$TMP/marker" >"$1/details/Quarvel.exe"
  chmod 755 "$1/details/Quarvel.exe"
}
# publish BUILD LINE SERVER_DIR
publish() { mkdir -p "$3" && "$BIN/quarvel-publish" "$@" >/dev/null || die "quarvel-publish refused build $2"; }

# start_nginx ROOT [DIRECTIVES]: serves ROOT on PORT.
start_nginx() {
  write_nginx_conf "$TMP/nginx" "$1" "$PORT" "${2:-}"
  start_nginx_on "$TMP/nginx"
  NGINX_PID=$SERVER_PID
  wait_until 10 curl -s --noproxy '*' --max-time 1 -o /dev/null "http://127.0.0.1:$PORT/" ||
    die "nginx did not answer on port $PORT: $(cat "$TMP/nginx/error.log")"
}

# new_workdir DIR: a working folder holding the launcher's assets.
new_workdir() {
  local asset
  mkdir -p "$1"
  for asset in "${ASSETS[@]}"; do cp -- "$BIN/$asset" "$1/"; done
}

xdo() { timeout "$1" xdotool "${@:2}" 2>/dev/null; }

# start_launcher DIR NAME: the launcher in DIR, its output in TMP/NAME.out and .err.
start_launcher() {
  xdo 5 keyup q || true  # a key left held from an earlier run would quit the new one
  : >"$TMP/marker"
  (cd "$1" && HOME=$TMP/home XDG_RUNTIME_DIR=$TMP/runtime TMPDIR=$TMP/tmpdir exec "$BIN/quarvel-launcher") \
    >"$TMP/$2.out" 2>"$TMP/$2.err" &
  LAUNCHER_PID=$!
}
# open_window NAME: waits for the window and notes when it was complete: the icon is set
# once the renderer exists (with an OpenGL renderer SDL even makes the window again).
# Polled, as "search --sync" looks only twice a second.
find_window() {
  WID=$(xdo 2 search --all --onlyvisible --pid "$LAUNCHER_PID" --name '^Quarvel Launcher$' | head -n 1) || true
  [[ -n $WID ]] && timeout 2 xprop -id "$WID" -len 1 _NET_WM_ICON 2>/dev/null | grep -q =
}
open_window() {
  # shellcheck disable=SC2034 # the quit matrix times its moments from it
  wait_until 10 find_window && T_WINDOW=$(now_ms) && return 0
  not_ok "$1: the launcher window appears"
  stop_pid "$LAUNCHER_PID"
  return 1
}

# quit NAME HOW: Q typed through XTEST after focusing the window ("key --window" would
# lose the release when the window closes and leave Q held), or the close request a
# window manager's close button sends. The launcher must end with status 0 within 1 s.
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
  check "$name: $how ends the launcher with status 0 within 1 s (status $status, $elapsed ms)" \
    test "$status" = 0 -a "$elapsed" -le "$QUIT_LIMIT_MS"
}

# button_is_enabled PNG: the button's centre in a screenshot of the window has the
# enabled look, a bright blue (the disabled one is a flat grey).
button_is_enabled() {
  local r g b channel='round(255*p{'$BUTTON_X,$BUTTON_Y'}'
  read -r r g b < <(convert "$1" -format "%[fx:$channel.r)] %[fx:$channel.g)] %[fx:$channel.b)]\n" info:)
  ((b >= 160 && b >= r + 40 && b >= g + 20))
}

launch_lines() { grep -cFx -- "$GAME_COMMAND" "$1" || true; }
marker_lines() { grep -c . "$TMP/marker" || true; }
# SDL drops a press that comes with the focus the pointer's arrival gives the window,
# as the click that focuses it; so the pointer arrives a few frames ahead of the press.
click_button() {
  xdo 5 mousemove --window "$WID" "$BUTTON_X" "$BUTTON_Y" || true
  sleep 0.2
  xdo 5 click 1 || true
}

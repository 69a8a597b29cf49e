# shellcheck shell=bash
# What the end-to-end scripts share: TAP checks, waits that cannot hang, the X server, nginx, and the
# launcher built for these tests, which asks 127.0.0.1:$QUARVEL_E2E_PORT, where no other server answers it.
# shellcheck source=../../scripts/lib/serve.sh
source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/lib/serve.sh"

PATH=$PATH:/usr/sbin
readonly ASSETS=(quarvel_splash.png launch.png launch_pressed.png launch_disabled.png quarvel_icon_black.png LTYPE.TTF)
PORT=${QUARVEL_E2E_PORT:-18470} BIN="" LAUNCHER="" TMP="" WINE="" XVFB_PID="" NGINX_PID="" SECOND_NGINX_PID="" THIRD_NGINX_PID="" PROXY_PID="" LAUNCHER_PID="" WID=""
CHECKS=0 FAILED=0

check() { ((++CHECKS)); if "${@:2}"; then echo "ok $CHECKS - $1"; else echo "not ok $CHECKS - $1" && ((++FAILED)); fi; }
die() { echo "Bail out! $*"; exit 1; }
# The end of a run, once the programs started under Wine, if any, have ended.
e2e_end() { [[ -z $WINE ]] || "$(dirname "$WINE")/wineserver" -w || true; echo "1..$CHECKS" && ((FAILED == 0)); }

now_ms() { echo $(($(date +%s%N) / 1000000)); }
wait_until() { local end=$(($(now_ms) + $1 * 1000)); until "${@:2}"; do (($(now_ms) < end)) && sleep 0.01 || return 1; done; }
not() { ! "$@"; }
file_holds() { [[ -f $1 && "$(cat -- "$1")" == "$2" ]]; }
# The version file names the build on its first line; with signing on, the signed time follows.
holds_build() { [[ -f $1 && "$(head -n 1 -- "$1")" == "$2" ]]; }
port_open() { (exec 3<>"/dev/tcp/127.0.0.1/$PORT") 2>/dev/null; }
# A zombie no longer runs, though kill -0 still reaches it.
is_running() { local state=""; { read -r _ _ state _ <"/proc/$1/stat"; } 2>/dev/null || true; [[ -n $state && $state != Z ]]; }
stop_pid() {
  is_running "$1" && kill -TERM "$1" 2>/dev/null && { wait_until 3 not is_running "$1" || kill -KILL "$1"; } 2>/dev/null
  wait "$1" 2>/dev/null || true
}
cleanup() {
  local status=$? pid
  for pid in "$LAUNCHER_PID" "$NGINX_PID" "$SECOND_NGINX_PID" "$THIRD_NGINX_PID" "$PROXY_PID" "$XVFB_PID"; do stop_pid "$pid"; done
  rm -rf -- "$TMP"; exit "$status"
}

# e2e_begin NAME BIN_DIR TOOL...: the tools are in BIN_DIR or on the PATH. Makes TMP with a private HOME,
# TMPDIR and runtime folder, and starts an X server of the window's size.
e2e_begin() {
  BIN=$(cd -- "$2" && pwd) || exit 2
  LAUNCHER=$BIN/quarvel-launcher-e2e
  local tool; for tool in "${@:3}"; do [[ -x $BIN/$tool ]] || command -v "$tool" >/dev/null || die "$tool is missing"; done
  unset http_proxy https_proxy all_proxy HTTP_PROXY HTTPS_PROXY ALL_PROXY
  TMP=$(mktemp -d "/tmp/quarvel-$1.XXXXXX")
  trap cleanup EXIT && trap 'exit 130' INT TERM
  mkdir -m 700 "$TMP/home" "$TMP/tmpdir" "$TMP/runtime"
  Xvfb -displayfd 5 -screen 0 640x480x24 -nolisten tcp -noreset 5>"$TMP/display" >"$TMP/xvfb.log" 2>&1 & XVFB_PID=$!
  wait_until 10 grep -q '^[0-9][0-9]*$' "$TMP/display" || die "Xvfb did not start"
  export DISPLAY=":$(head -n 1 "$TMP/display")"
}

# make_build DIR: a game whose program appends the folder it was started in to TMP/marker.
make_build() {
  mkdir -p "$1/details" "$1/data" && printf '#!/bin/sh\npwd -P >> '\''%s'\''\n' "$TMP/marker" >"$1/details/Quarvel.exe"
  chmod 755 "$1/details/Quarvel.exe"
}
line_of() { printf '%-3s 202612%02d' "$1.0" "$1"; }  # build N's line, "N.0 202612NN"
publish() { mkdir -p "$3" && "$BIN/quarvel-publish" "$@" >/dev/null || die "quarvel-publish refused build $2"; }
# start_nginx ROOT [DIRECTIVES]: serves ROOT on PORT.
start_nginx() {
  ! port_open || die "port $PORT is already in use"
  write_nginx_conf "$TMP/nginx" "$1" "$PORT" "${2:-}" && start_nginx_on "$TMP/nginx" && NGINX_PID=$SERVER_PID
  wait_until 10 port_open || die "nginx did not start: $(cat "$TMP/nginx/error.log")"
}
# start_proxy PORT: tinyproxy from Debian's packages on PORT; its log, which names each request, in TMP/proxy.log.
start_proxy() {
  printf '%s\n' "Port $1" "Listen 127.0.0.1" "LogFile \"$TMP/proxy.log\"" "LogLevel Connect" "Allow 127.0.0.1" >"$TMP/proxy.conf"
  tinyproxy -d -c "$TMP/proxy.conf" >/dev/null 2>&1 & PROXY_PID=$!
  wait_until 10 grep -q finished "$TMP/proxy.log" || die "tinyproxy did not start"
}
new_workdir() { mkdir -p "$1" && (cd "$BIN" && cp -- "${ASSETS[@]}" "$1/"); }

xdo() { timeout "$1" xdotool "${@:2}" 2>/dev/null; }
# start_launcher DIR NAME: the launcher in DIR, its output in TMP/NAME.out and .err.
start_launcher() {
  xdo 5 keyup q || true; : >"$TMP/marker"  # a key left held from an earlier run would quit the new one
  (cd "$1" && HOME=$TMP/home XDG_RUNTIME_DIR=$TMP/runtime TMPDIR=$TMP/tmpdir exec "$LAUNCHER") >"$TMP/$2.out" 2>"$TMP/$2.err" &
  LAUNCHER_PID=$!
}
# The window is complete once its icon is set, which follows the renderer.
find_window() {
  WID=$(xdo 2 search --all --onlyvisible --pid "$LAUNCHER_PID" --name '^Quarvel Launcher$' | head -n 1) || true
  [[ -n $WID ]] && timeout 2 xprop -id "$WID" -len 1 _NET_WM_ICON 2>/dev/null | grep -q =
}
open_window() { start_launcher "$@"; wait_until 20 find_window || die "$2: the launcher window did not appear"; }
# pixel FILE X Y: the window, shot into FILE; prints red, green and blue (0 to 255) of its pixel at X,Y.
pixel() {
  timeout 10 import -window "$WID" "$1" 2>/dev/null &&
    convert "$1" -format "%[fx:round(255*p{$2,$3}.r)] %[fx:round(255*p{$2,$3}.g)] %[fx:round(255*p{$2,$3}.b)]\n" info:
}
# shows_enabled FILE: the window, shot into FILE, shows the button's enabled bright blue (the disabled one is grey).
shows_enabled() { local r g b && read -r r g b < <(pixel "$1" 320 420) && ((b >= 160 && b >= r + 40 && b >= g + 20)); }
# SDL drops a press that comes with the focus the pointer's arrival gives, so the pointer comes first.
click_button() { xdo 5 mousemove --window "$WID" 320 420 || true; sleep 0.2; xdo 5 click 1 || true; }

# quit NAME: Q typed into the focused window ("key --window" would lose the release when the window
# closes) must end the launcher with status 0 within 1 s.
quit() {
  local pid=$LAUNCHER_PID status=0 start elapsed
  { xdo 5 windowfocus "$WID"; start=$(now_ms); xdo 5 key q; } || true
  wait_until 5 not is_running "$pid" || kill -KILL "$pid"
  elapsed=$(($(now_ms) - start)) LAUNCHER_PID="" && wait "$pid" || status=$?
  check "$1: Q ends the launcher with status 0 within 1 s (status $status, $elapsed ms)" test "$status" = 0 -a "$elapsed" -le 1000
}

# For the launcher's updates of itself. runs_version DIR VERSION: the log file's launcher; no_leftovers DIR: no
# copy, kept file or record of a replacement; same_as_carried DIR FOLDER: DIR holds every file of FOLDER;
# red_splash FILE: the window, shot into FILE, shows a red splash.
runs_version() { grep -q "| Quarvel Launcher $2 on" "$1/quarvel-launcher.log"; }
no_leftovers() { ! compgen -G "$1/*.quarvel-next" >/dev/null && ! compgen -G "$1/*.quarvel-previous" >/dev/null && [[ ! -e $1/launcher-update.txt ]]; }
same_as_carried() { local f; for f in "$2"/*; do cmp -s "$f" "$1/${f##*/}" || return 1; done; }
red_splash() { local r g b && read -r r g b < <(pixel "$1" 320 100) && ((r >= 150 && g <= 90)); }

# wine_e2e_begin NAME BUILD_DIR TOOL...: e2e_begin and wine_begin for a run of the Windows build in BUILD_DIR that
# publishes with the Linux quarvel-publish, PUBLISH, for nginx on the port the launchers with the test key ask.
wine_e2e_begin() {
  [[ -x $PUBLISH ]] || { echo "1..0 # SKIP no Linux quarvel-publish at $PUBLISH"; exit 77; }
  PORT=18471
  e2e_begin "$1" "$2/bin" Xvfb evilwm xdotool xprop import convert nginx "${@:3}" && wine_begin "$2/wineprefix"
}
# wine_begin PREFIX: Wine's prefix made ready, with a window manager that ends with the X server. Wine's menu
# builder stays off: it would write desktop entries into the home folder.
wine_begin() {
  export WINEPREFIX=$1 WINEDEBUG=-all WINEDLLOVERRIDES='mscoree,mshtml=;winemenubuilder.exe=d'
  evilwm -fn fixed >/dev/null 2>&1 &
  wait_until 10 eval 'xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q "window id"' || die "no evilwm"
  timeout 240 "$WINE" wineboot -i >"$TMP/wineboot.log" 2>&1 || die "wineboot failed: $(tail -3 "$TMP/wineboot.log")"
}
# wine_start DIR EXE NAME: the Windows launcher EXE started in DIR, until its window shows (WID).
wine_start() {
  (cd "$1" && exec "$WINE" "$2") >"$TMP/$3.out" 2>"$TMP/$3.err" & LAUNCHER_PID=$!
  WID=$(xdo 60 search --sync --name '^Quarvel Launcher$' | head -n 1) || die "$3: no window: $(tail -3 "$TMP/$3.err")"
}

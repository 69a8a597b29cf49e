#!/usr/bin/env bash
# End-to-end test of the launcher: the real binary in a real X window (Xvfb), fed by
# a real HTTP server (nginx), driven by real mouse clicks and key presses (xdotool).
#
#   tests/e2e/launcher_e2e.sh BIN_DIR [SCREENSHOT_DIR]
#
# BIN_DIR holds quarvel-launcher and its six asset files. Screenshots go to
# SCREENSHOT_DIR when one is given. Prints one "ok - ..." / "not ok - ..." line per
# check and exits 0 only when every check passed.
#
# Needs: Xvfb, xdotool, ImageMagick (import, convert), nginx, zip, curl, python3.
# The launcher's server address is compiled in as 127.0.0.1:8470, so that port must be
# free. When something else holds it, run the test in a private network namespace:
#   unshare -n sh -c 'ip link set lo up && tests/e2e/launcher_e2e.sh build/bin'
set -euo pipefail
# shellcheck source=../../scripts/lib/serve.sh
source "$(dirname "$0")/../../scripts/lib/serve.sh"

readonly PORT=8470
readonly BASE_URL="http://127.0.0.1:$PORT"
readonly VERSION_1='1.0 20261205'
readonly VERSION_2='1.1 20261206'
readonly GAME_COMMAND='cd game/details && "./Quarvel.exe"'
readonly ASSETS=(quarvel_splash.png launch.png launch_pressed.png launch_disabled.png quarvel_icon_black.png LTYPE.TTF)
# The launch button is 200x80 at (220,380); its centre is sampled for its look.
readonly BUTTON_X=320 BUTTON_Y=420
readonly QUIT_LIMIT_MS=1000

BIN_DIR=""
SHOT_DIR=""
TMP=""
XVFB_PID=""
NGINX_PID=""
NGINX_PREFIX=""
STALL_PID=""
LAUNCHER_PID=""
WID=""
FIRST_DIR=""
WIN_X=0
WIN_Y=0
PASSED=0
FAILED=0
CHECKS=0
LOG_FILES=()   # launcher and server logs, printed when a check fails

# ---------------------------------------------------------------- reporting

ok() {
  CHECKS=$((CHECKS + 1)) PASSED=$((PASSED + 1))
  echo "ok $CHECKS - $1"
}

not_ok() {
  CHECKS=$((CHECKS + 1)) FAILED=$((FAILED + 1))
  echo "not ok $CHECKS - $1"
}

# check DESCRIPTION COMMAND...: one result line for whether the command succeeds.
check() {
  local description=$1
  shift
  if "$@"; then ok "$description"; else not_ok "$description"; fi
}

# Setup that fails leaves nothing worth checking: stop with the reason and the logs.
die() {
  echo "Bail out! $*"
  dump_logs
  exit 1
}

dump_logs() {
  local file
  for file in "${LOG_FILES[@]}"; do
    [[ -s $file ]] || continue
    echo "# ---- $file"
    sed 's/^/#   /' "$file" | tail -n 60
  done
}

# ---------------------------------------------------------------- small helpers

now_ms() { echo $(($(date +%s%N) / 1000000)); }

# wait_until SECONDS COMMAND...: polls until the command succeeds; fails at the deadline.
wait_until() {
  local deadline=$(($(now_ms) + $1 * 1000))
  shift
  until "$@"; do
    (($(now_ms) < deadline)) || return 1
    sleep 0.1
  done
}

file_holds() { [[ -f $1 && "$(cat -- "$1")" == "$2" ]]; }
file_size() { stat -c %s -- "$1" 2>/dev/null || echo 0; }
file_mode() { stat -c %a -- "$1" 2>/dev/null; }
port_open() { (exec 3<>"/dev/tcp/127.0.0.1/$PORT") 2>/dev/null; }
not() { ! "$@"; }
sleep_ms() { sleep "$(printf '%d.%03d' $(($1 / 1000)) $(($1 % 1000)))"; }

# An exited child stays a zombie until the shell reaps it; both count as gone.
is_running() {
  local state=""
  [[ -n $1 ]] || return 1
  { read -r _ _ state _ <"/proc/$1/stat"; } 2>/dev/null || true
  [[ -n $state && $state != Z ]]
}

# Copies a screenshot to the screenshot directory, when there is one.
keep_shot() {
  [[ -z $SHOT_DIR ]] || cp -- "$1" "$SHOT_DIR/$2"
}

# ---------------------------------------------------------------- setup

parse_args() {
  if (($# < 1 || $# > 2)); then
    echo "usage: $0 BIN_DIR [SCREENSHOT_DIR]" >&2
    exit 2
  fi
  BIN_DIR=$(cd -- "$1" && pwd)
  [[ -x $BIN_DIR/quarvel-launcher ]] || { echo "no quarvel-launcher in $BIN_DIR" >&2; exit 2; }
  local asset
  for asset in "${ASSETS[@]}"; do
    [[ -f $BIN_DIR/$asset ]] || { echo "asset $asset missing from $BIN_DIR" >&2; exit 2; }
  done
  if (($# == 2)); then
    mkdir -p -- "$2"
    SHOT_DIR=$(cd -- "$2" && pwd)
  fi
}

require_tools() {
  local tool
  for tool in Xvfb xdotool import convert nginx zip curl python3 timeout; do
    command -v "$tool" >/dev/null || { echo "Bail out! $tool is not installed"; exit 1; }
  done
}

cleanup() {
  local status=$?
  stop_launcher_hard
  stop_pid "$STALL_PID"
  stop_nginx
  stop_pid "$XVFB_PID"
  [[ -z $TMP ]] || rm -rf -- "$TMP"
  exit "$status"
}

# Ends one process we started: politely first, forcibly when it does not go.
stop_pid() {
  local pid=$1
  is_running "$pid" || return 0
  kill -TERM "$pid" 2>/dev/null || true
  wait_until 3 not is_running "$pid" || true
  kill -KILL "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
}

start_xvfb() {
  # -displayfd picks a free display and reports it once the server accepts clients.
  local display_file=$TMP/display
  Xvfb -displayfd 5 -screen 0 640x480x24 -nolisten tcp -noreset 5>"$display_file" >"$TMP/xvfb.log" 2>&1 &
  XVFB_PID=$!
  LOG_FILES+=("$TMP/xvfb.log")
  wait_until 10 grep -q '^[0-9][0-9]*$' "$display_file" || die "Xvfb did not start"
  DISPLAY=":$(head -n 1 "$display_file")"
  export DISPLAY
}

# The game is a script that records where it was started, so the test can tell that
# the launcher ran it inside game/details.
make_game() {
  local top=$1 marker=$2
  mkdir -p "$top/details" "$top/data"
  printf '#!/bin/sh\npwd -P > '\''%s'\''\n' "$marker" >"$top/details/Quarvel.exe"
  chmod 755 "$top/details/Quarvel.exe"
}

# Builds the package of VERSION into SERVER_DIR and publishes VERSION as the latest;
# EXTRA_MIB adds an incompressible file of that size to make the download slow.
make_package() {
  local version=$1 server_dir=$2 extra_mib=$3
  local root=$TMP/buildroot-${version// /_}
  make_game "$root/Top" "$TMP/marker"
  printf 'level one\n' >"$root/Top/data/level1.txt"
  chmod 644 "$root/Top/data/level1.txt"
  : >"$root/Top/data/empty.dat"
  # Random data does not compress, so it is stored as is; small packages are deflated.
  local method=()
  if ((extra_mib > 0)); then
    head -c "$((extra_mib * 1048576))" /dev/urandom >"$root/Top/data/big.bin"
    method=(-0)
  fi
  mkdir -p "$server_dir"
  (cd "$root" && zip -q "${method[@]}" -r "$server_dir/quarvel $version.zip" Top)
  printf '%s' "$version" >"$server_dir/latest_version.txt"
}

# Serves ROOT_DIR on the launcher's port; a RATE limits package downloads.
start_nginx() {
  local root_dir=$1 rate=${2:-}
  port_open && die "port $PORT is already in use before starting nginx"
  NGINX_PREFIX=$TMP/nginx-$(basename "$root_dir")
  mkdir -p "$NGINX_PREFIX"
  local throttle=""
  [[ -z $rate ]] || throttle="location ~ \\.zip\$ { limit_rate $rate; }"
  write_nginx_conf "$NGINX_PREFIX" "$root_dir" "$PORT" "$throttle"
  LOG_FILES+=("$NGINX_PREFIX/error.log")
  start_nginx_on "$NGINX_PREFIX"
  NGINX_PID=$SERVER_PID
  LOG_FILES+=("$NGINX_PREFIX/stdout.log")
  wait_until 10 curl -fsS --noproxy '*' --max-time 1 -o /dev/null "$BASE_URL/latest_version.txt" ||
    die "nginx did not answer on port $PORT"
}

stop_nginx() {
  [[ -n $NGINX_PID ]] || return 0
  stop_pid "$NGINX_PID"
  NGINX_PID=""
  # The master ends its worker on TERM; the port must be free for what comes next.
  wait_until 5 not port_open || true
}

# A server that answers the request line, promises a body and then sends nothing,
# as a server does that hangs half way through a response.
start_stall_server() {
  port_open && die "port $PORT is still in use before starting the stalled server"
  python3 -u -c '
import socket, sys
server = socket.socket()
server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
server.bind(("127.0.0.1", int(sys.argv[1])))
server.listen(8)
print("listening")
held = []
while True:
    conn, _ = server.accept()
    request = b""
    while b"\r\n\r\n" not in request:
        chunk = conn.recv(4096)
        if not chunk:
            break
        request += chunk
    print(request.split(b"\r\n", 1)[0].decode(errors="replace"))
    conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\n")
    held.append(conn)
' "$PORT" >"$TMP/stall.log" 2>&1 &
  STALL_PID=$!
  LOG_FILES+=("$TMP/stall.log")
  wait_until 10 grep -q '^listening$' "$TMP/stall.log" || die "the stalled server did not start"
}

# ---------------------------------------------------------------- the launcher

# A fresh working directory holding only the assets.
new_workdir() {
  local dir=$TMP/$1
  mkdir -p "$dir"
  local asset
  for asset in "${ASSETS[@]}"; do cp -- "$BIN_DIR/$asset" "$dir/"; done
  echo "$dir"
}

# start_launcher DIR NAME: runs the launcher in DIR and finds its window.
start_launcher() {
  local dir=$1 name=$2
  # Nothing may be left held from an earlier run: the new window would receive it.
  xdo 5 keyup q || true
  (cd "$dir" && exec "$BIN_DIR/quarvel-launcher") >"$TMP/$name.out" 2>"$TMP/$name.err" &
  LAUNCHER_PID=$!
  LOG_FILES+=("$TMP/$name.out" "$TMP/$name.err")
  WID=$(xdo 10 search --sync --name '^Quarvel Launcher$' | head -n 1) || WID=""
  if [[ -z $WID ]]; then
    not_ok "$name: the launcher window appears"
    stop_launcher_hard
    return 1
  fi
  local X=0 Y=0 WIDTH=0 HEIGHT=0
  eval "$(xdo 5 getwindowgeometry --shell "$WID" | grep -E '^(X|Y|WIDTH|HEIGHT)=[0-9]+$')"
  WIN_X=$X WIN_Y=$Y
  if [[ $WIDTH != 640 || $HEIGHT != 480 ]]; then
    not_ok "$name: the launcher window is 640x480 (is ${WIDTH}x$HEIGHT)"
    stop_launcher_hard
    return 1
  fi
}

# xdo SECONDS ARGS...: xdotool that cannot hang the test.
xdo() {
  local seconds=$1
  shift
  timeout "$seconds" xdotool "$@" 2>/dev/null
}

stop_launcher_hard() {
  stop_pid "$LAUNCHER_PID"
  LAUNCHER_PID=""
}

# Presses Q and records one check: the process must end with status 0 within
# QUIT_LIMIT_MS of the key press.
quit_with_q() {
  local name=$1 pid=$LAUNCHER_PID start status=0
  xdo 5 windowfocus "$WID" || true
  start=$(now_ms)
  # Typed through XTEST like a real key. "key --window" mixes XTEST and XSendEvent:
  # when the window closes between press and release, the release is lost and Q stays
  # held in the server, where the next launcher reads it as a quit at once.
  xdo 5 key q || true
  while is_running "$pid"; do
    if (($(now_ms) - start > 5000)); then
      stop_launcher_hard
      not_ok "$name: Q ends the launcher within 1 s (still running after 5 s)"
      return 0
    fi
    sleep 0.005
  done
  local elapsed=$(($(now_ms) - start))
  wait "$pid" || status=$?
  LAUNCHER_PID=""
  check "$name: Q ends the launcher with status 0 within 1 s (status $status, $elapsed ms)" \
    test "$status" = 0 -a "$elapsed" -le "$QUIT_LIMIT_MS"
}

screenshot() {
  timeout 10 import -window root "$1" 2>/dev/null
}

# "R G B" of one window pixel in a screenshot.
pixel() {
  local png=$1 x=$(($2 + WIN_X)) y=$(($3 + WIN_Y))
  convert "$png" -format "%[fx:round(255*p{$x,$y}.r)] %[fx:round(255*p{$x,$y}.g)] %[fx:round(255*p{$x,$y}.b)]\n" info: 2>/dev/null
}

# The button's looks: enabled is a bright blue, pressed a darker blue, disabled a
# flat grey whose channels stay close together.
looks_enabled() {
  local r g b
  read -r r g b < <(pixel "$1" "$BUTTON_X" "$BUTTON_Y")
  ((b >= 160 && b >= r + 40 && b >= g + 20))
}

looks_disabled() {
  local r g b max min
  read -r r g b < <(pixel "$1" "$BUTTON_X" "$BUTTON_Y")
  max=$((r > g ? (r > b ? r : b) : (g > b ? g : b)))
  min=$((r < g ? (r < b ? r : b) : (g < b ? g : b)))
  ((max - min <= 20 && max >= 30))
}

brightness() {
  local r g b
  read -r r g b < <(pixel "$1" "$BUTTON_X" "$BUTTON_Y")
  echo $((r + g + b))
}

# Pressed: still blue, and clearly darker than the enabled look in REFERENCE.
looks_pressed() {
  local shot=$1 reference=$2 r g b
  read -r r g b < <(pixel "$shot" "$BUTTON_X" "$BUTTON_Y")
  ((b >= r + 40)) && (($(brightness "$shot") + 30 < $(brightness "$reference")))
}

# wait_for_look SECONDS FILE PREDICATE [ARGS]: screenshots until the button shows the look.
wait_for_look() {
  local seconds=$1 file=$2
  shift 2
  wait_until "$seconds" shot_and_test "$file" "$@"
}

shot_and_test() {
  local file=$1 predicate=$2
  shift 2
  screenshot "$file" && "$predicate" "$file" "$@"
}

click_button() {
  xdo 5 mousemove --window "$WID" "$BUTTON_X" "$BUTTON_Y" || true
  sleep 0.1
  xdo 5 click 1 || true
}

launch_lines() { grep -cFx -- "$GAME_COMMAND" "$1" || true; }

# ---------------------------------------------------------------- check groups

# First run: nothing installed, so the launcher must fetch, unpack and offer the game.
test_first_run() {
  local w
  w=$(new_workdir run1)
  FIRST_DIR=$w
  start_launcher "$w" first-run || return 0
  ok "first-run: the window \"Quarvel Launcher\" opens at 640x480"

  if ! wait_until 20 file_holds "$w/latest_version.txt" "$VERSION_1"; then
    not_ok "first-run: latest_version.txt names $VERSION_1 within 20 s"
    stop_launcher_hard
    return 0
  fi
  ok "first-run: latest_version.txt names $VERSION_1 within 20 s"
  check "first-run: latest_version.txt is exactly 12 bytes, no newline" test "$(file_size "$w/latest_version.txt")" = 12

  local game=$w/game
  check "first-run: the game program is unpacked into game/details and is executable (mode 755)" \
    test -x "$game/details/Quarvel.exe" -a "$(file_mode "$game/details/Quarvel.exe")" = 755
  check "first-run: a data file is unpacked with its contents and mode 644" \
    test "$(cat "$game/data/level1.txt" 2>/dev/null)" = "level one" -a "$(file_mode "$game/data/level1.txt")" = 644
  check "first-run: the empty file is unpacked and empty" test -f "$game/data/empty.dat" -a ! -s "$game/data/empty.dat"
  check "first-run: the package's top folder is replaced by game/" test ! -e "$w/Top" -a ! -e "$game/Top"
  check "first-run: the package is kept as \"quarvel $VERSION_1.zip\" and matches the served one" \
    cmp -s "$w/quarvel $VERSION_1.zip" "$TMP/server/quarvel $VERSION_1.zip"
  check "first-run: no temporary files are left (temp.txt, latest_version.txt.new)" \
    test ! -e "$w/temp.txt" -a ! -e "$w/latest_version.txt.new"
  check "first-run: the package was requested with blanks as %20" \
    grep -qF "\"GET /quarvel%201.0%2020261205.zip HTTP/1.1\" 200" "$NGINX_PREFIX/access.log"

  local ready=$TMP/ready.png
  if wait_for_look 5 "$ready" looks_enabled; then
    ok "first-run: the launch button shows the enabled (blue) look"
  else
    not_ok "first-run: the launch button shows the enabled (blue) look (pixel $(pixel "$ready" $BUTTON_X $BUTTON_Y))"
  fi
  keep_shot "$ready" ready.png
  check "first-run: the log box outline is drawn at x20 y176 w600 h184" log_box_drawn "$ready"

  # A click starts the game in game/details and prints the command it ran.
  rm -f "$TMP/marker"
  click_button
  check "first-run: a click on the button starts the game" wait_until 5 test -s "$TMP/marker"
  check "first-run: the game runs in game/details" \
    test "$(cat "$TMP/marker" 2>/dev/null)" = "$(cd "$game/details" && pwd -P)"
  check "first-run: stdout holds the line $GAME_COMMAND once" test "$(launch_lines "$TMP/first-run.out")" = 1

  # Holding the button down shows the pressed look; the release starts the game again.
  rm -f "$TMP/marker"
  local pressed=$TMP/pressed.png
  xdo 5 mousedown 1 || true
  if wait_for_look 3 "$pressed" looks_pressed "$ready"; then
    ok "first-run: the held button shows the pressed look, darker than the enabled one"
  else
    not_ok "first-run: the held button shows the pressed look (pixel $(pixel "$pressed" $BUTTON_X $BUTTON_Y))"
  fi
  keep_shot "$pressed" pressed.png
  xdo 5 mouseup 1 || true
  check "first-run: releasing the held button starts the game again" wait_until 5 test -s "$TMP/marker"
  check "first-run: stdout holds the launch line once per click" test "$(launch_lines "$TMP/first-run.out")" = 2

  quit_with_q first-run
}

log_box_drawn() {
  local shot=$1 corner
  for corner in "20 176" "619 176" "20 359" "619 359" "320 176" "20 270"; do
    # shellcheck disable=SC2086
    [[ "$(pixel "$shot" $corner)" == "0 127 255" ]] || return 1
  done
  # The pixels just outside the outline are window background.
  [[ "$(pixel "$shot" 19 270)" == "0 0 0" && "$(pixel "$shot" 620 270)" == "0 0 0" ]]
}

# new_requests_match LINES TEXT: an access log line after the first LINES holds TEXT.
new_requests_match() {
  tail -n +"$(($1 + 1))" "$NGINX_PREFIX/access.log" | grep -qF -- "$2"
}

# Second run on the installed build: the server names the same build, so nothing is fetched.
test_second_run() {
  local w=$FIRST_DIR
  local before version_stamp zip_stamp
  before=$(wc -l <"$NGINX_PREFIX/access.log")
  version_stamp=$(stat -c '%i %Y' "$w/latest_version.txt")
  zip_stamp=$(stat -c '%i %Y' "$w/quarvel $VERSION_1.zip")
  start_launcher "$w" second-run || return 0

  check "second-run: latest_version.txt is requested" \
    wait_until 10 new_requests_match "$before" '"GET /latest_version.txt HTTP/1.1" 200'
  local shot=$TMP/second-ready.png
  check "second-run: the button becomes enabled" wait_for_look 10 "$shot" looks_enabled
  keep_shot "$shot" second-run-ready.png
  # A needless download would start about 300 ms after the version check; allow for it.
  sleep 1
  check "second-run: the package is not requested again" not new_requests_match "$before" .zip
  check "second-run: latest_version.txt and the package are left untouched" \
    test "$(stat -c '%i %Y' "$w/latest_version.txt")" = "$version_stamp" \
    -a "$(stat -c '%i %Y' "$w/quarvel $VERSION_1.zip")" = "$zip_stamp" \
    -a "$(cat "$w/latest_version.txt")" = "$VERSION_1"
  quit_with_q second-run
}

# Third run with the server gone: the installed build must still be playable.
test_offline_installed() {
  local w=$FIRST_DIR
  rm -f "$TMP/marker"
  start_launcher "$w" offline-installed || return 0
  local shot=$TMP/offline-ready.png
  check "offline-installed: the button becomes enabled within 5 s" wait_for_look 5 "$shot" looks_enabled
  keep_shot "$shot" offline-installed.png
  click_button
  check "offline-installed: a click starts the installed game in game/details" \
    wait_until 5 file_holds "$TMP/marker" "$(cd "$w/game/details" && pwd -P)"
  check "offline-installed: latest_version.txt is unchanged and temp.txt is gone" \
    test "$(cat "$w/latest_version.txt")" = "$VERSION_1" -a ! -e "$w/temp.txt"
  quit_with_q offline-installed
}

# No server and nothing installed: there is nothing to play, and nothing may appear on disk.
test_offline_fresh() {
  local w
  w=$(new_workdir offline-fresh)
  start_launcher "$w" offline-fresh || return 0
  sleep 2
  local shot=$TMP/offline-fresh.png
  screenshot "$shot" || true
  keep_shot "$shot" disabled.png
  check "offline-fresh: the button stays disabled (grey) after 2 s" looks_disabled "$shot"
  click_button
  sleep 0.5
  check "offline-fresh: a click on the disabled button starts nothing" test "$(launch_lines "$TMP/offline-fresh.out")" = 0
  check "offline-fresh: no game/, latest_version.txt, temp.txt or package is created" \
    test ! -e "$w/game" -a ! -e "$w/latest_version.txt" -a ! -e "$w/temp.txt" -a -z "$(compgen -G "$w/*.zip")"
  quit_with_q offline-fresh
}

# A newer build that downloads slowly: Q must not wait for the download to finish,
# and the half-downloaded build must not be recorded as installed.
test_slow_download() {
  local w package
  w=$(new_workdir slow-download)
  package="$w/quarvel $VERSION_2.zip"
  start_launcher "$w" slow-download || return 0
  if ! wait_until 15 test -s "$package"; then
    not_ok "slow-download: the package download starts"
    stop_launcher_hard
    return 0
  fi
  local size1 size2
  size1=$(file_size "$package")
  sleep 0.7
  size2=$(file_size "$package")
  check "slow-download: the package file grows while downloading ($size1 -> $size2 bytes)" test "$size2" -gt "$size1"
  local shot=$TMP/slow-download.png
  screenshot "$shot" || true
  keep_shot "$shot" slow-download.png
  check "slow-download: the button is disabled while downloading" looks_disabled "$shot"
  quit_with_q slow-download
  check "slow-download: latest_version.txt does not name $VERSION_2" \
    test "$(cat "$w/latest_version.txt" 2>/dev/null)" != "$VERSION_2"
  check "slow-download: nothing is unpacked from the partial package" test ! -e "$w/game"
}

# A server that accepts the request and then goes silent: Q must still end the launcher.
test_stalled_server() {
  local w
  w=$(new_workdir stalled)
  start_launcher "$w" stalled || return 0
  local start
  start=$(now_ms)
  check "stalled: the launcher asks the stalled server for latest_version.txt" \
    wait_until 5 grep -qF 'GET /latest_version.txt HTTP/1.1' "$TMP/stall.log"
  # Give the launcher time to settle into waiting for the body that never comes.
  local waited=$(($(now_ms) - start))
  ((waited >= 1500)) || sleep_ms $((1500 - waited))
  local shot=$TMP/stalled.png
  screenshot "$shot" || true
  keep_shot "$shot" stalled.png
  quit_with_q stalled
  check "stalled: no temp.txt is left behind" test ! -e "$w/temp.txt"
}

# ---------------------------------------------------------------- main

main() {
  parse_args "$@"
  require_tools
  port_open && die "port $PORT is already in use; stop what holds it or run this test in a private network namespace (see the header of $0)"
  # The launcher's requests must go straight to the local server.
  unset http_proxy https_proxy all_proxy HTTP_PROXY HTTPS_PROXY ALL_PROXY
  TMP=$(mktemp -d /tmp/quarvel-e2e.XXXXXX)
  trap cleanup EXIT
  trap 'exit 130' INT TERM

  start_xvfb
  make_package "$VERSION_1" "$TMP/server" 0
  make_package "$VERSION_2" "$TMP/slow-server" 20

  local started
  started=$(now_ms)
  start_nginx "$TMP/server"
  test_first_run
  test_second_run
  stop_nginx

  test_offline_installed
  test_offline_fresh

  start_nginx "$TMP/slow-server" 200k
  test_slow_download
  stop_nginx

  start_stall_server
  test_stalled_server

  echo "1..$CHECKS"
  echo "# $PASSED passed, $FAILED failed in $((($(now_ms) - started) / 1000)) s"
  if ((FAILED > 0)); then
    dump_logs
    exit 1
  fi
}

main "$@"

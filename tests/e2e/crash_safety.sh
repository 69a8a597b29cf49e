#!/usr/bin/env bash
# Crash safety of an update: the launcher is killed with SIGKILL at 30 random moments
# while it updates an installed build A to build B. After each kill latest_version.txt
# must hold A's line or B's, whole (never empty or cut short, never the temporary file
# itself), and when it names B every file of B must be complete in game/. A kill in the
# download and one in the extraction are followed by a normal run, which must then
# finish the update.
#
#   tests/e2e/crash_safety.sh BIN_DIR [SEED]
#
# BIN_DIR holds quarvel-launcher with its six assets and quarvel-publish. The kill
# moments come from $RANDOM seeded with SEED (printed, so a failure can be replayed).
# Needs Xvfb, nginx, curl and sha256sum, and port 8470 free (see launcher_e2e.sh).
set -euo pipefail
# shellcheck source=../../scripts/lib/serve.sh
source "$(dirname "$0")/../../scripts/lib/serve.sh"
# shellcheck source=lib.sh
source "$(dirname "$0")/lib.sh"

readonly PORT=8470 OLD='1.0 20261205' NEW='1.1 20261206' KILLS=30
readonly ASSETS=(quarvel_splash.png launch.png launch_pressed.png launch_disabled.png quarvel_icon_black.png LTYPE.TTF)

BIN="" TMP="" XVFB_PID="" NGINX_PID="" LAUNCHER_PID="" CHECKS=0 FAILED=0


# Build A and build B hold the same 300 files with other contents, some 4 MiB in all,
# so a file that B only half replaced differs from B's. B adds a few files of its own.
make_build() {
  local dir=$1 count=$2 i file
  mkdir -p "$dir/details" "$dir/data"
  printf '#!/bin/sh\nexit 0\n' >"$dir/details/Quarvel.exe"
  chmod 755 "$dir/details/Quarvel.exe"
  for ((i = 1; i <= count; i++)); do
    printf -v file '%s/data/file%03d.bin' "$dir" "$i"
    head -c $((i * 97 % 28000 + 1)) /dev/urandom >"$file"
  done
}

serve_builds() {
  make_build "$TMP/build-old" 300
  make_build "$TMP/build-new" 305
  (cd "$TMP/build-new" && find . -type f -print0 | xargs -0 sha256sum) >"$TMP/new.sums"
  mkdir -p "$TMP/server"
  "$BIN/quarvel-publish" "$TMP/build-old" "$OLD" "$TMP/server" >/dev/null || die "quarvel-publish refused build A"
  # Throttled to a fast line's pace, so that some kills land in the download too.
  write_nginx_conf "$TMP/nginx" "$TMP/server" "$PORT" 'location ~ \.zip$ { limit_rate 16m; }'
  start_nginx_on "$TMP/nginx"
  NGINX_PID=$SERVER_PID
  wait_until 10 curl -fsS --noproxy '*' --max-time 1 -o /dev/null "http://127.0.0.1:$PORT/latest_version.txt" ||
    die "nginx did not answer on port $PORT"
}

start_launcher() {
  (cd "$1" && HOME=$TMP/home XDG_RUNTIME_DIR=$TMP/runtime exec "$BIN/quarvel-launcher") >"$1/../out" 2>&1 &
  LAUNCHER_PID=$!
}

# Runs the launcher in DIR until latest_version.txt names LINE; prints the time it took.
run_to_completion() {
  local dir=$1 line=$2 start done=0
  start=$(now_ms)
  start_launcher "$dir"
  wait_until 30 file_holds "$dir/latest_version.txt" "$line" || done=1
  ((done)) || echo $(($(now_ms) - start))
  stop_pid "$LAUNCHER_PID"
  LAUNCHER_PID=""
  return "$done"
}

recovers() { run_to_completion "$1" "$NEW" >/dev/null && new_complete "$1"; }

new_complete() { (cd "$1/game" && sha256sum --quiet --strict -c "$TMP/new.sums" >/dev/null 2>&1); }

# How far the update had come, from what it left on disk.
progress() {
  local w=$1 package="$1/quarvel $NEW.zip"
  if file_holds "$w/latest_version.txt" "$NEW"; then
    echo recorded
  elif [[ ! -e $package ]]; then
    echo before-download
  elif (($(file_size "$package") < $(file_size "$TMP/server/quarvel $NEW.zip"))); then
    echo downloading
  else
    echo extracting
  fi
}

# What a kill may leave: the old line or the new one, whole; the new one only with all
# of B in place; the temporary version file never in the version file's place; nothing
# beside the working folder.
after_kill_fine() {
  local w=$1 line problems=()
  line=$(cat "$w/latest_version.txt" 2>/dev/null) || problems+=("latest_version.txt is gone")
  [[ $line == "$OLD" || $line == "$NEW" ]] || problems+=("latest_version.txt holds '$line'")
  [[ $line != "$NEW" ]] || new_complete "$w" || problems+=("names B but game/ does not hold all of B")
  [[ ! $w/latest_version.txt -ef $w/latest_version.txt.new ]] || problems+=("latest_version.txt is the temporary file")
  [[ "$(ls -A "$w/..")" == $'out\nwork' ]] || problems+=("beside the working folder: $(ls -A "$w/.." | tr '\n' ' ')")
  # A failed check or a sanitizer report would have ended the launcher before the kill.
  ! grep -qE 'Assertion failed|Sanitizer|runtime error' "$w/../out" || problems+=("the launcher failed: $(head -n 3 "$w/../out")")
  ((${#problems[@]} == 0)) || { echo "# ${problems[*]}"; return 1; }
}

main() {
  (($# == 1 || $# == 2)) || { echo "usage: $0 BIN_DIR [SEED]" >&2; exit 2; }
  BIN=$(cd -- "$1" && pwd)
  local seed=${2:-$(($(date +%s) % 32768))} tool
  for tool in quarvel-launcher quarvel-publish; do
    [[ -x $BIN/$tool ]] || { echo "no $tool in $BIN" >&2; exit 2; }
  done
  for tool in Xvfb nginx curl sha256sum; do
    command -v "$tool" >/dev/null || die "$tool is not installed"
  done
  port_open && die "port $PORT is already in use"
  unset http_proxy https_proxy all_proxy HTTP_PROXY HTTPS_PROXY ALL_PROXY
  TMP=$(mktemp -d /tmp/quarvel-crash.XXXXXX)
  trap cleanup EXIT
  trap 'exit 130' INT TERM
  mkdir -p "$TMP/home" "$TMP/runtime"
  chmod 700 "$TMP/runtime"
  local started
  started=$(now_ms)

  start_xvfb
  serve_builds

  # Build A, installed by the launcher itself.
  local installed=$TMP/installed/work asset
  mkdir -p "$installed"
  for asset in "${ASSETS[@]}"; do cp -- "$BIN/$asset" "$installed/"; done
  run_to_completion "$installed" "$OLD" >/dev/null || die "the launcher did not install build A"
  "$BIN/quarvel-publish" "$TMP/build-new" "$NEW" "$TMP/server" >/dev/null || die "quarvel-publish refused build B"

  # One undisturbed update gives the time the kills are spread over.
  local reference=$TMP/reference/work full
  mkdir -p "$TMP/reference" && cp -a "$installed" "$reference"
  full=$(run_to_completion "$reference" "$NEW") || die "an undisturbed update from A to B did not finish in 30 s"
  check "an undisturbed update installs every file of B ($full ms)" new_complete "$reference"

  # A sixth of the range lies past the end of the update, so that some kills find
  # B recorded and its files are checked.
  local range=$((full * 6 / 5)) n delay start w outcome
  local -A outcomes=()
  RANDOM=$seed
  echo "# seed $seed: $KILLS kills spread over 0 to $range ms"
  for ((n = 1; n <= KILLS; n++)); do
    delay=$((RANDOM * (range + 1) / 32768))
    w=$TMP/kill-$n/work
    mkdir -p "$TMP/kill-$n" && cp -a "$installed" "$w"
    start=$(now_ms)
    start_launcher "$w"
    sleep_ms $((start + delay - $(now_ms)))
    kill -KILL "$LAUNCHER_PID"
    wait "$LAUNCHER_PID" 2>/dev/null || true
    LAUNCHER_PID=""
    outcome=$(progress "$w")
    outcomes[$outcome]=$((${outcomes[$outcome]:-0} + 1))
    check "kill $n after $delay ms ($outcome): latest_version.txt names A or a complete B" after_kill_fine "$w"
    # The first kill in the download and the first in the extraction leave a partial
    # package and a game folder half A, half B: the next start must finish the update.
    if [[ $outcome == downloading || $outcome == extracting ]] && ((${outcomes[$outcome]} == 1)); then
      check "kill $n: the next run completes the update to B" recovers "$w"
    fi
    rm -rf -- "$TMP/kill-$n"
  done
  echo "# outcomes: A named $((KILLS - ${outcomes[recorded]:-0})) times (killed before the download" \
    "${outcomes[before-download]:-0}, during it ${outcomes[downloading]:-0}, in the extraction" \
    "${outcomes[extracting]:-0}), B named ${outcomes[recorded]:-0} times"

  echo "1..$CHECKS"
  echo "# $((CHECKS - FAILED)) passed, $FAILED failed in $((($(now_ms) - started) / 1000)) s (seed $seed)"
  ((FAILED == 0))
}

main "$@"

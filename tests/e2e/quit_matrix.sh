#!/usr/bin/env bash
# Quitting the launcher at every moment of an update, with Q and with the close request
# a window manager's close button sends: in each stage's pause, with the version file or
# the package in transfer, half way through the extraction, once the update is done and
# after the game ran. Each quit must end the process with status 0 within 1 s and leave
# no temporary version file, the old version line unless the update finished, nothing
# beside the working folder and no game started unasked.
#   tests/e2e/quit_matrix.sh BIN_DIR
set -euo pipefail
# shellcheck source=lib.sh
source "$(dirname "$0")/lib.sh"

declare -rA LINE=([old]='1.0 20261205' [small]='1.1 20261206' [many]='1.2 20261207' [big]='1.3 20261208')
# moment, build served, build recorded afterwards, games started
readonly MOMENTS=(
  "pause1 small old 0" "pause2 small old 0" "fetch2 small old 0" "pause3 small old 0" "download3 big old 0"
  "pause4 many old 0" "extract4 many old 0" "ready5 small small 0" "played small small 1"
)
LOG_COUNT=0

setup_server() {
  local build i file
  for build in old small many big; do make_build "$TMP/build-$build"; done
  # 2000 entries at 5 ms each keep the extraction busy for over ten seconds.
  mkdir "$TMP/build-many/data/many"
  for ((i = 1; i <= 2000; i++)); do printf -v file '%s/f%04d' "$TMP/build-many/data/many" "$i" && echo "$i" >"$file"; done
  # Random bytes do not compress: 4 MiB served at 200 KiB/s download for 20 s.
  head -c 4194304 /dev/urandom >"$TMP/build-big/data/big.bin"
  for build in old small many big; do publish "$TMP/build-$build" "${LINE[$build]}" "$TMP/server"; done
  # A flag file makes the version file trickle out at 50 bytes a second, headers
  # included, so its request stays in flight for seconds.
  # shellcheck disable=SC2016 # nginx variables
  start_nginx "$TMP/server" 'location = /latest_version.txt { if (-f $document_root/slow) { set $limit_rate 50; } }
    location ~ "20261208\.zip$" { limit_rate 200k; }'
}

serve() {
  printf '%s' "${LINE[$1]}" >"$TMP/server/latest_version.tmp"
  mv "$TMP/server/latest_version.tmp" "$TMP/server/latest_version.txt"
}
# Answered version requests only: one cut off by a quit logs a shorter body.
version_requests() { grep -cF '"GET /latest_version.txt HTTP/1.1" 200 12 ' "$TMP/nginx/access.log" || true; }

# CASE/work holds the assets and an installed old build; CASE itself holds nothing
# else, so anything the launcher writes beside its working folder shows there.
case_workdir() {
  local w=$TMP/cases/$1/work
  rm -rf -- "$TMP/cases/$1"
  new_workdir "$w"
  cp -a "$TMP/build-old" "$w/game"
  printf '%s' "${LINE[old]}" >"$w/latest_version.txt"
  echo "$w"
}

leftovers_fine() {
  local w=$1 line=$2 games=$3 name=$4 problems=()
  [[ ! -e $w/temp.txt ]] || problems+=("temp.txt left")
  [[ ! -e $w/latest_version.txt.new ]] || problems+=("latest_version.txt.new left")
  file_holds "$w/latest_version.txt" "$line" || problems+=("latest_version.txt holds '$(cat "$w/latest_version.txt")'")
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
landed_pause1() { sleep 0.05 && [[ $(version_requests) == "$LOG_COUNT" ]]; }
reach_pause2() { sleep_ms $((T_WINDOW + 505 - $(now_ms))); }
landed_pause2() { landed_pause1; }
# temp.txt is opened just before the request goes out.
reach_fetch2() { wait_until 5 test -e "$1/temp.txt" && sleep 0.15; }
# Once the version file is served the package waits 250 ms before its request.
version_answered() { (($(version_requests) > LOG_COUNT)); }
reach_pause3() { wait_until 5 version_answered; }
landed_pause3() { [[ ! -e "$1/quarvel ${LINE[small]}.zip" ]]; }
reach_download3() {
  local package="$1/quarvel ${LINE[big]}.zip" size
  wait_until 5 test -s "$package" || return 1
  size=$(file_size "$package")
  sleep 0.3
  (($(file_size "$package") > size))
}
# A whole package waits 250 ms before its first entry.
package_whole() { [[ $(file_size "$1/quarvel ${LINE[many]}.zip") == "$(file_size "$TMP/server/quarvel ${LINE[many]}.zip")" ]]; }
reach_pause4() { wait_until 5 package_whole "$1"; }
landed_pause4() { [[ ! -e $1/game/data/many ]]; }
reach_extract4() { wait_until 5 test -d "$1/game/data/many" && file_holds "$1/latest_version.txt" "${LINE[old]}"; }
landed_extract4() { [[ -d $1/game/data/many && ! -e $1/game/data/many/f2000 ]]; }
reach_ready5() { wait_until 10 file_holds "$1/latest_version.txt" "${LINE[small]}"; }
game_ran() { (($(marker_lines) == 1)); }
reach_played() { reach_ready5 "$1" && click_button && wait_until 5 game_ran && sleep 0.1; }

# quit_at HOW MOMENT SERVED RECORDED GAMES
quit_at() {
  local how=$1 moment=$2 recorded=$4 games=$5 name="$2-$1" attempt w
  serve "$3"
  if [[ $moment == fetch2 ]]; then touch "$TMP/server/slow"; else rm -f "$TMP/server/slow"; fi
  for attempt in 1 2 3; do
    w=$(case_workdir "$name")
    LOG_COUNT=$(version_requests)
    start_launcher "$w" "$name"
    open_window "$name" || return 0
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
    check "$name: leaves no temporary files, latest_version.txt names the $recorded build, nothing outside" \
      leftovers_fine "$w" "${LINE[$recorded]}" "$games" "$name"
    return 0
  done
  not_ok "$name: the moment was reached within 3 attempts"
}

main() {
  (($# == 1)) || { echo "usage: $0 BIN_DIR" >&2; exit 2; }
  e2e_begin quit "$1" quarvel-launcher quarvel-close-window quarvel-publish Xvfb xdotool xprop nginx curl
  need_port
  start_xvfb
  setup_server
  local how row
  for how in Q close; do
    # shellcheck disable=SC2086 # a row is words
    for row in "${MOMENTS[@]}"; do quit_at $how $row; done
  done
  check "nothing was written to HOME or TMPDIR" test -z "$(find "$TMP/home" "$TMP/tmpdir" -mindepth 1)"
  e2e_end
}

main "$@"

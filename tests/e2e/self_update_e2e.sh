#!/usr/bin/env bash
# The launcher updating itself, real launchers (quarvel-launcher-self-VERSION, run from their players' folders as
# quarvel-launcher) in a real window against nginx: a newer launcher carried by a build is installed and runs
# from the next start with its new splash; a process ended at each kind of step of the replacement leaves a
# launcher that starts and finishes it; a launcher failing its self-check is not installed nor tried again; an
# older one is ignored; a key replacement (A, then B alone); a server move.
#   tests/e2e/self_update_e2e.sh BIN_DIR SOURCE_DIR [SCREENSHOT_DIR]
set -euo pipefail
# shellcheck source=lib.sh
source "$(dirname "$0")/lib.sh"

readonly KEY_A=$2/tests/keys/test.key KEY_B=$2/tests/keys/other.key
e2e_begin self-update "$1" quarvel-launcher-self-1.0.0 quarvel-launcher-self-1.3.0 quarvel-publish Xvfb xdotool xprop \
  import convert nginx
shots=${3:-$TMP} && mkdir -p -- "$shots"
MOVED_PORT=$((PORT + 5))
finish() { local status=$?; stop_pid "${NGINX2_PID:-}" || true; set +e; (exit "$status"); cleanup; }
trap finish EXIT

# carried DIR VERSION [SPLASH_COLOUR [BROKEN_ASSET]]: a launcher folder as its build leaves it.
carried() {
  mkdir -p "$1/linux" && cp "$BIN/quarvel-launcher-self-$2" "$1/linux/quarvel-launcher"
  (cd "$BIN" && cp -- "${ASSETS[@]}" "$1/linux/") && printf 'quarvel launcher %s\n' "$2" >"$1/linux/quarvel-launcher.version"
  cp "$BIN/quarvel-launcher-self-$2.keys" "$1/linux/quarvel-launcher.keys"
  [[ -z ${3:-} ]] || convert "$BIN/quarvel_splash.png" -fill "$3" -colorize 100 "$1/linux/quarvel_splash.png"
  [[ -z ${4:-} ]] || head -c 100 "$BIN/$4" >"$1/linux/$4"
}
# release N KEY [--launcher DIR]: publishes build N (its line "N.0 202612NN") signed with KEY into TMP/server.
line_of() { printf '%-3s 202612%02d' "$1.0" "$1"; }
release() {
  make_build "$TMP/build-$1" && echo "$1" >"$TMP/build-$1/data/n.txt"
  "$BIN/quarvel-publish" --sign "$3" "${@:4}" "$TMP/build-$1" "$(line_of "$1")" "$2" >/dev/null || die "publishing $1 failed"
}
player_with() {  # DIR VERSION: a player's folder whose launcher is that version
  new_workdir "$1" && cp "$BIN/quarvel-launcher-self-$2" "$1/quarvel-launcher"
}
# run_until DIR NAME PATTERN: starts DIR's launcher and waits for PATTERN in its log file.
run_until() {
  LAUNCHER=$1/quarvel-launcher open_window "$1" "$2"
  wait_until 60 grep -q "$3" "$1/quarvel-launcher.log" || die "$2: no '$3' in the log: $(tail -5 "$1/quarvel-launcher.log")"
}

mkdir -p "$TMP/server" && carried "$TMP/next" 1.1.0 '#c02020'
release 1 "$TMP/server" "$KEY_A" --launcher "$TMP/next"
start_nginx "$TMP/server"

w=$TMP/first && player_with "$w" 1.0.0
run_until "$w" first "The launcher was updated to version 1.1.0; the new one starts next time."
check "newer launcher: build 1 is recorded" file_holds "$w/latest_version.txt" "$(line_of 1)"
check "newer launcher: its files are in the launcher's folder" same_as_carried "$w" "$TMP/next/linux"
quit first
run_until "$w" second "has shown its first frame"
check "newer launcher: the next start runs version 1.1.0" runs_version "$w" 1.1.0
check "newer launcher: ... and shows its new splash" red_splash "$shots/self-updated.png"
check "newer launcher: nothing of the replacement is left once it has shown a frame" no_leftovers "$w"
quit second

# Ended at each kind of step. For N files: the record (step 1), N copies, the record (N + 2), N renames (the
# program's last, 2N + 2), the record.
n=$(find "$TMP/next/linux" -type f | wc -l)
for step in 1 $((n / 2 + 1)) $((n + 1)) $((n + 2)) $((n + 2 + n / 2)) $((2 * n + 1)) $((2 * n + 2)) $((2 * n + 3)); do
  k=$TMP/kill-$step && player_with "$k" 1.0.0
  QUARVEL_STOP_AT_SWAP_STEP=$step LAUNCHER=$k/quarvel-launcher start_launcher "$k" "kill-$step"
  wait_until 60 not is_running "$LAUNCHER_PID" || die "kill-$step: the launcher did not end itself"
  run_until "$k" "after-kill-$step" "Quarvel is up to date!"
  check "ended at step $step: the next start opens its window and finishes the replacement" \
    wait_until 30 same_as_carried "$k" "$TMP/next/linux"
  quit "after-kill-$step"
  run_until "$k" "third-$step" "Quarvel is up to date!"
  check "ended at step $step: the start after runs 1.1.0 with nothing left over" eval 'runs_version "$k" 1.1.0 && no_leftovers "$k"'
  quit "third-$step"
done

# A launcher that fails its self-check (an asset cut short), then an older one: both left alone.
carried "$TMP/broken" 1.9.0 "" launch.png && release 2 "$TMP/server" "$KEY_A" --launcher "$TMP/broken"
run_until "$w" broken "is not installed: its self-check ended with status 1"
check "failed self-check: build 2 is recorded all the same" file_holds "$w/latest_version.txt" "$(line_of 2)"
quit broken
run_until "$w" after-broken "Quarvel is up to date!"
check "failed self-check: the next start runs 1.1.0 and does not try again" eval 'runs_version "$w" 1.1.0 &&
  grep -q "1.9.0 could not be installed before" "$w/quarvel-launcher.log" && ! grep -q "self-check" "$w/quarvel-launcher.log"'
quit after-broken
carried "$TMP/older" 1.0.0 && release 3 "$TMP/server" "$KEY_A" --launcher "$TMP/older"
run_until "$w" older "not newer than this one (1.1.0)"
quit older

# Key replacement: build 4, signed with A, carries a launcher that trusts B alone; build 5 is signed with B only.
carried "$TMP/keyed" 1.2.0 && release 4 "$TMP/server" "$KEY_A" --launcher "$TMP/keyed"
run_until "$w" rekey "The launcher was updated to version 1.2.0"
quit rekey
release 5 "$TMP/server" "$KEY_B"
run_until "$w" signed-by-b "Quarvel is up to date!"
check "key replacement: launcher 1.2.0 installs build 5, signed with key B alone" file_holds "$w/latest_version.txt" "$(line_of 5)"
quit signed-by-b

# Server move: build 6 carries a launcher that asks another port, where build 7 waits.
carried "$TMP/moved" 1.3.0 && release 6 "$TMP/server" "$KEY_B" --launcher "$TMP/moved"
mkdir -p "$TMP/new-host" && release 7 "$TMP/new-host" "$KEY_B"
write_nginx_conf "$TMP/nginx2" "$TMP/new-host" "$MOVED_PORT" "" && start_nginx_on "$TMP/nginx2" && NGINX2_PID=$SERVER_PID
run_until "$w" move "The launcher was updated to version 1.3.0"
quit move
run_until "$w" moved "Quarvel is up to date!"
check "server move: launcher 1.3.0 installs build 7 from the new address" file_holds "$w/latest_version.txt" "$(line_of 7)"
check "server move: ... which its log names" grep -q "update server: http://127.0.0.1:$MOVED_PORT/" "$w/quarvel-launcher.log"
quit moved
e2e_end

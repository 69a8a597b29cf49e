#!/usr/bin/env bash
# The Windows launcher updating itself, real launchers of several versions (quarvel-launcher-self-VERSION, run from
# their players' folders under the launcher's own name) in a real window under Wine against nginx (the Linux one
# replaces itself in the studio guide's run): a newer launcher carried by a build replaces the running program and
# runs from the next start with its red splash; a process ended at a copy, a rename and the program's own rename
# leaves a launcher that starts and finishes the replacement (the in-process tests end one at every step); a launcher
# failing its self-check and an older one are not installed; a file held without sharing leaves the old launcher
# working and a line naming the file, and a later start tries again.
#   tests/e2e/self_update_e2e.sh BUILD_DIR WINE PUBLISH_TOOL
set -euo pipefail
here=$(dirname "$0")
# shellcheck source=lib.sh
source "$here/lib.sh"

readonly KEY_A=$here/../keys/test.key WINE=$2 PUBLISH=$3 PROGRAM=quarvel-launcher.exe
wine_e2e_begin wine-self-update "$1" quarvel-test-program.exe

# with_launcher DIR VERSION: DIR gets launcher VERSION's program, its libraries and assets.
with_launcher() { new_workdir "$1" && cp "$BIN/quarvel-launcher-self-$2.exe" "$1/$PROGRAM" && cp "$BIN"/*.dll "$1/"; }
# carried NAME VERSION [VERSION_FILE_SAYS]: a launcher folder as its build leaves it, in TMP/NAME/windows.
carried() {
  local d=$TMP/$1/windows && with_launcher "$d" "$2" && printf 'quarvel launcher %s\n' "${3:-$2}" >"$d/quarvel-launcher.version"
  cp "$BIN/quarvel-launcher-self-$2.keys" "$d/quarvel-launcher.keys"
}
# release N SITE KEY [--launcher DIR]: build N, its line "N.0 202612NN", signed with KEY into SITE.
release() {
  make_build "$TMP/build-$1" && echo "$1" >"$TMP/build-$1/data/n.txt"
  "$PUBLISH" --sign "$3" "${@:4}" "$TMP/build-$1" "$(line_of "$1")" "$2" >/dev/null || die "publishing $1 failed"
}
# start_in DIR NAME: the launcher of the folder DIR, as its shortcut starts it; run_until DIR NAME PATTERN: until
# its window shows (WID) and PATTERN is in its log file.
start_in() { (cd "$1" && exec "$WINE" "$PROGRAM") >"$TMP/$2.out" 2>"$TMP/$2.err" & LAUNCHER_PID=$!; }
run_until() {
  wine_start "$1" "$PROGRAM" "$2"
  wait_until 120 grep -q "$3" "$1/quarvel-launcher.log" || die "$2: no '$3' in the log: $(tail -5 "$1/quarvel-launcher.log")"
}

carried next 1.1.0 && L=$TMP/next/windows
convert "$BIN/quarvel_splash.png" -fill '#c02020' -colorize 100 "$L/quarvel_splash.png"
mkdir -p "$TMP/server" && release 1 "$TMP/server" "$KEY_A" --launcher "$TMP/next"
start_nginx "$TMP/server"

w=$TMP/first && with_launcher "$w" 1.0.0
run_until "$w" first "The launcher was updated to version 1.1.0; the new one starts next time."
check "newer launcher: its files, the running program's included, are in place" same_as_carried "$w" "$L"
quit first
run_until "$w" second "has shown its first frame"
check "newer launcher: the next start runs version 1.1.0" runs_version "$w" 1.1.0
check "newer launcher: ... and shows its red splash" red_splash "$TMP/self-updated.png"
check "newer launcher: nothing of the replacement is left once it has shown a frame" no_leftovers "$w"
quit second

# Ended at a copy, a rename and the program's own rename. For N files: the record (step 1), N copies, the record
# (N + 2), N renames (the program's last, 2N + 2), the record.
n=$(find "$L" -type f | wc -l)
for step in $((n / 2 + 1)) $((n + 2 + n / 2)) $((2 * n + 2)); do
  k=$TMP/kill-$step && with_launcher "$k" 1.0.0
  QUARVEL_STOP_AT_SWAP_STEP=$step start_in "$k" "kill-$step"
  wait_until 120 not is_running "$LAUNCHER_PID" || die "kill-$step: the launcher did not end itself"
  run_until "$k" "after-kill-$step" "Quarvel is up to date!"
  check "ended at step $step: the next start opens its window and finishes the replacement" wait_until 60 same_as_carried "$k" "$L"
  quit "after-kill-$step"
done

# A launcher whose self-check fails (its version file says 1.5.0 beside program 1.3.0), then an older one: both
# left alone.
carried broken 1.3.0 1.5.0 && release 2 "$TMP/server" "$KEY_A" --launcher "$TMP/broken"
run_until "$w" broken "launcher 1.5.0 is not installed: its self-check ended with status 3; it is not tried again"
quit broken
carried older 1.0.0 && release 3 "$TMP/server" "$KEY_A" --launcher "$TMP/older"
run_until "$w" older "not newer than this one (1.1.0)"
check "failed self-check, older launcher: build 3 is installed and 1.1.0 runs" \
  eval 'holds_build "$w/latest_version.txt" "$(line_of 3)" && runs_version "$w" 1.1.0 && same_as_carried "$w" "$L"'
quit older


# hold NAME FILE: FILE of the folder NAME held open without sharing by another program (its pid in holder).
hold() {
  (cd "$TMP/$1" && exec "$WINE" "$BIN/quarvel-test-program.exe" hold "$2") >"$TMP/$1-holder.out" 2>&1 & holder=$!
  wait_until 60 grep -q held "$TMP/$1-holder.out" || die "the file was not held: $(cat "$TMP/$1-holder.out")"
}
release_hold() { kill "$holder" 2>/dev/null; wait "$holder" 2>/dev/null || true; }
release 4 "$TMP/server" "$KEY_A" --launcher "$TMP/next" # for the players of launcher 1.0.0 below
h=$TMP/held && with_launcher "$h" 1.0.0 && hold held launch.png
run_until "$h" held "launch.png cannot be replaced"
check "held file: the launcher names the file and tries again at a later start" \
  grep -q "launcher 1.1.0 is not installed: launch.png cannot be replaced: .*; it is tried again at a later start" "$h/quarvel-launcher.log"
check "held file: the program and the files replaced before are the previous ones again" \
  eval 'cmp -s "$h/$PROGRAM" "$BIN/quarvel-launcher-self-1.0.0.exe" && cmp -s "$h/LTYPE.TTF" "$BIN/LTYPE.TTF" && no_leftovers "$h"'
quit held
release_hold
run_until "$h" after-held "The launcher was updated to version 1.1.0"
check "held file: the next start, 1.0.0 still, installs 1.1.0 once the file is free" runs_version "$h" 1.0.0
quit after-held

# Ended while putting files back after launch.png could not be replaced: the record of the way back is the step
# after the last rename that worked, and the next start goes on back (then tries again, the file now free).
r=$TMP/held-ended && with_launcher "$r" 1.0.0 && hold held-ended launch.png
step=$((n + 2 + $(ls "$L" | LC_ALL=C sort | awk '$0 == "launch.png" { print NR; exit }')))
QUARVEL_STOP_AT_SWAP_STEP=$step start_in "$r" held-ended
wait_until 120 not is_running "$LAUNCHER_PID" || die "held-ended: the launcher did not end itself"
release_hold
check "ended on the way back: the record says so" grep -q "^state rolling back$" "$r/launcher-update.txt"
run_until "$r" after-held-ended "The launcher was updated to version 1.1.0"
check "ended on the way back: the next start finishes the way back before it tries again" \
  grep -q "launcher 1.1.0 is not installed: it had failed and was being undone" "$r/quarvel-launcher.log"
quit after-held-ended
e2e_end

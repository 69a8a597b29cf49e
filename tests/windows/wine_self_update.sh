#!/usr/bin/env bash
# The Windows launcher updating itself under Wine against nginx, builds signed with the test key by the Linux
# quarvel-publish, each player's folder holding launcher 1.0.0 as the installer leaves it: launcher 1.1.0 carried
# by a build replaces the running program and runs from the next start with its red splash; a process ended at
# each kind of step leaves a launcher that starts and finishes the replacement; a file held without sharing by
# another program leaves the old launcher working, a line in the log naming the file, and a later start tries again;
# a launcher failing its self-check and an older one are not installed.
#   tests/windows/wine_self_update.sh WINE BUILD_DIR FAKE_GAME PUBLISH_TOOL
set -euo pipefail
here=$(dirname "$0")
# shellcheck source=../e2e/lib.sh
source "$here/../e2e/lib.sh"

WINE=$1 BUILD=$2 FAKE_GAME=$3 PUBLISH=$4 PORT=18471 # the port the self-update launchers ask
[[ -x $PUBLISH ]] || { echo "1..0 # SKIP no Linux quarvel-publish at $PUBLISH"; exit 77; }
e2e_begin wine-self-update "$BUILD/bin" Xvfb evilwm xdotool xprop import convert nginx \
  quarvel-launcher-self-1.0.0.exe quarvel-launcher-self-1.1.0.exe quarvel-hold-file.exe
wine_begin "$BUILD/wineprefix"

# carried NAME PROGRAM_VERSION [VERSION_FILE_SAYS]: a Windows launcher folder as its build leaves it, in TMP/NAME.
carried() {
  local d=$TMP/$1/windows && mkdir -p "$d" && cp "$BUILD"/bin/*.dll "$d/"
  cp "$BUILD/bin/quarvel-launcher-self-$2.exe" "$d/quarvel-launcher.exe" && (cd "$BUILD/bin" && cp -- "${ASSETS[@]}" "$d/")
  printf 'quarvel launcher %s\n' "${3:-$2}" >"$d/quarvel-launcher.version"
  cp "$BUILD/bin/quarvel-launcher-self-$2.keys" "$d/quarvel-launcher.keys"
}
# release N KEY SITE [--launcher DIR]: build N, line "N.0 202612NN", signed with KEY (test or other) into SITE.
line_of() { printf '%-3s 202612%02d' "$1.0" "$1"; }
release() {
  install -D "$FAKE_GAME" "$TMP/build-$1/details/Quarvel.exe" && echo "$1" >"$TMP/build-$1/n.txt"
  "$PUBLISH" --sign "$here/../keys/$2.key" "${@:4}" "$TMP/build-$1" "$(line_of "$1")" "$3" >/dev/null || die "publishing $1 failed"
}
# The carried launcher: 1.1.0 with a red splash.
carried next 1.1.0 && L=$TMP/next/windows
convert "$BUILD/bin/quarvel_splash.png" -fill '#c02020' -colorize 100 "$L/quarvel_splash.png"
mkdir -p "$TMP/site" && release 1 test "$TMP/site" --launcher "$TMP/next"
start_nginx "$TMP/site"

player() {  # DIR: a player's folder with launcher 1.0.0
  mkdir -p "$1" && cp "$BUILD"/bin/*.dll "$1/" && cp "$BUILD/bin/quarvel-launcher-self-1.0.0.exe" "$1/quarvel-launcher.exe"
  new_workdir "$1"
}
# run_until DIR NAME PATTERN: the launcher in DIR, until PATTERN shows in its log file.
run_until() {
  wine_start "$1" quarvel-launcher.exe "$2"
  wait_until 120 grep -q "$3" "$1/quarvel-launcher.log" || die "$2: no '$3' in the log: $(tail -5 "$1/quarvel-launcher.log")"
}

w=$TMP/first && player "$w"
run_until "$w" first "The launcher was updated to version 1.1.0; the new one starts next time."
check "newer launcher: its files, the running program's included, are in place" same_as_carried "$w" "$L"
quit first
run_until "$w" second "has shown its first frame"
check "newer launcher: the next start runs 1.1.0" runs_version "$w" 1.1.0
check "newer launcher: ... shows its red splash" red_splash "$TMP/wine-self-updated.png"
check "newer launcher: ... and nothing of the replacement is left" no_leftovers "$w"
quit second

# A launcher whose self-check fails (its version file says 1.5.0 beside program 1.3.0), then an older one: both
# left alone. (A key replacement and a server move are the same code on both systems: the Linux run has them.)
carried broken 1.3.0 1.5.0 && release 2 test "$TMP/site" --launcher "$TMP/broken"
run_until "$w" broken "launcher 1.5.0 is not installed: its self-check ended with status 3; it is not tried again"
quit broken
carried older 1.0.0 && release 3 test "$TMP/site" --launcher "$TMP/older"
run_until "$w" older "not newer than this one (1.1.0)"
check "failed self-check, older launcher: build 3 is installed and 1.1.0 runs" \
  eval 'file_holds "$w/latest_version.txt" "$(line_of 3)" && runs_version "$w" 1.1.0 && same_as_carried "$w" "$L"'
quit older
release 4 test "$TMP/site" --launcher "$TMP/next"  # for the players of launcher 1.0.0 below

# For N files: the record (step 1), N copies, the record (N + 2), N renames (the program's last, 2N + 2), the record.
n=$(find "$L" -type f | wc -l)
for step in 1 $((n / 2 + 1)) $((n + 2)) $((n + 2 + n / 2)) $((2 * n + 2)) $((2 * n + 3)); do
  k=$TMP/kill-$step && player "$k"
  (cd "$k" && QUARVEL_STOP_AT_SWAP_STEP=$step exec "$WINE" quarvel-launcher.exe) >"$TMP/kill-$step.out" 2>&1 &
  LAUNCHER_PID=$!
  wait_until 120 not is_running "$LAUNCHER_PID" || die "kill-$step: the launcher did not end itself"
  run_until "$k" "after-kill-$step" "Quarvel is up to date!"
  check "ended at step $step: the next start opens its window and finishes the replacement" wait_until 60 same_as_carried "$k" "$L"
  quit "after-kill-$step"
  run_until "$k" "third-$step" "Quarvel is up to date!"
  check "ended at step $step: the start after runs 1.1.0 with nothing left over" eval 'runs_version "$k" 1.1.0 && no_leftovers "$k"'
  quit "third-$step"
done

h=$TMP/held && player "$h"
(cd "$h" && exec "$WINE" "$BUILD/bin/quarvel-hold-file.exe" launch.png) >"$TMP/holder.out" 2>&1 & holder=$!
wait_until 60 grep -q held "$TMP/holder.out" || die "the file was not held: $(cat "$TMP/holder.out")"
run_until "$h" held "launch.png cannot be replaced"
check "held file: the launcher names the file and tries again at a later start" \
  grep -q "launcher 1.1.0 is not installed: launch.png cannot be replaced: .*; it is tried again at a later start" "$h/quarvel-launcher.log"
check "held file: the program and the files replaced before are the previous ones again" \
  eval 'cmp -s "$h/quarvel-launcher.exe" "$BUILD/bin/quarvel-launcher-self-1.0.0.exe" && cmp -s "$h/LTYPE.TTF" "$BUILD/bin/LTYPE.TTF" && no_leftovers "$h"'
quit held
kill "$holder" 2>/dev/null; wait "$holder" 2>/dev/null || true
run_until "$h" after-held "The launcher was updated to version 1.1.0"
check "held file: the next start, 1.0.0 still, installs 1.1.0 once the file is free" runs_version "$h" 1.0.0
quit after-held

# Ended while putting files back after launch.png could not be replaced: the record of the way back is the step
# after the last rename that worked, and the next start goes on back (then tries again, the file now free).
r=$TMP/held-ended && player "$r"
(cd "$r" && exec "$WINE" "$BUILD/bin/quarvel-hold-file.exe" launch.png) >"$TMP/holder2.out" 2>&1 & holder=$!
wait_until 60 grep -q held "$TMP/holder2.out" || die "the file was not held: $(cat "$TMP/holder2.out")"
step=$((n + 2 + $(ls "$L" | LC_ALL=C sort | awk '$0 == "launch.png" { print NR; exit }')))
(cd "$r" && QUARVEL_STOP_AT_SWAP_STEP=$step exec "$WINE" quarvel-launcher.exe) >"$TMP/held-ended.out" 2>&1 & LAUNCHER_PID=$!
wait_until 120 not is_running "$LAUNCHER_PID" || die "held-ended: the launcher did not end itself"
kill "$holder" 2>/dev/null; wait "$holder" 2>/dev/null || true
check "ended on the way back: the record says so" grep -q "^state rolling back$" "$r/launcher-update.txt"
run_until "$r" after-held-ended "The launcher was updated to version 1.1.0"
check "ended on the way back: the next start finishes the way back before it tries again" \
  grep -q "launcher 1.1.0 is not installed: it had failed and was being undone" "$r/quarvel-launcher.log"
quit after-held-ended

"$(dirname "$WINE")/wineserver" -w || true
e2e_end

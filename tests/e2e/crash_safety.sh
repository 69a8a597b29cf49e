#!/usr/bin/env bash
# SIGKILL at 30 random moments of an update from build A to B, each followed by the checks of what a kill may
# leave (a record left means the next start offers no build until it is finished: the in-process tests of
# interrupted updates show that); the first kill in the download and the first in the extraction are followed by a
# run that must finish the update.
#   tests/e2e/crash_safety.sh BIN_DIR [SEED]    (SEED replays the kill moments of a run)
set -euo pipefail
# shellcheck source=lib.sh
source "$(dirname "$0")/lib.sh"

readonly OLD='1.0 20261205' NEW='1.1 20261206' KILLS=30
# A and B hold the same 300 files with other contents, some 4 MiB in all, so a file that B only half
# replaced differs from B's; B adds a few files of its own.
make_files() {
  make_build "$1" && for ((i = 1; i <= $2; i++)); do head -c $((i * 97 % 28000 + 1)) /dev/urandom >"$1/data/file$i.bin"; done
}
# run_to LINE DIR: runs the launcher in DIR until latest_version.txt names LINE.
run_to() {
  local rc=0 && start_launcher "$2" run && wait_until 60 holds_build "$2/latest_version.txt" "$1" || rc=1
  stop_pid "$LAUNCHER_PID" && return $rc
}
complete() { (cd "$1/game" && sha256sum --quiet --strict -c "$TMP/$2.sums" >/dev/null 2>&1); }
# How far the update had come, from what it left on disk.
progress() {
  if holds_build "$1/latest_version.txt" "$NEW"; then echo recorded
  elif [[ ! -e "$1/quarvel $NEW.zip" ]]; then echo before-download
  elif (($(stat -c %s -- "$1/quarvel $NEW.zip") < $(stat -c %s -- "$TMP/server/quarvel $NEW.zip"))); then echo downloading
  else echo extracting; fi
}
# What a kill may leave: A's line, or B's with all of B in place; game/ as the version file says, or the
# record that B is being written; the temporary version file never in the version file's place; nothing
# beside the working folder; no failed check or sanitizer report.
after_kill_fine() {
  local line && line=$(cat "$1/latest_version.txt" 2>/dev/null) || echo "# latest_version.txt is gone"
  echo "# latest_version.txt holds '$line'; beside the working folder: $(ls -A "$1/.." | tr '\n' ' ')"
  [[ $line == "$OLD" ]] || { [[ $line == "$NEW" ]] && complete "$1" new; } || return 1
  file_holds "$1/update_in_progress.txt" "$NEW" || complete "$1" "$([[ $line == "$OLD" ]] && echo old || echo new)" || return 1
  [[ ! $1/latest_version.txt -ef $1/latest_version.txt.new && "$(ls -A "$1/..")" == work ]] &&
    ! grep -E 'Assertion failed|Sanitizer|runtime error' "$TMP/$2".{out,err}
}

e2e_begin crash "$1" quarvel-launcher-e2e quarvel-publish Xvfb nginx sha256sum
seed=${2:-$(($(date +%s) % 32768))} installed=$TMP/installed/work reference=$TMP/reference/work
make_files "$TMP/build-old" 300
make_files "$TMP/build-new" 305
for b in old new; do (cd "$TMP/build-$b" && find . -type f -print0 | xargs -0 sha256sum) >"$TMP/$b.sums"; done
publish "$TMP/build-old" "$OLD" "$TMP/server"
# Throttled to a fast line's pace, so that some kills land in the download too.
readonly THROTTLE='location ~ \.zip$ { limit_rate 16m; }'
start_nginx "$TMP/server" "$THROTTLE"

# A, installed by the launcher itself; one undisturbed update to B gives the time the kills are spread
# over, a sixth of it past the end so that some find B recorded.
new_workdir "$installed"
run_to "$OLD" "$installed" || die "the launcher did not install build A"
publish "$TMP/build-new" "$NEW" "$TMP/server"
mkdir -p "$TMP/reference" && cp -a "$installed" "$reference"
start=$(now_ms)
run_to "$NEW" "$reference" || die "an undisturbed update from A to B did not finish in 60 s"
range=$((($(now_ms) - start) * 6 / 5)) recovered=""
check "an undisturbed update installs every file of B" complete "$reference" new

RANDOM=$seed
echo "# seed $seed: $KILLS kills spread over 0 to $range ms"
for ((n = 1; n <= KILLS; n++)); do
  delay=$((RANDOM * (range + 1) / 32768)) w=$TMP/kill-$n/work
  mkdir -p "$TMP/kill-$n" && cp -a "$installed" "$w"
  start_launcher "$w" "kill-$n"
  sleep "$(printf '%d.%03d' $((delay / 1000)) $((delay % 1000)))"
  kill -KILL "$LAUNCHER_PID" && wait "$LAUNCHER_PID" 2>/dev/null || true
  outcome=$(progress "$w")
  check "kill $n after $delay ms ($outcome): latest_version.txt names A or a complete B" after_kill_fine "$w" "kill-$n"
  if [[ $outcome == @(downloading|extracting) && $recovered != *$outcome* ]]; then
    recovered+=" $outcome"
    check "kill $n: the next run completes the update to B" eval 'run_to "$NEW" "$w" && complete "$w" new'
  fi
  rm -rf -- "$TMP/kill-$n"
done
e2e_end

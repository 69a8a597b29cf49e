#!/usr/bin/env bash
# 200 starts in a row, the launcher's asset files copied into a fresh working folder just before each, as an
# installer's "run now" does: every start shows its window within 5 s. A start without any display ends with a
# message and status 1.
#   tests/e2e/window_every_start.sh BIN_DIR [STARTS]
set -euo pipefail
# shellcheck source=lib.sh
source "$(dirname "$0")/lib.sh"

e2e_begin starts "$1" quarvel-launcher-e2e Xvfb xdotool xprop
starts=${2:-200} shown=0 missing=""
for ((n = 1; n <= starts; n++)); do
  rm -rf -- "$TMP/start" && new_workdir "$TMP/start/work"
  start_launcher "$TMP/start/work" start
  if wait_until 5 find_window; then ((++shown)); else missing+=" $n ($(tail -c 300 "$TMP/start.err"))"; fi
  stop_pid "$LAUNCHER_PID" && LAUNCHER_PID=""
done
check "every one of $starts starts showed its window within 5 s ($shown did;${missing:- none missing})" test "$shown" = "$starts"

w=$TMP/nodisplay/work && new_workdir "$w"
status=0 && (cd "$w" && env -u DISPLAY -u WAYLAND_DISPLAY HOME="$TMP/home" timeout 60 "$LAUNCHER") >"$TMP/nodisplay.out" \
  2>"$TMP/nodisplay.err" || status=$?
message='Quarvel Launcher cannot open its window: no display could be opened'
check "without a display: status 1, the message on standard error and in the log file, no assertion (status $status)" \
  eval '((status == 1)) && grep -qF "$message" "$TMP/nodisplay.err" && grep -qF "$message" "$w/quarvel-launcher.log" &&
        ! grep -q "Assertion" "$TMP/nodisplay.err" && test ! -e "$w/game"'
e2e_end

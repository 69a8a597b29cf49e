#!/usr/bin/env bash
# Two launchers started in one folder, 0 to 500 ms apart, against a server that answers a second request for the
# package with another program: that program is never installed, the second window says why it does nothing and
# keeps its button disabled, and both end on Q. A start without any display ends with a message and status 1.
#   tests/e2e/one_launcher_e2e.sh BIN_DIR [SCREENSHOT_DIR]
set -euo pipefail
# shellcheck source=lib.sh
source "$(dirname "$0")/lib.sh"

readonly LINE='1.0 20261205' ANOTHER='Another Quarvel Launcher is already running in this folder.'
e2e_begin one "$1" quarvel-launcher-e2e quarvel-publish Xvfb xdotool xprop import convert python3
shots=${2:-$TMP} && mkdir -p -- "$shots"
make_build "$TMP/build" && publish "$TMP/build" "$LINE" "$TMP/site/server"
make_build "$TMP/other" && echo '# another program' >>"$TMP/other/details/Quarvel.exe"
publish "$TMP/other" "$LINE" "$TMP/site/server/second"
! port_open || die "port $PORT is already in use"
: >"$TMP/site/requests.log"
python3 "$(dirname "$0")/second_answer_differs.py" "$PORT" "$TMP/site/server" 2>"$TMP/server.err" & NGINX_PID=$!
wait_until 10 port_open || die "the test server did not start: $(cat "$TMP/server.err")"
packages_asked() { grep -c '\.zip$' "$TMP/site/requests.log" || true; }

for offset in 0 100 200 300 400 500; do
  curl -s "http://127.0.0.1:$PORT/reset" >/dev/null || true
  w=$TMP/round-$offset/work && new_workdir "$w" && before=$(packages_asked)
  start_launcher "$w" "first-$offset" && pids=("$LAUNCHER_PID")
  sleep "0.$(printf '%03d' "$offset")"
  start_launcher "$w" "second-$offset" && pids+=("$LAUNCHER_PID")
  wait_until 30 file_holds "$w/latest_version.txt" "$LINE" || true
  refused_pid="" refused=""
  for i in 0 1; do
    name=$([[ $i == 0 ]] && echo first || echo second)
    grep -qFx "$ANOTHER" "$TMP/$name-$offset.err" && refused_pid=${pids[$i]} refused+="$name "
  done
  check "$offset ms apart: exactly one launcher says another runs in the folder (${refused:-none})" \
    test "$(wc -w <<<"$refused")" = 1
  check "$offset ms apart: the first answer's program is installed, the package asked for once" \
    eval 'cmp -s "$TMP/build/details/Quarvel.exe" "$w/game/details/Quarvel.exe" && (($(packages_asked) == before + 1))'
  for pid in "${pids[@]}"; do
    LAUNCHER_PID=$pid && wait_until 20 find_window || die "$offset ms apart: no window for $pid"
    if [[ $pid == "$refused_pid" ]]; then
      check "$offset ms apart: the refused window keeps its button disabled" \
        not shows_enabled "$shots/second-launcher-$offset.png"
      quit "$offset ms apart, the refused launcher"
    else
      quit "$offset ms apart, the working launcher"
    fi
  done
done

w=$TMP/nodisplay/work && new_workdir "$w"
status=0 && (cd "$w" && env -u DISPLAY -u WAYLAND_DISPLAY HOME="$TMP/home" timeout 60 "$LAUNCHER") >"$TMP/nodisplay.out" \
  2>"$TMP/nodisplay.err" || status=$?
message='Quarvel Launcher cannot open its window: no display could be opened'
check "without a display: status 1, the message on standard error and in the log file, no assertion (status $status)" \
  eval '((status == 1)) && grep -qF "$message" "$TMP/nodisplay.err" && grep -qF "$message" "$w/quarvel-launcher.log" &&
        ! grep -q "Assertion" "$TMP/nodisplay.err" && test ! -e "$w/game"'
e2e_end

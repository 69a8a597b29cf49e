# Helpers shared by the end-to-end scripts: TAP-style results, waits that cannot hang,
# and process handling. The scripts set PORT, CHECKS, FAILED, TMP and the *_PID
# variables before using them.

ok() { CHECKS=$((CHECKS + 1)); echo "ok $CHECKS - $1"; }
not_ok() { CHECKS=$((CHECKS + 1)) FAILED=$((FAILED + 1)); echo "not ok $CHECKS - $1"; }
check() { if "${@:2}"; then ok "$1"; else not_ok "$1"; fi; }
die() { echo "Bail out! $*"; exit 1; }

now_ms() { echo $(($(date +%s%N) / 1000000)); }
sleep_ms() { (($1 <= 0)) || sleep "$(printf '%d.%03d' $(($1 / 1000)) $(($1 % 1000)))"; }
# wait_until SECONDS COMMAND...: polls every 10 ms, so moments a few frames long are caught.
wait_until() {
  local deadline=$(($(now_ms) + $1 * 1000))
  until "${@:2}"; do
    (($(now_ms) < deadline)) || return 1
    sleep 0.01
  done
}
not() { ! "$@"; }
file_holds() { [[ -f $1 && "$(cat -- "$1")" == "$2" ]]; }
file_size() { stat -c %s -- "$1" 2>/dev/null || echo 0; }
port_open() { (exec 3<>"/dev/tcp/127.0.0.1/$PORT") 2>/dev/null; }
# A zombie no longer runs, though kill -0 still reaches it.
is_running() {
  local state=""
  [[ -n $1 ]] && { read -r _ _ state _ <"/proc/$1/stat"; } 2>/dev/null || true
  [[ -n $state && $state != Z ]]
}
stop_pid() {
  is_running "$1" || return 0
  kill -TERM "$1" 2>/dev/null || true
  wait_until 3 not is_running "$1" || kill -KILL "$1" 2>/dev/null || true
  wait "$1" 2>/dev/null || true
}
# The exit trap: stops what the script started and removes its temporary folder.
cleanup() {
  local status=$? pid
  for pid in "$LAUNCHER_PID" "$NGINX_PID" "$XVFB_PID"; do stop_pid "$pid"; done
  [[ -z $TMP ]] || rm -rf -- "$TMP"
  exit "$status"
}
# A screen the size of the launcher's window, so that it sits at 0,0; sets DISPLAY.
start_xvfb() {
  Xvfb -displayfd 5 -screen 0 640x480x24 -nolisten tcp -noreset 5>"$TMP/display" >"$TMP/xvfb.log" 2>&1 &
  XVFB_PID=$!
  wait_until 10 grep -q '^[0-9][0-9]*$' "$TMP/display" || die "Xvfb did not start"
  DISPLAY=":$(head -n 1 "$TMP/display")"
  export DISPLAY
}

#!/usr/bin/env bash
# Checks quarvel-publish --check against a real nginx: a folder filled by the tool
# itself must pass, and the same folder without its package must not.
#
#   tests/publish_check_test.sh PATH/TO/quarvel-publish
#
# Prints one "ok - ..." / "not ok - ..." line per check; exits 0 only when all pass.
set -euo pipefail
# shellcheck source=../scripts/lib/serve.sh
source "$(dirname "$0")/../scripts/lib/serve.sh"

readonly LINE='1.0 20261205'
PUBLISH=""
TMP=""
NGINX_PID=""
PORT=""
FAILED=0
CHECKS=0

check() {
  local description=$1
  shift
  CHECKS=$((CHECKS + 1))
  if "$@"; then echo "ok $CHECKS - $description"; else echo "not ok $CHECKS - $description"; FAILED=$((FAILED + 1)); fi
}

# A zombie still answers kill -0, so the process state is read instead.
is_running() {
  local state=""
  { read -r _ _ state _ <"/proc/$1/stat"; } 2>/dev/null || return 1
  [[ $state != Z ]]
}

stop_nginx() {
  [[ -n $NGINX_PID ]] || return 0
  kill -TERM "$NGINX_PID" 2>/dev/null || true
  local i
  for ((i = 0; i < 100; i++)); do
    is_running "$NGINX_PID" || break
    sleep 0.1
  done
  kill -KILL "$NGINX_PID" 2>/dev/null || true
  wait "$NGINX_PID" 2>/dev/null || true
  NGINX_PID=""
}

cleanup() {
  local status=$?
  stop_nginx
  [[ -z $TMP ]] || rm -rf -- "$TMP"
  exit "$status"
}

# Serves ROOT on a free port; a port taken between the pick and the bind is picked again.
start_nginx() {
  local root=$1 prefix=$TMP/nginx
  mkdir -p "$prefix"
  for _ in 1 2 3 4 5; do
    PORT=$(timeout 10 python3 -c \
      'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
    write_nginx_conf "$prefix" "$root" "$PORT"
    start_nginx_on "$prefix"
    NGINX_PID=$SERVER_PID
    # shellcheck disable=SC2016 # the inner shell expands its own arguments
    timeout 10 bash -c 'until curl -s --noproxy "*" --max-time 1 -o /dev/null "$1"; do
        kill -0 "$2" || exit 1
        sleep 0.1
      done' _ "http://127.0.0.1:$PORT/" "$NGINX_PID" 2>/dev/null && return 0
    stop_nginx
  done
  echo "Bail out! nginx did not start"
  cat "$prefix"/*.log
  exit 1
}

# run_check URL: runs --check and keeps its report and status for the checks that follow.
run_check() {
  local status=0
  timeout 60 "$PUBLISH" --check "$1" >"$TMP/report" 2>&1 || status=$?
  sed 's/^/#   /' "$TMP/report"
  echo "$status" >"$TMP/status"
}
report_has() { grep -qF -- "$1" "$TMP/report"; }
status_is() { [[ $(cat "$TMP/status") == "$1" ]]; }

main() {
  if (($# != 1)) || [[ ! -x $1 ]]; then
    echo "usage: $0 PATH/TO/quarvel-publish" >&2
    exit 2
  fi
  PUBLISH=$1
  command -v nginx >/dev/null || PATH=$PATH:/usr/sbin
  unset http_proxy https_proxy all_proxy HTTP_PROXY HTTPS_PROXY ALL_PROXY  # straight to the local server
  TMP=$(mktemp -d /tmp/quarvel-publish-check.XXXXXX)
  trap cleanup EXIT
  trap 'exit 130' INT TERM

  # A tiny build, published below the web root as on a server shared with other sites.
  mkdir -p "$TMP/build/details" "$TMP/www/quarvel builds"
  printf '#!/bin/sh\necho playing\n' >"$TMP/build/details/Quarvel.exe"
  chmod 755 "$TMP/build/details/Quarvel.exe"
  check "publishing a small build succeeds" timeout 60 "$PUBLISH" "$TMP/build" "$LINE" "$TMP/www/quarvel builds"
  start_nginx "$TMP/www"
  local url="127.0.0.1:$PORT/quarvel%20builds/"

  run_check "$url"
  check "--check passes on the published folder" status_is 0
  check "the version line is reported" report_has "ok: latest_version.txt answers 200 with the version line '$LINE'"
  check "the game program is reported present" report_has "ok: details/Quarvel.exe is present and executable"
  check "the package was asked for with blanks as %20" \
    grep -qF "GET /quarvel%20builds/quarvel%201.0%2020261205.zip HTTP/1.1\" 200" "$TMP/nginx/access.log"

  rm -- "$TMP/www/quarvel builds/quarvel $LINE.zip"
  run_check "$url"
  check "--check fails once the package is gone" status_is 1
  check "the missing package is reported as nginx's error page" report_has "problem: 'quarvel $LINE.zip' answers 404"

  echo "1..$CHECKS"
  ((FAILED == 0))
}

main "$@"

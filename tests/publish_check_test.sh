#!/usr/bin/env bash
# Checks quarvel-publish --check against a real nginx: a folder filled by the tool
# itself must pass, and the same folder without its package must not.
#   tests/publish_check_test.sh PATH/TO/quarvel-publish
set -euo pipefail
# shellcheck source=e2e/lib.sh
source "$(dirname "$0")/e2e/lib.sh"

readonly LINE='1.0 20261205'
e2e_begin publish-check "$(dirname "$1")" quarvel-publish nginx curl python3
# Any free port: the launcher does not take part.
PORT=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')

# check_exits STATUS: runs --check on the served folder, keeps its report, wants STATUS.
check_exits() {
  local status=0
  timeout 60 "$BIN/quarvel-publish" --check "127.0.0.1:$PORT/quarvel%20builds/" >"$TMP/report" 2>&1 || status=$?
  sed 's/^/#   /' "$TMP/report"
  ((status == $1))
}
report_has() { grep -qF -- "$1" "$TMP/report"; }

# A tiny build, published below the web root as on a server shared with other sites.
make_build "$TMP/build"
mkdir -p "$TMP/www/quarvel builds"
check "publishing a small build succeeds" "$BIN/quarvel-publish" "$TMP/build" "$LINE" "$TMP/www/quarvel builds"
start_nginx "$TMP/www"
check "--check passes on the published folder" check_exits 0
check "the version line is reported" report_has "ok: latest_version.txt answers 200 with the version line '$LINE'"
check "the game program is reported present" report_has "ok: details/Quarvel.exe is present and executable"
check "the package was asked for with blanks as %20" \
  grep -qF 'GET /quarvel%20builds/quarvel%201.0%2020261205.zip HTTP/1.1" 200' "$TMP/nginx/access.log"

rm -- "$TMP/www/quarvel builds/quarvel $LINE.zip"
check "--check fails once the package is gone" check_exits 1
check "the missing package is reported as nginx's error page" report_has "problem: 'quarvel $LINE.zip' answers 404"
e2e_end

#!/usr/bin/env bash
# The Windows launcher built with the test key (tests/keys/test.pub), under Wine against nginx: a build
# signed with the stock minisign tool installs; of two instances started in one folder, against a server whose
# second answer for the package is another build, one installs the first answer and the other says that it runs
# already and does nothing. (Refused signatures are the same code on both systems and are tested on Linux.)
#   tests/windows/wine_signed.sh WINE BUILD_DIR FAKE_GAME
set -euo pipefail
here=$(dirname "$0")
# shellcheck source=../e2e/lib.sh
source "$here/../e2e/lib.sh"

WINE=$1 BUILD=$2 FAKE_GAME=$3 PORT=18471 # the port quarvel-launcher-signed.exe asks
readonly A='1.0 20261205' C='1.2 20261207' KEYS=$here/../keys
e2e_begin wine-signed "$BUILD/bin" Xvfb evilwm xdotool xprop import convert nginx zip minisign quarvel-launcher-signed.exe
wine_begin "$BUILD/wineprefix"
W=$TMP/player SITE=$TMP/site
mkdir -p "$W" "$SITE" && cp "$BUILD"/bin/*.dll "$BUILD/bin/quarvel-launcher-signed.exe" "$W/" && new_workdir "$W"

# publish LINE CONTENT: a build whose data file holds CONTENT, zipped, signed with minisign and announced.
publish_signed() {
  rm -rf "$TMP/build" && install -D "$FAKE_GAME" "$TMP/build/Top/details/Quarvel.exe"
  mkdir -p "$TMP/build/Top/data/" && printf '%s' "$2" >"$TMP/build/Top/data/level.txt"
  (cd "$TMP/build" && rm -f "$SITE/quarvel $1.zip" && zip -q -r "$SITE/quarvel $1.zip" Top)
  minisign -S -s "$KEYS/test.key" -m "$SITE/quarvel $1.zip" >/dev/null
  { printf '%s\n' "$1"; cat "$SITE/quarvel $1.zip.minisig"; } >"$SITE/latest_version.txt"
}
run_launcher() { wine_start "$W" quarvel-launcher-signed.exe "$1"; }  # NAME

publish_signed "$A" "level A"
start_nginx "$SITE"
run_launcher signed
check "a build signed with minisign installs" wait_until 120 file_holds "$W/latest_version.txt" "$A"
check "its files are in game" test "$(cat "$W/game/data/level.txt")" = "level A"
check "the window shows the enabled LAUNCH button" wait_until 10 shows_enabled "$TMP/signed.png"
quit signed

# The forged build under the same name, in the folder the test server gives a second request for a package.
publish_signed "$C" "level forged" && mkdir -p "$SITE/second" && mv "$SITE/quarvel $C.zip" "$SITE/second/"
publish_signed "$C" "level C"
stop_pid "$NGINX_PID" && : >"$TMP/requests.log"
python3 "$here/../e2e/second_answer_differs.py" "$PORT" "$SITE" 2>"$TMP/server.err" & NGINX_PID=$!
wait_until 10 port_open || die "the test server did not start: $(cat "$TMP/server.err")"
for n in 1 2; do
  (cd "$W" && exec "$WINE" quarvel-launcher-signed.exe) >"$TMP/twice-$n.out" 2>"$TMP/twice-$n.err" &
  sleep 0.3
done
two_windows() { (($(xdo 5 search --onlyvisible --name '^Quarvel Launcher$' | wc -l) == 2)); }
check "two instances in one folder: two windows" wait_until 60 two_windows
check "the first answer's build is installed" wait_until 120 file_holds "$W/latest_version.txt" "$C"
check "nothing of the second answer's build is in game, the package was asked for once" \
  test "$(cat "$W/game/data/level.txt")|$(grep -c '\.zip$' "$TMP/requests.log")" = "level C|1"
check "exactly one instance says that another runs in the folder" test "$(cat "$TMP"/twice-*.err | tr -d '\r' |
  grep -cFx 'Another Quarvel Launcher is already running in this folder.')" = 1
# The two windows lie on top of each other: each is raised before it is looked at and before its Q.
looks=""
for WID in $(xdo 5 search --onlyvisible --name '^Quarvel Launcher$'); do
  xdo 5 windowraise "$WID" || true
  sleep 0.5
  wait_until 10 shows_enabled "$TMP/twice-$WID.png" && looks+="enabled " || looks+="disabled "
done
check "one window's button is enabled, the other's disabled ($looks)" test "$(tr ' ' '\n' <<<"$looks" | sort | xargs)" = "disabled enabled"
# Wine gives the keyboard to the window it takes for active, which a click in it makes it (at a spot that is
# not the button).
for WID in $(xdo 5 search --onlyvisible --name '^Quarvel Launcher$'); do
  xdo 5 windowraise "$WID" || true
  xdo 5 mousemove --window "$WID" 50 50 click 1 || true
  sleep 0.3
  xdo 5 key q || true
  wait_until 5 not eval 'xdo 2 search --onlyvisible --name "^Quarvel Launcher$" | grep -qx "$WID"' || true
done
check "both end on Q" wait_until 10 not two_windows
pkill -f quarvel-launcher-signed.exe || true  # whatever Q did not end, so that Wine can end
"$(dirname "$WINE")/wineserver" -w || true
e2e_end

#!/usr/bin/env bash
# Patch updates by the Windows launcher built with the test key, under Wine against nginx, from builds that the
# Linux quarvel-publish signed: with build A installed, only the patch is downloaded and game\ ends up holding
# exactly build B. (What differs by system is the mapping of files and the rename over an existing file; the cases
# that fall back to the package are the same code on both and are tested on Linux.)
#   tests/windows/wine_patch.sh WINE BUILD_DIR FAKE_GAME PUBLISH_TOOL
set -euo pipefail
here=$(dirname "$0")
# shellcheck source=../e2e/lib.sh
source "$here/../e2e/lib.sh"

WINE=$1 BUILD=$2 FAKE_GAME=$3 PUBLISH=$4 PORT=18471 # the port quarvel-launcher-signed.exe asks
[[ -x $PUBLISH ]] || { echo "1..0 # SKIP no Linux quarvel-publish at $PUBLISH"; exit 77; }
readonly A='1.0 20261205' B='1.1 20261206' KEY=$here/../keys/test.key
e2e_begin wine-patch "$BUILD/bin" Xvfb evilwm xdotool xprop import convert nginx quarvel-launcher-signed.exe
export WINEPREFIX=$BUILD/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES='mscoree,mshtml=;winemenubuilder.exe=d'
evilwm -fn fixed >/dev/null 2>&1 & # it ends with the X server
timeout 240 "$WINE" wineboot -i >"$TMP/wineboot.log" 2>&1 || die "wineboot failed: $(tail -3 "$TMP/wineboot.log")"

# A: the game's program, an archive file of 6 MiB and a few small files; B: 64 KiB of the archive replaced and
# 4 KiB inserted, the small files changed, a new file in a new folder.
install -D "$FAKE_GAME" "$TMP/build-a/details/Quarvel.exe" && mkdir -p "$TMP/build-a/data"
head -c $((6 << 20)) /dev/urandom >"$TMP/build-a/data/level.pak"
for i in 1 2 3; do echo "small $i of A" >"$TMP/build-a/data/f$i.txt"; done
cp -a "$TMP/build-a" "$TMP/build-b" && mkdir -p "$TMP/build-b/maps"
{ head -c $((2 << 20)) "$TMP/build-a/data/level.pak"; head -c 69632 /dev/urandom
  tail -c +$(((2 << 20) + 65537)) "$TMP/build-a/data/level.pak"; } >"$TMP/build-b/data/level.pak"
for i in 1 2 3; do echo "small $i of B" >"$TMP/build-b/data/f$i.txt"; done
echo new >"$TMP/build-b/maps/new.map"
mkdir -p "$TMP/site" && "$PUBLISH" --sign "$KEY" "$TMP/build-a" "$A" "$TMP/site" >/dev/null || die "publishing A failed"
start_nginx "$TMP/site"

W=$TMP/player
mkdir -p "$W" && cp "$BUILD"/bin/*.dll "$BUILD/bin/quarvel-launcher-signed.exe" "$W/" && new_workdir "$W"
run_launcher() {  # NAME
  (cd "$W" && exec "$WINE" quarvel-launcher-signed.exe) >"$TMP/$1.out" 2>"$TMP/$1.err" & LAUNCHER_PID=$!
  WID=$(xdo 60 search --sync --name '^Quarvel Launcher$' | head -n 1) || die "$1: no window: $(tail -3 "$TMP/$1.err")"
}
requested_since() { tail -n +$(($1 + 1)) "$TMP/nginx/access.log" | awk '{print $7}' | tr '\n' ' '; }
is_build_b() { diff -r "$W/game" "$TMP/build-b" >&2; }

run_launcher install-a
wait_until 120 file_holds "$W/latest_version.txt" "$A" || die "build A was not installed"
quit install-a
"$PUBLISH" --sign "$KEY" --patch-from "$TMP/site/quarvel $A.zip" "$TMP/build-b" "$B" "$TMP/site" >/dev/null ||
  die "publishing B failed"

seen=$(wc -l <"$TMP/nginx/access.log")
run_launcher patched
check "a patch over build A installs build B" wait_until 120 file_holds "$W/latest_version.txt" "$B"
check "only the version file and the patch were asked for ($(requested_since "$seen"))" test "$(requested_since "$seen")" = \
  "/latest_version.txt /quarvel%20${B// /%20}%20patch%20from%20${A// /%20}.zip "
check "game holds exactly build B" is_build_b
check "the window shows the enabled LAUNCH button" wait_until 10 shows_enabled "$TMP/patched.png"
quit patched

"$(dirname "$WINE")/wineserver" -w || true
e2e_end

#!/usr/bin/env bash
# Patch updates by the Windows launcher built with the test key, under Wine against nginx, from builds that the
# Linux quarvel-publish signed, each case from a copy of one player folder with build A installed: the patch alone
# is downloaded and game\ ends up holding exactly build B, whose folders changed shape; a launcher killed while it
# applies the patch finishes on its next start with the whole package. (The refusals, an edited base and unsigned
# patches are the same code on both systems and are tested on Linux.)
#   tests/windows/wine_patch.sh WINE BUILD_DIR FAKE_GAME PUBLISH_TOOL
set -euo pipefail
here=$(dirname "$0")
# shellcheck source=../e2e/lib.sh
source "$here/../e2e/lib.sh"

WINE=$1 BUILD=$2 FAKE_GAME=$3 PUBLISH=$4 PORT=18471 # the port quarvel-launcher-signed.exe asks
[[ -x $PUBLISH ]] || { echo "1..0 # SKIP no Linux quarvel-publish at $PUBLISH"; exit 77; }
readonly A='1.0 20261205' B='1.1 20261206' KEY=$here/../keys/test.key
e2e_begin wine-patch "$BUILD/bin" Xvfb evilwm xdotool xprop import convert nginx quarvel-launcher-signed.exe
wine_begin "$BUILD/wineprefix"

# A: the game's program, an archive file of 6 MiB and 200 small files (a second of the 5 ms pauses, time for a
# kill); B: 64 KiB of the archive replaced and 4 KiB inserted, the small files changed, a new file in a new folder, a
# folder of A become a file and a file become a folder.
install -D "$FAKE_GAME" "$TMP/build-a/details/Quarvel.exe" && mkdir -p "$TMP/build-a/data"
head -c $((6 << 20)) /dev/urandom >"$TMP/build-a/data/level.pak"
for ((i = 1; i <= 200; i++)); do echo "small $i of A" >"$TMP/build-a/data/f$i.txt"; done
mkdir -p "$TMP/build-a/data/x" && echo "in a folder of A" >"$TMP/build-a/data/x/old.txt" && echo "a file of A" >"$TMP/build-a/data/y"
cp -a "$TMP/build-a" "$TMP/build-b" && mkdir -p "$TMP/build-b/maps"
rm -r "$TMP/build-b/data/x" "$TMP/build-b/data/y" && echo "a file where A had a folder" >"$TMP/build-b/data/x"
mkdir "$TMP/build-b/data/y" && echo "in a folder where A had a file" >"$TMP/build-b/data/y/z.txt"
{ head -c $((2 << 20)) "$TMP/build-a/data/level.pak"; head -c 69632 /dev/urandom
  tail -c +$(((2 << 20) + 65537)) "$TMP/build-a/data/level.pak"; } >"$TMP/build-b/data/level.pak"
for ((i = 1; i <= 200; i++)); do echo "small $i of B" >"$TMP/build-b/data/f$i.txt"; done
echo new >"$TMP/build-b/maps/new.map"
mkdir -p "$TMP/site" && "$PUBLISH" --sign "$KEY" "$TMP/build-a" "$A" "$TMP/site" >/dev/null || die "publishing A failed"
start_nginx "$TMP/site"

W=$TMP/installed
mkdir -p "$W" && cp "$BUILD"/bin/*.dll "$BUILD/bin/quarvel-launcher-signed.exe" "$W/" && new_workdir "$W"
run_launcher() { wine_start "$W" quarvel-launcher-signed.exe "$1"; }  # NAME
requested_since() { tail -n +$(($1 + 1)) "$TMP/nginx/access.log" | awk '{print $7}' | tr '\n' ' '; }
is_build_b() { diff -r "$W/game" "$TMP/build-b" >&2; }
from_installed() { W=$TMP/$1 && cp -a "$TMP/installed" "$W" && seen=$(wc -l <"$TMP/nginx/access.log"); }

run_launcher install-a
wait_until 120 file_holds "$W/latest_version.txt" "$A" || die "build A was not installed"
quit install-a
"$PUBLISH" --sign "$KEY" --patch-from "$TMP/site/quarvel $A.zip" "$TMP/build-b" "$B" "$TMP/site" >/dev/null ||
  die "publishing B failed"

patch_path="/quarvel%20${B// /%20}%20patch%20from%20${A// /%20}.zip" package_path="/quarvel%20${B// /%20}.zip"

from_installed patched && run_launcher patched
check "a patch over build A installs build B" wait_until 120 file_holds "$W/latest_version.txt" "$B"
check "only the version file and the patch were asked for ($(requested_since "$seen"))" \
  test "$(requested_since "$seen")" = "/latest_version.txt $patch_path "
check "game holds exactly build B" is_build_b
check "the window shows the enabled LAUNCH button" wait_until 10 shows_enabled "$TMP/patched.png"
quit patched

from_installed killed && run_launcher killed
wait_until 120 test -e "$W/update_in_progress.txt" && sleep 0.5 && kill -KILL "$LAUNCHER_PID"
wait "$LAUNCHER_PID" 2>/dev/null || true
check "killed while patching: the record is left" file_holds "$W/update_in_progress.txt" "$B"
seen=$(wc -l <"$TMP/nginx/access.log") && run_launcher after-kill
check "killed while patching: the next start installs build B" wait_until 120 file_holds "$W/latest_version.txt" "$B"
check "killed while patching: ... from the whole package ($(requested_since "$seen"))" \
  test "$(requested_since "$seen")" = "/latest_version.txt $package_path "
check "killed while patching: game holds exactly build B" is_build_b
quit after-kill

"$(dirname "$WINE")/wineserver" -w || true
e2e_end

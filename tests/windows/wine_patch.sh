#!/usr/bin/env bash
# Patch updates by the Windows launcher built with the test key, under Wine against nginx, from builds that the
# Linux quarvel-publish signed, each case from a copy of one player folder with build A installed: the patch alone
# is downloaded and game\ ends up holding exactly build B; an installed file edited by hand gets the whole package;
# a launcher killed while it applies the patch finishes on its next start with the whole package; a patch whose
# signature was taken off the version file is never applied. (The other refusals are the same code on both
# systems and are tested on Linux.)
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
# kill); B: 64 KiB of the archive replaced and 4 KiB inserted, the small files changed, a new file in a new folder.
install -D "$FAKE_GAME" "$TMP/build-a/details/Quarvel.exe" && mkdir -p "$TMP/build-a/data"
head -c $((6 << 20)) /dev/urandom >"$TMP/build-a/data/level.pak"
for ((i = 1; i <= 200; i++)); do echo "small $i of A" >"$TMP/build-a/data/f$i.txt"; done
cp -a "$TMP/build-a" "$TMP/build-b" && mkdir -p "$TMP/build-b/maps"
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

from_installed edited && echo "changed by the player" >"$W/game/data/f7.txt" && run_launcher edited
check "edited base: build B is installed" wait_until 120 file_holds "$W/latest_version.txt" "$B"
check "edited base: the patch, then the whole package ($(requested_since "$seen"))" \
  test "$(requested_since "$seen")" = "/latest_version.txt $patch_path $package_path "
check "edited base: game holds exactly build B" is_build_b
check "edited base: the log names the edited file" grep -q "f7.txt is not the installed build's own" "$W/quarvel-launcher.log"
quit edited

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

# The patch's signature is the four lines after its announcement.
cp "$TMP/site/latest_version.txt" "$TMP/signed-version.txt"
awk 'skip > 0 { skip--; next } { print } /^patch: / { skip = 4 }' "$TMP/signed-version.txt" >"$TMP/site/latest_version.txt"
from_installed unsigned && run_launcher unsigned
check "unsigned patch: build B is installed" wait_until 120 file_holds "$W/latest_version.txt" "$B"
check "unsigned patch: ... from the whole package alone ($(requested_since "$seen"))" \
  test "$(requested_since "$seen")" = "/latest_version.txt $package_path "
quit unsigned
cp "$TMP/signed-version.txt" "$TMP/site/latest_version.txt"

"$(dirname "$WINE")/wineserver" -w || true
e2e_end

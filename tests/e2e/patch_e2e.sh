#!/usr/bin/env bash
# Patch updates with the real Windows launcher in a real window under Wine against nginx, each case from a copy of
# one player folder with build A installed: the patch alone is downloaded and game/ ends up holding exactly build B,
# whose folders changed shape; a launcher killed while it applies the patch finishes on its next start with the
# whole package. (The Linux launcher applies patches in the studio guide's run, and in process under the sanitizers.)
#   tests/e2e/patch_e2e.sh BUILD_DIR WINE PUBLISH_TOOL
set -euo pipefail
here=$(dirname "$0")
# shellcheck source=lib.sh
source "$here/lib.sh"

readonly A='1.0 20261205' B='1.1 20261206' X='0.5 20261101' KEY=$here/../keys/test.key WINE=$2 PUBLISH=$3
wine_e2e_begin wine-patch "$1" quarvel-launcher-signed.exe

# A: an archive file of 6 MiB and 200 small files (a second of the 5 ms pauses, time for a kill). B: 64 KiB of
# the archive replaced and 4 KiB inserted, the small files changed, a new file in a new folder, a folder of A
# become a file and a file become a folder. X: A with one more file.
a=$TMP/build-a b=$TMP/build-b && make_build "$a" && head -c $((6 << 20)) /dev/urandom >"$a/data/level.pak"
for ((i = 1; i <= 200; i++)); do echo "small $i of A" >"$a/data/f$i.txt"; done
mkdir -p "$a/data/x" && echo "in a folder of A" >"$a/data/x/old.txt" && echo "a file of A" >"$a/data/y"
cp -a "$a" "$b" && cp -a "$a" "$TMP/build-x" && echo x >"$TMP/build-x/data/x.txt" && mkdir -p "$b/maps"
rm -r "$b/data/x" "$b/data/y" && echo "a file where A had a folder" >"$b/data/x"
mkdir "$b/data/y" && echo "in a folder where A had a file" >"$b/data/y/z.txt"
{ head -c $((2 << 20)) "$a/data/level.pak"; head -c 69632 /dev/urandom; tail -c +$(((2 << 20) + 65537)) "$a/data/level.pak"; } \
  >"$b/data/level.pak"
for ((i = 1; i <= 200; i++)); do echo "small $i of B" >"$b/data/f$i.txt"; done
echo new >"$b/maps/new.map"
publish_signed() { "$PUBLISH" --sign "$KEY" "$@" "$TMP/server" >/dev/null || die "quarvel-publish refused: $*"; }
mkdir -p "$TMP/server" && publish_signed "$a" "$A"
start_nginx "$TMP/server"

installed=$TMP/installed/work && new_workdir "$installed" && cp "$BIN"/*.dll "$BIN/quarvel-launcher-signed.exe" "$installed/"
wine_start "$installed" quarvel-launcher-signed.exe install-a && wait_until 120 holds_build "$installed/latest_version.txt" "$A" ||
  die "the launcher did not install build A"
quit install-a
publish_signed --patch-from "$TMP/server/quarvel $A.zip" --patch-from "$TMP/build-x=$X" "$b" "$B"

tree_of() { (cd "$1" && find . -printf '%y %p\n' | sort && find . -type f -print0 | sort -z | xargs -0 sha256sum); }
# is_build_b DIR: DIR/game holds exactly build B.
is_build_b() { diff <(tree_of "$1/game") <(tree_of "$b") >&2; }
# requested_since N: the paths asked for after the access log's first N lines.
requested_since() { tail -n +$(($1 + 1)) "$TMP/nginx/access.log" | awk '{print $7}' | tr '\n' ' '; }
from_installed() { w=$TMP/$1/work && mkdir -p "${w%/work}" && cp -a "$installed" "$w" && seen=$(wc -l <"$TMP/nginx/access.log"); }
patch_path="/quarvel%20${B// /%20}%20patch%20from%20${A// /%20}.zip" package_path="/quarvel%20${B// /%20}.zip"

from_installed patched && wine_start "$w" quarvel-launcher-signed.exe patched
check "patched: build B is recorded" wait_until 120 holds_build "$w/latest_version.txt" "$B"
check "patched: the window shows the enabled button" wait_until 10 shows_enabled "$TMP/patched-update.png"
check "patched: only the version file and the patch were asked for ($(requested_since "$seen"))" \
  test "$(requested_since "$seen")" = "/latest_version.txt $patch_path "
check "patched: game/ holds exactly build B" is_build_b "$w"
check "patched: the log file names the base, the patch and the bytes saved" \
  grep -q "| patch from 1.0_20261205 to 1.1_20261206: '.*', [0-9]* bytes instead of the package's [0-9]*, [0-9]* bytes saved" \
  "$w/quarvel-launcher.log"
quit patched

from_installed killed && wine_start "$w" quarvel-launcher-signed.exe killed
wait_until 120 test -e "$w/update_in_progress.txt" && sleep 0.5 && kill -KILL "$LAUNCHER_PID"
wait "$LAUNCHER_PID" 2>/dev/null || true
check "killed while patching: the record is left" file_holds "$w/update_in_progress.txt" "$B"
seen=$(wc -l <"$TMP/nginx/access.log") && wine_start "$w" quarvel-launcher-signed.exe after-kill
check "killed while patching: the next start installs build B" wait_until 120 holds_build "$w/latest_version.txt" "$B"
check "killed while patching: ... from the whole package ($(requested_since "$seen"))" \
  test "$(requested_since "$seen")" = "/latest_version.txt $package_path "
check "killed while patching: game holds exactly build B" is_build_b "$w"
quit after-kill
e2e_end

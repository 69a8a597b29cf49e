#!/usr/bin/env bash
# Patch updates with the real launcher in a real window against nginx, on Linux or under Wine, each case from a copy
# of one player folder with build A installed: the patch alone is downloaded and game/ ends up holding exactly build
# B, whose folders changed shape (on Linux also its modes). Under Wine a launcher killed while it applies the patch
# finishes on its next start with the whole package; on Linux the launcher of an earlier release (built from git
# at the commit given) reads the version file with two patches announced and installs the whole package.
#   tests/e2e/patch_e2e.sh linux BIN_DIR SOURCE_DIR [SCREENSHOT_DIR [EARLIER_COMMIT]]
#   tests/e2e/patch_e2e.sh windows BUILD_DIR WINE PUBLISH_TOOL
set -euo pipefail
here=$(dirname "$0")
# shellcheck source=lib.sh
source "$here/lib.sh"

readonly SYSTEM=$1 A='1.0 20261205' B='1.1 20261206' X='0.5 20261101' KEY=$here/../keys/test.key
if [[ $SYSTEM == windows ]]; then
  WINE=$3 PUBLISH=$4 PORT=18471 # the port quarvel-launcher-signed.exe asks
  [[ -x $PUBLISH ]] || { echo "1..0 # SKIP no Linux quarvel-publish at $PUBLISH"; exit 77; }
  e2e_begin wine-patch "$2/bin" Xvfb evilwm xdotool xprop import convert nginx quarvel-launcher-signed.exe
  wine_begin "$2/wineprefix"
  shots=$TMP
else
  e2e_begin patch "$2" quarvel-launcher-e2e quarvel-publish Xvfb xdotool xprop import convert nginx
  PUBLISH=$BIN/quarvel-publish source_dir=$3 shots=${4:-$TMP} earlier_commit=${5:-} && mkdir -p -- "$shots"
fi

# A: an archive file of 6 MiB and 200 small files (a second of the 5 ms pauses, time for a kill). B: 64 KiB of
# the archive replaced and 4 KiB inserted, the small files changed, a new file in a new folder, a folder of A
# become a file and a file become a folder, the program read-only. X: A with one more file.
a=$TMP/build-a b=$TMP/build-b && make_build "$a" && head -c $((6 << 20)) /dev/urandom >"$a/data/level.pak"
for ((i = 1; i <= 200; i++)); do echo "small $i of A" >"$a/data/f$i.txt"; done
mkdir -p "$a/data/x" && echo "in a folder of A" >"$a/data/x/old.txt" && echo "a file of A" >"$a/data/y"
cp -a "$a" "$b" && cp -a "$a" "$TMP/build-x" && echo x >"$TMP/build-x/data/x.txt" && mkdir -p "$b/maps"
rm -r "$b/data/x" "$b/data/y" && echo "a file where A had a folder" >"$b/data/x"
mkdir "$b/data/y" && echo "in a folder where A had a file" >"$b/data/y/z.txt"
{ head -c $((2 << 20)) "$a/data/level.pak"; head -c 69632 /dev/urandom; tail -c +$(((2 << 20) + 65537)) "$a/data/level.pak"; } \
  >"$b/data/level.pak"
for ((i = 1; i <= 200; i++)); do echo "small $i of B" >"$b/data/f$i.txt"; done
echo new >"$b/maps/new.map" && { [[ $SYSTEM == windows ]] || chmod 555 "$b/details/Quarvel.exe"; }
publish_signed() { "$PUBLISH" --sign "$KEY" "$@" "$TMP/server" >/dev/null || die "quarvel-publish refused: $*"; }
mkdir -p "$TMP/server" && publish_signed "$a" "$A"
start_nginx "$TMP/server"

# run_launcher DIR NAME: DIR's launcher until its window shows.
run_launcher() {
  if [[ $SYSTEM == linux ]]; then open_window "$@"; else wine_start "$1" quarvel-launcher-signed.exe "$2"; fi
}
installed=$TMP/installed/work && new_workdir "$installed"
[[ $SYSTEM == linux ]] || cp "$BIN"/*.dll "$BIN/quarvel-launcher-signed.exe" "$installed/"
run_launcher "$installed" install-a && wait_until 120 file_holds "$installed/latest_version.txt" "$A" ||
  die "the launcher did not install build A"
quit install-a
publish_signed --patch-from "$TMP/server/quarvel $A.zip" --patch-from "$TMP/build-x=$X" "$b" "$B"

# Build B as the launcher installs it: on Linux with its modes, the owner can always write what it installed.
tree_of() {
  (cd "$1" && if [[ $SYSTEM == linux ]]; then find . -printf '%y %m %p\n'; else find . -printf '%y %p\n'; fi | sort &&
    find . -type f -print0 | sort -z | xargs -0 sha256sum)
}
cp -a "$b" "$TMP/expected" && chmod -R u+rw "$TMP/expected" && find "$TMP/expected" -type d -exec chmod u+x {} +
# is_build_b DIR [EXCEPT]: DIR/game holds exactly build B, but for the lines that match the pattern EXCEPT.
is_build_b() { diff <(tree_of "$1/game" | grep -v "${2:-^$}") <(tree_of "$TMP/expected" | grep -v "${2:-^$}") >&2; }
# requested_since N: the paths asked for after the access log's first N lines.
requested_since() { tail -n +$(($1 + 1)) "$TMP/nginx/access.log" | awk '{print $7}' | tr '\n' ' '; }
from_installed() { w=$TMP/$1/work && mkdir -p "${w%/work}" && cp -a "$installed" "$w" && seen=$(wc -l <"$TMP/nginx/access.log"); }
patch_path="/quarvel%20${B// /%20}%20patch%20from%20${A// /%20}.zip" package_path="/quarvel%20${B// /%20}.zip"

from_installed patched && run_launcher "$w" patched
check "patched: build B is recorded" wait_until 120 file_holds "$w/latest_version.txt" "$B"
check "patched: the window shows the enabled button" wait_until 10 shows_enabled "$shots/patched-update.png"
check "patched: only the version file and the patch were asked for ($(requested_since "$seen"))" \
  test "$(requested_since "$seen")" = "/latest_version.txt $patch_path "
check "patched: game/ holds exactly build B" is_build_b "$w"
check "patched: the log file names the base, the patch and the bytes saved" \
  grep -q "| patch from 1.0_20261205 to 1.1_20261206: '.*', [0-9]* bytes instead of the package's [0-9]*, [0-9]* bytes saved" \
  "$w/quarvel-launcher.log"
quit patched

if [[ $SYSTEM == windows ]]; then
  from_installed killed && run_launcher "$w" killed
  wait_until 120 test -e "$w/update_in_progress.txt" && sleep 0.5 && kill -KILL "$LAUNCHER_PID"
  wait "$LAUNCHER_PID" 2>/dev/null || true
  check "killed while patching: the record is left" file_holds "$w/update_in_progress.txt" "$B"
  seen=$(wc -l <"$TMP/nginx/access.log") && run_launcher "$w" after-kill
  check "killed while patching: the next start installs build B" wait_until 120 file_holds "$w/latest_version.txt" "$B"
  check "killed while patching: ... from the whole package ($(requested_since "$seen"))" \
    test "$(requested_since "$seen")" = "/latest_version.txt $package_path "
  check "killed while patching: game holds exactly build B" is_build_b "$w"
  quit after-kill
  "$(dirname "$WINE")/wineserver" -w || true
  e2e_end
  exit
fi

# The launcher of an earlier release, with the same key, reads only the first 4 KiB after the version line.
if [[ -n $earlier_commit ]] && ! git -C "$source_dir" cat-file -e "$earlier_commit^{commit}" 2>/dev/null; then
  echo "# no commit $earlier_commit in $source_dir (not a clone with its history): the earlier launcher is not tried"
elif [[ -n $earlier_commit ]]; then
  earlier=$BIN/../earlier-$earlier_commit
  if [[ ! -x $earlier/bin/quarvel-launcher ]]; then
    rm -rf "$earlier" && mkdir -p "$earlier/src"
    git -C "$source_dir" archive "$earlier_commit" | tar -x -C "$earlier/src" || die "no commit $earlier_commit in $source_dir"
    cmake -S "$earlier/src" -B "$earlier" -DCMAKE_BUILD_TYPE=Release -DQUARVEL_BUILD_TESTS=OFF \
      -DQUARVEL_SERVER_URL="http://127.0.0.1:$PORT/" -DQUARVEL_PUBLIC_KEY="$(sed -n 2p "${KEY%.key}.pub")" \
      >"$TMP/earlier.log" 2>&1 && cmake --build "$earlier" -j"$(nproc)" --target quarvel-launcher >>"$TMP/earlier.log" 2>&1 ||
      die "the earlier launcher did not build: $(tail -5 "$TMP/earlier.log")"
  fi
  from_installed earlier && LAUNCHER=$earlier/bin/quarvel-launcher start_launcher "$w" earlier
  check "earlier launcher: installs build B" wait_until 60 file_holds "$w/latest_version.txt" "$B"
  stop_pid "$LAUNCHER_PID"
  check "earlier launcher: ... from the whole package ($(requested_since "$seen"))" \
    test "$(requested_since "$seen")" = "/latest_version.txt $package_path "
  # That release did not yet put a file where a folder was, or the other way round.
  check "earlier launcher: game/ holds build B but for the paths that changed shape" is_build_b "$w" ' \./data/[xy]\b'
fi
e2e_end

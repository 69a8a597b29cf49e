#!/usr/bin/env bash
# Patch updates with the real launcher in a real window against nginx, all builds signed with the test key:
# a launcher with build A installed downloads only the patch and ends with game/ holding exactly build B (bytes
# and modes); and the launcher of an earlier release (built from git at the commit given, with the test key) reads the
# version file with two patches announced and installs the whole package.
#   tests/e2e/patch_e2e.sh BIN_DIR SOURCE_DIR [SCREENSHOT_DIR [EARLIER_COMMIT]]
set -euo pipefail
# shellcheck source=lib.sh
source "$(dirname "$0")/lib.sh"

readonly A='1.0 20261205' B='1.1 20261206' X='0.5 20261101' KEY=$2/tests/keys/test.key
e2e_begin patch "$1" quarvel-launcher-e2e quarvel-publish Xvfb xdotool xprop import convert nginx
shots=${3:-$TMP} earlier_commit=${4:-} && mkdir -p -- "$shots"

# A: an archive file of 8 MiB and 200 small files. B: 64 KiB of the archive replaced and 4 KiB inserted, every
# small file changed, one new file; the program made read-only.
make_a() {
  make_build "$1" && head -c $((8 << 20)) /dev/urandom >"$1/data/level.pak"
  for ((i = 1; i <= 200; i++)); do echo "small file $i of A" >"$1/data/f$i.txt"; done
}
make_a "$TMP/build-a" && cp -a "$TMP/build-a" "$TMP/build-b" && cp -a "$TMP/build-a" "$TMP/build-x"
{ head -c $((3 << 20)) "$TMP/build-a/data/level.pak"; head -c 65536 /dev/urandom; head -c 4096 /dev/urandom
  tail -c +$(((3 << 20) + 65537)) "$TMP/build-a/data/level.pak"; } >"$TMP/build-b/data/level.pak"
for ((i = 1; i <= 200; i++)); do echo "small file $i of B" >"$TMP/build-b/data/f$i.txt"; done
echo new >"$TMP/build-b/data/new.txt" && chmod 555 "$TMP/build-b/details/Quarvel.exe"
echo x >"$TMP/build-x/data/x.txt"

publish_signed() { "$BIN/quarvel-publish" --sign "$KEY" "$@" "$TMP/server" >/dev/null || die "quarvel-publish refused: $*"; }
mkdir -p "$TMP/server" && publish_signed "$TMP/build-a" "$A"
start_nginx "$TMP/server"
installed=$TMP/installed/work && new_workdir "$installed"
start_launcher "$installed" install-a && wait_until 60 file_holds "$installed/latest_version.txt" "$A" ||
  die "the launcher did not install build A"
stop_pid "$LAUNCHER_PID"
publish_signed --patch-from "$TMP/server/quarvel $A.zip" --patch-from "$TMP/build-x=$X" "$TMP/build-b" "$B"

tree_of() { (cd "$1" && find . -printf '%y %m %p\n' | sort && find . -type f -print0 | sort -z | xargs -0 sha256sum); }
# Build B as the launcher installs it: the owner can always write what it installed.
cp -a "$TMP/build-b" "$TMP/expected" && chmod -R u+rw "$TMP/expected" && find "$TMP/expected" -type d -exec chmod u+x {} +
is_build_b() { diff <(tree_of "$1/game") <(tree_of "$TMP/expected") >&2; }
# requested_since N: the paths asked for after the access log's first N lines.
requested_since() { tail -n +$(($1 + 1)) "$TMP/nginx/access.log" | awk '{print $7}' | tr '\n' ' '; }
log_lines() { wc -l <"$TMP/nginx/access.log"; }
patch_path="/quarvel%20${B// /%20}%20patch%20from%20${A// /%20}.zip" package_path="/quarvel%20${B// /%20}.zip"

w=$TMP/patched/work && mkdir -p "${w%/work}" && cp -a "$installed" "$w" && seen=$(log_lines)
open_window "$w" patched
check "patched: build B is recorded" wait_until 60 file_holds "$w/latest_version.txt" "$B"
check "patched: the window shows the enabled button" wait_until 10 shows_enabled "$shots/patched-update.png"
check "patched: only the version file and the patch were asked for ($(requested_since "$seen"))" \
  test "$(requested_since "$seen")" = "/latest_version.txt $patch_path "
check "patched: game/ holds exactly build B, bytes and modes" is_build_b "$w"
check "patched: the log file names the base, the patch and the bytes saved" \
  grep -q "| patch from 1.0_20261205 to 1.1_20261206: '.*', [0-9]* bytes instead of the package's [0-9]*, [0-9]* bytes saved" \
  "$w/quarvel-launcher.log"
quit patched

# The launcher of an earlier release, with the same key, reads only the first 4 KiB after the version line.
if [[ -n $earlier_commit ]] && ! git -C "$2" cat-file -e "$earlier_commit^{commit}" 2>/dev/null; then
  echo "# no commit $earlier_commit in $2 (not a clone with its history): the earlier launcher is not tried"
elif [[ -n $earlier_commit ]]; then
  earlier=$BIN/../earlier-$earlier_commit
  if [[ ! -x $earlier/bin/quarvel-launcher ]]; then
    rm -rf "$earlier" && mkdir -p "$earlier/src"
    git -C "$2" archive "$earlier_commit" | tar -x -C "$earlier/src" || die "no commit $earlier_commit in $2"
    cmake -S "$earlier/src" -B "$earlier" -DCMAKE_BUILD_TYPE=Release -DQUARVEL_BUILD_TESTS=OFF \
      -DQUARVEL_SERVER_URL="http://127.0.0.1:$PORT/" -DQUARVEL_PUBLIC_KEY="$(sed -n 2p "${KEY%.key}.pub")" \
      >"$TMP/earlier.log" 2>&1 && cmake --build "$earlier" -j"$(nproc)" --target quarvel-launcher >>"$TMP/earlier.log" 2>&1 ||
      die "the earlier launcher did not build: $(tail -5 "$TMP/earlier.log")"
  fi
  w=$TMP/earlier/work && mkdir -p "${w%/work}" && cp -a "$installed" "$w" && seen=$(log_lines)
  LAUNCHER=$earlier/bin/quarvel-launcher start_launcher "$w" earlier
  check "earlier launcher: installs build B" wait_until 60 file_holds "$w/latest_version.txt" "$B"
  stop_pid "$LAUNCHER_PID"
  check "earlier launcher: ... from the whole package ($(requested_since "$seen"))" \
    test "$(requested_since "$seen")" = "/latest_version.txt $package_path "
  check "earlier launcher: game/ holds exactly build B" is_build_b "$w"
fi
e2e_end

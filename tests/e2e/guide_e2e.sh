#!/usr/bin/env bash
# The studio guide's procedures, each block of commands from docs/studio-guide.md run as written and in order, by a
# studio with a copy of these sources, minisign and two nginx hosts; between the steps players start real launchers
# (one of an earlier release, built from git at the commit given) in a real window. docs/internals.md says what
# each must see.
#   tests/e2e/guide_e2e.sh BIN_DIR SOURCE_DIR [EARLIER_COMMIT]
set -euo pipefail
here=$(dirname "$0")
# shellcheck source=lib.sh
source "$here/lib.sh"
# shellcheck source=guide.sh
source "$here/guide.sh"

e2e_begin guide "$1" Xvfb xdotool xprop nginx minisign cmake
readonly SRC=$(cd "$2" && pwd) EARLIER=${3:-} STUDIO=$TMP/studio NEW_PORT=$((PORT + 3))
export KEYS=$TMP/keys SERVER_DIR=$TMP/server URL=http://127.0.0.1:$PORT/ NEW_DIR=$TMP/new-host
export NEW_URL=http://127.0.0.1:$NEW_PORT/ BUILD_DIR LINE PREVIOUS_LINE LAUNCHER_VERSION SECOND_DIR=$TMP/second-host
export SECOND_URL=http://127.0.0.1:$((PORT + 4))/

# step N [BUILD]: the section's Nth block run in the studio's sources as a shell runs it, for build BUILD, a game
# whose builds differ in one small file; a command that fails (a --check that finds a problem) ends the test.
game() {
  BUILD_DIR=$TMP/build-$1 LINE=$(line_of "$1")
  make_build "$BUILD_DIR" && echo "$1" >"$BUILD_DIR/data/n.txt" && cp "$TMP/big.bin" "$BUILD_DIR/data/"
}
step() {
  (($# == 1)) || game "$2"
  echo "== $SECTION, step $1" >>"$TMP/studio.log"
  (cd "$STUDIO" && HOME=$TMP/home XDG_DATA_HOME="" bash -euo pipefail -c "${STEPS[$1 - 1]}") >>"$TMP/studio.log" 2>&1 ||
    die "$SECTION, step $1 failed: $(tail -5 "$TMP/studio.log")"
}
downloads() { (cd "$1" && find . -maxdepth 1 -name 'quarvel *.zip*' -printf '%f|'); }
# play DIR NAME PATTERN: the player's launcher in DIR, started as its shortcut starts it, until PATTERN is in its
# log file; then Q.
play() {
  LAUNCHER=./quarvel-launcher open_window "$1" "$2"
  wait_until 120 grep -q "$3" "$1/quarvel-launcher.log" || die "$2: no '$3' in the log: $(tail -5 "$1/quarvel-launcher.log")"
  check "$2: the start does not fail to contact the server" not grep -q "Failed to contact server" "$1/quarvel-launcher.log"
  quit "$2"
}
installed() { holds_build "$1/latest_version.txt" "$(line_of "$2")"; }
# place DIR: the folder's place in the rollout, as its last start logged it; taken PLACE PERCENT: the build it then has.
place() { sed -n "s/.*this launcher's place is \([0-9]*\),.*/\1/p" "$1/quarvel-launcher.log" | tail -n 1; }
taken() { if (($1 < $2)); then echo 6; else echo 5; fi; }
# earlier_launcher DIR: DIR's program becomes that of the earlier release, built from git with the studio's settings
# once; without that commit (a clone without history) DIR is left out.
earlier_launcher() {
  local out=$BIN/../earlier-$EARLIER
  [[ -n $EARLIER ]] && git -C "$SRC" cat-file -e "$EARLIER^{commit}" 2>/dev/null || { rm -rf "$1" && return; }
  [[ -x $out/bin/quarvel-launcher ]] || { rm -rf "$out" && mkdir -p "$out/src" && git -C "$SRC" archive "$EARLIER" | tar -x -C "$out/src" &&
    cmake -S "$out/src" -B "$out" -DCMAKE_BUILD_TYPE=Release -DQUARVEL_BUILD_TESTS=OFF -DQUARVEL_SERVER_URL="$URL" \
      -DQUARVEL_PUBLIC_KEY="$(sed -n 2p "$KEYS/quarvel.pub")" && cmake --build "$out" -j"$(nproc)" --target quarvel-launcher
  } >"$TMP/earlier.log" 2>&1 || die "the earlier launcher did not build: $(tail -5 "$TMP/earlier.log")"
  cp "$out/bin/quarvel-launcher" "$1/"
}

# The studio: the first release's launcher (0.1.0, key A), published with build 1; player P installs both.
mkdir -p "$STUDIO" "$KEYS" "$SERVER_DIR" "$NEW_DIR" "$TMP/home"
tar -C "$SRC" --exclude='./build*' --exclude=./.git -cf - . | tar -C "$STUDIO" -xf -
cp "$here/../keys/test.key" "$KEYS/quarvel.key" && cp "$here/../keys/test.pub" "$KEYS/quarvel.pub"
(cd "$STUDIO" && cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DQUARVEL_SERVER_URL="$URL" \
  -DQUARVEL_PUBLIC_KEY="$(sed -n 2p "$KEYS/quarvel.pub")" && cmake --build build -j"$(nproc)" --target quarvel-launcher quarvel-publish &&
  cmake --install build --prefix "$TMP/p" --component launcher) >"$TMP/studio.log" 2>&1 || die "the studio's build failed"
head -c 300000 /dev/urandom >"$TMP/big.bin" && game 1 && publish --sign "$KEYS/quarvel.key" "$BUILD_DIR" "$LINE" "$SERVER_DIR"
start_nginx "$SERVER_DIR"
play "$TMP/p" first "Quarvel is up to date!"

section "Signing with the stock tool" || die "the guide has no commands under Signing with the stock tool"
step 1 2
check "stock tool: the signature is served beside the package, and no copy is left half-made" \
  eval 'test -f "$SERVER_DIR/quarvel $LINE.zip.minisig" && ! compgen -G "$SERVER_DIR/.quarvel-publish-*" >/dev/null'
play "$TMP/p" stock "Quarvel is up to date!"
check "stock tool: the build signed with minisign is installed" installed "$TMP/p" 2

# Each procedure's second block of commands builds the Windows launcher: the Windows job runs that one.
section "Carrying a launcher" || die "the guide has no commands under Carrying a launcher"
LAUNCHER_VERSION=0.2.0 && step 1 && step 3 3
check "carrying a launcher: the studio's home folder has no desktop entry" not test -e "$TMP/home/.local"
play "$TMP/p" carried "The launcher was updated to version 0.2.0"
play "$TMP/p" carried-next "Quarvel is up to date!"
check "carrying a launcher: build 3 is installed and launcher 0.2.0 runs" eval 'installed "$TMP/p" 3 && runs_version "$TMP/p" 0.2.0'
# Q stays away while the key is replaced: its launcher trusts the old key alone, with build 3 installed. So does
# R, with the launcher of an earlier release in Q's place.
cp -a "$TMP/p" "$TMP/q" && cp -a "$TMP/p" "$TMP/r" && earlier_launcher "$TMP/r"

section "Key replacement" || die "the guide has no commands under Key replacement"
LAUNCHER_VERSION=0.3.0 && step 1 && step 3 4
play "$TMP/p" bridge "The launcher was updated to version 0.3.0"
PREVIOUS_LINE=$(line_of 3) && step 4 5
play "$TMP/p" both-keys "Quarvel is up to date!"
check "key replacement: P, on launcher 0.3.0, installs build 5 signed with both keys" \
  eval 'installed "$TMP/p" 5 && runs_version "$TMP/p" 0.3.0'
play "$TMP/q" old-key-only "The launcher was updated to version 0.3.0"
check "key replacement: Q, whose launcher trusts the old key alone, gets build 5 as a patch" \
  eval 'installed "$TMP/q" 5 && grep -q "Applying a patch to the installed build" "$TMP/q/quarvel-launcher.log"'
check "old downloads: after its updates Q keeps only the patch it came by" \
  eval '[[ $(downloads "$TMP/q") =~ ^"quarvel $(line_of 5) patch from "[^|]*".zip|"$ ]]'

if [[ -d $TMP/r ]]; then
  LAUNCHER=./quarvel-launcher start_launcher "$TMP/r" earlier
  check "key replacement: R, on the earlier release's launcher, installs build 5 whole" wait_until 60 eval \
    'installed "$TMP/r" 5 && test "$(cat "$TMP/r/game/data/n.txt")" = 5'
  stop_pid "$LAUNCHER_PID"
fi

# S, a copy of Q whose number puts it within the first tenth of build 6's rollout (its place mixes the number with
# the line), and P, whose number is its own, take build 6 as their places say; R, on the earlier release's launcher,
# knows no rollout and takes it at once. The halt keeps build 6 where it is; the good build published again, newer,
# takes S back.
cp -a "$TMP/q" "$TMP/s" && python3 - "$TMP/s/quarvel-rollout-number.txt" "$(line_of 6)" <<'EOF'
import hashlib, sys
for n in range(1000):
    number = "%032x" % n
    if int.from_bytes(hashlib.blake2b((number + "\n" + sys.argv[2]).encode(), digest_size=8).digest(), "big") % 100 < 10:
        open(sys.argv[1], "w").write(number + "\n"); break
EOF
section "Staged rollout" || die "the guide has no commands under Staged rollout"
step 1 6
play "$TMP/p" rollout-10 "Quarvel is up to date!" && PLACE=$(place "$TMP/p")
play "$TMP/s" rollout-10-s "Quarvel is up to date!"
check "rollout at 10 %: P (place $PLACE) and S (place $(place "$TMP/s")) have the build their places give them" \
  eval 'installed "$TMP/p" "$(taken "$PLACE" 10)" && installed "$TMP/s" 6 && (($(place "$TMP/s") < 10))'
if [[ -d $TMP/r ]]; then
  LAUNCHER=./quarvel-launcher start_launcher "$TMP/r" earlier-rollout
  check "rollout: R, on the earlier release's launcher, takes build 6 at once" wait_until 60 installed "$TMP/r" 6
  stop_pid "$LAUNCHER_PID"
fi
step 2 6
play "$TMP/p" rollout-50 "Quarvel is up to date!"
check "rollout widened to 50 %: P has the build its place gives it" installed "$TMP/p" "$(taken "$PLACE" 50)"
step 3
play "$TMP/p" halted "Quarvel is up to date!"
play "$TMP/s" halted-s "Quarvel is up to date!"
check "halt: S keeps build 6, P keeps what it had" eval 'installed "$TMP/s" 6 && installed "$TMP/p" "$(taken "$PLACE" 50)"'
step 4 5
play "$TMP/s" back "Quarvel is up to date!"
play "$TMP/p" back-p "Quarvel is up to date!"
check "going back: build 5, published again, is installed over build 6" eval 'installed "$TMP/s" 5 && installed "$TMP/p" 5'

section "Renewing signatures" || die "the guide has no commands under Renewing signatures"
step 1
play "$TMP/p" renewed "Quarvel is up to date!"
check "renewing: the announcement carries its life, and P is up to date with build 5" \
  eval 'grep -q "expires:" "$SERVER_DIR/latest_version.txt" && installed "$TMP/p" 5'

section "Host move" || die "the guide has no commands under Host move"
write_nginx_conf "$TMP/new-nginx" "$NEW_DIR" "$NEW_PORT" && start_nginx_on "$TMP/new-nginx" && SECOND_NGINX_PID=$SERVER_PID
PORT=$NEW_PORT wait_until 10 port_open || die "the new host's nginx did not start"
step 1
play "$TMP/p" filled "Quarvel is up to date!"
LAUNCHER_VERSION=0.4.0 && step 2 && step 4 7
play "$TMP/p" moving "The launcher was updated to version 0.4.0"
play "$TMP/p" moved "Quarvel is up to date!"
check "host move: launcher 0.4.0 runs and asks the new host" \
  eval 'runs_version "$TMP/p" 0.4.0 && grep -q "update server: $NEW_URL" "$TMP/p/quarvel-launcher.log"'
step 5 8
stop_pid "$NGINX_PID" && NGINX_PID=""
play "$TMP/p" old-host-retired "Quarvel is up to date!"
check "host move: with the old host gone, build 8 comes from the new one" installed "$TMP/p" 8
check "old downloads: after its updates P keeps only build 8's package" test "$(downloads "$TMP/p")" = "quarvel $(line_of 8).zip|"
# The new host is now the studio's first; a second one serves P when the first is down, and a build published
# while it is down reaches P from the second.
section "A second host" || die "the guide has no commands under A second host"
URL=$NEW_URL SERVER_DIR=$NEW_DIR && write_nginx_conf "$TMP/second-nginx" "$SECOND_DIR" "$((PORT + 4))"
mkdir -p "$SECOND_DIR" && start_nginx_on "$TMP/second-nginx" && THIRD_NGINX_PID=$SERVER_PID
PORT=$((PORT + 4)) wait_until 10 port_open || die "the second host's nginx did not start"
step 1
LAUNCHER_VERSION=0.5.0 && step 2 && step 4 9
play "$TMP/p" two-hosts "The launcher was updated to version 0.5.0"
stop_pid "$SECOND_NGINX_PID" && SECOND_NGINX_PID=""
play "$TMP/p" first-down "Quarvel is up to date!"
check "second host: with the first down, P's launcher 0.5.0 asks the second and stays on build 9" \
  eval 'installed "$TMP/p" 9 && grep -q "the server $NEW_URL did not answer (libcurl 7 " "$TMP/p/quarvel-launcher.log"'
BUILD_DIR=$TMP/build-9 LINE="9.5 20261209" && echo 9.5 >"$BUILD_DIR/data/n.txt" &&
  "$BIN/quarvel-publish" --sign "$KEYS/quarvel.key" --launcher "$STUDIO/carried" "$BUILD_DIR" "$LINE" "$NEW_DIR" >/dev/null &&
  "$BIN/quarvel-publish" --mirror "$NEW_DIR" "$SECOND_DIR" >/dev/null || die "build 9.5 did not reach the second host"
play "$TMP/p" from-second "Quarvel is up to date!"
check "second host: build 9.5, published while the first is down, comes from the second" \
  holds_build "$TMP/p/latest_version.txt" "$LINE"
e2e_end

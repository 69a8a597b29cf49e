#!/usr/bin/env bash
# The Windows launcher as a player gets it, in a fresh Wine prefix under Xvfb and evilwm, against nginx:
# the signed setup program installs silently; the launcher, started as its shortcut says, installs a
# build, starts the game on a click and ends on Q; the silent uninstall leaves the prefix as it was.
#   tests/windows/wine_e2e.sh WINE BUILD_DIR FAKE_GAME SCREENSHOT PUBLISH
# (FAKE_GAME leaves started.txt; PUBLISH is the Linux quarvel-publish)
set -euo pipefail
here=$(dirname "$0")
# shellcheck source=../e2e/lib.sh
source "$here/../e2e/lib.sh"

WINE=$1 BUILD=$2 FAKE_GAME=$3 PUBLISH=$5
# The launcher asks the servers it was built with, the last of which is served here (a first one, if any, is down);
# the build is signed with the test key, which a launcher built without a key ignores.
port_of() { tr ',' '\n' <"$BUILD/bin/quarvel-launcher.server" | sed -n "$1"'s|^\(http://\)\{0,1\}127\.0\.0\.1:\([0-9]*\)/$|\2|p'; }
PORT=$(port_of '$') DEAD=$(port_of 1)
[[ -n $PORT ]] || { echo "1..0 # SKIP the launcher asks no server on this machine"; exit 77; }
readonly LINE='1.0 20261205' KEY='HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\QuarvelLauncher'
VERSION=$(sed -n 's/^!define VERSION "\(.*\)"$/\1/p' "$BUILD/quarvel-product.nsh")
e2e_begin wine "$BUILD/bin" Xvfb evilwm xdotool xprop import convert nginx zip unzip openssl osslsigncode softhsm2-util minisign \
  makensis wrestool icotool python3 quarvel-launcher.exe
SHOT=$4 P=$TMP/package
! PORT=$DEAD port_open || [[ $DEAD == "$PORT" ]] || die "port $DEAD, where the launcher's first host must be down, is in use"

wine_begin "$TMP/wineprefix"

# The build as quarvel-publish lays it out (that Linux tool is not part of this build), and the
# setup program and zip as scripts/windows.sh makes them, signed.
install -D "$FAKE_GAME" "$TMP/build/Top/details/Quarvel.exe" && mkdir "$TMP/site"
(cd "$TMP/build" && zip -q -r "$TMP/site/quarvel $LINE.zip" Top)
minisign -S -s "$here/../keys/test.key" -m "$TMP/site/quarvel $LINE.zip" >/dev/null || die "minisign did not sign"
{ printf '%s\n' "$LINE" && cat "$TMP/site/quarvel $LINE.zip.minisig"; } >"$TMP/site/latest_version.txt"
start_nginx "$TMP/site"
# Signed with a throwaway certificate whose key sits on a token (SoftHSM's), as most code-signing keys do.
export QUARVEL_CODESIGN_CERT=$TMP/cert.pem QUARVEL_CODESIGN_KEY="pkcs11:token=quarvel;object=codesign;type=private"
export QUARVEL_CODESIGN_PKCS11=/usr/lib/softhsm/libsofthsm2.so QUARVEL_CODESIGN_PIN_FILE=$TMP/pin SOFTHSM2_CONF=$TMP/softhsm2.conf
mkdir "$TMP/tokens" && printf 'directories.tokendir = %s\n' "$TMP/tokens" >"$SOFTHSM2_CONF" && echo 1234 >"$TMP/pin"
{ openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj '/CN=Quarvel test' -keyout "$TMP/key.pem" -out "$QUARVEL_CODESIGN_CERT" &&
  openssl pkcs8 -topk8 -nocrypt -in "$TMP/key.pem" -out "$TMP/key.p8" && softhsm2-util --init-token --free --label quarvel --pin 1234 --so-pin 5678 &&
  softhsm2-util --import "$TMP/key.p8" --token quarvel --label codesign --id 01 --pin 1234 && rm "$TMP/key.pem" "$TMP/key.p8"; } >/dev/null 2>&1 ||
  die "no key on the token"
"$here/../../packaging/windows/package.sh" "$BUILD" "$P" >"$TMP/package.log" 2>&1 ||
  die "package.sh failed: $(tail -5 "$TMP/package.log")"

# The prefix's paths and the user's software registry, less Wine's own keys, the Programs folder and
# Uninstall key (Windows has both anyway) and the uninstaller's copy in Temp (gone at the next restart).
prefix_state() {
  (cd "$WINEPREFIX/drive_c" && find . | grep -v -e '/AppData/Local/Programs$' -e '/Temp/~nsu' | sort)
  "$WINE" reg export 'HKCU\Software' "$TMP/hkcu.reg" /y >/dev/null 2>&1
  iconv -f UTF-16 -t UTF-8 "$TMP/hkcu.reg" | tr -d '\r' |
    awk '/^\[/ { skip = index($0, "\\Software\\Wine") || $0 ~ /CurrentVersion\\Uninstall\]$/ }; !skip'
}
reg_value() { "$WINE" reg query "$KEY" /v "$1" 2>/dev/null | tr -d '\r' | sed -n "s/^ *$1 *REG_[A-Z_]* *//p"; }

check "setup refuses a folder it cannot write to (exit status 2)" \
  test "$("$WINE" "$P/quarvel-launcher-setup.exe" /S '/D=Z:\proc\quarvel' 2>/dev/null; echo $?)" = 2
prefix_state >"$TMP/before"
check "setup installs silently" "$WINE" "$P/quarvel-launcher-setup.exe" /S
AT=$(reg_value InstallLocation)
INSTALL=${AT/#C:/$WINEPREFIX/drive_c} && INSTALL=${INSTALL//\\//} EXE=$INSTALL/quarvel-launcher.exe
check "the uninstall entry has name, icon, publisher, version and a size" test \
  "$(reg_value DisplayName)|$(reg_value DisplayIcon)|$(reg_value Publisher)|$(reg_value DisplayVersion)|$(reg_value EstimatedSize | grep -c '^0x0*[1-9a-f]')" \
  = "Quarvel Launcher|$AT\\quarvel-launcher.exe,0|Quarvel|$VERSION|1"
check "the launcher's folder is in %LOCALAPPDATA%\\Programs\\Quarvel Launcher" \
  test "$INSTALL" = "$(echo "$WINEPREFIX"/drive_c/users/*/AppData/Local)/Programs/Quarvel Launcher" -a \
  "$(ls "$INSTALL")" = "$( (ls "$P/quarvel-launcher-windows" && echo uninstall.exe) | sort)"
# A shortcut holds its target as a local path and its working directory as a counted UTF-16 string
# (Wine counts and writes the string's closing NUL).
check "the Start menu shortcut starts quarvel-launcher.exe in that folder" python3 - "$AT" \
  "$(echo "$WINEPREFIX"/drive_c/users/*/AppData/Roaming/Microsoft/Windows/Start\ Menu/Programs)/Quarvel Launcher.lnk" <<'EOF'
import sys; at = sys.argv[1]; lnk = open(sys.argv[2], 'rb').read()
sys.exit((at + '\\quarvel-launcher.exe\0').encode() not in lnk or ('%c%s\0' % (len(at) + 1, at)).encode('utf-16-le') not in lnk)
EOF
unzip -q "$P"/quarvel-launcher-*-win64.zip '*/quarvel-launcher.exe' -d "$TMP/zip"
all_signed() { local f; for f; do osslsigncode verify -CAfile "$QUARVEL_CODESIGN_CERT" -in "$f" >/dev/null 2>&1 || return 1; done; }
check "the launcher, its DLLs, the uninstaller, setup and the zip's launcher are signed" \
  all_signed "$INSTALL"/*.exe "$INSTALL"/*.dll "$P/quarvel-launcher-setup.exe" "$TMP"/zip/*/quarvel-launcher.exe
wrestool -x -t 14 "$EXE" >"$TMP/icon.ico" || true
check "the launcher carries its icon at 16, 32, 48 and 256 pixels" test \
  "$(icotool -l "$TMP/icon.ico" | grep -o 'width=[0-9]*' | sort -t= -n -k2 | xargs)" = "width=16 width=32 width=48 width=256"
check "the launcher carries its version" grep -qx "$VERSION" <(wrestool -x --raw -t 16 "$EXE" | strings -el)
check "the launcher carries an asInvoker manifest" grep -q 'level="asInvoker"' <(wrestool -x --raw -t 24 "$EXE")

wine_start "$INSTALL" "$AT\\quarvel-launcher.exe" launcher
check "the build is installed and named in latest_version.txt" \
  wait_until 120 holds_build "$INSTALL/latest_version.txt" "$LINE"
check "the game's program is unpacked into game\\details" cmp -s "$FAKE_GAME" "$INSTALL/game/details/Quarvel.exe"
check "no temp.txt or latest_version.txt.new is left" not test -e "$INSTALL/temp.txt" -o -e "$INSTALL/latest_version.txt.new"
check "the window shows the enabled LAUNCH button" wait_until 10 shows_enabled "$SHOT"
click_button
check "a click on LAUNCH starts the game in game\\details" wait_until 30 test -e "$INSTALL/game/details/started.txt"
check "the start command is echoed exactly on standard output" \
  grep -qFx -- 'cd game\details && "Quarvel.exe"' <(tr -d '\r' <"$TMP/launcher.out")

# The game's console (Wine's conhost.exe) outlives the game for a moment, and while it runs, a
# click does not make the launcher's window active again; once it is gone, one click does.
console_open() {
  local pid; for pid in $(pgrep -r D,R,S -f 'conhost\.exe'); do grep -qzx "WINEPREFIX=$WINEPREFIX" "/proc/$pid/environ" && return 0; done
  return 1
} 2>/dev/null
wait_until 10 not console_open || true
xdo 5 mousemove --window "$WID" 50 50 click 1 sleep 0.3 || true
quit wine

# Releases the studio steers with the Linux publishing tool: a rollout to half the players, then to everyone, then
# the first build's version file replayed, older than the installed build's. The first host of the launcher's list
# is down at every start.
# wine_play NAME PATTERN: one start of the installed launcher until PATTERN is in its log file; then Q.
wine_play() {
  rm -f "$INSTALL/quarvel-launcher.log" && wine_start "$INSTALL" "$AT\\quarvel-launcher.exe" "$1"
  wait_until 120 grep -q "$2" "$INSTALL/quarvel-launcher.log" || die "$1: no '$2' in the log: $(tail -3 "$INSTALL/quarvel-launcher.log")"
  quit "$1"
}
readonly B2='2.0 20261206' SIGN=(--sign "$here/../keys/test.key")
cp "$TMP/site/latest_version.txt" "$TMP/replayed.txt"
"$PUBLISH" "${SIGN[@]}" --rollout 50 "$TMP/build/Top" "$B2" "$TMP/site" >/dev/null || die "the rollout was not published"
wine_play rollout "Quarvel is up to date!"
PLACE=$(sed -n "s/.*this launcher's place is \([0-9]*\),.*/\1/p" "$INSTALL/quarvel-launcher.log")
check "rollout at 50 %: the launcher (place $PLACE) has the build its place gives it, and keeps its number" eval \
  'holds_build "$INSTALL/latest_version.txt" "$( ((PLACE < 50)) && echo "$B2" || echo "$LINE")" && test -s "$INSTALL/quarvel-rollout-number.txt"'
"$PUBLISH" "${SIGN[@]}" "$TMP/build/Top" "$B2" "$TMP/site" >/dev/null || die "build 2 was not published to everyone"
wine_play everyone "Quarvel is up to date!"
check "build 2 for everyone: it is installed" holds_build "$INSTALL/latest_version.txt" "$B2"
cp "$TMP/replayed.txt" "$TMP/site/latest_version.txt"
wine_play replayed "is ready to play!"
check "the first build's signed version file replayed: refused in plain words, and build 2 stays" eval \
  'grep -q "The server offers an older build (1.0_20261205); it is not installed." "$INSTALL/quarvel-launcher.log" &&
   holds_build "$INSTALL/latest_version.txt" "$B2"'
if [[ $DEAD != "$PORT" ]]; then
  check "host list: the log names the first host, down, with libcurl's words; the second served" \
    grep -q "the server http://127.0.0.1:$DEAD/ did not answer (libcurl 7 " "$INSTALL/quarvel-launcher.log"
fi

# What an update of the launcher itself leaves: the files it brought (one setup never installed), the
# previous launcher's copies until the new one has started, the copies of one that a kill interrupted.
printf 'file quarvel-launcher.exe\nfile libnew.dll\n' >"$INSTALL/launcher-files.txt"
touch "$INSTALL/libnew.dll" "$INSTALL/quarvel-launcher.exe.quarvel-previous" "$INSTALL/launcher-update-refused.txt"
printf 'quarvel launcher update 1\nversion 9.0.0\nstate copying\nfile libnext.dll\n' >"$INSTALL/launcher-update.txt"
touch "$INSTALL/libnext.dll.quarvel-next"
"$WINE" "$INSTALL/uninstall.exe" /S
check "the silent uninstall removes the install folder, game included" wait_until 30 not test -e "$INSTALL"
check "the silent uninstall removes the uninstall entry" not "$WINE" reg query "$KEY" 2>/dev/null
check "the silent uninstall leaves the rest of the prefix as it was" diff "$TMP/before" <(prefix_state)
"$(dirname "$WINE")/wineserver" -w || true
e2e_end

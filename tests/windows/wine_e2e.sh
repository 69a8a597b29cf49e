#!/usr/bin/env bash
# The Windows launcher as a player gets it, in a fresh Wine prefix under Xvfb and evilwm,
# against nginx on 127.0.0.1: the setup program, signed here with a throwaway certificate,
# installs silently; the launcher, started as its shortcut says, installs a build, starts
# the game on a click and ends on Q; the silent uninstall leaves the prefix as it was.
#   tests/windows/wine_e2e.sh WINE BUILD_DIR FAKE_GAME [SCREENSHOT]   (FAKE_GAME records its folder)
set -euo pipefail
# shellcheck source=../e2e/lib.sh
source "$(dirname "$0")/../e2e/lib.sh"

WINE=$1 BUILD=$2 FAKE_GAME=$3 SCREENSHOT=${4:-}
readonly LINE='1.0 20261205' WINDOWS_COMMAND='cd game\details && "Quarvel.exe"'
readonly KEY='HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\QuarvelLauncher'
PACKAGE="" INSTALL=""
VERSION=$(sed -n 's/^!define VERSION "\(.*\)"$/\1/p' "$BUILD/quarvel-product.nsh")

# The package as quarvel-publish lays it out; that Linux tool is not part of this build.
publish_build() {
  local root="$TMP/build" site="$TMP/site"
  mkdir -p "$root/Top/details" "$site"
  cp "$FAKE_GAME" "$root/Top/details/Quarvel.exe"
  echo "Quarvel $LINE" >"$root/Top/readme.txt"
  (cd "$root" && zip -q -r "$site/quarvel $LINE.zip" Top)
  printf '%s' "$LINE" >"$site/latest_version.txt"
  start_nginx "$site"
}

# Wine's menu builder stays off: it would write desktop entries into the home folder.
prepare_wine() {
  export WINEPREFIX=$TMP/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES='mscoree,mshtml=;winemenubuilder.exe=d'
  evilwm -fn fixed >/dev/null 2>&1 & # it ends with the X server
  wait_until 10 wm_running || die "evilwm did not start"
  timeout 240 "$WINE" wineboot -i >"$TMP/wineboot.log" 2>&1 || die "wineboot failed: $(tail -3 "$TMP/wineboot.log")"
}
wm_running() { xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id'; }

# The setup program and the zip as scripts/windows.sh makes them, signed.
package_signed() {
  export QUARVEL_SIGN_CERT=$TMP/cert.pem QUARVEL_SIGN_KEY=$TMP/key.pem
  openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj '/CN=Quarvel test' \
    -keyout "$QUARVEL_SIGN_KEY" -out "$QUARVEL_SIGN_CERT" >/dev/null 2>&1 || die "openssl made no certificate"
  PACKAGE=$TMP/package
  "$(dirname "$0")/../../packaging/windows/package.sh" "$BUILD" "$PACKAGE" >"$TMP/package.log" 2>&1 ||
    die "package.sh failed: $(tail -5 "$TMP/package.log")"
}

# The prefix's paths and the user's software registry, less Wine's own keys, the Programs folder and
# Uninstall key (Windows has both anyway) and the uninstaller's copy in Temp (gone at the next restart).
prefix_state() {
  (cd "$WINEPREFIX/drive_c" && find . | grep -v -e '/AppData/Local/Programs$' -e '/Temp/~nsu' | sort)
  "$WINE" reg export 'HKCU\Software' "$TMP/hkcu.reg" /y >/dev/null 2>&1
  iconv -f UTF-16 -t UTF-8 "$TMP/hkcu.reg" | tr -d '\r' |
    awk '/^\[/ { skip = index($0, "\\Software\\Wine") || $0 ~ /CurrentVersion\\Uninstall\]$/ }; !skip'
}
reg_value() { "$WINE" reg query "$KEY" /v "$1" 2>/dev/null | tr -d '\r' | sed -n "s/^ *$1 *REG_[A-Z_]* *//p"; }
unix_path() { local p=${1/#C:/$WINEPREFIX/drive_c}; echo "${p//\\//}"; }

# The Start menu shortcut's target (LinkInfo's local path) and working directory, a line
# each, read as Windows reads them (MS-SHLLINK, with the Unicode strings NSIS writes).
shortcut_fields() {
  python3 - "$(echo "$WINEPREFIX"/drive_c/users/*/AppData/Roaming/Microsoft/Windows/Start\ Menu/Programs)/Quarvel Launcher.lnk" <<'EOF'
import struct, sys
d = open(sys.argv[1], 'rb').read()
u = lambda fmt, at: struct.unpack_from(fmt, d, at)[0]
flags = u('<I', 20); p = 76 + (2 + u('<H', 76) if flags & 1 else 0); base = p + u('<I', p + 16)
print(d[base:d.index(b'\0', base)].decode()); p += u('<I', p)
for bit in (4, 8, 16):
    if bit == 16: print(d[p + 2:p + 2 + 2 * u('<H', p)].decode('utf-16-le') if flags & bit else '')
    elif flags & bit: p += 2 + 2 * u('<H', p)
EOF
}

all_signed() { local f; for f; do osslsigncode verify -CAfile "$QUARVEL_SIGN_CERT" -in "$f" >/dev/null 2>&1 || return 1; done; }
icon_widths() { wrestool -x -t 14 "$1" >"$TMP/icon.ico" && icotool -l "$TMP/icon.ico" | grep -o 'width=[0-9]*' | sort -t= -n -k2 | xargs; }
resources_present() {
  grep -qx "$VERSION" <<<"$(wrestool -x --raw -t 16 "$1" | strings -el)" &&
    grep -q 'level="asInvoker"' <<<"$(wrestool -x --raw -t 24 "$1")"
}

check_setup() {
  local location
  check "setup refuses a folder it cannot write to (exit status 2)" \
    test "$("$WINE" "$PACKAGE/quarvel-launcher-setup.exe" /S '/D=Z:\proc\quarvel' 2>/dev/null; echo $?)" = 2
  prefix_state >"$TMP/before"
  check "setup installs silently" "$WINE" "$PACKAGE/quarvel-launcher-setup.exe" /S
  location=$(reg_value InstallLocation)
  INSTALL=$(unix_path "$location")
  check "the uninstall entry has name, icon, publisher, version and a size" test \
    "$(reg_value DisplayName)|$(reg_value DisplayIcon)|$(reg_value Publisher)|$(reg_value DisplayVersion)|$(reg_value EstimatedSize | grep -c '^0x0*[1-9a-f]')" \
    = "Quarvel Launcher|$location\\quarvel-launcher.exe,0|Quarvel|$VERSION|1"
  check "the launcher's folder is in %LOCALAPPDATA%\\Programs\\Quarvel Launcher" \
    test "$INSTALL" = "$(echo "$WINEPREFIX"/drive_c/users/*/AppData/Local)/Programs/Quarvel Launcher" -a \
    "$(ls "$INSTALL")" = "$( (ls "$PACKAGE/quarvel-launcher-windows" && echo uninstall.exe) | sort)"
  check "the Start menu shortcut starts quarvel-launcher.exe in that folder" \
    test "$(shortcut_fields)" = "$location\\quarvel-launcher.exe"$'\n'"$location"
  unzip -q "$PACKAGE"/quarvel-launcher-*-win64.zip '*/quarvel-launcher.exe' -d "$TMP/zip"
  check "the launcher, its DLLs, the uninstaller, setup and the zip's launcher are signed" \
    all_signed "$INSTALL"/*.exe "$INSTALL"/*.dll "$PACKAGE/quarvel-launcher-setup.exe" "$TMP"/zip/*/quarvel-launcher.exe
  check "the launcher carries its icon at 16, 32, 48 and 256 pixels" \
    test "$(icon_widths "$INSTALL/quarvel-launcher.exe")" = "width=16 width=32 width=48 width=256"
  check "the launcher carries its version and an asInvoker manifest" resources_present "$INSTALL/quarvel-launcher.exe"
}

# Started as the shortcut says: its target, in its working directory.
start_wine_launcher() {
  local fields
  mapfile -t fields < <(shortcut_fields)
  (cd "$(unix_path "${fields[1]}")" && exec "$WINE" "${fields[0]}") >"$TMP/launcher.out" 2>"$TMP/launcher.err" &
  LAUNCHER_PID=$!
  WID=$(xdo 60 search --sync --name '^Quarvel Launcher$' | head -n 1) ||
    die "the launcher window did not appear: $(tail -5 "$TMP/launcher.err")"
}

check_install() {
  check "the build is installed and named in latest_version.txt" \
    wait_until 120 file_holds "$INSTALL/latest_version.txt" "$LINE"
  check "the game's program is unpacked into game\\details" cmp -s "$FAKE_GAME" "$INSTALL/game/details/Quarvel.exe"
  check "the version download temp.txt is gone" not test -e "$INSTALL/temp.txt"
  sleep 0.5
  import -window "$WID" "$TMP/ready.png" 2>/dev/null
  [[ -z $SCREENSHOT ]] || cp -- "$TMP/ready.png" "$SCREENSHOT"
  check "the window shows the enabled LAUNCH button" button_is_enabled "$TMP/ready.png"
}

check_launch() {
  click_button
  check "a click on LAUNCH starts the game in game\\details" \
    wait_until 30 grep -qis 'game\\details$' "$INSTALL/game/details/started.txt"
  check "the start command is echoed exactly on standard output" \
    grep -qFx -- "$WINDOWS_COMMAND" <(tr -d '\r' <"$TMP/launcher.out")
}

# The game's console (Wine's conhost.exe) outlives the game for a moment, and while it
# runs, a click does not make the launcher's window active again; once it is gone, one
# click does, and Q is pressed once.
console_open() {
  local pid; for pid in $(pgrep -r D,R,S -f 'conhost\.exe'); do grep -qzx "WINEPREFIX=$WINEPREFIX" "/proc/$pid/environ" && return 0; done
  return 1
} 2>/dev/null
check_quit() {
  wait_until 10 not console_open || true
  xdo 5 mousemove --window "$WID" 50 50 click 1 || true
  sleep 0.3
  quit wine Q
}

check_uninstall() {
  "$WINE" "$INSTALL/uninstall.exe" /S
  check "the silent uninstall removes the install folder, game included" wait_until 30 not test -e "$INSTALL"
  check "the silent uninstall removes the uninstall entry" not "$WINE" reg query "$KEY"
  check "the silent uninstall leaves the rest of the prefix as it was" diff "$TMP/before" <(prefix_state)
}

e2e_begin wine "$BUILD/bin" Xvfb evilwm xdotool import convert nginx zip unzip openssl osslsigncode \
  makensis wrestool icotool python3 quarvel-launcher.exe
need_port
start_xvfb
prepare_wine
package_signed
publish_build
check_setup
start_wine_launcher
check_install
check_launch
check_quit
check_uninstall
"$(dirname "$WINE")/wineserver" -w || true
e2e_end

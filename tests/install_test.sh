#!/usr/bin/env bash
# Installs the launcher into a temporary folder as a player would get it, checks the
# folder, the desktop entry and the packaged tarball, then runs the installed launcher
# once in a real window under Xvfb and closes it with Q.
#   tests/install_test.sh BUILD_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
tmp=$(mktemp -d)
xvfb_pid="" launcher_pid=""
cleanup() {
  [ -z "$launcher_pid" ] || kill -9 "$launcher_pid" 2>/dev/null || true
  [ -z "$xvfb_pid" ] || kill "$xvfb_pid" 2>/dev/null || true
  rm -rf "$tmp"
}
trap cleanup EXIT
fail() { echo "not ok - $*"; exit 1; }
pass() { echo "ok - $*"; }

prefix="$tmp/Quarvel Launcher"
HOME=$tmp/home XDG_DATA_HOME="" cmake --install "$build" --prefix "$prefix" >/dev/null
assets=(quarvel-launcher quarvel_splash.png launch.png launch_pressed.png launch_disabled.png quarvel_icon_black.png LTYPE.TTF)
for f in "${assets[@]}"; do [ -f "$prefix/$f" ] || fail "installed folder lacks $f"; done
pass "the launcher and its six asset files are installed into one folder"

entry=$tmp/home/.local/share/applications/quarvel-launcher.desktop
[ -f "$entry" ] || fail "no desktop entry at $entry"
grep -qx "Path=$prefix" "$entry" || fail "desktop entry does not start the launcher in its folder"
grep -qx "Exec=\"$prefix/quarvel-launcher\"" "$entry" || fail "desktop entry's Exec line is wrong"
grep -qx "Icon=$prefix/quarvel_icon_black.png" "$entry" || fail "desktop entry's icon is wrong"
pass "the desktop entry starts the launcher in its own folder"

(cd "$build" && cpack -G TGZ >/dev/null)
listing=$(tar tzf "$build"/quarvel-launcher-*-Linux.tar.gz)
for f in "${assets[@]}" install-desktop-entry.sh; do grep -q "/$f\$" <<<"$listing" || fail "tarball lacks $f"; done
pass "the tarball holds the same folder"

display_file=$tmp/display
Xvfb -displayfd 3 -screen 0 640x480x24 -nolisten tcp 3>"$display_file" 2>/dev/null &
xvfb_pid=$!
timeout 10 bash -c "until [ -s '$display_file' ]; do sleep 0.1; done" || fail "Xvfb did not start"
export DISPLAY=":$(cat "$display_file")"

# Started the way the desktop entry starts it, in its folder. Whatever the update
# server answers, the window opens and Q ends it.
(cd "$prefix" && exec ./quarvel-launcher) >"$tmp/out" 2>"$tmp/err" &
launcher_pid=$!
wid=$(timeout 10 xdotool search --sync --name '^Quarvel Launcher$' | head -n1) || fail "no launcher window"
sleep 1
[ ! -s "$tmp/err" ] || fail "the installed launcher complained: $(cat "$tmp/err")"
timeout 5 xdotool windowfocus --sync "$wid"
timeout 5 xdotool key q
timeout 5 bash -c "while kill -0 $launcher_pid 2>/dev/null; do sleep 0.05; done" || fail "Q did not end the launcher"
status=0
wait "$launcher_pid" || status=$?
launcher_pid=""
[ "$status" -eq 0 ] || fail "the launcher ended with status $status"
pass "the installed launcher opens its window, finds its assets and ends on Q with status 0"

#!/usr/bin/env bash
# Installs the launcher into a temporary folder as a player would get it, checks the
# folder, the desktop entry and the packaged tarball, then runs the installed launcher
# once in a real window under Xvfb and closes it with Q.
#   tests/install_test.sh BUILD_DIR
set -euo pipefail
# shellcheck source=e2e/lib.sh
source "$(dirname "$0")/e2e/lib.sh"

e2e_begin install "$1" cmake cpack tar Xvfb xdotool xprop
build=$BIN
BIN="$TMP/Quarvel Launcher"
HOME=$TMP/home XDG_DATA_HOME="" cmake --install "$build" --prefix "$BIN" >/dev/null
all_installed() { for f in quarvel-launcher "${ASSETS[@]}"; do [[ -f $BIN/$f ]] || return 1; done; }
check "the launcher and its six asset files are installed into one folder" all_installed

# The desktop entry starts the launcher in its own folder, which it works relative to.
entry=$TMP/home/.local/share/applications/quarvel-launcher.desktop
check "the desktop entry's folder" grep -qx "Path=$BIN" "$entry"
check "the desktop entry's program" grep -qx "Exec=\"$BIN/quarvel-launcher\"" "$entry"
check "the desktop entry's icon" grep -qx "Icon=$BIN/quarvel_icon_black.png" "$entry"

(cd "$build" && cpack -G TGZ >/dev/null)
listing=$(tar tzf "$build"/quarvel-launcher-*-Linux.tar.gz)
in_tarball() { for f in quarvel-launcher "${ASSETS[@]}" install-desktop-entry.sh; do grep -q "/$f\$" <<<"$listing" || return 1; done; }
check "the tarball holds the same folder and the desktop entry installer" in_tarball

# Started as the desktop entry starts it: whatever the update server answers, the
# window opens, the assets are found and Q ends it.
start_xvfb
start_launcher "$BIN" installed
open_window installed || die "the installed launcher opened no window"
sleep 1
check "the installed launcher reports nothing on stderr" test ! -s "$TMP/installed.err"
quit installed Q
e2e_end

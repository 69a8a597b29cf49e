#!/usr/bin/env bash
# The launcher installed into a temporary folder as a player gets it: the folder, the desktop entry, the
# tarball, and the installed launcher started as the entry does and closed with Q; and a launcher's folder
# prepared for a build to carry, which touches nothing outside it.   tests/install_test.sh BUILD_DIR
set -euo pipefail
# shellcheck source=e2e/lib.sh
source "$(dirname "$0")/e2e/lib.sh"
holds_all() { local f; for f in "${@:2}"; do grep -q "/$f\$" <<<"$1" || return 1; done; }

e2e_begin install "$1" cmake cpack tar Xvfb xdotool xprop
dest="$TMP/Quarvel Launcher" entry=$TMP/home/.local/share/applications/quarvel-launcher.desktop
HOME=$TMP/home XDG_DATA_HOME="" cmake --install "$BIN" --prefix "$dest" >/dev/null
check "the launcher and its six asset files are installed into one folder" \
  holds_all "$(find "$dest" -maxdepth 1 -type f)" quarvel-launcher "${ASSETS[@]}"
# The desktop entry starts the launcher in its own folder, which it works relative to.
check "the desktop entry's folder, program and icon" eval 'grep -qx "Path=$dest" "$entry" &&
  grep -qx "Exec=\"$dest/quarvel-launcher\"" "$entry" && grep -qx "Icon=$dest/quarvel_icon_black.png" "$entry"'
(cd "$BIN" && cpack -G TGZ >/dev/null)
check "the tarball holds the same folder and the desktop entry installer" \
  holds_all "$(tar tzf "$BIN"/quarvel-launcher-*-Linux.tar.gz)" quarvel-launcher "${ASSETS[@]}" install-desktop-entry.sh
LAUNCHER=$dest/quarvel-launcher
open_window "$dest" installed
quit installed
check "the installed launcher found its assets and reported nothing on stderr" test ! -s "$TMP/installed.err"
e2e_end

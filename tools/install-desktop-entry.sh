#!/bin/sh
# Registers the launcher in this folder with the desktop: writes a desktop entry into
# the player's applications folder. The launcher reads and writes everything in its
# working directory, so the entry starts it here (Path=), and this folder must stay
# writable by the player.
set -eu
dir=$(cd "$(dirname "$0")" && pwd)
apps=${XDG_DATA_HOME:-$HOME/.local/share}/applications
mkdir -p "$apps"
cat > "$apps/quarvel-launcher.desktop" <<ENTRY
[Desktop Entry]
Type=Application
Name=Quarvel Launcher
Comment=Keeps Quarvel up to date and starts it
Exec="$dir/quarvel-launcher"
Path=$dir
Icon=$dir/quarvel_icon_black.png
Terminal=false
Categories=Game;
ENTRY
echo "desktop entry written to $apps/quarvel-launcher.desktop"

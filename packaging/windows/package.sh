#!/usr/bin/env bash
# Makes what players download from a built Windows tree:
#   OUT/quarvel-launcher-windows/            the launcher's folder, as "cmake --install" lays it out
#   OUT/quarvel-launcher-setup.exe           the setup program (NSIS, quarvel-launcher.nsi)
#   OUT/quarvel-launcher-VERSION-win64.zip   the same folder as a portable zip (CPack)
# With a certificate for sign.sh, the programs and DLLs are signed before they are packed,
# and so are the uninstaller and the setup program.
#   packaging/windows/package.sh BUILD_DIR OUT_DIR
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "$1" && pwd)
mkdir -p "$2"
out=$(cd "$2" && pwd)
folder=$out/quarvel-launcher-windows

rm -rf "$folder"
cmake --install "$build" --prefix "$folder" --strip >/dev/null
# The libraries come with their symbols, which players have no use for (half the folder).
x86_64-w64-mingw32-strip --strip-unneeded "$folder"/*.dll
"$here/sign.sh" "$folder"/*.exe "$folder"/*.dll

# The setup program installs exactly the folder's files, and its uninstaller removes
# exactly those.
files=$out/quarvel-launcher-files.nsh
{
  echo '!macro INSTALL_FILES'
  for f in "$folder"/*; do
    [[ -f $f ]] || { echo "package.sh: $f is not a file; the setup program expects a flat folder" >&2; exit 1; }
    printf '  File "%s"\n' "$f"
  done
  echo '!macroend'
  echo '!macro REMOVE_FILES'
  # shellcheck disable=SC2016 # $INSTDIR is for makensis
  for f in "$folder"/*; do printf '  Delete "$INSTDIR\\%s"\n' "${f##*/}"; done
  echo '!macroend'
} >"$files"
# The picture beside the welcome and finish pages: the splash art on the window's dark blue.
sidebar=$out/quarvel-setup-sidebar.bmp
convert -size 164x314 gradient:'#0f2148-#03070f' \( "$here/../../assets/quarvel_splash.png" -resize 150x \) \
  -gravity north -geometry +0+24 -composite BMP3:"$sidebar"
sign=()
# makensis signs from the script's folder, so the files named for signing are made absolute here.
for name in QUARVEL_CODESIGN_CERT QUARVEL_CODESIGN_KEY QUARVEL_CODESIGN_PIN_FILE; do
  [[ -z ${!name:-} || ${!name} == pkcs11:* ]] || export "$name=$(realpath -- "${!name}")"
done
[[ -z ${QUARVEL_CODESIGN_CERT:-}${QUARVEL_CODESIGN_KEY:-} ]] || sign=("-DSIGN=$here/sign.sh")
makensis -V2 -WX "-DPRODUCT=$build/quarvel-product.nsh" "-DFILES=$files" "-DSIDEBAR=$sidebar" \
  "-DOUTFILE=$out/quarvel-launcher-setup.exe" "${sign[@]}" "$here/quarvel-launcher.nsi"

# CPack packs the signed folder as it is instead of installing the build anew.
(cd "$build" && cpack -G ZIP -B "$out" -D CPACK_INSTALL_CMAKE_PROJECTS= \
  -D "CPACK_INSTALLED_DIRECTORIES=$folder;." >/dev/null)
rm -rf "$out/_CPack_Packages"

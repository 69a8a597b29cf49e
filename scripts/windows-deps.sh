#!/usr/bin/env bash
# Cross-builds the launcher's libraries for 64-bit Windows from Debian's own source
# packages, into a cache folder outside the clone. A later run whose inputs (this
# script's build steps, the toolchain file, the compiler and the source versions apt
# offers) are unchanged reuses the cache and builds nothing. It also installs the tools of the whole
# Windows job: the cross compiler, Wine, NSIS for the setup program, osslsigncode,
# icoutils for the resource check and evilwm, the window manager of the Wine tests.
#
#   scripts/windows-deps.sh        prints the folder that holds the built libraries
#
# QUARVEL_WINDOWS_CACHE chooses the cache folder (default ~/.cache/quarvel-windows).
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
toolchain="$repo/cmake/mingw-w64-x86_64.cmake"
cache=${QUARVEL_WINDOWS_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/quarvel-windows}
prefix="$cache/prefix"
packages=(zlib libzip curl libsdl2 libsdl2-image freetype libsdl2-ttf libsodium libzstd)

log() { echo "windows-deps: $*" >&2; }
as_root() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }

install_tools() {
  local tools=(g++-mingw-w64-x86-64-posix mingw-w64-tools dpkg-dev cmake ninja-build wine64
    nsis osslsigncode softhsm2 libengine-pkcs11-openssl icoutils evilwm openssl autoconf automake libtool)
  local missing=()
  for p in "${tools[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return
  export DEBIAN_FRONTEND=noninteractive
  as_root apt-get install -y -q --no-install-recommends "${missing[@]}" >&2 ||
    { as_root apt-get update -q >&2 && as_root apt-get install -y -q --no-install-recommends "${missing[@]}" >&2; }
}

# Source entries are made from the machine's own binary entries by changing their
# type, so the sources come from the same archive as everything else installed here.
enable_sources() {
  local list=/etc/apt/sources.list.d/quarvel-deb-src
  if apt-cache showsrc zlib 2>/dev/null | grep -c "^Version" >/dev/null; then return; fi
  if [ -f /etc/apt/sources.list.d/debian.sources ]; then
    sed 's/^Types:.*\bdeb\b.*$/Types: deb-src/' /etc/apt/sources.list.d/debian.sources | as_root tee "$list.sources" >/dev/null
  fi
  if [ -f /etc/apt/sources.list ] && grep -q '^deb ' /etc/apt/sources.list; then
    sed -n 's/^deb /deb-src /p' /etc/apt/sources.list | as_root tee "$list.list" >/dev/null
  fi
  as_root apt-get update -q >/dev/null
}

# The build's own steps, not the whole script, so a change to the tool list keeps the cache.
inputs_key() {
  {
    declare -p packages
    declare -f fetch_source build_one build_zlib build_libsodium build_all
    cat "$toolchain"
    x86_64-w64-mingw32-gcc-posix --version
    for p in "${packages[@]}"; do apt-cache showsrc --only-source "$p" | grep '^Version'; done
  } | sha256sum | cut -d' ' -f1
}

# The archive's newest version first; when a mirror lacks its files (security updates
# are sometimes listed before they are mirrored), the release's own version.
fetch_source() {
  local package=$1 into=$2 codename
  codename=$(. /etc/os-release && echo "$VERSION_CODENAME")
  mkdir -p "$into"
  (cd "$into" && { apt-get source -q "$package" || apt-get source -q "$package/$codename"; }) \
    >>"$cache/fetch.log" 2>&1 || { tail -20 "$cache/fetch.log" >&2; return 1; }
}

# Configures, builds and installs one package; arguments after the package are CMake
# cache settings. TARGET=T in the environment builds T instead of installing; SUBDIR=D
# takes the CMake project from the folder D of the source.
build_one() {
  local package=$1 target=${TARGET:-install}
  shift
  local source
  source=$(find "$cache/src/$package" -mindepth 1 -maxdepth 1 -type d | head -1)${SUBDIR:+/$SUBDIR}
  log "building $(basename "$source")"
  cmake -S "$source" -B "$cache/build/$package" -G Ninja -Wno-dev \
    -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DQUARVEL_WINDOWS_DEPS="$prefix" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" \
    -DBUILD_SHARED_LIBS=ON -DBUILD_TESTING=OFF \
    -DCMAKE_SHARED_LINKER_FLAGS="-static-libgcc" "$@" >"$cache/build/$package.log" 2>&1 ||
    { tail -30 "$cache/build/$package.log" >&2; return 1; }
  cmake --build "$cache/build/$package" --target "$target" >>"$cache/build/$package.log" 2>&1 ||
    { tail -30 "$cache/build/$package.log" >&2; return 1; }
}

# Debian's zlib source leaves out the Windows resource files its DLL needs, so zlib is
# built as a static library and linked into the libraries that use it.
build_zlib() {
  TARGET=zlibstatic build_one zlib -DBUILD_SHARED_LIBS=OFF -DCMAKE_SKIP_INSTALL_RULES=ON
  mkdir -p "$prefix/lib" "$prefix/include"
  cp "$cache/build/zlib/libzlibstatic.a" "$prefix/lib/libz.a"
  cp "$cache/build/zlib/zconf.h" "$(dirname "$(find "$cache/src/zlib" -name zlib.h | head -1)")/zlib.h" "$prefix/include/"
}

# libsodium builds with autotools, not CMake; Debian's source leaves the configure script
# to be generated. Without pthreads, its DLL needs no thread DLL beside it: on Windows it
# takes the system's own locks.
build_libsodium() {
  local source
  source=$(find "$cache/src/libsodium" -mindepth 1 -maxdepth 1 -type d | head -1)
  log "building $(basename "$source")"
  (cd "$source" && autoreconf -fi && ./configure --host=x86_64-w64-mingw32 --prefix="$prefix" --disable-static --enable-shared \
    --without-pthreads \
    CC=x86_64-w64-mingw32-gcc-posix LDFLAGS=-static-libgcc && make -j"$(nproc)" && make install) \
    >"$cache/build/libsodium.log" 2>&1 || { tail -30 "$cache/build/libsodium.log" >&2; return 1; }
}

build_all() {
  build_zlib
  build_one libzip -DENABLE_BZIP2=OFF -DENABLE_LZMA=OFF -DENABLE_ZSTD=OFF -DENABLE_COMMONCRYPTO=OFF \
    -DENABLE_GNUTLS=OFF -DENABLE_MBEDTLS=OFF -DENABLE_OPENSSL=OFF -DENABLE_WINDOWS_CRYPTO=OFF \
    -DBUILD_TOOLS=OFF -DBUILD_REGRESS=OFF -DBUILD_EXAMPLES=OFF -DBUILD_DOC=OFF
  # HTTP and HTTPS only; TLS through Windows' own Schannel, which checks certificates
  # against the Windows certificate store and adds no DLL.
  build_one curl -DHTTP_ONLY=ON -DCURL_ENABLE_SSL=ON -DCURL_USE_SCHANNEL=ON -DCURL_USE_OPENSSL=OFF \
    -DCURL_WINDOWS_SSPI=ON -DCURL_USE_LIBSSH2=OFF -DUSE_LIBIDN2=OFF \
    -DCURL_USE_LIBPSL=OFF -DCURL_BROTLI=OFF -DCURL_ZSTD=OFF -DUSE_NGHTTP2=OFF -DENABLE_MANUAL=OFF \
    -DBUILD_CURL_EXE=OFF -DCURL_DISABLE_LDAP=ON
  build_one libsdl2 -DSDL_STATIC=OFF -DSDL_TEST=OFF
  build_one freetype -DFT_DISABLE_ZLIB=ON -DFT_DISABLE_BZIP2=ON -DFT_DISABLE_PNG=ON \
    -DFT_DISABLE_HARFBUZZ=ON -DFT_DISABLE_BROTLI=ON
  # PNG through the image library's own built-in decoder; no other format is needed.
  build_one libsdl2-image -DSDL2IMAGE_SAMPLES=OFF -DSDL2IMAGE_VENDORED=OFF -DSDL2IMAGE_BACKEND_STB=ON \
    -DSDL2IMAGE_BACKEND_WIC=OFF -DSDL2IMAGE_AVIF=OFF -DSDL2IMAGE_JXL=OFF -DSDL2IMAGE_TIF=OFF \
    -DSDL2IMAGE_WEBP=OFF -DSDL2IMAGE_JPG=OFF
  build_one libsdl2-ttf -DSDL2TTF_SAMPLES=OFF -DSDL2TTF_VENDORED=OFF -DSDL2TTF_HARFBUZZ=OFF
  build_libsodium
  # The binary deltas of patch updates. Single-threaded, so its DLL needs no thread DLL.
  SUBDIR=build/cmake build_one libzstd -DZSTD_BUILD_PROGRAMS=OFF -DZSTD_BUILD_STATIC=OFF -DZSTD_BUILD_SHARED=ON \
    -DZSTD_BUILD_TESTS=OFF -DZSTD_MULTITHREAD_SUPPORT=OFF -DZSTD_LEGACY_SUPPORT=OFF
}

main() {
  install_tools
  enable_sources
  local key
  key=$(inputs_key)
  if [ -f "$prefix/.inputs" ] && [ "$(cat "$prefix/.inputs")" = "$key" ]; then
    log "cache is current ($prefix)"
    echo "$prefix"
    return
  fi
  log "building into $cache"
  rm -rf "$cache/src" "$cache/build" "$prefix" "$cache/fetch.log"
  mkdir -p "$cache/build"
  for p in "${packages[@]}"; do fetch_source "$p" "$cache/src/$p"; done
  build_all
  rm -rf "$cache/src" "$cache/build"
  echo "$key" >"$prefix/.inputs"
  echo "$prefix"
}

main

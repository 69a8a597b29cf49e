#!/usr/bin/env bash
# Patch updates measured on inputs of two kinds: consecutive releases of a real program from the npm registry
# (typescript 5.6.2 and 5.6.3), and a generated 1 GiB game whose 512 MiB archive file had about 1 % changed and
# 1 MiB inserted (shifting the rest), with a few changed, new and unchanged small files. For each: the package,
# the patch and its floor (zstd --patch-from --long=31 -19 on each changed file plus the new files at -19), the
# patch's creation time and peak memory, and the whole update through nginx on loopback and at 50 Mbit/s, package
# against patch, with the launcher's peak anonymous memory above idle while it patches.
#   scripts/bench-patch.sh [INPUT...]   (INPUT: npm npm_minor game game_1g; all but game_1g by default; needs 5 GB
#                                        in build-bench; RATES="0" leaves out the runs at 50 Mbit/s,
#                                        FLOOR=no the floor)
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)
source scripts/lib/serve.sh
inputs=("$@")
[ ${#inputs[@]} -gt 0 ] || inputs=(npm npm_minor game)

scripts/install-deps.sh
command -v /usr/bin/time >/dev/null || apt-get install -y -q time >/dev/null
port=18470
cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DQUARVEL_SERVER_URL="127.0.0.1:$port/" >/dev/null
cmake --build build-bench -j"$(nproc)" --target quarvel-launcher quarvel-publish >/dev/null
bin=$repo/build-bench/bin
work=$repo/build-bench/patch
mkdir -p "$work"
trap 'stop_server; rm -rf "$work/player" "$work/floor"' EXIT

readonly A='1.0 20261205' B='1.1 20261206'
fake_program() { mkdir -p "$1/details" && printf '#!/bin/sh\n' >"$1/details/Quarvel.exe" && chmod 755 "$1/details/Quarvel.exe"; }

npm_pair() {  # NAME OLD NEW: two consecutive releases of typescript from the npm registry as two builds
  [ -d "$work/$1/b" ] && return 0
  rm -rf "${work:?}/$1" && mkdir -p "$work/$1"
  local v side=a
  for v in "$2" "$3"; do
    (cd "$work/$1" && npm pack --silent "typescript@$v" >/dev/null)
    mkdir -p "$work/$1/$v" && tar -xzf "$work/$1/typescript-$v.tgz" -C "$work/$1/$v"
    mv "$work/$1/$v/package" "$work/$1/$side" && side=b
  done
  fake_program "$work/$1/a" && fake_program "$work/$1/b"
}
make_npm() { npm_pair npm 5.6.2 5.6.3; }         # a patch release
make_npm_minor() { npm_pair npm_minor 5.5.4 5.6.2; }  # the next minor release

make_game() { generated_game game 512; }  # 1 GiB: data/world.pak of 512 MiB, 64 files of 8 MiB, a few small ones
make_game_1g() { generated_game game_1g 1024; }  # the same with a world.pak of 1 GiB (the memory goal's size)
generated_game() {  # NAME WORLD_MIB
  local g=$work/$1
  [ -d "$g/b" ] && return 0
  rm -rf "$g" && mkdir -p "$g/a/data/assets"
  fake_program "$g/a"
  head -c $(($2 << 20)) /dev/urandom >"$g/a/data/world.pak"
  for i in $(seq 64); do head -c $((8 << 20)) /dev/urandom >"$g/a/data/assets/asset$i.bin"; done
  for i in $(seq 20); do echo "setting $i = $RANDOM" >"$g/a/data/config$i.ini"; done
  cp -a "$g/a" "$g/b"
  python3 - "$g/a/data/world.pak" "$g/b/data/world.pak" <<'PY'
import os, random, sys
# About 1 % of the archive rewritten in 40 places, and 1 MiB inserted at a third, shifting what follows.
data = bytearray(open(sys.argv[1], "rb").read())
rng = random.Random(7)
for _ in range(40):
    at = rng.randrange(len(data) - 131072)
    data[at:at + 131072] = os.urandom(131072)
third = len(data) // 3
data[third:third] = os.urandom(1 << 20)
open(sys.argv[2], "wb").write(data)
PY
  for i in 3 7; do head -c $((8 << 20)) /dev/urandom >"$g/b/data/assets/asset$i.bin"; done
  for i in 1 2 3; do echo "setting $i = changed" >"$g/b/data/config$i.ini"; done
  head -c $((2 << 20)) /dev/urandom >"$g/b/data/assets/new1.bin" && echo "new" >"$g/b/data/new.ini"
}

floor_bytes() {  # A_DIR B_DIR: zstd's own patch of every changed file plus every new file compressed
  local a=$1 b=$2 total=0 f size
  while IFS= read -r -d '' f; do
    f=${f#"$b/"}
    if [ ! -f "$a/$f" ]; then size=$(zstd -q -19 -c -- "$b/$f" 2>/dev/null | wc -c)
    elif cmp -s -- "$a/$f" "$b/$f"; then continue
    else size=$(zstd -q -19 --long=31 --patch-from="$a/$f" -c -- "$b/$f" 2>/dev/null | wc -c); fi
    total=$((total + size))
  done < <(find "$b" -type f -print0)
  echo "$total"
}

# update_seconds INSTALLED RATE LOGGED: process start to build B recorded, in a copy of INSTALLED, with nginx sending at
# RATE (0: no limit), whose log file must hold LOGGED; sets RESULT to "seconds peak_anon_kib idle_anon_kib". Not run in a subshell, which would
# leave its nginx behind.
update_seconds() {
  local player=$work/player pid start end peak=0 idle="" anon
  stop_server
  serve_folder "$work/server" "$port" "$work" "$([ "$2" = 0 ] || echo "limit_rate $2;")" >/dev/null
  rm -rf "$player" && cp -a "$1" "$player" && sync
  start=$(date +%s%N)
  (cd "$player" && SDL_VIDEODRIVER=dummy exec "$bin/quarvel-launcher") >/dev/null 2>&1 &
  pid=$!
  until [ "$(cat "$player/latest_version.txt" 2>/dev/null)" = "$B" ]; do
    anon=$(awk '/RssAnon/ {print $2}' "/proc/$pid/status" 2>/dev/null || echo 0)
    # Idle: the launcher at the start of the download, before any of the update's work.
    [ -n "$idle" ] || { compgen -G "$player/quarvel $B*.zip" >/dev/null && idle=$anon; }
    ((anon > peak)) && peak=$anon
    is_alive=$(kill -0 "$pid" 2>/dev/null && echo 1 || echo 0)
    [ "$is_alive" = 1 ] || { echo "the launcher ended before the update was recorded" >&2; return 1; }
    sleep 0.02
  done
  end=$(date +%s%N)
  kill -9 "$pid"; wait "$pid" 2>/dev/null || true
  grep -q "$3" "$player/quarvel-launcher.log" || { echo "the update did not go as asked: no '$3' in its log" >&2; return 1; }
  RESULT="$(python3 -c "print(($end - $start) / 1e9)") $peak ${idle:-0}"
}

bench_input() {  # NAME
  local name=$1 a=$work/$1/a b=$work/$1/b
  rm -rf "$work/server" "$work/installed" && mkdir -p "$work/server"
  "$bin/quarvel-publish" "$a" "$A" "$work/server" >/dev/null
  # Build A as a player has it: installed by the launcher itself.
  printf '%s' "$A" >"$work/server/latest_version.txt"
  mkdir -p "$work/installed" && cp "$bin"/{*.png,LTYPE.TTF} "$work/installed/"
  serve_folder "$work/server" "$port" "$work" >/dev/null
  (cd "$work/installed" && SDL_VIDEODRIVER=dummy timeout 600 "$bin/quarvel-launcher") >/dev/null 2>&1 &
  local pid=$!
  until [ "$(cat "$work/installed/latest_version.txt" 2>/dev/null)" = "$A" ]; do sleep 0.1; done
  kill -9 "$pid"; wait "$pid" 2>/dev/null || true
  rm -f "$work/installed/quarvel-launcher.log"* "$work/installed/quarvel "*.zip  # a player needs no old package

  local timing
  timing=$( { /usr/bin/time -f '%e %M' "$bin/quarvel-publish" --patch-from "$work/server/quarvel $A.zip" "$b" "$B" \
    "$work/server" >/dev/null; } 2>&1 | tail -1)
  local package=$(stat -c %s "$work/server/quarvel $B.zip")
  local patch=$(stat -c %s "$work/server/quarvel $B patch from $A.zip")
  local manifest=$(unzip -p "$work/server/quarvel $B patch from $A.zip" manifest.txt | wc -c)
  local touched=$(unzip -p "$work/server/quarvel $B patch from $A.zip" manifest.txt | grep -c '^whole \|^delta ')
  # The same inputs give the same floor; FLOOR=no leaves it out (zstd -19 on a 1 GiB file takes long).
  [ -s "$work/$name.floor" ] || { [ "${FLOOR:-}" = no ] && echo 1 || floor_bytes "$a" "$b"; } >"$work/$name.floor"
  local floor=$(cat "$work/$name.floor")
  echo "== $name: package $package bytes, patch $patch bytes ($touched files touched, manifest $manifest bytes)"
  echo "   floor (zstd --patch-from --long=31 -19 per changed file, -19 per new file): $floor bytes"
  python3 -c "p,f,m,t=$patch,$floor,$manifest,$touched; print(f'   patch / floor: {p/f:.3f}; (patch - manifest - 200 B per touched file) / floor: {(p-m-200*t)/f:.3f}')"
  echo "   patch creation: ${timing% *} s, peak RSS $((${timing#* } / 1024)) MiB"

  local rate t peak idle
  cp "$work/server/latest_version.txt" "$work/with-patch.txt"  # kept byte for byte: its last line ends in a line feed
  for rate in ${RATES:-0 6250k}; do
    printf '%s' "$B" >"$work/server/latest_version.txt"
    update_seconds "$work/installed" "$rate" 'Downloading package "quarvel 1.1 20261206.zip"' && read -r t peak idle <<<"$RESULT"
    local full_t=$t
    cp "$work/with-patch.txt" "$work/server/latest_version.txt"
    update_seconds "$work/installed" "$rate" "Applying a patch" && read -r t peak idle <<<"$RESULT"
    python3 -c "print(f'   whole update at $([ "$rate" = 0 ] && echo "loopback speed" || echo "50 Mbit/s"): package {$full_t:.2f} s, patch {$t:.2f} s, patch / package {$t/$full_t:.3f}')"
    echo "   launcher's anonymous memory while patching: peak $((peak / 1024)) MiB, $(((peak - idle) / 1024)) MiB above idle ($((idle / 1024)) MiB)"
  done
  stop_server
}

echo "machine: $(nproc) cores, $(awk '/model name/ {$1=$2=$3=""; print; exit}' /proc/cpuinfo | xargs), $(uname -r)"
echo "date: $(date -u +%Y-%m-%d) commit: $(git rev-parse --short HEAD)"
for input in "${inputs[@]}"; do "make_$input" && bench_input "$input"; done

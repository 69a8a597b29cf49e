#!/usr/bin/env bash
# Measures the launcher against the standard tools on this machine and prints each
# figure as the median of RUNS runs with min and max; ratios are taken run by run,
# each pair measured back to back.
#   scripts/bench.sh [RUNS [PART...]]   (RUNS default 5; PART: extract download resume https
#                                        update frames, all by default; needs 3 GB in build-bench;
#                                        https runs in a private mount namespace, as root)
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)
source scripts/lib/serve.sh
source scripts/lib/certificates.sh
runs=${1:-5}
parts=("${@:2}")
[ ${#parts[@]} -gt 0 ] || parts=(extract download resume https update frames)
wants() { [[ " ${parts[*]} " == *" $1 "* ]]; }

scripts/install-deps.sh
command -v bsdtar >/dev/null || { apt-get install -y -q libarchive-tools >/dev/null || sudo apt-get install -y -q libarchive-tools >/dev/null; }
# A build of its own whose launcher asks a port of its own, so that a benchmark never
# meets the tests' servers.
port=18470
cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DQUARVEL_SERVER_URL="127.0.0.1:$port/" >/dev/null
cmake --build build-bench -j"$(nproc)" --target quarvel-launcher quarvel-bench-extract quarvel-bench-download quarvel-bench-frames >/dev/null
bin=$repo/build-bench/bin
work=$repo/build-bench/bench
mkdir -p "$work"
cleanup() {
  stop_server
  [ -z "${xvfb_pid:-}" ] || kill "$xvfb_pid" 2>/dev/null || true
  rm -rf "$work/out" "$work/player"
}
trap cleanup EXIT

# ---- the packages: 1 GiB of 8 entries (half random, half text), deflated and stored;
# 2,000 small files in nested folders
make_packages() {
  local src=$work/src
  [ -f "$work/server/quarvel bz1 20261205.zip" ] && return 0
  rm -rf "$src" "$work/server" && mkdir -p "$src/Big" "$src/Small" "$work/server"
  for i in 1 2 3 4; do head -c $((128 << 20)) /dev/urandom > "$src/Big/random$i.bin"; done
  python3 - "$src/Big" <<'PY'
import random, sys
words = "quarvel level map tile sprite sound music player enemy door key chest wall floor light".split()
rng = random.Random(5)
for i in range(1, 5):
    with open(f"{sys.argv[1]}/text{i}.txt", "w") as f:
        left = 128 << 20
        while left > 0:
            line = " ".join(rng.choice(words) for _ in range(12)) + "\n"
            f.write(line[:left]); left -= len(line)
PY
  for d in $(seq 1 20); do for s in $(seq 1 10); do
    mkdir -p "$src/Small/area$d/room$s"
    for f in $(seq 1 10); do head -c $((RANDOM % 8192 + 100)) /dev/urandom > "$src/Small/area$d/room$s/obj$f.dat"; done
  done; done
  (cd "$src" && zip -q -r "$work/server/quarvel bz1 20261205.zip" Big)
  (cd "$src" && zip -q -0 -r "$work/server/quarvel bz0 20261205.zip" Big)
  (cd "$src" && zip -q -r "$work/server/quarvel sm1 20261205.zip" Small)
}

# seconds COMMAND...: wall time of one run
seconds() {
  local start end
  start=$(date +%s%N)
  "$@" >/dev/null
  end=$(date +%s%N)
  python3 -c "print(($end - $start) / 1e9)"
}

# stats NAME VALUES...: "name  median (min .. max)"
stats() {
  python3 - "$@" <<'PY'
import statistics, sys
name, values = sys.argv[1], [float(v) for v in sys.argv[2:]]
print(f"{name:<48} {statistics.median(values):9.3f}  ({min(values):.3f} .. {max(values):.3f})")
PY
}
ratios() {  # NAME "a1 a2 .." "b1 b2 ..": the run-by-run ratios a/b
  local name=$1 a=($2) b=($3) r=() i
  for i in "${!a[@]}"; do r+=("$(python3 -c "print(${a[$i]} / ${b[$i]})")"); done
  stats "$name" "${r[@]}"
}

fresh() { rm -rf "$work/out" && mkdir -p "$work/out" && sync; }

# The launcher flushes what it unpacked before it records the build, so the fair
# reference flushes too: bsdtar followed by sync.
bench_extraction() {  # package-name
  local pkg="$work/server/quarvel $1 20261205.zip" ours=() flush=() tar=() unz=() pause r t entries f
  for r in $(seq "$runs"); do
    fresh
    read -r t entries f < <(cd "$work/out" && "$bin/quarvel-bench-extract" "$pkg" game)
    ours+=("$t"); flush+=("$f")
    fresh; tar+=("$(seconds bash -c "bsdtar -xf '$pkg' -C '$work/out' && sync")")
    fresh; unz+=("$(seconds bash -c "unzip -o -q '$pkg' -d '$work/out' && sync")")
  done
  pause=$(python3 -c "print($entries * 0.005)")
  echo "extraction of '$1' ($entries entries; the 5 ms per entry, $pause s, is left out of 'ours')"
  stats "  ours, flush to disk included (s)" "${ours[@]}"
  stats "  of which the flush to disk (s)" "${flush[@]}"
  stats "  bsdtar -xf && sync (s)" "${tar[@]}"
  stats "  unzip -o -q && sync (s)" "${unz[@]}"
  ratios "  ours / bsdtar" "${ours[*]}" "${tar[*]}"
  ratios "  ours / unzip" "${ours[*]}" "${unz[*]}"
}

# Besides the launcher's own transfer, the same transfer with the 100 KiB receive buffer
# the curl command uses: an option outside the launcher's three, timed to show the cause.
bench_download() {
  local url="127.0.0.1:$port/quarvel%20bz0%2020261205.zip" ours=() big=() hashed=() ref=() r t
  for r in $(seq "$runs"); do
    fresh; read -r t _ < <("$bin/quarvel-bench-download" "$url" "$work/out/pkg"); ours+=("$t")
    fresh; read -r t _ < <("$bin/quarvel-bench-download" "$url" "$work/out/pkg" 102400); big+=("$t")
    fresh; read -r t _ < <("$bin/quarvel-bench-download" "$url" "$work/out/pkg" hash); hashed+=("$t")
    fresh; ref+=("$(seconds curl -s -o "$work/out/pkg" "http://$url")")
  done
  echo "download of the 1 GiB stored package from nginx on 127.0.0.1"
  stats "  ours (s)" "${ours[@]}"
  stats "  ours + 100 KiB receive buffer, not shipped (s)" "${big[@]}"
  stats "  ours, hashing for a signature check (s)" "${hashed[@]}"
  stats "  curl -s -o (s)" "${ref[@]}"
  ratios "  ours / curl" "${ours[*]}" "${ref[*]}"
  ratios "  ours + 100 KiB buffer / curl" "${big[*]}" "${ref[*]}"
  ratios "  ours hashing / curl" "${hashed[*]}" "${ref[*]}"
}

# A download through connections that drop: the 1 GiB stored package, hashed, through a relay
# that closes each connection after 128 MiB of the answer, against the same relay uncut. The
# launcher waits 1 s after each drop that brought bytes; those waits are taken out.
bench_resume() {
  local relay=18474 cut=$((128 << 20)) url whole=() dropped=() moved=() r t drops
  url="127.0.0.1:$relay/quarvel%20bz0%2020261205.zip"
  local size; size=$(stat -c %s "$work/server/quarvel bz0 20261205.zip")
  for r in $(seq "$runs"); do
    for limit in 0 "$cut"; do
      rm -f "$work/moved"
      python3 bench/cut_relay.py "$relay" "$port" "$limit" "$work/moved" >/dev/null 2>&1 &
      local relay_pid=$!
      timeout 10 bash -c "until (exec 3<>/dev/tcp/127.0.0.1/$relay) 2>/dev/null; do sleep 0.05; done"
      fresh; read -r t _ drops < <("$bin/quarvel-bench-download" "$url" "$work/out/pkg" continue)
      sleep 0.5  # the relay counts a connection once it has ended
      kill "$relay_pid"; wait "$relay_pid" 2>/dev/null || true
      if [ "$limit" = 0 ]; then whole+=("$t"); else
        dropped+=("$(python3 -c "print($t - $drops)")"); moved+=("$(python3 -c "print($(cat "$work/moved") / $size)")")
      fi
    done
  done
  echo "download of the 1 GiB stored package, hashed, through a relay that cuts every 128 MiB ($drops drops)"
  stats "  uncut, through the relay (s)" "${whole[@]}"
  stats "  cut, less the 1 s waits (s)" "${dropped[@]}"
  ratios "  cut less waits / uncut" "${dropped[*]}" "${whole[*]}"
  stats "  bytes the relay passed / package bytes" "${moved[@]}"
}

# The same download over HTTPS from a second nginx with a throwaway CA's certificate,
# which both sides trust only inside a private mount namespace.
bench_https() {
  local tls=$work/tls https_port=18473 url ours=() ref=() r t
  url="https://localhost:$https_port/quarvel%20bz0%2020261205.zip"
  rm -rf "$tls" && mkdir -p "$tls" && make_ca "$tls" ca && make_server_cert "$tls" ca localhost "DNS:localhost"
  local plain_pid=$SERVER_PID
  NGINX_LISTEN_FLAGS=ssl serve_folder "$work/server" "$https_port" "$tls" \
    "ssl_certificate $tls/localhost.pem; ssl_certificate_key $tls/localhost.key;"
  local tls_pid=$SERVER_PID
  for r in $(seq "$runs"); do
    fresh; read -r t _ < <(https_run "$bin/quarvel-bench-download" "$url" "$work/out/pkg"); ours+=("$t")
    fresh; ref+=("$(https_run bash -c 'start=$(date +%s%N); curl -s -o "$1" "$2" && echo $((($(date +%s%N) - start) / 1000))' \
      _ "$work/out/pkg" "$url" | python3 -c 'print(int(input()) / 1e6)')")
  done
  SERVER_PID=$tls_pid && stop_server && SERVER_PID=$plain_pid
  echo "download of the 1 GiB stored package over HTTPS from nginx on 127.0.0.1"
  stats "  ours (s)" "${ours[@]}"
  stats "  curl -s -o (s)" "${ref[@]}"
  ratios "  ours / curl" "${ours[*]}" "${ref[*]}"
}
https_run() {  # COMMAND...: run where the benchmark's CA is trusted
  unshare --mount --propagation private bash -c \
    'source scripts/lib/certificates.sh && trust_in_this_namespace "$0" && exec "$@"' "$work/tls/ca.pem" "$@"
}

# The whole update as the player sees it: process start to the version file written,
# which the launcher does only once the build is on the disk.
# The wait only looks for the version file: the kernel keeps the peak RSS (VmHWM) itself,
# and polling it with a new process every few milliseconds took CPU from the launcher.
update_once() {  # -> "seconds peak_rss_kib"
  local player=$work/player start end pid peak
  rm -rf "$player" && mkdir -p "$player" && cp "$bin"/{*.png,LTYPE.TTF} "$player" && sync
  start=$(date +%s%N)
  (cd "$player" && SDL_VIDEODRIVER=dummy exec "$bin/quarvel-launcher") >/dev/null 2>&1 &
  pid=$!
  local deadline=$((SECONDS + 120))
  until [ -f "$player/latest_version.txt" ]; do
    [ $SECONDS -lt $deadline ] || { echo "the launcher did not finish the update" >&2; kill -9 "$pid"; exit 1; }
    sleep 0.02
  done
  end=$(date +%s%N)
  peak=$(awk '/VmHWM/ {print $2}' /proc/$pid/status)
  sleep 0.2  # the log file's last lines
  kill -9 "$pid"; wait "$pid" 2>/dev/null || true
  stage_times "$player/quarvel-launcher.log" >>"$work/breakdown"
  echo "$(python3 -c "print(($end - $start) / 1e9)") $peak"
}

# Where the update's time goes, from the log file's time stamps: start to the package's
# request (version check, two stage pauses, frame steps), the transfer, from the transfer
# to the first entry (the stage pause, the archive's directory), the entries, the flush,
# and from the flush to the version file.
stage_times() {
  python3 - "$1" <<'PY'
import datetime, re, sys
t = []
for line in open(sys.argv[1], errors="replace"):
    stamp, _, text = line.rstrip("\n").partition("  ")
    try: t.append((datetime.datetime.strptime(stamp, "%Y-%m-%d %H:%M:%S.%f").timestamp(), text))
    except ValueError: pass
def at(pattern, last=False):
    hits = [s for s, text in t if re.search(pattern, text)]
    return hits[-1] if last else hits[0]
start, get = t[0][0], at(r"\| GET .*\.zip: started")
got = at(r"\| GET .*\.zip: libcurl")
first, last = at(r"Extracting file 1 /"), at(r"Extracting file", last=True)
flushed, flush = [(s, float(m.group(1))) for s, x in t if (m := re.search(r"after a flush of ([0-9.]+)", x))][-1]
end = at(r"is up to date")
print(f"{get - start:.3f} {got - get:.3f} {first - got:.3f} {flushed - flush - first:.3f} {flush:.3f} {end - flushed:.3f}")
PY
}

idle_rss() {  # the launcher at rest after finding its build up to date, in KiB
  local player=$work/player pid rss
  (cd "$player" && SDL_VIDEODRIVER=dummy exec "$bin/quarvel-launcher") >/dev/null 2>&1 &
  pid=$!
  sleep 3
  rss=$(awk '/VmRSS/ {print $2}' /proc/$pid/status)
  kill -9 "$pid"; wait "$pid" 2>/dev/null || true
  echo "$rss"
}

bench_update() {
  printf 'bz1 20261205' > "$work/server/latest_version.txt"
  local ours=() ref=() rss=() r t peak idle
  : >"$work/breakdown"
  for r in $(seq "$runs"); do
    read -r t peak < <(update_once); ours+=("$t"); rss+=("$peak")
    fresh; ref+=("$(seconds bash -c "cd '$work/out' && curl -s -o pkg 'http://127.0.0.1:$port/quarvel%20bz1%2020261205.zip' && bsdtar -xf pkg && sync")")
  done
  idle=$(idle_rss)
  # Fixed pauses the launcher must take: four 250 ms stage pauses, a frame step (about
  # 50 ms) before each of the five stages, and 5 ms for each of the 8 entries.
  local fixed=1.29
  echo "whole update of the 1 GiB package, process start to version file written"
  stats "  launcher (s)" "${ours[@]}"
  stats "  curl -o && bsdtar -xf && sync (s)" "${ref[@]}"
  local net=()
  for t in "${ours[@]}"; do net+=("$(python3 -c "print($t - $fixed)")"); done
  ratios "  (launcher - ${fixed} s fixed pauses) / reference" "${net[*]}" "${ref[*]}"
  local above=()
  for peak in "${rss[@]}"; do above+=("$(python3 -c "print(($peak - $idle) / 1024)")"); done
  echo "  where the launcher's time goes (median of the runs, s):"
  python3 - "$work/breakdown" <<'PY'
import statistics, sys
rows = [list(map(float, line.split())) for line in open(sys.argv[1]) if line.strip()]
names = ["start to the package's request (version check, stage pauses, frame steps)", "package transfer",
         "transfer to the first entry (stage pause, opening the archive)", "writing the entries",
         "flush to the disk", "flush to the version file written"]
for i, name in enumerate(names):
    print(f"    {name:<76} {statistics.median(r[i] for r in rows):7.3f}")
PY
  echo "memory: idle RSS $((idle / 1024)) MiB"
  stats "  peak RSS above idle during the update (MiB)" "${above[@]}"
}

bench_frames() {
  local display_file=$work/display
  Xvfb -displayfd 3 -screen 0 640x480x24 -nolisten tcp 3>"$display_file" 2>/dev/null &
  xvfb_pid=$!
  timeout 10 bash -c "until [ -s '$display_file' ]; do sleep 0.1; done"
  local player=$work/player n r values
  rm -rf "$player" && mkdir -p "$player" && cp "$bin"/{*.png,LTYPE.TTF} "$player"
  echo "frames (software renderer under Xvfb)"
  for n in 0 50 500; do
    values=()
    for r in $(seq "$runs"); do
      values+=("$(cd "$player" && DISPLAY=":$(cat "$display_file")" "$bin/quarvel-bench-frames" render "$n" 200)")
    done
    stats "  CPU per frame with $n lines (ms)" "${values[@]}"
  done
  values=()
  for r in $(seq "$runs"); do
    values+=("$(cd "$player" && DISPLAY=":$(cat "$display_file")" "$bin/quarvel-bench-frames" idle 20 10)")
  done
  stats "  idle launcher, 20 lines, over 10 s (% of one core)" "${values[@]}"
  values=()
  for r in $(seq "$runs"); do
    values+=("$(cd "$player" && DISPLAY=":$(cat "$display_file")" "$bin/quarvel-bench-frames" startup)")
  done
  stats "  process start to first presented frame (ms)" "${values[@]}"
  kill "$xvfb_pid"; xvfb_pid=""
}

echo "machine: $(nproc) cores, $(awk '/model name/ {$1=$2=$3=""; print; exit}' /proc/cpuinfo | xargs), $(uname -r)"
echo "date: $(date -u +%Y-%m-%d) commit: $(git rev-parse --short HEAD) runs: $runs"
make_packages
serve_folder "$work/server" "$port" "$work"
if wants extract; then
  bench_extraction bz1
  bench_extraction bz0
  bench_extraction sm1
fi
if wants download; then bench_download; fi
if wants resume; then bench_resume; fi
if wants https; then bench_https; fi
if wants update; then bench_update; fi
if wants frames; then bench_frames; fi

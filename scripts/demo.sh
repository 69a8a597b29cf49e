#!/usr/bin/env bash
# The launcher's whole cycle on this machine: makes a throwaway signing key, builds the
# launcher in Release with its public key, publishes the demo game as a signed build into
# a local server folder, serves that folder on 127.0.0.1:8470 and starts the launcher in
# its own working directory. Run it again to see "Already at latest
# version."; publish a newer build with --publish to see the launcher update to it.
#
#   scripts/demo.sh                        first run: installs build 1.0, then starts it
#   scripts/demo.sh --publish "1.1 20261206"   publishes a second build, then runs
#   scripts/demo.sh --reset                forgets the server folder and the installation
#   scripts/demo.sh --headless             runs under Xvfb and clicks Launch by itself
#                                          (the default when there is no DISPLAY)
#   scripts/demo.sh --https                the same over HTTPS: nginx with a certificate from a
#                                          throwaway CA that only the launcher's private mount
#                                          namespace trusts (needs root)
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)
source scripts/lib/serve.sh
source scripts/lib/certificates.sh

publish_line="" headless=0 https=0
[ -n "${DISPLAY:-}" ] || headless=1
while [ $# -gt 0 ]; do
  case $1 in
    --publish) publish_line=${2:?--publish needs a 12-character version line}; shift 2 ;;
    --reset) rm -rf build-demo/demo; shift ;;
    --headless) headless=1; shift ;;
    --https) https=1; shift ;;
    -h|--help) sed -n '2,17p' "$0"; exit 0 ;;
    *) echo "unknown option $1 (see --help)" >&2; exit 2 ;;
  esac
done

# A build folder of its own, so that the demo's key stays out of the tests' build.
demo=$repo/build-demo/demo
server_dir=$demo/server player=$demo/player state=$demo/state keys=$demo/keys tls=$demo/tls
bin=$repo/build-demo/bin

# The studio's key pair, made once per demo folder; no password, since it protects nothing.
make_keys() {
  [ -f "$keys/demo.key" ] && return
  mkdir -p "$keys"
  minisign -G -W -p "$keys/demo.pub" -s "$keys/demo.key" >/dev/null
  echo "made the throwaway signing key $keys/demo.key"
}

build() {
  scripts/install-deps.sh
  make_keys
  cmake -S . -B build-demo -DCMAKE_BUILD_TYPE=Release -DQUARVEL_BUILD_TESTS=OFF -DQUARVEL_SERVER_URL="$server_url" \
    -DQUARVEL_PUBLIC_KEY="$(sed -n 2p "$keys/demo.pub")" >/dev/null
  cmake --build build-demo -j"$(nproc)" --target quarvel-launcher quarvel-publish quarvel-demo-game
}

publish() {  # line
  printf '%s\n' "$1" > build-demo/demo-build/details/build.txt
  "$bin/quarvel-publish" --sign "$keys/demo.key" build-demo/demo-build "$1" "$server_dir"
  echo "published build '$1' into $server_dir, signed with $keys/demo.key"
}

prepare_player() {
  mkdir -p "$player"
  cp "$bin"/{quarvel_splash.png,launch.png,launch_pressed.png,launch_disabled.png,quarvel_icon_black.png,LTYPE.TTF} "$player"
}

# Over HTTPS the launcher runs in a mount namespace of its own, where the system's CA
# bundle holds the demo's CA too; nothing outside it trusts that CA.
start_player() {
  if [ "$https" -eq 0 ]; then
    (cd "$player" && exec "$bin/quarvel-launcher")
    return
  fi
  unshare --mount --propagation private bash -c \
    'source scripts/lib/certificates.sh && trust_in_this_namespace "$1" && cd "$2" && exec "$3"' \
    demo "$tls/ca.pem" "$player" "$bin/quarvel-launcher"
}

make_certificates() {
  [ -f "$tls/localhost.pem" ] && return
  mkdir -p "$tls"
  make_ca "$tls" ca && make_server_cert "$tls" ca localhost "DNS:localhost"
}

cleanup() {
  [ -n "${launcher_pid:-}" ] && kill -9 "$launcher_pid" 2>/dev/null
  stop_server
  [ -n "${xvfb_pid:-}" ] && kill "$xvfb_pid" 2>/dev/null
  true
}
trap cleanup EXIT

# Without a display the demo plays the player's part: wait until the launcher is
# ready, click Launch, let the game show itself, then press Q.
run_headless() {
  local display_file shots=$demo/screenshots wid
  display_file=$(mktemp)
  Xvfb -displayfd 3 -screen 0 640x480x24 -nolisten tcp 3>"$display_file" 2>/dev/null &
  xvfb_pid=$!
  timeout 10 bash -c "until [ -s '$display_file' ]; do sleep 0.1; done"
  export DISPLAY=":$(cat "$display_file")"
  rm -f "$display_file"
  mkdir -p "$shots"
  start_player &
  launcher_pid=$!
  wid=$(timeout 10 xdotool search --sync --name "Quarvel Launcher" | head -n1)
  local want
  want=$(head -n 1 "$server_dir/latest_version.txt")
  timeout 60 bash -c "until [ \"\$(cat '$player/latest_version.txt' 2>/dev/null)\" = '$want' ]; do sleep 0.2; done"
  sleep 1
  import -window root "$shots/ready.png"
  echo "launcher is ready (screenshot $shots/ready.png); clicking Launch"
  xdotool mousemove --window "$wid" 320 420 click 1
  sleep 2
  import -window root "$shots/game.png"
  timeout 15 bash -c "while pgrep -f 'game/details' >/dev/null || pgrep -x Quarvel.exe >/dev/null; do sleep 0.2; done" || true
  # Typed through XTEST like a real key press, with the window focused.
  xdotool windowfocus --sync "$wid"
  xdotool key q
  wait "$launcher_pid"
  launcher_pid=""
  echo "launcher closed with status 0; screenshots in $shots"
}

server_url=127.0.0.1:8470/ scheme=http nginx_tls=""
if [ "$https" -eq 1 ]; then
  [ "$(id -u)" -eq 0 ] || { echo "--https needs root, for the launcher's private mount namespace" >&2; exit 1; }
  make_certificates
  server_url=https://localhost:8470/ scheme=https NGINX_LISTEN_FLAGS=ssl
  nginx_tls="ssl_certificate $tls/localhost.pem; ssl_certificate_key $tls/localhost.key;"
fi
build
mkdir -p "$server_dir" "$state"
[ -f "$server_dir/latest_version.txt" ] || publish "1.0 $(date +%Y%m%d)"
[ -z "$publish_line" ] || publish "$publish_line"
prepare_player
serve_folder "$server_dir" 8470 "$state" "$nginx_tls"
echo "serving $server_dir on $scheme://127.0.0.1:8470/ with $SERVER_KIND"

if [ "$headless" -eq 1 ]; then
  run_headless
else
  echo "starting the launcher in $player; click Launch to play, press Q to close"
  start_player
fi

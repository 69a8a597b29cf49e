# Serves a folder over HTTP on 127.0.0.1 with nginx in the foreground of a background
# subprocess; python3's http.server stands in only where nginx cannot start.
# Source it, then: serve_folder ROOT PORT STATE_DIR [EXTRA_NGINX_DIRECTIVES]
# It sets SERVER_PID and SERVER_KIND; stop_server ends the server again.

SERVER_PID=""
SERVER_KIND=""

# Writes PREFIX/nginx.conf: one server on 127.0.0.1:PORT serving ROOT, with its pid,
# logs (PREFIX/error.log, PREFIX/access.log) and temporary files all inside PREFIX.
# NGINX_LISTEN_FLAGS (for example "ssl") go on its listen line.
write_nginx_conf() {  # prefix root port [extra server directives]
  local prefix=$1 root=$2 port=$3 extra=${4:-}
  local user_line="" temp_paths="" module
  # As root nginx would hand its workers to "nobody", who cannot read a private folder.
  [ "$(id -u)" -ne 0 ] || user_line="user root;"
  # Smaller builds of nginx leave some modules out, and their directives with them.
  for module in client_body proxy fastcgi uwsgi scgi; do
    nginx_binary -V 2>&1 | grep -q -- "--without-http_${module}_module" ||
      temp_paths+="${module}_temp_path $prefix/${module}_temp; "
  done
  mkdir -p "$prefix"
  cat > "$prefix/nginx.conf" <<CONF
$user_line
worker_processes 1;
pid $prefix/nginx.pid;
error_log $prefix/error.log info;
events { worker_connections 64; }
http {
  access_log $prefix/access.log;
  $temp_paths
  types { application/zip zip; text/plain txt; }
  default_type application/octet-stream;
  server {
    listen 127.0.0.1:$port${NGINX_LISTEN_FLAGS:+ $NGINX_LISTEN_FLAGS};
    root $root;
    $extra
  }
}
CONF
}

nginx_binary() { "$(command -v nginx || echo /usr/sbin/nginx)" "$@"; }

# Starts nginx on PREFIX/nginx.conf in the foreground of a background subprocess whose
# pid is nginx's own, so that stopping it stops nginx.
start_nginx_on() {  # prefix
  local bin
  bin=$(command -v nginx || echo /usr/sbin/nginx)
  "$bin" -p "$1" -e "$1/error.log" -c "$1/nginx.conf" -g 'daemon off;' >"$1/stdout.log" 2>&1 &
  SERVER_PID=$! SERVER_KIND=nginx
}

wait_for_port() {  # port seconds
  local deadline=$((SECONDS + $2))
  while [ $SECONDS -lt "$deadline" ]; do
    curl -s -o /dev/null "http://127.0.0.1:$1/" && return 0
    kill -0 "$SERVER_PID" 2>/dev/null || return 1
    sleep 0.1
  done
  return 1
}

serve_folder() {
  local root port state extra
  root=$(cd "$1" && pwd) port=$2 state=$3 extra=${4:-}
  if curl -s -o /dev/null "http://127.0.0.1:$port/"; then
    echo "port $port on 127.0.0.1 is already in use; stop whatever serves there first" >&2
    return 1
  fi
  if command -v nginx >/dev/null || [ -x /usr/sbin/nginx ]; then
    write_nginx_conf "$state/nginx" "$root" "$port" "$extra"
    start_nginx_on "$state/nginx"
    wait_for_port "$port" 10 && return 0
    echo "nginx did not start (see $state/nginx/error.log); using python3's http.server" >&2
    stop_server
  fi
  (cd "$root" && exec python3 -m http.server "$port" --bind 127.0.0.1) >"$state/http-server.log" 2>&1 &
  SERVER_PID=$! SERVER_KIND=python
  wait_for_port "$port" 10
}

stop_server() {
  [ -n "$SERVER_PID" ] || return 0
  kill "$SERVER_PID" 2>/dev/null || true
  wait "$SERVER_PID" 2>/dev/null || true
  SERVER_PID=""
}

#!/usr/bin/env bash
# deploy_fastcgi_test.sh SOURCE_DIR BIN_DIR: serves a script through each FastCGI snippet of
# deploy/ as it ships, included in a minimal configuration of its web server, with only its
# system paths (port 80, /srv/scriptrunner, /run/scriptrunner-fcgi.sock, the log files) moved to a
# temporary folder, and the service unit's command line behind its socket, activated. What a user
# copies must work as it stands.
here=$(cd "$(dirname "$0")" && pwd)
source "$here/lib.sh"
deploy=$(cd "$1/deploy" && pwd)
bin=$(cd "$2" && pwd)

require_programs nginx lighttpd apache2
[ -x "$bin/scriptrunner-fcgi" ] || { echo "$bin/scriptrunner-fcgi is missing" >&2; exit 1; }

make_work_dir
work=$WORK_DIR
RESPONSE_DIR=$work/responses
srv=$work/srv
mkdir -p "$RESPONSE_DIR" "$srv/cgi"
forget_cache_below "$srv"
stage_runner "$bin" "$work/runner"
cat >"$srv/cgi/hello.zr" <<'EOF'
#!@RUNNER@ -w
Write "Content-Type: text/plain" + #LF$ + #LF$
WriteLine "deployed, " + UrlDecode$(Env$("GET_name")) + ", by " + Env$("SR_NODE")
EOF
sed -i "1s|@RUNNER@|$work/runner/scriptrunner|" "$srv/cgi/hello.zr"
chmod 755 "$srv/cgi/hello.zr"

# The snippet with its system paths moved below DIR; port 80 becomes PORT.
localise() {
  local snippet=$1 dir=$2
  sed -e "s|/srv/scriptrunner|$srv|g" \
    -e "s|/run/scriptrunner-fcgi.sock|$socket_path|g" \
    -e "s|/var/log/[a-z0-9]*/[a-z-]*\\.log|$dir/error.log|g" \
    -e "s|listen 80;|listen 127.0.0.1:$PORT;|" \
    "$deploy/$snippet" >"$dir/snippet.conf"
}

start_nginx_with() {
  local dir=$1 snippet=$2
  localise "$snippet" "$dir"
  cp /etc/nginx/fastcgi_params "$dir/"
  mkdir -p "$dir/temp"
  ERROR_LOG=$dir/error.log nginx_conf_head "$dir" 64 >"$dir/nginx.conf"
  cat >>"$dir/nginx.conf" <<EOF
  include $dir/snippet.conf;
}
EOF
  setsid nginx -p "$dir" -e "$dir/error.log" -c "$dir/nginx.conf" </dev/null >"$dir/stderr" 2>&1 &
  SERVER_PID=$!
  server_pids+=("$SERVER_PID")
}

start_lighttpd_with() {
  local dir=$1 snippet=$2
  localise "$snippet" "$dir"
  cat >"$dir/lighttpd.conf" <<EOF
server.document-root = "$dir"
server.bind = "127.0.0.1"
server.port = $PORT
server.errorlog = "$dir/error.log"
server.upload-dirs = ("$dir")
include "$dir/snippet.conf"
EOF
  setsid lighttpd -D -f "$dir/lighttpd.conf" </dev/null >"$dir/stderr" 2>&1 &
  SERVER_PID=$!
  server_pids+=("$SERVER_PID")
}

# The modules that the snippet's instructions enable (a2enmod proxy_fcgi) are loaded here.
start_apache_with() {
  local dir=$1 snippet=$2 modules=/usr/lib/apache2/modules
  localise "$snippet" "$dir"
  mkdir -p "$dir/run"
  chmod 755 "$dir/run"
  cat >"$dir/apache.conf" <<EOF
ServerName 127.0.0.1
Listen 127.0.0.1:$PORT
PidFile $dir/apache.pid
ErrorLog $dir/error.log
LogLevel warn
DefaultRuntimeDir $dir/run
Mutex file:$dir/run default
LoadModule mpm_event_module $modules/mod_mpm_event.so
LoadModule authz_core_module $modules/mod_authz_core.so
LoadModule alias_module $modules/mod_alias.so
LoadModule proxy_module $modules/mod_proxy.so
LoadModule proxy_fcgi_module $modules/mod_proxy_fcgi.so
User www-data
Group www-data
DocumentRoot $dir
Include $dir/snippet.conf
EOF
  setsid apache2 -f "$dir/apache.conf" -DFOREGROUND </dev/null >"$dir/stderr" 2>&1 &
  SERVER_PID=$!
  server_pids+=("$SERVER_PID")
}

# serve_through KIND SNIPPET NODE: starts the web server with the snippet on a free port (three
# tries) and checks that the script answers through it, from the server named NODE (a pattern),
# and that a missing script is not found. The web server stays up until stop_servers.
serve_through() {
  local kind=$1 snippet=$2 node=$3 dir=$work/$2 attempt
  mkdir -p "$dir"
  for attempt in 1 2 3; do
    PORT=$(pick_port)
    "start_${kind}_with" "$dir" "$snippet"
    wait_for_http "$PORT" "$SERVER_PID" && break
    echo "$kind with $snippet did not start (attempt $attempt):" >&2
    tail -n 5 "$dir/error.log" "$dir/stderr" >&2 2>/dev/null || true
    kill -TERM -- "-$SERVER_PID" 2>/dev/null || true
    wait "$SERVER_PID" 2>/dev/null || true
  done
  fetch "$snippet" "http://127.0.0.1:$PORT/cgi/hello.zr?name=Ann%20B"
  check "$snippet serves the script" \
    eval '[[ "$STATUS:$BODY" =~ ^"200:deployed, Ann B, by "($node)$ ]]'
  fetch "$snippet-missing" "http://127.0.0.1:$PORT/cgi/missing.zr"
  check "$snippet answers 404 for a script that does not exist" equals "$STATUS" 404
}

socket_path=$work/fcgi/socket
start_fcgi "$work/fcgi" "$work/runner/scriptrunner-fcgi" "unix:$socket_path" \
  --env SR_NODE=socket
for kind in nginx lighttpd apache; do
  serve_through "$kind" "$kind-scriptrunner-fcgi.conf" socket
  kill -TERM -- "-$SERVER_PID"
  wait "$SERVER_PID" 2>/dev/null || true
done

# The service unit's command line, started as its socket unit starts it: the socket is made first
# and handed over at the first connection (LISTEN_FDS), here by systemd-socket-activate.
if command -v systemd-socket-activate >/dev/null; then
  arguments=$(sed -n 's|^ExecStart=/usr/lib/scriptrunner/scriptrunner-fcgi||p' \
    "$deploy/systemd/scriptrunner-fcgi.service")
  as=()
  mkdir -p "$work/activated"
  if [ "$(id -u)" -eq 0 ]; then
    as=(setpriv --reuid=www-data --regid=www-data --clear-groups)
    chown www-data: "$work/activated"
  fi
  socket_path=$work/activated/socket
  # shellcheck disable=SC2086  # the unit's arguments, split as systemd splits them
  setsid "${as[@]}" systemd-socket-activate -l "$socket_path" \
    "$work/runner/scriptrunner-fcgi" $arguments </dev/null >"$work/activated/stderr" 2>&1 &
  activated=$!
  server_pids+=("$activated")
  for _ in $(seq 1 100); do [ -S "$socket_path" ] && break; sleep 0.05; done
  chmod 666 "$socket_path"  # the unit gives it to www-data; nginx's workers here are nobody
  serve_through nginx nginx-scriptrunner-fcgi.conf ""
  BODY=$(tr '\0' ' ' <"/proc/$activated/cmdline")
  check "the activated server runs the unit's command line" \
    equals "$BODY" "$work/runner/scriptrunner-fcgi$arguments "
  kill -TERM -- "-$SERVER_PID" "-$activated"
  status=0
  wait "$activated" || status=$?
  BODY=$(cat "$work/activated/stderr")
  check "the activated server ends on TERM with status 0" equals "$status" 0
  wait "$SERVER_PID" 2>/dev/null || true
fi

# The upstream snippet names two loopback ports; the servers take two free ones instead.
upstream_ports=()
for node in one two; do
  port=$(pick_port)
  start_fcgi "$work/fcgi-$node" "$work/runner/scriptrunner-fcgi" "127.0.0.1:$port" \
    --env "SR_NODE=$node"
  upstream_ports+=("$port")
done
mkdir -p "$work/ported"
sed -e "s|127.0.0.1:9001|127.0.0.1:${upstream_ports[0]}|" \
  -e "s|127.0.0.1:9002|127.0.0.1:${upstream_ports[1]}|" \
  "$deploy/nginx-scriptrunner-fcgi-upstream.conf" \
  >"$work/ported/nginx-scriptrunner-fcgi-upstream.conf"
deploy=$work/ported serve_through nginx nginx-scriptrunner-fcgi-upstream.conf "one|two"
# nginx takes turns between the two servers.
nodes=""
for i in 1 2 3 4; do
  fetch "upstream-$i" "http://127.0.0.1:$PORT/cgi/hello.zr?name=C"
  nodes+=" ${BODY##* }"
done
BODY=$nodes
check "the upstream snippet spreads requests over both servers" \
  eval '[[ $nodes == *one* && $nodes == *two* ]]'

stop_servers
finish

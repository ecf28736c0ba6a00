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
# Not a page: a web server that sent it would show the source of every page that includes it.
printf 'Global password$ = "secret"\n' >"$srv/cgi/layout.inc"
chmod 644 "$srv/cgi/layout.inc"

# The snippet with its system paths moved below DIR; port 80 becomes PORT.
localise() {
  local snippet=$1 dir=$2
  sed -e "s|/srv/scriptrunner|$srv|g" \
    -e "s|/run/scriptrunner-fcgi.sock|$socket_path|g" \
    -e "s|/run/fcgiwrap.socket|$socket_path|g" \
    -e "s#/srv/\(alice\|bob\)#$work/srv-\1#g" -e "s|/run/scriptrunner-fcgi/|$work/pools/|g" \
    -e "s|/var/log/[a-z0-9]*/[a-z-]*\\.log|$dir/error.log|g" \
    -e "s|listen 80;|listen 127.0.0.1:$PORT;|" \
    "$deploy/$snippet" >"$dir/snippet.conf"
}

start_nginx_with() {
  local dir=$1 snippet=$2
  localise "$snippet" "$dir"
  cp /etc/nginx/fastcgi_params "$dir/"
  mkdir -p "$dir/temp"
  echo "${nginx_user:-}" >"$dir/nginx.conf"
  ERROR_LOG=$dir/error.log nginx_conf_head "$dir" 64 >>"$dir/nginx.conf"
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

# The modules that the snippet's instructions enable (a2enmod proxy_fcgi) and those that Debian
# enables by default (mod_mime, for AddHandler) are loaded here.
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
LoadModule mime_module $modules/mod_mime.so
TypesConfig /dev/null
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

# start_with KIND SNIPPET: starts the web server with the snippet on a free port (three tries);
# it stays up until stop_servers.
start_with() {
  local kind=$1 snippet=$2 dir=$work/$2 attempt
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
}

# serve_through KIND SNIPPET NODE: start_with, then checks that the script answers through it,
# from the server named NODE (a pattern), that a missing script is not found and that an include
# file is not sent.
serve_through() {
  local kind=$1 snippet=$2 node=$3
  start_with "$kind" "$snippet"
  fetch "$snippet" "http://127.0.0.1:$PORT/cgi/hello.zr?name=Ann%20B"
  check "$snippet serves the script" \
    eval '[[ "$STATUS:$BODY" =~ ^"200:deployed, Ann B, by "($node)$ ]]'
  fetch "$snippet-missing" "http://127.0.0.1:$PORT/cgi/missing.zr"
  check "$snippet answers 404 for a script that does not exist" equals "$STATUS" 404
  fetch "$snippet-include" "http://127.0.0.1:$PORT/cgi/layout.inc"
  check "$snippet refuses an include file" eval '[[ $STATUS == 403 || $STATUS == 404 ]]'
}

# A page that runs until the test lets it go (or 30 s have passed), its headers sent at once.
cat >"$srv/cgi/slow.zr" <<EOF
#!$work/runner/scriptrunner
Write "Content-Type: text/plain" + #LF\$ + #LF\$
Flush
stop = Time() + 30
While FileExists("$work/release") = 0 And Time() < stop
Wend
WriteLine "released"
EOF
chmod 755 "$srv/cgi/slow.zr"

# wait_for_line FILE TEXT: at most 10 s for a line holding TEXT to be in FILE.
wait_for_line() {
  for _ in $(seq 1 200); do grep -qF -- "$2" "$1" 2>/dev/null && return 0; sleep 0.05; done
  return 1
}

# has_lines NAME LINE...: the body of the response NAME has each LINE as a whole line.
has_lines() {
  local body=$RESPONSE_DIR/$1.body line
  shift
  for line; do grep -qxF -- "$line" "$body" || return 1; done
}

# The server's own pages through the nginx snippet's blocks, after the one page of serve_through,
# while slow.zr runs past the slow log's second; then the slow log's end line, and the log
# reopened on USR1 after it was moved away.
check_own_pages() {
  local log=$work/fcgi/server.log slow=$srv/cgi/slow.zr
  curl -sS --max-time 40 -o "$RESPONSE_DIR/slow.body" "http://127.0.0.1:$PORT/cgi/slow.zr" &
  local held=$!
  check "a request running past --slow-log is logged" \
    wait_for_line "$log" "bytes out so far: $slow"
  fetch status "http://127.0.0.1:$PORT/status"
  check "the status page counts the requests sent, itself included, while one runs" \
    has_lines status "accepted requests: 3" "requests served: 2" "active processes: 1" \
    "slow requests: 1"
  fetch status-json "http://127.0.0.1:$PORT/status?json&full"
  BODY=$(python3 -c 'import json, sys
page = json.load(sys.stdin)
rows = page["running_requests"]
print(page["accepted_requests"], page["requests_served"], page["cache_builds"],
      [(r["script"], r["state"], r["pid"] > 0, r["bytes_out"] > 0) for r in rows])' \
    <"$RESPONSE_DIR/status-json.body" 2>&1)
  check "?json&full is JSON with the counts and the running request's row" \
    equals "$BODY" "4 3 2 [('$slow', 'running', True, True)]"
  fetch status-metrics "http://127.0.0.1:$PORT/status?openmetrics"
  check "?openmetrics counts in its format" has_lines status-metrics \
    "scriptrunner_accepted_requests_total 5" \
    'scriptrunner_ended_requests_total{outcome="served"} 4'
  check "?openmetrics ends with # EOF" equals "$(tail -n 1 <<<"$BODY")" "# EOF"
  check "?openmetrics has its content type" grep -qi \
    "^content-type: application/openmetrics-text; version=1.0.0; charset=utf-8" \
    "$RESPONSE_DIR/status-metrics.headers"
  fetch ping "http://127.0.0.1:$PORT/ping"
  check "the ping page answers pong" equals "$STATUS:$BODY" "200:pong"
  fetch status-remote "http://127.0.0.1:$PORT/status" --interface 127.0.0.2
  check "the status page is denied to another address" equals "$STATUS" 403
  touch "$work/release"
  wait "$held"
  check "the slow page is answered in full" equals "$(cat "$RESPONSE_DIR/slow.body")" released
  check "the slow request's end is logged with how it ended" \
    wait_for_line "$log" "bytes out, served: $slow"
  check "and was logged as slow once" equals "$(grep -cF "so far: $slow" "$log")" 1
  mv "$log" "$log.1"
  kill -USR1 "$FCGI_PID"
  check "SIGUSR1 reopens --log: the next line lands in a new file" \
    wait_for_line "$log" "log reopened"
  check "and not in the file moved away" eval '! grep -q "log reopened" "$log.1"'
}

socket_path=$work/fcgi/socket
start_fcgi "$work/fcgi" "$work/runner/scriptrunner-fcgi" "unix:$socket_path" \
  --env SR_NODE=socket --status-path /status --ping-path /ping --slow-log 1 \
  --log "$work/fcgi/server.log"
for kind in nginx lighttpd apache; do
  serve_through "$kind" "$kind-scriptrunner-fcgi.conf" socket
  [ "$kind" = nginx ] && check_own_pages
  kill -TERM -- "-$SERVER_PID"
  wait "$SERVER_PID" 2>/dev/null || true
done
# A hang-up stops the server as TERM does: it says so and exits 0.
kill -HUP "$FCGI_PID"
status=0
wait "$FCGI_PID" || status=$?
BODY=$(cat "$work/fcgi/server.log")
check "SIGHUP stops the server gracefully, with a line in its log" eval \
  '[[ $status == 0 && $BODY == *"SIGHUP: stopping as on SIGTERM"* && $BODY == *": stopped"* ]]'

# The CGI snippet for nginx, in front of fcgiwrap (as www-data, as its comment starts it).
if command -v fcgiwrap >/dev/null; then
  socket_path=$work/fcgiwrap/socket
  mkdir -p "$work/fcgiwrap"
  as=()
  if [ "$(id -u)" -eq 0 ]; then
    as=(setpriv --reuid=www-data --regid=www-data --clear-groups)
    chown www-data: "$work/fcgiwrap"
  fi
  start_in_group "${as[@]}" fcgiwrap -f -c 2 -s "unix:$socket_path" </dev/null \
    >"$work/fcgiwrap/stderr" 2>&1
  for _ in $(seq 1 100); do [ -S "$socket_path" ] && break; sleep 0.05; done
  chmod 666 "$socket_path"  # nginx's workers here are nobody
  serve_through nginx nginx-scriptrunner.conf ""
  kill -TERM -- "-$SERVER_PID" "-$BG_PID"
  wait "$SERVER_PID" 2>/dev/null || true
fi

# The hand start of deploy/README.md as written, with /usr/lib/scriptrunner/ and /run/ moved
# below the work folder: as www-data, with the nginx snippet naming its socket.
if [ "$(id -u)" -eq 0 ]; then
  recipe=$(awk '/^### Starting the server by hand/ { on = 1; next }
    on && /^    / { print substr($0, 5); seen = 1; next }
    seen { exit }' "$deploy/README.md")
  mkdir -p "$work/run"
  recipe=$(sed -e "s|/usr/lib/scriptrunner/|$work/runner/|g" -e "s|/run/|$work/run/|g" \
    <<<"$recipe")
  start_in_group bash -euc "$recipe" </dev/null >"$work/run/stderr" 2>&1
  socket_path=$(grep -o "unix:[^ ]*" <<<"$recipe" | head -n 1) || true
  socket_path=${socket_path#unix:}
  for _ in $(seq 1 100); do [ -S "$socket_path" ] && break; sleep 0.05; done
  BODY=$(stat -c %U "$socket_path" 2>&1)
  check "the hand-started server's socket belongs to www-data" equals "$BODY" www-data
  check "the hand-started server has a --timeout" contains "$recipe" "--timeout "
  nginx_user="user www-data;" serve_through nginx nginx-scriptrunner-fcgi.conf ""
  kill -TERM -- "-$SERVER_PID" "-$BG_PID"
  wait "$SERVER_PID" 2>/dev/null || true
fi

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

# denied_to UID COMMAND FILE: FILE is there and the shell COMMAND on it ($1) fails as UID.
denied_to() {
  [ -f "$3" ] && ! setpriv --reuid="$1" --regid="$1" --clear-groups sh -c "$2" - "$3" \
    >/dev/null 2>&1
}

# One server per site user: the template unit's command line run by two uids, each on a socket
# made as its socket unit makes it, behind the snippet with the two sites. The users are bare
# uids, apart from those of the security tests; their folders are made as deploy/README.md says.
if [ "$(id -u)" -eq 0 ] && command -v systemd-socket-activate >/dev/null; then
  declare -A uid_of=([alice]=61200 [bob]=61201) other=([alice]=bob [bob]=alice)
  units=$deploy/systemd
  arguments=$(sed -n 's|^ExecStart=/usr/lib/scriptrunner/scriptrunner-fcgi||p' \
    "$units/scriptrunner-fcgi@.service")
  mkdir -p "$work/pools"
  for user in alice bob; do
    uid=${uid_of[$user]}
    install -d -m 0750 -o "$uid" -g www-data "$work/srv-$user" "$work/srv-$user/cgi"
    forget_cache_below "$work/srv-$user"
    page=$work/srv-$user/cgi/hello.zr
    # Each page tries to read the other author's script, which a shared uid could.
    cat >"$page" <<EOF
#!$work/runner/scriptrunner
Write "Content-Type: text/plain" + #LF\$ + #LF\$
WriteLine "$user reads " + Str\$(FileSize("$work/srv-${other[$user]}/cgi/hello.zr"))
EOF
    chown "$uid:$uid" "$page"
    chmod 755 "$page"
    socket=$work/pools/$user.sock
    # shellcheck disable=SC2086  # the unit's arguments, split as systemd splits them
    start_in_group systemd-socket-activate -l "$socket" \
      setpriv --reuid="$uid" --regid="$uid" --clear-groups \
      "$work/runner/scriptrunner-fcgi" $arguments </dev/null >"$work/pools/$user.stderr" 2>&1
    for _ in $(seq 1 100); do [ -S "$socket" ] && break; sleep 0.05; done
    chown "$uid:$(sed -n 's/^SocketGroup=//p' "$units/scriptrunner-fcgi@.socket")" "$socket"
    chmod "$(sed -n 's/^SocketMode=//p' "$units/scriptrunner-fcgi@.socket")" "$socket"
  done
  nginx_user="user www-data;" start_with nginx nginx-scriptrunner-fcgi-users.conf
  for user in alice bob; do
    fetch "pool-$user" "http://127.0.0.1:$PORT/cgi/hello.zr" -H "Host: $user.example.org"
    check "$user's site is served by $user's server, which cannot read the other's script" \
      equals "$STATUS:$BODY" "200:$user reads -1"
    cached=$(cache_file_for "$work/srv-$user/cgi/hello.zr")
    BODY=$(stat -c %u "$cached" 2>&1) || true
    check "$user's page is cached as $user" equals "$BODY" "${uid_of[$user]}"
    intruder=${uid_of[${other[$user]}]}
    for file in "$cached" "$cached.script"; do
      check "${other[$user]} cannot read $user's $file" denied_to "$intruder" 'cat "$1"' "$file"
      check "${other[$user]} cannot write $user's $file" denied_to "$intruder" ': >>"$1"' "$file"
      check "${other[$user]} cannot remove $user's $file" denied_to "$intruder" 'rm -f "$1"' "$file"
    done
  done
  # Asked for bob's script directly, alice's server cannot reach it.
  BODY=$(env -i SCRIPT_FILENAME="$work/srv-bob/cgi/hello.zr" REQUEST_METHOD=GET \
    cgi-fcgi -bind -connect "$work/pools/alice.sock" 2>&1)
  check "alice's server refuses bob's script" \
    eval '[[ $BODY == *"Status: 500"* && $BODY == *"The script cannot be found"* ]]'
  stop_servers
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

# The CGI snippets of lighttpd and Apache, last: lighttpd started by root runs the script as root,
# whose cache files the servers above (www-data) would have to build around.
for kind in apache lighttpd; do
  serve_through "$kind" "$kind-scriptrunner.conf" ""
  stop_servers
done
finish

# Shared by the integration tests: temporary folders, loopback ports, the three web servers as CGI
# hosts or in front of the FastCGI server (each started with a configuration written here, in a
# process group of its own, and stopped with that whole group), an HTTP fetch and the checks.
# Sourced, not run.

set -euo pipefail

passed=0
failed=0
server_pids=()
declare -A exit_status=()
cleanup_dirs=()
cache_prefixes=()

# require_programs PROGRAM...: skips the test (exit 77) unless each program is installed, then
# adds /usr/sbin, where the web servers live, to PATH.
require_programs() {
  local program
  for program in "$@"; do
    if ! command -v "$program" >/dev/null && [ ! -x "/usr/sbin/$program" ]; then
      echo "skipped: $program is not installed (scripts/install-deps installs it)"
      exit 77
    fi
  done
  PATH=$PATH:/usr/sbin
}

# Temporary folders are world-readable: Apache and nginx workers run as other users.
# Sets WORK_DIR.
make_work_dir() {
  WORK_DIR=$(mktemp -d /tmp/sr-it.XXXXXX)
  chmod 755 "$WORK_DIR"
  cleanup_dirs+=("$WORK_DIR")
}

# The cached executable the runner keeps for a script: "/tmp/zr-executable_" + path without "/".
cache_file_for() { echo "/tmp/zr-executable_${1//\//}"; }

# Cache files of scripts below a folder start with that folder's mangled path.
forget_cache_below() { cache_prefixes+=("$(cache_file_for "$1")"); }

cleanup() {
  local prefix dir
  stop_servers
  for prefix in "${cache_prefixes[@]}"; do
    rm -f "$prefix"*
  done
  [ -n "${SR_IT_KEEP:-}" ] && { echo "kept: ${cleanup_dirs[*]}" >&2; return; }
  for dir in "${cleanup_dirs[@]}"; do
    rm -rf "$dir"
  done
}
trap cleanup EXIT

# A port in the unprivileged range that nothing answers on right now. Two tests may still pick
# the same one; start_server retries on a failed start.
pick_port() {
  local port
  for _ in $(seq 1 50); do
    port=$((20000 + RANDOM % 12000))
    if ! (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then
      echo "$port"
      return 0
    fi
  done
  echo "no free port found" >&2
  return 1
}

# True while the process runs (an ended child that is not yet waited for does not count).
process_alive() {
  local state
  state=$(awk '{print $3}' "/proc/$1/stat" 2>/dev/null) || return 1
  [ -n "$state" ] && [ "$state" != Z ]
}

# Waits until the server answers HTTP on the port, at most 15 s; fails as soon as the process has
# ended. A port that merely accepts is not enough: Apache binds before it reads all its
# configuration and may still give up.
wait_for_http() {
  local port=$1 pid=$2 code
  for _ in $(seq 1 60); do
    process_alive "$pid" || return 1
    code=$(curl -s -o /dev/null --max-time 1 -w '%{http_code}' "http://127.0.0.1:$port/") || true
    [ "${code:-000}" != 000 ] && process_alive "$pid" && return 0
    sleep 0.2
  done
  return 1
}

# Copies the build's bin/ tree (runner, FastCGI server when built, compiler, stub) to DEST,
# readable and executable by all, so that a server that runs scripts as another user can start
# them.
stage_runner() {
  local bin=$1 dest=$2
  mkdir -p "$dest/compilers"
  install -m 755 "$bin/scriptrunner" "$dest/scriptrunner"
  if [ -x "$bin/scriptrunner-fcgi" ]; then
    install -m 755 "$bin/scriptrunner-fcgi" "$dest/scriptrunner-fcgi"
  fi
  install -m 755 "$bin/compilers/zrcompiler" "$bin/compilers/zrstub" "$dest/compilers/"
}

# Writes a script from a fixture whose first line names @RUNNER@, executable by all.
install_script() {
  local fixture=$1 dest=$2 runner=$3
  sed "1s|@RUNNER@|$runner|" "$fixture" >"$dest"
  chmod 755 "$dest"
}

# --- the servers ------------------------------------------------------------------------------
# start_server KIND DIR DOCROOT: starts one instance with its files in DIR, serving DOCROOT on a
# free loopback port. Sets PORT and ERROR_LOG (where the scripts' standard error lands).

start_server() {
  local kind=$1 dir=$2 docroot=$3 attempt
  for attempt in 1 2 3; do
    PORT=$(pick_port)
    case $kind in
      lighttpd) start_lighttpd "$dir" "$docroot" ;;
      apache) start_apache "$dir" "$docroot" ;;
      nginx) start_nginx "$dir" "$docroot" ;;
      lighttpd-fastcgi) start_lighttpd_fastcgi "$dir" "$docroot" ;;
      apache-fastcgi) start_apache_fastcgi "$dir" "$docroot" ;;
      nginx-fastcgi) start_nginx_fastcgi "$dir" "$docroot" off ;;
      nginx-fastcgi-keepconn) start_nginx_fastcgi "$dir" "$docroot" on ;;
      *) echo "unknown server $kind" >&2; return 1 ;;
    esac
    if wait_for_http "$PORT" "$SERVER_PID"; then return 0; fi
    echo "$kind did not start on port $PORT (attempt $attempt):" >&2
    tail -n 5 "$dir"/*.log "$dir"/stderr >&2 2>/dev/null || true
    stop_servers
  done
  return 1
}

# start_in_group COMMAND...: starts COMMAND in the background as the leader of a process group of
# its own and records it for stop_servers; sets BG_PID. setsid(1) does not fork here (a background
# job of a script is no group leader), so BG_PID is the command's pid and its group's id.
start_in_group() {
  setsid "$@" &
  BG_PID=$!
  server_pids+=("$BG_PID")
}

# Stops every server started so far with all the processes of its group (fcgiwrap's children
# outlive a TERM to their parent), and waits until each group is empty; what does not end on TERM
# within 5 s is killed.
stop_servers() {
  local group
  for group in "${server_pids[@]}"; do
    kill -TERM -- "-$group" 2>/dev/null || true
  done
  for group in "${server_pids[@]}"; do
    exit_status[$group]=0
    wait "$group" 2>/dev/null || exit_status[$group]=$?
    for _ in $(seq 1 100); do
      kill -0 -- "-$group" 2>/dev/null || break
      sleep 0.05
    done
    kill -KILL -- "-$group" 2>/dev/null || true
  done
  server_pids=()
}

# Each start_* starts its server in the background and sets SERVER_PID to the listening one.
start_lighttpd() {
  local dir=$1 docroot=$2
  ERROR_LOG=$dir/cgi-error.log
  cat >"$dir/lighttpd.conf" <<EOF
server.modules = ("mod_cgi")
server.document-root = "$docroot"
server.bind = "127.0.0.1"
server.port = $PORT
server.pid-file = "$dir/lighttpd.pid"
server.errorlog = "$dir/error.log"
server.breakagelog = "$ERROR_LOG"
server.upload-dirs = ("$dir")
cgi.assign = (".zr" => "")
EOF
  start_in_group lighttpd -D -f "$dir/lighttpd.conf" </dev/null >"$dir/stderr" 2>&1
  SERVER_PID=$BG_PID
}

# nginx_conf_head DIR CONNECTIONS: the lines that every nginx configuration here begins with, up
# to the inside of its http block: everything it writes stays below DIR, its errors go to
# $ERROR_LOG.
nginx_conf_head() {
  local dir=$1 connections=$2
  cat <<EOF
daemon off;
worker_processes 2;
pid $dir/nginx.pid;
error_log $ERROR_LOG warn;
events { worker_connections $connections; }
http {
  access_log off;
  client_body_temp_path $dir/temp/body;
  fastcgi_temp_path $dir/temp/fastcgi;
  proxy_temp_path $dir/temp/proxy;
  uwsgi_temp_path $dir/temp/uwsgi;
  scgi_temp_path $dir/temp/scgi;
EOF
}

# apache_conf_head DIR: the lines that every Apache configuration here begins with.
apache_conf_head() {
  local dir=$1 modules=/usr/lib/apache2/modules
  cat <<EOF
ServerName 127.0.0.1
Listen 127.0.0.1:$PORT
PidFile $dir/apache.pid
ErrorLog $ERROR_LOG
LogLevel warn
DefaultRuntimeDir $dir/run
Mutex file:$dir/run default
LoadModule mpm_event_module $modules/mod_mpm_event.so
LoadModule authz_core_module $modules/mod_authz_core.so
EOF
}

start_apache() {
  local dir=$1 docroot=$2 modules=/usr/lib/apache2/modules
  ERROR_LOG=$dir/error.log
  mkdir -p "$dir/run"
  chmod 755 "$dir/run"
  apache_conf_head "$dir" >"$dir/apache.conf"
  cat >>"$dir/apache.conf" <<EOF
LoadModule cgid_module $modules/mod_cgid.so
ScriptSock $dir/run/cgid.sock
User www-data
Group www-data
DocumentRoot $docroot
<Directory $docroot>
  Options +ExecCGI
  Require all granted
  <FilesMatch "\\.zr\$">
    SetHandler cgi-script
  </FilesMatch>
</Directory>
EOF
  start_in_group apache2 -f "$dir/apache.conf" -DFOREGROUND </dev/null >"$dir/stderr" 2>&1
  SERVER_PID=$BG_PID
}

start_nginx() {
  local dir=$1 docroot=$2 socket=$dir/fcgiwrap.sock
  ERROR_LOG=$dir/error.log
  mkdir -p "$dir/temp"
  rm -f "$socket"
  # -f sends the scripts' standard error to nginx, which logs it; -c 4 serves requests in parallel.
  start_in_group fcgiwrap -f -c 4 -s "unix:$socket" </dev/null >"$dir/fcgiwrap.stderr" 2>&1
  for _ in $(seq 1 100); do [ -S "$socket" ] && break; sleep 0.05; done
  # nginx workers run as another user and must be able to connect.
  chmod 666 "$socket"
  nginx_conf_head "$dir" 512 >"$dir/nginx.conf"
  cat >>"$dir/nginx.conf" <<EOF
  server {
    listen 127.0.0.1:$PORT;
    root $docroot;
    location ~ \.zr\$ {
      include /etc/nginx/fastcgi_params;
      fastcgi_param SCRIPT_FILENAME \$document_root\$fastcgi_script_name;
      fastcgi_pass unix:$socket;
    }
  }
}
EOF
  start_in_group nginx -p "$dir" -e "$ERROR_LOG" -c "$dir/nginx.conf" </dev/null >"$dir/stderr" 2>&1
  SERVER_PID=$BG_PID
}

# --- FastCGI mode -------------------------------------------------------------------------------
# start_fcgi DIR BIN LISTEN [server options...]: starts the FastCGI server BIN on LISTEN
# (unix:PATH or HOST:PORT) in a process group of its own, with its own messages in
# DIR/fcgi.stderr, and waits until it listens. Run by root, it runs as www-data, as its service
# unit runs it; the socket is open to all so that any web server's workers can connect. Sets
# FCGI_PID and FCGI_LISTEN.
start_fcgi() {
  local dir=$1 bin=$2 listen=$3 as=()
  shift 3
  mkdir -p "$dir"
  if [ "$(id -u)" -eq 0 ]; then
    as=(setpriv --reuid=www-data --regid=www-data --clear-groups)
    chown www-data: "$dir"
  fi
  case $listen in unix:*) rm -f "${listen#unix:}" ;; esac
  start_in_group "${as[@]}" "$bin" --listen "$listen" --socket-mode 0666 "$@" \
    </dev/null >"$dir/fcgi.stderr" 2>&1
  FCGI_PID=$BG_PID
  FCGI_LISTEN=$listen
  wait_for_fcgi "$listen" "$FCGI_PID" || {
    echo "the FastCGI server did not start on $listen:" >&2
    cat "$dir/fcgi.stderr" >&2
    return 1
  }
}

# Waits until the FastCGI server listens on LISTEN, at most 10 s; fails as soon as it has ended.
wait_for_fcgi() {
  local listen=$1 pid=$2 host port
  for _ in $(seq 1 100); do
    process_alive "$pid" || return 1
    case $listen in
      unix:*) [ -S "${listen#unix:}" ] && return 0 ;;
      *)
        host=${listen%:*} port=${listen##*:}
        (exec 3<>"/dev/tcp/$host/$port") 2>/dev/null && return 0
        ;;
    esac
    sleep 0.1
  done
  return 1
}

# The exit status of the FastCGI server, once stop_servers has stopped it.
fcgi_exit_status() { echo "${exit_status[$FCGI_PID]:-running}"; }

# How many connections the server at the unix socket PATH has open right now (accepted ones; the
# listening socket itself is not counted).
fcgi_connections() {
  ss -xH 2>/dev/null | grep -cF -- " $1 " || true
}

# How lighttpd and Apache name the FastCGI server at FCGI_LISTEN (nginx takes it as it is).
lighttpd_address() {
  case $FCGI_LISTEN in
    unix:*) echo "\"socket\" => \"${FCGI_LISTEN#unix:}\"" ;;
    *) echo "\"host\" => \"${FCGI_LISTEN%:*}\", \"port\" => ${FCGI_LISTEN##*:}" ;;
  esac
}
apache_handler() {
  case $FCGI_LISTEN in
    unix:*) echo "proxy:unix:${FCGI_LISTEN#unix:}|fcgi://localhost" ;;
    *) echo "proxy:fcgi://$FCGI_LISTEN" ;;
  esac
}

# The web servers in FastCGI mode pass every .zr request to the server at FCGI_LISTEN, started
# before with start_fcgi. The scripts' standard error reaches each one's error log.
start_lighttpd_fastcgi() {
  local dir=$1 docroot=$2
  ERROR_LOG=$dir/error.log
  cat >"$dir/lighttpd.conf" <<EOF
server.modules = ("mod_fastcgi")
server.document-root = "$docroot"
server.bind = "127.0.0.1"
server.port = $PORT
server.pid-file = "$dir/lighttpd.pid"
server.errorlog = "$ERROR_LOG"
server.upload-dirs = ("$dir")
fastcgi.server = (".zr" => (("check-local" => "enable", $(lighttpd_address))))
EOF
  start_in_group lighttpd -D -f "$dir/lighttpd.conf" </dev/null >"$dir/stderr" 2>&1
  SERVER_PID=$BG_PID
}

start_apache_fastcgi() {
  local dir=$1 docroot=$2 modules=/usr/lib/apache2/modules
  ERROR_LOG=$dir/error.log
  mkdir -p "$dir/run"
  chmod 755 "$dir/run"
  apache_conf_head "$dir" >"$dir/apache.conf"
  cat >>"$dir/apache.conf" <<EOF
LoadModule proxy_module $modules/mod_proxy.so
LoadModule proxy_fcgi_module $modules/mod_proxy_fcgi.so
User www-data
Group www-data
# Without it mod_proxy_fcgi sends SCRIPT_FILENAME as "proxy:fcgi://localhost/<path>", a quirk
# made for php-fpm; GENERIC sends the plain path.
ProxyFCGIBackendType GENERIC
DocumentRoot $docroot
<Directory $docroot>
  Require all granted
  <FilesMatch "\\.zr\$">
    SetHandler "$(apache_handler)"
  </FilesMatch>
</Directory>
EOF
  start_in_group apache2 -f "$dir/apache.conf" -DFOREGROUND </dev/null >"$dir/stderr" 2>&1
  SERVER_PID=$BG_PID
}

# KEEP_CONN on: nginx keeps its connections to the server open between requests, which needs an
# upstream with a keepalive pool. FCGI_UPSTREAM (addresses separated by blanks) puts several
# servers behind one upstream instead of the one at FCGI_LISTEN.
start_nginx_fastcgi() {
  local dir=$1 docroot=$2 keep_conn=$3 address upstream="" pass
  ERROR_LOG=$dir/error.log
  mkdir -p "$dir/temp"
  if [ "$keep_conn" = on ] || [ -n "${FCGI_UPSTREAM:-}" ]; then
    upstream="upstream scriptrunner {"
    for address in ${FCGI_UPSTREAM:-$FCGI_LISTEN}; do
      upstream+=$'\n'"    server $address;"
    done
    [ "$keep_conn" = on ] && upstream+=$'\n    keepalive 8;'
    upstream+=$'\n  }'
    pass=scriptrunner
  else
    pass=$FCGI_LISTEN
  fi
  nginx_conf_head "$dir" 1024 >"$dir/nginx.conf"
  cat >>"$dir/nginx.conf" <<EOF
  $upstream
  server {
    listen 127.0.0.1:$PORT;
    root $docroot;
    location ~ \.zr\$ {
      include /etc/nginx/fastcgi_params;
      fastcgi_param SCRIPT_FILENAME \$document_root\$fastcgi_script_name;
      fastcgi_pass $pass;
      fastcgi_keep_conn $keep_conn;
    }
  }
}
EOF
  start_in_group nginx -p "$dir" -e "$ERROR_LOG" -c "$dir/nginx.conf" </dev/null >"$dir/stderr" 2>&1
  SERVER_PID=$BG_PID
}

# --- requests and checks ----------------------------------------------------------------------

# fetch NAME URL [curl options...]: the response lands in $RESPONSE_DIR/NAME.{body,headers};
# STATUS holds the HTTP status (000 when there was no answer).
fetch() {
  local name=$1 url=$2
  shift 2
  STATUS=$(curl -sS --max-time 30 -o "$RESPONSE_DIR/$name.body" -D "$RESPONSE_DIR/$name.headers" \
    -w '%{http_code}' "$@" "$url" 2>"$RESPONSE_DIR/$name.curl") || STATUS=000
  BODY=$(cat "$RESPONSE_DIR/$name.body" 2>/dev/null || true)
}

# The value of one response header, without its CR.
header_of() {
  sed -n "s/^$2: *//Ip" "$RESPONSE_DIR/$1.headers" | tr -d '\r' | tail -n 1
}

# check NAME CONDITION-COMMAND...: one named case; prints what it saw when it fails.
check() {
  local name=$1
  shift
  if "$@"; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    echo "FAIL: $name" >&2
    echo "  status: ${STATUS:-}; body: $(printf '%s' "${BODY:-}" | head -c 600)" >&2
  fi
}

contains() { [[ $1 == *"$2"* ]]; }
not_contains() { [[ $1 != *"$2"* ]]; }
equals() { [[ $1 == "$2" ]]; }
file_contains() { grep -qF -- "$2" "$1" 2>/dev/null; }

finish() {
  echo "$passed passed, $failed failed"
  [ "$failed" -eq 0 ]
}

#!/usr/bin/env bash
# fastcgi_upstream_test.sh BIN_DIR: two FastCGI servers on two loopback ports behind one nginx
# upstream, as the deploy note for several hosts sets them up. A stream of requests runs while
# one server is stopped: nginx must move on to the other, and no request may be lost beyond those
# that the stopped server was serving at that moment.
here=$(cd "$(dirname "$0")" && pwd)
source "$here/lib.sh"
bin=$(cd "$1" && pwd)

require_programs nginx
[ -x "$bin/scriptrunner-fcgi" ] || { echo "$bin/scriptrunner-fcgi is missing" >&2; exit 1; }

# Many light requests: the stop must come while the stream still runs, and the loop that waits
# for it shares two busy cores with the stream (400 all ended once before it looked).
REQUESTS=1000
PARALLEL=8
STOP_AFTER=150      # answers seen before the first server is stopped
MAX_CHILDREN=4      # of each server: the most requests the stopped one can have in flight

make_work_dir
work=$WORK_DIR
RESPONSE_DIR=$work/responses
docroot=$work/htdocs
mkdir -p "$RESPONSE_DIR" "$docroot" "$work/server"
forget_cache_below "$docroot"
stage_runner "$bin" "$work/runner"

# Each server names itself through its --env, so every answer shows which one served it. The
# loop gives each request some time, so that requests are in flight when a server stops.
cat >"$docroot/node.zr" <<'EOF'
#!@RUNNER@ -w
Write "Content-Type: text/plain" + #LF$ + #LF$
sum = 0
For i = 1 To 5000
  sum = sum + i % 7
Next i
WriteLine "node=[" + Env$("SR_NODE") + "] sum=[" + Str$(sum) + "]"
EOF
sed -i "1s|@RUNNER@|$work/runner/scriptrunner|" "$docroot/node.zr"
chmod 755 "$docroot/node.zr"

addresses=()
node_pids=()
for node in one two; do
  for attempt in 1 2 3; do
    port=$(pick_port)
    if start_fcgi "$work/fcgi-$node" "$work/runner/scriptrunner-fcgi" "127.0.0.1:$port" \
      --max-children "$MAX_CHILDREN" --timeout 60 --env "SR_NODE=$node"; then
      break
    fi
    [ "$attempt" -eq 3 ] && exit 1
  done
  addresses+=("$FCGI_LISTEN")
  node_pids+=("$FCGI_PID")
done
FCGI_UPSTREAM="${addresses[*]}"
start_server nginx-fastcgi "$work/server" "$docroot"
base=http://127.0.0.1:$PORT

expected_sum=14997  # the sum of i % 7 for i from 1 to 5000
fetch first "$base/node.zr"
check "a request through the upstream answers 200" equals "$STATUS" 200
check "the script's loop gives the expected sum" contains "$BODY" "sum=[$expected_sum]"

# The stream: REQUESTS requests, PARALLEL at a time, each answer in a file of its own.
urls=()
for i in $(seq 1 "$REQUESTS"); do
  urls+=(-o "$RESPONSE_DIR/stream-$i.body" "$base/node.zr?n=$i")
done
curl -sS --max-time 30 --parallel --parallel-immediate --parallel-max "$PARALLEL" \
  -w '%{http_code}\n' "${urls[@]}" >"$RESPONSE_DIR/stream.codes" 2>"$RESPONSE_DIR/stream.curl" &
stream=$!

# Stops the first server once STOP_AFTER answers have arrived (at most 60 s). curl writes its
# status lines at the end only; an answer shows as its body file.
answered() { find "$RESPONSE_DIR" -name 'stream-*.body' -size +0 | wc -l; }
for _ in $(seq 1 3000); do
  [ "$(answered)" -ge "$STOP_AFTER" ] && break
  process_alive "$stream" || break
  sleep 0.02
done
answered_before_stop=$(answered)
kill -TERM -- "-${node_pids[0]}"
stop_status=0
wait "${node_pids[0]}" || stop_status=$?
wait "$stream" || true

STATUS="" BODY="$answered_before_stop answers before the stop"
check "the first server was stopped in the middle of the stream" \
  test "$answered_before_stop" -ge "$STOP_AFTER" -a "$answered_before_stop" -lt "$REQUESTS"
BODY=$(tail -n 3 "$work/fcgi-one/fcgi.stderr")
check "the stopped server ends with status 0" equals "$stop_status" 0

lost=0
served_by_one=0
served_by_two=0
for i in $(seq 1 "$REQUESTS"); do
  body=$(cat "$RESPONSE_DIR/stream-$i.body" 2>/dev/null || true)
  case $body in
    "node=[one] sum=[$expected_sum]") served_by_one=$((served_by_one + 1)) ;;
    "node=[two] sum=[$expected_sum]") served_by_two=$((served_by_two + 1)) ;;
    *) lost=$((lost + 1)) ;;
  esac
done
STATUS=$(sort "$RESPONSE_DIR/stream.codes" | uniq -c | tr '\n' ' ')
BODY="lost $lost; served by one $served_by_one, by two $served_by_two"
echo "the first server stopped after $answered_before_stop answers; $BODY"
check "no request lost beyond those in flight on the stopped server" \
  test "$lost" -le "$MAX_CHILDREN"
check "both servers served requests before the stop" \
  test "$served_by_one" -gt 0 -a "$served_by_two" -gt 0
check "every request answered is a whole answer" \
  equals "$((served_by_one + served_by_two + lost))" "$REQUESTS"

# After the stop nginx sends everything to the second server.
after=""
for i in $(seq 1 20); do
  fetch "after-$i" "$base/node.zr?after=$i"
  after+="$STATUS:$BODY;"
done
BODY=$after
check "after the stop every request is served by the second server" \
  equals "$after" "$(for _ in $(seq 1 20); do
    printf '200:node=[two] sum=[%s];' "$expected_sum"
  done)"

stop_servers
check "the second server ends on TERM with status 0" equals "$(fcgi_exit_status)" 0
finish

#!/usr/bin/env bash
# server_test.sh SERVER BIN_DIR [MODE]: requests scripts written in the stand-in language through a
# real web server (lighttpd, apache or nginx).
#   MODE cgi (the default): the server starts the runner through each script's shebang line.
#   MODE fastcgi, or fastcgi-keepconn (nginx keeping its connections open): the server passes the
#   requests to scriptrunner-fcgi. Each answer must then also equal, byte for byte, the answer
#   that the same server gives through CGI for a copy of the same scripts.
here=$(cd "$(dirname "$0")" && pwd)
source "$here/lib.sh"

server=$1
bin=$(cd "$2" && pwd)
mode=${3:-cgi}
case $mode in
  cgi | fastcgi) ;;
  fastcgi-keepconn) [ "$server" = nginx ] || { echo "keep-conn is an nginx mode" >&2; exit 2; } ;;
  *) echo "unknown mode $mode" >&2; exit 2 ;;
esac
if [ "$mode" != cgi ] && [ ! -x "$bin/scriptrunner-fcgi" ]; then
  echo "$bin/scriptrunner-fcgi is missing; build it first" >&2
  exit 1
fi
case $server in
  lighttpd) needed=(lighttpd) ;;
  apache) needed=(apache2) ;;
  nginx) needed=(nginx fcgiwrap) ;;
esac
require_programs "${needed[@]}"

make_work_dir
work=$WORK_DIR
RESPONSE_DIR=$work/responses
docroot=$work/htdocs
mkdir -p "$RESPONSE_DIR" "$work/server"
# In FastCGI mode the CGI answers to compare with come from a copy of the scripts of their own,
# so that neither path finds executables that the other one cached.
docroots=("$docroot")
[ "$mode" = cgi ] || docroots+=("$work/htdocs-cgi")

# The server may run scripts as another user (Apache: www-data), so it gets its own copy of the
# runner tree that everybody can read and execute.
stage_runner "$bin" "$work/runner"
runner=$work/runner/scriptrunner
for root in "${docroots[@]}"; do
  mkdir -p "$root"
  forget_cache_below "$root"
  for fixture in "$here"/scripts/*.zr; do
    install_script "$fixture" "$root/$(basename "$fixture")" "$runner"
  done
  cp "$here/scripts/part.html" "$root/"
  chmod 644 "$root/part.html"
done

reference=""
if [ "$mode" = cgi ]; then
  start_server "$server" "$work/server" "$docroot"
else
  mkdir -p "$work/cgi-server"
  start_server "$server" "$work/cgi-server" "$work/htdocs-cgi"
  reference=http://127.0.0.1:$PORT
  start_fcgi "$work/fcgi" "$work/runner/scriptrunner-fcgi" "unix:$work/fcgi/socket" \
    --max-children 8 --timeout 60
  kind=$server-fastcgi
  [ "$mode" = fastcgi-keepconn ] && kind=nginx-fastcgi-keepconn
  start_server "$kind" "$work/server" "$docroot"
fi
base=http://127.0.0.1:$PORT

# request NAME PATH [curl options...]: fetches PATH from the server under test; in FastCGI mode
# also from the CGI one, and checks that both answered alike. When the script wrote nothing the
# web server answers with an error page of its own, which only needs to be an error on both.
request() {
  local name=$1 path=$2 status body
  shift 2
  fetch "$name" "$base$path" "$@"
  [ -n "$reference" ] || return 0
  status=$STATUS body=$BODY
  fetch "$name.cgi" "$reference$path" "$@"
  local cgi_status=$STATUS
  STATUS=$status BODY=$body
  check "$name: the same answer as through CGI (CGI status $cgi_status)" \
    same_answer "$name" "$status" "$cgi_status"
}
same_answer() {
  local name=$1 status=$2 cgi_status=$3
  if [ "$cgi_status" -ge 500 ]; then
    [ "$status" -ge 500 ]
    return
  fi
  [ "$status" = "$cgi_status" ] &&
    cmp -s "$RESPONSE_DIR/$name.body" "$RESPONSE_DIR/$name.cgi.body" &&
    [ "$(header_of "$name" Content-Type)" = "$(header_of "$name.cgi" Content-Type)" ]
}

# A plain GET: the compiled page with the script's own content type.
request hello /hello.zr
check "plain GET answers 200" equals "$STATUS" 200
check "plain GET keeps the script's content type" equals "$(header_of hello Content-Type)" text/html
check "plain GET shows the page" contains "$BODY" "<h1>Hello through the web server</h1>"
request hello-again /hello.zr
check "a cached executable serves the same page" contains "$BODY" "<h1>Hello through the web server</h1>"

# Several parameters: one GET_ variable each, values raw as the request carried them.
request query "/query.zr?a=1&b=two+words&c=x%26y%20z"
check "query answers 200" equals "$STATUS" 200
check "query exports every parameter raw" \
  contains "$BODY" $'a=[1]\nb=[two+words]\nc=[x%26y%20z]\ncount=[3]\ndecoded c=[x&y z]'

# A posted form arrives on the script's input, exactly.
request post /post.zr --data-binary 'message=Hi+there&other=%3Cb%3E'
check "POST answers 200" equals "$STATUS" 200
check "POST passes the body" \
  contains "$BODY" $'length=[30]\ndeclared=[30]\nbody=[message=Hi+there&other=%3Cb%3E]'
# A body larger than any pipe buffer, checked against the same digest computed here.
seq 1 30000 | tr '\n' ',' >"$work/large-body"
size=$(stat -c %s "$work/large-body")
request post-large /post.zr --data-binary "@$work/large-body"
check "a large POST body arrives whole" contains "$BODY" "length=[$size]"$'\n'"declared=[$size]"
check "a large POST body arrives in order" contains "$BODY" "digest=[$(awk -f "$here/digest.awk" "$work/large-body")]"

# A GET without a body must not leave the script waiting for input.
request post-empty /post.zr
check "GET to a script that reads its input answers" equals "$STATUS" 200
check "GET gives the script an empty input" contains "$BODY" "length=[0]"

# Parse mode: the include file and the here-document become strings of the page.
request page /page.zr
check "parse-mode page answers 200" equals "$STATUS" 200
check "parse mode inserts the include file" \
  contains "$BODY" $'<title>Included part</title>\n<h1>From the include file</h1>'
check "parse mode joins the here-document" contains "$BODY" $'<pre>\nfirst line\nsecond line</pre>'
check "parse mode is reported to the script" contains "$BODY" "parse=[1]"

# A compile error with -w: the error page, with its content type, instead of the page.
request broken /broken.zr
check "compile error with -w answers 200" equals "$STATUS" 200
check "compile error page is HTML" equals "$(header_of broken Content-Type)" text/html
check "compile error page names the failed compile and the line" \
  contains "$BODY" 'Compilation process did not finish correctly. Error: "broken.zr: Line 3: '
check "compile error reaches the error log" \
  file_contains "$ERROR_LOG" 'Compilation process did not finish correctly. Error: "broken.zr: Line 3: '

# Without -w the runner writes nothing to the response: the server answers with its own error
# and the message is in its error log.
request quiet /broken_quiet.zr
check "compile error without -w is a server error" test "$STATUS" -ge 500
check "compile error without -w sends no message to the client" \
  not_contains "$BODY" "Compilation process"
check "compile error without -w reaches the error log" \
  file_contains "$ERROR_LOG" 'Compilation process did not finish correctly. Error: "broken_quiet.zr: Line 4: '

# The script's standard-error lines go to the error log, the page to the client.
request stderr /stderr.zr
check "a script that writes to stderr still answers" contains "$BODY" "page after an error line"
check "the script's stderr line reaches the error log" file_contains "$ERROR_LOG" "script-error-line-4711"

# Edits. The cache compares modification times in whole seconds, so each edit gets a time one
# second past the cached executable's, which makes it newer whatever the clock says.
edit_script() {
  local version=$1 exe stamp root
  for root in "${docroots[@]}"; do
    exe=$(cache_file_for "$root/version.zr")
    sed -e "1s|@RUNNER@|$runner|" -e "s|@VERSION@|$version|" "$here/scripts/version.zr" \
      >"$root/version.zr.new"
    chmod 755 "$root/version.zr.new"
    mv "$root/version.zr.new" "$root/version.zr"
    if [ -e "$exe" ]; then
      stamp=$(($(stat -c %Y "$exe") + 1))
      touch -d "@$stamp" "$root/version.zr"
    fi
  done
}
edit_script one
request version-one /version.zr
check "first version is served" contains "$BODY" "version=[one]"
edit_script two
request version-two /version.zr
check "an edited script serves its new code" contains "$BODY" "version=[two]"

# 50 requests at once right after an edit: every one gets the new code, none a broken answer.
edit_script three
urls=()
for i in $(seq 1 50); do
  urls+=(-o "$RESPONSE_DIR/concurrent-$i.body" "$base/version.zr?n=$i")
done
curl -sS --max-time 60 --parallel --parallel-immediate --parallel-max 50 \
  -w '%{http_code}\n' "${urls[@]}" >"$RESPONSE_DIR/concurrent.codes" 2>"$RESPONSE_DIR/concurrent.curl" || true
ok=0
for i in $(seq 1 50); do
  if equals "$(cat "$RESPONSE_DIR/concurrent-$i.body" 2>/dev/null)" "version=[three]"; then
    ok=$((ok + 1))
  fi
done
STATUS=$(sort "$RESPONSE_DIR/concurrent.codes" | uniq -c | tr '\n' ' ')
BODY="$ok of 50 showed version three"
check "50 concurrent requests after an edit all answer 200" \
  equals "$(grep -c '^200$' "$RESPONSE_DIR/concurrent.codes")" 50
check "50 concurrent requests after an edit all show the new code" equals "$ok" 50

# nginx with keep-conn holds its connections to the server open between requests; without it,
# every connection ends with its request.
if [ "$mode" != cgi ] && [ "$server" = nginx ]; then
  open=$(fcgi_connections "$work/fcgi/socket")
  STATUS="" BODY="$open connections to the server after the requests"
  if [ "$mode" = fastcgi-keepconn ]; then
    check "keep-conn leaves connections open for the next requests" test "$open" -gt 0
  else
    for _ in $(seq 1 20); do
      [ "$open" -eq 0 ] && break
      sleep 0.1
      open=$(fcgi_connections "$work/fcgi/socket")
    done
    check "without keep-conn no connection stays open" equals "$open" 0
  fi
fi

# A page that never reads its body, posted 1 MiB 300 times, 8 at a time: the server answers
# while the web server still sends the body, and must read the rest before it closes, or the
# connection is reset and the web server loses the answer (502). Last, as nginx may close the
# kept connections of such requests, which the check above counts.
if [ "$mode" != cgi ]; then
  head -c 1048576 /dev/zero | tr '\0' u >"$work/unread-body"
  urls=()
  for i in $(seq 1 300); do urls+=(-o /dev/null "$base/hello.zr?n=$i"); done
  curl -sS --max-time 110 --parallel --parallel-max 8 --data-binary "@$work/unread-body" \
    -w '%{http_code}\n' "${urls[@]}" >"$RESPONSE_DIR/unread.codes" 2>/dev/null || true
  STATUS=$(sort "$RESPONSE_DIR/unread.codes" | uniq -c | tr '\n' ' ') BODY=""
  check "300 POSTs of 1 MiB to a page that does not read them all answer 200" \
    equals "$(grep -c '^200$' "$RESPONSE_DIR/unread.codes")" 300
fi

stop_servers
[ "$mode" = cgi ] || check "the FastCGI server ends on TERM with status 0" \
  equals "$(fcgi_exit_status)" 0
finish

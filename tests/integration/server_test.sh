#!/usr/bin/env bash
# server_test.sh SERVER BIN_DIR: requests scripts written in the stand-in language through a real
# web server (lighttpd, apache or nginx) that starts the runner through each script's shebang line.
here=$(cd "$(dirname "$0")" && pwd)
source "$here/lib.sh"

server=$1
bin=$(cd "$2" && pwd)
case $server in
  lighttpd) needed=(lighttpd) ;;
  apache) needed=(apache2) ;;
  nginx) needed=(nginx fcgiwrap) ;;
esac
for program in "${needed[@]}"; do
  if ! command -v "$program" >/dev/null && [ ! -x "/usr/sbin/$program" ]; then
    echo "skipped: $program is not installed (scripts/install-deps installs it)"
    exit 77
  fi
done
PATH=$PATH:/usr/sbin

make_work_dir
work=$WORK_DIR
RESPONSE_DIR=$work/responses
docroot=$work/htdocs
mkdir -p "$RESPONSE_DIR" "$docroot" "$work/server"
forget_cache_below "$docroot"

# The server may run scripts as another user (Apache: www-data), so it gets its own copy of the
# runner tree that everybody can read and execute.
stage_runner "$bin" "$work/runner"
runner=$work/runner/scriptrunner
for fixture in "$here"/scripts/*.zr; do
  install_script "$fixture" "$docroot/$(basename "$fixture")" "$runner"
done
cp "$here/scripts/part.html" "$docroot/"
chmod 644 "$docroot/part.html"

start_server "$server" "$work/server" "$docroot"
base=http://127.0.0.1:$PORT

# A plain GET: the compiled page with the script's own content type.
fetch hello "$base/hello.zr"
check "plain GET answers 200" equals "$STATUS" 200
check "plain GET keeps the script's content type" equals "$(header_of hello Content-Type)" text/html
check "plain GET shows the page" contains "$BODY" "<h1>Hello through the web server</h1>"
fetch hello-again "$base/hello.zr"
check "a cached executable serves the same page" contains "$BODY" "<h1>Hello through the web server</h1>"

# Several parameters: one GET_ variable each, values raw as the request carried them.
fetch query "$base/query.zr?a=1&b=two+words&c=x%26y%20z"
check "query answers 200" equals "$STATUS" 200
check "query exports every parameter raw" \
  contains "$BODY" $'a=[1]\nb=[two+words]\nc=[x%26y%20z]\ncount=[3]\ndecoded c=[x&y z]'

# A posted form arrives on the script's input, exactly.
fetch post "$base/post.zr" --data-binary 'message=Hi+there&other=%3Cb%3E'
check "POST answers 200" equals "$STATUS" 200
check "POST passes the body" \
  contains "$BODY" $'length=[30]\ndeclared=[30]\nbody=[message=Hi+there&other=%3Cb%3E]'
# A body larger than any pipe buffer, checked against the same digest computed here.
seq 1 30000 | tr '\n' ',' >"$work/large-body"
size=$(stat -c %s "$work/large-body")
fetch post-large "$base/post.zr" --data-binary "@$work/large-body"
check "a large POST body arrives whole" contains "$BODY" "length=[$size]"$'\n'"declared=[$size]"
check "a large POST body arrives in order" contains "$BODY" "digest=[$(awk -f "$here/digest.awk" "$work/large-body")]"

# A GET without a body must not leave the script waiting for input.
fetch post-empty "$base/post.zr"
check "GET to a script that reads its input answers" equals "$STATUS" 200
check "GET gives the script an empty input" contains "$BODY" "length=[0]"

# Parse mode: the include file and the here-document become strings of the page.
fetch page "$base/page.zr"
check "parse-mode page answers 200" equals "$STATUS" 200
check "parse mode inserts the include file" \
  contains "$BODY" $'<title>Included part</title>\n<h1>From the include file</h1>'
check "parse mode joins the here-document" contains "$BODY" $'<pre>\nfirst line\nsecond line</pre>'
check "parse mode is reported to the script" contains "$BODY" "parse=[1]"

# A compile error with -w: the error page, with its content type, instead of the page.
fetch broken "$base/broken.zr"
check "compile error with -w answers 200" equals "$STATUS" 200
check "compile error page is HTML" equals "$(header_of broken Content-Type)" text/html
check "compile error page names the failed compile and the line" \
  contains "$BODY" 'Compilation process did not finish correctly. Error: "Line 3: '
check "compile error reaches the error log" \
  file_contains "$ERROR_LOG" 'Compilation process did not finish correctly. Error: "Line 3: '

# Without -w the runner writes nothing to the response: the server answers with its own error
# and the message is in its error log.
fetch quiet "$base/broken_quiet.zr"
check "compile error without -w is a server error" test "$STATUS" -ge 500
check "compile error without -w sends no message to the client" \
  not_contains "$BODY" "Compilation process"
check "compile error without -w reaches the error log" \
  file_contains "$ERROR_LOG" 'Compilation process did not finish correctly. Error: "Line 4: '

# The script's standard-error lines go to the error log, the page to the client.
fetch stderr "$base/stderr.zr"
check "a script that writes to stderr still answers" contains "$BODY" "page after an error line"
check "the script's stderr line reaches the error log" file_contains "$ERROR_LOG" "script-error-line-4711"

# Edits. The cache compares modification times in whole seconds, so each edit gets a time one
# second past the cached executable's, which makes it newer whatever the clock says.
edit_script() {
  local version=$1 exe stamp
  exe=$(cache_file_for "$docroot/version.zr")
  sed -e "1s|@RUNNER@|$runner|" -e "s|@VERSION@|$version|" "$here/scripts/version.zr" \
    >"$docroot/version.zr.new"
  chmod 755 "$docroot/version.zr.new"
  mv "$docroot/version.zr.new" "$docroot/version.zr"
  if [ -e "$exe" ]; then
    stamp=$(($(stat -c %Y "$exe") + 1))
    touch -d "@$stamp" "$docroot/version.zr"
  fi
}
edit_script one
fetch version-one "$base/version.zr"
check "first version is served" contains "$BODY" "version=[one]"
edit_script two
fetch version-two "$base/version.zr"
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

stop_servers
finish

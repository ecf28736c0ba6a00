#!/usr/bin/env bash
# demo_test.sh SOURCE_DIR BUILD_DIR [DEMO]: runs scripts/DEMO (demo, the default: lighttpd and
# CGI; or demo-fastcgi: nginx and the FastCGI server) on a free port, fetches every example page
# it announces and checks its HTML, then stops the demo with a TERM as Ctrl-C would.
here=$(cd "$(dirname "$0")" && pwd)
source "$here/lib.sh"
source_dir=$(cd "$1" && pwd)
build=$(cd "$2" && pwd)
demo_name=${3:-demo}
case $demo_name in demo | demo-fastcgi) ;; *) echo "unknown demo $demo_name" >&2; exit 2 ;; esac

make_work_dir
work=$WORK_DIR
RESPONSE_DIR=$work/responses
mkdir -p "$RESPONSE_DIR"
forget_cache_below "$work/demo"

demo_pid=""
for attempt in 1 2 3; do
  PORT=$(pick_port)
  BUILD=$build DEMO_DIR=$work/demo PORT=$PORT start_in_group "$source_dir/scripts/$demo_name" \
    >"$work/demo.out" 2>&1
  demo_pid=$BG_PID
  if wait_for_http "$PORT" "$demo_pid"; then break; fi
  echo "the demo did not start on port $PORT (attempt $attempt):" >&2
  cat "$work/demo.out" >&2
  stop_servers
  demo_pid=""
done
[ -n "$demo_pid" ] || exit 1
base=http://127.0.0.1:$PORT

# The demo announces every example page; each must be served as HTML.
announced=$(grep -o "$base/[^ ]*\.zr" "$work/demo.out" | sort -u)
for example in "$source_dir"/examples/*.zr; do
  check "the demo announces $(basename "$example")" contains "$announced" "$base/$(basename "$example")"
done
for url in $announced; do
  name=$(basename "$url")
  fetch "$name" "$url"
  check "$name shows no error" not_contains "$BODY" "Compilation process"
  check "$name names its charset" contains "$(header_of "$name" Content-Type)" "; charset=utf-8"
  case $name in item.zr | notes.zr) continue ;; esac  # JSON; checked below
  check "$name answers 200" equals "$STATUS" 200
  check "$name is HTML" contains "$(header_of "$name" Content-Type)" text/html
  check "$name is a whole page" contains "$BODY" "</body></html>"
done

fetch index "$base/"
check "the index links the examples" contains "$BODY" '<a href="/hello.zr">'
fetch hello "$base/hello.zr"
check "hello greets the world" contains "$BODY" "<h1>Hello, world!</h1>"
fetch hello-ann "$base/hello.zr?name=Ann+%26+Bo"
check "hello greets the name from the query" contains "$BODY" "<h1>Hello, Ann &amp; Bo!</h1>"
fetch item "$base/item.zr?id=1"
check "item answers 200" equals "$STATUS" 200
check "item answers in JSON" equals "$(header_of item Content-Type)" "application/json; charset=utf-8"
check "item sends the item" equals "$BODY" '{"id": 1, "name": "Tea, green", "price": 3.50}'
fetch item-unknown "$base/item.zr?id=9"
check "an unknown item is 404" equals "$STATUS" 404
fetch notes-add "$base/notes.zr" -H 'Content-Type: application/json' --data '{"text": "demo <b>"}'
check "notes adds a posted note" equals "$STATUS" 201
check "notes answers the new note" contains "$BODY" '"text":"demo <b>"}'
fetch notes-list "$base/notes.zr"
check "notes lists the note" contains "$BODY" '"text":"demo <b>"}'
fetch notes-bad "$base/notes.zr" -H 'Content-Type: application/json' --data '{"text": '
check "notes refuses bad JSON" equals "$STATUS" 400
fetch notes-put "$base/notes.zr?id=1" -X PUT
check "notes refuses another method" equals "$STATUS" 405
check "notes keeps its notes outside the document folder" \
  file_contains "$work/demo/notes-data/notes.json" '"text":"demo <b>"}'
fetch page "$base/page.zr?name=Ann"
check "page has the shared header" contains "$BODY" "<body><h1>Shared layout</h1>"
check "page has the shared footer" contains "$BODY" "<a href='guestbook.zr'>guestbook</a>"
fetch layout "$base/layout.inc"
check "the included code is not served" equals "$STATUS" 403
fetch signup "$base/signup.zr" --data 'name=Ann&email=nobody&age=42'
check "signup shows what is wrong" contains "$BODY" "An e-mail address looks like name@example.org."
fetch guestbook "$base/guestbook.zr" --data "name=Demo+test&message=signed+$$"
check "the guestbook takes an entry" contains "$BODY" "Thank you, your entry is in the book."
check "the guestbook lists it" contains "$BODY" "<b>Demo test</b>"
check "the guestbook keeps its entries outside the document folder" \
  file_contains "$work/demo/guestbook-data/entries.txt" "signed%20$$"
# A browser's upload: curl posts multipart/form-data as a browser does, with a path in the name.
printf 'upload %s\0\r\n--\377' "$$" >"$work/upload.bin"
fetch upload "$base/upload.zr" -F "file=@$work/upload.bin;filename=../up load.bin"
check "the upload page saves the file" contains "$BODY" " bytes)."
saved=$(find "$work/demo/upload-data" -name '*-up load.bin' | head -n 1)
check "the upload is kept outside the document folder, byte for byte" \
  cmp -s "$work/upload.bin" "$saved"
check "the upload page lists it" contains "$BODY" "$(basename "$saved"), "
fetch form "$base/form.zr?name=Ann%20%3Cb%3E" --data 'message=Hi+%26+bye'
check "form greets the name from the query, escaped" contains "$BODY" "<h1>Hello, Ann &lt;b&gt;!</h1>"
check "form echoes the posted message" contains "$BODY" "<p>You posted: Hi &amp; bye</p>"
fetch info "$base/info.zr?a=1&b=two"
check "info lists the runner's version" contains "$BODY" "ZR_Interpreter_Version = 150"
check "info lists the query parameters" contains "$BODY" "<li>GET_a = 1</li>"
check "info counts the query parameters" contains "$BODY" "ZR_Interpreter_QueryStrings = 2"
fetch heredoc "$base/heredoc.zr?name=Bo"
check "heredoc inserts its header file" contains "$BODY" "<title>Here-documents</title>"
check "heredoc joins its block" contains "$BODY" "<h1>Built from blocks</h1>"
check "heredoc greets" contains "$BODY" "<p>Welcome, Bo.</p>"

# Stopping: the demo stops its servers and ends, and the port is free again.
kill -TERM "$demo_pid"
for _ in $(seq 1 100); do process_alive "$demo_pid" || break; sleep 0.1; done
wait "$demo_pid" 2>/dev/null
status=$?
STATUS=$status BODY=$(tail -n 3 "$work/demo.out")
check "the demo ends on TERM with status 0" equals "$status" 0
check "the demo reports that it stopped" contains "$BODY" "ScriptRunner demo: stopped"
check "the web server no longer listens after the demo stopped" \
  not_contains "$(curl -s -o /dev/null --max-time 2 -w '%{http_code}' "$base/" || true)" 200
if [ "$demo_name" = demo ]; then
  check "no lighttpd of the demo is left" test -z "$(pgrep -f -- "-f $work/demo/lighttpd.conf" || true)"
else
  check "no nginx of the demo is left" test -z "$(pgrep -f -- "-c $work/demo/nginx.conf" || true)"
  check "no FastCGI server of the demo is left" \
    test -z "$(pgrep -f -- "unix:$work/demo/scriptrunner-fcgi.sock" || true)"
fi

finish

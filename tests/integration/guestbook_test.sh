#!/usr/bin/env bash
# guestbook_test.sh SOURCE_DIR BIN_DIR: the guestbook example behind lighttpd, signed by 16
# posters at once, 5 entries each: every entry must be in the book exactly once, whole.
here=$(cd "$(dirname "$0")" && pwd)
source "$here/lib.sh"
source_dir=$(cd "$1" && pwd)
bin=$(cd "$2" && pwd)
require_programs lighttpd

make_work_dir
work=$WORK_DIR
RESPONSE_DIR=$work/responses
docroot=$work/htdocs
mkdir -p "$RESPONSE_DIR" "$docroot" "$work/server" "$work/guestbook-data"
forget_cache_below "$docroot"
stage_runner "$bin" "$work/runner"
sed "1s|^#![^[:space:]]*|#!$work/runner/scriptrunner|" "$source_dir/examples/guestbook.zr" \
  >"$docroot/guestbook.zr"
chmod 755 "$docroot/guestbook.zr"
install -m 644 "$source_dir/examples/layout.inc" "$docroot/"

start_server lighttpd "$work/server" "$docroot"
base=http://127.0.0.1:$PORT

fetch empty "$base/guestbook.zr"
check "an empty guestbook answers 200" equals "$STATUS" 200
check "an empty guestbook says so" contains "$BODY" "<p>No entries yet.</p>"

posters=16
entries=5
poster() {
  local p=$1 e
  for e in $(seq 1 "$entries"); do
    curl -sS --max-time 30 -o "$RESPONSE_DIR/post-$p-$e.body" -w '%{http_code}\n' \
      --data-binary "name=poster+$p&message=entry+$e+of+poster+$p+%3Cb%3E" "$base/guestbook.zr" \
      >>"$RESPONSE_DIR/post.codes" 2>>"$RESPONSE_DIR/post.curl" || echo 000 >>"$RESPONSE_DIR/post.codes"
  done
}
posting=()
for p in $(seq 1 "$posters"); do
  poster "$p" &
  posting+=($!)
done
for pid in "${posting[@]}"; do wait "$pid"; done

total=$((posters * entries))
STATUS=$(sort "$RESPONSE_DIR/post.codes" | uniq -c | tr '\n' ' ') BODY=$(head -c 300 "$RESPONSE_DIR/post.curl")
check "all $total posts answer 200" equals "$(grep -c '^200$' "$RESPONSE_DIR/post.codes")" "$total"
thanked=$(grep -l "Thank you, your entry is in the book." "$RESPONSE_DIR"/post-*.body | wc -l || true)
BODY="$thanked thanked"
check "every post is thanked" equals "$thanked" "$total"

# The book: one whole line per entry (time, name, message), each entry exactly once.
book=$work/guestbook-data/entries.txt
BODY=$(head -c 600 "$book")
check "the book holds one line per post" equals "$(wc -l <"$book")" "$total"
check "every line of the book is whole" \
  equals "$(grep -cE $'^[0-9]+\tposter%20[0-9]+\tentry%20[0-9]+%20of%20poster%20[0-9]+%20%3Cb%3E$' "$book" || true)" "$total"
fetch listed "$base/guestbook.zr"
expected=$(for p in $(seq 1 "$posters"); do
  for e in $(seq 1 "$entries"); do echo "entry $e of poster $p &lt;b&gt;"; done
done | sort)
listed=$(grep -o 'entry [0-9]* of poster [0-9]* &lt;b&gt;' <<<"$BODY" | sort || true)
BODY=$(diff <(echo "$expected") <(echo "$listed") | head -n 20 || true)
check "the page lists every entry exactly once" equals "$listed" "$expected"
fetch listed "$base/guestbook.zr"
check "the page escapes what was posted" not_contains "$BODY" "of poster 1 <b>"

stop_servers
finish

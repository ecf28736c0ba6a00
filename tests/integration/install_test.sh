#!/usr/bin/env bash
# install_test.sh BUILD_DIR: `cmake --install` into a temporary prefix, then lighttpd serves the
# installed hello example through the installed runner, named by the example's own shebang line.
here=$(cd "$(dirname "$0")" && pwd)
source "$here/lib.sh"
build=$(cd "$1" && pwd)

make_work_dir
work=$WORK_DIR
RESPONSE_DIR=$work/responses
prefix=$work/prefix
mkdir -p "$RESPONSE_DIR" "$work/server"

cmake --install "$build" --prefix "$prefix" >"$work/install.log"
examples=$prefix/share/scriptrunner/examples
forget_cache_below "$examples"

for file in lib/scriptrunner/scriptrunner lib/scriptrunner/compilers/zrcompiler \
  lib/scriptrunner/compilers/zrstub; do
  check "$file is installed executable" test -x "$prefix/$file"
done
check "the man page is installed" test -s "$prefix/share/man/man1/scriptrunner.1"
check "the deploy snippets are installed" test -s "$prefix/share/scriptrunner/deploy/README.md"
check "the language reference is installed" test -s "$prefix/share/scriptrunner/LANGUAGE.md"
check "the examples name the installed runner" \
  equals "$(head -n 1 "$examples/hello.zr")" "#!$prefix/lib/scriptrunner/scriptrunner -w"

start_server lighttpd "$work/server" "$examples"
fetch hello "http://127.0.0.1:$PORT/hello.zr"
check "the installed hello example answers 200" equals "$STATUS" 200
check "the installed hello example shows its page" contains "$BODY" "<h1>Hello, world!</h1>"
check "the installed runner compiled into the cache" test -x "$(cache_file_for "$examples/hello.zr")"
fetch page "http://127.0.0.1:$PORT/heredoc.zr?name=Ida"
check "the installed parse-mode example finds its include file" \
  contains "$BODY" "<title>Here-documents</title>"
check "the installed parse-mode example greets" contains "$BODY" "Welcome, Ida."

stop_servers
finish

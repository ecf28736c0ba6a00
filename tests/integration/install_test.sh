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

for file in lib/scriptrunner/scriptrunner lib/scriptrunner/scriptrunner-fcgi \
  lib/scriptrunner/compilers/zrcompiler lib/scriptrunner/compilers/zrstub bin/zrcompiler; do
  check "$file is installed executable" test -x "$prefix/$file"
done
check "the man page is installed" test -s "$prefix/share/man/man1/scriptrunner.1"
check "the FastCGI server's man page is installed" \
  test -s "$prefix/share/man/man1/scriptrunner-fcgi.1"
check "the compiler's man page is installed" test -s "$prefix/share/man/man1/zrcompiler.1"
units=$prefix/lib/systemd/system
check "the socket unit is installed" file_contains "$units/scriptrunner-fcgi.socket" \
  "ListenStream=/run/scriptrunner-fcgi.sock"
check "the service unit starts the installed server" file_contains \
  "$units/scriptrunner-fcgi.service" "ExecStart=$prefix/lib/scriptrunner/scriptrunner-fcgi "
check "the per-user socket unit is installed" file_contains "$units/scriptrunner-fcgi@.socket" \
  "ListenStream=/run/scriptrunner-fcgi/%i.sock"
check "the per-user service unit starts the installed server as the user" grep -qzP \
  "User=%i\n[^\0]*ExecStart=$prefix/lib/scriptrunner/scriptrunner-fcgi " \
  "$units/scriptrunner-fcgi@.service"
if command -v systemd-analyze >/dev/null; then
  BODY=$(systemd-analyze verify --man=no "$units/scriptrunner-fcgi.socket" \
    "$units/scriptrunner-fcgi.service" "$units/scriptrunner-fcgi@www-data.socket" \
    "$units/scriptrunner-fcgi@www-data.service" 2>&1) && STATUS=0 || STATUS=$?
  check "systemd accepts the installed units" equals "$STATUS$BODY" 0
fi
check "the deploy snippets are installed" test -s "$prefix/share/scriptrunner/deploy/README.md"
check "the language reference is installed" test -s "$prefix/share/scriptrunner/LANGUAGE.md"
check "the examples name the installed runner" \
  equals "$(head -n 1 "$examples/hello.zr")" "#!$prefix/lib/scriptrunner/scriptrunner -w"

# zrcompiler on the PATH: the link finds the stub beside its target, and --check names the file.
BODY=$("$prefix/bin/zrcompiler" --executable "$work/hello" "$examples/hello.zr" 2>&1) || true
check "the linked compiler builds an installed example" test -x "$work/hello"
printf 'x = "text" + 1\n' >"$work/broken.zr"
BODY=$("$prefix/bin/zrcompiler" --check "$work/broken.zr" 2>&1) || true
check "zrcompiler --check names the file in its messages" contains "$BODY" "$work/broken.zr: Line 1: "

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

# The installed FastCGI server finds the installed compiler beside it. Another example than the
# ones above: those are cached by lighttpd's user, the server may run as another.
if command -v nginx >/dev/null || [ -x /usr/sbin/nginx ]; then
  PATH=$PATH:/usr/sbin
  start_fcgi "$work/fcgi" "$prefix/lib/scriptrunner/scriptrunner-fcgi" "unix:$work/fcgi/socket"
  mkdir -p "$work/nginx"
  start_server nginx-fastcgi "$work/nginx" "$examples"
  fetch form "http://127.0.0.1:$PORT/form.zr?name=Ann"
  check "the installed FastCGI server serves an installed example" \
    contains "$BODY" "<h1>Hello, Ann!</h1>"
  stop_servers
fi
finish

#!/usr/bin/env bash
# deb_test.sh BUILD_DIR: builds the Debian package with cpack, installs it with apt-get, serves
# the packaged hello example through lighttpd, removes the package and checks its files are gone.
# Needs root; changes the machine's /usr while it runs.
here=$(cd "$(dirname "$0")" && pwd)
source "$here/lib.sh"
build=$(cd "$1" && pwd)

if [ "$(id -u)" -ne 0 ]; then
  echo "skipped: installing a package needs root"
  exit 77
fi
if dpkg-query -W -f='${Status}' scriptrunner 2>/dev/null | grep -q 'install ok installed'; then
  echo "skipped: a scriptrunner package is already installed here; it is left alone"
  exit 77
fi

make_work_dir
work=$WORK_DIR
RESPONSE_DIR=$work/responses
mkdir -p "$RESPONSE_DIR" "$work/server" "$work/package"

removed=0
remove_package() {
  [ "$removed" -eq 1 ] && return 0
  removed=1
  DEBIAN_FRONTEND=noninteractive apt-get remove -y -qq scriptrunner >"$work/remove.log" 2>&1
}
trap 'remove_package || true; cleanup' EXIT

(cd "$work/package" && cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/package" \
  >"$work/cpack.log" 2>&1) || { cat "$work/cpack.log" >&2; exit 1; }
deb=$(ls "$work"/package/scriptrunner_*.deb)
echo "package: $(basename "$deb")"
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$deb" >"$work/install.log" 2>&1 \
  || { cat "$work/install.log" >&2; exit 1; }

files=$(dpkg -L scriptrunner)
check "the package puts the runner in /usr/lib/scriptrunner" test -x /usr/lib/scriptrunner/scriptrunner
check "the package puts the compiler below it" test -x /usr/lib/scriptrunner/compilers/zrcompiler
check "the package puts the stub below it" test -x /usr/lib/scriptrunner/compilers/zrstub
check "the package puts zrcompiler on the PATH" \
  equals "$(readlink -f /usr/bin/zrcompiler)" /usr/lib/scriptrunner/compilers/zrcompiler
check "the package carries the per-user units" \
  contains "$files" /usr/lib/systemd/system/scriptrunner-fcgi@.service
check "the package carries the man page" contains "$files" /usr/share/man/man1/scriptrunner.1
check "the package puts the FastCGI server beside the runner" \
  test -x /usr/lib/scriptrunner/scriptrunner-fcgi
check "the package carries the FastCGI server's man page" \
  contains "$files" /usr/share/man/man1/scriptrunner-fcgi.1
check "the package carries the socket unit" \
  contains "$files" /usr/lib/systemd/system/scriptrunner-fcgi.socket
check "the package's service unit starts the packaged server as www-data" \
  grep -qzP 'User=www-data\n[^\0]*ExecStart=/usr/lib/scriptrunner/scriptrunner-fcgi ' \
  /usr/lib/systemd/system/scriptrunner-fcgi.service
check "the package's examples name the packaged runner" \
  equals "$(head -n 1 /usr/share/scriptrunner/examples/hello.zr)" "#!/usr/lib/scriptrunner/scriptrunner -w"

# The packaged examples folder is served as it is installed.
examples=/usr/share/scriptrunner/examples
forget_cache_below "$examples"
start_server lighttpd "$work/server" "$examples"
fetch hello "http://127.0.0.1:$PORT/hello.zr"
check "the packaged hello example answers 200" equals "$STATUS" 200
check "the packaged hello example shows its page" contains "$BODY" "<h1>Hello, world!</h1>"
stop_servers

remove_package
left=""
for path in $files; do
  [ -e "$path" ] && [ ! -d "$path" ] && left="$left $path"
done
check "removing the package leaves none of its files" equals "$left" ""
check "removing the package removes its folders" test ! -e /usr/lib/scriptrunner
check "removing the package removes its data folder" test ! -e /usr/share/scriptrunner
check "dpkg no longer lists the package as installed" \
  not_contains "$(dpkg-query -W -f='${Status}' scriptrunner 2>/dev/null)" "install ok installed"

finish

# Sourced by scripts/demo and scripts/demo-fastcgi: checks the built tree and writes the demo's
# document root, copies of the examples whose shebang line names this tree's runner, and an
# index page. Expects root, build and demo to be set; sets runner, docroot, demo (absolute) and
# pages (the example scripts' names).

runner=$build/bin/scriptrunner
[ -x "$runner" ] || { echo "demo: $runner is missing; run 'make demo' or build first" >&2; exit 1; }
[ -x "$build/bin/compilers/zrcompiler" ] || { echo "demo: the stand-in compiler is missing below $build/bin" >&2; exit 1; }
case $port in ''|*[!0-9]*) echo "demo: PORT must be a number, not '$port'" >&2; exit 1 ;; esac

# The kernel splits a shebang line at the first blank and cuts it at 255 bytes, so the runner's
# path must be short and blank-free to be named there.
case $runner in *[[:space:]]*)
  echo "demo: the build path '$runner' holds a blank, which a shebang line cannot carry" >&2; exit 1 ;;
esac
if [ ${#runner} -gt 200 ]; then
  echo "demo: the build path is too long for a shebang line" >&2; exit 1
fi

mkdir -p "$demo"
demo=$(cd "$demo" && pwd)
docroot=$demo/htdocs
rm -rf "$docroot"
mkdir -p "$docroot"
# The guestbook keeps its entries beside the document folder, out of the browser's reach, in a
# folder that the server (running as this user) can write. Entries stay from one demo to the next.
# The login page keeps its accounts and sessions the same way, the notes API its notes and the
# upload page its files.
mkdir -p "$demo/guestbook-data" "$demo/login-data" "$demo/notes-data" "$demo/upload-data"

# Copies of the examples whose shebang line names this tree's runner, switches kept.
pages=()
for source in "$root"/examples/*; do
  name=$(basename "$source")
  case $name in
    *.zr)
      sed "1s|^#![^[:space:]]*|#!$runner|" "$source" >"$docroot/$name"
      chmod 755 "$docroot/$name"
      pages+=("$name")
      ;;
    README.md) ;;
    *) cp "$source" "$docroot/$name" ;;  # include files that the scripts read beside them
  esac
done
[ ${#pages[@]} -gt 0 ] || { echo "demo: no examples/*.zr to serve" >&2; exit 1; }

# An index page that links every example, so the address alone leads somewhere.
{
  echo '<!DOCTYPE html>'
  echo '<html><head><meta charset="utf-8"><title>ScriptRunner examples</title></head><body>'
  echo '<h1>ScriptRunner examples</h1><ul>'
  for page in "${pages[@]}"; do echo "<li><a href=\"/$page\">$page</a></li>"; done
  echo '<li><a href="/hello.zr?name=Ann">hello.zr?name=Ann</a></li>'
  echo '<li><a href="/form.zr?name=Ann">form.zr?name=Ann</a></li>'
  echo '<li><a href="/item.zr?id=1">item.zr?id=1</a> (JSON), <a href="/item.zr?id=9">item.zr?id=9</a> (404)</li>'
  echo '<li><a href="/info.zr?a=1&amp;b=two">info.zr?a=1&amp;b=two</a></li>'
  echo '</ul></body></html>'
} >"$docroot/index.html"

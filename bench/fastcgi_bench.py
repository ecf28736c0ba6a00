"""The FastCGI part of `make bench`: the hello page through nginx with wrk, served by
scriptrunner-fcgi, by fcgiwrap starting the runner (the CGI way under nginx), by fcgiwrap starting
a static C binary, and by php-fpm. Each back end gets the same number of workers; all run from
one nginx started here on 127.0.0.1, and every figure of a round comes from the same run.

Called by run_bench.py (part "fastcgi") with its Bench, whose helpers it uses.
"""

import os
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import time
from pathlib import Path

WORKERS = 8  # --max-children of the server, fcgiwrap's -c, php-fpm's pm.max_children
PHP_FPM = "php-fpm8.2"

# (label, URL path); the first is the one the ratios are about.
TARGETS = [
    ("scriptrunner-fcgi", "/sr/hello.zr"),
    ("scriptrunner-fcgi, keep-conn", "/srk/hello.zr"),
    ("fcgiwrap + scriptrunner", "/fw/hello.zr"),
    ("fcgiwrap + C binary", "/fw/hello.cgi"),
    ("php-fpm", "/php/hello.php"),
]
RATIOS = [
    ("fcgiwrap + scriptrunner", ">= 2.5x"),
    ("fcgiwrap + C binary", ">= 1.5x"),
    ("php-fpm", "(as measured; within 2x is the goal)"),
]


class Services:
    """The back ends and nginx, each in a process group of its own, stopped together."""

    def __init__(self, work: Path):
        self.work = work
        self.processes = []

    def start(self, name, argv, user_prefix=()):
        log = open(self.work / f"{name}.log", "w")
        process = subprocess.Popen(list(user_prefix) + [str(a) for a in argv],
                                   stdin=subprocess.DEVNULL, stdout=log, stderr=log,
                                   start_new_session=True)
        self.processes.append((name, process))
        return process

    def wait_for_socket(self, path: Path, name):
        for _ in range(200):
            if path.is_socket():
                return
            for other, process in self.processes:
                if other == name and process.poll() is not None:
                    raise RuntimeError(f"{name} ended: {(self.work / f'{name}.log').read_text()}")
            time.sleep(0.05)
        raise RuntimeError(f"{name} did not create {path}")

    def stop(self):
        for _, process in reversed(self.processes):
            try:
                os.killpg(process.pid, signal.SIGTERM)
            except ProcessLookupError:
                pass
        for name, process in reversed(self.processes):
            try:
                process.wait(timeout=20)
            except subprocess.TimeoutExpired:
                print(f"warning: {name} did not stop on TERM", file=sys.stderr)
                os.killpg(process.pid, signal.SIGKILL)
                process.wait()


def php_fpm_config(work: Path, sock: Path):
    """Debian's default pool (pm = dynamic, start 2, spare 1-3) but with WORKERS children."""
    user = "user = www-data\ngroup = www-data\n" if os.getuid() == 0 else ""
    config = work / "php-fpm.conf"
    config.write_text(f"""[global]
pid = {work}/php-fpm.pid
error_log = {work}/php-fpm-error.log
daemonize = no

[www]
{user}listen = {sock}
listen.mode = 0666
pm = dynamic
pm.max_children = {WORKERS}
pm.start_servers = 2
pm.min_spare_servers = 1
pm.max_spare_servers = 3
""")
    return config


def nginx_config(work: Path, www: Path, port: int, sockets):
    config = work / "nginx.conf"
    temp = work / "nginx-temp"
    temp.mkdir()
    locations = []
    for prefix, address, keep in (("/sr/", sockets["sr"], False), ("/srk/", None, True),
                                  ("/fw/", sockets["fw"], False), ("/php/", sockets["php"], False)):
        pass_line = "fastcgi_pass scriptrunner;\n      fastcgi_keep_conn on;" if keep \
            else f"fastcgi_pass unix:{address};"
        locations.append(f"""    location {prefix} {{
      include /etc/nginx/fastcgi_params;
      fastcgi_param SCRIPT_FILENAME $document_root$fastcgi_script_name;
      {pass_line}
    }}""")
    body = "\n".join(locations)
    config.write_text(f"""daemon off;
worker_processes 2;
pid {work}/nginx.pid;
error_log {work}/nginx-error.log warn;
events {{ worker_connections 1024; }}
http {{
  access_log off;
  client_body_temp_path {temp}/body;
  fastcgi_temp_path {temp}/fastcgi;
  proxy_temp_path {temp}/proxy;
  uwsgi_temp_path {temp}/uwsgi;
  scgi_temp_path {temp}/scgi;
  upstream scriptrunner {{
    server unix:{sockets["srk"]};
    keepalive 8;
  }}
  server {{
    listen 127.0.0.1:{port};
    root {www};
{body}
  }}
}}
""")
    return config


def write_pages(bench, www: Path, hello_line: str):
    for folder in ("sr", "srk", "fw", "php"):
        (www / folder).mkdir(parents=True)
    for folder in ("sr", "srk", "fw"):
        script = www / folder / "hello.zr"
        script.write_text(f"#!{bench.runner} -w\n" + hello_line)
        script.chmod(0o755)
        past = time.time() - 3600
        os.utime(script, (past, past))
        cached = Path("/tmp/zr-executable_" + str(script).replace("/", ""))
        bench.made += [cached, Path(str(cached) + ".script")]
    shutil.copyfile(bench.tools / "hello_cgi", www / "fw" / "hello.cgi")
    (www / "fw" / "hello.cgi").chmod(0o755)
    (www / "php" / "hello.php").write_text("<p>Hello, world!</p>\n")
    (www / "php" / "hello.php").chmod(0o644)


def start_all(bench, services: Services, www: Path):
    work = services.work
    sockets = {name: work / f"{name}.sock" for name in ("sr", "srk", "fw", "php")}
    server = bench.build / "bin" / "scriptrunner-fcgi"
    for name in ("sr", "srk"):
        services.start(name, [server, "--listen", f"unix:{sockets[name]}", "--socket-mode",
                              "0666", "--max-children", WORKERS])
        services.wait_for_socket(sockets[name], name)
    services.start("fw", ["fcgiwrap", "-c", WORKERS, "-s", f"unix:{sockets['fw']}"])
    services.wait_for_socket(sockets["fw"], "fw")
    sockets["fw"].chmod(0o666)
    services.start("php", [shutil.which(PHP_FPM) or f"/usr/sbin/{PHP_FPM}", "-F", "-y",
                           php_fpm_config(work, sockets["php"])])
    services.wait_for_socket(sockets["php"], "php")
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    services.start("nginx", ["nginx", "-p", work, "-e", work / "nginx-error.log", "-c",
                             nginx_config(work, www, port, sockets)])
    for _ in range(100):
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return port
        except OSError:
            time.sleep(0.05)
    raise RuntimeError("nginx did not start: " + (work / "nginx.log").read_text())


def run(bench, hello_line: str):
    print("FastCGI through nginx with wrk", file=sys.stderr)
    os.environ["PATH"] = os.environ.get("PATH", "/usr/bin:/bin") + ":/usr/sbin"
    missing = [p for p in ("nginx", "fcgiwrap", PHP_FPM, "wrk") if shutil.which(p) is None]
    if missing or not (bench.build / "bin" / "scriptrunner-fcgi").exists():
        print(f"skipped: missing {missing or ['scriptrunner-fcgi']}", file=sys.stderr)
        return
    work = bench.work / "fastcgi"
    work.mkdir()
    # php-fpm's and nginx's workers run as www-data or nobody: the pages must be readable.
    for folder in (bench.work, work):
        folder.chmod(0o755)
    www = work / "www"
    write_pages(bench, www, hello_line)
    services = Services(work)
    try:
        port = start_all(bench, services, www)
        for name, path in TARGETS:
            reply = "no answer\n"
            for _ in range(50):  # php-fpm may still be starting its workers
                try:
                    reply = bench._fetch(port, path)
                    break
                except OSError:
                    time.sleep(0.1)
            if " 200 " not in reply.splitlines()[0] or "Hello, world!" not in reply:
                raise RuntimeError(f"{name} through nginx: {reply[:300]!r}")
        rounds(bench, port)
    finally:
        services.stop()


def rounds(bench, port):
    count = 2 if bench.quick else 3
    seconds = 2 if bench.quick else 3
    for connections in (8, 32):
        # A short run first, so that php-fpm has spawned its workers and every cache is warm.
        for _, path in TARGETS:
            bench._wrk(port, path, connections, 1)
        results = {name: [] for name, _ in TARGETS}
        for round_ in range(count):
            # Each round visits every target, starting one further on.
            for k in range(len(TARGETS)):
                name, path = TARGETS[(round_ + k) % len(TARGETS)]
                results[name].append(bench._wrk(port, path, connections, seconds))
        section = f"nginx + FastCGI + wrk, {connections} connections"
        for name, _ in TARGETS:
            rows = results[name]
            bench.add(section, name,
                      text=(f"{statistics.median(r[0] for r in rows):.0f} req/s",
                            f"p50 {statistics.median(r[1] for r in rows):.2f} ms, "
                            f"p99 {statistics.median(r[2] for r in rows):.2f} ms "
                            f"({count}x{seconds} s)"))
        ours = [r[0] for r in results[TARGETS[0][0]]]
        for other, target in RATIOS:
            ratios = bench.per_round_ratios(ours, [b[0] for b in results[other]])
            bench.add(section, f"scriptrunner-fcgi / {other}",
                      text=("", f"req/s, {count} rounds"),
                      ratio=(statistics.median(ratios), ratios[0], ratios[-1]), target=target)

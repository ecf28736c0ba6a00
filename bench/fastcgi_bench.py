"""The FastCGI part of `make bench`: the hello page through nginx with wrk, served by
scriptrunner-fcgi (with resident processes, and with --no-resident), by fcgiwrap starting the
runner (the CGI way under nginx), by fcgiwrap starting a static C binary, by php-fpm (also with
nginx keeping its connections open, as the server's keep-conn row does), and by a persistent C
FastCGI responder (bench/fcgi_responder.c, the ceiling of any design). A resident process retires
after 1,000 requests by default, a php-fpm worker never, and replacing a process costs the whole
machine time: two more rows compare the two with the same recycling, each way. Then a page of
1,000 lines, and the memory of one resident process. Each back end gets the same number of
workers; all run from one nginx started here on 127.0.0.1, and every figure of a round comes from
the same run. Beside req/s and latency, each row gives the share of CPU time left idle and the CPU
time per request of the back end and of nginx: a back end that costs little CPU but leaves the
CPUs idle is held up by hand-offs, not by work.

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
RETIRED_AFTER = 1000  # the server's default --max-requests
NEVER_RETIRED = 0  # no limit, as php-fpm's default

# (label, URL path); the first is the one the ratios are about.
TARGETS = [
    ("scriptrunner-fcgi (resident)", "/sr/hello.zr"),
    ("scriptrunner-fcgi --no-resident", "/srn/hello.zr"),
    ("scriptrunner-fcgi, keep-conn", "/srk/hello.zr"),
    ("fcgiwrap + scriptrunner", "/fw/hello.zr"),
    ("fcgiwrap + C binary", "/fw/hello.cgi"),
    ("php-fpm", "/php/hello.php"),
    ("php-fpm, keep-conn", "/phpk/hello.php"),
    ("C FastCGI responder", "/c/hello"),
    (f"scriptrunner-fcgi (resident), --max-requests {NEVER_RETIRED}", "/srm/hello.zr"),
    (f"php-fpm, pm.max_requests {RETIRED_AFTER}", "/phpm/hello.php"),
]
RATIOS = [
    ("php-fpm", ">= 1.0x"),
    ("C FastCGI responder", ">= 0.7x"),
    ("scriptrunner-fcgi --no-resident", "(as measured)"),
    ("fcgiwrap + scriptrunner", ">= 2.5x"),
    ("fcgiwrap + C binary", ">= 1.5x"),
]
# Pairs of like with like: both with nginx keeping its connections to the back end open, and
# both replacing their processes after the same number of requests, or neither.
PAIRED_RATIOS = [
    ("scriptrunner-fcgi, keep-conn", "php-fpm, keep-conn", "(as measured)"),
    ("scriptrunner-fcgi (resident)", f"php-fpm, pm.max_requests {RETIRED_AFTER}", ">= 1.0x"),
    (f"scriptrunner-fcgi (resident), --max-requests {NEVER_RETIRED}", "php-fpm", ">= 1.0x"),
]
# The page of 1,000 lines, by the same three kinds of back end.
LINE_TARGETS = [
    ("scriptrunner-fcgi (resident)", "/sr/lines.zr"),
    ("php-fpm", "/php/lines.php"),
    ("C FastCGI responder", "/c/lines"),
]
LINES_ZR = ('Write "Content-Type: text/html" + #LF$ + #LF$\n'
            'For i = 1 To 1000\n  WriteLine "<p>Line " + Str$(i) + "</p>"\nNext i\n')
LINES_PHP = '<?php for ($i = 1; $i <= 1000; $i++) { echo "<p>Line $i</p>\\n"; }\n'



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


def php_fpm_config(work: Path, sock: Path, name: str, max_requests: int = 0):
    """Debian's default pool (pm = dynamic, start 2, spare 1-3) but with WORKERS children, each
    replaced after `max_requests` requests (0: never, php-fpm's default)."""
    user = "user = www-data\ngroup = www-data\n" if os.getuid() == 0 else ""
    config = work / f"{name}-fpm.conf"
    config.write_text(f"""[global]
pid = {work}/{name}-fpm.pid
error_log = {work}/{name}-fpm-error.log
daemonize = no

[www]
{user}listen = {sock}
listen.mode = 0666
pm = dynamic
pm.max_children = {WORKERS}
pm.start_servers = 2
pm.min_spare_servers = 1
pm.max_spare_servers = 3
pm.max_requests = {max_requests}
""")
    return config


def nginx_config(work: Path, www: Path, port: int, sockets):
    config = work / "nginx.conf"
    temp = work / "nginx-temp"
    temp.mkdir()
    locations = []
    # An upstream name keeps its connections open; a socket is connected for every request.
    for prefix, back_end in (("/sr/", sockets["sr"]), ("/srn/", sockets["srn"]),
                             ("/srk/", "scriptrunner"), ("/fw/", sockets["fw"]),
                             ("/php/", sockets["php"]), ("/phpk/", "phpfpm"),
                             ("/c/", sockets["c"]), ("/srm/", sockets["srm"]),
                             ("/phpm/", sockets["phpm"])):
        pass_line = f"fastcgi_pass {back_end};\n      fastcgi_keep_conn on;" \
            if isinstance(back_end, str) else f"fastcgi_pass unix:{back_end};"
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
  upstream phpfpm {{
    server unix:{sockets["phpk"]};
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
    for folder in ("sr", "srn", "srk", "srm", "fw", "php", "phpk", "phpm"):
        (www / folder).mkdir(parents=True)
    for folder, name, text in (("sr", "hello.zr", hello_line), ("srn", "hello.zr", hello_line),
                               ("srk", "hello.zr", hello_line), ("srm", "hello.zr", hello_line),
                               ("fw", "hello.zr", hello_line), ("sr", "lines.zr", LINES_ZR)):
        script = www / folder / name
        script.write_text(f"#!{bench.runner} -w\n" + text)
        script.chmod(0o755)
        past = time.time() - 3600
        os.utime(script, (past, past))
        cached = Path("/tmp/zr-executable_" + str(script).replace("/", ""))
        bench.made += [cached, Path(str(cached) + ".script")]
    shutil.copyfile(bench.tools / "hello_cgi", www / "fw" / "hello.cgi")
    (www / "fw" / "hello.cgi").chmod(0o755)
    for folder in ("php", "phpk", "phpm"):
        (www / folder / "hello.php").write_text("<p>Hello, world!</p>\n")
        (www / folder / "hello.php").chmod(0o644)
    (www / "php" / "lines.php").write_text(LINES_PHP)
    (www / "php" / "lines.php").chmod(0o644)


def start_all(bench, services: Services, www: Path):
    work = services.work
    sockets = {name: work / f"{name}.sock"
               for name in ("sr", "srn", "srk", "srm", "fw", "php", "phpk", "phpm", "c")}
    server = bench.build / "bin" / "scriptrunner-fcgi"
    for name, extra in (("sr", []), ("srn", ["--no-resident"]), ("srk", []),
                        ("srm", ["--max-requests", NEVER_RETIRED])):
        services.start(name, [server, "--listen", f"unix:{sockets[name]}", "--socket-mode",
                              "0666", "--max-children", WORKERS] + extra)
        services.wait_for_socket(sockets[name], name)
    services.start("c", [bench.tools / "fcgi_responder", sockets["c"], WORKERS])
    services.wait_for_socket(sockets["c"], "c")
    services.start("fw", ["fcgiwrap", "-c", WORKERS, "-s", f"unix:{sockets['fw']}"])
    services.wait_for_socket(sockets["fw"], "fw")
    sockets["fw"].chmod(0o666)
    # A php-fpm worker serves one connection until it closes, so connections that nginx keeps
    # hold workers: the keep-conn row has a php-fpm of its own.
    for name, max_requests in (("php", 0), ("phpk", 0), ("phpm", RETIRED_AFTER)):
        services.start(name, [shutil.which(PHP_FPM) or f"/usr/sbin/{PHP_FPM}", "-F", "-y",
                              php_fpm_config(work, sockets[name], name, max_requests)])
        services.wait_for_socket(sockets[name], name)
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
    missing += [str(p) for p in (bench.build / "bin" / "scriptrunner-fcgi",
                                 bench.tools / "fcgi_responder") if not p.exists()]
    if missing:
        print(f"skipped: missing {missing}", file=sys.stderr)
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
        for name, path in TARGETS + LINE_TARGETS:
            expected = "<p>Line 1000</p>" if "lines" in path else "Hello, world!"
            reply = "no answer\n"
            for _ in range(50):  # php-fpm may still be starting its workers
                try:
                    reply = bench._fetch(port, path)
                    break
                except OSError:
                    time.sleep(0.1)
            if " 200 " not in reply.splitlines()[0] or expected not in reply:
                raise RuntimeError(f"{name} through nginx: {reply[:300]!r}")
        sessions = {name: process.pid for name, process in services.processes}
        rounds(bench, port, sessions, TARGETS, RATIOS, (8, 32), "hello page")
        rounds(bench, port, sessions, LINE_TARGETS, RATIOS[:2], (8,), "1,000 lines")
        resident_memory(bench, services)
    finally:
        services.stop()


def rounds(bench, port, sessions, targets, ratios, connection_counts, page):
    """wrk rounds of `targets`. Each back end runs in a session of its own (its service's, named
    by the path's first part), so its CPU per request is read beside nginx's."""
    count = 2 if bench.quick else 3
    seconds = 2 if bench.quick else 3
    for connections in connection_counts:
        # A short run first, so that php-fpm has spawned its workers and every cache is warm.
        for _, path in targets:
            bench._wrk(port, path, connections, 1)
        results = {name: [] for name, _ in targets}
        for round_ in range(count):
            # Each round visits every target, starting one further on.
            for k in range(len(targets)):
                name, path = targets[(round_ + k) % len(targets)]
                back_end = sessions[path.split("/")[1]]
                results[name].append(bench._wrk(port, path, connections, seconds,
                                                (back_end, sessions["nginx"])))
        section = f"nginx + FastCGI + wrk, {page}, {connections} connections"
        for name, _ in targets:
            rows = results[name]
            bench.add(section, name,
                      text=(f"{statistics.median(r[0] for r in rows):.0f} req/s",
                            f"p50 {statistics.median(r[1] for r in rows):.2f} ms, "
                            f"p99 {statistics.median(r[2] for r in rows):.2f} ms, "
                            f"CPU idle {100 * statistics.median(r[3] for r in rows):.0f}%, "
                            f"CPU per request: back end "
                            f"{statistics.median(r[4][0] for r in rows):.0f} µs, "
                            f"nginx {statistics.median(r[4][1] for r in rows):.0f} µs "
                            f"({count}x{seconds} s)"))
        pairs = [(targets[0][0], other, target) for other, target in ratios]
        pairs += [pair for pair in PAIRED_RATIOS if pair[0] in results and pair[1] in results]
        for ours, other, target in pairs:
            ratios_ = bench.per_round_ratios([a[0] for a in results[ours]],
                                             [b[0] for b in results[other]])
            bench.add(section, f"{ours} / {other}",
                      text=("", f"req/s, {count} rounds"),
                      ratio=(statistics.median(ratios_), ratios_[0], ratios_[-1]), target=target)


def resident_memory(bench, services):
    """The resident size of each resident process of the server that served the rounds."""
    server = next(process for name, process in services.processes if name == "sr")
    children = Path(f"/proc/{server.pid}/task/{server.pid}/children").read_text().split()
    sizes = []
    for child in children:
        if Path(f"/proc/{child}/cmdline").read_bytes().split(b"\0")[0] != b"zr-resident":
            continue
        for line in Path(f"/proc/{child}/status").read_text().splitlines():
            if line.startswith("VmRSS:"):
                sizes.append(int(line.split()[1]))
    if sizes:
        bench.add("scriptrunner-fcgi resident processes", "RSS of one resident process",
                  text=(f"{statistics.median(sizes)} kB",
                        f"{min(sizes)}-{max(sizes)} kB over {len(sizes)} processes"))

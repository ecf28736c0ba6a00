#!/usr/bin/env python3
"""cgi_load_test.py BIN_DIR: load through lighttpd in front of the built runner.

Starts lighttpd on a free loopback port with a configuration written into a temporary folder,
then sends a bounded number of GET and POST requests from concurrent clients over several
scripts in the stand-in language, while one script is rewritten every 100 ms. Every response
must be exactly right: a POST body comes back byte for byte, the rewritten script answers with
one whole version. Afterwards no temporary source may be left in /tmp. Exit 0 on success, 1 on
any wrong answer, 77 when lighttpd is missing.
"""

import hashlib
import http.client
import os
import random
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

REQUESTS = 8000
CLIENTS = 16
REWRITE_EVERY_S = 0.1
MAX_BODY = 1 << 20
DEADLINE_S = 150  # the requests stop here, counted as missing, so the test stays bounded
VERSION_LINES = 300  # each version writes this many lines, so a truncation shows

SCRIPTS = {
    "hello.zr": (
        'Write "Content-Type: text/plain" + #LF$ + #LF$\n'
        'WriteLine "hello from the runner"\n'
    ),
    # Sends the body back unchanged, after a line with its length.
    "echo.zr": (
        "body$ = ReadAll$()\n"
        'Write "Content-Type: application/octet-stream" + #LF$ + #LF$\n'
        'WriteLine "length=" + Str$(Len(body$))\n'
        "Write body$\n"
    ),
    "query.zr": (
        'Write "Content-Type: text/plain" + #LF$ + #LF$\n'
        'WriteLine "n=" + Env$("GET_n") + " count=" + Env$("ZR_Interpreter_QueryStrings")\n'
    ),
}


def version_source(version):
    return (
        'Write "Content-Type: text/plain" + #LF$ + #LF$\n'
        f"For i = 1 To {VERSION_LINES}\n"
        f'  WriteLine "version {version} line " + Str$(i)\n'
        "Next i\n"
        f'WriteLine "end of version {version}"\n'
    )


def version_body(version):
    lines = [f"version {version} line {i}\n" for i in range(1, VERSION_LINES + 1)]
    return ("".join(lines) + f"end of version {version}\n").encode()


VERSION_PATTERN = re.compile(rb"version (\d+) line 1\n")


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def write_script(path, runner, source):
    """Writes under a temporary name and renames, as editors that save safely do."""
    temporary = path + ".new"
    with open(temporary, "w") as file:
        file.write(f"#!{runner} -w\n" + source)
    os.chmod(temporary, 0o755)
    os.rename(temporary, path)


def stop_group(server, first=signal.SIGKILL):
    """Stops the server with every process of its group (the scripts it runs included)."""
    try:
        os.killpg(server.pid, first)
        server.wait(timeout=20)
    except subprocess.TimeoutExpired:
        pass
    finally:
        try:
            os.killpg(server.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        server.wait()


def start_lighttpd(work, docroot, prefix=()):
    """lighttpd with mod_cgi on a free port, in a process group of its own; `prefix` goes before
    its command line (setpriv, to run it as another user). Returns it and its port."""
    for _ in range(3):
        port = free_port()
        config = os.path.join(work, "lighttpd.conf")
        with open(config, "w") as file:
            file.write(
                'server.modules = ("mod_cgi")\n'
                f'server.document-root = "{docroot}"\n'
                'server.bind = "127.0.0.1"\n'
                f"server.port = {port}\n"
                f'server.errorlog = "{work}/error.log"\n'
                f'server.breakagelog = "{work}/cgi-error.log"\n'
                f'server.upload-dirs = ("{work}")\n'
                "server.max-connections = 256\n"
                'cgi.assign = (".zr" => "")\n'
            )
        log = open(os.path.join(work, "stderr"), "w")
        server = subprocess.Popen(
            list(prefix) + ["lighttpd", "-D", "-f", config], stdin=subprocess.DEVNULL, stdout=log,
            stderr=log, start_new_session=True,
        )
        for _ in range(75):
            if server.poll() is not None:
                break
            try:
                socket.create_connection(("127.0.0.1", port), timeout=1).close()
                return server, port
            except OSError:
                time.sleep(0.2)
        stop_group(server)
    with open(os.path.join(work, "stderr")) as log:
        raise RuntimeError("lighttpd did not start: " + log.read())


class Tally:
    def __init__(self):
        self.lock = threading.Lock()
        self.done = 0
        self.errors = []
        self.versions_seen = set()
        self.by_kind = {}

    def record(self, kind, error=None, version=None):
        with self.lock:
            self.done += 1
            self.by_kind[kind] = self.by_kind.get(kind, 0) + 1
            if error is not None:
                self.errors.append(f"{kind}: {error}")
            if version is not None:
                self.versions_seen.add(version)


def check_echo(payload, status, body):
    expected = f"length={len(payload)}\n".encode() + payload
    if status != 200:
        return f"status {status}"
    if body != expected:
        return (
            f"{len(body)} bytes back for a body of {len(payload)} "
            f"(sha1 {hashlib.sha1(body).hexdigest()[:12]})"
        )
    return None


def one_request(connection, rng, port, tally):
    """Sends one request of a random kind and records whether its answer was exact."""
    kind = rng.choice(["hello", "query", "echo-get", "echo-post", "echo-post", "version", "version"])
    version = None
    if kind == "hello":
        connection.request("GET", "/hello.zr")
        response = connection.getresponse()
        body = response.read()
        ok = response.status == 200 and body == b"hello from the runner\n"
        error = None if ok else f"status {response.status}, {body[:80]!r}"
    elif kind == "query":
        n = rng.randrange(1_000_000)
        connection.request("GET", f"/query.zr?n={n}&x=%26y")
        response = connection.getresponse()
        body = response.read()
        ok = response.status == 200 and body == f"n={n} count=2\n".encode()
        error = None if ok else f"status {response.status}, {body[:80]!r}"
    elif kind == "echo-get":
        connection.request("GET", "/echo.zr")
        response = connection.getresponse()
        error = check_echo(b"", response.status, response.read())
    elif kind == "echo-post":
        size = rng.choice([1, 100, 4095, 65536, 300_000, MAX_BODY, rng.randrange(1, MAX_BODY + 1)])
        payload = rng.randbytes(size)
        connection.request("POST", "/echo.zr", body=payload,
                           headers={"Content-Type": "application/octet-stream"})
        response = connection.getresponse()
        error = check_echo(payload, response.status, response.read())
    else:
        connection.request("GET", "/version.zr")
        response = connection.getresponse()
        body = response.read()
        match = VERSION_PATTERN.search(body)
        if response.status != 200 or match is None:
            error = f"status {response.status}, {body[:80]!r}"
        else:
            version = int(match.group(1))
            error = None if body == version_body(version) else (
                f"version {version}: {len(body)} bytes, not one whole version")
    tally.record(kind, error, version)


def client(seed, port, next_ticket, tally, stop_at, latencies, timeout_s):
    """One keep-alive connection sending requests until the tickets run out; records each
    request's time, so that a request left waiting shows."""
    rng = random.Random(seed)
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=timeout_s)
    while time.monotonic() < stop_at and next_ticket():
        started = time.monotonic()
        try:
            one_request(connection, rng, port, tally)
        except (OSError, http.client.HTTPException) as error:
            tally.record("connection", f"{type(error).__name__}: {error}")
            connection.close()
            connection = http.client.HTTPConnection("127.0.0.1", port, timeout=timeout_s)
        latencies.append(time.monotonic() - started)
    connection.close()


def run_load(port, docroot, runner, requests, clients, deadline_s, timeout_s=30):
    """Sends `requests` requests from `clients` connections, stopping at `deadline_s`, while
    version.zr is rewritten every REWRITE_EVERY_S. Returns the tally, the seconds taken, the
    number of rewrites and each request's time."""
    tickets = iter(range(requests))
    ticket_lock = threading.Lock()

    def next_ticket():
        with ticket_lock:
            return next(tickets, None) is not None

    stop_rewriting = threading.Event()
    rewrites = [0]

    def rewriter():
        version = 0
        while not stop_rewriting.wait(REWRITE_EVERY_S):
            version += 1
            write_script(os.path.join(docroot, "version.zr"), runner, version_source(version))
            rewrites[0] = version

    tally = Tally()
    latencies = []
    started = time.monotonic()
    stop_at = started + deadline_s
    editor = threading.Thread(target=rewriter)
    editor.start()
    threads = [threading.Thread(target=client,
                                args=(i, port, next_ticket, tally, stop_at, latencies, timeout_s))
               for i in range(clients)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    stop_rewriting.set()
    editor.join()
    return tally, time.monotonic() - started, rewrites[0], latencies


def main():
    if shutil.which("lighttpd") is None and not os.path.exists("/usr/sbin/lighttpd"):
        print("skipped: lighttpd is not installed (scripts/install-deps installs it)")
        return 77
    os.environ["PATH"] = os.environ.get("PATH", "/usr/bin:/bin") + ":/usr/sbin"
    bin_dir = os.path.abspath(sys.argv[1])
    runner = os.path.join(bin_dir, "scriptrunner")
    for needed in (runner, os.path.join(bin_dir, "compilers", "zrcompiler")):
        if not os.access(needed, os.X_OK):
            print(f"missing {needed}")
            return 1

    work = tempfile.mkdtemp(prefix="sr-load.")
    os.chmod(work, 0o755)
    docroot = os.path.join(work, "htdocs")
    os.mkdir(docroot)
    cache_prefix = "zr-executable_" + docroot.replace("/", "")
    server = None
    try:
        for name, source in SCRIPTS.items():
            write_script(os.path.join(docroot, name), runner, source)
        write_script(os.path.join(docroot, "version.zr"), runner, version_source(0))
        server, port = start_lighttpd(work, docroot)

        tally, duration, rewrites, _ = run_load(port, docroot, runner, REQUESTS, CLIENTS,
                                                DEADLINE_S)

        stop_group(server, signal.SIGTERM)
        server = None
        # The scripts' own names end in ".zr" too: a temporary source is "<executable>.zr".
        sources = {cache_prefix + name + ".zr" for name in list(SCRIPTS) + ["version.zr"]}
        leftovers = sorted(sources & set(os.listdir("/tmp")))
        error_log = ""
        if os.path.exists(os.path.join(work, "cgi-error.log")):
            with open(os.path.join(work, "cgi-error.log"), errors="replace") as file:
                error_log = file.read()

        print(f"{tally.done} requests from {CLIENTS} clients in {duration:.1f} s "
              f"({tally.done / duration:.0f}/s); {len(tally.errors)} wrong or failed; "
              f"{rewrites} rewrites, {len(tally.versions_seen)} versions served; "
              f"by kind: {dict(sorted(tally.by_kind.items()))}")
        failures = list(tally.errors[:20])
        if tally.done < REQUESTS:
            failures.append(f"only {tally.done} of {REQUESTS} requests within {DEADLINE_S} s")
        if len(tally.versions_seen) < 2:
            failures.append("the rewritten script never served a new version")
        if leftovers:
            failures.append(f"temporary sources left behind: {leftovers[:5]}")
        if error_log.strip():
            failures.append("error log not empty: " + error_log[:500])
        for failure in failures:
            print("FAIL:", failure)
        return 1 if failures else 0
    finally:
        if server is not None:
            stop_group(server)
        for name in os.listdir("/tmp"):
            if name.startswith(cache_prefix):
                path = os.path.join("/tmp", name)
                shutil.rmtree(path) if os.path.isdir(path) else os.remove(path)
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())

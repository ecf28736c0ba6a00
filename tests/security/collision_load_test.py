#!/usr/bin/env python3
"""collision_load_test.py BIN_DIR: two scripts whose cache names collide, under load.

/col/ab.zr and /cola/b.zr map to one cache name. lighttpd, running under an unprivileged uid,
serves both to 20 concurrent clients that alternate between them; every response must come from
the script that was asked for and carry the request's own query value. Exit 0 when all 2,000
answers are right, 1 on any wrong or failed answer, 77 when lighttpd is missing or the test cannot
switch to another uid (it needs root).
"""

import http.client
import os
import shutil
import signal
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "load"))
import cgi_load_test as load  # noqa: E402  lighttpd in front of the runner

REQUESTS = 2000
CLIENTS = 20
DEADLINE_S = 150  # requests not sent by then count as failed, so the test stays bounded
RUNNER_UID = 61900  # no account needed; far from the ones a distribution creates

SCRIPTS = {"/col/ab.zr": "ab", "/cola/b.zr": "b"}


def script_source(label):
    return (
        'Write "Content-Type: text/plain" + #LF$ + #LF$\n'
        f'WriteLine "script {label} n=" + Env$("GET_n")\n'
    )


def as_runner(argv):
    uid = str(RUNNER_UID)
    return ["setpriv", f"--reuid={uid}", f"--regid={uid}", "--clear-groups", "--"] + argv


def stage(bin_dir, work):
    """A copy of the runner and its compiler that the runner's uid can execute, and the scripts."""
    runner_dir = os.path.join(work, "runner")
    os.makedirs(os.path.join(runner_dir, "compilers"))
    shutil.copy2(os.path.join(bin_dir, "scriptrunner"), runner_dir)
    for name in ("zrcompiler", "zrstub"):
        shutil.copy2(os.path.join(bin_dir, "compilers", name), os.path.join(runner_dir, "compilers"))
    runner = os.path.join(runner_dir, "scriptrunner")
    docroot = os.path.join(work, "htdocs")
    for url, label in SCRIPTS.items():
        path = docroot + url
        os.makedirs(os.path.dirname(path), mode=0o755, exist_ok=True)
        with open(path, "w") as file:
            file.write(f"#!{runner} -w\n" + script_source(label))
        os.chmod(path, 0o755)
    for root, dirs, _ in os.walk(work):
        for name in dirs:
            os.chmod(os.path.join(root, name), 0o755)
    os.chown(work, RUNNER_UID, RUNNER_UID)
    return docroot


class Tally:
    def __init__(self):
        self.lock = threading.Lock()
        self.done = 0
        self.wrong = []  # answered by the other script, or with another request's data
        self.failed = []  # no right answer at all: status, empty body, connection error

    def record(self, wrong=None, failed=None):
        with self.lock:
            self.done += 1
            if wrong:
                self.wrong.append(wrong)
            if failed:
                self.failed.append(failed)


def one_request(connection, url, n, tally):
    connection.request("GET", f"{url}?n={n}&x=1")
    response = connection.getresponse()
    body = response.read().decode(errors="replace")
    expected = f"script {SCRIPTS[url]} n={n}\n"
    if response.status == 200 and body == expected:
        tally.record()
    elif body.startswith("script "):
        tally.record(wrong=f"{url} n={n}: {body.strip()!r}")
    else:
        tally.record(failed=f"{url} n={n}: status {response.status}, {body[:120]!r}")


def client(index, port, per_client, tally, stop_at):
    urls = list(SCRIPTS)
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
    for i in range(per_client):
        if time.monotonic() > stop_at:
            break
        url = urls[(index + i) % 2]
        try:
            one_request(connection, url, index * 100000 + i, tally)
        except (OSError, http.client.HTTPException) as error:
            tally.record(failed=f"{url}: {type(error).__name__}: {error}")
            connection.close()
            connection = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
    connection.close()


def remove_runner_files():
    for name in os.listdir("/tmp"):
        path = os.path.join("/tmp", name)
        try:
            if os.lstat(path).st_uid != RUNNER_UID:
                continue
            shutil.rmtree(path) if os.path.isdir(path) and not os.path.islink(path) else os.remove(path)
        except OSError:
            pass


def main():
    os.environ["PATH"] = os.environ.get("PATH", "/usr/bin:/bin") + ":/usr/sbin:/sbin"
    if shutil.which("lighttpd") is None:
        print("skipped: lighttpd is not installed (scripts/install-deps installs it)")
        return 77
    if os.geteuid() != 0 or shutil.which("setpriv") is None:
        print("skipped: running lighttpd under an unprivileged uid needs root and setpriv")
        return 77
    bin_dir = os.path.abspath(sys.argv[1])
    work = tempfile.mkdtemp(prefix="sr-collision.")
    server = None
    try:
        docroot = stage(bin_dir, work)
        server, port = load.start_lighttpd(work, docroot, prefix=as_runner([]))
        tally = Tally()
        started = time.monotonic()
        threads = [threading.Thread(target=client,
                                    args=(i, port, REQUESTS // CLIENTS, tally,
                                          started + DEADLINE_S))
                   for i in range(CLIENTS)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        duration = time.monotonic() - started
        print(f"{tally.done} requests from {CLIENTS} clients alternating between "
              f"{' and '.join(SCRIPTS)} in {duration:.1f} s: {len(tally.wrong)} wrong, "
              f"{len(tally.failed)} failed")
        problems = [f"wrong script or data: {w}" for w in tally.wrong[:10]]
        problems += [f"failed: {f}" for f in tally.failed[:10]]
        if tally.done < REQUESTS:
            problems.append(f"only {tally.done} of {REQUESTS} requests within {DEADLINE_S} s")
        for problem in problems:
            print("FAIL:", problem)
        if problems and os.path.exists(os.path.join(work, "cgi-error.log")):
            with open(os.path.join(work, "cgi-error.log"), errors="replace") as file:
                print("error log:", file.read()[:1000])
        return 1 if problems else 0
    finally:
        if server is not None:
            load.stop_group(server, signal.SIGTERM)
        remove_runner_files()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())

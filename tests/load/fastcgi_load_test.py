#!/usr/bin/env python3
"""fastcgi_load_test.py BIN_DIR [--keep-conn]: load through nginx in front of scriptrunner-fcgi.

Starts the FastCGI server on a unix socket and nginx (with --keep-conn keeping its connections
to the server open, as the deploy snippet sets it) on a free loopback port, each in a process
group of its own, then sends a bounded number of GET
and POST requests (bodies up to 1 MiB) from 200 concurrent connections over the scripts of the
CGI load test, while one script is rewritten every 100 ms. Every answer must be exactly right.
Meanwhile the server's resident memory is sampled. Once nginx has gone, the server must be back
at the size it had before the load (what it holds for requests in flight is bounded, not
flat), hold no more descriptors than before and have no process left below it;
no temporary file of the runner may be left. Exit 0 on success, 1 on any failure, 77 when nginx
is missing.
"""

import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

sys.dont_write_bytecode = True  # no cache files in the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import cgi_load_test as cgi  # noqa: E402  the scripts, the requests and their checks

REQUESTS = 2000
CLIENTS = 200
MAX_CHILDREN = 16
DEADLINE_S = 120  # the requests stop here, counted as missing, so the test stays bounded
# With 200 connections and 16 requests served at once, a request may wait for a dozen others;
# one that waits longer than this is counted as failed.
CLIENT_TIMEOUT_S = 60
SAMPLE_EVERY_S = 0.05  # a run of 2,000 requests may take under two seconds
# No leak: once idle after the load, the server's resident size may exceed its size before the
# load by this much at most. A leak of a kilobyte per request exceeds it.
RSS_GROWTH_ALLOWED_KB = 1536


def server_user_prefix():
    """Run by root, the server runs as www-data, as its service unit runs it."""
    if os.getuid() != 0:
        return []
    return ["setpriv", "--reuid=www-data", "--regid=www-data", "--clear-groups"]


def wait_until(predicate, seconds):
    stop = time.monotonic() + seconds
    while time.monotonic() < stop:
        if predicate():
            return True
        time.sleep(0.05)
    return predicate()


def start_fcgi(work, server_bin):
    socket_dir = os.path.join(work, "fcgi")
    os.mkdir(socket_dir)
    if os.getuid() == 0:
        shutil.chown(socket_dir, "www-data", "www-data")
    path = os.path.join(socket_dir, "socket")
    log = open(os.path.join(work, "fcgi.stderr"), "w")
    server = subprocess.Popen(
        server_user_prefix() + [server_bin, "--listen", "unix:" + path, "--socket-mode", "0666",
                                "--max-children", str(MAX_CHILDREN), "--timeout", "60"],
        stdin=subprocess.DEVNULL, stdout=log, stderr=log, start_new_session=True)
    if not wait_until(lambda: os.path.exists(path) or server.poll() is not None, 10) \
            or server.poll() is not None:
        raise RuntimeError("the FastCGI server did not start: " + read(log.name))
    return server, path


def start_nginx(work, docroot, socket_path, keep_conn):
    temp = os.path.join(work, "temp")
    os.mkdir(temp)
    for _ in range(3):
        port = cgi.free_port()
        config = os.path.join(work, "nginx.conf")
        with open(config, "w") as file:
            file.write(f"""daemon off;
worker_processes 2;
pid {work}/nginx.pid;
error_log {work}/error.log warn;
events {{ worker_connections 2048; }}
http {{
  access_log off;
  client_body_temp_path {temp}/body;
  fastcgi_temp_path {temp}/fastcgi;
  proxy_temp_path {temp}/proxy;
  uwsgi_temp_path {temp}/uwsgi;
  scgi_temp_path {temp}/scgi;
  client_max_body_size 2m;
  upstream scriptrunner {{
    server unix:{socket_path};
    {"keepalive 8;" if keep_conn else ""}
  }}
  server {{
    listen 127.0.0.1:{port};
    root {docroot};
    location ~ \\.zr$ {{
      include /etc/nginx/fastcgi_params;
      fastcgi_param SCRIPT_FILENAME $document_root$fastcgi_script_name;
      fastcgi_pass scriptrunner;
      fastcgi_keep_conn {"on" if keep_conn else "off"};
    }}
  }}
}}
""")
        log = open(os.path.join(work, "nginx.stderr"), "w")
        nginx = subprocess.Popen(["nginx", "-p", work, "-e", f"{work}/error.log", "-c", config],
                                 stdin=subprocess.DEVNULL, stdout=log, stderr=log,
                                 start_new_session=True)

        def answers():
            try:
                socket.create_connection(("127.0.0.1", port), timeout=1).close()
                return True
            except OSError:
                return nginx.poll() is not None

        if wait_until(answers, 15) and nginx.poll() is None:
            return nginx, port
        stop_group(nginx)
    raise RuntimeError("nginx did not start: " + read(os.path.join(work, "nginx.stderr")))


def stop_group(process, seconds=70):
    """TERM to the whole process group, then its leader's exit status."""
    try:
        os.killpg(process.pid, signal.SIGTERM)
    except ProcessLookupError:
        pass
    try:
        return process.wait(timeout=seconds)
    except subprocess.TimeoutExpired:
        os.killpg(process.pid, signal.SIGKILL)
        process.wait()
        return "killed after a TERM was not enough"


def read(path):
    try:
        with open(path, errors="replace") as file:
            return file.read()
    except OSError:
        return ""


def rss_kb(pid):
    for line in read(f"/proc/{pid}/status").splitlines():
        if line.startswith("VmRSS:"):
            return int(line.split()[1])
    return None


def descriptor_count(pid):
    try:
        return len(os.listdir(f"/proc/{pid}/fd"))
    except OSError:
        return None


def processes_below(pid):
    """Processes in the server's session other than the server: its workers and the scripts
    they started, even those that left their parent's process group."""
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit() or int(entry) == pid:
            continue
        stat = read(f"/proc/{entry}/stat")
        fields = stat[stat.rfind(")") + 2:].split()
        if len(fields) > 3 and int(fields[3]) == pid:  # the session id
            found.append(f"{entry} {stat[:stat.rfind(')') + 1]}")
    return found


def children_of(pid):
    try:
        return [int(child) for child in read(f"/proc/{pid}/task/{pid}/children").split()]
    except ValueError:
        return []


RESIDENT_DESCRIPTORS = 5  # what the server holds of an idle resident process


def is_resident(pid):
    """A resident executable, which outlives its requests: started as {"zr-resident", N}."""
    return read(f"/proc/{pid}/cmdline").split("\0")[0] == "zr-resident"


def sample_memory(pid, samples, stop, most_children):
    while not stop.wait(SAMPLE_EVERY_S):
        value = rss_kb(pid)
        if value is not None:
            samples.append((time.monotonic(), value))
        most_children[0] = max(most_children[0], len(children_of(pid)))


def memory_verdict(samples, before, pid):
    if len(samples) < 8:
        return None, f"only {len(samples)} memory samples"
    # The heap's free pages go back a moment after the server has become idle.
    wait_until(lambda: (rss_kb(pid) or 0) <= before + RSS_GROWTH_ALLOWED_KB, 10)
    after = rss_kb(pid)
    text = (f"server RSS: {before} kB before, peak {max(value for _, value in samples)} kB "
            f"under load, {after} kB once idle")
    if after is None or after > before + RSS_GROWTH_ALLOWED_KB:
        return text, f"server memory grew ({text})"
    return text, None


def latency_text(latencies):
    if not latencies:
        return "no requests"
    ordered = sorted(latencies)
    return (f"request time: median {ordered[len(ordered) // 2]:.2f} s, "
            f"p99 {ordered[int(len(ordered) * 0.99)]:.2f} s, max {ordered[-1]:.2f} s")


def main():
    if shutil.which("nginx") is None and not os.path.exists("/usr/sbin/nginx"):
        print("skipped: nginx is not installed (scripts/install-deps installs it)")
        return 77
    os.environ["PATH"] = os.environ.get("PATH", "/usr/bin:/bin") + ":/usr/sbin"
    bin_dir = os.path.abspath(sys.argv[1])
    keep_conn = "--keep-conn" in sys.argv[2:]
    for needed in ("scriptrunner", "scriptrunner-fcgi", "compilers/zrcompiler",
                   "compilers/zrstub"):
        if not os.access(os.path.join(bin_dir, needed), os.X_OK):
            print(f"missing {os.path.join(bin_dir, needed)}")
            return 1

    work = tempfile.mkdtemp(prefix="sr-fcgi-load.")
    os.chmod(work, 0o755)
    # The server may run as www-data: it gets a copy of the tree that everybody can run.
    tree = os.path.join(work, "runner")
    os.makedirs(os.path.join(tree, "compilers"))
    for name in ("scriptrunner", "scriptrunner-fcgi", "compilers/zrcompiler",
                 "compilers/zrstub"):
        shutil.copy(os.path.join(bin_dir, name), os.path.join(tree, name))
        os.chmod(os.path.join(tree, name), 0o755)
    runner = os.path.join(tree, "scriptrunner")
    docroot = os.path.join(work, "htdocs")
    os.mkdir(docroot)
    os.chmod(docroot, 0o755)
    cache_prefix = "zr-executable_" + docroot.replace("/", "")
    server = nginx = None
    failures = []
    try:
        for name, source in cgi.SCRIPTS.items():
            cgi.write_script(os.path.join(docroot, name), runner, source)
        cgi.write_script(os.path.join(docroot, "version.zr"), runner, cgi.version_source(0))
        server, socket_path = start_fcgi(work, os.path.join(tree, "scriptrunner-fcgi"))
        descriptors_before = descriptor_count(server.pid)
        rss_before = rss_kb(server.pid)
        nginx, port = start_nginx(work, docroot, socket_path, keep_conn)

        samples = []
        stop_sampling = threading.Event()
        most_children = [0]
        sampler = threading.Thread(target=sample_memory,
                                   args=(server.pid, samples, stop_sampling, most_children))
        sampler.start()
        tally, duration, rewrites, latencies = cgi.run_load(port, docroot, runner, REQUESTS,
                                                            CLIENTS, DEADLINE_S, CLIENT_TIMEOUT_S)
        stop_sampling.set()
        sampler.join()

        # Once nginx has closed its connections the server must be back where it started.
        nginx_status = stop_group(nginx, 20)
        nginx = None
        # Idle resident processes stay, each holding its socket and both ends of its output and
        # error pipes, until they retire.
        residents = [child for child in children_of(server.pid) if is_resident(child)]
        held = RESIDENT_DESCRIPTORS * len(residents)
        settled = wait_until(
            lambda: descriptor_count(server.pid) == descriptors_before + held
            and len(processes_below(server.pid)) == len(residents), 15)
        descriptors_after = descriptor_count(server.pid) - held
        left_below = [entry for entry in processes_below(server.pid)
                      if int(entry.split()[0]) not in residents]
        memory_text, memory_failure = memory_verdict(samples, rss_before, server.pid)
        resident_kb = [rss_kb(child) or 0 for child in residents]
        server_pid = server.pid
        server_status = stop_group(server)
        server = None
        left_after_stop = processes_below(server_pid)

        ours = {cache_prefix + name for name in list(cgi.SCRIPTS) + ["version.zr"]}
        kept = ours | {name + ".script" for name in ours}
        leftovers = sorted(name for name in os.listdir("/tmp")
                           if name.startswith(cache_prefix) and name not in kept)
        error_log = read(os.path.join(work, "error.log"))
        errors_logged = [line for line in error_log.splitlines()
                         if "[error]" in line or "[crit]" in line or "[alert]" in line]

        print(f"{tally.done} requests from {CLIENTS} connections in {duration:.1f} s "
              f"({tally.done / duration:.0f}/s); {len(tally.errors)} wrong or failed; "
              f"{rewrites} rewrites, {len(tally.versions_seen)} versions served; "
              f"by kind: {dict(sorted(tally.by_kind.items()))}")
        print(latency_text(latencies))
        print(f"{memory_text}; {len(samples)} samples")
        print(f"server descriptors: {descriptors_before} before, {descriptors_after} after "
              f"({'settled' if settled else 'not settled'})")
        print(f"server children at most {most_children[0]} (--max-children {MAX_CHILDREN}); "
              f"{len(residents)} resident processes left idle, RSS {resident_kb} kB")

        failures += tally.errors[:20]
        if tally.done < REQUESTS:
            failures.append(f"only {tally.done} of {REQUESTS} requests within {DEADLINE_S} s")
        if len(tally.versions_seen) < 2:
            failures.append("the rewritten script never served a new version")
        if memory_failure:
            failures.append(memory_failure)
        if descriptors_after != descriptors_before:
            failures.append(f"descriptors: {descriptors_before} before, {descriptors_after} after")
        if left_below:
            failures.append(f"processes left below the server: {left_below[:5]}")
        if most_children[0] > MAX_CHILDREN:
            failures.append(f"{most_children[0]} children at once, above --max-children")
        if not residents:
            failures.append("no resident process served the warm requests")
        if left_after_stop:
            failures.append(f"processes left after the server stopped: {left_after_stop[:5]}")
        if leftovers:
            failures.append(f"files left in /tmp: {leftovers[:5]}")
        if errors_logged:
            failures.append("nginx logged errors: " + "\n".join(errors_logged[:5]))
        if nginx_status != 0:
            failures.append(f"nginx ended with {nginx_status}")
        if server_status != 0:
            failures.append(f"the server ended with {server_status} after TERM: "
                            + read(os.path.join(work, "fcgi.stderr"))[-500:])
    finally:
        for process in (nginx, server):
            if process is not None:
                stop_group(process, 10)
        for name in os.listdir("/tmp"):
            if name.startswith(cache_prefix):
                path = os.path.join("/tmp", name)
                shutil.rmtree(path) if os.path.isdir(path) else os.remove(path)
        if failures and os.environ.get("SR_IT_KEEP"):
            print("kept:", work)
        else:
            shutil.rmtree(work, ignore_errors=True)
    for failure in failures:
        print("FAIL:", failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/env python3
"""Runs every benchmark of ScriptRunner and prints one table, also written to bench/results.md.

Whole-process timings come from bench/alternate (static C), which takes turns between the
commands of one comparison in every round; each figure is a median, each ratio the median of
the per-round ratios. Load goes only to a lighttpd, and for the FastCGI part
(bench/fastcgi_bench.py) an nginx, that this script starts on 127.0.0.1.

Usage: run_bench.py --build BUILD_DIR [--out FILE] [--quick] [--only PART,...]
(with --only the table is written only where --out names)
"""

import argparse
import datetime
import json
import os
import platform
import re
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.dont_write_bytecode = True  # no cache files beside the sources
import fastcgi_bench  # noqa: E402  (beside this file)

HELLO_LINE = 'Write "Content-Type: text/html" + #LF$ + #LF$ + "<p>Hello, world!</p>" + #LF$\n'
HELLO_PAGE = "Content-Type: text/html\n\n<p>Hello, world!</p>\n"


class Bench:
    def __init__(self, build: Path, quick: bool):
        self.build = build.resolve()
        self.quick = quick
        self.runner = self.build / "bin" / "scriptrunner"
        self.compiler = self.build / "bin" / "compilers" / "zrcompiler"
        self.tools = self.build / "bench"
        self.work = Path(tempfile.mkdtemp(prefix="sr-bench-"))
        self.made = []  # cache files in /tmp/ to remove at the end
        self.placed = {}  # placed programs by cache name: their inode
        self.rows = []  # (section, measure, median, spread, ratio, target)

    # ----- helpers -------------------------------------------------------------------------

    def cgi_env(self, script: Path, query: str = "", extra=None):
        env = {
            "GATEWAY_INTERFACE": "CGI/1.1",
            "SERVER_PROTOCOL": "HTTP/1.1",
            "REQUEST_METHOD": "GET",
            "CONTENT_LENGTH": "0",
            "SCRIPT_FILENAME": str(script),
            "SCRIPT_NAME": "/" + script.name,
            "QUERY_STRING": query,
            "REQUEST_URI": "/" + script.name + ("?" + query if query else ""),
            "SERVER_NAME": "127.0.0.1",
            "REMOTE_ADDR": "127.0.0.1",
        }
        env.update(extra or {})
        return env

    def alternate(self, commands, env, runs, warmup=3, limit=60, output="/dev/null"):
        """commands: list of (name, [options], argv). Returns {name: stats} and raw rounds."""
        args = [str(self.tools / "alternate"), "-n", str(runs), "-w", str(warmup),
                "-t", str(limit), "-o", output]
        for i, (name, options, argv) in enumerate(commands):
            if i:
                args.append(":::")
            args += [name] + options + ["--"] + [str(a) for a in argv]
        done = subprocess.run(args, env=env, capture_output=True, text=True,
                              timeout=limit + 120, check=True)
        return self.parse_rounds(done.stdout)

    @staticmethod
    def parse_rounds(output):
        """The lines that alternate (and process_start) print: {name: stats} and raw rounds."""
        result = {"raw": {}, "time": {}, "after": {}}
        for line in output.splitlines():
            kind, name, *values = line.split()
            if kind == "raw":
                result["raw"][name] = [float(v) for v in values]
            elif kind in ("time", "after"):
                result[kind][name] = {
                    "median": float(values[0]), "q1": float(values[1]), "q3": float(values[2]),
                    "min": float(values[3]), "runs": int(values[4]),
                    "failures": int(values[5]) if kind == "time" else 0}
        for name, stats in result["time"].items():
            if stats["failures"]:
                print(f"warning: {name}: {stats['failures']} failed runs", file=sys.stderr)
        return result

    @staticmethod
    def per_round_ratios(numerators, denominators):
        """a/b of each round, sorted; a round in which the denominator served nothing (wrk saw
        only time-outs on a starved machine) has no ratio, and no round at all gives NaN."""
        ratios = sorted(a / b for a, b in zip(numerators, denominators) if b > 0)
        return ratios or [float("nan")]

    @staticmethod
    def ratio(result, a, b):
        """Median and quartiles of a/b over the rounds where both ran."""
        ra, rb = result["raw"][a], result["raw"][b]
        values = sorted(x / y for x, y in zip(ra, rb))
        q = statistics.quantiles(values, n=4) if len(values) > 1 else values * 3
        return statistics.median(values), q[0], q[-1]

    def add(self, section, measure, stats=None, unit="ms", ratio=None, target="", text=None):
        if text is None:
            scale = 1000.0 if unit == "ms" else 1.0
            text = f"{stats['median'] / scale:.3f} {unit}"
            spread = f"{stats['q1'] / scale:.3f}-{stats['q3'] / scale:.3f} (n={stats['runs']})"
        else:
            spread = ""
        if isinstance(text, tuple):
            text, spread = text
        ratio_text = ""
        if ratio is not None:
            ratio_text = f"{ratio[0]:.2f}x ({ratio[1]:.2f}-{ratio[2]:.2f})"
        self.rows.append((section, measure, text, spread, ratio_text, target))
        print(f"  {measure}: {text} {spread} {ratio_text}", file=sys.stderr)

    def write_script(self, name, body_lines, switches="-w", age_s=3600):
        path = self.work / name
        path.write_text(f"#!{self.runner} {switches}\n" + "".join(body_lines))
        path.chmod(0o755)
        past = time.time() - age_s
        os.utime(path, (past, past))
        cached = Path("/tmp/zr-executable_" + str(path).replace("/", ""))
        self.made += [cached, Path(str(cached) + ".script"), Path(str(cached) + ".zr")]
        return path, cached

    def first_request(self, script, switches="-w", extra=None):
        """Runs the runner once, so that the cached executable exists and is current."""
        done = subprocess.run([str(self.runner), switches], env=self.cgi_env(script, extra=extra),
                              capture_output=True, timeout=60)
        if done.returncode != 0 or not done.stdout:
            raise RuntimeError(f"first request of {script} failed: {done.stderr!r}")
        return done.stdout

    def place_executable(self, script, program: Path, switches="-w"):
        """A C program as the script's current cached executable: the runner builds the cache
        entry once from the script, then the program replaces the executable."""
        cached = Path("/tmp/zr-executable_" + str(script).replace("/", ""))
        self.first_request(script, switches)
        temporary = cached.with_name(cached.name + ".bench-new")
        shutil.copyfile(program, temporary)
        # The runner trusts only an executable that nobody may write, its owner included, and
        # rebuilds any other: the figures would then be the script's own.
        temporary.chmod(0o500)
        os.replace(temporary, cached)
        self.placed[cached] = cached.stat().st_ino
        return cached

    def check_placed(self, cached):
        """Fails the bench when the runner rebuilt over a placed program during the rounds."""
        if cached.stat().st_ino != self.placed[cached]:
            raise RuntimeError(f"the runner did not run the program placed at {cached}")

    def cleanup(self):
        for path in self.made:
            try:
                path.unlink()
            except FileNotFoundError:
                pass
        shutil.rmtree(self.work, ignore_errors=True)

    # ----- whole-process timings -----------------------------------------------------------

    def warm(self):
        print("warm request", file=sys.stderr)
        runs = 100 if self.quick else 400
        query = "&".join(f"param{i}=value{i}" for i in range(100))
        for label, switches, query_text, name in (
                ("hello", "-w", "", "hello.zr"),
                ("hello, 100-parameter query", "-w", query, "hello_query.zr"),
                ("hello, parse mode (-w -p)", "-w -p", "", "hello_parse.zr")):
            script, cached = self.write_script(name, [HELLO_LINE], switches)
            if self.first_request(script, switches).decode() != HELLO_PAGE:
                raise RuntimeError("the hello page is not what the script writes")
            commands = [
                ("runner", [], [self.runner, switches]),
                ("spawn_relay", [], [self.tools / "spawn_relay", cached, *switches.split()]),
                ("direct", [], [cached, *switches.split()]),
            ]
            if switches == "-w" and not query_text:
                commands.append(("c_hello", [], [self.tools / "hello_cgi"]))
                # Yardsticks without glibc's start-up, where musl-gcc was there to build them.
                if (self.tools / "spawn_relay_musl").exists():
                    commands += [
                        ("spawn_relay_musl", [],
                         [self.tools / "spawn_relay_musl", cached, *switches.split()]),
                        ("c_hello_musl", [], [self.tools / "hello_cgi_musl"])]
            r = self.alternate(commands, self.cgi_env(script, query_text), runs)
            t = r["time"]
            self.add("warm request", f"{label}: runner", t["runner"],
                     ratio=self.ratio(r, "runner", "spawn_relay"),
                     target="<= 1.15x spawn_relay")
            self.add("warm request", f"{label}: spawn_relay (static C)", t["spawn_relay"],
                     ratio=self.ratio(r, "spawn_relay", "direct"), target="(ratio: it / direct)")
            self.add("warm request", f"{label}: cached executable run directly", t["direct"],
                     ratio=self.ratio(r, "runner", "direct"),
                     target="(ratio: runner / direct)")
            if "spawn_relay_musl" in t:
                self.add("warm request", f"{label}: spawn_relay (static C, musl)",
                         t["spawn_relay_musl"], ratio=self.ratio(r, "runner", "spawn_relay_musl"),
                         target="(information; ratio: runner / it)")
            if "c_hello" in t:
                self.add("stand-in compiler", "hello executable, start to exit", t["direct"],
                         ratio=self.ratio(r, "direct", "c_hello"), target="ratio vs static C")
                self.add("stand-in compiler", "static C hello, start to exit", t["c_hello"])
            if "c_hello_musl" in t:
                self.add("stand-in compiler", "static C hello (musl), start to exit",
                         t["c_hello_musl"], ratio=self.ratio(r, "direct", "c_hello_musl"),
                         target="(information; ratio: hello executable / it)")

    def cold(self):
        print("cold request", file=sys.stderr)
        runs = 20 if self.quick else 60
        script, cached = self.write_script("cold.zr", [HELLO_LINE])
        self.first_request(script)
        warm_script, _ = self.write_script("cold_warm.zr", [HELLO_LINE])
        self.first_request(warm_script)
        source = self.work / "cold_source.zr"
        source.write_text(";\n" + HELLO_LINE)
        exe = self.work / "cold_compiled"
        commands = [
            ("cold_runner", [f"touch:{script}"], [self.runner, "-w"]),
            ("compiler_only", [], [self.compiler, "--quiet", "--executable", exe, source]),
        ]
        r = self.alternate(commands, self.cgi_env(script), runs)
        self.add("cold request", "first request after a change (compile included)",
                 r["time"]["cold_runner"], ratio=self.ratio(r, "cold_runner", "compiler_only"),
                 target="< 20 ms (ratio: vs the compiler alone)")
        self.add("cold request", "stand-in compiler alone, same program",
                 r["time"]["compiler_only"])

    def relay(self):
        print("relay throughput", file=sys.stderr)
        megabytes = 20 if self.quick else 100
        runs = 5 if self.quick else 11
        script, _ = self.write_script("relay.zr", ["WriteLine \"placeholder\"\n"])
        env = self.cgi_env(script, extra={"BENCH_MEGABYTES": str(megabytes)})
        cached = self.place_executable(script, self.tools / "write_bytes")
        writer = self.tools / "write_bytes"
        commands = [
            ("runner", [], [self.runner, "-w"]),
            ("dd_pipe", [], ["/bin/sh", "-c", f"{writer} | dd bs=1000 of=/dev/null status=none"]),
            ("direct", [], [cached]),
        ]
        r = self.alternate(commands, env, runs, warmup=1, limit=240)
        self.check_placed(cached)
        t = r["time"]
        for name, label in (("runner", "through the runner to /dev/null"),
                            ("dd_pipe", "writer piped to dd bs=1000, to /dev/null"),
                            ("direct", "writer straight to /dev/null")):
            mbps = megabytes / (t[name]["median"] / 1e6)
            ratio = None
            target = ""
            if name == "runner":
                dd_over = self.ratio(r, "dd_pipe", "runner")
                ratio = dd_over
                target = ">= 0.8x dd (ratio: throughput vs dd)"
            self.add("relay throughput", f"{megabytes} MB {label}",
                     text=(f"{mbps:.0f} MB/s", f"{t[name]['median'] / 1000:.1f} ms "
                           f"(n={t[name]['runs']})"), ratio=ratio, target=target)

    def last_byte(self):
        print("latency after the script's end", file=sys.stderr)
        runs = 100 if self.quick else 400
        script, _ = self.write_script("last.zr", ["WriteLine \"placeholder\"\n"])
        stamp = self.work / "end-stamp"
        env = self.cgi_env(script, extra={"BENCH_END_STAMP": str(stamp)})
        cached = self.place_executable(script, self.tools / "end_stamp")
        commands = [
            ("runner", [f"stamp:{stamp}"], [self.runner, "-w"]),
            ("spawn_relay", [f"stamp:{stamp}"], [self.tools / "spawn_relay", cached, "-w"]),
            ("direct", [f"stamp:{stamp}"], [cached, "-w"]),
        ]
        r = self.alternate(commands, env, runs)
        self.check_placed(cached)
        a = r["after"]
        self.add("after the script's end", "runner: script's exit to runner's exit", a["runner"],
                 target="< 0.5 ms")
        self.add("after the script's end", "spawn_relay: script's exit to its exit",
                 a["spawn_relay"])
        self.add("after the script's end", "direct: exit to parent's wait", a["direct"])
        diff = [x - y for x, y in zip(r["raw"]["runner"], r["raw"]["spawn_relay"])]
        self.add("after the script's end", "whole-process runner - spawn_relay (same round)",
                 text=(f"{statistics.median(diff) / 1000:.3f} ms", f"(n={len(diff)})"))

    def compile_time(self):
        print("stand-in compiler", file=sys.stderr)
        runs = 20 if self.quick else 60
        source = self.work / "long.zr"
        lines = [";", "total = 0", "name$ = \"\""]
        i = 0
        while len(lines) < 992:
            lines += [f"For i{i % 7} = 1 To {i % 13 + 2}",
                      f"  total = total + i{i % 7} * {i} - ({i} % 7)",
                      f"  If total > {1000 * i} Then",
                      f"    name$ = Left$(name$ + Str$(total) + \"-{i}\", 40)",
                      "  EndIf",
                      "Next"]
            i += 1
        lines = [l.replace(" Then", "") for l in lines]
        while len(lines) < 998:
            lines.append("total = total + 1")
        lines += ["Write \"Content-Type: text/plain\" + #LF$ + #LF$",
                  "WriteLine Str$(total) + \" \" + name$"]
        source.write_text("\n".join(lines) + "\n")
        exe = self.work / "long"
        check = subprocess.run([self.compiler, "--quiet", "--executable", exe, source],
                               capture_output=True, text=True, timeout=30)
        if check.returncode != 0:
            raise RuntimeError("the 1,000-line program does not compile: " + check.stdout)
        r = self.alternate([("compile_1000", [], [self.compiler, "--quiet", "--executable",
                                                  exe, source])], {}, runs)
        self.add("stand-in compiler", f"compile a {len(lines)}-line program",
                 r["time"]["compile_1000"], target="well under 50 ms")
        # The machine's own speed on a page of output: the FastCGI part's 1,000-line page.
        page = self.work / "lines"
        (self.work / "lines.zr").write_text(fastcgi_bench.LINES_ZR)
        subprocess.run([self.compiler, "--quiet", "--executable", page, self.work / "lines.zr"],
                       check=True, timeout=30)
        r = self.alternate([("lines_page", [], [page])], {}, runs * 5)
        self.add("stand-in compiler", "1,000-line page executable, start to exit",
                 r["time"]["lines_page"])

    # ----- through a web server ------------------------------------------------------------

    def web(self):
        print("through lighttpd with wrk", file=sys.stderr)
        lighttpd = shutil.which("lighttpd") or "/usr/sbin/lighttpd"
        www = self.work / "www"
        www.mkdir()
        script = www / "hello.zr"
        script.write_text(f"#!{self.runner} -w\n" + HELLO_LINE)
        script.chmod(0o755)
        past = time.time() - 3600
        os.utime(script, (past, past))
        cached = Path("/tmp/zr-executable_" + str(script).replace("/", ""))
        self.made += [cached, Path(str(cached) + ".script")]
        shutil.copyfile(self.tools / "hello_cgi", www / "hello.cgi")
        (www / "hello.cgi").chmod(0o755)
        if (self.tools / "hello_cgi_musl").exists():
            shutil.copyfile(self.tools / "hello_cgi_musl", www / "hello.musl")
            (www / "hello.musl").chmod(0o755)
        # The floor of any host that relays: the minimal static spawn-and-copy program serving
        # the runner's own cached executable (built by the first request below).
        relay = www / "hello.relay"
        relay.write_text(f"#!{self.tools / 'spawn_relay'} {cached}\n")
        relay.chmod(0o755)
        (www / "hello.pl").write_text(f'print "{HELLO_PAGE.encode("unicode_escape").decode()}";\n')
        (www / "hello.py").write_text(
            f'import sys\nsys.stdout.write({HELLO_PAGE!r})\n')
        (www / "hello.php").write_text("<p>Hello, world!</p>\n")
        with socket.socket() as s:
            s.bind(("127.0.0.1", 0))
            port = s.getsockname()[1]
        conf = self.work / "lighttpd.conf"
        conf.write_text(f"""server.document-root = "{www}"
server.bind = "127.0.0.1"
server.port = {port}
server.modules = ("mod_cgi")
server.errorlog = "{self.work}/lighttpd-error.log"
server.breakagelog = "{self.work}/lighttpd-breakage.log"
server.max-connections = 256
cgi.assign = (".zr" => "", ".cgi" => "", ".musl" => "", ".relay" => "",
              ".pl" => "/usr/bin/perl", ".py" => "/usr/bin/python3", ".php" => "/usr/bin/php-cgi")
""")
        server = subprocess.Popen([lighttpd, "-D", "-f", str(conf)], stdout=subprocess.DEVNULL,
                                  stderr=subprocess.DEVNULL)
        try:
            self._web_rounds(port)
        finally:
            server.terminate()
            try:
                server.wait(timeout=10)
            except subprocess.TimeoutExpired:
                server.kill()
                server.wait()

    @staticmethod
    def _fetch(port, path):
        with socket.create_connection(("127.0.0.1", port), timeout=10) as s:
            s.sendall(f"GET {path} HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n".encode())
            data = b""
            while chunk := s.recv(65536):
                data += chunk
        return data.decode(errors="replace")

    @staticmethod
    def _wrk_value(text):
        match = re.match(r"([\d.]+)(us|ms|s)$", text)
        number, unit = float(match.group(1)), match.group(2)
        return number * {"us": 0.001, "ms": 1.0, "s": 1000.0}[unit]

    @staticmethod
    def _cpu_times():
        """(idle, all) jiffies of every CPU since boot; iowait counts as idle."""
        fields = [int(x) for x in Path("/proc/stat").read_text().split("\n", 1)[0].split()[1:9]]
        return fields[3] + fields[4], sum(fields)

    @staticmethod
    def _session_cpu(session):
        """CPU jiffies of the processes of `session` and of the children they collected: a
        process that ends between two readings then counts once, for its time in between."""
        total = 0
        for stat in Path("/proc").glob("[0-9]*/stat"):
            try:
                fields = stat.read_text().rsplit(")", 1)[1].split()
            except OSError:
                continue  # ended while we looked
            if int(fields[3]) == session:
                total += sum(int(x) for x in fields[11:15])  # utime stime cutime cstime
        return total

    def _wrk(self, port, path, connections, seconds, sessions=()):
        """req/s, p50 and p99 in ms, the idle share of the CPUs, and the CPU microseconds per
        request of each process session in `sessions`."""
        cpu_before = [self._session_cpu(s) for s in sessions]
        idle_before, all_before = self._cpu_times()
        done = subprocess.run(["wrk", "-t", "2", "-c", str(connections), "-d", f"{seconds}s",
                               "--latency", f"http://127.0.0.1:{port}{path}"],
                              capture_output=True, text=True, timeout=seconds + 60)
        out = done.stdout
        rps = float(re.search(r"Requests/sec:\s+([\d.]+)", out).group(1))
        p50 = self._wrk_value(re.search(r"^\s+50%\s+(\S+)", out, re.M).group(1))
        p99 = self._wrk_value(re.search(r"^\s+99%\s+(\S+)", out, re.M).group(1))
        bad = re.search(r"Non-2xx or 3xx responses:\s+(\d+)", out)
        errors = re.search(r"Socket errors:.*", out)
        if bad or errors:
            print(f"warning: wrk {path}: {bad.group(0) if bad else ''} "
                  f"{errors.group(0) if errors else ''}", file=sys.stderr)
        # A back end that leaves CPUs idle under load waits on hand-offs rather than on work.
        idle_after, all_after = self._cpu_times()
        idle = (idle_after - idle_before) / max(all_after - all_before, 1)
        requests = max(int(re.search(r"(\d+) requests in", out).group(1)), 1)
        tick_us = 1e6 / os.sysconf("SC_CLK_TCK")
        cpu = [(self._session_cpu(s) - before) * tick_us / requests
               for s, before in zip(sessions, cpu_before)]
        return rps, p50, p99, idle, cpu

    def _web_rounds(self, port):
        targets = [("runner (hello.zr)", "/hello.zr"), ("C binary (hello.cgi)", "/hello.cgi"),
                   ("spawn_relay floor (hello.relay)", "/hello.relay"), ("perl", "/hello.pl"),
                   ("python3", "/hello.py"), ("php-cgi", "/hello.php")]
        if (self.tools / "hello_cgi_musl").exists():
            targets.insert(2, ("C binary, musl (hello.musl)", "/hello.musl"))
        for _ in range(100):
            try:
                self._fetch(port, "/hello.cgi")
                break
            except OSError:
                time.sleep(0.05)
        for name, path in targets:
            reply = self._fetch(port, path)
            if " 200 " not in reply.splitlines()[0] or "Hello, world!" not in reply:
                raise RuntimeError(f"{name} through lighttpd: {reply[:300]!r}")
        rounds = 2 if self.quick else 3
        seconds = 2 if self.quick else 3
        for connections in (8, 32):
            results = {name: [] for name, _ in targets}
            for round_ in range(rounds):
                # Each round visits every target, starting one further on.
                for k in range(len(targets)):
                    name, path = targets[(round_ + k) % len(targets)]
                    results[name].append(self._wrk(port, path, connections, seconds))
            c_rps = [r[0] for r in results["C binary (hello.cgi)"]]
            for name, _ in targets:
                rows = results[name]
                rps = statistics.median(r[0] for r in rows)
                p50 = statistics.median(r[1] for r in rows)
                p99 = statistics.median(r[2] for r in rows)
                ratios = self.per_round_ratios([r[0] for r in rows], c_rps)
                target = ""
                if name.startswith("runner"):
                    target = ">= 0.6x C binary; ahead of perl, python3, php-cgi"
                self.add(f"lighttpd + wrk, {connections} connections", name,
                         text=(f"{rps:.0f} req/s",
                               f"p50 {p50:.2f} ms, p99 {p99:.2f} ms ({rounds}x{seconds} s)"),
                         ratio=(statistics.median(ratios), ratios[0], ratios[-1]),
                         target=target or "(ratio: req/s vs C binary)")
            # The runner against each interpreter directly, round by round.
            runner_rps = [r[0] for r in results["runner (hello.zr)"]]
            for other in ("perl", "python3", "php-cgi"):
                ratios = self.per_round_ratios(runner_rps, [b[0] for b in results[other]])
                self.add(f"lighttpd + wrk, {connections} connections", f"runner / {other}",
                         text=("", f"req/s, {rounds} rounds"),
                         ratio=(statistics.median(ratios), ratios[0], ratios[-1]),
                         target="> 1x")

    def process_start(self):
        """What a server that stays running can do per request: copy itself (fork) or lend its
        memory until the exec (vfork). The FastCGI server vfork-execs the cached executable."""
        print("process start from a server-sized process", file=sys.stderr)
        runs = 30 if self.quick else 200
        done = subprocess.run([str(self.tools / "process_start"), "-n", str(runs), "-m", "8",
                               str(self.tools / "hello_cgi")],
                              capture_output=True, text=True, timeout=600, check=True)
        r = self.parse_rounds(done.stdout)
        section = "process start from an 8 MB process"
        for name, measure in (("fork_exit", "fork, the child exits"),
                              ("vfork_exit", "vfork, the child exits"),
                              ("fork_exec", "fork + exec of the static C hello")):
            self.add(section, measure, r["time"][name])
        self.add(section, "vfork + exec of the static C hello", r["time"]["vfork_exec"],
                 ratio=self.ratio(r, "vfork_exec", "fork_exec"), target="(ratio: vs fork + exec)")

    def fastcgi(self):
        fastcgi_bench.run(self, HELLO_LINE)

    # ----- in-process ----------------------------------------------------------------------

    def inprocess(self):
        print("in-process (Google Benchmark)", file=sys.stderr)
        program = self.tools / "inprocess_bench"
        done = subprocess.run([program, "--benchmark_format=json",
                               f"--benchmark_repetitions={3 if self.quick else 9}",
                               "--benchmark_report_aggregates_only=true",
                               "--benchmark_min_time=0.1" if self.quick else
                               "--benchmark_min_time=0.3"],
                              capture_output=True, text=True, timeout=600, check=True)
        report = json.loads(done.stdout)
        for b in report["benchmarks"]:
            if b.get("aggregate_name") != "median":
                continue
            name = b["run_name"].replace("BM_", "")
            text = f"{b['real_time']:.3f} {b['time_unit']}"
            spread = ""
            if "bytes_per_second" in b:
                spread = f"{b['bytes_per_second'] / 1e6:.0f} MB/s"
            self.add("in-process (median of repetitions)", name, text=(text, spread))

    # ----- report --------------------------------------------------------------------------

    def machine(self):
        model = ""
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
        return (f"- nproc: {os.cpu_count()}\n- CPU: {model}\n"
                f"- kernel: {platform.release()}\n"
                f"- date: {datetime.datetime.now().astimezone().strftime('%Y-%m-%d %H:%M %Z')}\n")

    def table(self):
        lines = ["| section | measure | median | spread (q1-q3) | ratio (median, q1-q3) | target |",
                 "|---|---|---|---|---|---|"]
        # Rows grouped by section, in the order the sections first appear.
        order = list(dict.fromkeys(row[0] for row in self.rows))
        for row in sorted(self.rows, key=lambda row: order.index(row[0])):
            lines.append("| " + " | ".join(row) + " |")
        return "\n".join(lines) + "\n"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True, type=Path)
    parser.add_argument("--out", type=Path, default=None,
                        help="where the table goes (default bench/results.md for a whole run)")
    parser.add_argument("--quick", action="store_true", help="fewer runs, for a smoke test")
    parser.add_argument("--only", default="", help="comma-separated parts to run")
    args = parser.parse_args()
    parts = ["warm", "cold", "last_byte", "relay", "compile_time", "web", "process_start",
             "fastcgi", "inprocess"]
    if args.only:
        unknown = [p for p in args.only.split(",") if p not in parts]
        if unknown:
            parser.error(f"unknown part {', '.join(unknown)}; the parts are {', '.join(parts)}")
        parts = args.only.split(",")
    bench = Bench(args.build, args.quick)
    try:
        for part in parts:
            getattr(bench, part)()
    finally:
        bench.cleanup()
    quick = " --quick" if args.quick else ""
    command = f"`make bench` (bench/run_bench.py{quick})"
    if args.only:
        command = f"`python3 bench/run_bench.py --build BUILD --only {args.only}{quick}`"
    text = ("# Benchmark results\n\n" + bench.machine() +
            f"- command: {command}\n\n"
            "Whole-process figures are medians over alternating rounds; ratios are medians of "
            "per-round ratios (same run, the sides taking turns).\n\n" + bench.table())
    print(text)
    if args.out is not None:
        args.out.write_text(text)
    elif not args.only:
        (Path(__file__).parent / "results.md").write_text(text)


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
"""Measures the updater against the tools it stands in for.

Started by bench/run.sh, which builds the programs first. Every case runs its
program (A) and its baseline (B) alternately, A B A B ..., so that the noise
of a shared machine falls on both alike, and reports the medians, the median
of the pairwise ratios A/B and the peak resident set size that the kernel
accounted to each process and its waited-for children (wait4's ru_maxrss).
"""

import argparse
import json
import os
import random
import re
import shutil
import signal
import statistics
import subprocess
import sys
import time

MIB = 1024 * 1024
BROWSER_PID = "999999999"  # No such process: the copy step never waits.


def log(message):
    print(message, file=sys.stderr, flush=True)


class Runner:
    """Starts programs through bench_measure, which times them."""

    def __init__(self, measure, report, env=None):
        self.measure = measure
        self.report = report
        self.env = dict(os.environ if env is None else env)

    def run(self, argv, stdout=os.devnull, stderr=os.devnull, env=None):
        """Returns (seconds, peak RSS in KiB, exit status) as bench_measure saw them."""
        actions = [
            (os.POSIX_SPAWN_OPEN, 0, os.devnull, os.O_RDONLY, 0),
            (os.POSIX_SPAWN_OPEN, 1, stdout, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644),
            (os.POSIX_SPAWN_OPEN, 2, stderr, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644),
        ]
        command = [self.measure, self.report] + list(argv)
        pid = os.posix_spawnp(command[0], command, env or self.env, file_actions=actions)
        _, status = os.waitpid(pid, 0)
        if os.waitstatus_to_exitcode(status) != 0:
            raise RuntimeError("bench_measure failed for %s" % argv)
        with open(self.report) as report:
            seconds, peak, code = report.read().split()
        return float(seconds), int(peak), int(code)

    def sample_peak(self, argv, field="RssAnon", stderr=os.devnull):
        """Runs |argv| untimed, sampling |field| of /proc/PID/status; KiB."""
        with open(stderr, "wb") as err:
            process = subprocess.Popen(argv, stdout=subprocess.DEVNULL, stderr=err)
        peak = 0
        pattern = re.compile(r"^%s:\s+(\d+) kB" % field, re.M)
        while process.poll() is None:
            try:
                with open("/proc/%d/status" % process.pid) as status:
                    match = pattern.search(status.read())
                if match:
                    peak = max(peak, int(match.group(1)))
            except OSError:
                pass
            time.sleep(0.002)
        return peak, process.returncode


class Server:
    """norvane_test_server on 127.0.0.1, stopped with SIGTERM."""

    def __init__(self, binary, root, port, extra=()):
        self.process = subprocess.Popen(
            [binary, "--root", root, "--port", str(port)] + list(extra),
            stdout=subprocess.PIPE, text=True)
        line = self.process.stdout.readline()
        if "listening" not in line:
            raise RuntimeError("test server did not start: %r" % line)

    def stop(self):
        """Stops the server; returns its 'served' lines as dicts."""
        self.process.send_signal(signal.SIGTERM)
        out, _ = self.process.communicate(timeout=30)
        served = []
        pattern = re.compile(r'^served \{(\S+) (\S+) range "([^"]*)" status (\d+) body (\d+)\}$')
        for line in out.splitlines():
            match = pattern.match(line)
            if match:
                served.append({"method": match.group(1), "path": match.group(2),
                               "range": match.group(3), "status": int(match.group(4)),
                               "body": int(match.group(5))})
        return served


class Nginx:
    """nginx on 127.0.0.1 serving |root|, in the foreground, its files in |work|."""

    def __init__(self, root, port, work):
        os.makedirs(work, exist_ok=True)
        conf = os.path.join(work, "nginx.conf")
        # The bench runs as root with private directories: the worker must
        # read them as root too.
        user = "user root;\n" if os.geteuid() == 0 else ""
        temp = "".join("%s_temp_path %s;\n" % (kind, os.path.join(work, kind))
                       for kind in ("client_body", "proxy", "fastcgi", "uwsgi", "scgi"))
        with open(conf, "w") as out:
            out.write("%sworker_processes 1;\npid %s;\nerror_log %s;\n"
                      "events { worker_connections 64; }\n"
                      "http {\naccess_log off;\nsendfile on;\n"
                      "default_type application/octet-stream;\n%s"
                      "server { listen 127.0.0.1:%d; root %s; }\n}\n" % (
                          user, os.path.join(work, "nginx.pid"),
                          os.path.join(work, "error.log"), temp, port, root))
        self.process = subprocess.Popen(
            ["nginx", "-p", work, "-e", os.path.join(work, "error.log"), "-c", conf,
             "-g", "daemon off;"])
        for _ in range(100):
            result = subprocess.run(["curl", "-s", "-o", "/dev/null", "-w", "%{http_code}",
                                     "http://127.0.0.1:%d/" % port],
                                    capture_output=True, text=True)
            if result.stdout not in ("", "000"):
                return
            time.sleep(0.1)
        raise RuntimeError("nginx did not start")

    def stop(self):
        self.process.terminate()
        self.process.wait(timeout=30)


def median(values):
    return statistics.median(values)


def human_seconds(seconds):
    if seconds >= 1:
        return "%.3f s" % seconds
    if seconds >= 1e-3:
        return "%.2f ms" % (seconds * 1e3)
    return "%.1f µs" % (seconds * 1e6)


def mib(kib):
    return "%.1f MiB" % (kib / 1024.0)


class Bench:
    def __init__(self, options):
        self.options = options
        self.build = os.path.abspath(options.build)
        self.data = os.path.abspath(options.data)
        self.source = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
        self.port = options.port
        self.www = os.path.join(self.data, "www")
        self.tmp = os.path.join(self.data, "tmp")
        for directory in (self.www, self.tmp, os.path.join(self.www, "update"),
                          os.path.join(self.www, "packages"), os.path.join(self.www, "pkg")):
            os.makedirs(directory, exist_ok=True)
        self.runner = Runner(self.binary("bench/bench_measure"),
                             os.path.join(self.data, "measure.txt"))
        self.rows = []   # Markdown rows of the main table.
        self.notes = []  # Extra tables and lines.
        self.server = None
        self.rng = random.Random(20261208)

    # Helpers ------------------------------------------------------------

    def creation_cost(self):
        """Microseconds to create one empty file in the data directory."""
        probe = os.path.join(self.data, "probe")
        os.makedirs(probe)
        start = time.perf_counter()
        for index in range(500):
            os.close(os.open(os.path.join(probe, "f%d" % index), os.O_CREAT | os.O_WRONLY, 0o644))
        cost = (time.perf_counter() - start) / 500 * 1e6
        self.remove(probe)
        return cost

    def binary(self, name):
        return os.path.join(self.build, name)

    def url(self, path, port=None):
        return "http://127.0.0.1:%d%s" % (port or self.port, path)

    def pairs_for(self, default, large=False):
        if self.options.quick:
            return self.options.pairs or 5
        if large and self.options.large_pairs:
            return self.options.large_pairs
        return self.options.pairs or default

    def alternate(self, case, size, pairs, run_a, run_b, prepare=None,
                  verify=None, target_ratio=None, label_a="", label_b=""):
        """Runs A and B alternately |pairs| times and records one row."""
        times_a, times_b, rss_a, rss_b = [], [], [], []
        for index in range(pairs):
            for which, run, times, rss in (("A", run_a, times_a, rss_a),
                                           ("B", run_b, times_b, rss_b)):
                if prepare:
                    prepare(which)
                seconds, peak, status = run()
                if status != 0:
                    raise RuntimeError("%s %s run %s failed with status %d" %
                                       (case, size, which, status))
                if verify:
                    verify(which)
                times.append(seconds)
                rss.append(peak)
            log("  %s %s pair %d/%d: A %s  B %s" % (case, size, index + 1, pairs,
                                                   human_seconds(times_a[-1]),
                                                   human_seconds(times_b[-1])))
        ratios = [a / b for a, b in zip(times_a, times_b)]
        ratio = median(ratios)
        verdict = ""
        if target_ratio is not None:
            verdict = "yes" if ratio <= target_ratio else "**no**"
        row = {
            "case": case, "size": size, "pairs": pairs,
            "a": label_a, "b": label_b,
            "median_a": median(times_a), "median_b": median(times_b),
            "ratio": ratio, "ratio_q1": statistics.quantiles(ratios, n=4)[0] if len(ratios) > 1 else ratio,
            "ratio_q3": statistics.quantiles(ratios, n=4)[2] if len(ratios) > 1 else ratio,
            "target": "≤ %.2f" % target_ratio if target_ratio else "",
            "met": verdict,
            "rss_a": max(rss_a), "rss_b": max(rss_b),
        }
        self.rows.append(row)
        log("  => median A %s, B %s, ratio %.3f, peak RSS A %s B %s" % (
            human_seconds(row["median_a"]), human_seconds(row["median_b"]),
            ratio, mib(row["rss_a"]), mib(row["rss_b"])))
        return row

    def remove(self, path):
        if os.path.lexists(path):
            subprocess.run(["rm", "-rf", path], check=True)

    def write_manifest(self, version, package_path):
        with open(os.path.join(self.www, "update", "norvane_update_linux.ini"), "w") as out:
            out.write("[ubuntu_debian_i686]\nversion=%s\nurl=%s\n" %
                      (version, self.url(package_path)))
        with open(os.path.join(self.www, "update", "norvane_check_linux.ini"), "w") as out:
            out.write("check\n")

    def fresh_installation(self, path):
        self.remove(path)
        os.makedirs(path)
        # The daily check is done: only the manifest (and package) is fetched.
        with open(os.path.join(path, "norvane_upgrade_linux.ini"), "w") as out:
            out.write("[main]\nLastUpdateTime=%d\n" % int(time.time()))
        with open(os.path.join(path, "VERSION"), "w") as out:
            out.write("Keltrin 1.0\n")

    def make_blob(self, path, size):
        if os.path.exists(path) and os.path.getsize(path) == size:
            return
        block = os.urandom(4 * MIB)
        with open(path, "wb") as out:
            left = size
            while left > 0:
                out.write(block[:min(left, len(block))])
                left -= min(left, len(block))

    # Case 1: package download ------------------------------------------

    def download_sizes(self):
        return [1, 4, 16] if self.options.quick else [64, 256, 1024]

    def case_download(self):
        log("== Case 1: package download, DownloadFile vs curl -s -o")
        target = os.path.join(self.data, "download.bin")
        trace = os.path.join(self.data, "download.log")
        # A one-byte file shows what the process needs before any body arrives.
        tiny = os.path.join(self.www, "pkg", "tiny.bin")
        self.make_blob(tiny, 1)
        floor_a = floor_b = 0
        for _ in range(5):
            self.remove(target)
            floor_a = max(floor_a, self.runner.run(
                [self.binary("bench/bench_download"), self.url("/pkg/tiny.bin"), target],
                stderr=trace)[1])
            self.remove(target)
            floor_b = max(floor_b, self.runner.run(
                ["curl", "-s", "-o", target, self.url("/pkg/tiny.bin")])[1])
        # libcurl loaded and initialised, with no transfer: what any client
        # of the library holds before its first byte.
        library_floor = max(self.runner.run([self.binary("bench/bench_curl_floor")])[1]
                            for _ in range(5))
        memory = [("1 byte", floor_a, floor_b, None)]
        for size_mib in self.download_sizes():
            size = size_mib * MIB
            name = "/pkg/blob_%d.bin" % size_mib
            self.make_blob(os.path.join(self.www, name[1:]), size)
            url = self.url(name)

            def verify(which, size=size):
                if os.path.getsize(target) != size:
                    raise RuntimeError("download %s: wrong size" % which)

            self.alternate(
                "1. download", "%d MiB" % size_mib,
                self.pairs_for(20),
                lambda url=url: self.runner.run(
                    [self.binary("bench/bench_download"), url, target], stderr=trace),
                lambda url=url: self.runner.run(["curl", "-s", "-o", target, url]),
                prepare=lambda which: self.remove(target), verify=verify,
                target_ratio=1.05, label_a="DownloadFile", label_b="curl -s -o")
            self.remove(target)
            anon, status = self.runner.sample_peak(
                [self.binary("bench/bench_download"), url, target], stderr=trace)
            self.remove(target)
            memory.append(("%d MiB" % size_mib, self.rows[-1]["rss_a"],
                           self.rows[-1]["rss_b"], anon))
        self.remove(target)
        lines = ["Download memory (peak RSS from wait4; anonymous memory sampled from "
                 "/proc/PID/status RssAnon every 2 ms in one extra run):", "",
                 "| File size | DownloadFile peak RSS | curl peak RSS | DownloadFile peak RssAnon |",
                 "|---|---|---|---|"]
        for size, a, b, anon in memory:
            lines.append("| %s | %s | %s | %s |" % (size, mib(a), mib(b),
                                                    mib(anon) if anon is not None else "-"))
        lines += ["", "libcurl loaded and initialised, one easy handle made and freed, "
                  "nothing transferred (bench_curl_floor): %s peak RSS." % mib(library_floor)]
        self.notes.append("\n".join(lines))

    # Case 2: resume ------------------------------------------------------

    def case_resume(self):
        log("== Case 2: resume after a transfer broken at 90%")
        port = self.port + 1
        target = os.path.join(self.data, "resume.bin")
        trace = os.path.join(self.data, "resume.log")
        rules = []
        sizes = self.download_sizes()
        for size_mib in sizes:
            size = size_mib * MIB
            rules += ["--break-after", "/pkg/blob_%d.bin" % size_mib, str(size * 9 // 10)]
        server = Server(self.binary("norvane_test_server"), self.www, port, rules)
        results = []
        try:
            for size_mib in sizes:
                size = size_mib * MIB
                path = "/pkg/blob_%d.bin" % size_mib
                self.make_blob(os.path.join(self.www, path[1:]), size)
                url = self.url(path, port)
                for tool in ("DownloadFile", "curl -C -"):
                    self.remove(target)
                    if tool == "DownloadFile":
                        argv = [self.binary("bench/bench_download"), url, target]
                        first = self.runner.run(argv, stderr=trace)
                        second = self.runner.run(argv, stderr=trace)
                    else:
                        first = self.runner.run(["curl", "-s", "-o", target, url])
                        second = self.runner.run(["curl", "-s", "-C", "-", "-o", target, url])
                    whole = subprocess.run(["cmp", "-s", target,
                                            os.path.join(self.www, path[1:])]).returncode == 0
                    results.append((size_mib, tool, first[2], second[2], second[0], whole))
        finally:
            served = server.stop()
            self.remove(target)
        lines = ["Resume (server --break-after at 90%; body bytes counted by the server, "
                 "in request order):", "",
                 "| Size | Client | 1st request: status, body bytes | 2nd request: Range, status, body bytes | "
                 "Missing tenth | Resumed run | File whole | Only the tenth sent |",
                 "|---|---|---|---|---|---|---|---|"]
        all_met = True
        for index, (size_mib, tool, status1, status2, seconds2, whole) in enumerate(results):
            size = size_mib * MIB
            first, second = served[2 * index], served[2 * index + 1]
            missing = size - size * 9 // 10
            met = (first["body"] == size * 9 // 10 and second["body"] == missing and
                   second["range"] == "bytes=%d-" % (size * 9 // 10) and whole and
                   status2 == 0)
            all_met = all_met and met
            lines.append("| %d MiB | %s | %d, %d (exit %d) | %s, %d, %d (exit %d) | %d | %s | %s | %s |" % (
                size_mib, tool, first["status"], first["body"], status1, second["range"],
                second["status"], second["body"], status2, missing, human_seconds(seconds2),
                "yes" if whole else "**no**", "yes" if met else "**no**"))
        self.notes.append("\n".join(lines))
        self.rows.append({"case": "2. resume", "size": ", ".join("%d MiB" % s for s in sizes),
                          "pairs": 1, "a": "DownloadFile", "b": "curl -C -",
                          "summary": "resumed request carried exactly the missing tenth: %s" %
                          ("yes" if all_met else "**no**")})

    # Case 3: full update ---------------------------------------------------

    def make_tree(self, root, count, files_per_dir=100, flat=False, empty=False):
        """|count| files: a few top-level entries, the rest 100 to a directory."""
        pool = " ".join(self.rng.choice(["keltrin", "browser", "render", "0x1f", "layout",
                                         "engine", "script", "font", "\u00e9t\u00e9", "cache",
                                         "%d" % self.rng.randrange(10000)])
                        for _ in range(20000)).encode()
        os.makedirs(root)
        made = set()
        for index in range(count):
            if flat:
                directory = root
            else:
                group = index // files_per_dir
                directory = os.path.join(root, "lib" if group % 3 == 0 else "res",
                                         "g%03d" % (group // 100), "d%02d" % (group % 100))
            if directory not in made:
                os.makedirs(directory, exist_ok=True)
                made.add(directory)
            with open(os.path.join(directory, "f%06d.dat" % index), "wb") as out:
                if not empty:
                    length = self.rng.randrange(100, 3000)
                    start = self.rng.randrange(0, len(pool) - length)
                    out.write(pool[start:start + length])
        if not empty:
            with open(os.path.join(root, "VERSION"), "w") as out:
                out.write("Keltrin 2.0\n")

    def update_sizes(self):
        if self.options.update_sizes:
            return [int(size) for size in self.options.update_sizes.split(",")]
        return [500, 2000, 5000] if self.options.quick else [2000, 20000, 100000]

    def case_full_update(self):
        log("== Case 3: full update, norvane_update_bin vs curl, tar, cp, rm by hand")
        install_a = os.path.join(self.data, "install_a")
        install_b = os.path.join(self.data, "install_b")
        script = os.path.join(self.source, "bench", "manual_update.sh")
        env = dict(os.environ, TMPDIR=self.tmp)
        for count in self.update_sizes():
            source = os.path.join(self.data, "package_src")
            self.remove(source)
            self.make_tree(source, count)
            package = "/packages/keltrin_%d.tar.gz" % count
            subprocess.run(["tar", "-czf", os.path.join(self.www, package[1:]), "-C", source, "."],
                           check=True)
            self.remove(source)
            self.write_manifest("2.0", package)

            def prepare(which):
                self.fresh_installation(install_a if which == "A" else install_b)
                if not self.options.no_settle:
                    # Nothing of the previous run or of the removal above is
                    # left to write: the updater's sync would write it out
                    # in its own time, the pipeline never waits for it.
                    os.sync()

            def verify(which, count=count):
                install = install_a if which == "A" else install_b
                with open(os.path.join(install, "VERSION")) as version:
                    if version.read() != "Keltrin 2.0\n":
                        raise RuntimeError("update %s did not install" % which)
                if which == "A":
                    with open(os.path.join(install, "norvane_update.log"), "rb") as log_file:
                        if b"update successful!" not in log_file.read():
                            raise RuntimeError("updater log lacks success")
                if os.listdir(self.tmp):
                    raise RuntimeError("temporary directory left behind by %s" % which)

            run_updater = lambda: self.runner.run(
                [self.binary("norvane_update_bin"), "1.0", install_a, BROWSER_PID], env=env)
            old = self.options.baseline_updater
            if old:
                # Another build of the updater (the one before a change), run
                # alike on its own installation, instead of the pipelines.
                baselines = [("3. full update, against the updater before",
                              [old, "1.0", install_b, BROWSER_PID], None)]
            else:
                # The pipeline as it is; followed by a sync, as the updater's
                # copy is on disk when it ends; and with tar and cp listing
                # every file into a log, as the updater has them do.
                pipeline = ["bash", script, self.url(""), install_b, self.tmp]
                baselines = [
                    ("3. full update", pipeline, 1.05 if count <= 2000 else 1.10),
                    ("3. full update, baseline followed by sync", pipeline + ["sync"], None),
                    ("3. full update, baseline with listings", pipeline + ["listing"], None),
                ]
            for case, argv, target in baselines:
                self.alternate(
                    case, "%d files" % count,
                    self.pairs_for(20, large=count >= 100000), run_updater,
                    lambda argv=argv: self.runner.run(argv, env=env),
                    prepare=prepare, verify=verify, target_ratio=target,
                    label_a="norvane_update_bin",
                    label_b="the updater before" if old else
                    " ".join(["manual_update.sh"] + argv[5:]))
            self.remove(install_a)
            self.remove(install_b)
            os.remove(os.path.join(self.www, package[1:]))

    # Case 4: DeletePath ------------------------------------------------------

    def delete_sizes(self):
        return [2000, 10000, 30000] if self.options.quick else [10000, 100000, 300000]

    def case_delete(self):
        log("== Case 4: DeletePath vs rm -rf")
        victim = os.path.join(self.data, "victim")
        memory = []
        for count in self.delete_sizes():
            for shape in ("tree", "flat"):
                template = os.path.join(self.data, "template")
                self.remove(template)
                self.make_tree(template, count, flat=shape == "flat", empty=True)

                def prepare(which, template=template):
                    self.remove(victim)
                    subprocess.run(["cp", "-r", template, victim], check=True)

                def verify(which):
                    if os.path.lexists(victim):
                        raise RuntimeError("delete %s left the tree" % which)

                pairs = self.pairs_for(20, large=count >= 300000)
                if shape == "flat":
                    pairs = min(pairs, 3)
                row = self.alternate(
                    "4. delete (%s)" % shape, "%d files" % count, pairs,
                    lambda: self.runner.run([self.binary("bench/bench_delete_path"), victim]),
                    lambda: self.runner.run(["rm", "-rf", victim]),
                    prepare=prepare, verify=verify,
                    target_ratio=1.2 if shape == "tree" else None,
                    label_a="DeletePath", label_b="rm -rf")
                memory.append((count, shape, row["rss_a"], row["rss_b"]))
                if shape == "tree":
                    # The same walk without removing anything, against the
                    # listings alone: the difference is what the status call
                    # for every entry costs.
                    subprocess.run(["cp", "-r", template, victim], check=True)
                    self.alternate(
                        "4. walk of the tree, status calls vs none", "%d files" % count,
                        pairs,
                        lambda: self.runner.run([self.binary("bench/bench_delete_path"),
                                                 "--walk", victim]),
                        lambda: self.runner.run([self.binary("bench/bench_delete_path"),
                                                 "--list", victim]),
                        label_a="walk with status calls", label_b="listings alone")
                    self.remove(victim)
                self.remove(template)
        lines = ["DeletePath memory by tree shape (tree: 100 files per directory, "
                 "directories two levels deep; flat: every file in one directory):", "",
                 "| Files | Shape | DeletePath peak RSS | rm -rf peak RSS |", "|---|---|---|---|"]
        for count, shape, a, b in memory:
            lines.append("| %d | %s | %s | %s |" % (count, shape, mib(a), mib(b)))
        self.notes.append("\n".join(lines))

    # Case 5: no-update run --------------------------------------------------

    def case_no_update(self):
        log("== Case 5: the no-update run vs curl fetching the manifest")
        install = os.path.join(self.data, "install_current")
        self.fresh_installation(install)
        self.write_manifest("2.0", "/packages/none.tar.gz")
        manifest_copy = os.path.join(self.data, "manifest_copy.ini")
        expected = b"current version: 2.0, local version: 2.0\n"

        def verify(which):
            if which == "A":
                with open(os.path.join(install, "norvane_update.log"), "rb") as log_file:
                    text = log_file.read()
                if expected not in text or b"GET /update/norvane_check_linux.ini" in text:
                    raise RuntimeError("no-update run did something else:\n%s" % text)

        self.alternate(
            "5. no-update run", "manifest only", self.pairs_for(40),
            lambda: self.runner.run([self.binary("norvane_update_bin"), "2.0", install,
                                     BROWSER_PID]),
            lambda: self.runner.run(["curl", "-s", "-o", manifest_copy,
                                     self.url("/update/norvane_update_linux.ini")]),
            verify=verify, target_ratio=1.5,
            label_a="norvane_update_bin", label_b="curl -s -o manifest")
        self.remove(install)

    # Case 6: micro-benchmarks -----------------------------------------------

    def write_ini(self, path, size):
        rng = random.Random(size)
        words = ["alpha", "beta", "gamma", "keltrin", "2.0.1", "http://127.0.0.1/x",
                 "Gr\u00f6\u00dfe", "\u043e\u0431\u043d\u043e\u0432\u043b\u0435\u043d\u0438\u0435",
                 "\u66f4\u65b0", "value", "path/to/file", "true", "42"]
        out = []
        length = 0
        section = 0
        while length < size:
            lines = ["[section_%d]" % section, "; settings of group %d" % section]
            for key in range(rng.randrange(5, 30)):
                value = " ".join(rng.choice(words) for _ in range(rng.randrange(1, 8)))
                lines.append("key_%d=%s" % (key, value))
            lines.append("")
            text = "\n".join(lines) + "\n"
            out.append(text)
            length += len(text.encode())
            section += 1
        data = "".join(out).encode()
        with open(path, "wb") as ini:
            ini.write(data)

    def case_micro(self):
        log("== Case 6: micro-benchmarks (Google Benchmark; configparser and iconv as anchors)")
        ini_dir = os.path.join(self.data, "ini")
        os.makedirs(ini_dir, exist_ok=True)
        files = {"1KiB": "ini_1k.ini", "1MiB": "ini_1m.ini", "10MiB": "ini_10m.ini"}
        self.write_ini(os.path.join(ini_dir, "ini_1k.ini"), 1024)
        self.write_ini(os.path.join(ini_dir, "ini_1m.ini"), MIB)
        self.write_ini(os.path.join(ini_dir, "ini_10m.ini"), 10 * MIB)
        # Each repetition runs both sides once: 20 pairs, as for the other
        # cases, with a short minimum time each.
        repetitions = 3 if self.options.quick else 20
        min_time = "0.05" if self.options.quick else "0.1"
        timer = os.path.join(self.source, "bench", "configparser_time.py")
        env = dict(os.environ, NORVANE_BENCH_INI_DIR=ini_dir)
        micro = {}
        parser = {}
        for repetition in range(repetitions):
            result = subprocess.run(
                [self.binary("bench/bench_micro"), "--benchmark_format=json",
                 "--benchmark_min_time=%s" % min_time],
                env=env, check=True, capture_output=True, text=True)
            for bench in json.loads(result.stdout)["benchmarks"]:
                scale = {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0}[bench["time_unit"]]
                # CPU time on both sides: other processes on the machine
                # stretch wall time far more than the time spent working.
                micro.setdefault(bench["name"], []).append(bench["cpu_time"] * scale)
            result = subprocess.run(
                [sys.executable, timer, min_time] +
                [os.path.join(ini_dir, name) for name in files.values()],
                check=True, capture_output=True, text=True)
            for name, seconds in json.loads(result.stdout).items():
                parser.setdefault(name, []).append(seconds)
            log("  micro repetition %d/%d done" % (repetition + 1, repetitions))
        for label, name in files.items():
            a = micro["BM_IniLoad/%s" % label]
            b = parser[name]
            speedups = [pb / pa for pa, pb in zip(a, b)]
            speedup = median(speedups)
            self.rows.append({
                "case": "6. IniDocument::Load", "size": label, "pairs": repetitions,
                "a": "IniDocument::Load", "b": "configparser",
                "median_a": median(a), "median_b": median(b), "ratio": median(
                    [pa / pb for pa, pb in zip(a, b)]),
                "target": "≤ 0.10 (10x faster)", "met": "yes" if speedup >= 10 else "**no**",
                "rss_a": None, "rss_b": None})
        for text in ("ascii", "non_ascii"):
            for length in (32, 65536):
                a = micro["BM_WideToUtf8/%s/%d" % (text, length)]
                b = micro["BM_Iconv/%s/%d" % (text, length)]
                ratio = median([pa / pb for pa, pb in zip(a, b)])
                self.rows.append({
                    "case": "6. WideToUtf8", "size": "%s, %d chars" % (text, length),
                    "pairs": repetitions, "a": "WideToUtf8", "b": "iconv",
                    "median_a": median(a), "median_b": median(b), "ratio": ratio,
                    "target": "≤ 1.00", "met": "yes" if ratio <= 1.0 else "**no**",
                    "rss_a": None, "rss_b": None})

    # Case 7: delta update -----------------------------------------------------

    # Two consecutive releases of a large program that Debian's archive and
    # its security updates both carry.
    DELTA_PACKAGE = "libreoffice-core"
    DELTA_OLD = "4:7.4.7-1+deb12u13"
    DELTA_NEW = "4:7.4.7-1+deb12u14"

    def release_tree(self, version, tree):
        """Unpacks DELTA_PACKAGE at |version|, fetched with apt-get, into
        |tree| without its links: a package may not ship any."""
        debs = os.path.join(self.data, "debs", version.replace(":", "_"))
        os.makedirs(debs, exist_ok=True)
        if not os.listdir(debs):
            subprocess.run(["apt-get", "download", "-q", "%s=%s" % (self.DELTA_PACKAGE, version)],
                           cwd=debs, check=True, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL)
        deb = os.path.join(debs, os.listdir(debs)[0])
        self.remove(tree)
        os.makedirs(tree)
        subprocess.run(["dpkg-deb", "-x", deb, tree], check=True)
        subprocess.run(["find", tree, "-type", "l", "-delete"], check=True)
        return deb

    def case_delta_update(self):
        log("== Case 7: delta update vs full update of the same release, from nginx")
        old_tree = os.path.join(self.data, "delta_old")
        new_tree = os.path.join(self.data, "delta_new")
        self.release_tree(self.DELTA_OLD, old_tree)
        self.release_tree(self.DELTA_NEW, new_tree)
        old_version = self.DELTA_OLD.split(":")[-1]
        new_version = self.DELTA_NEW.split(":")[-1]
        packages = os.path.join(self.www, "packages")
        old_package = os.path.join(packages, "office_old.tar.gz")
        new_package = os.path.join(packages, "office_new.tar.gz")
        delta = os.path.join(packages, "office.delta.tar.gz")
        for tree, package in ((old_tree, old_package), (new_tree, new_package)):
            subprocess.run(["tar", "-czf", package, "-C", tree, "."], check=True)
        self.remove(delta)
        started = time.perf_counter()
        made = subprocess.run([self.binary("norvane_publish"), "delta", "--from", old_package,
                               "--to", new_package, "--out", delta],
                              check=True, capture_output=True, text=True)
        delta_seconds = time.perf_counter() - started
        changed = []
        largest = 0
        for directory, _, names in os.walk(new_tree):
            for name in names:
                path = os.path.join(directory, name)
                relative = os.path.relpath(path, new_tree)
                largest = max(largest, os.path.getsize(path))
                old_path = os.path.join(old_tree, relative)
                if not (os.path.exists(old_path) and
                        subprocess.run(["cmp", "-s", path, old_path]).returncode == 0):
                    changed.append(relative)
        files = sum(len(names) for _, _, names in os.walk(new_tree))
        full_bytes = os.path.getsize(new_package)
        delta_bytes = os.path.getsize(delta)
        delta_share = delta_bytes / full_bytes
        sha256, full_sha256 = [
            subprocess.run(["sha256sum", path], check=True, capture_output=True,
                           text=True).stdout.split()[0] for path in (delta, new_package)]
        nginx_port = self.port + 2
        nginx = Nginx(self.www, nginx_port, os.path.join(self.data, "nginx"))
        install_a = os.path.join(self.data, "install_a")
        install_b = os.path.join(self.data, "install_b")
        env = dict(os.environ, TMPDIR=self.tmp)
        manifest = os.path.join(self.www, "update", "norvane_update_linux.ini")

        def prepare(which):
            install = install_a if which == "A" else install_b
            self.remove(install)
            subprocess.run(["cp", "-a", old_tree, install], check=True)
            with open(os.path.join(install, "norvane_upgrade_linux.ini"), "w") as out:
                out.write("[main]\nLastUpdateTime=%d\n" % int(time.time()))
            with open(manifest, "w") as out:
                # Size and digest, as every signed manifest has them.
                out.write("[ubuntu_debian_i686]\nversion=%s\nurl=%s\nsize=%d\nsha256=%s\n" % (
                    new_version, self.url("/packages/office_new.tar.gz", nginx_port), full_bytes,
                    full_sha256))
                if which == "A":
                    out.write("delta_from=%s\ndelta_url=%s\ndelta_sha256=%s\ndelta_size=%d\n" % (
                        old_version, self.url("/packages/office.delta.tar.gz", nginx_port),
                        sha256, delta_bytes))
            # The copy just made is on disk before the run, whose sync would
            # otherwise write it out too.
            subprocess.run(["sync"], check=True)

        def verify(which):
            install = install_a if which == "A" else install_b
            with open(os.path.join(install, "norvane_update.log"), "rb") as log_file:
                text = log_file.read()
            if b"update successful!" not in text:
                raise RuntimeError("update %s did not install" % which)
            if (b"made the update from the delta" in text) != (which == "A"):
                raise RuntimeError("update %s took the wrong way" % which)
            for relative in changed:
                if subprocess.run(["cmp", "-s", os.path.join(new_tree, relative),
                                   os.path.join(install, relative)]).returncode != 0:
                    raise RuntimeError("update %s left %s unlike the release" % (which, relative))
            if os.listdir(self.tmp):
                raise RuntimeError("temporary directory left behind by %s" % which)

        def run(install):
            return self.runner.run([self.binary("norvane_update_bin"), old_version, install,
                                    BROWSER_PID], env=env)
        try:
            row = self.alternate(
                "7. delta update", "%s %s to %s, %d files" % (
                    self.DELTA_PACKAGE, old_version, new_version, files),
                self.pairs_for(20), lambda: run(install_a), lambda: run(install_b),
                prepare=prepare, verify=verify, target_ratio=0.6,
                label_a="with the delta", label_b="with the full package")
        finally:
            nginx.stop()
        bound = largest / 1024 + 32 * 1024
        self.notes.append(
            "Case 7: %s, %s to %s: %d files, %d changed, largest %s. Full package %d bytes, "
            "delta %d bytes: **%.1f %%** of it (aim ≤ 20 %%: %s); `norvane_publish delta` took %.0f s "
            "(%s). Peak RSS of the delta update %s against the bound of the largest file + "
            "32 MiB, %s: %s; of the full update %s." % (
                self.DELTA_PACKAGE, old_version, new_version, files, len(changed), mib(largest / 1024),
                full_bytes, delta_bytes, 100 * delta_share,
                "yes" if delta_share <= 0.20 else "**no**", delta_seconds,
                made.stdout.strip().split(": ", 1)[-1], mib(row["rss_a"]), mib(bound),
                "yes" if row["rss_a"] <= bound else "**no**", mib(row["rss_b"])))
        for path in (install_a, install_b, old_tree, new_tree, old_package, new_package, delta):
            self.remove(path)

    # Report -------------------------------------------------------------------

    def report(self):
        lines = ["| Case | Size | Pairs | A | B | Median A | Median B | Median ratio A/B "
                 "(IQR) | Target | Met | Peak RSS A | Peak RSS B |",
                 "|---|---|---|---|---|---|---|---|---|---|---|---|"]
        for row in self.rows:
            if "summary" in row:
                lines.append("| %s | %s | %d | %s | %s | | | %s | | | | |" % (
                    row["case"], row["size"], row["pairs"], row["a"], row["b"], row["summary"]))
                continue
            iqr = ""
            if "ratio_q1" in row and row["pairs"] > 1:
                iqr = " (%.2f–%.2f)" % (row["ratio_q1"], row["ratio_q3"])
            lines.append("| %s | %s | %d | %s | %s | %s | %s | %.3f%s | %s | %s | %s | %s |" % (
                row["case"], row["size"], row["pairs"], row["a"], row["b"],
                human_seconds(row["median_a"]), human_seconds(row["median_b"]),
                row["ratio"], iqr, row["target"], row["met"],
                mib(row["rss_a"]) if row["rss_a"] else "", mib(row["rss_b"]) if row["rss_b"] else ""))
        text = "\n".join(lines) + "\n\n" + "\n\n".join(self.notes) + "\n"
        print(text)
        if self.options.output:
            with open(self.options.output, "w") as out:
                out.write(text)


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--build", required=True, help="build directory")
    parser.add_argument("--data", required=True, help="scratch directory for bench data")
    parser.add_argument("--port", type=int, required=True,
                        help="port the updater was built for; port+1 is used too")
    parser.add_argument("--quick", action="store_true", help="small sizes, few pairs")
    parser.add_argument("--pairs", type=int, default=0, help="pairs per case (default 20)")
    parser.add_argument("--large-pairs", type=int, default=10,
                        help="pairs for the largest size of cases 3 and 4 (default 10)")
    parser.add_argument("--baseline-updater", default="",
                        help="case 3 compares with this updater build instead of the pipelines")
    parser.add_argument("--no-settle", action="store_true",
                        help="case 3 starts each run without first syncing what the "
                             "previous run and the removal of its installation left")
    parser.add_argument("--update-sizes", default="",
                        help="comma-separated file counts for case 3 (default 2000,20000,100000)")
    parser.add_argument("--cases", default="1,2,3,4,5,6,7", help="comma-separated case numbers")
    parser.add_argument("--output", help="also write the tables to this file")
    options = parser.parse_args()

    bench = Bench(options)
    cases = {"1": bench.case_download, "2": bench.case_resume, "3": bench.case_full_update,
             "4": bench.case_delete, "5": bench.case_no_update, "6": bench.case_micro,
             "7": bench.case_delta_update}
    server = Server(bench.binary("norvane_test_server"), bench.www, bench.port)
    started = time.time()
    log("creating files in %s: %.0f µs per empty file" % (bench.data, bench.creation_cost()))
    try:
        for case in options.cases.split(","):
            cases[case.strip()]()
    finally:
        server.stop()
    bench.report()
    log("bench took %.0f s" % (time.time() - started))


if __name__ == "__main__":
    main()

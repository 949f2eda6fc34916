#!/usr/bin/env python3
"""Soak: isapi-server with the module under a long wrk load (1,000,000
requests by default), with its resident memory and open descriptors read
before the load, after each slice of it, and at the end.

Memory is judged from the first slice on (the first requests warm the
allocator and the cp932 tables); a server that leaks per request grows
with every slice. Exits 1 when memory grows by more than --max-growth-kib
between the first and the last slice, or when descriptors are left open.

usage: bench/soak.py --build BUILD_DIR [--requests 1000000] [--slice 5]
                     [--connections 32] [--threads N] [--results FILE]
The memory readings and the summary replace this script's section of
bench/RESULTS.md (--results names another file).
"""

import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

from bench_support import (PAGE, PATH, Report, add_results_option, memory_kib,
                           open_descriptors, start_isapi_server, stop, write_installation)


def wrk_slice(url, seconds, connections):
    """Runs wrk for `seconds`; returns (requests, failures)."""
    out = subprocess.run(["wrk", "-t1", f"-c{connections}", f"-d{seconds}s", url],
                         check=True, capture_output=True, text=True).stdout
    requests = int(re.search(r"(\d+) requests in", out).group(1))
    failures = 0
    bad = re.search(r"Non-2xx or 3xx responses: (\d+)", out)
    if bad:
        failures += int(bad.group(1))
    errors = re.search(r"Socket errors: connect (\d+), read (\d+), write (\d+), timeout (\d+)", out)
    if errors:
        failures += sum(int(n) for n in errors.groups())
    return requests, failures


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--build", required=True, help="CMake build directory (Release)")
    parser.add_argument("--requests", type=int, default=1_000_000)
    parser.add_argument("--slice", type=int, default=5, help="seconds per wrk run")
    parser.add_argument("--connections", type=int, default=32)
    parser.add_argument("--threads", type=int, help="isapi-server --threads")
    parser.add_argument("--max-growth-kib", type=int, default=512)
    add_results_option(parser)
    args = parser.parse_args()

    tmp = tempfile.mkdtemp(prefix="isapi-soak-")
    server = None
    try:
        write_installation(os.path.join(tmp, "ins"), PAGE)
        env = dict(os.environ, ORVANE_INSDIR=os.path.join(tmp, "ins"))
        log = open(os.path.join(tmp, "server.log"), "w")
        # One process (no worker under a master), whose memory and
        # descriptors are read below.
        port, server = start_isapi_server(
            args.build, os.path.join(args.build, "extension", "orvanehp.so"), env, log,
            args.threads, ("--workers", "0"))
        url = f"http://127.0.0.1:{port}{PATH}"
        pid = server.pid
        start_rss, start_fds = memory_kib([pid]), open_descriptors(pid)
        report = Report(args.results)
        report.line("| requests | RSS KiB | descriptors |")
        report.line("|---:|---:|---:|")
        report.line(f"| 0 | {start_rss} | {start_fds} |")
        done = failures = 0
        samples = []
        while done < args.requests:
            requests, failed = wrk_slice(url, args.slice, args.connections)
            done += requests
            failures += failed
            samples.append((done, memory_kib([pid]), open_descriptors(pid)))
            report.line(f"| {done} | {samples[-1][1]} | {samples[-1][2]} |")
        # wrk's connections close just after it exits; give the server a
        # moment to see them go before the last count.
        deadline = time.time() + 5
        while open_descriptors(pid) != start_fds and time.time() < deadline:
            time.sleep(0.05)
        samples.append((done, memory_kib([pid]), open_descriptors(pid)))
        growth = samples[-1][1] - samples[0][1]
        report.line(f"{done} requests, {failures} failed; RSS {start_rss} KiB before, "
                    f"{samples[0][1]} KiB after the first slice, {samples[-1][1]} KiB at the "
                    f"end ({growth:+d} KiB since the first slice); descriptors {start_fds} "
                    f"before, {samples[-1][2]} at the end")
        report.write()
        ok = growth <= args.max_growth_kib and samples[-1][2] == start_fds and failures == 0
        return 0 if ok else 1
    finally:
        if server is not None:
            stop(server)
        shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())

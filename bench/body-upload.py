#!/usr/bin/env python3
"""Concurrent large uploads, each read back whole by the module.

--uploads clients (32) each POST --size bytes (16 MiB) of random data at
once to the probe module's /digest (tests/server/probe_module.cpp), which
reads the body (48 KiB in lpbData, the rest through ReadClient) and answers
with its length and CRC-32. Every answer is checked against what was sent.
While the uploads run, the resident memory (VmRSS) of each host's processes
is sampled every 20 ms; the table gives its peak growth over the idle host.

  isapi-server      isapi-server alone
  nginx-fcgi        nginx -> isapi-fcgi, the example site (examples/nginx),
                    isapi-fcgi's and nginx's growth on rows of their own

Needs the probe module of a build with tests (build/linux, build/bench):
  bench/body-upload.py --build build/bench
"""

import argparse
import os
import socket
import subprocess
import sys
import tempfile
import threading
import time
import zlib

from bench_support import (PATH, Report, add_results_option, children, fcgi_site, free_port,
                           memory_kib, nginx_prelude, start_isapi_server, stop, wait_for_port)


# Every upload must arrive whole within the hosts' request timeout (30 s by
# default), which a busy shared machine may not manage for all at once.
SLOW_MACHINE = ("--request-timeout", "600")


def upload(port, path, body, results, index):
    """POSTs `body` and stores the digest line of the answer, or the error."""
    try:
        with socket.create_connection(("127.0.0.1", port)) as connection:
            connection.sendall(f"POST {path} HTTP/1.1\r\nHost: bench\r\nConnection: close\r\n"
                               f"Content-Length: {len(body)}\r\n\r\n".encode() + body)
            answer = b""
            while True:
                data = connection.recv(65536)
                if not data:
                    break
                answer += data
        results[index] = answer.split(b"\r\n\r\n", 1)[-1].decode(errors="replace").strip()
    except OSError as error:
        results[index] = f"error: {error}"


class PeakSampler:
    """Samples the summed VmRSS of `pids` every 20 ms until stopped."""

    def __init__(self, pids):
        self.pids = pids
        self.peak = memory_kib(pids)
        self.done = threading.Event()
        self.thread = threading.Thread(target=self.run)
        self.thread.start()

    def run(self):
        while not self.done.wait(0.02):
            self.peak = max(self.peak, memory_kib(self.pids))

    def stop(self):
        self.done.set()
        self.thread.join()
        return self.peak


def run_uploads(port, path, body, uploads, groups):
    """Runs the uploads at once; returns (elapsed s, whole answers, peak
    growth KiB per group), a group being a list of pids."""
    expected = (f"total {len(body)} available {min(len(body), 48 * 1024)} nul yes "
                f"read {len(body)} crc32 {zlib.crc32(body):08x} end TRUE")
    # A small upload first, so that threads and buffers the host makes on
    # first use count as its idle size.
    warm = [None]
    upload(port, path, body[:100000], warm, 0)
    before = {name: memory_kib(pids) for name, pids in groups.items()}
    samplers = {name: PeakSampler(pids) for name, pids in groups.items()}
    results = [None] * uploads
    threads = [threading.Thread(target=upload, args=(port, path, body, results, i))
               for i in range(uploads)]
    start = time.time()
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    elapsed = time.time() - start
    growth = {name: sampler.stop() - before[name] for name, sampler in samplers.items()}
    whole = sum(result == expected for result in results)
    for result in results:
        if result != expected:
            print(f"  unexpected answer: {result[:200]}")
            break
    return elapsed, whole, before, growth


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", required=True, help="build directory with tests")
    parser.add_argument("--uploads", type=int, default=32)
    parser.add_argument("--size", type=int, default=16 * 1024 * 1024, help="bytes per upload")
    add_results_option(parser)
    args = parser.parse_args()
    build = os.path.abspath(args.build)
    probe = os.path.join(build, "tests", "server", "probe_module.so")
    fcgi = os.path.join(build, "server", "fcgi", "isapi-fcgi")
    for needed in (probe, fcgi):
        if not os.path.exists(needed):
            sys.exit(f"missing {needed}: build with tests")
    body = os.urandom(args.size)
    report = Report(args.results)
    report.line(f"{args.uploads} concurrent uploads of {args.size} bytes each to the probe "
                "module's /digest, which reads each body whole (ReadClient) and answers its "
                "length and CRC-32; growth: peak VmRSS (sampled every 20 ms) over the idle "
                "host")
    rows = []
    with tempfile.TemporaryDirectory() as tmp:
        processes = []
        log = open(os.path.join(tmp, "servers.log"), "w")
        try:
            port, server = start_isapi_server(build, probe, dict(os.environ), log,
                                              extra_args=("--workers", "0") + SLOW_MACHINE)
            processes.append(server)
            elapsed, whole, before, growth = run_uploads(
                port, "/digest", body, args.uploads, {"isapi-server": [server.pid]})
            rows.append(("isapi-server", "isapi-server", elapsed, whole, before, growth))
            stop(server)

            socket_path = os.path.join(tmp, "fcgi.sock")
            fcgi_proc = subprocess.Popen([fcgi, "--module", probe, "--socket",
                                          f"unix:{socket_path}", "--workers", "0", *SLOW_MACHINE]
                                         + (["--allow-root"] if os.geteuid() == 0 else []),
                                         stdout=log, stderr=log)
            processes.append(fcgi_proc)
            nginx_port = free_port()
            conf = os.path.join(tmp, "nginx.conf")
            with open(conf, "w") as f:
                f.write(nginx_prelude(tmp, 1) + fcgi_site(nginx_port, socket_path) + "}\n")
            nginx = subprocess.Popen(["nginx", "-p", tmp, "-c", conf, "-e", f"{tmp}/error.log"],
                                     stdout=log, stderr=log)
            processes.append(nginx)
            wait_for_port(nginx_port, nginx, "nginx")
            deadline = time.time() + 10
            while not os.path.exists(socket_path) and time.time() < deadline:
                time.sleep(0.05)
            groups = {"isapi-fcgi": [fcgi_proc.pid], "nginx": [nginx.pid] + children(nginx.pid)}
            elapsed, whole, before, growth = run_uploads(
                nginx_port, PATH + "/digest", body, args.uploads, groups)
            for name in groups:
                rows.append(("nginx-fcgi", name, elapsed, whole, before, growth))
        finally:
            for process in processes:
                stop(process)
    report.line("| setup | process | uploads read back whole | seconds | idle MiB | "
                "peak growth MiB |")
    report.line("|---|---|---:|---:|---:|---:|")
    for setup, name, elapsed, whole, before, growth in rows:
        report.line(f"| {setup} | {name} | {whole}/{args.uploads} | {elapsed:.1f} | "
                    f"{before[name] / 1024:.1f} | {growth[name] / 1024:.1f} |")
    report.write()


if __name__ == "__main__":
    main()

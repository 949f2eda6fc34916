#!/usr/bin/env python3
"""How much an nginx worker grows for large answers and request bodies.

The installed nginx loads the build's ngx_http_isapi_module.so and serves
the probe module on a thread pool, on a Unix socket in a private prefix.
Two requests, each on a fresh worker:

- a --answer-mib MiB answer (the probe's /big, 1 KiB writes) to a client
  that reads --read-kib KiB every --read-interval seconds;
- a --post-mb MB POST (nginx spools it to a temporary file) to a page that
  ignores it, so that only what the host does with the body counts.

For each, the worker's peak resident memory (VmHWM) minus its resident
memory before the request, with the load average before and after. The
findings replace this script's section of bench/RESULTS.md (--results
names another file).

usage: bench/nginx-memory.py --build BUILD_DIR [--answer-mib 256]
                             [--post-mb 200] [--read-kib 64]
                             [--read-interval 0.002] [--results FILE]
"""

import argparse
import os
import re
import socket
import subprocess
import sys
import tempfile
import time

from bench_support import Report, add_results_option, children


def config(prefix, build):
    module = os.path.join(build, "server", "nginx", "ngx_http_isapi_module.so")
    probe = os.path.join(build, "tests", "server", "probe_module.so")
    for needed in (module, probe):
        if not os.path.exists(needed):
            sys.exit(f"missing {needed}")
    user = "user root;\n" if os.geteuid() == 0 else ""
    return (f"load_module {module};\n{user}daemon off;\nworker_processes 1;\n"
            f"pid {prefix}/nginx.pid;\nerror_log {prefix}/error.log notice;\n"
            "events { worker_connections 64; }\n"
            "http {\n  access_log off;\n  client_max_body_size 0;\n"
            f"  client_body_temp_path {prefix}/client_body;\n"
            f"  server {{ listen unix:{prefix}/nginx.sock;\n"
            f"    location /probe.dll {{ isapi {probe}; isapi_thread_pool default; }} }}\n}}\n")


def start(prefix, build):
    with open(os.path.join(prefix, "nginx.conf"), "w") as f:
        f.write(config(prefix, build))
    log = open(os.path.join(prefix, "stderr.log"), "w")
    master = subprocess.Popen(["/usr/sbin/nginx", "-p", prefix, "-c", f"{prefix}/nginx.conf",
                               "-e", f"{prefix}/error.log"],
                              stdout=log, stderr=log)
    deadline = time.time() + 10
    while time.time() < deadline:
        workers = children(master.pid)
        if workers and os.path.exists(f"{prefix}/nginx.sock"):
            return master, workers[0]
        time.sleep(0.05)
    master.kill()
    sys.exit("nginx did not start: " + open(os.path.join(prefix, "stderr.log")).read())


def memory(pid, field):
    with open(f"/proc/{pid}/status") as f:
        return int(re.search(rf"^{field}:\s+(\d+) kB", f.read(), re.M).group(1))


def connect(prefix):
    client = socket.socket(socket.AF_UNIX)
    client.connect(f"{prefix}/nginx.sock")
    return client


def read_answer(client, chunk, interval):
    received = 0
    while True:
        data = client.recv(chunk)
        if not data:
            return received
        received += len(data)
        time.sleep(interval)


def slow_answer(prefix, args):
    client = connect(prefix)
    client.sendall(f"GET /probe.dll/big?{args.answer_mib * 1024} HTTP/1.0\r\n\r\n".encode())
    return read_answer(client, args.read_kib * 1024, args.read_interval)


def large_post(prefix, args):
    size = args.post_mb * 1000 * 1000
    client = connect(prefix)
    client.sendall(f"POST /probe.dll/page HTTP/1.0\r\nContent-Length: {size}\r\n\r\n".encode())
    piece = b"p" * (1024 * 1024)
    sent = 0
    while sent < size:
        sent += client.send(piece[:min(len(piece), size - sent)])
    read_answer(client, 1024 * 1024, 0)
    return size


def measure(build, what, request, args):
    with tempfile.TemporaryDirectory(prefix="nginx-memory-") as prefix:
        master, worker = start(prefix, build)
        try:
            # One small request first, so that the worker's start-up is behind it.
            warm = connect(prefix)
            warm.sendall(b"GET /probe.dll/page HTTP/1.0\r\n\r\n")
            read_answer(warm, 65536, 0)
            before = memory(worker, "VmRSS")
            started = time.time()
            received = request(prefix, args)
            seconds = time.time() - started
            grown = memory(worker, "VmHWM") - before
        finally:
            master.terminate()
            master.wait(timeout=30)
    return f"| {what} | {received / 2**20:.1f} | {seconds:.1f} | {grown / 1024:.1f} |"


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", required=True, type=os.path.abspath)
    parser.add_argument("--answer-mib", type=int, default=256)
    parser.add_argument("--post-mb", type=int, default=200)
    parser.add_argument("--read-kib", type=int, default=64)
    parser.add_argument("--read-interval", type=float, default=0.002)
    add_results_option(parser)
    args = parser.parse_args()
    report = Report(args.results)
    report.line("nginx worker growth: peak resident memory (VmHWM) during the request minus "
                "resident memory before it; the module on nginx's thread pool")
    report.line("| request | MiB moved | seconds | worker growth, MiB |")
    report.line("|---|---:|---:|---:|")
    report.line(measure(args.build, f"{args.answer_mib} MiB answer, client reads "
                        f"{args.read_kib} KiB every {args.read_interval * 1000:g} ms",
                        slow_answer, args))
    report.line(measure(args.build, f"{args.post_mb} MB POST to a page that ignores it",
                        large_post, args))
    report.write()


if __name__ == "__main__":
    main()

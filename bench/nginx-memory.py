#!/usr/bin/env python3
"""How much an nginx worker grows for large answers and request bodies.

The installed nginx loads the build's ngx_http_isapi_module.so and serves
the probe module on a thread pool, on a Unix socket in a private prefix.
Three loads, each on a fresh worker:

- a --answer-mib MiB answer (the probe's /big, 1 KiB writes) to a client
  that reads --read-kib KiB every --read-interval seconds;
- a --post-mb MB POST (nginx spools it to a temporary file) to a page that
  ignores it, so that only what the host does with the body counts;
- --stalled-clients clients that ask for a --stalled-mib MiB answer and
  never read it, while another client asks for the probe's page every
  20 ms for --stalled-seconds, in turn on the thread pool and in the event
  loop; the slowest and p99 answer times say whether the pool's threads
  are held and whether the temporary files' writes hold up the worker.

For each, the worker's peak resident memory (VmHWM) minus its resident
memory before the load, with the load average before and after. The
findings replace this script's section of bench/RESULTS.md (--results
names another file).

usage: bench/nginx-memory.py --build BUILD_DIR [--answer-mib 256]
                             [--post-mb 200] [--read-kib 64]
                             [--read-interval 0.002] [--stalled-clients 40]
                             [--stalled-mib 8] [--stalled-seconds 5]
                             [--results FILE]
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
            f"    location /probe.dll {{ isapi {probe}; isapi_thread_pool default; }}\n"
            f"    location /loop.dll {{ isapi {probe}; }} }}\n}}\n")


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


def stalled_readers(prefix, args):
    stalled = []
    for _ in range(args.stalled_clients):
        client = connect(prefix)
        client.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 65536)
        client.sendall(f"GET /probe.dll/big?{args.stalled_mib * 1024} HTTP/1.0\r\n\r\n"
                       .encode())
        stalled.append(client)
    times = {"/probe.dll": [], "/loop.dll": []}
    received = 0
    deadline = time.time() + args.stalled_seconds
    while time.time() < deadline:
        for location, taken in times.items():
            started = time.time()
            client = connect(prefix)
            client.sendall(f"GET {location}/page HTTP/1.0\r\n\r\n".encode())
            received += read_answer(client, 65536, 0)
            client.close()
            taken.append(time.time() - started)
            time.sleep(0.02)
    for client in stalled:
        client.close()
    args.stalled_latency = {}
    for location, taken in times.items():
        taken.sort()
        args.stalled_latency[location] = (len(taken), taken[int(len(taken) * 0.99)] * 1000,
                                          taken[-1] * 1000)
    return received


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
    parser.add_argument("--stalled-clients", type=int, default=40)
    parser.add_argument("--stalled-mib", type=int, default=8)
    parser.add_argument("--stalled-seconds", type=float, default=5)
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
    report.line(measure(args.build, f"{args.stalled_clients} clients that never read "
                        f"{args.stalled_mib} MiB answers (MiB moved: the pages beside them)",
                        stalled_readers, args))
    report.line(f"The page beside the clients that never read, for {args.stalled_seconds:g} s:")
    report.line("| page | answers | p99 ms | slowest ms |")
    report.line("|---|---:|---:|---:|")
    for location, where in (("/probe.dll", "on the thread pool"), ("/loop.dll", "in the event loop")):
        report.line("| {} | {} | {:.1f} | {:.1f} |".format(where, *args.stalled_latency[location]))
    report.write()


if __name__ == "__main__":
    main()

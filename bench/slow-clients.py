#!/usr/bin/env python3
"""Slow clients against isapi-server: can others still get answers?

Several loopback source addresses (127.0.0.2, 127.0.0.3, ...) each open
as many connections as the server lets them and trickle a request header
that never ends, one byte per connection every --trickle-interval
seconds, so that no idle timer ever fires: only the request deadline
closes them. Meanwhile a client from 127.0.0.1 sends one request after
another, each on a new connection, and counts how many are answered
completely within --deadline seconds.

usage: bench/slow-clients.py --build BUILD_DIR [--addresses 8]
                             [--tries-per-address 100] [--duration 30]
                             [--trickle-interval 1] [--deadline 1]
                             [--server-threads N] [--results FILE]

Prints how many trickling connections the server kept open at first and
at the end (its request timeout, 30 s by default, closes them), and for
the client: requests sent, answered within the deadline (count and share), and
median/p99/max latency, with the load average before and after, since
other work on the machine skews every figure. The findings replace this
script's section of bench/RESULTS.md (--results names another file).
"""

import argparse
import os
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time

from bench_support import PAGE, Report, add_results_option, write_installation


def start_server(args, tmp):
    module = os.path.join(args.build, "extension", "orvanehp.so")
    server = os.path.join(args.build, "server", "http", "isapi-server")
    for needed in (module, server):
        if not os.path.exists(needed):
            sys.exit(f"missing {needed}")
    env = dict(os.environ, ORVANE_INSDIR=os.path.join(tmp, "ins"))
    # Bound to every loopback address, so that 127.0.0.x all reach it.
    command = [server, "--module", module, "--listen", "0.0.0.0:0"]
    if args.server_threads:
        command += ["--threads", str(args.server_threads)]
    if os.geteuid() == 0:
        command.append("--allow-root")
    process = subprocess.Popen(command, env=env, stdout=subprocess.PIPE,
                               stderr=open(os.path.join(tmp, "server.log"), "w"))
    line = process.stdout.readline().decode()
    if not line.startswith("listening on "):
        sys.exit(f"isapi-server did not start: {line!r}")
    return process, int(line.rsplit(":", 1)[1])


def open_tricklers(port, addresses, tries):
    """Opens up to `tries` connections from each address; returns those the
    server kept after the first bytes."""
    connections = []
    for index in range(addresses):
        source = f"127.0.0.{index + 2}"
        for _ in range(tries):
            s = socket.socket()
            s.bind((source, 0))
            try:
                s.connect(("127.0.0.1", port))
                s.sendall(b"GET / HTTP/1.1\r\nHost: t\r\nX-Trickle: ")
            except OSError:
                s.close()
                continue
            connections.append(s)
    # The server closes those over its limits right after accepting them.
    time.sleep(1)
    kept = []
    for s in connections:
        s.setblocking(False)
        try:
            if s.recv(1) == b"":
                s.close()
                continue
        except BlockingIOError:
            kept.append(s)
            continue
        except OSError:
            s.close()
            continue
        s.close()
    return kept


def trickle(connections, interval, stop):
    while not stop.is_set():
        for s in list(connections):
            try:
                s.send(b"a")
            except OSError:
                connections.remove(s)
                s.close()
        stop.wait(interval)


def fetch(port, deadline):
    start = time.monotonic()
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=deadline) as s:
            s.sendall(b"GET / HTTP/1.1\r\nHost: t\r\nConnection: close\r\n\r\n")
            data = b""
            while True:
                left = deadline - (time.monotonic() - start)
                if left <= 0:
                    return None
                s.settimeout(left)
                chunk = s.recv(65536)
                if not chunk:
                    break
                data += chunk
    except OSError:
        return None
    if not data.startswith(b"HTTP/1.1 200 "):
        return None
    return time.monotonic() - start


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--build", required=True)
    parser.add_argument("--addresses", type=int, default=8)
    parser.add_argument("--tries-per-address", type=int, default=100)
    parser.add_argument("--duration", type=float, default=30)
    parser.add_argument("--trickle-interval", type=float, default=1)
    parser.add_argument("--deadline", type=float, default=1)
    parser.add_argument("--server-threads", type=int, default=0)
    add_results_option(parser)
    args = parser.parse_args()

    tmp = tempfile.mkdtemp(prefix="isapi-slow-")
    write_installation(os.path.join(tmp, "ins"), PAGE)
    server, port = start_server(args, tmp)
    stop = threading.Event()
    try:
        report = Report(args.results)
        connections = open_tricklers(port, args.addresses, args.tries_per_address)
        report.line(f"trickling connections kept by the server: {len(connections)} "
                    f"({args.addresses} addresses x {args.tries_per_address} tries)")
        trickler = threading.Thread(target=trickle,
                                    args=(connections, args.trickle_interval, stop))
        trickler.start()
        latencies = []
        sent = 0
        end = time.monotonic() + args.duration
        while time.monotonic() < end:
            sent += 1
            latency = fetch(port, args.deadline)
            if latency is not None:
                latencies.append(latency)
        stop.set()
        trickler.join()
        report.line(f"trickling connections still open at the end: {len(connections)}")
        answered = len(latencies)
        report.line(f"client from 127.0.0.1: {sent} requests, {answered} answered within "
                    f"{args.deadline:g} s ({100.0 * answered / max(sent, 1):.2f}%)")
        if latencies:
            latencies.sort()
            p99 = latencies[min(len(latencies) - 1, int(len(latencies) * 0.99))]
            report.line(f"latency ms: median {1000 * statistics.median(latencies):.2f}, "
                        f"p99 {1000 * p99:.2f}, max {1000 * latencies[-1]:.2f}")
        report.write()
    finally:
        stop.set()
        server.terminate()
        server.wait(timeout=30)
        shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
"""Slow clients against isapi-server: can others still get answers?

Two phases, each against a fresh server with its default settings:

Tricklers. Several loopback source addresses (127.0.0.2, 127.0.0.3, ...)
each open as many connections as the server lets them and trickle a
request header that never ends, one byte per connection every
--trickle-interval seconds, so that no idle timer ever fires: only the
request deadline closes them. Meanwhile a client from 127.0.0.1 sends one
request after another, each on a new connection, and counts how many are
answered completely within --deadline seconds.

Slow readers. --readers clients each ask the probe module
(tests/server/probe_module.cpp, in a build with tests) for a
--reader-mib MiB answer (/big, 1 KiB writes) and read it at
--reader-rate bytes a second through a --reader-window receive buffer,
for --reader-duration seconds; meanwhile a
client asks for the probe's page, one request after another, each on a
new connection. Then the readers leave one at a time. Measured: the
page requests answered within --deadline seconds and their latency; the
server's resident memory (VmRSS) before and at most during; the
temporary space it holds (deleted files still open, as allocated on
disk) at most, and whether it is given back as each reader leaves.

usage: bench/slow-clients.py --build BUILD_DIR [--addresses 8]
                             [--tries-per-address 100] [--duration 30]
                             [--trickle-interval 1] [--deadline 1]
                             [--readers 16] [--reader-mib 32]
                             [--reader-rate 1024] [--reader-duration 30]
                             [--reader-window 16384]
                             [--phases tricklers,readers]
                             [--server-threads N] [--results FILE]

Prints, for the tricklers, how many connections the server kept open at
first and at the end (its request timeout, 30 s by default, closes them),
and for each phase's client: requests sent, answered within the deadline
(count and share), and median/p99/max latency, with the load average
before and after, since other work on the machine skews every figure. The
findings replace this script's section of bench/RESULTS.md (--results
names another file).
"""

import argparse
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time

from bench_support import (PAGE, Report, add_results_option, children, client_until, fetch,
                           memory_kib, start_slow_readers, write_installation)


def start_server(args, tmp, module):
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


def tricklers(args, tmp, report):
    server, port = start_server(args, tmp, os.path.join(args.build, "extension", "orvanehp.so"))
    stop = threading.Event()
    try:
        connections = open_tricklers(port, args.addresses, args.tries_per_address)
        report.line(f"trickling connections kept by the server: {len(connections)} "
                    f"({args.addresses} addresses x {args.tries_per_address} tries)")
        trickler = threading.Thread(target=trickle,
                                    args=(connections, args.trickle_interval, stop))
        trickler.start()
        client_until(port, args.deadline, time.monotonic() + args.duration, "/", report)
        stop.set()
        trickler.join()
        report.line(f"trickling connections still open at the end: {len(connections)}")
    finally:
        stop.set()
        server.terminate()
        server.wait(timeout=30)


def temporary_bytes(pids):
    """Disk space of the deleted files the processes hold open."""
    total = 0
    for pid in pids:
        fd_dir = f"/proc/{pid}/fd"
        for name in os.listdir(fd_dir):
            try:
                if os.readlink(os.path.join(fd_dir, name)).endswith(" (deleted)"):
                    total += os.stat(os.path.join(fd_dir, name)).st_blocks * 512
            except OSError:
                pass  # closed meanwhile
    return total


def slow_readers(args, tmp, report):
    probe = os.path.join(args.build, "tests", "server", "probe_module.so")
    server, port = start_server(args, tmp, probe)
    stop = threading.Event()
    readers = []
    dropped = []
    try:
        fetch(port, args.deadline, "/page")
        # The master and the worker that serves.
        pids = [server.pid] + children(server.pid)
        rss_before = memory_kib(pids)
        readers += start_slow_readers(port, f"/big?{args.reader_mib * 1024}", args.readers,
                                      args.reader_rate, args.reader_window, stop, dropped)
        peaks = {"rss": rss_before, "temporary": 0}

        def sample():
            while not stop.wait(0.25):
                peaks["rss"] = max(peaks["rss"], memory_kib(pids))
                peaks["temporary"] = max(peaks["temporary"], temporary_bytes(pids))

        sampler = threading.Thread(target=sample)
        sampler.start()
        report.line(f"slow readers: {args.readers}, each reading a {args.reader_mib} MiB answer "
                    f"(probe /big) at {args.reader_rate} bytes/s, for {args.reader_duration:g} s")
        client_until(port, args.deadline, time.monotonic() + args.reader_duration, "/page",
                     report)
        stop.set()
        sampler.join()
        report.line(f"slow readers the server closed while they read: {len(dropped)}")
        report.line(f"server memory (VmRSS): {rss_before / 1024:.1f} MiB before, "
                    f"{peaks['rss'] / 1024:.1f} MiB at most while the readers read "
                    f"(growth {(peaks['rss'] - rss_before) / 1024:.1f} MiB)")
        report.line(f"temporary space held by the server: at most "
                    f"{peaks['temporary'] / 2**20:.0f} MiB")
        # The readers leave one at a time; each takes its answer's space.
        waits = []
        for s, thread in readers:
            thread.join()
            held = temporary_bytes(pids)
            s.close()
            start = time.monotonic()
            while temporary_bytes(pids) >= held and time.monotonic() - start < 5:
                time.sleep(0.01)
            if temporary_bytes(pids) < held:
                waits.append(time.monotonic() - start)
        left = temporary_bytes(pids)
        report.line(f"as each reader left: temporary space given back for {len(waits)} of "
                    f"{len(readers)}, within {1000 * max(waits, default=0):.0f} ms at most; "
                    f"{left} bytes held after the last")
    finally:
        stop.set()
        for s, _ in readers:
            s.close()
        server.terminate()
        server.wait(timeout=30)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--build", required=True)
    parser.add_argument("--addresses", type=int, default=8)
    parser.add_argument("--tries-per-address", type=int, default=100)
    parser.add_argument("--duration", type=float, default=30)
    parser.add_argument("--trickle-interval", type=float, default=1)
    parser.add_argument("--deadline", type=float, default=1)
    parser.add_argument("--readers", type=int, default=16)
    parser.add_argument("--reader-mib", type=int, default=32)
    parser.add_argument("--reader-rate", type=int, default=1024)
    parser.add_argument("--reader-duration", type=float, default=30)
    parser.add_argument("--reader-window", type=int, default=16384,
                        help="each reader's receive buffer (SO_RCVBUF)")
    parser.add_argument("--phases", default="tricklers,readers")
    parser.add_argument("--server-threads", type=int, default=0)
    add_results_option(parser)
    args = parser.parse_args()

    tmp = tempfile.mkdtemp(prefix="isapi-slow-")
    write_installation(os.path.join(tmp, "ins"), PAGE)
    try:
        report = Report(args.results)
        phases = args.phases.split(",")
        if "tricklers" in phases:
            tricklers(args, tmp, report)
        if "readers" in phases:
            slow_readers(args, tmp, report)
        report.write()
    finally:
        shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    main()

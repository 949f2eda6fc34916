#!/usr/bin/env python3
"""isapi-fcgi against hostile FastCGI peers: what they cost everyone else.

  silent      64 peers connect and go silent (nothing, half a record header,
              half a PARAMS record) while one well-behaved client sends
              requests one after the other: its latency against the same
              client with no silent peers.
  big-params  a 100 MB parameter block: the answer, and the server's
              resident memory (VmRSS, peak VmHWM) before and after.
  management  many connections that each send a management record of an
              unknown type: resident memory and open descriptors before
              and after.

usage: bench/fcgi-hostile.py --build BUILD_DIR [--requests 200]
                             [--silent 64] [--management 10000] [--results FILE]
The server runs with its defaults (one worker per CPU, 30 s deadline) on
the notice page of examples/installation. The load average before and
after is recorded, since other work on the machine skews the latency
figures. The findings replace this script's section of bench/RESULTS.md
(--results names another file).
"""

import argparse
import os
import socket
import statistics
import struct
import subprocess
import sys
import tempfile
import time

from bench_support import SOURCE_DIR, Report, add_results_option

INSTALLATION = os.path.join(SOURCE_DIR, "examples", "installation")

BEGIN_REQUEST, PARAMS, STDIN, STDOUT, END_REQUEST = 1, 4, 5, 6, 3


def record(kind, request_id, content=b""):
    return struct.pack(">BBHHBx", 1, kind, request_id, len(content), 0) + content


def length(n):
    return bytes([n]) if n < 128 else struct.pack(">I", n | 0x80000000)


def pair(name, value):
    return length(len(name)) + length(len(value)) + name + value


def stream(kind, content):
    out = b"".join(record(kind, 1, content[at:at + 65535])
                   for at in range(0, len(content), 65535))
    return out + record(kind, 1)


def request(params):
    block = b"".join(pair(n.encode(), v.encode()) for n, v in params)
    return record(BEGIN_REQUEST, 1, struct.pack(">HB5x", 1, 0)) + stream(PARAMS, block) + \
        record(STDIN, 1)


GET = request([("REQUEST_METHOD", "GET"), ("SCRIPT_NAME", "/orvanehp.dll"),
               ("SERVER_PROTOCOL", "HTTP/1.1")])


def connect(path):
    s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    s.connect(path)
    return s


def exchange(path, data, timeout=60):
    """Sends `data`, reads until the server closes; returns STDOUT bytes and
    whether END_REQUEST came."""
    s = connect(path)
    s.settimeout(timeout)
    try:
        s.sendall(data)
        # The half close tells the server that nothing more will come.
        s.shutdown(socket.SHUT_WR)
    except (BrokenPipeError, ConnectionResetError):
        pass
    reply = b""
    while True:
        try:
            chunk = s.recv(65536)
        except ConnectionResetError:
            break
        if not chunk:
            break
        reply += chunk
    s.close()
    out, ended, at = b"", False, 0
    while at + 8 <= len(reply):
        _, kind, _, size, padding = struct.unpack(">BBHHBx", reply[at:at + 8])
        if kind == STDOUT:
            out += reply[at + 8:at + 8 + size]
        ended = ended or kind == END_REQUEST
        at += 8 + size + padding
    return out, ended


def status_of(pid):
    fields = {}
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            name, _, value = line.partition(":")
            fields[name] = value.strip()
    return fields


def descriptors(pid):
    return len(os.listdir(f"/proc/{pid}/fd"))


def latencies(path, count):
    times = []
    for _ in range(count):
        start = time.perf_counter()
        out, ended = exchange(path, GET)
        times.append(time.perf_counter() - start)
        # A plain 200 comes without a Status line.
        if not ended or out.startswith(b"Status:"):
            sys.exit("a normal request was not answered with 200")
    return times


def describe(times):
    times = sorted(times)
    return (f"median {statistics.median(times) * 1000:.2f} ms, "
            f"p99 {times[int(len(times) * 0.99) - 1] * 1000:.2f} ms, "
            f"max {times[-1] * 1000:.2f} ms")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    parser.add_argument("--requests", type=int, default=200)
    parser.add_argument("--silent", type=int, default=64)
    parser.add_argument("--management", type=int, default=10000)
    add_results_option(parser)
    args = parser.parse_args()

    binary = os.path.join(args.build, "server", "fcgi", "isapi-fcgi")
    module = os.path.join(args.build, "extension", "orvanehp.so")
    with tempfile.TemporaryDirectory() as scratch:
        path = os.path.join(scratch, "fcgi.sock")
        # The example names its files C:\Program Files\Orvane\..., so drive
        # C: is a directory holding the installation there.
        os.makedirs(os.path.join(scratch, "drive_c", "Program Files"))
        os.symlink(INSTALLATION, os.path.join(scratch, "drive_c", "Program Files", "Orvane"))
        server = subprocess.Popen(
            # One process (no worker under a master), whose memory and
            # descriptors are read below.
            [binary, "--module", module, "--socket", "unix:" + path, "--workers", "0"] +
            (["--allow-root"] if os.geteuid() == 0 else []),
            env=dict(os.environ, ORVANE_INSDIR=INSTALLATION,
                     WIN32_DRIVE_C=os.path.join(scratch, "drive_c")),
            stderr=subprocess.PIPE)
        try:
            print(server.stderr.readline().decode().strip())
            report = Report(args.results)
            report.line(f"silent: {args.requests} requests alone: "
                        f"{describe(latencies(path, args.requests))}")
            half_params = record(BEGIN_REQUEST, 1, struct.pack(">HB5x", 1, 0)) + \
                record(PARAMS, 1, pair(b"REQUEST_METHOD", b"GET"))[:12]
            silent = []
            for i in range(args.silent):
                s = connect(path)
                s.sendall([b"", b"\x01\x01\x00", half_params][i % 3])
                silent.append(s)
            times = latencies(path, args.requests)
            report.line(f"silent: {args.requests} requests beside {args.silent} silent peers: "
                        f"{describe(times)}")
            for s in silent:
                s.close()

            before = status_of(server.pid)
            big = [("REQUEST_METHOD", "GET"), ("HTTP_X_BIG", "x" * (100 * 1024 * 1024))]
            start = time.perf_counter()
            out, ended = exchange(path, request(big))
            took = time.perf_counter() - start
            after = status_of(server.pid)
            first_line = out.split(b"\r\n")[0].decode()
            report.line(f"big-params: 100 MB parameter block answered "
                        f"{first_line!r} (END_REQUEST {ended}) in {took:.2f} s; "
                        f"VmRSS {before['VmRSS']} -> {after['VmRSS']}, VmHWM {after['VmHWM']}")

            unknown = record(0x42, 0, b"whatever")
            rss_before, fds_before = status_of(server.pid)["VmRSS"], descriptors(server.pid)
            for _ in range(args.management):
                exchange(path, unknown)
            report.line(f"management: {args.management} connections with an unknown record "
                        f"type: VmRSS {rss_before} -> {status_of(server.pid)['VmRSS']}, "
                        f"descriptors {fds_before} -> {descriptors(server.pid)}")
            report.write()
        finally:
            server.terminate()
            server.wait()


if __name__ == "__main__":
    main()

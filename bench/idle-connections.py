#!/usr/bin/env python3
"""Memory of idle keep-alive connections: isapi-server with the module
against nginx serving the page statically. Each connection makes one
request, reads the whole answer and then stays open, idle. The servers'
resident memory (all nginx processes summed) is read before and after.

Connections come from many loopback source addresses (127.0.1.1 and up),
--per-address each, so a per-address connection limit does not decide the
count; a server's global limit may, and the number it held is reported.

usage: bench/idle-connections.py --build BUILD_DIR [--connections 10000]
                                 [--per-address 50] [--results FILE]
The table replaces this script's section of bench/RESULTS.md (--results
names another file).
"""

import argparse
import os
import shutil
import socket
import subprocess
import sys
import selectors
import tempfile
import time

from bench_support import (PAGE, PATH, Report, add_results_option, children, free_port,
                           memory_kib, raise_descriptor_limit, start_isapi_server, stop,
                           wait_for_port, write_installation)

REQUEST = f"GET {PATH} HTTP/1.1\r\nHost: bench\r\n\r\n".encode()


def answer_complete(data):
    """True once `data` holds a whole answer framed by Content-Length."""
    head, separator, body = data.partition(b"\r\n\r\n")
    if not separator:
        return False
    for line in head.split(b"\r\n")[1:]:
        name, _, value = line.partition(b":")
        if name.strip().lower() == b"content-length":
            return len(body) >= int(value)
    return False


def hold_connections(port, count, per_address, deadline_seconds=10):
    """Opens up to `count` connections that each got one answer; returns
    them. All are driven at once, not one after the other: opened one by
    one, the first would reach isapi-server's idle timeout (30 s) before
    the last were open, and the count would show how many fit in that
    time, not how many the server keeps. A connection the server does not
    answer within the deadline (not accepted, refused, closed) is dropped."""
    selector = selectors.DefaultSelector()
    pending = {}
    for i in range(count):
        source = f"127.0.{1 + i // per_address // 254}.{1 + i // per_address % 254}"
        sock = socket.socket()
        sock.setblocking(False)
        try:
            sock.bind((source, 0))
            sock.connect_ex(("127.0.0.1", port))
        except OSError:
            sock.close()
            continue
        pending[sock] = [False, b""]  # request sent, answer so far
        selector.register(sock, selectors.EVENT_WRITE)
    held = []
    end = time.monotonic() + deadline_seconds
    while pending and time.monotonic() < end:
        for key, _ in selector.select(timeout=max(0.0, end - time.monotonic())):
            sock = key.fileobj
            state = pending[sock]
            try:
                if not state[0]:
                    sock.send(REQUEST)  # a few bytes: one send takes them all
                    state[0] = True
                    selector.modify(sock, selectors.EVENT_READ)
                    continue
                chunk = sock.recv(65536)
            except OSError:
                chunk = b""
            if chunk:
                state[1] += chunk
                if not answer_complete(state[1]):
                    continue
                held.append(sock)
            else:
                sock.close()
            selector.unregister(sock)
            del pending[sock]
    for sock in pending:
        selector.unregister(sock)
        sock.close()
    return held


def still_open(sock):
    """True while the server keeps the connection: nothing to read, no end."""
    sock.setblocking(False)
    try:
        return sock.recv(1, socket.MSG_PEEK) != b""
    except BlockingIOError:
        return True
    except OSError:
        return False


def nginx_config(tmp, port, page, connections):
    path = os.path.join(tmp, "nginx.conf")
    temp_paths = "".join(f"  {kind}_temp_path {tmp}/{kind};\n"
                         for kind in ("client_body", "fastcgi", "proxy", "uwsgi", "scgi"))
    user = "user root;\n" if os.geteuid() == 0 else ""
    with open(path, "w") as f:
        f.write(f"""daemon off;
{user}worker_processes {os.cpu_count()};
worker_rlimit_nofile {connections + 1024};
pid {tmp}/nginx.pid;
error_log {tmp}/error.log warn;
events {{ worker_connections {connections + 1024}; }}
http {{
  access_log off;
  keepalive_timeout 300s;
  keepalive_requests 1000000;
{temp_paths}
  server {{
    listen 127.0.0.1:{port} backlog=4096;
    location = {PATH} {{
      alias {page};
      default_type text/html;
    }}
  }}
}}
""")
    return path


def measure(name, port, pids, args, report):
    before = memory_kib(pids)
    started = time.monotonic()
    opened = hold_connections(port, args.connections, args.per_address)
    after = memory_kib(pids)
    seconds = time.monotonic() - started
    held = [sock for sock in opened if still_open(sock)]
    per = (after - before) * 1024 / len(held) if held else 0
    report.line(f"| {name} | {len(held)} | {before} | {after} | {after - before} | {per:.0f} "
                f"| {seconds:.1f} |")
    for sock in opened:
        sock.close()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--build", required=True, help="CMake build directory (Release)")
    parser.add_argument("--connections", type=int, default=10_000)
    parser.add_argument("--per-address", type=int, default=50)
    add_results_option(parser)
    args = parser.parse_args()
    limit = raise_descriptor_limit()
    if limit < args.connections + 100:
        sys.exit(f"the descriptor limit ({limit}) is below the connections asked for")

    tmp = tempfile.mkdtemp(prefix="isapi-idle-")
    servers = []
    try:
        ins = os.path.join(tmp, "ins")
        write_installation(ins, PAGE)
        env = dict(os.environ, ORVANE_INSDIR=ins)
        log = open(os.path.join(tmp, "servers.log"), "w")
        server_port, server = start_isapi_server(
            args.build, os.path.join(args.build, "extension", "orvanehp.so"), env, log)
        servers.append(server)
        nginx_port = free_port()
        nginx = subprocess.Popen(
            [shutil.which("nginx") or "/usr/sbin/nginx", "-p", tmp, "-c",
             nginx_config(tmp, nginx_port, os.path.join(ins, "help", "nohp.html"),
                          args.connections), "-e", f"{tmp}/error.log"],
            stdout=log, stderr=log)
        servers.append(nginx)
        wait_for_port(nginx_port, nginx, "nginx")

        report = Report(args.results)
        report.line(f"{args.connections} connections asked for, {args.per_address} per source "
                    "address")
        report.line("| server | connections held | RSS KiB before | RSS KiB after | KiB added "
                    "| bytes per connection | seconds to open |")
        report.line("|---|---:|---:|---:|---:|---:|---:|")
        measure("isapi-server", server_port, [server.pid] + children(server.pid), args, report)
        measure("nginx", nginx_port, [nginx.pid] + children(nginx.pid), args, report)
        report.write()
    finally:
        for server in servers:
            stop(server)
        shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/env python3
"""Scale-out: three containers of the image (packaging/container) behind
Debian's nginx as load balancer, one of them taken out under load and
brought back.

1. Capacity: wrk through nginx to one node, then to all three (rounds
   alternate). The nodes, nginx and wrk share this machine's CPUs, so only
   the ratio of the two says something: how much of the machine one node
   leaves unused.
2. Failover: wrk through nginx to the three nodes for --failover-duration
   seconds. A quarter into it one node is stopped (podman stop: it drains
   and exits 0), halfway it is started again. No request may fail, and the
   node must answer requests again once it is back (counted from its
   access log).

usage: bench/scale-out.py [--image orvanehp:latest] [--rounds 2]
                          [--duration 5] [--failover-duration 20]
                          [--connections 32] [--wrk-threads 1]
                          [--results FILE]
Needs podman with runc (packaging/container/run-podman.sh), nginx and wrk;
root, as podman publishes the nodes' ports on the loopback address. The
image comes from packaging/container/build.sh.
"""

import argparse
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import threading
import time

from bench_support import (PATH, SOURCE_DIR, Report, add_results_option, free_port, run_wrk,
                           wait_for_port, wrk_command, wrk_results)

PODMAN = os.path.join(SOURCE_DIR, "packaging", "container", "run-podman.sh")
ACCESS_LINE = re.compile(r'^\S+ - - \[.*\] "GET ')


class Node:
    """One container of the image, attached: its standard output (the
    access log) is read as it is written, which tells when it listens and
    how many requests it answered."""

    def __init__(self, name, image):
        self.name = name
        self.answered = 0
        self.exit_status = None
        self.listening = threading.Event()
        self.attach([PODMAN, "run", "--name", name, "--health-interval", "disable",
                     "-p", "127.0.0.1::8080", image])
        self.port = self.published_port()

    def attach(self, command):
        self.listening.clear()
        self.process = subprocess.Popen(command, stdout=subprocess.PIPE,
                                        stderr=subprocess.DEVNULL, text=True)
        self.reader = threading.Thread(target=self.read, daemon=True)
        self.reader.start()
        if not self.listening.wait(30):
            sys.exit(f"{self.name} did not start")

    def read(self):
        for line in self.process.stdout:
            if line.startswith("listening on"):
                self.listening.set()
            elif ACCESS_LINE.match(line):
                self.answered += 1

    def published_port(self):
        out = subprocess.run(["podman", "port", self.name, "8080"], check=True,
                             capture_output=True, text=True).stdout
        return int(out.strip().rsplit(":", 1)[1])

    def stop(self):
        """podman stop (SIGTERM, drain); returns the seconds it took."""
        started = time.monotonic()
        subprocess.run(["podman", "stop", self.name], check=True, capture_output=True)
        self.process.wait()
        self.reader.join()
        self.exit_status = int(subprocess.run(
            ["podman", "inspect", "-f", "{{.State.ExitCode}}", self.name],
            check=True, capture_output=True, text=True).stdout)
        return time.monotonic() - started

    def start(self):
        self.attach([PODMAN, "start", "--attach", self.name])
        if self.published_port() != self.port:
            sys.exit(f"{self.name} came back on another port")


def nginx_config(tmp, port, nodes):
    def servers(chosen, extra):
        return "".join(f"        server 127.0.0.1:{node.port}{extra};\n" for node in chosen)
    # A node that refuses a connection is skipped for fail_timeout; the
    # request goes to the next node, so the client never sees the failure.
    path = os.path.join(tmp, "nginx.conf")
    with open(path, "w") as f:
        f.write(f"""
pid {tmp}/nginx.pid;
error_log {tmp}/error.log notice;
events {{ worker_connections 1024; }}
http {{
    access_log off;
    client_body_temp_path {tmp}/body;
    proxy_temp_path {tmp}/proxy;
    fastcgi_temp_path {tmp}/fastcgi;
    uwsgi_temp_path {tmp}/uwsgi;
    scgi_temp_path {tmp}/scgi;
    upstream three {{
{servers(nodes, " max_fails=1 fail_timeout=2s")}        keepalive 32;
    }}
    upstream one {{
{servers(nodes[:1], "")}        keepalive 32;
    }}
    server {{
        listen 127.0.0.1:{port};
        proxy_http_version 1.1;
        proxy_set_header Connection "";
        proxy_next_upstream error timeout http_502 http_503 http_504;
        proxy_connect_timeout 1s;
        location / {{ proxy_pass http://three; }}
        location /one/ {{ proxy_pass http://one/; }}
    }}
}}
""")
    return path


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--image", default="orvanehp:latest")
    parser.add_argument("--rounds", type=int, default=2)
    parser.add_argument("--duration", type=int, default=5)
    parser.add_argument("--failover-duration", type=int, default=20)
    parser.add_argument("--connections", type=int, default=32)
    parser.add_argument("--wrk-threads", type=int, default=1)
    add_results_option(parser)
    args = parser.parse_args()
    nginx = shutil.which("nginx") or "/usr/sbin/nginx"

    report = Report(args.results)
    tmp = tempfile.mkdtemp(prefix="scale-out-")
    nodes, nginx_process = [], None
    try:
        for index in range(3):
            nodes.append(Node(f"orvane-scale-{os.getpid()}-{index}", args.image))
        port = free_port()
        conf = nginx_config(tmp, port, nodes)
        nginx_process = subprocess.Popen(
            [nginx, "-p", tmp, "-c", conf, "-e", f"{tmp}/error.log", "-g", "daemon off;"])
        wait_for_port(port, nginx_process, "nginx")
        url = f"http://127.0.0.1:{port}"

        rates = {"one": [], "three": []}
        for _ in range(args.rounds):
            rates["one"].append(run_wrk(f"{url}/one{PATH}", args)[0])
            rates["three"].append(run_wrk(f"{url}{PATH}", args)[0])
        one, three = statistics.median(rates["one"]), statistics.median(rates["three"])
        report.line(f"capacity: 1 node {one:.0f} req/s, 3 nodes {three:.0f} req/s, "
              f"ratio {three / one:.2f} ({args.rounds} rounds of {args.duration} s, median)")

        load = argparse.Namespace(**{**vars(args), "duration": args.failover_duration})
        wrk = subprocess.Popen(wrk_command(f"{url}{PATH}", load), stdout=subprocess.PIPE, text=True)
        out_node = nodes[1]
        # The load run is the scenario: the node leaves a quarter into it
        # and returns halfway.
        time.sleep(args.failover_duration / 4)
        stop_seconds = out_node.stop()
        time.sleep(max(0.0, args.failover_duration / 2 - args.failover_duration / 4 - stop_seconds))
        before_return = out_node.answered
        out_node.start()
        out, _ = wrk.communicate()
        rps, p99, requests, failed = wrk_results(out)
        after_return = out_node.answered - before_return
        report.line(f"failover: {requests} requests ({rps:.0f} req/s, p99 {p99:.1f} ms), {failed} failed; "
              f"node stopped in {stop_seconds:.1f} s with exit status {out_node.exit_status}, "
              f"{after_return} requests answered after its return")
        report.line("requests per node: " + ", ".join(f"{node.name[-1]}: {node.answered}" for node in nodes))
        report.write()
        problems = []
        if failed:
            problems.append(f"{failed} requests failed")
        if out_node.exit_status != 0:
            problems.append(f"the stopped node exited with {out_node.exit_status}")
        if after_return == 0:
            problems.append("the node took no traffic after its return")
        if problems:
            sys.exit("scale-out: " + "; ".join(problems))
    finally:
        if nginx_process is not None:
            nginx_process.terminate()
            nginx_process.wait()
        if nodes:
            subprocess.run(["podman", "rm", "-f", "-v"] + [node.name for node in nodes],
                           capture_output=True)
        shutil.rmtree(tmp)


if __name__ == "__main__":
    main()

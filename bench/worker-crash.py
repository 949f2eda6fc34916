#!/usr/bin/env python3
"""Crash isolation: how much of the other clients' traffic each host serves
while the module keeps crashing.

The probe module (tests/server/probe_module.cpp) dies of SIGSEGV on /crash.
--clients clients ask for /page on kept-alive connections for --duration
seconds, while one more asks for /crash --crashes times, one every
--interval seconds. A client whose request fails (reset, 5xx) counts it and
connects again. One second after the last crash, one more client asks for
/page on a new connection and times its answer: a host that held back its
next worker (rapid-fail back-off) answers late or not at all. No process
is restarted from outside.

  isapi-server  --workers N: its master replaces each dead worker
  nginx-fcgi    nginx -> isapi-fcgi --workers N, through the example site
                (kept connections)
  nginx-isapi   nginx (N workers) with the module inside: nginx's master
                replaces a dead worker

Reported per host: the other clients' requests answered 200 out of those
made, the answer to the request after the crashes and how long it took,
and how many worker ends the host logged. For the two standalone hosts,
each logged end must name the /crash request line, as the operator would
read it.

usage: bench/worker-crash.py --build BUILD_DIR [--duration 12] [--clients 6]
                             [--crashes 10] [--interval 0.5] [--workers 1]
                             [--results FILE]
Needs nginx, and a build with the probe module (target probe_module) and
the nginx module.
"""

import argparse
import http.client
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import time

from bench_support import (Report, add_results_option, fcgi_site, free_port, nginx_prelude,
                           start_isapi_server, stop, wait_for_port)

def hammer(port, path, stop, counts):
    """Asks for `path` until `stop` is set; counts [served, failed]."""
    connection = None
    while not stop.is_set():
        try:
            if connection is None:
                connection = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
            connection.request("GET", path)
            answer = connection.getresponse()
            answer.read()
            counts[0 if answer.status == 200 else 1] += 1
        except (OSError, http.client.HTTPException):
            counts[1] += 1
            connection.close()
            connection = None


def ask_once(port, path):
    """The status of one request on a new connection (0: none), and seconds."""
    start = time.monotonic()
    try:
        connection = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
        connection.request("GET", path)
        answer = connection.getresponse()
        answer.read()
        status = answer.status
    except (OSError, http.client.HTTPException):
        status = 0  # what a crash looks like to its client
    return status, time.monotonic() - start


def crash(port, path, times, interval):
    """Asks for `path` `times` times, one every `interval` seconds; returns
    when the last was asked."""
    for i in range(times):
        asked = time.monotonic()
        ask_once(port, path)
        if i + 1 < times:
            time.sleep(max(0, asked + interval - time.monotonic()))


def measure(name, port, prefix, log_path, args, report):
    stop = threading.Event()
    counts = [[0, 0] for _ in range(args.clients)]
    clients = [threading.Thread(target=hammer, args=(port, prefix + "/page", stop, c))
               for c in counts]
    for client in clients:
        client.start()
    start = time.monotonic()
    crash(port, prefix + "/crash", args.crashes, args.interval)
    time.sleep(1)
    after_status, after_seconds = ask_once(port, prefix + "/page")
    time.sleep(max(0, start + args.duration - time.monotonic()))
    stop.set()
    for client in clients:
        client.join()
    served, failed = sum(c[0] for c in counts), sum(c[1] for c in counts)
    with open(log_path, errors="replace") as f:
        log = f.read()
    ends = log.count("died of signal 11") + log.count("exited on signal 11")
    named = log.count(f"  GET {prefix}/crash HTTP/1.1")
    report.line(f"| {name} | {served} | {served + failed} | "
                f"{100 * served / max(1, served + failed):.2f}% | {after_status or 'none'} "
                f"in {1000 * after_seconds:.0f} ms | {ends} | {named} |")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--build", required=True, help="CMake build directory")
    parser.add_argument("--duration", type=int, default=12)
    parser.add_argument("--clients", type=int, default=6)
    parser.add_argument("--crashes", type=int, default=10)
    parser.add_argument("--interval", type=float, default=0.5)
    parser.add_argument("--workers", type=int, default=1)
    add_results_option(parser)
    args = parser.parse_args()
    args.build = os.path.abspath(args.build)
    probe = os.path.join(args.build, "tests", "server", "probe_module.so")
    fcgi = os.path.join(args.build, "server", "fcgi", "isapi-fcgi")
    nginx_module = os.path.join(args.build, "server", "nginx", "ngx_http_isapi_module.so")
    nginx = shutil.which("nginx") or "/usr/sbin/nginx"
    for needed in (probe, fcgi, nginx_module, nginx):
        if not os.path.exists(needed):
            sys.exit(f"missing {needed}")

    tmp = tempfile.mkdtemp(prefix="isapi-crash-")
    processes = []
    try:
        report = Report(args.results)
        report.line(f"{args.clients} clients ask for a page while one more asks "
                    f"{args.crashes} times, every {args.interval:g} s, for a URL on which "
                    f"the module dies of SIGSEGV; {args.duration} s per host, "
                    f"{args.workers} worker(s) each, nothing restarted from outside; "
                    "1 s after the last crash, a page request on a new connection")
        report.line("| host | other requests served | made | share | request after "
                    "| worker ends logged | naming the /crash request |")
        report.line("|---|---:|---:|---:|---:|---:|---:|")

        server_log = os.path.join(tmp, "isapi-server.log")
        with open(server_log, "w") as log:
            port, server = start_isapi_server(args.build, probe, dict(os.environ), log,
                                              extra_args=("--workers", str(args.workers)))
            processes.append(server)
            measure("isapi-server", port, "", server_log, args, report)

        socket_path = os.path.join(tmp, "fcgi.sock")
        fcgi_log = os.path.join(tmp, "isapi-fcgi.log")
        nginx_log = os.path.join(tmp, "error.log")
        fcgi_port, module_port = free_port(), free_port()
        conf = os.path.join(tmp, "nginx.conf")
        with open(conf, "w") as f:
            f.write(f"load_module {nginx_module};\n" + nginx_prelude(tmp, args.workers) +
                    fcgi_site(fcgi_port, socket_path) +
                    f"  server {{ listen 127.0.0.1:{module_port}; "
                    f"location /probe.dll {{ isapi {probe}; }} }}\n}}\n")
        with open(fcgi_log, "w") as log:
            processes.append(subprocess.Popen(
                [fcgi, "--module", probe, "--socket", f"unix:{socket_path}",
                 "--workers", str(args.workers)] + (["--allow-root"] if os.geteuid() == 0 else []),
                stdout=log, stderr=log))
        nginx_proc = subprocess.Popen([nginx, "-p", tmp, "-c", conf, "-e", nginx_log])
        processes.append(nginx_proc)
        wait_for_port(fcgi_port, nginx_proc, "nginx")
        wait_for_port(module_port, nginx_proc, "nginx")
        measure("nginx-fcgi", fcgi_port, "/orvanehp.dll", fcgi_log, args, report)
        measure("nginx-isapi", module_port, "/probe.dll", nginx_log, args, report)
        report.write()
    finally:
        for process in processes:
            stop(process)
        shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    main()

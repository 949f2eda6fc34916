#!/usr/bin/env python3
"""Load benchmark: the module's page served several ways, measured with wrk.

  nginx-static         nginx serving the same page file with the module's headers
  isapi-server         the standalone HTTP host with the module
  isapi-server-baseline
                       with --baseline BUILD_DIR: the isapi-server of another
                       build (the code before a change) with the same module,
                       so that before and after share every round
  isapi-server-workers the same with a worker process per CPU, one thread each
  isapi-server-memory  the same host with bench/memory_module.cpp, which answers
                       the same bytes from memory: what hosting costs on its own
  nginx-fcgi           nginx -> isapi-fcgi (the example site in examples/nginx,
                       kept connections: fastcgi_keep_conn and upstream keepalive)
  nginx-fcgi-close     the same with a new connection per request
  nginx-php-fpm        nginx -> php-fpm (a private pool, a child per CPU, opcache)
                       running a PHP script that does the module's file work:
                       the same headers and the page file's bytes
  nginx-isapi          nginx with the module inside it (ngx_http_isapi_module)
  nginx-isapi-threads  the same on nginx's thread pool (isapi_thread_pool)
  nginx-isapi-memory   nginx with the bench-only module that answers the same
                       bytes from memory
  nginx-isapi-memory-threads
                       the same on the thread pool: what the hand-over to a
                       pool thread and back costs on its own

Rounds alternate between the setups (the order rotates each round), so a
slow moment of the machine hits all of them. Reported per setup: median
requests/s, median p99 latency and median CPU time per request of the
server processes (utime + stime from /proc; for nginx-fcgi nginx's and
isapi-fcgi's shares as well), and each as a ratio to nginx-static.

The errors nginx logs during each setup's timed rounds are counted: with
kept FastCGI connections there must be none.

System calls per request are counted apart from the timed rounds: a short
wrk run per setup with `strace -f -c` attached to its server processes
(--no-strace skips it). Under strace the servers run slower, so event loops
may gather fewer events per call; the counts are per request all the same.

The comparison is kept even: nginx serves the same page file with the
module's extra headers, without access log or open file cache, so it opens
and reads the file on every request as the module does; nginx workers,
isapi-server threads, isapi-fcgi threads and php-fpm children all default
to the number of CPUs.

usage: bench/run-bench.py --build BUILD_DIR [--rounds 3] [--duration 5]
                          [--connections 32] [--wrk-threads 1]
                          [--server-threads N] [--fcgi-threads N] [--php-children N]
                          [--nginx-workers N] [--only SETUP,...] [--no-strace]
                          [--baseline BUILD_DIR] [--results FILE]
Needs wrk, nginx, php-fpm and strace (Debian packages wrk, nginx, php-fpm,
strace) and a
Release build with the benchmarks (-DORVANE_BUILD_BENCH=ON). wrk shares the
machine with the servers; the load average before and after is recorded,
since other work on the machine skews every figure. The table replaces this
script's section of bench/RESULTS.md (--results names another file).
"""

import argparse
import collections
import glob
import os
import re
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time
import urllib.request

from bench_support import (CLOCK_TICKS, PAGE, PATH, PHP_SCRIPT, SITE_EXAMPLE, Report,
                           add_results_option, children, cpu_ticks, fcgi_site, free_port,
                           nginx_prelude, php_fpm_config, run_wrk, start_isapi_server,
                           wait_for_port, write_installation)


# One row of the results: the port wrk loads and the processes whose CPU
# time (and system calls) count for it. Behind nginx, `backend` names the
# server after nginx's processes in `pids`, whose share is shown apart.
Setup = collections.namedtuple("Setup", "name port pids backend", defaults=(None,))


def count_syscalls(setup, tmp, args):
    """System calls per request of the setup's processes, from a short wrk
    run under `strace -f -c`; returns (per request, {syscall: per request})."""
    out = os.path.join(tmp, f"strace-{setup.name}.txt")
    command = ["strace", "-f", "-c", "-o", out]
    for pid in setup.pids:
        command += ["-p", str(pid)]
    tracer = subprocess.Popen(command, stderr=subprocess.PIPE, text=True)
    # strace reports each thread it attaches to; the run starts once every
    # process has been reported.
    waiting = set(setup.pids)
    while waiting:
        line = tracer.stderr.readline()
        if not line:
            sys.exit(f"strace stopped before attaching to {setup.name}")
        attached = re.search(r"Process (\d+) attached", line)
        if attached:
            waiting.discard(int(attached.group(1)))
    _, _, requests = run_wrk(f"http://127.0.0.1:{setup.port}{PATH}", argparse.Namespace(
        **{**vars(args), "duration": 2}))
    tracer.send_signal(signal.SIGINT)
    tracer.communicate()
    calls = {}
    with open(out) as f:
        for line in f:
            fields = line.split()
            # "% time seconds usecs/call calls [errors] syscall"
            if len(fields) >= 5 and fields[-1] != "total" and fields[3].isdigit():
                calls[fields[-1]] = int(fields[3])
    return (sum(calls.values()) / requests,
            {name: count / requests for name, count in calls.items()})


def isapi_servers(module_ports):
    """nginx server blocks serving PATH through ngx_http_isapi_module."""
    blocks = ""
    for (module, pool), port in module_ports.items():
        pool_line = f"isapi_thread_pool {pool}; " if pool else ""
        blocks += (f"  server {{ listen 127.0.0.1:{port}; "
                   f"location = {PATH} {{ isapi {module}; {pool_line}}} }}\n")
    return blocks


def site_configs(fcgi_port, close_port, socket_path):
    """The example site on `fcgi_port`, and a copy without its kept
    connections on `close_port`."""
    closing, dropped = re.subn(r"\n\s*(keepalive \d+|fastcgi_keep_conn on);", "",
                               fcgi_site(close_port, socket_path))
    if dropped != 2:
        sys.exit(f"{SITE_EXAMPLE} no longer keeps its connections as this script expects")
    return fcgi_site(fcgi_port, socket_path) + closing.replace("orvane_isapi",
                                                               "orvane_isapi_close")


def nginx_config(tmp, static_port, site, php_port, php_socket, workers, nginx_module,
                 module_ports, page_file):
    with open(os.path.join(tmp, "site.conf"), "w") as f:
        f.write(site)
    page = os.path.join(tmp, "ins", "help", "nohp.html")
    load = (f"load_module {nginx_module};\nenv ORVANE_INSDIR={tmp}/ins;\n"
            f"env MEMORY_MODULE_PAGE={page_file};\n")
    conf = load + nginx_prelude(tmp, workers) + f"""\
  open_file_cache off;
  keepalive_requests 1000000;
  server {{
    listen 127.0.0.1:{static_port};
    location = {PATH} {{
      alias {page};
      types {{ }}
      default_type text/html;
      etag off;
      add_header Cache-Control no-cache;
      add_header Pragma no-cache;
      add_header TrResult -1;
    }}
  }}
  include {tmp}/site.conf;
  server {{
    listen 127.0.0.1:{php_port};
    location = {PATH} {{
      fastcgi_pass unix:{php_socket};
      fastcgi_param SCRIPT_FILENAME {tmp}/page.php;
      fastcgi_param REQUEST_METHOD $request_method;
      fastcgi_param QUERY_STRING $query_string;
      fastcgi_param REQUEST_URI $request_uri;
      fastcgi_param SERVER_PROTOCOL $server_protocol;
    }}
  }}
{isapi_servers(module_ports)}}}
"""
    path = os.path.join(tmp, "nginx.conf")
    with open(path, "w") as f:
        f.write(conf)
    return path


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--build", required=True, help="CMake build directory (Release)")
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--duration", type=int, default=5, help="seconds per wrk run")
    parser.add_argument("--connections", type=int, default=32)
    parser.add_argument("--wrk-threads", type=int, default=1)
    cpus = os.cpu_count()
    parser.add_argument("--server-threads", type=int, default=cpus,
                        help="isapi-server --threads")
    parser.add_argument("--fcgi-threads", type=int, default=cpus)
    parser.add_argument("--php-children", type=int, default=cpus)
    parser.add_argument("--nginx-workers", type=int, default=cpus)
    parser.add_argument("--page", default=PAGE, help="the notice page to serve")
    parser.add_argument("--only", help="comma-separated setups to run (default: all)")
    parser.add_argument("--no-strace", action="store_true",
                        help="skip counting system calls per request")
    parser.add_argument("--baseline",
                        help="another build whose isapi-server runs as isapi-server-baseline")
    add_results_option(parser)
    args = parser.parse_args()
    # nginx takes relative paths in its configuration from its prefix.
    args.build = os.path.abspath(args.build)
    if args.rounds < 3:
        sys.exit("--rounds: at least 3, for a median that one bad moment cannot set")

    module = os.path.abspath(os.path.join(args.build, "extension", "orvanehp.so"))
    server = os.path.join(args.build, "server", "http", "isapi-server")
    fcgi = os.path.join(args.build, "server", "fcgi", "isapi-fcgi")
    # Absolute: nginx resolves relative module paths against its prefix.
    nginx_module = os.path.abspath(
        os.path.join(args.build, "server", "nginx", "ngx_http_isapi_module.so"))
    memory_module = os.path.abspath(os.path.join(args.build, "bench", "memory_module.so"))
    nginx = shutil.which("nginx") or "/usr/sbin/nginx"
    php_fpm = next(iter(sorted(glob.glob("/usr/sbin/php-fpm*"))), "/usr/sbin/php-fpm")
    if args.baseline:
        args.baseline = os.path.abspath(args.baseline)
    baseline_server = os.path.join(args.baseline or "", "server", "http", "isapi-server")
    for needed in ((module, memory_module, server, fcgi, nginx, nginx_module, php_fpm, args.page) +
                   ((baseline_server,) if args.baseline else ())):
        if not os.path.exists(needed):
            sys.exit(f"missing {needed}")
    for tool in ("wrk",) + (() if args.no_strace else ("strace",)):
        if not shutil.which(tool):
            sys.exit(f"{tool} is not installed (apt-get install {tool})")

    tmp = tempfile.mkdtemp(prefix="isapi-bench-")
    processes = []
    try:
        write_installation(os.path.join(tmp, "ins"), args.page)
        env = dict(os.environ, ORVANE_INSDIR=os.path.join(tmp, "ins"))
        static_port, fcgi_port = free_port(), free_port()
        socket_path = os.path.join(tmp, "fcgi.sock")
        log = open(os.path.join(tmp, "servers.log"), "w")

        def start(command, extra_env=None):
            process = subprocess.Popen(command, env=dict(env, **(extra_env or {})),
                                       stdout=log, stderr=log)
            processes.append(process)
            return process

        def start_server(module_path, extra_env=None, threads=args.server_threads,
                         extra_args=(), build=args.build):
            port, process = start_isapi_server(build, module_path,
                                               dict(env, **(extra_env or {})), log,
                                               threads, extra_args)
            processes.append(process)
            return port, process

        def tree(process, workers=1):
            """A master's process and its workers, once `workers` run."""
            deadline = time.time() + 10
            while len(children(process.pid)) < workers and time.time() < deadline:
                time.sleep(0.05)
            return [process.pid] + children(process.pid)

        fcgi_proc = start([fcgi, "--module", module, "--socket", f"unix:{socket_path}",
                           "--threads", str(args.fcgi_threads)] +
                          (["--allow-root"] if os.geteuid() == 0 else []))
        with open(os.path.join(tmp, "page.php"), "w") as f:
            f.write(PHP_SCRIPT.format(page=os.path.join(tmp, "ins", "help", "nohp.html")))
        php_conf, php_socket = php_fpm_config(tmp, args.php_children)
        php_proc = start([php_fpm, "--fpm-config", php_conf, "--nodaemonize"] +
                         (["--allow-to-run-as-root"] if os.geteuid() == 0 else []))
        module_ports = {(module, None): free_port(), (module, "default"): free_port(),
                        (memory_module, None): free_port(),
                        (memory_module, "default"): free_port()}
        close_port, php_port = free_port(), free_port()
        conf = nginx_config(tmp, static_port, site_configs(fcgi_port, close_port, socket_path),
                            php_port, php_socket, args.nginx_workers, nginx_module,
                            module_ports, args.page)
        nginx_proc = start([nginx, "-p", tmp, "-c", conf, "-e", f"{tmp}/error.log"])
        for port in [static_port, fcgi_port, close_port, php_port] + list(module_ports.values()):
            wait_for_port(port, nginx_proc, "nginx")
        nginx_pids = tree(nginx_proc, args.nginx_workers)
        server_port, server_proc = start_server(module)
        workers_port, workers_proc = start_server(
            module, threads=1, extra_args=("--workers", str(os.cpu_count())))
        memory_port, memory_proc = start_server(memory_module, {"MEMORY_MODULE_PAGE": args.page})
        if args.baseline:
            baseline_port, baseline_proc = start_server(module, build=args.baseline)

        # One entry per row; nginx-static comes first, as the others'
        # ratios are to it.
        setups = [
            Setup("nginx-static", static_port, nginx_pids),
            Setup("isapi-server", server_port, tree(server_proc)),
        ] + ([Setup("isapi-server-baseline", baseline_port, tree(baseline_proc))]
             if args.baseline else []) + [
            Setup("isapi-server-workers", workers_port, tree(workers_proc, os.cpu_count())),
            Setup("isapi-server-memory", memory_port, tree(memory_proc)),
            Setup("nginx-fcgi", fcgi_port, nginx_pids + tree(fcgi_proc), "isapi-fcgi"),
            Setup("nginx-fcgi-close", close_port, nginx_pids + tree(fcgi_proc), "isapi-fcgi"),
            Setup("nginx-php-fpm", php_port, nginx_pids + tree(php_proc, args.php_children),
                  "php-fpm"),
            Setup("nginx-isapi", module_ports[(module, None)], nginx_pids),
            Setup("nginx-isapi-threads", module_ports[(module, "default")], nginx_pids),
            Setup("nginx-isapi-memory", module_ports[(memory_module, None)], nginx_pids),
            Setup("nginx-isapi-memory-threads", module_ports[(memory_module, "default")],
                  nginx_pids),
        ]
        if args.only:
            wanted = set(args.only.split(","))
            unknown = wanted - {setup.name for setup in setups}
            if unknown:
                sys.exit(f"--only: no setup {', '.join(sorted(unknown))}")
            setups = [setup for setup in setups
                      if setup.name in wanted or setup.name == "nginx-static"]
        page = open(args.page, "rb").read()
        for setup in setups:
            with urllib.request.urlopen(f"http://127.0.0.1:{setup.port}{PATH}") as answer:
                body = answer.read()
                if body != page or answer.headers.get("TrResult") != "-1":
                    sys.exit(f"{setup.name} does not serve the page")
                print(f"{setup.name:20} answers {', '.join(answer.headers.keys())}; "
                      f"{len(body)} body bytes")
            run_wrk(f"http://127.0.0.1:{setup.port}{PATH}", argparse.Namespace(
                **{**vars(args), "duration": 1}))  # warm-up

        syscalls = {}
        if not args.no_strace:
            for setup in setups:
                syscalls[setup.name] = count_syscalls(setup, tmp, args)
                total, by_name = syscalls[setup.name]
                top = sorted(by_name.items(), key=lambda item: -item[1])[:8]
                print(f"{setup.name:20} {total:5.1f} system calls/request: " +
                      ", ".join(f"{name} {count:.2f}" for name, count in top), flush=True)

        report = Report(args.results)
        results = {setup.name: [] for setup in setups}
        # Errors nginx logged during each setup's timed runs.
        error_log = os.path.join(tmp, "error.log")
        errors = collections.Counter()
        for round_number in range(args.rounds):
            shift = round_number % len(setups)
            for setup in setups[shift:] + setups[:shift]:
                before = [cpu_ticks([pid]) for pid in setup.pids]
                log_size = os.path.getsize(error_log)
                rps, p99, requests = run_wrk(f"http://127.0.0.1:{setup.port}{PATH}", args)
                used = [cpu_ticks([pid]) - b for pid, b in zip(setup.pids, before)]
                with open(error_log, errors="replace") as f:
                    f.seek(log_size)
                    errors[setup.name] += len(re.findall(r"\[(error|crit|alert|emerg)\]",
                                                         f.read()))
                cpu_us = sum(used) / CLOCK_TICKS * 1e6 / requests
                results[setup.name].append((rps, p99, cpu_us))
                split = ""
                if setup.backend:
                    backend_us = sum(used[len(nginx_pids):]) / CLOCK_TICKS * 1e6 / requests
                    split = f" (nginx {cpu_us - backend_us:.1f}, {setup.backend} {backend_us:.1f})"
                print(f"round {round_number + 1} {setup.name:20} {rps:10.0f} req/s  "
                      f"p99 {p99:7.2f} ms  cpu {cpu_us:6.1f} us/req{split}", flush=True)

        base = {key: statistics.median(r[key] for r in results["nginx-static"])
                for key in range(3)}
        report.line(f"wrk -t{args.wrk_threads} -c{args.connections} -d{args.duration}s, "
                    f"{args.rounds} rounds in rotating order, medians; nginx workers "
                    f"{args.nginx_workers}, isapi-server threads "
                    f"{args.server_threads}, isapi-fcgi threads "
                    f"{args.fcgi_threads}, php-fpm children {args.php_children}")
        if args.baseline:
            report.line(f"isapi-server-baseline: the isapi-server of {args.baseline}")
        report.line("| setup | req/s | x nginx | p99 ms | x nginx | CPU us/req | x nginx "
                    "| syscalls/req | nginx errors |")
        report.line("|---|---:|---:|---:|---:|---:|---:|---:|---:|")
        for setup in setups:
            rps, p99, cpu = (statistics.median(r[key] for r in results[setup.name])
                             for key in range(3))
            calls = f"{syscalls[setup.name][0]:.1f}" if setup.name in syscalls else "-"
            report.line(f"| {setup.name} | {rps:.0f} | {rps / base[0]:.2f} | {p99:.2f} | "
                        f"{p99 / base[1]:.2f} | {cpu:.1f} | {cpu / base[2]:.2f} | {calls} | "
                        f"{errors[setup.name]} |")
        report.write()
    finally:
        for process in processes:
            if process.poll() is None:
                process.send_signal(signal.SIGTERM)
        for process in processes:
            try:
                process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()
        shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
"""isapi-fcgi and php-fpm behind Apache, lighttpd and Caddy.

Each server runs its example site (examples/apache, examples/lighttpd,
examples/caddy) in front of isapi-fcgi with the module, and beside it
php-fpm with run-bench.py's PHP script (the same headers and page bytes)
as that server's users configure it:

  Apache    ProxyPass with enablereuse=on to isapi-fcgi; to php-fpm without
            it, since php-fpm keeps a reused connection for one child until
            Apache closes it, and the pool's other connections wait unaccepted;
            64 threads per process (see APACHE_THREADS)
  lighttpd  mod_fastcgi, a connection per request (it offers no reuse)
  Caddy     reverse_proxy with the fastcgi transport, a connection per
            request (2.6 offers no reuse)

Per setup: requests/s and p99 from one wrk run, and the connections the
FastCGI server accepted per request, from a second short run with strace
counting accept and accept4 calls that returned a connection.

Then slow readers behind each of --slow-fronts: Apache, and nginx with
the example site and fastcgi_buffering off. isapi-fcgi runs with one
thread and the probe module (tests/server/probe_module.cpp, in a build
with tests); two clients read its 64 MiB answer at 100 KiB/s for
--slow-readers seconds while another asks for its page, one request after
another. Both fronts pass the answer on as the readers take it, so unless
isapi-fcgi buffers it, the readers hold its thread and the page waits.
Reported: the page's latency (p99, max) and how many answers came within
100 ms.

usage: bench/fronts.py --build BUILD_DIR [--duration 3] [--connections 32]
                       [--only apache,lighttpd,caddy] [--slow-readers 20]
                       [--slow-fronts apache,nginx] [--answer-buffer BYTES]
                       [--results FILE]

Needs wrk, strace, apache2, lighttpd, caddy, nginx and php-fpm (the bench
group of scripts/packages.txt); a server that is missing is left out.
"""

import argparse
import glob
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time

from bench_support import (PAGE, PATH, PHP_SCRIPT, SOURCE_DIR, Report, add_results_option,
                           children, client_until, fcgi_site, fetch, free_port, nginx_prelude,
                           php_fpm_config, run_wrk, start_slow_readers, stop, wait_for_port,
                           write_installation, wrk_command, wrk_results)

EXAMPLE_SOCKET = "/run/orvane/isapi-fcgi.sock"
SLOW_READERS = 2
SLOW_ANSWER_KIB = 64 * 1024
SLOW_RATE = 100 * 1024
# Room for a second's worth: a reader takes one recv a second.
SLOW_WINDOW = 256 * 1024
# Past this a page request counts as not answered: a reader holding the
# only thread would keep it for minutes.
PAGE_DEADLINE = 5
FAST_ENOUGH = 0.1
# Threads per Apache process: enough for all of wrk's connections. Apache's
# event MPM closes a kept client connection whose next request finds every
# thread of its process busy, unanswered (so that the client connects to
# another process); wrk counts a read error. With its default 25 threads,
# a process that happens to accept more of wrk's connections than that
# drops some of their requests, whatever the backend.
APACHE_THREADS = 64


def example(name):
    with open(os.path.join(SOURCE_DIR, "examples", name)) as f:
        return f.read()


def apache(tmp, port, fcgi_socket, php_socket):
    modules = "".join(f"LoadModule {m}_module /usr/lib/apache2/modules/mod_{m}.so\n"
                      for m in ("mpm_event", "authz_core", "proxy", "proxy_fcgi", "setenvif"))
    config = (f"ServerRoot {tmp}\nListen 127.0.0.1:{port}\nPidFile {tmp}/apache2.pid\n"
              f"DefaultRuntimeDir {tmp}\nErrorLog {tmp}/apache2-error.log\nLogLevel warn\n"
              f"ServerName localhost\nUser nobody\nGroup nogroup\n{modules}"
              f"ThreadsPerChild {APACHE_THREADS}\nMaxRequestWorkers {4 * APACHE_THREADS}\n"
              + example("apache/isapi-fcgi.conf").replace(EXAMPLE_SOCKET, fcgi_socket) +
              f'ProxyPass "/page.php" "unix:{php_socket}|fcgi://localhost/page.php"\n'
              f'ProxyFCGISetEnvIf "true" SCRIPT_FILENAME "{tmp}/page.php"\n')
    return f"{tmp}/apache2.conf", config, ["/usr/sbin/apache2", "-f", f"{tmp}/apache2.conf",
                                           "-DFOREGROUND"], {}


def lighttpd(tmp, port, fcgi_socket, php_socket):
    config = (f'server.bind = "127.0.0.1"\nserver.port = {port}\n'
              f'server.document-root = "{tmp}"\nserver.errorlog = "{tmp}/lighttpd-error.log"\n'
              f'server.upload-dirs = ("{tmp}")\n'
              + example("lighttpd/isapi-fcgi.conf").replace(EXAMPLE_SOCKET, fcgi_socket) +
              f'$HTTP["url"] == "/page.php" {{\n  fastcgi.server = ("/page.php" => (('
              f'"socket" => "{php_socket}", "check-local" => "disable")))\n}}\n')
    return f"{tmp}/lighttpd.conf", config, ["/usr/sbin/lighttpd", "-D", "-f",
                                             f"{tmp}/lighttpd.conf"], {}


def caddy(tmp, port, fcgi_socket, php_socket):
    site = example("caddy/Caddyfile").replace(EXAMPLE_SOCKET, fcgi_socket)
    site = site.replace(":8083 {", f"http://127.0.0.1:{port} {{", 1)
    # php-fpm's own site block on the same address would clash: its route
    # goes into the example's, before the 404.
    php = (f"\thandle /page.php {{\n\t\treverse_proxy unix/{php_socket} {{\n"
           f"\t\t\ttransport fastcgi {{\n\t\t\t\troot {tmp}\n\t\t\t\tsplit .php\n"
           f"\t\t\t}}\n\t\t}}\n\t}}\n\thandle {{\n")
    site = site.replace("\thandle {\n", php, 1)
    config = "{\n\tadmin off\n}\n" + site
    return (f"{tmp}/Caddyfile", config, ["/usr/bin/caddy", "run", "--adapter", "caddyfile",
                                         "--config", f"{tmp}/Caddyfile"],
            {"HOME": tmp, "XDG_CONFIG_HOME": tmp, "XDG_DATA_HOME": tmp})


def nginx_unbuffered(tmp, port, fcgi_socket):
    """nginx with the example site, passing each answer on only as its
    client takes it, as a site that streams its answers sets it."""
    site = fcgi_site(port, fcgi_socket).replace(
        "fastcgi_keep_conn on;\n", "fastcgi_keep_conn on;\n        fastcgi_buffering off;\n", 1)
    config = nginx_prelude(tmp, 1) + site + "}\n"
    return f"{tmp}/nginx.conf", config, ["/usr/sbin/nginx", "-p", tmp, "-e", f"{tmp}/error.log",
                                         "-c", f"{tmp}/nginx.conf"], {}


# Each: its Debian package, its binary, and the function that gives its
# (configuration path, configuration, command, environment).
SERVERS = {"apache": ("apache2", "/usr/sbin/apache2", apache),
           "lighttpd": ("lighttpd", "/usr/sbin/lighttpd", lighttpd),
           "caddy": ("caddy", "/usr/bin/caddy", caddy)}

# The fronts slow readers read through: each its binary, how it is named in
# the report, and the function that gives its (configuration path,
# configuration, command, environment) for an isapi-fcgi socket.
SLOW_FRONTS = {
    "apache": ("/usr/sbin/apache2", "apache",
               lambda tmp, port, fcgi_socket: apache(tmp, port, fcgi_socket,
                                                     os.path.join(tmp, "php-fpm.sock"))),
    "nginx": ("/usr/sbin/nginx", "nginx with fastcgi_buffering off", nginx_unbuffered),
}


def accepts(pid, url, args):
    """Connections the process `pid` (all its threads and children) accepted
    per request during a short wrk run under strace."""
    out = os.path.join(args.tmp, f"strace-{pid}.txt")
    pids = [pid] + children(pid)
    command = ["strace", "-f", "-c", "-e", "trace=accept,accept4", "-o", out]
    for p in pids:
        command += ["-p", str(p)]
    tracer = subprocess.Popen(command, stderr=subprocess.PIPE, text=True)
    waiting = set(pids)
    while waiting:
        line = tracer.stderr.readline()
        if not line:
            sys.exit("strace stopped before attaching")
        attached = re.search(r"Process (\d+) attached", line)
        if attached:
            waiting.discard(int(attached.group(1)))
    _, _, requests = run_wrk(url, argparse.Namespace(**{**vars(args), "duration": 2}))
    tracer.send_signal(signal.SIGINT)
    tracer.communicate()
    accepted = 0
    with open(out) as f:
        for line in f:
            # "% time seconds usecs/call calls [errors] syscall"
            fields = line.split()
            if len(fields) >= 5 and fields[-1] in ("accept", "accept4"):
                errors = int(fields[4]) if len(fields) == 6 else 0
                accepted += int(fields[3]) - errors
    return accepted / requests


def wait_for_socket(path, process, what):
    deadline = time.time() + 10
    while not os.path.exists(path):
        if process.poll() is not None or time.time() > deadline:
            sys.exit(f"{what} did not create {path}")
        time.sleep(0.05)


def slow_readers_behind(front, args, fcgi, probe, report):
    _, label, configure = SLOW_FRONTS[front]
    tmp = tempfile.mkdtemp(prefix="isapi-fronts-slow-")
    os.chmod(tmp, 0o711)
    log = open(os.path.join(tmp, "servers.log"), "w")
    processes = []
    readers = []
    done = threading.Event()
    try:
        fcgi_socket = os.path.join(tmp, "fcgi.sock")
        processes.append(subprocess.Popen(
            [fcgi, "--module", probe, "--socket", f"unix:{fcgi_socket}", "--threads", "1",
             "--socket-mode", "0666"] + (["--allow-root"] if os.geteuid() == 0 else []) +
            (["--answer-buffer", str(args.answer_buffer)] if args.answer_buffer else []),
            stdout=log, stderr=log))
        wait_for_socket(fcgi_socket, processes[-1], "isapi-fcgi")
        port = free_port()
        config_path, config, command, _ = configure(tmp, port, fcgi_socket)
        with open(config_path, "w") as f:
            f.write(config)
        processes.append(subprocess.Popen(command, stdout=log, stderr=log))
        wait_for_port(port, processes[-1], front)
        page = f"{PATH}/page"
        if fetch(port, PAGE_DEADLINE, page) is None:
            sys.exit(f"{front} -> isapi-fcgi: {page} not answered; see {tmp}")
        dropped = []
        readers = start_slow_readers(port, f"{PATH}/big?{SLOW_ANSWER_KIB}", SLOW_READERS,
                                     SLOW_RATE, SLOW_WINDOW, done, dropped)
        buffer = f" --answer-buffer {args.answer_buffer}" if args.answer_buffer else ""
        report.line(f"slow readers behind {label}: isapi-fcgi --threads 1{buffer} with the probe "
                    f"module; {SLOW_READERS} clients read its {SLOW_ANSWER_KIB // 1024} MiB "
                    f"answer at {SLOW_RATE // 1024} KiB/s for {args.slow_readers:g} s while "
                    f"another asks for its page through {front}")
        latencies = client_until(port, PAGE_DEADLINE, time.monotonic() + args.slow_readers,
                                 page, report)
        fast = sum(latency <= FAST_ENOUGH for latency in latencies)
        report.line(f"page answers within {1000 * FAST_ENOUGH:.0f} ms: {fast} of "
                    f"{len(latencies)}; slow readers cut off while reading: {len(dropped)}")
    finally:
        done.set()
        for s, thread in readers:
            thread.join()
            s.close()
        for process in reversed(processes):
            stop(process)
        log.close()
        shutil.rmtree(tmp, ignore_errors=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--build", required=True)
    parser.add_argument("--duration", type=int, default=3)
    parser.add_argument("--connections", type=int, default=32)
    parser.add_argument("--only", default=",".join(SERVERS))
    parser.add_argument("--slow-readers", type=float, default=20,
                        help="seconds the slow readers read behind each front (0: none)")
    parser.add_argument("--slow-fronts", default=",".join(SLOW_FRONTS),
                        help="the servers the slow readers read through")
    parser.add_argument("--answer-buffer", type=int, default=0,
                        help="isapi-fcgi's --answer-buffer for the slow readers (0: its "
                             "default); one smaller than their answers lets them hold its "
                             "thread, which the figures must show")
    add_results_option(parser)
    args = parser.parse_args()
    args.wrk_threads = 1
    if "apache" in args.only.split(",") and args.connections > APACHE_THREADS:
        sys.exit(f"--connections above {APACHE_THREADS}: an Apache process could run out of "
                 "threads and drop requests (see APACHE_THREADS)")
    cpus = os.cpu_count()
    module = os.path.join(args.build, "extension", "orvanehp.so")
    fcgi = os.path.join(args.build, "server", "fcgi", "isapi-fcgi")
    php_fpm = next(iter(sorted(glob.glob("/usr/sbin/php-fpm*"))), "/usr/sbin/php-fpm")
    probe = os.path.join(args.build, "tests", "server", "probe_module.so")
    slow_fronts = [front for front in args.slow_fronts.split(",")
                   if args.slow_readers > 0 and os.path.exists(SLOW_FRONTS[front][0])]
    slow = bool(slow_fronts)
    for needed in (module, fcgi, php_fpm) + ((probe,) if slow else ()):
        if not os.path.exists(needed):
            sys.exit(f"missing {needed}")
    for tool in ("wrk", "strace"):
        if not shutil.which(tool):
            sys.exit(f"{tool} is not installed (apt-get install {tool})")

    report = Report(args.results)
    report.line(f"wrk -t1 -c{args.connections} -d{args.duration}s per setup; accepts "
                f"from a 2 s run under strace; isapi-fcgi threads {cpus}, php-fpm children "
                f"{cpus}; each server's example site")
    report.line("| server | backend | connections | req/s | p99 ms | failed | accepts/req |")
    report.line("|---|---|---|---|---|---|---|")
    for name in args.only.split(","):
        package, binary, configure = SERVERS[name]
        if not os.path.exists(binary):
            report.line(f"| {name} | - | - | - | - | - | not installed ({package}) |")
            continue
        tmp = tempfile.mkdtemp(prefix=f"isapi-fronts-{name}-")
        args.tmp = tmp
        # The servers' workers may run as nobody: let them reach the sockets.
        os.chmod(tmp, 0o711)
        processes = []
        log = open(os.path.join(tmp, "servers.log"), "w")

        def start(command, extra_env=None):
            process = subprocess.Popen(command, env=dict(os.environ, ORVANE_INSDIR=f"{tmp}/ins",
                                                         **(extra_env or {})),
                                       stdout=log, stderr=log)
            processes.append(process)
            return process

        try:
            write_installation(os.path.join(tmp, "ins"), PAGE)
            fcgi_socket = os.path.join(tmp, "fcgi.sock")
            fcgi_proc = start([fcgi, "--module", module, "--socket", f"unix:{fcgi_socket}",
                               "--threads", str(cpus), "--socket-mode", "0666"] +
                              (["--allow-root"] if os.geteuid() == 0 else []))
            with open(os.path.join(tmp, "page.php"), "w") as f:
                f.write(PHP_SCRIPT.format(page=os.path.join(tmp, "ins", "help", "nohp.html")))
            php_conf, php_socket = php_fpm_config(tmp, cpus)
            php_proc = start([php_fpm, "--fpm-config", php_conf, "--nodaemonize"] +
                             (["--allow-to-run-as-root"] if os.geteuid() == 0 else []))
            port = free_port()
            config_path, config, command, env = configure(tmp, port, fcgi_socket, php_socket)
            with open(config_path, "w") as f:
                f.write(config)
            wait_for_socket(fcgi_socket, fcgi_proc, "isapi-fcgi")
            front = start(command, env)
            wait_for_port(port, front, name)
            reuse = "kept" if name == "apache" else "one per request"
            for backend, path, process, kept in (("isapi-fcgi", PATH, fcgi_proc, reuse),
                                                  ("php-fpm", "/page.php", php_proc,
                                                   "one per request")):
                url = f"http://127.0.0.1:{port}{path}"
                check = subprocess.run(["curl", "-s", "-o", "/dev/null", "-w", "%{http_code}",
                                        url], capture_output=True, text=True).stdout
                if check != "200":
                    sys.exit(f"{name} -> {backend}: {url} answered {check}; see {tmp}")
                out = subprocess.run(wrk_command(url, args), check=True, capture_output=True,
                                     text=True).stdout
                rps, p99, requests, failed = wrk_results(out)
                per_request = accepts(process.pid, url, args)
                report.line(f"| {name} | {backend} | {kept} | {rps:.0f} | {p99:.2f} | "
                            f"{failed} of {requests} | {per_request:.4f} |")
        finally:
            for process in reversed(processes):
                stop(process)
            log.close()
            shutil.rmtree(tmp, ignore_errors=True)
    for front in slow_fronts:
        slow_readers_behind(front, args, fcgi, probe, report)
    report.write()


if __name__ == "__main__":
    main()

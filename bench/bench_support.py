"""What the benchmark scripts in bench/ share: ports, processes, the
installation they serve, wrk, /proc readings, and the report each writes
into bench/RESULTS.md."""

import datetime
import os
import re
import resource
import shutil
import socket
import statistics
import subprocess
import sys
import threading
import time

SOURCE_DIR = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PAGE = os.path.join(SOURCE_DIR, "examples", "installation", "help", "nohp.html")
PATH = "/orvanehp.dll"
CLOCK_TICKS = os.sysconf("SC_CLK_TCK")
RESULTS = os.path.join(SOURCE_DIR, "bench", "RESULTS.md")
# The heading of the figures recorded by hand, which stay below the runs.
EARLIER_FIGURES = "\n# Earlier figures\n"
SITE_EXAMPLE = os.path.join(SOURCE_DIR, "examples", "nginx", "isapi-fcgi.conf")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for_port(port, process, what):
    deadline = time.time() + 10
    while time.time() < deadline:
        if process.poll() is not None:
            sys.exit(f"{what} exited with {process.returncode} while starting")
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return
        except OSError:
            time.sleep(0.05)
    sys.exit(f"{what} does not answer on port {port}")


def nginx_prelude(tmp, workers):
    """A private nginx's configuration up to the inside of its http block:
    in the foreground, with its pid file, error log and temporary files in
    `tmp`. The caller adds its servers and the closing brace."""
    # As root nginx would run its workers as nobody, who may not read the
    # temporary directory.
    user = "user root;\n" if os.geteuid() == 0 else ""
    temp_paths = "".join(f"  {kind}_temp_path {tmp}/{kind};\n"
                         for kind in ("client_body", "fastcgi", "proxy", "uwsgi", "scgi"))
    return (f"daemon off;\n{user}worker_processes {workers};\npid {tmp}/nginx.pid;\n"
            f"error_log {tmp}/error.log warn;\nevents {{ worker_connections 1024; }}\n"
            f"http {{\n  access_log off;\n{temp_paths}")


def fcgi_site(port, socket_path):
    """The guide's FastCGI site (examples/nginx) on loopback `port`, its
    upstream the isapi-fcgi socket at `socket_path`."""
    with open(SITE_EXAMPLE) as f:
        site = f.read()
    site = site.replace("server unix:/run/orvane/isapi-fcgi.sock;",
                        f"server unix:{socket_path};", 1)
    return site.replace("listen 8081;", f"listen 127.0.0.1:{port};", 1)


# php-fpm's counterpart of the module's page: the same headers and the
# page file's bytes.
PHP_SCRIPT = """<?php
header('Content-type: text/html');
header('Cache-Control: no-cache');
header('Pragma: no-cache');
header('TrResult: -1');
readfile('{page}');
"""


def php_fpm_config(tmp, children_count):
    """A private php-fpm pool on a Unix socket that any user may connect
    to (a web server's workers run as a user of their own); returns its
    configuration path and socket."""
    socket_path = os.path.join(tmp, "php-fpm.sock")
    user = "user = root\ngroup = root\n" if os.geteuid() == 0 else ""
    path = os.path.join(tmp, "php-fpm.conf")
    with open(path, "w") as f:
        f.write(f"[global]\npid = {tmp}/php-fpm.pid\nerror_log = {tmp}/php-fpm.log\n"
                f"daemonize = no\n[bench]\n{user}listen = {socket_path}\nlisten.mode = 0666\n"
                f"pm = static\n"
                f"pm.max_children = {children_count}\npm.max_requests = 0\n")
    return path, socket_path


def cpu_ticks(pids):
    """utime + stime of the processes, in clock ticks (all threads)."""
    total = 0
    for pid in pids:
        with open(f"/proc/{pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
        total += int(fields[11]) + int(fields[12])  # fields 14 and 15
    return total


def children(pid):
    found = []
    for task in os.listdir(f"/proc/{pid}/task"):
        with open(f"/proc/{pid}/task/{task}/children") as f:
            found += [int(p) for p in f.read().split()]
    return found


def to_ms(text):
    value, unit = re.fullmatch(r"([\d.]+)(us|ms|s)", text).groups()
    return float(value) * {"us": 0.001, "ms": 1.0, "s": 1000.0}[unit]


def wrk_command(url, args):
    return ["wrk", f"-t{args.wrk_threads}", f"-c{args.connections}", f"-d{args.duration}s",
            "--latency", url]


def wrk_results(out):
    """(requests/s, p99 ms, requests, failed) from wrk's report; failed
    counts answers other than 2xx/3xx and socket errors."""
    rps = float(re.search(r"Requests/sec:\s+([\d.]+)", out).group(1))
    requests = int(re.search(r"(\d+) requests in", out).group(1))
    p99 = to_ms(re.search(r"^\s+99%\s+(\S+)", out, re.M).group(1))
    bad = re.search(r"Non-2xx or 3xx responses: (\d+)", out)
    errors = re.search(r"Socket errors: connect (\d+), read (\d+), write (\d+), timeout (\d+)", out)
    failed = (int(bad.group(1)) if bad else 0) + (sum(map(int, errors.groups())) if errors else 0)
    return rps, p99, requests, failed


def run_wrk(url, args):
    out = subprocess.run(wrk_command(url, args), check=True, capture_output=True, text=True).stdout
    rps, p99, requests, failed = wrk_results(out)
    if failed:
        print(f"  warning: {url}: {failed} failed requests")
    return rps, p99, requests


def fetch(port, deadline, path="/"):
    start = time.monotonic()
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=deadline) as s:
            s.sendall(f"GET {path} HTTP/1.1\r\nHost: t\r\nConnection: close\r\n\r\n".encode())
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


def client_until(port, deadline, end, path, report):
    """Fetches `path` one request after another until the monotonic time
    `end`; reports how many were answered within `deadline` and how fast,
    and returns the latencies of those answered, in seconds, sorted."""
    latencies = []
    sent = 0
    while time.monotonic() < end:
        sent += 1
        latency = fetch(port, deadline, path)
        if latency is not None:
            latencies.append(latency)
    answered = len(latencies)
    report.line(f"client from 127.0.0.1: {sent} requests, {answered} answered within "
                f"{deadline:g} s ({100.0 * answered / max(sent, 1):.2f}%)")
    if latencies:
        latencies.sort()
        p99 = latencies[min(len(latencies) - 1, int(len(latencies) * 0.99))]
        report.line(f"latency ms: median {1000 * statistics.median(latencies):.2f}, "
                    f"p99 {1000 * p99:.2f}, max {1000 * latencies[-1]:.2f}")
    return latencies


def read_slowly(s, rate, stop, dropped):
    """Takes `rate` bytes a second from `s` until `stop`; counts in
    `dropped` a connection the server ends first."""
    while not stop.is_set():
        try:
            if not s.recv(rate):
                dropped.append(s)
                return
        except OSError:
            dropped.append(s)
            return
        stop.wait(1)


def start_slow_readers(port, path, count, rate, window, stop, dropped):
    """Opens `count` connections to loopback `port`, each asking for `path`
    and read by a thread of its own at `rate` bytes a second through a
    `window` byte receive buffer until `stop`; returns [(socket, thread)]."""
    readers = []
    for _ in range(count):
        s = socket.socket()
        # A small window, as a slow client's over a real link. On loopback
        # a segment is 64 KiB, and a reader with the default buffer opens
        # its window only every minute at 1 KiB/s: the server then sees
        # nothing taken for longer than its send timeout.
        s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, window)
        s.connect(("127.0.0.1", port))
        s.sendall(f"GET {path} HTTP/1.1\r\nHost: t\r\n\r\n".encode())
        thread = threading.Thread(target=read_slowly, args=(s, rate, stop, dropped))
        thread.start()
        readers.append((s, thread))
    return readers


def write_installation(root, page):
    for sub in ("data", "help", "template"):
        os.makedirs(os.path.join(root, sub))
    shutil.copyfile(page, os.path.join(root, "help", "nohp.html"))
    with open(os.path.join(root, "template", "dremerror.html"), "w") as f:
        f.write("<html></html>")
    with open(os.path.join(root, "data", "dremgate_j.ini"), "w") as f:
        f.write(f"[Template]\r\nerr={root}\\template\\dremerror.html\r\n")


def memory_kib(pids):
    """Resident memory (VmRSS) of the processes, in KiB."""
    total = 0
    for pid in pids:
        with open(f"/proc/{pid}/status") as f:
            total += int(re.search(r"^VmRSS:\s+(\d+) kB", f.read(), re.M).group(1))
    return total


def open_descriptors(pid):
    return len(os.listdir(f"/proc/{pid}/fd"))


def raise_descriptor_limit():
    """Soft descriptor limit up to the hard one, for this process and the
    servers it starts."""
    _, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    return hard


def start_isapi_server(build, module, env, log, threads=None, extra_args=()):
    """Starts isapi-server on a free loopback port with `threads` threads
    (None: its default) and `extra_args`; returns (port, process) once it
    serves."""
    port = free_port()
    command = [os.path.join(build, "server", "http", "isapi-server"), "--module", module,
               "--listen", f"127.0.0.1:{port}"]
    if threads is not None:
        command += ["--threads", str(threads)]
    command += list(extra_args)
    if os.geteuid() == 0:
        command.append("--allow-root")
    process = subprocess.Popen(command, env=env, stdout=log, stderr=log)
    wait_for_port(port, process, "isapi-server")
    return port, process


def stop(process):
    if process.poll() is None:
        process.terminate()
    try:
        process.wait(timeout=10)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()


def machine():
    """CPU model, cores, kernel and Debian release: what a figure was taken on."""
    with open("/proc/cpuinfo") as f:
        model = re.search(r"^model name\s*:\s*(.*)$", f.read(), re.M)
    try:
        with open("/etc/debian_version") as f:
            debian = f"Debian {f.read().strip()}"
    except OSError:
        debian = "not Debian"
    return (f"{model.group(1) if model else 'unknown CPU'}, {os.cpu_count()} cores, "
            f"Linux {os.uname().release}, {debian}")


def add_results_option(parser):
    parser.add_argument("--results", default=RESULTS,
                        help="Markdown file whose section for this script the run replaces "
                             "(default: bench/RESULTS.md)")


class Report:
    """Prints a run's findings and keeps them, to replace the script's own
    section of the results file with them at the end. The load average is
    taken when the report starts and when it is written, since other work on
    the machine skews every figure."""

    def __init__(self, path):
        self.path = path
        self.name = os.path.basename(sys.argv[0])
        self.lines = []
        self.load_before = os.getloadavg()
        print(f"load average before: {self.load_before[0]:.2f}", flush=True)

    def line(self, text=""):
        print(text, flush=True)
        self.lines.append(text)

    def write(self):
        load_after = os.getloadavg()
        print(f"load average after: {load_after[0]:.2f}", flush=True)
        command = " ".join(["bench/" + self.name] + sys.argv[1:])
        now = datetime.datetime.now(datetime.timezone.utc)
        section = [
            f"<!-- results:{self.name} -->",
            f"## {self.name}",
            "",
            f"- run: {now:%Y-%m-%d %H:%M} UTC, `{command}`",
            f"- machine: {machine()}",
            "- load average (1, 5, 15 min): "
            f"{', '.join(f'{v:.2f}' for v in self.load_before)} before, "
            f"{', '.join(f'{v:.2f}' for v in load_after)} after",
            "",
        ]
        # Table rows stay a table; every other finding is an item of its own.
        for text, previous in zip(self.lines, [""] + self.lines):
            is_row, was_row = text.startswith("|"), previous.startswith("|")
            if is_row != was_row and previous:
                section.append("")
            if text:
                section.append(text if is_row else f"- {text}")
        section.append(f"<!-- /results:{self.name} -->")
        replace_section(self.path, self.name, "\n".join(section) + "\n")
        print(f"results written to {self.path}")


def replace_section(path, name, section):
    """Puts `section` in place of the file's section `name` (between its
    markers). A new section goes after the others, before the hand-kept
    "# Earlier figures", or at the end of a file without them."""
    try:
        with open(path) as f:
            text = f.read()
    except FileNotFoundError:
        text = "# Benchmark results\n"
    found = re.search(rf"<!-- results:{re.escape(name)} -->.*?<!-- /results:{re.escape(name)} -->\n",
                      text, re.S)
    if found:
        text = text[:found.start()] + section + text[found.end():]
    else:
        earlier = text.find(EARLIER_FIGURES)
        if earlier < 0:
            text = text.rstrip("\n") + "\n\n" + section
        else:
            text = text[:earlier].rstrip("\n") + "\n\n" + section + text[earlier:]
    temporary = path + ".new"
    with open(temporary, "w") as f:
        f.write(text)
    os.replace(temporary, path)

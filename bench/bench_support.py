"""What the benchmark scripts in bench/ share: ports, processes, the
installation they serve, wrk, and /proc readings."""

import os
import re
import resource
import shutil
import socket
import subprocess
import sys
import time

SOURCE_DIR = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PAGE = os.path.join(SOURCE_DIR, "examples", "installation", "help", "nohp.html")
PATH = "/orvanehp.dll"
CLOCK_TICKS = os.sysconf("SC_CLK_TCK")


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


def run_wrk(url, args):
    out = subprocess.run(
        ["wrk", f"-t{args.wrk_threads}", f"-c{args.connections}", f"-d{args.duration}s",
         "--latency", url],
        check=True, capture_output=True, text=True).stdout
    rps = float(re.search(r"Requests/sec:\s+([\d.]+)", out).group(1))
    requests = int(re.search(r"(\d+) requests in", out).group(1))
    p99 = to_ms(re.search(r"^\s+99%\s+(\S+)", out, re.M).group(1))
    bad = re.search(r"Non-2xx or 3xx responses: (\d+)", out)
    errors = re.search(r"Socket errors: (.*)", out)
    if bad or errors:
        print(f"  warning: {url}: {bad.group(0) if bad else ''} {errors.group(0) if errors else ''}")
    return rps, p99, requests


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


def start_isapi_server(build, module, env, log, threads=None):
    """Starts isapi-server on a free loopback port with `threads` pool
    threads (None: its default; 0: a thread per connection); returns
    (port, process)."""
    port = free_port()
    command = [os.path.join(build, "server", "http", "isapi-server"), "--module", module,
               "--listen", f"127.0.0.1:{port}"]
    if threads is not None:
        command += ["--threads", str(threads)] if threads > 0 else ["--thread-per-connection"]
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

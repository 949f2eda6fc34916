#!/usr/bin/env python3
"""File faults under load: isapi-server with the module answers wrk while
the notice page and the INI file are rewritten over and over, first in
place (truncate and write, as `cp` over the file or an editor's save does),
then atomically (write a new file, rename it over the old one).

Every answer is classified (bench/file-fault.lua) as the page (either of
its two versions, which differ in length), the fallback page, or other (a
page read half-way, a failed request). The module reads each file afresh
per request and POSIX has no sharing modes, so an in-place rewrite can be
read half-way; atomic replacement never can. Exits 1 when the atomic run
had any answer other than the page.

usage: bench/file-fault.py --build BUILD_DIR [--duration 10] [--connections 32]
                           [--results FILE]
The counts replace this script's section of bench/RESULTS.md (--results
names another file).
"""

import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile
import threading
import urllib.request

from bench_support import (PAGE, PATH, Report, add_results_option, start_isapi_server, stop,
                           write_installation)

SCRIPT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "file-fault.lua")


def rewrite_in_place(path, data):
    with open(path, "wb") as f:
        f.write(data)


def replace_atomically(path, data):
    temporary = path + ".new"
    with open(temporary, "wb") as f:
        f.write(data)
    os.replace(temporary, path)


def keep_rewriting(write, files, stop_event, counter):
    """Writes each file's versions in turn until told to stop."""
    turn = 0
    while not stop_event.is_set():
        for path, versions in files:
            write(path, versions[turn % len(versions)])
        turn += 1
    counter.append(turn)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--build", required=True, help="CMake build directory (Release)")
    parser.add_argument("--duration", type=int, default=10, help="seconds per mode")
    parser.add_argument("--connections", type=int, default=32)
    add_results_option(parser)
    args = parser.parse_args()

    tmp = tempfile.mkdtemp(prefix="isapi-fault-")
    server = None
    try:
        ins = os.path.join(tmp, "ins")
        write_installation(ins, PAGE)
        page_path = os.path.join(ins, "help", "nohp.html")
        ini_path = os.path.join(ins, "data", "dremgate_j.ini")
        page_a = open(PAGE, "rb").read()
        page_b = page_a + b"<!-- the second version, longer than the first -->\r\n" * 20
        ini = open(ini_path, "rb").read()
        # The same entry twice over: both versions name the page.
        ini_b = b"; rewritten\r\n" + ini + b"[Other]\r\nkey=value\r\n"
        env = dict(os.environ, ORVANE_INSDIR=ins)
        log = open(os.path.join(tmp, "server.log"), "w")
        port, server = start_isapi_server(
            args.build, os.path.join(args.build, "extension", "orvanehp.so"), env, log)
        url = f"http://127.0.0.1:{port}{PATH}"

        os.rename(ini_path, ini_path + ".away")
        with urllib.request.urlopen(url) as answer:
            fallback = answer.read()
        os.rename(ini_path + ".away", ini_path)
        expected = {}
        for name, data in (("a", page_a), ("b", page_b), ("fallback", fallback)):
            expected[name] = os.path.join(tmp, name)
            with open(expected[name], "wb") as f:
                f.write(data)
        wrk_env = dict(os.environ, FAULT_PAGE_A=expected["a"], FAULT_PAGE_B=expected["b"],
                       FAULT_FALLBACK=expected["fallback"])

        files = [(page_path, [page_a, page_b]), (ini_path, [ini, ini_b])]
        report = Report(args.results)
        report.line("| rewrites | answers | page | fallback | other | socket errors "
                    "| rewrites of both files |")
        report.line("|---|---:|---:|---:|---:|---:|---:|")
        failed = False
        for mode, write in (("in place", rewrite_in_place), ("atomic", replace_atomically)):
            stop_event, rounds = threading.Event(), []
            writer = threading.Thread(target=keep_rewriting,
                                      args=(write, files, stop_event, rounds))
            writer.start()
            out = subprocess.run(
                ["wrk", "-t1", f"-c{args.connections}", f"-d{args.duration}s", "-s", SCRIPT, url],
                env=wrk_env, check=True, capture_output=True, text=True).stdout
            stop_event.set()
            writer.join()
            counts = re.search(r"classified page (\d+) fallback (\d+) other (\d+) "
                               r"socket-errors (\d+)", out)
            page, fallback_count, other, socket_errors = (int(n) for n in counts.groups())
            report.line(f"| {mode} | {page + fallback_count + other} | {page} | "
                        f"{fallback_count} | {other} | {socket_errors} | {rounds[0]} |")
            if mode == "atomic" and (fallback_count or other or socket_errors):
                failed = True
        report.write()
        return 1 if failed else 0
    finally:
        if server is not None:
            stop(server)
        shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())

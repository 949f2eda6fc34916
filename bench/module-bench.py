#!/usr/bin/env python3
"""The module alone: runs bench/module_bench (one request through the
in-process fake host, notice page and fallback page, and the notice page
through the hosts' core) several times and reports the median CPU time per
request of each.

usage: bench/module-bench.py --build BUILD_DIR [--repetitions 5] [--results FILE]
Needs a build with the benchmarks (-DORVANE_BUILD_BENCH=ON). The figures
replace this script's section of bench/RESULTS.md (--results names another
file).
"""

import argparse
import json
import os
import subprocess
import sys

from bench_support import Report, add_results_option

PAGES = {"BM_NoticePage": "notice page", "BM_FallbackPage": "fallback page",
         "BM_HostCoreNoticePage": "notice page through the host core"}


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--build", required=True, help="CMake build directory (Release)")
    parser.add_argument("--repetitions", type=int, default=5)
    add_results_option(parser)
    args = parser.parse_args()
    binary = os.path.join(args.build, "bench", "module_bench")
    if not os.path.exists(binary):
        sys.exit(f"missing {binary} (configure with -DORVANE_BUILD_BENCH=ON)")

    report = Report(args.results)
    out = subprocess.run(
        [binary, "--benchmark_format=json", f"--benchmark_repetitions={args.repetitions}",
         "--benchmark_report_aggregates_only=true"],
        check=True, capture_output=True, text=True).stdout
    medians = {run["run_name"]: run for run in json.loads(out)["benchmarks"]
               if run.get("aggregate_name") == "median"}
    report.line(f"median of {args.repetitions} repetitions, CPU time per request")
    report.line("| page | CPU us/request |")
    report.line("|---|---:|")
    for name, page in PAGES.items():
        run = medians[name]
        scale = {"ns": 1e-3, "us": 1.0, "ms": 1e3}[run["time_unit"]]
        report.line(f"| {page} | {run['cpu_time'] * scale:.2f} |")
    report.write()


if __name__ == "__main__":
    main()

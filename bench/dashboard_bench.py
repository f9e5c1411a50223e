#!/usr/bin/env python3
"""Times each view of tuneresults serve, page and JSON, over a store of a
line's worth of runs.

Usage: bench/dashboard_bench.py [--build DIR] [--store DB] [--work DIR]
                                [--repeat K] [-- results_bench.py options]

Without --store, bench/results_bench.py first makes a store of 10,000 runs
in the work folder (a temporary one unless --work is given; DIR/bench.db is
then kept for the next --store) and this times the dashboard over it.
Each URL is asked for once, then K times more (default 5). The first
request of a view (its JSON, asked for first) pays for the queries; the
others, the page of the view included, get the answer the server kept
while the store did not change.
"""
import argparse
import pathlib
import statistics
import subprocess
import sys
import tempfile
import time
import urllib.error
import urllib.request

VIEWS = [
    "/api/line", "/",
    "/api/pareto", "/pareto",
    "/api/measurement?name=Temperature", "/measurement?name=Temperature",
    "/api/unit?id=L000042", "/unit?id=L000042",
]


def fetch(url):
    started = time.monotonic()
    try:
        with urllib.request.urlopen(url, timeout=60) as response:
            size = len(response.read())
            status = response.status
    except urllib.error.HTTPError as error:
        size, status = len(error.read()), error.code
    return time.monotonic() - started, status, size


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default="build", type=pathlib.Path)
    parser.add_argument("--store")
    parser.add_argument("--work", type=pathlib.Path)
    parser.add_argument("--repeat", default=5, type=int)
    parser.add_argument("rest", nargs="*", help="passed to results_bench.py")
    args = parser.parse_args()
    build = args.build.resolve()
    with tempfile.TemporaryDirectory(prefix="dashboard-bench.") as scratch:
        store = args.store
        if not store:
            work = args.work or pathlib.Path(scratch)
            work.mkdir(parents=True, exist_ok=True)
            store = str(work / "bench.db")
            subprocess.run([sys.executable, str(pathlib.Path(__file__).with_name("results_bench.py")), "--build",
                            str(build), "--store", store, "--work", str(work), *args.rest], check=True)
        server = subprocess.Popen([str(build / "bin" / "tuneresults"), "--store", store, "serve", "--listen",
                                   "127.0.0.1:0"], stdout=subprocess.PIPE, text=True)
        try:
            base = server.stdout.readline().strip().rstrip("/")
            if not base:
                sys.exit("tuneresults serve printed no URL")
            print(f"dashboard at {base}: first request, then the median of {args.repeat} more")
            for view in VIEWS:
                first, status, size = fetch(base + view)
                times = [fetch(base + view)[0] for _ in range(args.repeat)]
                print(f"  {view:<36} {1000 * first:8.1f} ms {1000 * statistics.median(times):8.1f} ms  {status}  "
                      f"{size / 1e3:8.1f} kB")
        finally:
            server.terminate()
            server.wait(timeout=30)


if __name__ == "__main__":
    main()

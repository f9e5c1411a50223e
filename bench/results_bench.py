#!/usr/bin/env python3
"""Times the results store on a line's worth of runs: the import of N
automated-test reports and each query of tuneresults on the store they make.

Usage: bench/results_bench.py [--build DIR] [--reports N] [--real M]
                              [--store DB] [--work DIR]

M real reports (default 200) come from tuneprobe, each with its own
CALSIM_SEED, die temperature, station and fixture, a tenth with a fault
or a temperature outside the limits; tuneprobe runs with the tests' virtual
time (tests/support/virtual_time.c, preloaded), so the test's settles take
no time. They are then replayed up to N reports (default 10000) with new run
ids and unit ids (one unit in eight retested), streamed into
tuneresults import's standard input. DB defaults to a new SQLite file in the
work folder (a temporary one unless --work is given); a postgresql:// URL
times the server instead (give it an empty database or schema).
"""
import argparse
import os
import pathlib
import subprocess
import sys
import tempfile
import time

LIMITS = """[[limit]]
measurement = "Temperature"
range = [20, 60]
"""

QUERIES = [
    ["yield"],
    ["yield", "--by", "station"],
    ["yield", "--by", "day"],
    ["pareto"],
    ["stats"],
    ["stats", "Temperature"],
    ["history", "L000042"],
    ["failures", "-n", "20"],
]


def generate(build, work, count):
    """count real reports; their paths and tuneprobe's wall time."""
    tuneprobe = build / "bin" / "tuneprobe"
    limits = work / "limits.toml"
    limits.write_text(LIMITS)
    env = dict(os.environ, LD_PRELOAD=str(build / "lib" / "libvirtual_time.so"))
    reports = []
    started = time.monotonic()
    for i in range(count):
        report = work / f"real-{i:04d}.jsonl"
        run_env = dict(env, CALSIM_SEED=str(i + 1), CALSIM_TEMPERATURE=str(35 + (i * 7) % 20))
        if i % 10 == 3:
            run_env["CALSIM_FAULTS"] = "GetCWOffset/1:1=Bad read"
        elif i % 10 == 7:
            run_env["CALSIM_TEMPERATURE"] = "65"
        subprocess.run([str(tuneprobe), "--interface", "local", "--run", "9.2", "--no-pause", "--load-mode", "1",
                        "--dut-id", f"G{i:04d}", "--station", f"S{i % 4 + 1}", "--fixture", f"F{i % 3 + 1}",
                        "--operator", "bench", "--limits", str(limits), "--report", str(report)],
                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                       env=run_env, check=False)
        reports.append(report)
    return reports, time.monotonic() - started


def replay(reports, total, sink):
    """Writes total reports to sink: the real ones with new ids."""
    texts = []
    for path in reports:
        text = path.read_text()
        start = text.index('"runId":"') + len('"runId":"')
        run_id = text[start:text.index('"', start)]
        unit = text[text.index('"dutId":"') + 9:].split('"', 1)[0]
        texts.append((text, run_id, unit))
    for n in range(total):
        text, run_id, unit = texts[n % len(texts)]
        # One unit in eight comes back for a retest.
        unit_number = n - 1 if n % 8 == 7 else n
        text = text.replace(run_id, f"bench-{n:08d}").replace(unit, f"L{unit_number:06d}")
        sink.write(text.encode())


def timed(command, stdin=None):
    started = time.monotonic()
    done = subprocess.run(command, stdin=stdin, stdout=subprocess.PIPE, stderr=subprocess.PIPE, check=False)
    elapsed = time.monotonic() - started
    if done.returncode != 0:
        sys.exit(f"{' '.join(command)} failed ({done.returncode}): {done.stderr.decode()}")
    return elapsed, done.stdout


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default="build", type=pathlib.Path)
    parser.add_argument("--reports", default=10000, type=int)
    parser.add_argument("--real", default=200, type=int)
    parser.add_argument("--store")
    parser.add_argument("--work", type=pathlib.Path)
    args = parser.parse_args()
    build = args.build.resolve()
    with tempfile.TemporaryDirectory(prefix="results-bench.") as scratch:
        work = args.work or pathlib.Path(scratch)
        work.mkdir(parents=True, exist_ok=True)
        store = args.store or str(work / "bench.db")
        reports, generating = generate(build, work, args.real)
        print(f"tuneprobe: {len(reports)} reports in {generating:.1f} s ({1000 * generating / len(reports):.0f} ms "
              f"each, virtual time): {args.reports} would take {generating * args.reports / len(reports):.0f} s")
        started = time.monotonic()
        importer = subprocess.Popen([str(build / "bin" / "tuneresults"), "--store", store, "import"],
                                    stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        replay(reports, args.reports, importer.stdin)
        importer.stdin.close()
        output = importer.stdout.read()
        errors = importer.stderr.read()
        if importer.wait() != 0:
            sys.exit(f"import failed: {errors.decode()}")
        importing = time.monotonic() - started
        print(output.decode(), end="")
        print(f"import: {args.reports} reports in {importing:.1f} s ({1000 * importing / args.reports:.1f} ms each)")
        for query in QUERIES:
            elapsed, _ = timed([str(build / "bin" / "tuneresults"), "--store", store, *query])
            print(f"  {' '.join(query):<28} {1000 * elapsed:8.1f} ms")
        if not args.store:
            print(f"store size: {os.path.getsize(store) / 1e6:.0f} MB")


if __name__ == "__main__":
    main()

"""`pellumo dump` with engine values against the stored ones.

Writes the bench-million fixture database with 500,000 records (--records
to change; table "bench": integers, a Long long, a double, a DateTime, text,
long text and long binary values) with the fixture tool, then, in rounds,
runs `pellumo dump FILE bench --values raw` and `... --values engine` with
stdout to /dev/null, and prints for each the median wall time and the median
CPU time (user + system, from the child's resource usage: steadier than wall
time on a loaded machine), then the engine/raw ratios of both. The goal is
an engine dump within 1.5x of the raw one.

Usage:
  PYTHONPATH=build/python:python python3 bench/dump_bench.py [--dir DIR]
      [--records N] [--runs N] [--tool PATH] [--keep]
"""
import argparse
import glob
import os
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)


def find_tool(given):
    if given:
        return given
    candidates = sorted(glob.glob(os.path.join(ROOT, "build*", "pellumo_fixture_tool")), key=os.path.getmtime)
    if not candidates:
        sys.exit("no pellumo_fixture_tool found under build*/; pass --tool")
    return candidates[-1]


def database(args):
    path = os.path.join(args.dir, f"pellumo-dump-bench-{args.records}.edb")
    if not os.path.exists(path):
        start = time.perf_counter()
        subprocess.run([find_tool(args.tool), "bench-million", path, "--records", str(args.records)], check=True)
        print(f"wrote {path} ({os.path.getsize(path) / 2**20:.0f} MiB) in {time.perf_counter() - start:.1f} s")
    return path


def run_dump(path, values):
    """(wall seconds, CPU seconds) of one dump in a child process."""
    command = [sys.executable, "-m", "pellumo_cli", "dump", path, "bench", "--values", values]
    with open(os.devnull, "wb") as sink:
        start = time.perf_counter()
        child = subprocess.Popen(command, stdout=sink)
        _, status, usage = os.wait4(child.pid, 0)
        wall = time.perf_counter() - start
    child.returncode = os.waitstatus_to_exitcode(status)
    if child.returncode != 0:
        sys.exit(f"{' '.join(command)} ended with status {child.returncode}")
    return wall, usage.ru_utime + usage.ru_stime


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--dir", default=tempfile.gettempdir())
    parser.add_argument("--records", type=int, default=500_000)
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--tool")
    parser.add_argument("--keep", action="store_true", help="keep the database for the next run")
    args = parser.parse_args()
    path = database(args)
    try:
        run_dump(path, "raw")  # the file's pages into the page cache
        times = {"raw": [], "engine": []}
        for _ in range(args.runs):
            for values in times:  # interleaved: both see the same load
                times[values].append(run_dump(path, values))
        medians = {}
        for values, runs in times.items():
            wall = statistics.median(w for w, _ in runs)
            cpu = statistics.median(c for _, c in runs)
            medians[values] = (wall, cpu)
            print(f"dump --values {values:6}  {args.records:,} records  wall {wall:6.2f} s  cpu {cpu:6.2f} s")
        (raw_wall, raw_cpu), (engine_wall, engine_cpu) = medians["raw"], medians["engine"]
        print(f"engine / raw: wall {engine_wall / raw_wall:.2f}x  cpu {engine_cpu / raw_cpu:.2f}x  (goal: <= 1.5x)")
    finally:
        if not args.keep:
            os.remove(path)


if __name__ == "__main__":
    main()

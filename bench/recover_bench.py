"""Record recovery from Python: speed against reading, counts, false positives.

For each database given (default: every sample in ../shared/samples, unpacked
into a temporary directory), times in rounds a walk of every table with
iter_table and a recovery of every table with recover, prints the best time
of each and their ratio, and the recovered records counted per table, source
and status. The figures the issue sets goals for:
  - recovery of every table of the largest sample within 3x the time of
    reading them (the ratio printed for large.edb);
  - the false-positive rate of the schema check: with --fp, runs the C++
    benchmark pellumo_recover_bench (built with -DPELLUMO_BUILD_BENCH=ON),
    which tries the check at every offset inside every live record.

Usage:
  PYTHONPATH=build/python python3 bench/recover_bench.py [DB ...] [--runs N] [--fp BENCH_BINARY]
"""
import argparse
import collections
import glob
import gzip
import os
import shutil
import subprocess
import tempfile
import time

import pellumo

HERE = os.path.dirname(os.path.abspath(__file__))
SAMPLES = os.path.join(os.path.dirname(os.path.dirname(HERE)), "shared", "samples")


def unpack_samples(into):
    paths = []
    for gz in sorted(glob.glob(os.path.join(SAMPLES, "*.gz"))):
        target = os.path.join(into, os.path.basename(gz)[: -len(".gz")])
        with gzip.open(gz, "rb") as source, open(target, "wb") as out:
            shutil.copyfileobj(source, out)
        paths.append(target)
    return paths


def best_of(runs, work):
    best = float("inf")
    result = None
    for _ in range(runs):
        start = time.perf_counter()
        result = work()
        best = min(best, time.perf_counter() - start)
    return best, result


def read_all(db):
    return sum(1 for table in db.get_tables() for _ in db.iter_table(table))


def recover_all(db):
    counts = collections.Counter()
    for table in db.get_tables():
        for record in db.recover(table):
            counts[(table, record["_source"], record["_status"])] += 1
    return counts


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("databases", nargs="*")
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--fp", metavar="BENCH_BINARY", help="also run pellumo_recover_bench for the false positives")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as scratch:
        paths = args.databases or unpack_samples(scratch)
        if not paths:
            parser.error(f"no databases given and no samples in {SAMPLES}")
        for path in paths:
            db = pellumo.EseDatabase(path)
            read_time, live = best_of(args.runs, lambda db=db: read_all(db))
            recover_time, counts = best_of(args.runs, lambda db=db: recover_all(db))
            ratio = recover_time / read_time if read_time else 0.0
            print(f"{os.path.basename(path)}: {live} live records read in {read_time:.4f} s; "
                  f"{sum(counts.values())} recovered in {recover_time:.4f} s ({ratio:.2f}x read)")
            for (table, source, status), n in sorted(counts.items()):
                print(f"    {table:40} {source:14} {status:11} {n}")
        if args.fp:
            subprocess.run([args.fp, *paths, "--runs", "1"], check=True)


if __name__ == "__main__":
    main()

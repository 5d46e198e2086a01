"""read_table speed against CPython building the same result.

Writes the bench-million fixture database (table "bench": fixed, variable
and tagged columns, text in code pages 1252 and 1200, long values with 32-
and 64-bit ids; 1,000,000 records unless --records says otherwise) with the
fixture tool, then times, in rounds, read_table("bench") and
pickle.loads(pickle.dumps(result)) on its result, and prints records per
second, the ratio of the two times (medians) and the peak memory of the
process. Then, in a fresh process, walks the same table with iter_table and
prints its speed and its anonymous memory (the heap, without the mapped
file) sampled along the way, which stays flat however many records pass;
once with values="raw" and once with values="engine".

Usage:
  PYTHONPATH=build/python python3 bench/read_bench.py [--dir DIR] [--records N]
      [--runs N] [--page-size N] [--tool PATH] [--keep]
"""
import argparse
import gc
import glob
import os
import pickle
import resource
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)


def find_tool(given, module_file):
    if given:
        return given
    # The tool of the build the module comes from (build/python/pellumo*.so).
    beside = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(module_file))), "pellumo_fixture_tool")
    if os.path.exists(beside):
        return beside
    candidates = sorted(glob.glob(os.path.join(ROOT, "build*", "pellumo_fixture_tool")), key=os.path.getmtime)
    if not candidates:
        sys.exit("no pellumo_fixture_tool found under build*/; pass --tool")
    return candidates[-1]


def peak_mib():
    # ru_maxrss is in KiB on Linux.
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024


def anon_mib():
    # Anonymous resident memory: the heap and Python objects, not the mapping.
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("RssAnon:"):
                return int(line.split()[1]) / 1024
    return 0.0


def iterate(path, records, values):
    """Child process: iter_table over the whole table, sampling memory."""
    from pellumo import EseDatabase

    db = EseDatabase(path)
    before = anon_mib()
    samples = []
    start = time.perf_counter()
    count = 0
    for _ in db.iter_table("bench", values=values):
        count += 1
        if count % (records // 10 or 1) == 0:
            samples.append(anon_mib())
    seconds = time.perf_counter() - start
    if count != records:
        sys.exit(f"iterated {count} records, expected {records}")
    print(f"iter_table(values={values!r}): {count} records in {seconds:.3f} s: {count / seconds:,.0f} records/s; "
          f"anonymous memory {before:.0f} MiB before, "
          f"{' '.join(f'{m:.0f}' for m in samples)} MiB after each tenth of the table")


def timed(fn):
    gc.collect()
    start = time.perf_counter()
    result = fn()
    return time.perf_counter() - start, result


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--dir", default=tempfile.gettempdir(), help="where the database is written")
    parser.add_argument("--records", type=int, default=1_000_000)
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--page-size", type=int, default=8192)
    parser.add_argument("--tool", help="path of pellumo_fixture_tool")
    parser.add_argument("--keep", action="store_true", help="keep the database afterwards")
    parser.add_argument("--child-iterate", help=argparse.SUPPRESS)
    parser.add_argument("--child-values", default="raw", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child_iterate:
        iterate(args.child_iterate, args.records, args.child_values)
        return

    import pellumo
    from pellumo import EseDatabase

    path = os.path.join(args.dir, f"pellumo-read-bench-{args.records}-{args.page_size}.edb")
    if not os.path.exists(path):
        tool = find_tool(args.tool, pellumo.__file__)
        start = time.perf_counter()
        subprocess.run([tool, "bench-million", path, "--records", str(args.records),
                        "--page-size", str(args.page_size)], check=True)
        print(f"wrote {path} ({os.path.getsize(path) / 2**20:.0f} MiB) in {time.perf_counter() - start:.1f} s")
    try:
        db = EseDatabase(path)
        baseline = peak_mib()
        read_times, copy_times = [], []
        peak_after_read = None
        for _ in range(args.runs):
            seconds, rows = timed(lambda db=db: db.read_table("bench"))
            read_times.append(seconds)
            if peak_after_read is None:  # before any pickled copy existed
                peak_after_read = peak_mib()
            if len(rows) != args.records:
                sys.exit(f"read {len(rows)} records, expected {args.records}")
            seconds, copy = timed(lambda rows=rows: pickle.loads(pickle.dumps(rows, protocol=pickle.HIGHEST_PROTOCOL)))
            copy_times.append(seconds)
            if copy != rows:
                sys.exit("the pickled copy differs from the result")
            del rows, copy
        read = statistics.median(read_times)
        copy = statistics.median(copy_times)
        print(f"read_table: {args.records} records in {read:.3f} s (median of {args.runs}): "
              f"{args.records / read:,.0f} records/s")
        print(f"pickle.loads(pickle.dumps(result)): {copy:.3f} s; ratio read_table / pickle: {read / copy:.2f}")
        print(f"peak memory: {peak_after_read:.0f} MiB after the first read_table "
              f"({baseline:.0f} MiB before it); {peak_mib():.0f} MiB overall, with a pickled copy alive")
        del db
        # The engine reading (lists, defaults, dates, UUIDs) beside the raw one.
        for values in ("raw", "engine"):
            subprocess.run([sys.executable, os.path.abspath(__file__), "--records", str(args.records),
                            "--child-iterate", path, "--child-values", values], check=True)
    finally:
        if not args.keep and os.path.exists(path):
            os.remove(path)


if __name__ == "__main__":
    main()

"""Arrow streams against read_table, the cursor walk, two threads and memory.

Writes the bench-million fixture database (as bench/read_bench.py does) and
measures, on its table "bench" and on the largest table of the sample
databases (when ../shared/samples is there):

  1. pyarrow.table(db.arrow(t)) against db.read_table(t)      goal: >= 10x faster
  2. the same against the library's own cursor walk (the C++ program
     pellumo_read_bench, built with -DPELLUMO_BUILD_BENCH=ON), which decodes
     the same records and produces nothing                     goal: <= 1.5x its time
  3. two threads, each reading its own EseDatabase, against one goal: >= 1.6x
  4. the peak anonymous memory of a fresh process while it builds the table,
     against the table's nbytes                                goal: <= 1.3x + 64 MiB
  5. Parquet (zstd) of the million-record table through the stream against
     pandas.DataFrame(db.read_table(t)).to_parquet()

Times are medians of --runs rounds. Prints the figures; asserts nothing.

Usage:
  python3 bench/arrow_bench.py [--build DIR] [--dir DIR] [--records N] [--runs N] [--keep]
"""
import argparse
import glob
import gzip
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
SAMPLES = os.path.join(os.path.dirname(ROOT), "shared", "samples")
MIB = 1 << 20


def anon_mib():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("RssAnon:"):
                return int(line.split()[1]) / 1024
    return 0.0


def median_time(fn, runs):
    times = []
    for _ in range(runs):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def cursor_walk(build, path, table, runs):
    """Seconds per pass of the C++ cursor walk, or None when it is not built."""
    program = os.path.join(build, "pellumo_read_bench")
    if not os.path.exists(program):
        return None
    done = subprocess.run([program, path, table, "--runs", str(runs)], capture_output=True, text=True, check=True)
    match = re.search(r"cursor: ([0-9.]+) s per pass", done.stdout)
    return float(match.group(1)) if match else None


def peak_child(path, table):
    """Child process: peak anonymous memory while pyarrow builds the table."""
    import pyarrow as pa
    from pellumo import EseDatabase

    db = EseDatabase(path)
    before = anon_mib()
    peak = [before]
    stop = threading.Event()

    def sample():
        while not stop.is_set():
            peak[0] = max(peak[0], anon_mib())
            time.sleep(0.002)

    sampler = threading.Thread(target=sample)
    sampler.start()
    result = pa.table(db.arrow(table))
    stop.set()
    sampler.join()
    peak[0] = max(peak[0], anon_mib())
    print(f"{peak[0] - before:.1f} {result.nbytes / MIB:.1f}")


def measure(label, path, table, args, pa, EseDatabase):
    db = EseDatabase(path)
    rows = len(db.read_table(table))
    print(f"\n== {label}: table {table!r} of {os.path.basename(path)}, {rows:,} records, "
          f"{len(db.get_table_schema(table))} columns")
    arrow = median_time(lambda: pa.table(db.arrow(table)), args.runs)
    read = median_time(lambda: db.read_table(table), args.runs)
    print(f"pyarrow.table(db.arrow(t)): {arrow:.3f} s; db.read_table(t): {read:.3f} s; "
          f"arrow is {read / arrow:.1f}x faster (goal >= 10x)")
    walk = cursor_walk(args.build, path, table, args.runs)
    if walk is None:
        print("cursor walk: pellumo_read_bench not built (configure with -DPELLUMO_BUILD_BENCH=ON)")
    else:
        print(f"cursor walk (C++, no output): {walk:.3f} s; arrow takes {arrow / walk:.2f}x its time (goal <= 1.5x)")

    # Two databases, one thread each, against one alone.
    dbs = [EseDatabase(path), EseDatabase(path)]

    def both():
        threads = [threading.Thread(target=lambda d=d: pa.table(d.arrow(table))) for d in dbs]
        for t in threads:
            t.start()
        for t in threads:
            t.join()

    one = median_time(lambda: pa.table(dbs[0].arrow(table)), args.runs)
    cpu_start, wall_start = time.process_time(), time.perf_counter()
    two = median_time(both, args.runs)
    # Processor time over wall time: near 2 when both threads had a core.
    cores = (time.process_time() - cpu_start) / (time.perf_counter() - wall_start)
    print(f"two threads on two databases: {two:.3f} s for twice the work of {one:.3f} s; "
          f"throughput {2 * one / two:.2f}x one thread (goal >= 1.6x); {cores:.2f} cores busy "
          f"(load average {os.getloadavg()[0]:.1f} on {os.cpu_count()} cores)")

    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    done = subprocess.run([sys.executable, os.path.abspath(__file__), "--child-peak", path, "--table", table],
                          capture_output=True, text=True, check=True, env=env)
    peak, nbytes = (float(x) for x in done.stdout.split())
    print(f"peak anonymous memory while building: {peak:.1f} MiB for a table of {nbytes:.1f} MiB: "
          f"{peak / nbytes if nbytes else 0:.2f}x; budget 1.3x + 64 MiB = {1.3 * nbytes + 64:.1f} MiB")
    return db


def largest_sample_table(workdir, EseDatabase):
    """The sample table with the most cells, decompressed into workdir."""
    best = None
    for compressed in sorted(glob.glob(os.path.join(SAMPLES, "*.gz"))):
        target = os.path.join(workdir, os.path.basename(compressed)[:-3])
        with gzip.open(compressed, "rb") as source, open(target, "wb") as out:
            shutil.copyfileobj(source, out)
        db = EseDatabase(target)
        for table in db.get_tables():
            cells = len(db.read_table(table)) * len(db.get_table_schema(table))
            if best is None or cells > best[0]:
                best = (cells, target, table)
    return best


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default=os.path.join(ROOT, "build"), help="build directory (module, tools)")
    parser.add_argument("--dir", default=tempfile.gettempdir(), help="where the database is written")
    parser.add_argument("--records", type=int, default=1_000_000)
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--page-size", type=int, default=8192)
    parser.add_argument("--keep", action="store_true", help="keep the database afterwards")
    parser.add_argument("--child-peak", help=argparse.SUPPRESS)
    parser.add_argument("--table", default="bench", help=argparse.SUPPRESS)
    args = parser.parse_args()
    sys.path.insert(0, os.path.join(args.build, "python"))
    if args.child_peak:
        peak_child(args.child_peak, args.table)
        return

    import pandas
    import pyarrow as pa
    import pyarrow.parquet as pq
    from pellumo import EseDatabase

    path = os.path.join(args.dir, f"pellumo-read-bench-{args.records}-{args.page_size}.edb")
    if not os.path.exists(path):
        start = time.perf_counter()
        subprocess.run([os.path.join(args.build, "pellumo_fixture_tool"), "bench-million", path,
                        "--records", str(args.records), "--page-size", str(args.page_size)], check=True)
        print(f"wrote {path} ({os.path.getsize(path) / MIB:.0f} MiB) in {time.perf_counter() - start:.1f} s")
    workdir = tempfile.mkdtemp(prefix="pellumo-arrow-bench-")
    try:
        db = measure("million-record fixture", path, "bench", args, pa, EseDatabase)

        out = os.path.join(workdir, "bench.parquet")
        via_arrow = median_time(lambda: pq.write_table(pa.table(db.arrow("bench")), out, compression="zstd"),
                                args.runs)
        arrow_size = os.path.getsize(out)
        via_pandas = median_time(lambda: pandas.DataFrame(db.read_table("bench")).to_parquet(out), args.runs)
        print(f"Parquet: through the stream (zstd) {via_arrow:.3f} s, {arrow_size / MIB:.1f} MiB; "
              f"pandas.DataFrame(read_table).to_parquet() {via_pandas:.3f} s, {os.path.getsize(out) / MIB:.1f} MiB; "
              f"{via_pandas / via_arrow:.1f}x faster")

        if os.path.isdir(SAMPLES):
            best = largest_sample_table(workdir, EseDatabase)
            if best is not None:
                measure("largest sample table", best[1], best[2], args, pa, EseDatabase)
        else:
            print(f"\n(no samples in {SAMPLES})")
    finally:
        shutil.rmtree(workdir, ignore_errors=True)
        if not args.keep and os.path.exists(path):
            os.remove(path)


if __name__ == "__main__":
    main()

"""The Arrow stream on five tables, each a ratio to the C++ cursor walk.

Tables: the bench-million fixture ("bench", written with the fixture tool),
and from the sample databases (../shared/samples, decompressed into a
temporary folder; a table whose sample is absent is passed over) large.edb
MSysObjects, ntds.dit datatable, the SRUM application resource usage table
of SRUDB.dat, the Windows Search property store of Windows.edb and the
largest cache container of WebCacheV01.dat.

For each table, in every round: the C++ cursor walk (pellumo_read_bench,
built with -DPELLUMO_BUILD_BENCH=ON: every record decoded, long values
resolved, every value touched, nothing produced), the C++ Arrow stream
alone (pellumo_arrow_bench: every batch built, then released), then
pyarrow.table(db.arrow(t)) and db.read_table(t). A round repeats a
measurement until it has run for --min-seconds, and the fastest call of all
rounds counts, so the ratios come from the same run and the same load. Prints, per table:

  arrow raw (MB/s of the table's leaf pages, records/s), the cursor (MB/s),
  arrow / cursor (time), the stream alone / cursor (time: what is left is
  the consumer's, pyarrow importing each column of each batch), read_table
  / arrow (time)

and for the bench table the processor time per record of two streams on
two threads (each its own EseDatabase) against one alone, with the kernel's
share of it. With --values engine the Arrow stream gives engine values.

Usage:
  python3 bench/arrow_tables_bench.py [--build DIR] [--dir DIR] [--records N]
      [--rounds N] [--min-seconds S] [--values raw|engine] [--only NAME] [--keep]
"""
import argparse
import gzip
import os
import re
import resource
import shutil
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
SAMPLES = os.path.join(os.path.dirname(ROOT), "shared", "samples")
MB = 1e6

# (label, sample file or None for the fixture, table name)
TABLES = [
    ("bench fixture", None, "bench"),
    ("large.edb MSysObjects", "large.edb", "MSysObjects"),
    ("ntds.dit datatable", "ntds.dit", "datatable"),
    # The sample SRUDB.dat has no App Timeline table: its largest table,
    # application resource usage, stands in for it.
    ("SRUDB App Resource Usage", "SRUDB.dat", "{D10CA2FE-6FCF-4F6D-848E-B2E99266FA89}"),
    ("Windows.edb PropertyStore", "Windows.edb", "SystemIndex_PropertyStore"),
    ("WebCacheV01.dat Container_11", "WebCacheV01.dat", "Container_11"),
]


def best_per_call(fn, min_seconds):
    """Seconds of the fastest call, calls repeated until min_seconds have
    passed: the least disturbed by the machine's other work, as the C++
    programs' best pass is."""
    best = None
    start = time.perf_counter()
    while True:
        t0 = time.perf_counter()
        fn()
        t1 = time.perf_counter()
        best = t1 - t0 if best is None else min(best, t1 - t0)
        if t1 - start >= min_seconds:
            return best


def cursor_walk(program, path, table, min_seconds):
    """(best seconds per pass, leaf-page bytes, records) of the C++ walk."""
    # Enough passes to fill min_seconds, judged from a first single pass.
    first = subprocess.run([program, path, table, "--runs", "1"], capture_output=True, text=True, check=True)
    one = float(re.search(r"best: ([0-9.]+) s", first.stdout).group(1))
    runs = max(1, min(200, int(min_seconds / max(one, 1e-6))))
    done = subprocess.run([program, path, table, "--runs", str(runs)], capture_output=True, text=True, check=True)
    best = float(re.search(r"best: ([0-9.]+) s", done.stdout).group(1))
    pages, size = (int(x) for x in re.search(r"leaf pages: (\d+) of (\d+) bytes", done.stdout).groups())
    records = int(re.search(r": (\d+) records", done.stdout).group(1))
    return best, pages * size, records


def stream_alone(program, path, table, values, min_seconds):
    """Best seconds per pass of the C++ stream without a consumer."""
    extra = ["--engine"] if values == "engine" else []
    first = subprocess.run([program, path, table, "--runs", "1", "--profile", *extra], capture_output=True, text=True,
                           check=True)
    one = float(re.search(r"best: ([0-9.]+) s", first.stdout).group(1))
    runs = max(1, min(2000, int(min_seconds / max(one, 1e-6))))
    done = subprocess.run([program, path, table, "--runs", str(runs), "--profile", *extra], capture_output=True,
                          text=True, check=True)
    return float(re.search(r"best: ([0-9.]+) s", done.stdout).group(1))


def two_threads(pa, EseDatabase, path, table, values, rounds):
    """Processor seconds per record, one stream alone and two on two threads."""
    dbs = [EseDatabase(path), EseDatabase(path)]
    records = len(pa.table(dbs[0].arrow(table, values=values)))

    def cpu(fn):
        best = None
        for _ in range(rounds):
            # getrusage counts in microseconds; os.times in clock ticks
            # (10 ms), too coarse for a read of a fifth of a second.
            t0, w0 = resource.getrusage(resource.RUSAGE_SELF), time.perf_counter()
            fn()
            t1, w1 = resource.getrusage(resource.RUSAGE_SELF), time.perf_counter()
            user, system = t1.ru_utime - t0.ru_utime, t1.ru_stime - t0.ru_stime
            if best is None or user + system < best[0] + best[1]:
                best = (user, system, w1 - w0)
        return best

    def both():
        threads = [threading.Thread(target=lambda d=d: pa.table(d.arrow(table, values=values))) for d in dbs]
        for t in threads:
            t.start()
        for t in threads:
            t.join()

    one = cpu(lambda: pa.table(dbs[0].arrow(table, values=values)))
    two = cpu(both)
    per_one = (one[0] + one[1]) / records
    per_two = (two[0] + two[1]) / (2 * records)
    print(f"\ntwo streams on two threads ({records:,} records each):")
    print(f"  one thread:  {per_one * 1e9:7.1f} ns of processor time per record, kernel {one[1] / sum(one[:2]):5.1%}, "
          f"wall {one[2]:.3f} s")
    print(f"  two threads: {per_two * 1e9:7.1f} ns of processor time per record, kernel {two[1] / sum(two[:2]):5.1%}, "
          f"wall {two[2]:.3f} s, {sum(two[:2]) / two[2]:.2f} cores busy")
    print(f"  processor time per record, two threads / one: {per_two / per_one:.3f} (goal <= 1.05); "
          f"throughput {2 * one[2] / two[2]:.2f}x one thread (load average {os.getloadavg()[0]:.1f} "
          f"on {os.cpu_count()} cores)")


def measure_table(pa, EseDatabase, program, stream_program, path, table, args):
    """(records, columns, leaf-page bytes, best seconds by measurement) of one table."""
    db = EseDatabase(path)
    columns = len(db.get_table_schema(table))
    best = {"arrow": None, "read": None, "cursor": None, "stream": None}
    leaf_bytes = records = 0
    # The first pyarrow.table() of a process also imports what pyarrow loads
    # lazily (a third of a second): not the stream's time.
    pa.table(db.arrow(table, values=args.values))
    for _ in range(args.rounds):
        walk, leaf_bytes, records = cursor_walk(program, path, table, args.min_seconds)
        stream = stream_alone(stream_program, path, table, args.values, args.min_seconds)
        arrow = best_per_call(lambda: pa.table(db.arrow(table, values=args.values)), args.min_seconds)
        read = best_per_call(lambda: db.read_table(table), args.min_seconds)
        for key, value in (("cursor", walk), ("stream", stream), ("arrow", arrow), ("read", read)):
            best[key] = value if best[key] is None else min(best[key], value)
    got = len(pa.table(db.arrow(table, values=args.values)))
    if got != records:
        sys.exit(f"{table}: the stream gave {got} records, the cursor {records}")
    return records, columns, leaf_bytes, best


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default=os.path.join(ROOT, "build"), help="build directory (module, tools)")
    parser.add_argument("--dir", default=tempfile.gettempdir(), help="where the fixture database is written")
    parser.add_argument("--records", type=int, default=1_000_000)
    parser.add_argument("--page-size", type=int, default=4096, help="of the fixture database")
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--min-seconds", type=float, default=0.3, help="shortest time one measurement runs")
    parser.add_argument("--values", choices=("raw", "engine"), default="raw")
    parser.add_argument("--only", action="append", help="measure only tables whose label contains this")
    parser.add_argument("--keep", action="store_true", help="keep the fixture database afterwards")
    args = parser.parse_args()
    sys.path.insert(0, os.path.join(args.build, "python"))
    import pyarrow as pa
    from pellumo import EseDatabase

    program = os.path.join(args.build, "pellumo_read_bench")
    stream_program = os.path.join(args.build, "pellumo_arrow_bench")
    for needed in (program, stream_program):
        if not os.path.exists(needed):
            sys.exit(f"{needed} is missing: configure the build with -DPELLUMO_BUILD_BENCH=ON")
    fixture = os.path.join(args.dir, f"pellumo-read-bench-{args.records}-{args.page_size}.edb")
    if not os.path.exists(fixture):
        subprocess.run([os.path.join(args.build, "pellumo_fixture_tool"), "bench-million", fixture,
                        "--records", str(args.records), "--page-size", str(args.page_size)], check=True)
    workdir = tempfile.mkdtemp(prefix="pellumo-arrow-tables-")
    rows = []
    try:
        for label, sample, table in TABLES:
            if args.only and not any(o.lower() in label.lower() for o in args.only):
                continue
            if sample is None:
                path = fixture
            else:
                compressed = os.path.join(SAMPLES, sample + ".gz")
                if not os.path.exists(compressed):
                    print(f"({label}: {compressed} absent)")
                    continue
                path = os.path.join(workdir, sample)
                with gzip.open(compressed, "rb") as source, open(path, "wb") as out:
                    shutil.copyfileobj(source, out)
            records, columns, leaf_bytes, best = measure_table(pa, EseDatabase, program, stream_program, path, table,
                                                               args)
            rows.append((label, records, columns, leaf_bytes, best))
            if sample is None:
                fixture_row = (path, table)
        print(f"\nvalues={args.values!r}; best of {args.rounds} rounds of at least {args.min_seconds} s each")
        print(f"| table | arrow {args.values} | C++ cursor | arrow ÷ cursor | stream alone ÷ cursor | "
              "read_table ÷ arrow |")
        print("|---|---|---|---|---|---|")
        for label, records, columns, leaf_bytes, best in rows:
            name = f"{label}, {records:,} × {columns}"
            arrow_cell = (f"{leaf_bytes / best['arrow'] / MB:,.0f} MB/s, {records / best['arrow'] / 1e6:.2f} M rec/s, "
                          f"{best['arrow'] * 1e3:.2f} ms")
            cursor_cell = f"{leaf_bytes / best['cursor'] / MB:,.0f} MB/s, {best['cursor'] * 1e3:.2f} ms"
            print(f"| {name} | {arrow_cell} | {cursor_cell} | {best['arrow'] / best['cursor']:.2f} | "
                  f"{best['stream'] / best['cursor']:.2f} | {best['read'] / best['arrow']:.1f} |")
        if any(r[0] == "bench fixture" for r in rows):
            two_threads(pa, EseDatabase, fixture_row[0], fixture_row[1], args.values, args.rounds)
    finally:
        shutil.rmtree(workdir, ignore_errors=True)
        if not args.keep and os.path.exists(fixture):
            os.remove(fixture)


if __name__ == "__main__":
    main()

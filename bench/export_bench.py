"""export_table speed and memory against what a user would write instead.

Writes the bench-million fixture database (table "bench", 1,000,000 records
unless --records says otherwise; the reading benchmark's database) with the
fixture tool, then, in rounds:

  - times export_table("bench", file) and prints the MB/s of JSON written;
  - where orjson is installed, times read_table("bench") followed by
    orjson.dumps of each record (bytes given to orjson as hex, as the export
    writes them) written to a file line by line, and prints the ratio of the
    two times (medians); the goal is an export taking at most half as long;
  - runs the export alone in a child process, once on the full database and
    once on one of a tenth the records, and prints the peak growth of the
    child's anonymous memory (heap, sampled from /proc while the export runs)
    and of its peak RSS (which also counts the pages of the mapped file).
    Memory flat in the number of records means the heap growth is about the
    same for both;
  - times two exports (export_table, and write_table_jsonl into a Python
    file object) one after the other and the same two on two threads, and
    prints the ratio: about 1.0 while a call holds the interpreter lock
    throughout, towards 0.5 when it decodes without it and two cores are free.

Usage:
  PYTHONPATH=build/python python3 bench/export_bench.py [--dir DIR] [--records N]
      [--runs N] [--page-size N] [--tool PATH] [--keep]
"""
import argparse
import gc
import glob
import os
import select
import statistics
import subprocess
import sys
import tempfile
import threading
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


def database(args, records):
    """The path of a bench database of `records` records, written if missing."""
    path = os.path.join(args.dir, f"pellumo-read-bench-{records}-{args.page_size}.edb")
    if not os.path.exists(path):
        tool = find_tool(args.tool)
        start = time.perf_counter()
        subprocess.run([tool, "bench-million", path, "--records", str(records), "--page-size", str(args.page_size)],
                       check=True)
        print(f"wrote {path} ({os.path.getsize(path) / 2**20:.0f} MiB) in {time.perf_counter() - start:.1f} s")
    return path


def timed(fn):
    gc.collect()
    start = time.perf_counter()
    fn()
    return time.perf_counter() - start


def orjson_export(db, out_path, orjson):
    """What a user would write: read the table, serialise each record."""
    def hex_bytes(value):
        if isinstance(value, bytes):
            return value.hex()
        raise TypeError
    rows = db.read_table("bench")
    dumps = orjson.dumps
    with open(out_path, "wb") as out:
        for row in rows:
            out.write(dumps(row, default=hex_bytes))
            out.write(b"\n")


def side_by_side(export, out_path):
    """(seconds for two exports one after the other, seconds for the same
    two on two threads); export(path) writes one."""
    def one(i):
        export(f"{out_path}.{i}")

    def on_threads():
        threads = [threading.Thread(target=one, args=(i,)) for i in range(2)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()

    return timed(lambda: (one(0), one(1))), timed(on_threads)


def write_to_file_object(db, path):
    with open(path, "wb") as f:
        db.write_table_jsonl("bench", f)


# ---- memory, measured in a child process ----

def status_kib(pid, field):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return 0


def child_main(db_path, out_path):
    """Opens the database, reports, waits for a go, exports, reports."""
    from pellumo import EseDatabase
    db = EseDatabase(db_path)
    # The peak RSS of this process image: ru_maxrss would also carry the
    # parent's peak over from before the exec.
    before = status_kib("self", "VmHWM")
    print("ready", flush=True)
    sys.stdin.readline()
    db.export_table("bench", out_path)
    after = status_kib("self", "VmHWM")
    print(f"done {before} {after}", flush=True)


def measure_memory(db_path, out_path):
    """(peak anonymous growth, peak RSS growth) of one export, in MiB."""
    child = subprocess.Popen([sys.executable, os.path.abspath(__file__), "--child", db_path, out_path],
                             stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, env=os.environ)
    try:
        if child.stdout.readline().strip() != "ready":
            sys.exit("the memory child did not start")
        base = status_kib(child.pid, "RssAnon")
        peak = base
        child.stdin.write("go\n")
        child.stdin.flush()
        line = ""
        while not line:
            ready, _, _ = select.select([child.stdout], [], [], 0.002)
            if ready:
                line = child.stdout.readline()
            else:
                peak = max(peak, status_kib(child.pid, "RssAnon"))
        _, before, after = line.split()
        return (peak - base) / 1024, (int(after) - int(before)) / 1024
    finally:
        child.stdin.close()
        child.wait()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--dir", default=tempfile.gettempdir(), help="where the databases and outputs are written")
    parser.add_argument("--records", type=int, default=1_000_000)
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--page-size", type=int, default=8192)
    parser.add_argument("--tool", help="path of pellumo_fixture_tool")
    parser.add_argument("--keep", action="store_true", help="keep the databases afterwards")
    parser.add_argument("--child", nargs=2, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        child_main(*args.child)
        return

    from pellumo import EseDatabase
    try:
        import orjson
    except ImportError:
        orjson = None

    small_records = max(1, args.records // 10)
    path = database(args, args.records)
    small_path = database(args, small_records)
    out_path = os.path.join(args.dir, f"pellumo-export-bench-{os.getpid()}.jsonl")
    try:
        db = EseDatabase(path)
        export_times, orjson_times = [], []
        for _ in range(args.runs):
            export_times.append(timed(lambda: db.export_table("bench", out_path)))
            if orjson is not None:
                orjson_times.append(timed(lambda: orjson_export(db, out_path + ".orjson", orjson)))
        size = os.path.getsize(out_path)
        with open(out_path, "rb") as f:
            lines = sum(chunk.count(b"\n") for chunk in iter(lambda: f.read(1 << 20), b""))
        if lines != args.records:
            sys.exit(f"exported {lines} lines, expected {args.records}")
        export = statistics.median(export_times)
        print(f"export_table: {args.records} records, {size / 1e6:.1f} MB of JSON in {export:.3f} s "
              f"(median of {args.runs}): {size / 1e6 / export:.1f} MB/s, {args.records / export:,.0f} records/s")
        if orjson is None:
            print("orjson is not installed for this interpreter: no comparison")
        else:
            other = statistics.median(orjson_times)
            other_size = os.path.getsize(out_path + ".orjson")
            print(f"read_table + orjson.dumps per record: {other:.3f} s ({other_size / 1e6:.1f} MB); "
                  f"ratio export_table / that: {export / other:.2f} (goal: 0.50 or less)")

        calls = {"export_table": lambda p: db.export_table("bench", p),
                 "write_table_jsonl (file object)": lambda p: write_to_file_object(db, p)}
        for name, export_call in calls.items():
            runs = [side_by_side(export_call, out_path) for _ in range(args.runs)]
            one_after_other = statistics.median(r[0] for r in runs)
            threads = statistics.median(r[1] for r in runs)
            print(f"two {name} on two threads: {threads:.3f} s, one after the other: {one_after_other:.3f} s "
                  f"(medians of {args.runs}): ratio {threads / one_after_other:.2f}")

        for records, db_path in ((small_records, small_path), (args.records, path)):
            heap, maxrss = measure_memory(db_path, out_path)
            print(f"memory of one export of {records:,} records: heap +{heap:.1f} MiB, peak RSS +{maxrss:.1f} MiB "
                  f"(database file {os.path.getsize(db_path) / 2**20:.0f} MiB, mapped)")
    finally:
        for p in (out_path, out_path + ".orjson", out_path + ".0", out_path + ".1"):
            if os.path.exists(p):
                os.remove(p)
        if not args.keep:
            for p in (path, small_path):
                if os.path.exists(p):
                    os.remove(p)


if __name__ == "__main__":
    main()

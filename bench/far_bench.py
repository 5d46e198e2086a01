"""Reading a database whose trees sit past page 100,000.

Writes the far-tree fixture (tables Alpha, with long values, and Beta; the
catalog's children and every tree beyond --first-page) as a sparse file of
several gigabytes with the fixture tool, then times, in rounds, opening it,
read_table on both tables and check() of the whole file, and prints the
figures with the file's apparent and allocated sizes.

Usage:
  PYTHONPATH=build/python python3 bench/far_bench.py [--dir DIR] [--page-size N]
      [--first-page N] [--runs N] [--tool PATH] [--keep]
"""
import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

from read_bench import find_tool  # noqa: E402


def timed(fn, runs):
    times = []
    for _ in range(runs):
        started = time.perf_counter()
        result = fn()
        times.append(time.perf_counter() - started)
    return statistics.median(times), result


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--dir", default=tempfile.gettempdir())
    parser.add_argument("--page-size", type=int, default=32768)
    parser.add_argument("--first-page", type=int, default=100005)
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--tool")
    parser.add_argument("--keep", action="store_true")
    args = parser.parse_args()

    import pellumo

    tool = find_tool(args.tool, pellumo.__file__)
    path = os.path.join(args.dir, f"pellumo-far-bench-{args.page_size}-{args.first_page}.edb")
    started = time.perf_counter()
    subprocess.run([tool, "far-tree", path, "--page-size", str(args.page_size), "--first-page",
                    str(args.first_page)], check=True)
    st = os.stat(path)
    print(f"wrote {path}: {st.st_size / 2**30:.2f} GiB apparent, {st.st_blocks * 512 / 2**20:.1f} MiB allocated, "
          f"in {time.perf_counter() - started:.2f} s")
    try:
        t_open, db = timed(lambda: pellumo.EseDatabase(path), args.runs)
        print(f"open: {t_open * 1e3:.2f} ms; {db.total_pages} pages; tables {db.get_tables()}")
        t_read, rows = timed(lambda: (db.read_table("Alpha"), db.read_table("Beta")), args.runs)
        print(f"read_table Alpha + Beta: {t_read * 1e3:.2f} ms, {len(rows[0]) + len(rows[1])} records")
        t_check, report = timed(db.check, args.runs)
        print(f"check(): {t_check:.2f} s over {report['header']['total_pages']} pages, damaged={report['damaged']}, "
              f"pages reached by no tree {report['unreached_pages']}")
    finally:
        if not args.keep:
            os.unlink(path)


if __name__ == "__main__":
    main()

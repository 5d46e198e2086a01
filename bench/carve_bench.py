"""Carving speed against one plain pass over the same mapped bytes.

Writes the carve-bench fixture database (mixed binary data, UTF-16 and ASCII
text; 1 GiB unless --size says otherwise) with the fixture tool, then times,
in rounds, a plain pass over the file's mmap (mm.find of eight bytes that
never occur), carve_utf16le_strings_scoped("all") and ("slack") with a needle
that is never found, and prints the page bytes carved per second and the
ratio of each carving time to the plain pass (medians).

Usage:
  PYTHONPATH=build/python python3 bench/carve_bench.py [--dir DIR] [--size BYTES]
      [--runs N] [--tool PATH] [--keep]
"""
import argparse
import glob
import mmap
import os
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
NEVER = b"\x01\x02\x03\x04\x05\x06\x07\x08"
NEEDLE = "qzxjvqzxjv"  # printable, and absent from the fixture


def find_tool(given):
    if given:
        return given
    candidates = sorted(glob.glob(os.path.join(ROOT, "build*", "pellumo_fixture_tool")), key=os.path.getmtime)
    if not candidates:
        sys.exit("no pellumo_fixture_tool found under build*/; pass --tool")
    return candidates[-1]


def timed(fn):
    start = time.perf_counter()
    fn()
    return time.perf_counter() - start


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--dir", default=tempfile.gettempdir(), help="where the database is written")
    parser.add_argument("--size", type=int, default=1 << 30, help="database size in bytes (default 1 GiB)")
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--tool", help="path of pellumo_fixture_tool")
    parser.add_argument("--keep", action="store_true", help="keep the database afterwards")
    args = parser.parse_args()

    from pellumo import EseDatabase

    if not hasattr(EseDatabase, "carve_utf16le_strings_scoped"):
        sys.exit("this pellumo has no carve_utf16le_strings_scoped; bench/carve_bench.cpp measures the library")

    path = os.path.join(args.dir, f"pellumo-carve-bench-{args.size}.edb")
    if not (os.path.exists(path) and os.path.getsize(path) == args.size // 4096 * 4096):
        print(f"writing {path} ...", flush=True)
        subprocess.run([find_tool(args.tool), "carve-bench", path, "--size", str(args.size)], check=True)
    try:
        db = EseDatabase(path)
        page_bytes = db.total_pages * db.page_size
        with open(path, "rb") as f, mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ) as mm:
            assert mm.find(NEVER) == -1  # also faults the mapping in
            plain, carve_all, carve_slack = [], [], []
            hits = {}
            for _ in range(args.runs):
                plain.append(timed(lambda: mm.find(NEVER)))
                carve_all.append(timed(lambda: hits.__setitem__("all", db.carve_utf16le_strings_scoped(
                    "all", needle=NEEDLE, min_chars=6, max_hits=1000))))
                carve_slack.append(timed(lambda: hits.__setitem__("slack", db.carve_utf16le_strings_scoped(
                    "slack", needle=NEEDLE, min_chars=6, max_hits=1000))))
        base = statistics.median(plain)
        size = os.path.getsize(path)
        print(f"file {path}: {size / 2**20:.1f} MiB, {db.total_pages} pages of {db.page_size} bytes")
        print(f"plain pass, mm.find of 8 absent bytes:  {base * 1e3:8.1f} ms  {size / base / 1e9:6.2f} GB/s")
        for name, times in (("all", carve_all), ("slack", carve_slack)):
            t = statistics.median(times)
            print(f"carve {name:<5} (needle never found):    {t * 1e3:8.1f} ms  {page_bytes / t / 1e9:6.2f} GB/s"
                  f" of pages  ratio to plain pass {t / base:.2f}  ({len(hits[name])} hits)")
        first = timed(lambda: db.carve_utf16le_strings_scoped("all", max_hits=1000))
        print(f"carve all, no needle, first 1000 hits:  {first * 1e3:8.1f} ms")
    finally:
        if not args.keep and os.path.exists(path):
            os.remove(path)


if __name__ == "__main__":
    main()

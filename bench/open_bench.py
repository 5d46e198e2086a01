"""Prints the time to open each sample database (median of several runs).

Usage: PYTHONPATH=build/python python3 bench/open_bench.py [SAMPLES_DIR] [RUNS]
"""
import gzip
import os
import shutil
import statistics
import sys
import tempfile
import time

from pellumo import EseDatabase

HERE = os.path.dirname(os.path.abspath(__file__))
DEFAULT_SAMPLES = os.path.join(HERE, "..", "..", "shared", "samples")


def median_open_seconds(path: str, runs: int) -> float:
    times = []
    for _ in range(runs):
        start = time.perf_counter()
        db = EseDatabase(path)
        times.append(time.perf_counter() - start)
        del db
    return statistics.median(times)


def main() -> None:
    samples = sys.argv[1] if len(sys.argv) > 1 else DEFAULT_SAMPLES
    runs = int(sys.argv[2]) if len(sys.argv) > 2 else 15
    if not os.path.isdir(samples):
        print(f"no samples folder at {samples}")
        return
    with tempfile.TemporaryDirectory() as tmp:
        print(f"{'sample':<20} {'size':>12} {'tables':>7} {'open (median of ' + str(runs) + ')':>22}")
        for name in sorted(os.listdir(samples)):
            if not name.endswith(".gz"):
                continue
            path = os.path.join(tmp, name[:-3])
            with gzip.open(os.path.join(samples, name), "rb") as src, open(path, "wb") as dst:
                shutil.copyfileobj(src, dst)
            tables = len(EseDatabase(path).get_tables())
            seconds = median_open_seconds(path, runs)
            print(f"{name[:-3]:<20} {os.path.getsize(path):>12,} {tables:>7} {seconds * 1000:>19.3f} ms")


if __name__ == "__main__":
    main()

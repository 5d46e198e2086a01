"""The directory artifact (ntds.dit) against the raw Arrow read of datatable.

Measures, on the sample ntds.dit (when ../shared/samples is there) and on a
fixture directory of --objects objects written with the project's fixture
writer (the real datatable and link_table schema; users stored as one
repeated record):

  pellumo_artifacts.open(path).tables()   (every table: objects, users,
                                           computers, groups, memberships,
                                           links, domain)
  against
  pyarrow.table(EseDatabase(path).arrow("datatable", values="engine"))
                                                          goal: <= 1.5x

Both are timed in the same process, alternately, after one warm-up round of
each (the file in the page cache); times are medians of --runs rounds. Also
prints the time of each table built alone. Prints the figures; asserts
nothing.

Usage:
  python3 bench/artifacts_directory_bench.py [--build DIR] [--dir DIR] [--objects N] [--runs N] [--keep]
"""

from __future__ import annotations

import argparse
import gzip
import os
import shutil
import statistics
import sys
import tempfile
import time
from collections.abc import Callable
from typing import Any

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
SAMPLES = os.path.join(os.path.dirname(ROOT), "shared", "samples")
sys.path.insert(0, os.path.join(ROOT, "tests", "python"))
sys.path.insert(0, os.path.join(ROOT, "python"))


def timed(fn: Callable[[], Any]) -> tuple[float, float]:
    """(wall seconds, CPU seconds of this process) of one call. The CPU
    time is the steadier figure on a shared machine."""
    wall, cpu = time.perf_counter(), time.process_time()
    fn()
    return time.perf_counter() - wall, time.process_time() - cpu


def compare(label: str, path: str, runs: int) -> None:
    import pellumo
    import pellumo_artifacts
    import pyarrow as pa

    def raw() -> int:
        return int(pa.table(pellumo.EseDatabase(path).arrow("datatable", values="engine")).num_rows)

    def artifact() -> dict[str, Any]:
        return pellumo_artifacts.open(path).tables()

    raw()
    tables = artifact()
    raw_times, artifact_times = [], []
    for _ in range(runs):
        raw_times.append(timed(raw))
        artifact_times.append(timed(artifact))
    print(f"{label}: {os.path.getsize(path) / (1 << 20):.1f} MiB, "
          + ", ".join(f"{t.num_rows:,} {name}" for name, t in tables.items()))
    for what, index in (("wall", 0), ("CPU", 1)):
        raw_s = statistics.median(t[index] for t in raw_times)
        artifact_s = statistics.median(t[index] for t in artifact_times)
        print(f"  {what:<4} arrow('datatable') {raw_s:7.3f} s   open(...).tables() {artifact_s:7.3f} s   "
              f"{artifact_s / raw_s:5.2f}x   (goal <= 1.5x)")
    for name in tables:
        alone = statistics.median(timed(lambda name=name: pellumo_artifacts.open(path).table(name))[1]
                                  for _ in range(max(1, runs // 2)))
        print(f"    {name:<12} built alone: {alone:7.3f} s CPU")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default=os.path.join(ROOT, "build"), help="build folder with the module and tool")
    parser.add_argument("--dir", help="where to write the fixture (default: a temporary folder)")
    parser.add_argument("--objects", type=int, default=1_000_000, help="objects of the fixture directory")
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--keep", action="store_true", help="keep the fixture")
    args = parser.parse_args()
    sys.path.insert(0, os.path.join(args.build, "python"))
    tool = os.path.join(args.build, "pellumo_fixture_tool")

    import ntds_fixture
    from fixture_json import write_database

    work = args.dir or tempfile.mkdtemp(prefix="pellumo-ntds-bench-")
    os.makedirs(work, exist_ok=True)
    try:
        sample = os.path.join(SAMPLES, "ntds.dit.gz")
        if os.path.isfile(sample):
            path = os.path.join(work, "sample-ntds.dit")
            with gzip.open(sample) as f, open(path, "wb") as out:
                shutil.copyfileobj(f, out)
            compare("sample ntds.dit", path, args.runs)
        else:
            print(f"(no sample at {sample})")
        path = os.path.join(work, "ntds.dit")
        if not os.path.exists(path):
            directory = ntds_fixture.directory()
            bulk = max(0, args.objects - len(directory.rows))
            start = time.perf_counter()
            write_database(path, ntds_fixture.directory_tables(directory, bulk=bulk), page_size=8192, tool=tool)
            print(f"(fixture written in {time.perf_counter() - start:.1f} s)")
        compare(f"fixture directory of {args.objects:,} objects", path, args.runs)
    finally:
        if not args.keep and not args.dir:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()

"""Many files at once: pellumo_fleet.scan, Dask, Spark and `pellumo export`
with one and with two cores' worth of workers.

Writes --files database files (default 200) with the fixture tool, each with
the bench table of --records records (default 10,000; the reading
benchmark's table: fixed, variable and tagged columns, long values), laid
out as hostNNNN/bench.edb, then prints, each the median of --runs:

  - scan: records/s of pyarrow reading pellumo_fleet.scan(files, "bench")
    with workers=1 and workers=2, and their ratio (goal: >= 1.7 on 2 cores);
  - Dask: the same files as one dataframe (one partition per file), counted
    on a distributed.LocalCluster of 1 and of 2 worker processes;
  - Spark: the "ese" data source counted on local[1] and local[2];
  - `pellumo export --format parquet` (and jsonl) with --jobs 1 and --jobs 2;
  - how the cost grows with the number of files: files/s and records/s of
    scan (workers=2) over 50, 200 and 800 files of --scale-records records.

Every figure is wall-clock on this machine; other load on it shows in them.
Sections can be left out (--skip dask spark ...).

Usage:
  PYTHONPATH=build/python:python python3 bench/fleet_bench.py [--dir DIR] [--files N]
      [--records N] [--scale-records N] [--runs N] [--tool PATH] [--skip SECTION ...]
"""

from __future__ import annotations

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from collections.abc import Callable
from pathlib import Path

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(ROOT, "tests", "python"))

import fleet_corpus  # noqa: E402


def median_time(fn: Callable[[], object], runs: int) -> tuple[float, object]:
    times = []
    result: object = None
    for _ in range(runs):
        start = time.perf_counter()
        result = fn()
        times.append(time.perf_counter() - start)
    return statistics.median(times), result


def line(label: str, seconds: float, records: int, files: int) -> None:
    print(f"  {label:<34} {seconds:8.3f} s  {records / seconds:12,.0f} records/s  {files / seconds:8.1f} files/s",
          flush=True)


def bench_scan(files: list[str], runs: int) -> None:
    import pellumo_fleet

    def count(workers: int) -> int:
        reader = pellumo_fleet.scan(files, "bench", workers=workers).reader()
        return sum(batch.num_rows for batch in reader)

    print(f"scan over {len(files)} files (cores busy: this process's CPU time over wall time)", flush=True)
    seconds = {}
    for workers in (1, 2):
        before = os.times()
        seconds[workers], records = median_time(lambda w=workers: count(w), runs)
        after = os.times()
        busy = (after.user - before.user + after.system - before.system) / (after.elapsed - before.elapsed)
        line(f"workers={workers}", seconds[workers], int(records), len(files))
        print(f"  {'':<34} cores busy {busy:.2f}")
    print(f"  speed-up with 2 workers: {seconds[1] / seconds[2]:.2f}x (goal >= 1.7x)")


def bench_dask(files: list[str], runs: int) -> None:
    import distributed
    import pellumo_fleet.dask

    print(f"Dask over {len(files)} files (one partition per file)", flush=True)
    seconds = {}
    for workers in (1, 2):
        with distributed.LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                                      dashboard_address=None, silence_logs=40) as cluster, \
                distributed.Client(cluster) as client:
            frame = pellumo_fleet.dask.read_table(files, "bench")
            client.compute(frame.shape[0]).result()  # warm the workers' imports
            seconds[workers], records = median_time(lambda f=frame, c=client: c.compute(f.shape[0]).result(), runs)
        line(f"{workers} worker process(es)", seconds[workers], int(records), len(files))
    print(f"  speed-up with 2 workers: {seconds[1] / seconds[2]:.2f}x")


def bench_spark(files: list[str], runs: int) -> None:
    from pellumo_fleet.spark import EseDataSource
    from pyspark.sql import SparkSession

    os.environ["PYSPARK_PYTHON"] = sys.executable
    print(f"Spark over {len(files)} files (one partition per file)", flush=True)
    seconds = {}
    for cores in (1, 2):
        spark = (SparkSession.builder.master(f"local[{cores}]").config("spark.ui.enabled", "false")
                 .config("spark.ui.showConsoleProgress", "false").getOrCreate())
        spark.sparkContext.setLogLevel("ERROR")
        spark.dataSource.register(EseDataSource)
        frame = spark.read.format("ese").option("table", "bench").load(files)
        frame.count()  # start the Python workers
        seconds[cores], records = median_time(frame.count, runs)
        line(f"local[{cores}]", seconds[cores], int(records), len(files))
        spark.stop()
    print(f"  speed-up with local[2]: {seconds[1] / seconds[2]:.2f}x")


def bench_export(files: list[str], records: int, runs: int, work: str) -> None:
    env = dict(os.environ)
    print(f"pellumo export of {len(files)} files", flush=True)
    for fmt in ("parquet", "jsonl"):
        seconds = {}
        for jobs in (1, 2):
            out = os.path.join(work, f"export-{fmt}-{jobs}")

            def run(out: str = out, jobs: int = jobs, fmt: str = fmt) -> None:
                shutil.rmtree(out, ignore_errors=True)
                subprocess.run([sys.executable, "-m", "pellumo_cli", "export", *files, out, "--format", fmt,
                                "--table", "bench", "--jobs", str(jobs), "-q"], env=env, check=True)

            seconds[jobs], _ = median_time(run, runs)
            line(f"--format {fmt} --jobs {jobs}", seconds[jobs], records * len(files), len(files))
            shutil.rmtree(out, ignore_errors=True)
        print(f"  --jobs 2 against --jobs 1 ({fmt}): {seconds[1] / seconds[2]:.2f}x")


def bench_scale(root: str, tool: str, records: int, runs: int) -> None:
    import pellumo_fleet

    print(f"scan (workers=2) against the number of files, {records:,} records each", flush=True)
    files = fleet_corpus.many(Path(root), Path(tool), 800,
                              records=records)
    for n in (50, 200, 800):
        chosen = files[:n]

        def count(chosen: list[str] = chosen) -> int:
            return sum(b.num_rows for b in pellumo_fleet.scan(chosen, "bench", workers=2).reader())

        seconds, total = median_time(count, runs)
        line(f"{n} files", seconds, int(total), n)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--dir", help="work folder (default: a temporary one, removed afterwards)")
    parser.add_argument("--files", type=int, default=200)
    parser.add_argument("--records", type=int, default=10_000)
    parser.add_argument("--scale-records", type=int, default=2_000)
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--tool", default=os.path.join(ROOT, "build", "pellumo_fixture_tool"))
    parser.add_argument("--skip", nargs="*", default=[], choices=["scan", "dask", "spark", "export", "scale"])
    args = parser.parse_args()
    work = args.dir or tempfile.mkdtemp(prefix="fleet-bench-")
    try:
        files = fleet_corpus.many(Path(work) / "files", Path(args.tool),
                                  args.files, records=args.records)
        size = sum(os.path.getsize(p) for p in files)
        print(f"{len(files)} files of {args.records:,} records, {size / 2**20:.0f} MiB in all; "
              f"{os.cpu_count()} cores; load average {os.getloadavg()[0]:.1f}", flush=True)
        if "scan" not in args.skip:
            bench_scan(files, args.runs)
        if "dask" not in args.skip:
            bench_dask(files, args.runs)
        if "spark" not in args.skip:
            bench_spark(files, args.runs)
        if "export" not in args.skip:
            bench_export(files, args.records, args.runs, work)
        if "scale" not in args.skip:
            bench_scale(os.path.join(work, "scale"), args.tool, args.scale_records, args.runs)
        print(f"load average at the end {os.getloadavg()[0]:.1f}")
    finally:
        if not args.dir:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()

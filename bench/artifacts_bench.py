"""The artifact layer against the raw Arrow read it is built on.

Measures pellumo_artifacts.open(path).tables() against pyarrow.table(
db.arrow(t, values="engine")) of the database tables those tables come
from, on:

  1. a fixture SRUDB.dat of --records application records (1,000,000 by
     default) with the real SRUM schema, written by the fixture tool's JSON
     mode;
  2. the sample SRUDB.dat (when ../shared/samples is there).

Goal: the artifact layer costs at most 1.5 x the raw Arrow read. Both are
timed in the same run, alternating, median of --runs rounds, as wall time
and as the process's CPU time (all threads); on a loaded machine the CPU
ratio is the steadier figure.
Prints the figures; asserts nothing.

Usage:
  python3 bench/artifacts_bench.py [--build DIR] [--dir DIR] [--records N] [--runs N] [--keep]
"""
import argparse
import gzip
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
SAMPLES = os.path.join(os.path.dirname(ROOT), "shared", "samples")
APPLICATION = "{D10CA2FE-6FCF-4F6D-848E-B2E99266FA89}"
NETWORK = "{973F5D5C-1D90-4944-BE8E-24B94231A174}"


def srum_description(records):
    """A SRUM database: the id map (applications and users) and the
    application and network tables, `records` rows each (ids cycling)."""
    ids = []
    for i in range(1, 201):
        if i % 10 == 0:  # a user: a SID
            sid = bytes([1, 5, 0, 0, 0, 0, 0, 5, 21, 0, 0, 0]) + i.to_bytes(4, "little") * 3 + (1000 + i).to_bytes(
                4, "little")
            ids.append({"values": {"IdType": 3, "IdIndex": i, "IdBlob": {"hex": sid.hex()}}})
        else:
            name = f"\\Device\\HarddiskVolume3\\Program Files\\app{i}\\app{i}.exe\0".encode("utf-16-le")
            ids.append({"values": {"IdType": 0, "IdIndex": i, "IdBlob": {"hex": name.hex()}}})
    base = [{"name": "AutoIncId", "type": "long", "not_null": True}, {"name": "TimeStamp", "type": "datetime"},
            {"name": "AppId", "type": "long"}, {"name": "UserId", "type": "long"}]
    app_columns = base + [{"name": n, "type": "long_long"} for n in (
        "ForegroundCycleTime", "BackgroundCycleTime", "FaceTime", "ForegroundBytesRead", "ForegroundBytesWritten",
        "BackgroundBytesRead", "BackgroundBytesWritten")] + [{"name": n, "type": "long"} for n in (
            "ForegroundContextSwitches", "BackgroundContextSwitches", "ForegroundNumReadOperations",
            "ForegroundNumWriteOperations")]
    net_columns = base + [{"name": "InterfaceLuid", "type": "long_long"}, {"name": "L2ProfileId", "type": "long"},
                          {"name": "L2ProfileFlags", "type": "long"}, {"name": "BytesSent", "type": "long_long"},
                          {"name": "BytesRecvd", "type": "long_long"}]
    # AppId steps through the applications and UserId through the users, so
    # every row resolves through the id map.
    app_row = {"values": {"AutoIncId": 1, "TimeStamp": 44000.0, "AppId": 1, "UserId": 10,
                          "ForegroundCycleTime": 123456789, "FaceTime": 1000, "ForegroundBytesRead": 4096,
                          "ForegroundContextSwitches": 12},
               "repeat": records, "step": {"AutoIncId": 1, "TimeStamp": 1 / 24}}
    net_row = {"values": {"AutoIncId": 1, "TimeStamp": 44000.0, "AppId": 1, "UserId": 10,
                          "InterfaceLuid": 1689399632855040, "BytesSent": 1234, "BytesRecvd": 98765},
               "repeat": records, "step": {"AutoIncId": 1, "TimeStamp": 1 / 24}}
    return {"tables": [
        {"name": "SruDbIdMapTable", "primary_key": ["IdIndex"], "records": ids,
         "columns": [{"name": "IdType", "type": "unsigned_byte"}, {"name": "IdIndex", "type": "long"},
                     {"name": "IdBlob", "type": "long_binary"}]},
        {"name": APPLICATION, "primary_key": ["AutoIncId"], "columns": app_columns, "records": [app_row]},
        {"name": NETWORK, "primary_key": ["AutoIncId"], "columns": net_columns, "records": [net_row]},
    ]}


def timed(fn):
    """(wall seconds, CPU seconds) of one call."""
    wall, cpu = time.perf_counter(), time.process_time()
    fn()
    return time.perf_counter() - wall, time.process_time() - cpu


def compare(path, runs):
    """((raw wall, raw CPU), (artifact wall, artifact CPU), rows) for one database file."""
    import pellumo
    import pellumo_artifacts
    import pyarrow as pa
    from pellumo_artifacts.srum import EXTENSIONS, ID_MAP_TABLE

    probe = pellumo_artifacts.open(path)
    by_name = {name: guid for guid, name in EXTENSIONS.items()} | {"id_map": ID_MAP_TABLE}
    db_tables = [by_name.get(name, name) for name in probe.table_names]
    rows = sum(t.num_rows for t in probe.tables().values())

    def raw():
        db = pellumo.EseDatabase(path)
        for name in db_tables:
            pa.table(db.arrow(name, values="engine"))

    def artifact():
        pellumo_artifacts.open(path).tables()

    raw_times, art_times = [], []
    for _ in range(runs):  # alternating, so load changes hit both alike
        raw_times.append(timed(raw))
        art_times.append(timed(artifact))

    def median(times, i):
        return statistics.median(t[i] for t in times)

    return (median(raw_times, 0), median(raw_times, 1)), (median(art_times, 0), median(art_times, 1)), rows


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", default=os.path.join(ROOT, "build"))
    parser.add_argument("--dir", default=None, help="where the fixture goes (default: a temporary folder)")
    parser.add_argument("--records", type=int, default=1_000_000)
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--keep", action="store_true", help="keep the fixture")
    args = parser.parse_args()
    sys.path[:0] = [os.path.join(args.build, "python"), os.path.join(ROOT, "python")]
    work = args.dir or tempfile.mkdtemp(prefix="pellumo-artifacts-bench-")
    os.makedirs(work, exist_ok=True)
    try:
        fixture = os.path.join(work, "SRUDB.dat")
        started = time.perf_counter()
        tool = os.path.join(args.build, "pellumo_fixture_tool")
        subprocess.run([tool, "from-json", "-", fixture], input=json.dumps(srum_description(args.records)).encode(),
                       check=True)
        print(f"fixture: {args.records:,} records in each of two SRUM tables, "
              f"{os.path.getsize(fixture) / 2**20:.0f} MiB, written in {time.perf_counter() - started:.1f}s")
        cases = [("fixture SRUDB.dat", fixture)]
        sample = os.path.join(SAMPLES, "SRUDB.dat.gz")
        if os.path.isfile(sample):
            unpacked = os.path.join(work, "sample-SRUDB.dat")
            with gzip.open(sample) as src, open(unpacked, "wb") as dst:
                shutil.copyfileobj(src, dst)
            cases.append(("sample SRUDB.dat", unpacked))
        print(f"{'database':<20} {'rows':>10} {'raw arrow':>20} {'artifacts':>20} {'ratio wall/CPU':>15}"
              "   (goal <= 1.50)")
        for label, path in cases:
            (raw, raw_cpu), (art, art_cpu), rows = compare(path, args.runs)
            print(f"{label:<20} {rows:>10,} {raw:>8.3f}s ({raw_cpu:>6.3f}s CPU) {art:>8.3f}s ({art_cpu:>6.3f}s CPU)"
                  f" {art / raw:>6.2f} / {art_cpu / raw_cpu:>5.2f}")
    finally:
        if not args.keep and args.dir is None:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()

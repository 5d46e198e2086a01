"""`pellumo artifacts`: inputs found in folders, one folder per input with a
file per table and warnings.txt, Parquet, CSV and JSON Lines, the timeline,
files of no known kind skipped, and Ctrl-C; run as `python -m pellumo_cli`."""

import csv
import json
import sys

import pytest

pa = pytest.importorskip("pyarrow")
import pyarrow.parquet as pq  # noqa: E402
from artifact_fixtures import srum_tables, system_identity_tables, ual_tables  # noqa: E402
from conftest import INSTALLED, ROOT  # noqa: E402
from fixture_json import write_database  # noqa: E402
from test_cli import cli, interrupt_while_writing  # noqa: E402, F401 - cli: the fixture

if not INSTALLED:
    sys.path.insert(0, str(ROOT / "python"))

import pellumo_artifacts  # noqa: E402

SRUM_TABLES = ["id_map", "application", "network_data", "network_connectivity", "energy_usage_lt", "app_timeline",
               "{01234567-89AB-CDEF-0123-456789ABCDEF}"]
UAL_TABLES = ["clients", "clients_daily", "role_access", "virtual_machines", "dns", "system_identity", "role_ids",
              "chained_databases"]
EXTENSIONS = {"parquet": ".parquet", "csv": ".csv", "jsonl": ".jsonl"}


@pytest.fixture
def evidence(tmp_path, make_db):
    """evidence/host1/SRUDB.dat, evidence/host2/Sum/{Current,SystemIdentity}.mdb,
    evidence/host2/Sum/notes.mdb (an ESE file of no known kind) and a file
    whose name no kind uses."""
    root = tmp_path / "evidence"
    write_database(root / "host1" / "SRUDB.dat", srum_tables())
    write_database(root / "host2" / "Sum" / "Current.mdb", ual_tables())
    write_database(root / "host2" / "Sum" / "SystemIdentity.mdb", system_identity_tables())
    (root / "host2" / "Sum" / "notes.mdb").write_bytes(open(make_db("sample"), "rb").read())
    (root / "host1" / "readme.txt").write_text("not a database")
    return root


def read_back(path, fmt):
    if fmt == "parquet":
        return pq.read_table(path).to_pylist()
    if fmt == "csv":
        with open(path, newline="", encoding="utf-8") as f:
            return list(csv.DictReader(f))
    return [json.loads(line) for line in path.read_text(encoding="utf-8").splitlines()]


@pytest.mark.parametrize("fmt", ["parquet", "csv", "jsonl"])
def test_a_folder_of_evidence(cli, evidence, tmp_path, fmt):
    out = tmp_path / "out"
    done = cli("artifacts", evidence, out, "--format", fmt, "--timeline")
    stderr = done.stderr.decode()
    # The ESE file of no known kind is listed and skipped; the text file was never an input.
    assert done.returncode == 1, stderr
    assert f"pellumo: warning: skipped {evidence / 'host2' / 'Sum' / 'notes.mdb'}: no known artifact kind" in stderr
    assert "1 of 4 files skipped" in stderr and "readme" not in stderr
    ext = EXTENSIONS[fmt]
    folders = {p.relative_to(out).as_posix(): sorted(c.name for c in p.iterdir())
               for p in out.rglob("*") if p.is_dir()}
    assert folders["host1/SRUDB.dat"] == sorted([t + ext for t in SRUM_TABLES] + ["warnings.txt"])
    assert folders["host2/Sum/Current.mdb"] == sorted([t + ext for t in UAL_TABLES] + ["warnings.txt"])
    assert folders["host2/Sum/SystemIdentity.mdb"] == sorted(
        [t + ext for t in ("system_identity", "role_ids", "chained_databases")] + ["warnings.txt"])
    assert "host2/Sum/notes.mdb" not in folders
    assert not list(out.rglob(".pellumo-partial-*"))

    srum = pellumo_artifacts.open(evidence / "host1" / "SRUDB.dat")
    warnings = (out / "host1" / "SRUDB.dat" / "warnings.txt").read_text().splitlines()
    srum.tables()
    assert warnings == srum.warnings and any("AppId values with no entry" in w for w in warnings)

    app = read_back(out / "host1" / "SRUDB.dat" / f"application{ext}", fmt)
    expected = srum.table("application").to_pylist()
    assert len(app) == len(expected)
    if fmt == "parquet":
        assert app == expected
    else:
        # Text forms: ISO 8601 UTC with Z, every digit of the unit.
        assert app[0]["TimeStamp"] == "2021-11-16T19:00:00.000000Z"
        assert app[0]["AppName"] == expected[0]["AppName"]
        conn = read_back(out / "host1" / "SRUDB.dat" / f"network_connectivity{ext}", fmt)
        assert conn[0]["ConnectStartTime"] == "2021-11-16T18:17:44.200939500Z"
        clients = read_back(out / "host2" / "Sum" / "Current.mdb" / f"clients{ext}", fmt)
        assert clients[0]["RoleGuid"] == "10a9226f-50ee-49d8-a393-9a501d47ce04"
        assert clients[0]["Address"] == "10.0.0.5"
        daily = read_back(out / "host2" / "Sum" / "Current.mdb" / f"clients_daily{ext}", fmt)
        assert daily[0]["AccessDate"] == "2024-01-01"

    timeline = read_back(out / f"timeline{ext}", fmt)
    assert [c for c in timeline[0]] == ["Time", "Artifact", "Table", "TimeField", "Summary", "Source"]
    times = [r["Time"] for r in timeline]
    assert times == sorted(times)
    if fmt != "parquet":
        assert all(t.endswith("Z") and "T" in t for t in times)
    # SystemIdentity.mdb is also Current.mdb's companion: its rows are there once.
    identity = [r for r in timeline if r["Table"] == "system_identity"]
    assert len(identity) == 1 and identity[0]["Source"].endswith("SystemIdentity.mdb")
    kinds = {r["Artifact"] for r in timeline}
    assert kinds == {"srum", "ual"}


def test_one_input_gets_a_folder_of_its_own_name(cli, tmp_path):
    path = write_database(tmp_path / "SRUDB.dat", srum_tables())
    out = tmp_path / "out"
    done = cli("artifacts", path, out, "-q")
    assert done.returncode == 0, done.stderr.decode()
    assert done.stdout == b"" and done.stderr == b""
    assert sorted(p.name for p in (out / "SRUDB.dat").iterdir()) == sorted(
        [t + ".parquet" for t in SRUM_TABLES] + ["warnings.txt"])
    assert not (out / "timeline.parquet").exists()


def test_recovered_records(cli, tmp_path):
    path = write_database(tmp_path / "SRUDB.dat", srum_tables(recovered_rows=True))
    out = tmp_path / "out"
    assert cli("artifacts", path, out, "--recovered").returncode == 0
    rows = pq.read_table(out / "SRUDB.dat" / "application.parquet").to_pylist()
    assert [r["_recovered"] for r in rows] == [False] * 5 + [True, True]


@pytest.mark.parametrize("argv, message", [
    (["{empty}"], "no input file: the folders given hold no file of a known artifact name (SRUDB.dat, "),
    (["{missing}"], "Database file not found"),
])
def test_nothing_to_read(cli, tmp_path, argv, message):
    (tmp_path / "empty").mkdir()
    args = [a.format(empty=tmp_path / "empty", missing=tmp_path / "missing.dat") for a in argv]
    done = cli("artifacts", *args, tmp_path / "out")
    assert done.returncode == 1
    assert message in done.stderr.decode()


def test_help_names_the_command(cli):
    done = cli("artifacts", "--help")
    assert done.returncode == 0 and b"--timeline" in done.stdout and b"warnings.txt" in done.stdout


def test_interrupted(cli, tmp_path):
    root = tmp_path / "in"
    big = srum_tables(rows=150_000)
    for i in range(6):
        write_database(root / f"host{i}" / "SRUDB.dat", big)
    out = tmp_path / "out"
    interrupt_while_writing(cli, ["artifacts", root, out, "--format", "jsonl"], out)
    # What was finished is whole.
    for written in out.rglob("application.jsonl"):
        lines = written.read_text().splitlines()
        assert len(lines) == 150_000 and json.loads(lines[-1])["AutoIncId"] == 150_000

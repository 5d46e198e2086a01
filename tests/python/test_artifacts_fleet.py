"""Artifact tables across many files: pellumo_fleet.scan, Dask and Spark with
"artifact:<kind>/<table>" wherever a table name goes, each row with its
file, files of another kind skipped."""

import os
import sys

import pytest

pa = pytest.importorskip("pyarrow")

from artifact_fixtures import srum_tables, system_identity_tables, ual_tables  # noqa: E402
from conftest import INSTALLED, ROOT  # noqa: E402
from fixture_json import write_database  # noqa: E402

if not INSTALLED:
    sys.path.insert(0, str(ROOT / "python"))

import pellumo_artifacts  # noqa: E402
import pellumo_fleet  # noqa: E402
from test_fleet_engines import _child_environment, _plain, integration, spark  # noqa: E402, F401


@pytest.fixture
def fleet(tmp_path, make_db):
    """Three hosts' SRUDB.dat (the second with ten times the application
    rows), one host's UAL folder, and a database of no known kind."""
    tmp_path = tmp_path / "fleet"
    paths = []
    for host, rows in (("h1", 1), ("h2", 10), ("h3", 1)):
        paths.append(write_database(tmp_path / host / "SRUDB.dat", srum_tables(rows=rows)))
    write_database(tmp_path / "h4" / "Current.mdb", ual_tables())
    write_database(tmp_path / "h4" / "SystemIdentity.mdb", system_identity_tables())
    plain = tmp_path / "h5" / "SRUDB.dat"
    plain.parent.mkdir()
    plain.write_bytes(open(make_db("sample"), "rb").read())
    return tmp_path, paths


def test_scan_an_artifact_table(fleet):
    root, srums = fleet
    result = pellumo_fleet.scan(str(root / "**" / "*.*"), "artifact:srum/application")
    table = pa.table(result)
    want = [pellumo_artifacts.open(p).table("application") for p in srums]
    assert table.num_rows == sum(t.num_rows for t in want)
    assert table.column_names == want[0].column_names + ["_source"]
    counts = {p: table.column("_source").to_pylist().count(p) for p in srums}
    assert counts == {p: t.num_rows for p, t in zip(srums, want, strict=True)}
    first = table.filter(pa.compute.equal(table.column("_source"), srums[0])).drop_columns(["_source"])
    assert first.to_pylist() == want[0].to_pylist()
    reasons = {os.path.relpath(s.path, root): s.reason for s in result.skipped}
    assert reasons == {
        "h4/Current.mdb": "not a srum artifact (a ual one)",
        "h4/SystemIdentity.mdb": "not a srum artifact (a ual one)",
        "h5/SRUDB.dat": reasons["h5/SRUDB.dat"],
    }
    assert "not an artifact database of a known kind" in reasons["h5/SRUDB.dat"]


def test_scan_columns_and_other_kinds(fleet):
    root, srums = fleet
    result = pellumo_fleet.scan(srums, "artifact:srum/network_data", columns=["AppName", "BytesSent"])
    assert pa.table(result).to_pylist() == [{"AppName": "\\Device\\HarddiskVolume3\\Windows\\System32\\svchost.exe",
                                             "BytesSent": 1234, "_source": p} for p in srums]
    clients = pa.table(pellumo_fleet.scan(str(root / "h4" / "*.mdb"), "artifact:ual/clients"))
    assert clients.num_rows == 4 and set(clients.column("_source").to_pylist()) == {str(root / "h4" / "Current.mdb")}


@pytest.mark.parametrize("name, message", [
    ("artifact:srum", "artifact tables are named artifact:<kind>/<table>"),
    ("artifact:/application", "artifact tables are named artifact:<kind>/<table>"),
    ("artifact:nope/x", "no artifact kind 'nope' \\(known: "),
])
def test_bad_artifact_names(fleet, name, message):
    _, srums = fleet
    with pytest.raises(ValueError, match=message):
        pellumo_fleet.scan(srums, name)


def test_a_table_no_file_offers(fleet):
    _, srums = fleet
    with pytest.raises(ValueError, match="Table not found: vfu"):
        pellumo_fleet.scan(srums, "artifact:srum/vfu")


def test_dask(fleet):
    pytest.importorskip("dask.dataframe")
    import pellumo_fleet.dask

    root, srums = fleet
    frame = pellumo_fleet.dask.read_table(str(root / "**" / "SRUDB.dat"), "artifact:srum/application")
    assert frame.npartitions == 4
    got = frame.compute(scheduler="sync")
    assert len(got) == 5 + 10 + 5
    assert got.groupby("_source").size().to_dict() == {srums[0]: 5, srums[1]: 10, srums[2]: 5}
    assert set(got["AppName"].dropna()) == {"\\Device\\HarddiskVolume3\\Windows\\System32\\svchost.exe",
                                            "Microsoft.Windows.Photos_2021.21090.10008.0_x64__8wekyb3d8bbwe"}


@integration
def test_spark(fleet, spark):  # noqa: F811 - the imported fixture
    root, srums = fleet
    frame = spark.read.format("ese").option("table", "artifact:srum/network_data").load(srums)
    assert frame.rdd.getNumPartitions() == 3
    rows = [{k: _plain(v) for k, v in row.asDict().items()} for row in frame.orderBy("_source").collect()]
    assert [r["_source"] for r in rows] == sorted(srums)
    assert {r["BytesRecvd"] for r in rows} == {98765}
    assert rows[0]["TimeStamp"].year == 2021
    usage = frame.groupBy("AppName").sum("BytesSent").collect()
    assert [(r["AppName"], r["sum(BytesSent)"]) for r in usage] == [
        ("\\Device\\HarddiskVolume3\\Windows\\System32\\svchost.exe", 3 * 1234)]
    # Days, UUIDs and nanosecond times reach Spark as its date, binary and timestamp.
    daily = spark.read.format("ese").option("table", "artifact:ual/clients_daily").load(str(root / "h4" / "*.mdb"))
    days = sorted((r["AccessDate"].isoformat() if r["AccessDate"] else "", r["AccessCount"]) for r in daily.collect())
    assert days == [("", 1), ("", 2), ("2021-11-22", 1), ("2024-01-01", 2), ("2024-02-29", 4), ("2024-12-31", 6)]
    assert dict(daily.dtypes)["RoleGuid"] == "binary"

"""pellumo_artifacts on SRUM: the named tables, resolved ids, times, warnings,
recovered records and the timeline, on fixture databases of the real schema
(every page format) and on the sample SRUDB.dat."""

import gzip
import shutil
from datetime import timedelta

import pytest

pa = pytest.importorskip("pyarrow")

from artifact_fixtures import (  # noqa: E402
    APPLICATION,
    CONNECT_START,
    PHOTOS,
    SRUM_HOUR,
    SRUM_IDS,
    SVCHOST,
    UNKNOWN_GUID,
    UNRESOLVED_APP,
    UNRESOLVED_USER,
    USER_SID,
    srum_tables,
)
from conftest import INSTALLED, ROOT, SAMPLES_DIR  # noqa: E402
from fixture_json import FORMATS, write_database  # noqa: E402

if not INSTALLED:
    import sys

    sys.path.insert(0, str(ROOT / "python"))

import pellumo  # noqa: E402
import pellumo_artifacts  # noqa: E402


@pytest.fixture
def srum_path(tmp_path):
    return write_database(tmp_path / "SRUDB.dat", srum_tables())


@pytest.fixture
def srum(srum_path):
    return pellumo_artifacts.open(srum_path)


def test_tables_are_named_by_extension(srum):
    assert srum.kind == "srum"
    # The checkpoint table is no extension; an unknown GUID keeps its name.
    assert srum.table_names == ["id_map", "application", "network_data", "network_connectivity", "energy_usage_lt",
                                "app_timeline", UNKNOWN_GUID]
    assert any(UNKNOWN_GUID in w and "not a known extension" in w for w in srum.warnings)


def test_app_and_user_resolved_through_the_id_map(srum):
    rows = srum.table("application").to_pylist()
    got = [(r["AutoIncId"], r["AppName"], r["UserSid"]) for r in rows]
    assert got == [
        (1, SVCHOST, USER_SID),            # the UTF-16 name loses its NUL
        (2, PHOTOS, USER_SID),
        (3, None, "S-1-5-18"),             # AppId with no entry
        (4, None, None),                   # an entry without a blob; a UserId with no entry
        (5, SVCHOST, None),                # a type-3 blob that is no SID
    ]
    columns = srum.table("application").column_names
    assert columns[:6] == ["AutoIncId", "TimeStamp", "AppId", "UserId", "AppName", "UserSid"]
    warnings = "\n".join(srum.warnings)
    assert "table application: AppId values with no entry in SruDbIdMapTable: 1" in warnings
    assert "table application: UserId values with no entry in SruDbIdMapTable: 1" in warnings
    assert "IdBlob values of type 3 that are no SID, IdText left null: 1" in warnings
    assert UNRESOLVED_APP and UNRESOLVED_USER  # the fixture's unresolved ids


def test_id_map_text(srum):
    table = srum.table("id_map")
    assert table.column_names == ["IdType", "IdIndex", "IdBlob", "IdText"]
    texts = dict(zip(table.column("IdIndex").to_pylist(), table.column("IdText").to_pylist(), strict=True))
    assert texts == {1: SVCHOST, 2: USER_SID, 3: PHOTOS, 4: None, 5: None, 6: "S-1-5-18"}
    assert table.column("IdBlob").to_pylist() == [b for _, b in SRUM_IDS.values()]


def test_times(srum):
    connectivity = srum.table("network_connectivity")
    assert connectivity.schema.field("TimeStamp").type == pa.timestamp("us", tz="UTC")
    assert connectivity.schema.field("ConnectStartTime").type == pa.timestamp("ns", tz="UTC")
    stamps = connectivity.column("ConnectStartTime")
    # Every 100 ns digit kept: the fixture's time plus 5 ticks.
    first = stamps[0].value
    expected = int(CONNECT_START.timestamp()) * 10**9 + CONNECT_START.microsecond * 1000 + 500
    assert first == expected
    assert stamps[1].as_py() is None           # 0: never
    assert stamps[2].as_py() is None           # past what a timestamp holds
    assert connectivity.column("TimeStamp")[0].as_py() == SRUM_HOUR
    assert "table network_connectivity column ConnectStartTime: values that are no FILETIME a timestamp can " \
           "hold, left null: 1" in srum.warnings
    ends = srum.table("app_timeline").column("EndTime")
    assert ends.type == pa.timestamp("ns", tz="UTC") and ends[0].as_py() == SRUM_HOUR
    # A Long long column that is no time stays a number.
    assert srum.table("application").schema.field("ForegroundCycleTime").type == pa.int64()


def test_added_names_never_collide(srum):
    table = srum.table("app_timeline")
    assert table.column("appname").to_pylist() == ["stored"]      # text loses its trailing NULs
    assert "AppName_2" in table.column_names and "AppName" not in table.column_names
    assert table.column("AppName_2").to_pylist() == [PHOTOS]
    lowered = [c.lower() for c in table.column_names]
    assert len(lowered) == len(set(lowered))


def test_schema_without_reading_matches_every_table(srum_path):
    art = pellumo_artifacts.open(srum_path)
    schemas = {name: art.schema(name) for name in art.table_names}
    assert art.warnings == [w for w in art.warnings if "not a known extension" in w]  # nothing read yet
    for name, table in art.tables().items():
        assert table.schema == schemas[name], name


@pytest.mark.parametrize("page_size, version, revision", FORMATS)
def test_every_page_format(tmp_path, page_size, version, revision):
    path = write_database(tmp_path / "SRUDB.dat", srum_tables(), page_size=page_size, format_version=version,
                          format_revision=revision)
    art = pellumo_artifacts.open(path)
    db = pellumo.EseDatabase(path)
    assert art.table("application").num_rows == len(db.read_table(APPLICATION)) == 5
    assert art.table("application").column("AppName").to_pylist()[:2] == [SVCHOST, PHOTOS]


def test_recovered_records_are_appended_and_marked(tmp_path):
    path = write_database(tmp_path / "SRUDB.dat", srum_tables(recovered_rows=True))
    plain = pellumo_artifacts.open(path)
    assert "_recovered" not in plain.table("application").column_names
    assert plain.table("application").num_rows == 5
    art = pellumo_artifacts.open(path, recovered=True)
    table = art.table("application")
    assert table.column_names[-1] == "_recovered"
    rows = table.to_pylist()
    assert [r["_recovered"] for r in rows] == [False] * 5 + [True, True]
    recovered = {r["AutoIncId"]: r for r in rows if r["_recovered"]}
    # A deleted id map entry resolves a deleted record; times as for live rows.
    assert recovered[100]["AppName"] == "gone.exe" and recovered[100]["UserSid"] == USER_SID
    assert recovered[101]["AppName"] == SVCHOST and recovered[101]["TimeStamp"] == SRUM_HOUR
    assert art.table("id_map").column("_recovered").to_pylist()[-1] is True
    for name in art.table_names:
        assert art.schema(name) == art.table(name).schema, name


def test_timeline(srum):
    timeline = srum.timeline()
    assert timeline.schema == pellumo_artifacts.TIMELINE_SCHEMA
    times = timeline.column("Time").to_pylist()
    assert times == sorted(times)
    assert set(timeline.column("Artifact").to_pylist()) == {"srum"}
    by_field = {}
    for row in timeline.to_pylist():
        by_field.setdefault((row["Table"], row["TimeField"]), []).append(row)
    # One row per record and time column that holds a time.
    assert len(by_field[("application", "TimeStamp")]) == 5
    assert len(by_field[("network_connectivity", "ConnectStartTime")]) == 1
    assert len(by_field[("app_timeline", "EndTime")]) == 1
    # Ids that do not resolve are named by their number.
    assert sorted(r["Summary"] for r in by_field[("application", "TimeStamp")]) == sorted([
        f"app: {SVCHOST}; user: {USER_SID}", f"app: {PHOTOS}; user: {USER_SID}", "app: AppId 99; user: S-1-5-18",
        "app: AppId 4; user: UserId 98", f"app: {SVCHOST}; user: UserId 5"])
    assert by_field[("network_connectivity", "ConnectStartTime")][0]["Time"].value % 1000 == 500
    assert all(r["Source"] == srum.path for r in timeline.to_pylist())


def test_timeline_of_many_artifacts_is_one_sorted_table(tmp_path):
    a = pellumo_artifacts.open(write_database(tmp_path / "a.dat", srum_tables()))
    b = pellumo_artifacts.open(write_database(tmp_path / "b.dat", srum_tables()))
    both = pellumo_artifacts.timeline([a, b])
    assert both.num_rows == a.timeline().num_rows * 2
    assert both.column("Time").to_pylist() == sorted(both.column("Time").to_pylist())
    assert pellumo_artifacts.timeline([]).num_rows == 0


def test_hour_steps_of_a_repeated_fixture(tmp_path):
    art = pellumo_artifacts.open(write_database(tmp_path / "SRUDB.dat", srum_tables(rows=50)))
    stamps = art.table("application").column("TimeStamp").to_pylist()
    assert len(stamps) == 50 and stamps[49] - stamps[0] == timedelta(hours=49)


# --- the sample ----------------------------------------------------------------------


@pytest.fixture(scope="module")
def sample_srum(tmp_path_factory):
    packed = SAMPLES_DIR / "SRUDB.dat.gz"
    if not packed.is_file():
        pytest.skip(f"sample {packed} is absent")
    path = tmp_path_factory.mktemp("srum") / "SRUDB.dat"
    with gzip.open(packed) as src, open(path, "wb") as dst:
        shutil.copyfileobj(src, dst)
    return str(path)


def test_sample(sample_srum):
    art = pellumo_artifacts.open(sample_srum)
    db = pellumo.EseDatabase(sample_srum)
    assert art.kind == "srum"
    tables = art.tables()
    assert set(tables) == {"id_map", "application", "network_connectivity", "sdp_volume", "sdp_physical_disk",
                           "sdp_cpu", "sdp_network"}
    ids = {r["IdIndex"]: r for r in db.read_table("SruDbIdMapTable")}
    app = tables["application"]
    assert app.num_rows == len(db.read_table(APPLICATION))
    for row in app.to_pylist():
        entry = ids.get(row["AppId"])
        blob = entry and entry["IdBlob"]
        want = blob.decode("utf-16-le").rstrip("\0") if blob and entry["IdType"] != 3 else None
        assert row["AppName"] == want
        sid = ids.get(row["UserId"])
        assert (row["UserSid"] is None) == (sid is None or sid["IdType"] != 3 or sid["IdBlob"] is None)
        if row["UserSid"] is not None:
            assert row["UserSid"].startswith("S-1-5-")
    stamps = tables["network_connectivity"].column("ConnectStartTime").to_pylist()
    assert all(s is not None and s.year == 2021 for s in stamps)
    for name in art.table_names:
        assert art.schema(name) == tables[name].schema, name
    assert art.timeline().num_rows >= app.num_rows


def test_not_an_artifact(make_db):
    with pytest.raises(ValueError, match=r"not an artifact database of a known kind \(looked for .*"
                                         r"srum: table SruDbIdMapTable"):
        pellumo_artifacts.open(make_db("sample"))


def test_bad_arguments(srum_path, srum):
    with pytest.raises(ValueError, match="Invalid values: 'raw'"):
        pellumo_artifacts.open(srum_path, values="raw")
    with pytest.raises(ValueError, match="has no table 'nope'; its tables: id_map, application"):
        srum.table("nope")
    with pytest.raises(FileNotFoundError):
        pellumo_artifacts.open(srum_path + ".missing")

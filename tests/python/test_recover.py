"""EseDatabase.recover and `pellumo recover`: the records a table no longer
shows, found in the recovery fixture at every page size and in the samples."""

import collections
import datetime
import gzip
import hashlib
import json
import math
import os
import struct
import subprocess
import sys

import pellumo
import pytest
from conftest import ROOT, sample_paths
from fixture_json import FORMATS, Column, Record, Table, filetime, ole_date, write_database

PAGE_FORMATS = [(4096, 0x14), (8192, 0x14), (16384, 0x14), (32768, 0x14), (4096, 0x0C)]
LONG_NOTE = "a long note that the long-value tree still holds"

# What the recovery scenario leaves behind, table by table: key value,
# source, status. Nothing else may come back.
EXPECTED = {
    "People": {
        (3, "hole", "deleted"),
        (6, "stale_tag", "deleted"),
        (8, "hole", "superseded"),
        (12, "stale_tag", "superseded"),
        (14, "deleted_node", "deleted"),
        (100, "emptied_page", "deleted"),
        (101, "emptied_page", "deleted"),
        (102, "emptied_page", "deleted"),
        (200, "free_page", "deleted"),
        (201, "free_page", "deleted"),
    },
    "Logs": {(500, "free_page", "deleted"), (501, "free_page", "deleted")},
    "Crawl": {(7, "emptied_page", "deleted")},
    "MSysObjects": {("Dropped", "emptied_page", "deleted"), ("Gone", "emptied_page", "deleted")},
}
KEY_COLUMN = {"People": "Id", "Logs": "Seq", "Crawl": "Id", "MSysObjects": "Name"}


@pytest.fixture
def recovery_db(make_db):
    return make_db("recovery")


def found(db, table, **kwargs):
    return {(r[KEY_COLUMN[table]], r["_source"], r["_status"]) for r in db.recover(table, **kwargs)}


@pytest.mark.parametrize("page_size, revision", PAGE_FORMATS)
def test_every_remain_is_found_once_at_every_page_size(make_db, page_size, revision):
    db = pellumo.EseDatabase(make_db("recovery", page_size=page_size, format_revision=revision))
    for table, expected in EXPECTED.items():
        records = list(db.recover(table))
        assert found(db, table) == expected
        assert len(records) == len(expected), "the same bytes came back twice"
    # Of the live keys, only the one replaced by a grown version comes back,
    # and the node flagged deleted, which the table reader still lists.
    live = {r["Id"] for r in db.read_table("People")}
    assert {k for k, _, _ in EXPECTED["People"]} & live == {8, 12, 14}


@pytest.mark.parametrize("page_size, revision", PAGE_FORMATS)
def test_records_have_read_table_columns_values_and_provenance(make_db, page_size, revision):
    path = make_db("recovery", page_size=page_size, format_revision=revision)
    db = pellumo.EseDatabase(path)
    data = open(path, "rb").read()
    columns = list(db.read_table("People")[0])
    by_id = {}
    for record in db.recover("People"):
        assert list(record) == columns + ["_status", "_source", "_page", "_offset"]
        assert type(record["_page"]) is int and type(record["_offset"]) is int
        assert record["_offset"] // page_size == record["_page"] + 1
        # The record's bytes start there: last fixed id 2, last variable id 128.
        assert data[record["_offset"]:record["_offset"] + 2] == b"\x02\x80"
        assert record["Age"] == 2 * record["Id"]
        by_id[record["Id"]] = record
    assert by_id[3]["Note"] == LONG_NOTE  # resolved from the long-value tree
    assert by_id[6]["Note"] is None  # its long value is gone
    assert by_id[8]["Name"] == "person8"  # the superseded version
    assert by_id[12]["Note"] == "note12"  # a start of the live value, and still the old one
    assert by_id[14]["Name"] == "person14"
    dropped = {r["Name"]: r for r in db.recover("MSysObjects")}
    assert dropped["Dropped"]["Type"] == 1 and dropped["Dropped"]["ColtypOrPgnoFDP"] == 900
    assert dropped["Gone"]["ObjidTable"] == 77


@pytest.mark.parametrize("sources, ids", [
    (["hole"], {3, 6, 8, 12}),  # without the stale slots, Ids 6 and 12 are found as holes
    ("stale_tag", {6, 12}),
    (("deleted_node", "free_page"), {14, 200, 201}),
    (iter(["emptied_page"]), {100, 101, 102}),
    ([], set()),
    (None, {3, 6, 8, 12, 14, 100, 101, 102, 200, 201}),
])
def test_sources_choose_where_to_look(recovery_db, sources, ids):
    db = pellumo.EseDatabase(recovery_db)
    assert {r["Id"] for r in db.recover("People", sources=sources)} == ids


@pytest.mark.parametrize("args, kwargs, error, message", [
    ((), {}, TypeError, "table_name"),
    (("People", ["hole"]), {}, TypeError, "positional"),
    (("People",), {"source": ["hole"]}, TypeError, "source"),
    ((42,), {}, TypeError, "table_name"),
    (("Nobody",), {}, ValueError, "Table not found"),
    (("People",), {"sources": ["holes"]}, ValueError, "Unknown recovery source: 'holes'"),
    (("People",), {"sources": [1]}, TypeError, "sources"),
    (("People",), {"sources": 5}, TypeError, "sources"),
    (("People",), {"values": "cooked"}, ValueError, "Invalid values"),
    (("People",), {"values": "engine", "raw_columns": ["Nobody"]}, ValueError, "Column not found: Nobody"),
    (("People",), {"raw_columns": "Id"}, TypeError, "raw_columns"),
])
def test_bad_calls(recovery_db, args, kwargs, error, message):
    db = pellumo.EseDatabase(recovery_db)
    with pytest.raises(error, match=message):
        db.recover(*args, **kwargs)


# One record of every multi-valued type, live and deleted in the same table:
# the deleted copy, recovered in engine values, must read as the live one.
ENGINE_WHEN = datetime.datetime(2023, 5, 4, 3, 2, 1, tzinfo=datetime.timezone.utc)
ENGINE_COLUMNS = [
    ("Names", "text", ["user", "person", "top"]),
    ("Numbers", "long", [-7, 0, 2**31 - 1]),
    ("Wide", "long_long", [-(2**63), 5]),
    ("Ids", "guid", ["6a1b2c3d-0000-4000-8000-00000000000a", "6a1b2c3d-0000-4000-8000-00000000000b"]),
    ("Times", "datetime", [ole_date(ENGINE_WHEN), filetime(ENGINE_WHEN)]),  # both stored forms
    ("Blobs", "binary", [b"", b"\x00\x01"]),
    ("One", "text", ["only"]),
]


@pytest.mark.parametrize("page_size, version, revision", FORMATS)
def test_engine_values_of_recovered_records_are_those_of_live_ones(tmp_path, page_size, version, revision):
    columns = [Column("Id", "long"), Column("Stamp", "datetime")]
    columns += [Column(name, kind, multi_valued=True) for name, kind, _ in ENGINE_COLUMNS]
    values = {"Stamp": ole_date(ENGINE_WHEN), **{name: value for name, _, value in ENGINE_COLUMNS}}
    table = Table("Things", columns, [Record({"Id": 1, **values}), Record({"Id": 2, **values}, state="deleted_node")],
                  primary_key=["Id"])
    db = pellumo.EseDatabase(write_database(tmp_path / "things.edb", [table], page_size=page_size,
                                            format_version=version, format_revision=revision))
    (live,) = db.iter_table("Things", values="engine")
    (recovered,) = db.recover("Things", values="engine")
    assert {k: v for k, v in recovered.items() if not k.startswith("_")} == {**live, "Id": 2}
    assert recovered["Names"] == ["user", "person", "top"] and recovered["One"] == ["only"]
    assert recovered["Times"] == [ENGINE_WHEN, ENGINE_WHEN]
    # raw_columns keep the stored bits; the default reading splits nothing.
    (raw_stamp,) = db.recover("Things", values="engine", raw_columns=["Stamp"])
    assert raw_stamp["Stamp"] == next(db.iter_table("Things"))["Stamp"] and raw_stamp["Names"] == live["Names"]
    (raw,) = db.recover("Things")
    assert isinstance(raw["Names"], bytes) and raw["One"] == "only"


def test_iterator_outlives_its_database_object_and_stays_exhausted(recovery_db):
    it = pellumo.EseDatabase(recovery_db).recover("Logs")
    assert iter(it) is it
    assert sorted(r["Seq"] for r in it) == [500, 501]
    assert next(it, None) is None
    assert "RecoveryIterator" not in dir(pellumo)
    with pytest.raises(TypeError):
        type(it)()


def test_a_database_of_live_records_only_yields_nothing(make_db):
    db = pellumo.EseDatabase(make_db("python-values"))
    for table in db.get_tables():
        assert list(db.recover(table)) == []


# --- the command-line tool ----------------------------------------------------


@pytest.fixture
def cli(module_dir):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(module_dir), str(ROOT / "python")]))

    def run(*argv):
        return subprocess.run([sys.executable, "-m", "pellumo_cli", *map(str, argv)], env=env, capture_output=True,
                              timeout=300)

    return run


def test_cli_json_lines_carry_table_and_provenance(cli, recovery_db):
    done = cli("recover", recovery_db, "People", "Logs", "--json")
    assert done.returncode == 0, done.stderr
    lines = [json.loads(line) for line in done.stdout.splitlines()]
    assert {(r["_table"], r.get("Id", r.get("Seq")), r["_source"]) for r in lines} == {
        (t, k, s) for t in ("People", "Logs") for (k, s, _) in EXPECTED[t]}
    assert all(list(r) == sorted(r) for r in lines)


def test_every_json_writer_writes_non_finite_floats_as_zero(cli, tmp_path):
    # JSON holds no NaN nor infinity: export_table writes 0 for them, and so
    # must everything else that writes JSON, recovered records included.
    nan, inf = struct.pack("<d", math.nan), struct.pack("<d", math.inf)
    minus_inf = struct.pack("<f", -math.inf)
    table = Table("Floats", [Column("Id", "long"), Column("D", "ieee_double"), Column("F", "ieee_single")],
                  records=[Record({"Id": 1, "D": nan, "F": minus_inf}), Record({"Id": 2, "D": inf, "F": 1.5}),
                           Record({"Id": 3, "D": nan, "F": minus_inf}, state="deleted_node")],
                  primary_key=["Id"])
    path = write_database(tmp_path / "floats.edb", [table])
    runs = {
        "raw": cli("dump", path, "Floats"),
        "engine": cli("dump", path, "Floats", "--values", "engine"),
        "recover": cli("recover", path, "Floats", "--json"),
        "export": cli("export", path, tmp_path / "out", "--table", "Floats", "--recovered"),
    }
    for name, done in runs.items():
        assert done.returncode == 0, (name, done.stderr)
    recovered = (tmp_path / "out" / "Floats.recovered.jsonl").read_bytes()
    lines = {name: [json.loads(line) for line in done.stdout.splitlines()] for name, done in runs.items()}
    lines["recovered"] = [json.loads(line) for line in recovered.splitlines()]
    got = {name: [(r["Id"], r["D"], r["F"]) for r in rows] for name, rows in lines.items() if name != "export"}
    # Raw reads keep the record flagged deleted; engine reads skip it.
    assert got == {"raw": [(1, 0, 0), (2, 0, 1.5), (3, 0, 0)], "engine": [(1, 0, 0), (2, 0, 1.5)],
                   "recover": [(3, 0, 0)], "recovered": [(3, 0, 0)]}
    assert b"NaN" not in recovered and b"null" not in recovered


def test_cli_table_and_errors(cli, recovery_db):
    done = cli("recover", recovery_db)
    assert done.returncode == 0, done.stderr
    lines = done.stdout.decode().splitlines()
    assert lines[0].split() == ["TABLE", "PAGE", "FILE", "OFFSET", "SOURCE", "STATUS", "RECORD"]
    assert len(lines) == 1 + sum(len(v) for v in EXPECTED.values())
    assert any("stale_tag" in line and "Id=6" in line for line in lines)
    done = cli("recover", recovery_db, "people")
    assert done.returncode == 1
    assert b"did you mean 'People'" in done.stderr


def test_cli_skips_a_listed_table_it_cannot_look_up(cli, make_db):
    done = cli("recover", make_db("odd-names"), "--json")
    assert done.returncode == 1
    assert done.stderr.startswith(b"pellumo: warning: skipped table ")
    assert done.stdout == b""


def test_cli_export_writes_recovered_records_beside_the_live_ones(cli, recovery_db, tmp_path):
    out = tmp_path / "out"
    done = cli("export", recovery_db, out, "--recovered", "--table", "People", "--table", "Logs")
    assert done.returncode == 0, done.stderr
    assert sorted(os.listdir(out)) == ["Logs.jsonl", "Logs.recovered.jsonl", "People.jsonl",
                                       "People.recovered.jsonl", "manifest.json"]
    lines = [json.loads(line) for line in (out / "People.recovered.jsonl").read_text().splitlines()]
    assert {(r["Id"], r["_source"], r["_status"]) for r in lines} == EXPECTED["People"]
    assert all(list(r) == sorted(r) for r in lines)
    live = [json.loads(line) for line in (out / "People.jsonl").read_text().splitlines()]
    assert set(lines[0]) == set(live[0]) | {"_status", "_source", "_page", "_offset"}
    # The manifest lists each table's recovered records beside its output.
    listed = {t["name"]: t for t in json.loads((out / "manifest.json").read_text())["inputs"][0]["tables"]}
    for name in ("People", "Logs"):
        data = (out / f"{name}.recovered.jsonl").read_bytes()
        assert (listed[name]["recovered_output"], listed[name]["recovered_output_sha256"]) == \
            (f"{name}.recovered.jsonl", hashlib.sha256(data).hexdigest())
    done = cli("export", recovery_db, tmp_path / "plain", "--table", "People")
    assert sorted(os.listdir(tmp_path / "plain")) == ["People.jsonl", "manifest.json"]


def test_cli_export_recovered_beside_parquet_of_many_files(cli, make_db, tmp_path):
    pytest.importorskip("pyarrow")
    files = [make_db("recovery", name=f"{n}.edb") for n in ("one", "two")]
    out = tmp_path / "many"
    done = cli("export", *files, out, "--format", "parquet", "--recovered", "--table", "Logs", "-q")
    assert done.returncode == 0, done.stderr
    written = sorted(os.path.relpath(os.path.join(d, f), out) for d, _, fs in os.walk(out) for f in fs)
    assert written == ["manifest.json"] + [f"{n}.edb/{f}" for n in ("one", "two")
                                           for f in ("Logs.parquet", "Logs.recovered.jsonl")]
    for n in ("one", "two"):
        lines = (out / f"{n}.edb" / "Logs.recovered.jsonl").read_text().splitlines()
        assert sorted(json.loads(line)["Seq"] for line in lines) == [500, 501]


# --- the samples --------------------------------------------------------------


SAMPLES = {p.name[: -len(".gz")]: p for p in sample_paths()}


def open_sample(name, tmp_path):
    if name not in SAMPLES:
        pytest.skip("the shared sample databases are absent")
    target = tmp_path / name
    with gzip.open(SAMPLES[name], "rb") as source:
        target.write_bytes(source.read())
    return pellumo.EseDatabase(str(target))


def test_sample_ual_dropped_definitions_and_superseded_clients(tmp_path):
    db = open_sample("Current.mdb", tmp_path)
    catalog = collections.Counter((r["_source"], r["_status"]) for r in db.recover("MSysObjects"))
    assert catalog[("emptied_page", "deleted")] > 1000
    assert set(catalog) <= {(s, "deleted") for s in ("emptied_page", "hole", "stale_tag")}
    def identity(r):
        return r["RoleGuid"], r["TenantId"], r["Address"], r["AuthenticatedUserName"], r["InsertDate"]

    live = {identity(r): r for r in db.read_table("CLIENTS")}
    clients = list(db.recover("CLIENTS"))
    assert clients and all(r["_status"] == "superseded" for r in clients)
    for r in clients:
        # An older version of a live client: fewer accesses, the last one earlier.
        newer = live[identity(r)]
        assert r["TotalAccesses"] < newer["TotalAccesses"]
        assert r["LastAccess"] < newer["LastAccess"]


def test_sample_srum_user_tables_hold_nothing(tmp_path):
    db = open_sample("SRUDB.dat", tmp_path)
    for table in db.get_tables():
        if not table.startswith("MSys"):
            assert list(db.recover(table)) == [], table


PROVENANCE = ("_status", "_source", "_page", "_offset")


@pytest.mark.parametrize("name", sorted(SAMPLES))
def test_every_sample_table_recovers_without_error_or_live_copies(name, tmp_path):
    db = open_sample(name, tmp_path)
    for table in db.get_tables():
        recovered = list(db.recover(table))
        assert all(r["_status"] in {"deleted", "superseded", "unkeyed"} for r in recovered)
        if not recovered:
            continue
        # A record equal to a live one in every column is that live record
        # (Windows.edb's merge left such a copy of a SystemIndex_Gthr record
        # on an emptied page, its last value running on into other bytes).
        # read_table also lists nodes flagged deleted, which recovery gives
        # as deleted_node: those are compared with nothing.
        live = {tuple(r.items()) for r in db.read_table(table)}
        for r in recovered:
            if r["_source"] == "deleted_node":
                continue
            values = tuple((k, v) for k, v in r.items() if k not in PROVENANCE)
            assert values not in live, (table, r["_page"], r["_offset"])

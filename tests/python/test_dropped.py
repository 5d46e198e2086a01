"""EseDatabase.dropped_tables, recover_dropped, recover's "dropped_table"
source and `pellumo recover --dropped`: the tables a file dropped, in the
dropped fixture at every page size and in the samples."""

import gzip
import json
import os
import subprocess
import sys
import warnings

import pellumo
import pytest
from conftest import ROOT, sample_paths

PAGE_FORMATS = [(4096, 0x14), (8192, 0x14), (16384, 0x14), (32768, 0x14), (4096, 0x0C), (4096, 0x09)]

# What the dropped scenario must list (see tests/fixture/dropped_scenarios.h):
# last period's Clients, its catalog records flagged deleted (its long-value
# and index leaves count as its pages); Roles' forgotten twin, read with the
# live Roles' layout, one of its pages emptied; Archive, named by records left
# on an emptied catalog page; Orphan, of no layout the file knows.
EXPECTED = [
    {"objid": 20, "pages": 4, "name": "Clients", "schema": "catalog", "records": 12},
    {"objid": 30, "pages": 2, "name": None, "schema": "Roles", "records": 4},
    {"objid": 40, "pages": 2, "name": "Archive", "schema": "catalog", "records": 3},
    {"objid": 50, "pages": 1, "name": None, "schema": None, "records": 0},
]
NOTE = "a note of last period's third client, kept in its own tree"


@pytest.fixture
def dropped_db(make_db):
    return make_db("dropped")


@pytest.mark.parametrize("page_size, revision", PAGE_FORMATS)
def test_dropped_tables_at_every_page_size(make_db, page_size, revision):
    db = pellumo.EseDatabase(make_db("dropped", page_size=page_size, format_revision=revision))
    listed = db.dropped_tables()
    assert listed == EXPECTED
    for entry in listed:
        assert len(list(db.recover_dropped(entry["objid"]))) == entry["records"]
    # What the live catalog lists is untouched.
    assert db.get_tables() == ["MSysObjects", "Clients", "Roles"]


def test_recover_dropped_records_carry_their_schema_and_place(dropped_db):
    db = pellumo.EseDatabase(dropped_db)
    clients = list(db.recover_dropped(20))
    assert {r["Id"]: r["User"] for r in clients} == {i: f"olduser{i}" for i in range(1, 13)}
    for r in clients:
        assert list(r) == ["Id", "Visits", "User", "Note", "_objid", "_page", "_offset", "_schema"]
        assert (r["_objid"], r["_schema"]) == (20, "catalog")
        assert r["_offset"] // db.page_size == r["_page"] + 1
        # The long value of Id 3 lies in the dropped table's own tree.
        assert r["Note"] == (NOTE if r["Id"] == 3 else f"note of olduser{r['Id']}")
    roles = list(db.recover_dropped(30))
    assert sorted((r["RoleId"], r["Title"]) for r in roles) == [(i, f"retired{i}") for i in range(10, 14)]
    assert {r["_schema"] for r in roles} == {"Roles"}
    assert list(db.recover_dropped(50)) == []


@pytest.mark.parametrize("objid, error, message", [
    (12, ValueError, "No dropped table with object id 12"),  # a live table
    (7777, ValueError, "No dropped table with object id 7777"),
    (-1, ValueError, "No dropped table with object id -1"),
    (2 ** 40, ValueError, "No dropped table"),
    ("20", TypeError, "objid"),
    (None, TypeError, "objid"),
])
def test_recover_dropped_bad_calls(dropped_db, objid, error, message):
    db = pellumo.EseDatabase(dropped_db)
    with pytest.raises(error, match=message):
        db.recover_dropped(objid)


def test_dropped_table_source_is_asked_for_by_name(dropped_db):
    db = pellumo.EseDatabase(dropped_db)
    # Not among the default sources: the live Clients has nothing to recover.
    assert list(db.recover("Clients")) == []
    twins = list(db.recover("Clients", sources="dropped_table"))
    assert sorted(r["Id"] for r in twins) == list(range(1, 13))
    for r in twins:
        assert (r["_status"], r["_source"], r["_objid"]) == ("dropped", "dropped_table", 20)
        assert list(r)[-5:] == ["_status", "_source", "_page", "_offset", "_objid"]
    # A twin found by its layout alone.
    assert sorted(r["RoleId"] for r in db.recover("Roles", sources=["dropped_table", "hole"])) == [10, 11, 12, 13]


@pytest.mark.parametrize("raw_columns", [None, ["Note"], ["Id", "User"]])
def test_dropped_twins_in_engine_values(dropped_db, raw_columns):
    # A twin's records come in its own columns: engine values are made for
    # its layout, its long values read from its own tree, and raw_columns
    # named as the live table names them. These columns' engine values are
    # their raw ones.
    db = pellumo.EseDatabase(dropped_db)
    raw = list(db.recover("Clients", sources="dropped_table"))
    engine = list(db.recover("Clients", sources="dropped_table", values="engine", raw_columns=raw_columns))
    assert engine == raw
    assert [r["Note"] for r in engine if r["Id"] == 3] == [NOTE]


def test_iterators_keep_what_they_read_alive(dropped_db):
    it = pellumo.EseDatabase(dropped_db).recover_dropped(40)
    assert sorted(r["Seq"] for r in it) == [1, 2, 3]
    assert next(it, None) is None


# --- the command-line tool ----------------------------------------------------


@pytest.fixture
def cli(module_dir):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(module_dir), str(ROOT / "python")]))

    def run(*argv):
        return subprocess.run([sys.executable, "-m", "pellumo_cli", *map(str, argv)], env=env, capture_output=True,
                              timeout=300)

    return run


def test_cli_lists_dropped_tables_and_their_records(cli, dropped_db):
    done = cli("recover", dropped_db, "--dropped")
    assert done.returncode == 0, done.stderr
    lines = done.stdout.decode().splitlines()
    assert lines[0].split() == ["OBJID", "NAME", "PAGES", "SCHEMA", "RECORDS"]
    assert [line.split() for line in lines[1:]] == [
        [str(e["objid"]), e["name"] or "-", str(e["pages"]), e["schema"] or "-", str(e["records"])] for e in EXPECTED]

    done = cli("recover", dropped_db, "--dropped", "--json")
    assert done.returncode == 0, done.stderr
    records = [json.loads(line) for line in done.stdout.splitlines()]
    assert len(records) == sum(e["records"] for e in EXPECTED)
    names = {e["objid"]: e["name"] for e in EXPECTED}
    assert all(r["_table"] == names[r["_objid"]] for r in records)
    assert all(list(r) == sorted(r) for r in records)

    done = cli("recover", dropped_db, "Clients", "--dropped")
    assert done.returncode == 1
    assert b"--dropped" in done.stderr


# --- the samples --------------------------------------------------------------


SAMPLES = {p.name[: -len(".gz")]: p for p in sample_paths()}


def open_sample(name, tmp_path):
    if name not in SAMPLES:
        pytest.skip("the shared sample databases are absent")
    target = tmp_path / name
    with gzip.open(SAMPLES[name], "rb") as source:
        target.write_bytes(source.read())
    return pellumo.EseDatabase(str(target))


def live_objects(db):
    return {r["Id"] for r in db.iter_table("MSysObjects", values="engine") if r["Type"] in (1, 3, 4)}


def test_sample_ual_dropped_virtual_machines(tmp_path):
    db = open_sample("Current.mdb", tmp_path)
    dropped = db.dropped_tables()
    # The deleted catalog records name the dropped VIRTUALMACHINES, whose
    # page the newer table of that name did not take over.
    named = [t for t in dropped if t["name"] == "VIRTUALMACHINES"]
    assert named and all(t["schema"] == "catalog" for t in named)
    assert not {t["objid"] for t in dropped} & live_objects(db)


def test_sample_search_index_dropped_twins(tmp_path):
    db = open_sample("Windows.edb", tmp_path)
    dropped = {t["objid"]: t for t in db.dropped_tables()}
    assert not set(dropped) & live_objects(db)
    locales = {objid for objid, t in dropped.items() if t["name"] == "MSysLocales"}
    assert len(locales) >= 2  # dropped and made again more than once
    twins = list(db.recover("MSysLocales", sources="dropped_table"))
    assert {r["_objid"] for r in twins} == locales
    assert len(twins) == sum(dropped[o]["records"] for o in locales)
    for r in twins:
        # Locale keys: NUL-terminated UTF-16 text.
        key = r["Key"].decode("utf-16-le")
        assert key.endswith("\x00") and key[:-1].isprintable() and len(key) > 5
    # Every table read with a live table's layout names one that exists.
    tables = set(db.get_tables())
    assert all(t["schema"] in tables for t in dropped.values() if t["schema"] not in (None, "catalog"))


@pytest.mark.parametrize("name", sorted(SAMPLES))
def test_every_sample_lists_and_reads_its_dropped_tables(name, tmp_path):
    db = open_sample(name, tmp_path)
    live = live_objects(db)
    for t in db.dropped_tables():
        assert t["objid"] not in live and t["objid"] != 1
        assert t["pages"] >= 1
        records = list(db.recover_dropped(t["objid"]))
        assert len(records) == t["records"]
        assert all(r["_objid"] == t["objid"] for r in records)


# --- damage -------------------------------------------------------------------


def catalog_leaves(data, page_size):
    """The leaf pages of the catalog (object 2) in a fixture file."""
    pages = len(data) // page_size - 2
    return [n for n in range(1, pages + 1)
            if int.from_bytes(data[(n + 1) * page_size + 24:(n + 1) * page_size + 28], "little") == 2
            and int.from_bytes(data[(n + 1) * page_size + 36:(n + 1) * page_size + 40], "little") & 2]


def test_a_catalog_page_lost_is_told_with_what_it_makes_look_dropped(make_db, tmp_path, cli):
    # The sample's catalog leaf holding Settings' and Empty's records is
    # given to another owner: the catalog's read refuses it, Settings'
    # records pass for a dropped table's read with Users' layout, and the
    # page itself for one of catalog records. The open says so, once: the
    # calls that rest on the same catalog pages do not repeat it (their own
    # reads met nothing more); the command exits with the damaged status.
    path = tmp_path / "lost.edb"
    data = bytearray(open(make_db("sample"), "rb").read())
    leaf = catalog_leaves(data, 4096)[-2]
    data[(leaf + 1) * 4096 + 24:(leaf + 1) * 4096 + 28] = (77).to_bytes(4, "little")
    path.write_bytes(data)
    with pytest.warns(pellumo.DamageWarning, match="MSysObjects: 1 page belonging to another tree") as caught:
        db = pellumo.EseDatabase(str(path))
    assert [w.message.table for w in caught] == ["MSysObjects"]
    assert "Settings" not in db.get_tables()
    calls = [db.dropped_tables, lambda: list(db.recover_dropped(77)),
             lambda: list(db.recover("Users", sources="dropped_table"))]
    with warnings.catch_warnings():
        warnings.simplefilter("error", pellumo.DamageWarning)
        for call in calls:
            call()
    assert {(t["objid"], t["schema"]) for t in db.dropped_tables()} >= {(77, "MSysObjects")}
    assert all(t["objid"] > 5 for t in db.dropped_tables())

    done = cli("recover", path, "--dropped")
    assert done.returncode == 3, done.stderr
    assert done.stderr.decode().count("belonging to another tree") == 1
    assert "77" in done.stdout.decode()


# The shadow catalog holds Orphan's definitions, which the catalog lost: its
# table record and column A flagged deleted on the shadow's first leaf,
# columns B and C live on its second. Torn, that second leaf takes B and C
# with it, and Orphan's records, of three columns, fit no schema of one.
@pytest.mark.parametrize("scenario, orphan, values, told", [
    ("dropped-shadow", {"objid": 50, "pages": 1, "name": "Orphan", "schema": "catalog", "records": 2},
     [(1, 2, 3), (2, 4, 6)], None),
    ("dropped-shadow-damaged", {"objid": 50, "pages": 1, "name": "Orphan", "schema": "catalog", "records": 0},
     [], "table MSysObjects: 1 page failing its checksum"),
])
def test_a_shadow_catalog_names_what_the_catalog_lost(make_db, cli, scenario, orphan, values, told):
    path = make_db(scenario)
    with warnings.catch_warnings():
        warnings.simplefilter("error", pellumo.DamageWarning)
        db = pellumo.EseDatabase(path)  # the open reads the catalog alone
    assert "MSysObjectsShadow" in db.get_tables()
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always", pellumo.DamageWarning)
        listed = {t["objid"]: t for t in db.dropped_tables()}
        rows = [(r["A"], r["B"], r["C"]) for r in db.recover_dropped(50)]
    assert listed[50] == orphan
    assert listed.keys() == {20, 30, 40, 50}  # the shadow itself is live
    assert rows == values
    # Each of the two calls read the shadow, and says what it met there.
    assert [told in str(w.message) for w in caught] == ([True, True] if told else [])
    assert {(w.message.table, w.message.damage["pages_refused"]) for w in caught} <= {("MSysObjects", 1)}
    # check() walks the shadow as any table; the command says what it met.
    shadow = [t for t in db.check()["trees"] if t["name"] == "MSysObjectsShadow"]
    assert [r["reason"] for t in shadow for r in t["pages_refused"]] == (["checksum"] if told else [])
    done = cli("recover", path, "--dropped")
    assert done.returncode == (3 if told else 0), done.stderr
    assert done.stderr.decode().count("failing its checksum") == (1 if told else 0)


def test_healthy_files_warn_nothing(dropped_db, recwarn):
    db = pellumo.EseDatabase(dropped_db)
    db.dropped_tables()
    list(db.recover_dropped(20))
    list(db.recover("Clients", sources="dropped_table"))
    assert [w for w in recwarn if issubclass(w.category, pellumo.DamageWarning)] == []

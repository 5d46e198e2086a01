"""Damage to the catalog, which is read when a file is opened: the tables
listed on a catalog page the file lost vanish from every listing, and the
open says so once (a DamageWarning naming MSysObjects) wherever a file is
opened: the module, every command of the CLI (printed once, exit status 3),
the fleet readers and the artifact layer. Every page size."""

import gzip
import json
import shutil
import sys
import warnings

import pytest

import pellumo
from conftest import INSTALLED, ROOT, sample_paths
from test_cli import cli  # noqa: F401 - the fixture

if not INSTALLED:
    sys.path.insert(0, str(ROOT / "python"))

PAGE_SIZES = [4096, 8192, 16384, 32768]


def u32(data, at):
    return int.from_bytes(data[at:at + 4], "little")


def catalog_pages(data, page_size):
    """The pages of the catalog (object 2) in a fixture file, and which of
    them are leaves."""
    found = []
    for n in range(1, len(data) // page_size - 1):
        at = (n + 1) * page_size
        if u32(data, at + 24) == 2:
            found.append((n, bool(u32(data, at + 36) & 2)))
    return found


def settings_leaf(data, page_size):
    """The catalog leaf holding the table record of Settings (and Empty)."""
    (leaf,) = [n for n, is_leaf in catalog_pages(data, page_size)
               if is_leaf and b"Settings" in data[(n + 1) * page_size:(n + 2) * page_size]]
    return leaf


def give_away(data, page_size):
    """That leaf handed to another object: the walk refuses it."""
    at = (settings_leaf(data, page_size) + 1) * page_size + 24
    data[at:at + 4] = (77).to_bytes(4, "little")
    return data


def cut(data, page_size):
    """The file cut just before that leaf: it and the catalog pages after it
    lie past the end."""
    return data[:(settings_leaf(data, page_size) + 1) * page_size]


# how the file is harmed, check()'s reason, pages refused, how many lie past
# the end, what the warning says of it ({pages}: the cut file's page count)
HARMS = [
    pytest.param(give_away, "foreign_owner", 1, 0, "1 page belonging to another tree", id="another-tree"),
    pytest.param(cut, "out_of_range", 2, 2,
                 "2 pages beyond the end of the file ({pages} pages): the file is truncated", id="cut"),
]


@pytest.fixture(params=PAGE_SIZES, ids=lambda n: f"{n // 1024}k")
def page_size(request):
    return request.param


def harmed(make_db, tmp_path, page_size, harm, name="lost.edb"):
    data = bytearray(open(make_db("sample", page_size=page_size), "rb").read())
    path = tmp_path / name
    path.write_bytes(harm(data, page_size))
    return str(path)


def damage_warnings(caught):
    return [w.message for w in caught if issubclass(w.category, pellumo.DamageWarning)]


@pytest.mark.parametrize("harm, reason, refused, beyond, text", HARMS)
def test_the_open_warns_once_and_nothing_after_repeats_it(make_db, tmp_path, page_size, harm, reason, refused,
                                                          beyond, text):
    path = harmed(make_db, tmp_path, page_size, harm)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        db = pellumo.EseDatabase(path)
        tables = db.get_tables()
        # What rests on the catalog's same pages says nothing more.
        db.dropped_tables()
        for t in db.dropped_tables():
            list(db.recover_dropped(t["objid"]))
        list(db.recover("Users", sources="dropped_table"))
    (warning,) = damage_warnings(caught)
    pages = db.total_pages
    assert (warning.path, warning.table) == (path, "MSysObjects")
    assert str(warning) == (f"{path}: table MSysObjects: {text.format(pages=pages)}; "
                            f"run `pellumo check {path}` for details")
    assert warning.damage["pages_refused"] == refused
    assert warning.damage["reasons"] == {reason: refused}
    assert warning.damage["pages_beyond_end"] == beyond
    assert tables == ["MSysObjects", "Users", "Events"]
    # The same warning stays on the object, and check() finds the same page.
    kept = db.catalog_damage_warning
    assert (str(kept), kept.table, kept.damage) == (str(warning), warning.table, warning.damage)
    report = db.check()
    assert report["damaged"]
    catalog = [t for t in report["trees"] if t["kind"] == "catalog"]
    assert [r["reason"] for r in catalog[0]["pages_refused"]] == [reason] * refused


def test_open_with_warn_false_leaves_the_warning_to_the_caller(make_db, tmp_path):
    path = harmed(make_db, tmp_path, 4096, give_away)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        db = pellumo.EseDatabase.open(path, warn=False)
        assert db.catalog_damage_warning.damage["pages_refused"] == 1
        # Made an error, the warning makes the open raise.
        with pytest.raises(pellumo.DamageWarning, match="table MSysObjects: 1 page belonging to another tree"):
            pellumo.EseDatabase(path)
        with pytest.raises(pellumo.DamageWarning):
            pellumo.EseDatabase.open(path)
    with pytest.raises(TypeError):
        pellumo.EseDatabase.open(path, False)  # warn is keyword-only


@pytest.mark.parametrize("scenario", ["sample", "tables12", "empty-catalog", "odd-names"])
def test_whole_catalogs_open_silently(make_db, page_size, scenario):
    path = make_db(scenario, page_size=page_size)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        db = pellumo.EseDatabase(path)
    assert db.catalog_damage_warning is None


@pytest.mark.parametrize("sample", sample_paths(), ids=lambda p: p.name[:-3])
def test_samples_open_silently(tmp_path, sample):
    path = tmp_path / sample.name[:-3]
    with gzip.open(sample, "rb") as src, open(path, "wb") as dst:
        shutil.copyfileobj(src, dst)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        db = pellumo.EseDatabase(str(path))
    assert db.catalog_damage_warning is None


# --- the command line -----------------------------------------------------------

COMMANDS = [
    pytest.param(["info"], id="info"),
    pytest.param(["info", "--counts"], id="info-counts"),
    pytest.param(["tables"], id="tables"),
    pytest.param(["schema", "Users"], id="schema"),
    pytest.param(["dump", "Users"], id="dump"),
    pytest.param(["dump", "Users", "--limit", "0"], id="dump-limit-0"),
    pytest.param(["export", "{out}"], id="export"),
    pytest.param(["export", "{out}", "--format", "parquet"], id="export-parquet"),
    pytest.param(["recover"], id="recover"),
    pytest.param(["recover", "--dropped"], id="recover-dropped"),
    pytest.param(["recover", "--dropped", "--json"], id="recover-dropped-json"),
    pytest.param(["carve"], id="carve"),
]


@pytest.mark.parametrize("argv", COMMANDS)
def test_every_command_prints_the_catalog_warning_once_and_exits_3(make_db, tmp_path, cli, argv):  # noqa: F811
    if "parquet" in argv:
        pytest.importorskip("pyarrow")
    path = harmed(make_db, tmp_path, 4096, give_away)
    out = tmp_path / "out"
    command, *rest = argv
    done = cli(command, path, *[a.format(out=out) for a in rest])
    stderr = done.stderr.decode()
    assert done.returncode == 3, stderr
    assert stderr.count("table MSysObjects: 1 page belonging to another tree") == 1, stderr
    assert stderr.count("pellumo: warning:") == 1, stderr


def test_export_manifest_records_the_catalog_damage(make_db, tmp_path, cli):  # noqa: F811
    lost = harmed(make_db, tmp_path, 4096, give_away)
    whole = make_db("sample")
    done = cli("export", lost, whole, tmp_path / "out")
    assert done.returncode == 3, done.stderr
    assert done.stderr.decode().count("table MSysObjects") == 1
    manifest = json.loads((tmp_path / "out" / "manifest.json").read_text())
    by_path = {entry["path"]: entry for entry in manifest["inputs"]}
    assert by_path[lost]["catalog_damage"] == {"pages_refused": 1, "entries_skipped": 0,
                                               "records_undecodable": 0, "values_unresolved": 0}
    assert set(by_path[whole]["catalog_damage"].values()) == {0}


def test_check_tells_it_in_its_report_alone(make_db, tmp_path, cli):  # noqa: F811
    path = harmed(make_db, tmp_path, 4096, give_away)
    done = cli("check", path)
    assert done.returncode == 3
    assert "warning" not in done.stderr.decode()
    assert "belonging to another tree" not in done.stderr.decode()
    assert "foreign_owner" in done.stdout.decode()


def test_whole_files_exit_0(make_db, tmp_path, cli):  # noqa: F811
    path = make_db("sample")
    for argv in (["info"], ["tables"], ["dump", "Users"], ["recover", "--dropped"]):
        command, *rest = argv
        done = cli(command, path, *rest)
        assert (done.returncode, done.stderr) == (0, b""), argv


# --- the fleet and the artifact layer ----------------------------------------------


def test_scan_tells_it_at_the_files_turn_and_keeps_the_counts(make_db, tmp_path):
    pytest.importorskip("pyarrow")
    import pellumo_fleet

    lost = harmed(make_db, tmp_path, 4096, give_away)
    whole = make_db("sample")
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        scan = pellumo_fleet.scan([whole, lost], "Users", workers=2)
        planned = damage_warnings(caught)
        table = scan.reader().read_all()
    assert planned == []  # not while planning: the read tells it
    (warning,) = damage_warnings(caught)
    assert (warning.path, warning.table) == (lost, "MSysObjects")
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        expected = sum(len(pellumo.EseDatabase(p).read_table("Users")) for p in (whole, lost))
    assert table.num_rows == expected
    assert list(scan.damage) == [lost]
    assert scan.damage[lost]["pages_refused"] == 1
    assert scan.damage[lost]["reasons"] == {"foreign_owner": 1}


def test_dask_partitions_tell_it_once_and_planning_does_not(make_db, tmp_path):
    pytest.importorskip("dask.dataframe")
    import pellumo_fleet.dask

    lost = harmed(make_db, tmp_path, 8192, give_away)
    whole = make_db("sample", page_size=8192)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        frame = pellumo_fleet.dask.read_table([lost, whole], "Users")
        assert damage_warnings(caught) == []
        frame.compute(scheduler="sync")
    assert [(w.path, w.table) for w in damage_warnings(caught)] == [(lost, "MSysObjects")]


def test_the_artifact_layer_lists_it_and_issues_it_once(tmp_path):
    pytest.importorskip("pyarrow")
    import pellumo_artifacts
    from artifact_fixtures import srum_tables
    from fixture_json import write_database

    path = write_database(tmp_path / "SRUDB.dat", srum_tables(), page_checksums=True)
    data = bytearray(open(path, "rb").read())
    leaves = [n for n, is_leaf in catalog_pages(data, 4096) if is_leaf]
    assert len(leaves) >= 2, "the catalog should have several leaves"
    at = (leaves[-1] + 1) * 4096
    data[at + 2048:at + 4096] = b"\x5a" * 2048  # torn: fails its checksum
    open(path, "wb").write(data)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        art = pellumo_artifacts.open(path)
        art.tables()
    (warning,) = [w for w in damage_warnings(caught) if w.table == "MSysObjects"]
    assert warning.damage["reasons"] == {"checksum": 1}
    catalog = [d for d in art.damage if d["table"] == "MSysObjects"]
    assert [(d["path"], d["pages_refused"]) for d in catalog] == [(str(path), 1)]
    assert art.warnings.count(str(warning)) == 1
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        quiet = pellumo_artifacts.open(path, warn=False)
    assert damage_warnings(caught) == []
    assert [d["table"] for d in quiet.damage] == ["MSysObjects"]

"""Damage in the artifact layer: a torn leaf and a cut file, as Artifact.warnings
and Artifact.damage, as the DamageWarning the module issues, and on the command
line (stderr once per read, exit status 3, manifest.json, the refusals); and the
sample WebCacheV01.dat, whose dirty file holds torn pages."""

import gzip
import hashlib
import json
import shutil
import sys
import warnings

import pytest

pa = pytest.importorskip("pyarrow")
from artifact_fixtures import bits_tables, srum_tables  # noqa: E402
from conftest import INSTALLED, ROOT, SAMPLES_DIR  # noqa: E402
from fixture_json import write_database  # noqa: E402
from test_cli import cli  # noqa: E402, F401 - the fixture

if not INSTALLED:
    sys.path.insert(0, str(ROOT / "python"))

import pellumo  # noqa: E402
import pellumo_artifacts  # noqa: E402

PAGE = 4096
APPLICATION = "{D10CA2FE-6FCF-4F6D-848E-B2E99266FA89}"


def torn_srum(folder):
    """A SRUDB.dat whose application table's only leaf (page 9) has its
    second half overwritten, as a write torn by a crash leaves it."""
    path = write_database(folder / "SRUDB.dat", srum_tables(), page_checksums=True)
    data = bytearray(open(path, "rb").read())
    start = (9 + 1) * PAGE
    data[start + PAGE // 2 : start + PAGE] = b"\x5a" * (PAGE // 2)
    open(path, "wb").write(data)
    return path


def cut_bits(folder):
    """A qmgr.db cut short by one page: the Files table's leaf is gone."""
    path = write_database(folder / "qmgr.db", bits_tables(), page_checksums=True)
    data = open(path, "rb").read()
    open(path, "wb").write(data[:-PAGE])
    return path


# (make the file, database table met damaged, artifact table built from it, what the damage says)
DAMAGED = [
    (torn_srum, APPLICATION, "application", {"pages_refused": 1, "reasons": {"checksum": 1}}),
    (cut_bits, "Files", "files", {"pages_refused": 1, "pages_beyond_end": 1}),
]


@pytest.mark.parametrize("make, table, built, counts", DAMAGED)
def test_damage_is_in_the_warnings_and_issued(tmp_path, make, table, built, counts):
    path = make(tmp_path)
    art = pellumo_artifacts.open(path)
    with pytest.warns(pellumo.DamageWarning) as issued:
        art.tables()
    assert {(w.message.path, w.message.table) for w in issued} == {(path, table)}
    (damage,) = art.damage
    assert (damage["path"], damage["table"]) == (path, table)
    assert {k: damage[k] for k in counts} == counts
    # The line a person reads is the warning's own text, once.
    assert sum(str(issued[0].message) == line for line in art.warnings) == 1
    # What the file still holds is there: the table is built.
    assert art.table(built).schema == art.schema(built)


@pytest.mark.parametrize("make, table, built, counts", DAMAGED)
def test_damage_made_an_error_stops_the_table(tmp_path, make, table, built, counts):
    art = pellumo_artifacts.open(make(tmp_path))
    with warnings.catch_warnings():
        warnings.simplefilter("error", pellumo.DamageWarning)
        with pytest.raises(pellumo.DamageWarning):
            art.table(built)


def test_an_undamaged_file_has_no_damage(tmp_path):
    art = pellumo_artifacts.open(write_database(tmp_path / "SRUDB.dat", srum_tables(), page_checksums=True))
    with warnings.catch_warnings():
        warnings.simplefilter("error", pellumo.DamageWarning)
        art.tables()
    assert art.damage == []


@pytest.mark.parametrize("make, table, built, counts", DAMAGED)
def test_command_line_exits_3_with_each_warning_once_and_a_manifest(cli, tmp_path, make, table, built, counts):
    path = make(tmp_path / "evidence")
    out = tmp_path / "out"
    done = cli("artifacts", path, out, "--format", "jsonl", "--timeline")
    stderr = done.stderr.decode()
    assert done.returncode == 3, stderr
    lines = [line for line in stderr.splitlines() if line.startswith("pellumo: warning:")]
    assert len(lines) == 1 and f"table {table}" in lines[0], stderr
    manifest = json.loads((out / "manifest.json").read_text())
    assert manifest["complete"] is True and manifest["command"][:2] == ["pellumo", "artifacts"]
    (entry,) = manifest["inputs"]
    assert entry["path"] == str(path) and entry["size"] > 0 and len(entry["sha256"]) == 64
    assert [(d["table"], d["pages_refused"]) for d in entry["damage"]] == [(table, 1)]
    by_name = {t["name"]: t for t in entry["tables"]}
    assert by_name[built]["pages_refused"] == 1
    for t in entry["tables"]:
        written = out / t["output"]
        assert hashlib.sha256(written.read_bytes()).hexdigest() == t["output_sha256"]
        assert t["records"] == len(written.read_text().splitlines())
    assert any(f"table {table}" in line for line in (out / path.split("/")[-1] / "warnings.txt").read_text().splitlines())


def test_command_line_refusals(cli, tmp_path):
    evidence = tmp_path / "evidence"
    path = write_database(evidence / "SRUDB.dat", srum_tables())
    out = tmp_path / "out"
    assert cli("artifacts", path, out).returncode == 0
    again = cli("artifacts", path, out)
    assert again.returncode == 2 and "pass --overwrite" in again.stderr.decode()
    assert cli("artifacts", path, out, "--overwrite").returncode == 0
    for holding in (evidence, tmp_path):  # the input's folder, and one above it
        refused = cli("artifacts", path, holding)
        assert refused.returncode == 2 and "holds the input" in refused.stderr.decode()
    assert sorted(p.name for p in evidence.iterdir()) == ["SRUDB.dat"]


@pytest.mark.skipif(not (SAMPLES_DIR / "WebCacheV01.dat.gz").exists(), reason="no sample WebCacheV01.dat")
def test_sample_webcache_torn_pages(cli, tmp_path):
    path = tmp_path / "in" / "WebCacheV01.dat"
    path.parent.mkdir()
    with gzip.open(SAMPLES_DIR / "WebCacheV01.dat.gz") as src, open(path, "wb") as dst:
        shutil.copyfileobj(src, dst)
    damaged = {t["table"] for t in pellumo.EseDatabase(str(path)).check()["trees"] if t["damaged"]}
    art = pellumo_artifacts.open(path)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", pellumo.DamageWarning)
        art.tables()
    # Every table read that met damage is one that check() finds damaged.
    assert art.damage and {d["table"] for d in art.damage} <= damaged
    done = cli("artifacts", path, tmp_path / "out")
    assert done.returncode == 3, done.stderr.decode()
    manifest = json.loads((tmp_path / "out" / "manifest.json").read_text())
    assert {d["table"] for d in manifest["inputs"][0]["damage"]} == {d["table"] for d in art.damage}


def test_fleet_scan_of_an_artifact_table_keeps_the_damage_per_file(tmp_path):
    import pellumo_fleet

    (tmp_path / "torn").mkdir()
    (tmp_path / "whole").mkdir()
    torn = torn_srum(tmp_path / "torn")
    whole = write_database(tmp_path / "whole" / "SRUDB.dat", srum_tables(), page_checksums=True)
    result = pellumo_fleet.scan([whole, torn], "artifact:srum/application", workers=2)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        table = pa.table(result)
    assert set(table.column("_source").to_pylist()) <= {whole, torn}
    assert list(result.damage) == [torn]
    assert {k: result.damage[torn][k] for k in ("pages_refused", "reasons")} == {
        "pages_refused": 1, "reasons": {"checksum": 1}}
    # Issued once, by the artifact layer that read the table.
    assert [(w.message.path, w.message.table) for w in caught
            if issubclass(w.category, pellumo.DamageWarning)] == [(torn, APPLICATION)]

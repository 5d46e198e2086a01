"""The export's manifest and what the export refuses: manifest.json lists the
command, its times, each input with its size, SHA-256 and state, and each
table with its records, the damage met reading it and its output's SHA-256;
existing files and evidence folders are left alone (exit status 2); a table
that cannot be read at all is reported and the export goes on."""

import hashlib
import json
import os
import re
import subprocess
import sys
import warnings

import pytest

import pellumo
from conftest import INSTALLED, ROOT

CLI_SOURCE_DIR = ROOT / "python"
if not INSTALLED:
    sys.path.insert(0, str(CLI_SOURCE_DIR))

from pellumo_cli import export  # noqa: E402
from pellumo_cli.damage import DamageLog  # noqa: E402
from pellumo_cli.manifest import Manifest  # noqa: E402

ISO_UTC = re.compile(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ")


@pytest.fixture
def cli(module_dir):
    path = [str(module_dir)] if INSTALLED else [str(module_dir), str(CLI_SOURCE_DIR)]
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(path))

    def run(*argv):
        return subprocess.run([sys.executable, "-m", "pellumo_cli", *map(str, argv)], env=env, capture_output=True,
                              timeout=300)

    return run


def sha256(path):
    return hashlib.sha256(open(path, "rb").read()).hexdigest()


def reference(path):
    """Per table: (records, the damage counts of its DamageWarning or None)."""
    db = pellumo.EseDatabase(path)
    tables = {}
    for name in db.get_tables():
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            records = len(db.read_table(name))
        damage = [w.message.damage for w in caught if issubclass(w.category, pellumo.DamageWarning)]
        tables[name] = (records, damage[0] if damage else None)
    return tables


# scenario, exit status (damaged fixtures: 3)
SCENARIOS = [("records", 0), ("truncated-tree", 3), ("bad-checksum", 3), ("torn-long-value", 3),
             ("truncated-root", 3)]


@pytest.mark.parametrize("fmt", ["jsonl", "parquet"])
@pytest.mark.parametrize("scenario, code", SCENARIOS)
def test_manifest_lists_inputs_tables_damage_and_hashes(cli, make_db, tmp_path, scenario, code, fmt):
    if fmt == "parquet":
        pytest.importorskip("pyarrow")
    path = make_db(scenario)
    out = tmp_path / "out"
    done = cli("export", path, out, "--format", fmt)
    assert done.returncode == code, done.stderr
    manifest = json.loads((out / "manifest.json").read_text())
    assert manifest["tool"] == "pellumo" and manifest["version"] == pellumo.__version__
    assert manifest["command"] == ["pellumo", "export", path, str(out), "--format", fmt]
    assert ISO_UTC.fullmatch(manifest["started"]) and ISO_UTC.fullmatch(manifest["finished"])
    assert manifest["started"] <= manifest["finished"]
    assert manifest["complete"] is True
    (entry,) = manifest["inputs"]
    assert (entry["path"], entry["size"], entry["sha256"], entry["state"]) == (
        path, os.path.getsize(path), sha256(path), "clean")
    expected = reference(path)
    assert [t["name"] for t in entry["tables"]] == list(expected)
    for table in entry["tables"]:
        records, damage = expected[table["name"]]
        assert table["records"] == records, table
        for key in ("pages_refused", "entries_skipped", "records_undecodable", "values_unresolved"):
            assert table[key] == (damage[key] if damage else 0), (table, key)
        assert table["output"] == f"{table['name']}.{fmt}"
        assert table["output_sha256"] == sha256(out / table["output"])
    # The counts are those the warnings on stderr give.
    assert sum(1 for line in done.stderr.decode().splitlines() if line.startswith("pellumo: warning: ")) == \
        sum(1 for _, damage in expected.values() if damage)


def test_manifest_of_many_files_lists_each_and_what_was_skipped(cli, make_db, tmp_path):
    good = make_db("records", name="good.edb")
    bad = tmp_path / "bad.edb"
    bad.write_bytes(b"\0" * 100)
    out = tmp_path / "out"
    done = cli("export", good, bad, out)
    assert done.returncode == 1
    manifest = json.loads((out / "manifest.json").read_text())
    first, second = manifest["inputs"]
    assert first["path"] == good and [t["output"] for t in first["tables"]] == \
        [f"good.edb/{t}.jsonl" for t in pellumo.EseDatabase(good).get_tables()]
    assert (second["path"], second["size"], second["sha256"], second["tables"]) == (
        str(bad), 100, sha256(bad), [])
    assert second["error"] == "Failed to open database: Invalid database header"


def test_refused_outputs_leave_everything_as_it_was(cli, make_db, tmp_path):
    evidence = tmp_path / "evidence" / "host1"
    evidence.mkdir(parents=True)
    path = make_db("records", name="evidence/host1/db.edb")
    out = tmp_path / "out"
    assert cli("export", path, out).returncode == 0
    before = {p: p.read_bytes() for p in out.iterdir()}
    # (output folder, options, the one line on stderr)
    cases = [
        (out, [], rf"pellumo: error: {re.escape(str(out / 'manifest.json'))} exists \(and \d+ more\): pass "
                  r"--overwrite to replace"),
        (out, ["--table", "Empty"], rf"pellumo: error: {re.escape(str(out / 'manifest.json'))} exists \(and 1 "
                                    r"more\): pass --overwrite to replace"),
        (evidence, [], rf"pellumo: error: the output folder {re.escape(str(evidence))} holds the input "
                       rf"{re.escape(path)}: choose a folder outside the evidence"),
        (tmp_path / "evidence", ["--overwrite"], r"pellumo: error: the output folder .* holds the input .*"),
    ]
    for folder, options, message in cases:
        done = cli("export", path, folder, *options)
        assert done.returncode == 2, (folder, options)
        assert re.fullmatch(message + "\n", done.stderr.decode()), done.stderr
    assert {p: p.read_bytes() for p in out.iterdir()} == before
    assert sorted(p.name for p in (tmp_path / "evidence").rglob("*")) == ["db.edb", "host1"]
    # --overwrite replaces the files, the manifest with them.
    done = cli("export", path, out, "--overwrite", "--table", "Empty")
    assert done.returncode == 0
    manifest = json.loads((out / "manifest.json").read_text())
    assert [t["name"] for t in manifest["inputs"][0]["tables"]] == ["Empty"]


class _Unreadable:
    """A database whose named tables fail to read, as a damaged table
    structure makes them fail: with the module's error, its kind given."""

    def __init__(self, db, failing):
        self._db, self._failing = db, failing

    def __getattr__(self, name):
        return getattr(self._db, name)

    def _fail(self, name):
        if name in self._failing:
            message, kind = self._failing[name]
            error = OSError(message)
            error.kind, error.reading_record = kind, False
            raise error

    def write_table_jsonl(self, name, output, limit=None):
        self._fail(name)
        return self._db.write_table_jsonl(name, output, limit)

    def arrow(self, name, **options):
        self._fail(name)
        return self._db.arrow(name, **options)


@pytest.mark.parametrize("fmt", ["jsonl", "parquet"])
@pytest.mark.parametrize("message, kind, damaged", [
    ("Corrupt structure: page 9 refused (not a leaf of this tree)", "corrupt_structure", True),
    ("Unsupported column type: 99", "unsupported_column_type", False),
])
def test_export_goes_on_past_a_table_it_cannot_read(make_db, tmp_path, fmt, message, kind, damaged):
    if fmt == "parquet":
        pytest.importorskip("pyarrow")
    path = make_db("records")
    real = pellumo.EseDatabase(path)
    names = real.get_tables()
    db = _Unreadable(real, {names[1]: (message, kind)})
    manifest = Manifest(["pellumo", "export"], [path])
    settings = export.Settings(fmt, "raw", None, manifest=manifest)
    outcome = export.Outcome(path)
    err = open(os.devnull, "w")
    with DamageLog(err, deferred=True) as log:
        settings.log = log
        export.write_tables(db, path, names, str(tmp_path / "out"), settings, outcome)
    err.close()
    assert outcome.fatal is None
    assert outcome.tables == len(names) - 1
    assert sorted(p.name for p in (tmp_path / "out").iterdir()) == sorted(f"{n}.{fmt}" for n in names if n != names[1])
    line = f"skipped table {names[1]} of {path}: {message}"
    # The file's damage: a damage warning (status 3); a reader's limit: an error (status 1).
    if damaged:
        assert (outcome.warnings, [d.text for d in log.entries()]) == ([], [line])
    else:
        assert (outcome.warnings, log.entries()) == ([line], [])
    listed = {t["name"]: t for t in manifest.as_dict(str(tmp_path / "out"), True)["inputs"][0]["tables"]}
    assert listed[names[1]]["output"] is None and listed[names[1]]["error"] == message
    assert all(listed[n]["output"] == f"{n}.{fmt}" for n in names if n != names[1])


@pytest.mark.parametrize("fmt", ["jsonl", "parquet"])
def test_with_several_files_every_message_about_a_table_names_its_file(cli, make_db, tmp_path, fmt):
    if fmt == "parquet":
        pytest.importorskip("pyarrow")
    files = [make_db("truncated-tree", name="one.edb"), make_db("torn-long-value", name="two.edb")]
    done = cli("export", *files, tmp_path / "out", "--format", fmt, "--table", "Alpha", "--table", "Beta",
               "--table", "Nope")
    assert done.returncode == 1  # the missing table
    lines = done.stderr.decode().splitlines()
    about_tables = [line for line in lines if line.startswith("pellumo: warning: ")]
    # Per file: the missing table, and the damage (Beta of one.edb, Alpha of two.edb).
    assert len(about_tables) == 4, lines
    for line in about_tables:
        assert sum(path in line for path in files) >= 1, line
    assert {path for path in files for line in about_tables if "Nope" in line and path in line} == set(files)


def test_several_files_refused_over_any_file_of_any_folder(cli, make_db, tmp_path):
    files = [make_db("records", name="a.edb"), make_db("sample", name="b.edb")]
    out = tmp_path / "out"
    assert cli("export", *files, out).returncode == 0
    (out / "manifest.json").unlink()
    (out / "a.edb").rename(tmp_path / "moved")  # only b.edb's folder is left to write over
    done = cli("export", *files, out)
    assert done.returncode == 2
    first = out / "b.edb" / f"{pellumo.EseDatabase(files[1]).get_tables()[0]}.jsonl"
    assert done.stderr.decode() == f"pellumo: error: {first} exists (and 4 more): pass --overwrite to replace\n"
    assert not (out / "a.edb").exists() and not (out / "manifest.json").exists()

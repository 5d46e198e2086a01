"""End-to-end tests of the `pellumo` command, run as `python -m pellumo_cli` in a
subprocess against the built module, on fixture databases and the samples."""

import gzip
import hashlib
import json
import os
import pty
import re
import select
import shutil
import signal
import subprocess
import sys
import time
import warnings

import pytest

import pellumo
from conftest import FIXTURE_TOOL, INSTALLED, PROJECT_VERSION, ROOT, sample_paths, write_header_file

CLI_SOURCE_DIR = ROOT / "python"
if not INSTALLED:
    sys.path.insert(0, str(CLI_SOURCE_DIR))

from pellumo_cli import text  # noqa: E402


@pytest.fixture
def cli(module_dir):
    """cli(*argv, **popen_args) -> CompletedProcess with bytes stdout/stderr."""
    # Installed: the tool and the module both come from the installed wheel.
    path = [str(module_dir)] if INSTALLED else [str(module_dir), str(CLI_SOURCE_DIR)]
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(path))

    def run(*argv, **kwargs):
        kwargs.setdefault("capture_output", True)
        return subprocess.run([sys.executable, "-m", "pellumo_cli", *map(str, argv)], env=env, timeout=300,
                              **kwargs)

    run.env = env
    return run


def exported(db_path, table, tmp_path):
    """The bytes export_table writes for the table."""
    out = tmp_path / f"reference-{table.replace('/', '_')}.jsonl"
    pellumo.EseDatabase(db_path).export_table(table, str(out))
    return out.read_bytes()


# The line a finished export ends with on stderr, terminal or not.
SUMMARY = re.compile(r"exported \d+ of \d+ tables( from \d+ of \d+ files)?, [\d,]+ records, \d+ warnings?, "
                     r"to .+ in \d+\.\ds")


def split_summary(stderr):
    """The lines of an export's stderr before its summary line, and that line."""
    lines = stderr.decode().splitlines()
    assert lines and SUMMARY.fullmatch(lines[-1]), lines
    return lines[:-1], lines[-1]


def written(folder):
    """The names of the files an export wrote into folder, its manifest aside."""
    return sorted(p.name for p in folder.iterdir() if p.name != "manifest.json")


def first_lines(data, n):
    return b"".join(data.splitlines(keepends=True)[:n])


def parse_table(text, right=()):
    """Cells of an aligned table, header row first, after checking the
    alignment: left edges of a column line up, or right edges for the columns
    listed in `right`. Cells are runs of words with single spaces between;
    the last one runs to the end of the line."""
    lines = text.splitlines()
    ncols = len(re.findall(r"\S+(?: \S+)*", lines[0]))
    rows = []
    for line in lines:
        spans = [m.span() for m in re.finditer(r"\S+(?: \S+)*", line)]
        assert len(spans) >= ncols, line
        rows.append(spans[:ncols - 1] + [(spans[ncols - 1][0], len(line))])  # the last cell may hold anything
    for col in range(ncols):
        edges = {row[col][1] if col in right else row[col][0] for row in rows}
        assert len(edges) == 1, f"column {col} is not aligned:\n{text}"
    return [[line[a:b] for a, b in row] for line, row in zip(lines, rows)]


# --- text shown on a terminal ----------------------------------------------------


@pytest.mark.parametrize("raw, shown", [
    ("Users", "Users"),
    ("caf\u00e9 \u2713 \ufffd", "caf\u00e9 \u2713 \ufffd"),
    ("\x1b[2J\x1b]0;owned\x07", "\\x1b[2J\\x1b]0;owned\\x07"),  # no escape sequence reaches the terminal
    ("two\nlines\tand\rback", "two\\nlines\\tand\\rback"),
    ("back\\slash", "back\\\\slash"),  # so that an escape stays unambiguous
    ("\x00\x7f\u200b\U000e0001", "\\x00\\x7f\\u200b\\U000e0001"),
])
def test_printable(raw, shown):
    assert text.printable(raw) == shown


def test_table_aligns_by_display_width():
    lines = text.table(["NAME", "N"], [["\u6f22\u5b57", "1"], ["abcde", "22"], ["e\u0301", "333"]], right=[1])
    # Wide characters take two columns, a combining accent none.
    assert lines == ["NAME     N", "\u6f22\u5b57     1", "abcde   22", "e\u0301      333"]


# --- help and version ------------------------------------------------------------


@pytest.mark.parametrize("command", [[], ["info"], ["tables"], ["schema"], ["dump"], ["export"], ["carve"],
                                     ["check"], ["recover"]])
def test_help_on_every_command(cli, command):
    done = cli(*command, "--help")
    assert done.returncode == 0, done.stderr
    usage = done.stdout.decode()
    assert usage.startswith("usage: " + " ".join(["pellumo"] + command))
    assert done.stderr == b""
    # Every command lists its exit statuses (argparse may wrap the lines).
    listed = " ".join(usage.split())
    assert "exit status: 0 " in listed and ", 3 damage" in listed, listed
    if command != ["check"]:
        assert all(f"{code} {what}" in listed for code, what in
                   [(1, "error"), (2, "usage"), (3, "damaged input"), (130, "interrupted")]), listed


def test_version(cli):
    done = cli("--version")
    assert (done.returncode, done.stdout, done.stderr) == (0, f"pellumo {pellumo.__version__}\n".encode(), b"")
    assert pellumo.__version__ == PROJECT_VERSION


# --- info, tables, schema --------------------------------------------------------


@pytest.mark.parametrize("page_size, version, revision", [(4096, 0x620, 0x14), (8192, 0x620, 0x11)])
def test_info(cli, make_db, page_size, version, revision):
    path = make_db("sample", page_size=page_size, format_version=version, format_revision=revision)
    db = pellumo.EseDatabase(path)
    done = cli("info", path)
    assert done.returncode == 0, done.stderr
    assert done.stdout.decode().splitlines() == [
        f"file:             {path}",
        f"page size:        {page_size}",
        f"format version:   {version:#x}",
        f"format revision:  {revision:#x}",
        "state:            clean shutdown",
        f"pages:            {db.total_pages}",
        f"tables:           {len(db.get_tables())}",
    ]


@pytest.mark.parametrize("scenario", ["sample", "tables12", "records", "empty-catalog"])
def test_tables_lists_names_and_column_counts(cli, make_db, scenario):
    path = make_db(scenario)
    db = pellumo.EseDatabase(path)
    done = cli("tables", path)
    assert done.returncode == 0, done.stderr
    header, *rows = parse_table(done.stdout.decode(), right=[1])
    assert header == ["TABLE", "COLUMNS"]
    assert rows == [[name, str(len(db.get_table_schema(name)))] for name in db.get_tables()]


def test_tables_marks_a_name_that_cannot_be_looked_up(cli, make_db):
    path = make_db("odd-names")
    done = cli("tables", path)
    assert done.returncode == 0, done.stderr
    rows = dict(parse_table(done.stdout.decode(), right=[1])[1:])
    bad = [name for name in pellumo.EseDatabase(path).get_tables() if "\ufffd" in name]
    assert bad and all(rows[name] == "?" for name in bad)
    assert rows["Users"] == str(len(pellumo.EseDatabase(path).get_table_schema("Users")))


def test_schema(cli, make_db):
    path = make_db("records")
    db = pellumo.EseDatabase(path)
    for table in db.get_tables():
        done = cli("schema", path, table)
        assert done.returncode == 0, done.stderr
        header, *rows = parse_table(done.stdout.decode(), right=[0])
        assert header == ["ID", "NAME", "TYPE", "NULLABLE"]
        assert rows == [[str(c["id"]), c["name"], c["type"], "yes" if c["nullable"] else "no"]
                        for c in db.get_table_schema(table)]


# --- dump ------------------------------------------------------------------------


@pytest.mark.parametrize("scenario", ["records", "export-json", "sample"])
def test_dump_writes_the_export_bytes(cli, make_db, tmp_path, scenario):
    path = make_db(scenario)
    for table in pellumo.EseDatabase(path).get_tables():
        reference = exported(path, table, tmp_path)
        records = reference.count(b"\n")
        for limit in (None, 0, 1, 3, records, records + 5):
            argv = ["dump", path, table] + ([] if limit is None else ["--limit", limit])
            done = cli(*argv)
            assert (done.returncode, done.stderr) == (0, b""), argv
            expected = reference if limit is None else first_lines(reference, limit)
            assert done.stdout == expected, argv


def test_dump_lines_are_json(cli, make_db):
    path = make_db("records")
    done = cli("dump", path, "AllTypes")
    records = [json.loads(line) for line in done.stdout.decode().splitlines()]
    assert len(records) == len(pellumo.EseDatabase(path).read_table("AllTypes")) > 0
    assert all(list(r) == sorted(r, key=lambda k: k.encode()) for r in records)


def test_dump_into_a_closed_pipe_ends_quietly(cli, tmp_path):
    if FIXTURE_TOOL is None:
        pytest.skip("the fixture tool is not built")
    path = str(tmp_path / "many.edb")
    subprocess.run([str(FIXTURE_TOOL), "bench-million", path, "--records", "20000"], check=True)
    reference = exported(path, "bench", tmp_path)
    # Far more than a pipe and the reader's buffer hold, so the writer cannot
    # finish before the reader leaves and must notice it.
    assert len(reference) > 1 << 20
    proc = subprocess.Popen([sys.executable, "-m", "pellumo_cli", "dump", path, "bench"], env=cli.env,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    head = proc.stdout.read(100)
    proc.stdout.close()
    stderr = proc.stderr.read()
    assert proc.wait(timeout=300) == 141
    assert head == reference[:100]
    assert stderr == b""


def test_dump_of_a_table_with_a_broken_leaf_chain_is_whole(cli, make_db, tmp_path):
    path = make_db("python-broken-chain")
    with pytest.warns(pellumo.DamageWarning) as caught:
        reference = exported(path, "Chained", tmp_path)
    done = cli("dump", path, "Chained")
    # Every record, and the refused link said once, with status 3.
    assert (done.returncode, done.stderr.decode()) == (3, f"pellumo: warning: {caught[0].message}\n")
    assert done.stdout == reference
    assert done.stdout.count(b"\n") == 7


# scenario, the damaged table, whether counting records (no column read)
# meets the damage, whether recover does: it reads a torn page's bytes as
# they are, and resolves long values of recovered records only (none here).
DAMAGED_FIXTURES = [("truncated-tree", "Beta", True, True), ("truncated-root", "Beta", True, True),
                    ("bad-checksum", "Alpha", True, False),  # a torn leaf
                    ("torn-long-value", "Alpha", False, False)]  # a long value left unresolved


@pytest.mark.parametrize("scenario, table, counted, recovering", DAMAGED_FIXTURES,
                         ids=[d[0] for d in DAMAGED_FIXTURES])
def test_damaged_tables_through_every_reading_command(cli, make_db, tmp_path, scenario, table, counted,
                                                      recovering):
    """dump (raw and engine values), info --counts and recover: what the file
    still holds, the module's warning once on stderr, exit status 3."""
    path = make_db(scenario)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        reference = exported(path, table, tmp_path)
    (warning,) = [f"pellumo: warning: {w.message}\n" for w in caught]
    assert path in warning and f"table {table}:" in warning
    dumped = cli("dump", path, table)
    assert (dumped.returncode, dumped.stdout, dumped.stderr.decode()) == (3, reference, warning)
    engine = cli("dump", path, table, "--values", "engine")
    assert (engine.returncode, engine.stderr.decode()) == (3, warning)
    assert [json.loads(line)["Id"] for line in engine.stdout.splitlines()] == \
        [json.loads(line)["Id"] for line in reference.splitlines()]
    counts = cli("info", path, "--counts")
    rows = {row[0]: row[1] for row in parse_table(counts.stdout.decode().split("\n\n")[1], right=[1])[1:]}
    assert rows[table] == f"{len(reference.splitlines()):,}"
    assert (counts.returncode, counts.stderr.decode()) == ((3, warning) if counted else (0, ""))
    recovered = cli("recover", path, table, "--json")
    assert (recovered.returncode, recovered.stderr.decode()) == ((3, warning) if recovering else (0, ""))


# --- export ----------------------------------------------------------------------


def test_export_all_tables_off_a_terminal_ends_with_one_summary_line(cli, make_db, tmp_path):
    path = make_db("records")
    out = tmp_path / "out" / "nested"
    done = cli("export", path, out)
    tables = pellumo.EseDatabase(path).get_tables()
    records = sum(len(pellumo.EseDatabase(path).read_table(t)) for t in tables)
    assert (done.returncode, done.stdout) == (0, b"")
    assert re.fullmatch(rf"exported {len(tables)} of {len(tables)} tables, {records:,} records, 0 warnings, to "
                        rf"{re.escape(str(out))} in \d+\.\ds\n", done.stderr.decode())
    assert written(out) == sorted(t + ".jsonl" for t in tables)
    assert cli("export", path, tmp_path / "quiet", "--quiet").stderr == b""
    for table in tables:
        assert (out / (table + ".jsonl")).read_bytes() == exported(path, table, tmp_path)


def table_args(*names):
    """--table once per name: the option takes one name each time."""
    return [arg for name in names for arg in ("--table", name)]


def test_export_selected_tables(cli, make_db, tmp_path):
    path = make_db("records")
    # (options, tables written, options before the paths)
    cases = [(["--table", "Empty"], ["Empty"], False),
             (table_args("AllTypes", "Empty"), ["AllTypes", "Empty"], False),
             # Before the paths, --table takes its one name and leaves them be.
             (table_args("AllTypes", "Empty"), ["AllTypes", "Empty"], True),
             (table_args("Empty", "LongValues", "Empty"), ["Empty", "LongValues"], True)]
    for argv, expected, first in cases:
        out = tmp_path / ("-".join(argv) + ("-first" if first else ""))
        done = cli("export", *argv, path, out) if first else cli("export", path, out, *argv)
        assert (done.returncode, split_summary(done.stderr)[0]) == (0, []), argv
        assert written(out) == [t + ".jsonl" for t in expected]
        for table in expected:
            assert (out / (table + ".jsonl")).read_bytes() == exported(path, table, tmp_path)


@pytest.mark.parametrize("scenario, files", [
    ("export-unsafe", {"First": "First.jsonl", "sub/inner": "sub_inner.jsonl", "../evil": ".._evil.jsonl",
                       "Later": "Later.jsonl"}),
    ("export-absolute", {"/abs/x": "_abs_x.jsonl"}),
])
def test_export_keeps_every_file_inside_the_output_directory(cli, make_db, tmp_path, scenario, files):
    path = make_db(scenario)
    out = tmp_path / "box" / "out"
    done = cli("export", path, out)
    assert (done.returncode, split_summary(done.stderr)[0]) == (0, [])
    made = {p.relative_to(tmp_path).as_posix() for p in tmp_path.rglob("*") if p.is_file() and
            not p.name.endswith(".edb")}
    assert made == {f"box/out/{name}" for name in files.values()} | {"box/out/manifest.json"}
    for table, name in files.items():
        assert (out / name).read_bytes() == exported(path, table, tmp_path / "box")


def test_export_skips_a_name_that_cannot_be_looked_up(cli, make_db, tmp_path):
    path = make_db("odd-names")
    bad = [n for n in pellumo.EseDatabase(path).get_tables() if "\ufffd" in n]
    done = cli("export", path, tmp_path / "out")
    assert done.returncode == 1
    assert split_summary(done.stderr)[0] == [
        f"pellumo: warning: skipped table {name}: Table not found: {name}" for name in bad]
    assert written(tmp_path / "out") == ["MSysObjects.jsonl", "Users.jsonl"]


def test_export_progress_on_a_terminal(cli, make_db, tmp_path):
    path = make_db("records")
    db = pellumo.EseDatabase(path)
    tables = db.get_tables()
    for argv, shown in [([], True), (["--quiet"], False)]:
        leader, follower = pty.openpty()
        proc = subprocess.Popen([sys.executable, "-m", "pellumo_cli", "export", path, tmp_path / "out", *argv,
                                 "--overwrite"],
                                env=cli.env, stdout=subprocess.PIPE, stderr=follower)
        os.close(follower)
        terminal = b""
        while True:
            try:
                chunk = os.read(leader, 4096)
            except OSError:  # the terminal's other end closed
                break
            if not chunk:
                break
            terminal += chunk
        os.close(leader)
        assert proc.wait(timeout=300) == 0
        assert proc.stdout.read() == b""
        segments = [s for s in terminal.decode().replace("\r\n", "\n").replace("\r\x1b[K", "\n").split("\n") if s]
        if not shown:
            assert segments == []
            continue
        n = len(tables)
        total = sum(len(db.read_table(t)) for t in tables)
        # One line redrawn for the whole run, then the summary.
        assert segments, terminal
        for segment in segments[:-1]:
            assert re.fullmatch(r"\[[01]/1 files\] [\d,]+ records, [\d,]+ records/s(, \d+:\d\d:\d\d left)?",
                                segment), segments
        assert re.fullmatch(rf"exported {n} of {n} tables, {total:,} records, 0 warnings, to "
                            rf"{re.escape(str(tmp_path / 'out'))} in \d+\.\ds", segments[-1]), segments


# --- carve -----------------------------------------------------------------------


@pytest.mark.parametrize("options, call", [
    ([], dict(scope="slack")),
    (["--scope", "all"], dict(scope="all")),
    (["--scope", "tag_data", "--min-chars", "3"], dict(scope="tag_data", min_chars=3)),
    (["--scope", "lv_all", "--needle", "lv"], dict(scope="lv_all", needle="lv")),
    (["--scope", "lv_slack"], dict(scope="lv_slack")),
    (["--scope", "all", "--max-hits", "2"], dict(scope="all", max_hits=2)),
    (["--scope", "all", "--needle", "no such text anywhere"], dict(scope="all", needle="no such text anywhere")),
])
def test_carve_json_lines_are_the_module_hits(cli, make_db, options, call):
    path = make_db("carve")
    expected = pellumo.EseDatabase(path).carve_utf16le_strings_scoped(**call)
    done = cli("carve", path, "--json", *options)
    assert done.returncode == 0, done.stderr
    hits = [json.loads(line) for line in done.stdout.decode().splitlines()]
    assert hits == expected
    assert all(list(hit) == list(want) for hit, want in zip(hits, expected))
    capped = bool(expected) and len(expected) == call.get("max_hits", 1000)
    assert done.stderr == (f"pellumo: note: stopped at {len(expected)} hits (--max-hits); "
                           "there may be more\n".encode() if capped else b"")


def test_carve_table(cli, make_db):
    path = make_db("carve")
    db = pellumo.EseDatabase(path)
    expected = db.carve_utf16le_strings_scoped("all")
    done = cli("carve", path, "--scope", "all")
    assert done.returncode == 0, done.stderr
    header, *rows = parse_table(done.stdout.decode(), right=[0, 1, 2])
    assert header == ["PAGE", "OFFSET", "FILE OFFSET", "REGION", "PAGE TYPE", "TABLE", "TEXT"]
    assert rows == [[str(h["page"]), str(h["offset"]), hex((h["page"] + 1) * db.page_size + h["offset"]),
                     h["region_kind"], h["page_type"], h["table"] or "-", h["text"]] for h in expected]


# --- errors ----------------------------------------------------------------------

COMMANDS_ON_A_FILE = [["info"], ["tables"], ["schema", "T"], ["dump", "T"], ["export", "OUT"], ["carve"]]


def _argv(command, path, tmp_path):
    name, *rest = command
    return [name, path] + [str(tmp_path / "out") if arg == "OUT" else arg for arg in rest]


@pytest.mark.parametrize("command", COMMANDS_ON_A_FILE)
def test_unreadable_files_give_one_error_line(cli, tmp_path, command):
    short = tmp_path / "short.edb"
    short.write_bytes(b"\0" * 100)
    cases = [
        (tmp_path / "missing.edb", "Database file not found: {p}"),
        (short, "{p}: Failed to open database: Invalid database header"),
        (write_header_file(tmp_path / "sig.edb", signature=0x12345678),
         "{p}: Failed to open database: Invalid signature, expected 0x89ABCDEF, got 0x12345678"),
        (tmp_path, "{p}: Failed to open database: IO error: Is a directory (os error 21)"),
    ]
    for path, message in cases:
        done = cli(*_argv(command, path, tmp_path))
        assert done.returncode == 1, (command, path)
        assert done.stdout == b""
        assert done.stderr.decode() == "pellumo: error: " + message.format(p=path) + "\n"
    assert not (tmp_path / "out").exists()


@pytest.mark.parametrize("argv, message", [
    (["schema", "{db}", "users"], "Table not found: users (did you mean 'Users'?)"),
    (["dump", "{db}", "Userz"], "Table not found: Userz (did you mean 'Users'?)"),
    (["dump", "{db}", "Nothing like it"], "Table not found: Nothing like it (see 'pellumo tables FILE')"),
    (["export", "{db}", "{tmp}/out", "--table", "Users", "--table", "EVENTS"],
     "Table not found: EVENTS (did you mean 'Events'?)"),
])
def test_unknown_table(cli, make_db, tmp_path, argv, message):
    db = make_db("sample")
    done = cli(*[a.format(db=db, tmp=tmp_path) for a in argv])
    assert (done.returncode, done.stdout) == (1, b"")
    assert done.stderr.decode() == f"pellumo: error: {message}\n"
    assert not (tmp_path / "out").exists()  # nothing is written when a name is wrong


def test_unwritable_output(cli, make_db, tmp_path):
    db = make_db("sample")
    a_file = tmp_path / "a-file"
    a_file.write_bytes(b"")
    done = cli("export", db, a_file / "sub")
    assert (done.returncode, done.stdout) == (1, b"")
    assert done.stderr.decode() == f"pellumo: error: cannot create output directory {a_file / 'sub'}: Not a directory\n"

    out = tmp_path / "out"
    (out / "Users.jsonl").mkdir(parents=True)
    done = cli("export", db, out, "--overwrite")
    assert (done.returncode, done.stdout) == (1, b"")
    assert done.stderr.decode() == f"pellumo: error: {out / 'Users.jsonl'}: cannot create the output file: " \
                                   "Is a directory\n"
    # Tables before the failing one are written, later ones are not; the
    # manifest says the run did not finish and lists what it wrote.
    assert written(out) == ["MSysObjects.jsonl", "Users.jsonl"]
    manifest = json.loads((out / "manifest.json").read_text())
    assert manifest["complete"] is False
    assert [t["name"] for t in manifest["inputs"][0]["tables"]] == ["MSysObjects"]


@pytest.mark.parametrize("argv, complaint", [
    (["carve", "{db}", "--scope", "Slack"], "argument --scope: invalid choice: 'Slack'"),
    (["carve", "{db}", "--min-chars", "-1"], "argument --min-chars: must be between 0 and 2**64-1: -1"),
    (["carve", "{db}", "--max-hits", "many"], "argument --max-hits: not a whole number: 'many'"),
    (["dump", "{db}", "Users", "--limit", "1.5"], "argument --limit: not a whole number: '1.5'"),
    (["dump", "{db}"], "the following arguments are required: TABLE"),
    (["frobnicate", "{db}"], "argument COMMAND: invalid choice: 'frobnicate'"),
    ([], "the following arguments are required: COMMAND"),
])
def test_bad_command_lines(cli, make_db, argv, complaint):
    db = make_db("sample")
    done = cli(*[a.format(db=db) for a in argv])
    assert (done.returncode, done.stdout) == (2, b"")
    stderr = done.stderr.decode()
    assert stderr.startswith("usage: pellumo")
    assert complaint in stderr.splitlines()[-1]
    assert "Traceback" not in stderr


# --- real samples ----------------------------------------------------------------

SAMPLES = sample_paths()


@pytest.fixture(scope="module")
def unpacked_samples(tmp_path_factory):
    if not SAMPLES:
        pytest.skip("no sample databases in ../shared/samples")
    out = tmp_path_factory.mktemp("samples")
    paths = {}
    for gz in SAMPLES:
        target = out / gz.name.removesuffix(".gz")
        with gzip.open(gz) as src, open(target, "wb") as dst:
            shutil.copyfileobj(src, dst)
        paths[target.name] = str(target)
    return paths


@pytest.mark.parametrize("name", [p.name.removesuffix(".gz") for p in SAMPLES] or ["(none)"])
def test_samples(cli, unpacked_samples, tmp_path, name):
    path = unpacked_samples[name]
    db = pellumo.EseDatabase(path)
    tables = db.get_tables()

    info = cli("info", path)
    assert info.returncode == 0, info.stderr
    assert "format version:   0x620" in info.stdout.decode().splitlines()
    assert f"tables:           {len(tables)}" in info.stdout.decode().splitlines()

    listing = cli("tables", path)
    assert [row[0] for row in parse_table(listing.stdout.decode(), right=[1])[1:]] == tables

    carved = cli("carve", path, "--json", "--max-hits", "20")
    assert [json.loads(line) for line in carved.stdout.decode().splitlines()] == \
        db.carve_utf16le_strings(max_hits=20)

    # Every table but the one of 64,994 columns in large.edb, which the
    # export tests cover.
    user_tables = [t for t in tables if len(db.get_table_schema(t)) < 1000]
    out = tmp_path / "out"
    done = cli("export", path, out, *table_args(*user_tables))
    damage = []
    for table in user_tables:
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            reference = exported(path, table, tmp_path)
        damage += [f"pellumo: warning: {w.message}" for w in caught]
        assert (out / (table + ".jsonl")).read_bytes() == reference
    # Only the torn WebCache warns; the others are whole.
    assert bool(damage) == (name == "WebCacheV01.dat")
    assert (done.returncode, split_summary(done.stderr)[0]) == (3 if damage else 0, damage)
    dumped = cli("dump", path, user_tables[-1], "--limit", "5")
    assert dumped.stdout == first_lines(exported(path, user_tables[-1], tmp_path), 5)


# --- export of many files -------------------------------------------------------------


def _tree(root):
    return {p.relative_to(root).as_posix(): p.read_bytes() for p in sorted(root.rglob("*"))
            if p.is_file() and p.name != "manifest.json"}


def test_export_many_files_one_folder_each(cli, corpus, tmp_path):
    files = [p for p in corpus.files if p.endswith(("sample.edb", "SRUDB.dat", "broken.edb"))]
    common = os.path.commonpath([os.path.dirname(p) for p in files])
    runs = {}
    for jobs in ("1", "2"):
        out = tmp_path / f"out{jobs}"
        done = cli("export", *files, out, "--jobs", jobs)
        assert (done.returncode, done.stdout) == (1, b"")
        runs[jobs] = (_tree(out), split_summary(done.stderr)[0])
    assert runs["1"] == runs["2"]  # the same files and messages whatever the number of jobs
    tree, stderr = runs["1"]
    expected = {}
    problems, damage = [], []
    for path in files:
        folder = os.path.relpath(path, common)
        try:
            db = pellumo.EseDatabase(path)
        except OSError as error:
            problems.append(f"pellumo: warning: skipped {path}: {error}")
            continue
        for table in db.get_tables():
            reference = tmp_path / "reference.jsonl"
            with warnings.catch_warnings(record=True) as caught:
                warnings.simplefilter("always")
                db.export_table(table, str(reference))
            damage += [f"pellumo: warning: {w.message}" for w in caught]
            expected[f"{folder}/{table.replace('/', '_')}.jsonl"] = reference.read_bytes()
    assert tree == expected
    assert damage  # the corpus's broken file
    # Files that could not be read first, then what the files read could not read.
    assert stderr == problems + damage + [f"pellumo: 1 of {len(files)} files skipped; "
                                          f"{len(problems)} warnings above"]


@pytest.mark.parametrize("fmt", ["parquet", "csv"])
def test_export_many_files_through_arrow(cli, corpus, tmp_path, fmt):
    pq = pytest.importorskip("pyarrow.parquet")
    pa_csv = pytest.importorskip("pyarrow.csv")
    files = [p for p in corpus.files if p.endswith(("sample.edb", "SRUDB.dat"))]
    root = os.path.dirname(os.path.dirname(files[0]))
    pattern = os.path.join(root, "**", "sample.edb")  # quoted: expanded by the tool
    out = tmp_path / "out"
    done = cli("export", pattern, *[f for f in files if f.endswith("SRUDB.dat")], out, "--format", fmt,
               *table_args("Users", "Events"), "--jobs", "2")
    stderr = done.stderr.decode().splitlines()
    assert done.returncode == 1
    common = os.path.commonpath([os.path.dirname(p) for p in files])
    for path in files:
        folder = out / os.path.relpath(path, common)
        try:
            db = pellumo.EseDatabase(path)
        except OSError:
            assert not folder.exists()
            assert any(line.startswith(f"pellumo: warning: skipped {path}: Failed to open") for line in stderr)
            continue
        if "Users" not in db.get_tables():
            assert not folder.exists() or not any(folder.iterdir())
            assert f"pellumo: warning: skipped table Users of {path}: Table not found: Users" in stderr
            continue
        assert written(folder) == [f"Events.{fmt}", f"Users.{fmt}"]
        for table in ("Users", "Events"):
            rows = db.read_table(table)
            if fmt == "parquet":
                assert pq.read_table(folder / f"{table}.parquet").to_pylist() == rows
                assert pq.ParquetFile(folder / f"{table}.parquet").metadata.row_group(0).column(0).compression \
                    == "ZSTD"
            else:
                read = pa_csv.read_csv(folder / f"{table}.csv").to_pylist()
                assert len(read) == len(rows) and list(read[0]) == list(rows[0])
                for got, want in zip(read, rows):
                    for name, value in want.items():
                        if isinstance(value, bytes):
                            assert got[name] == value.hex()  # binary as lowercase hex, as in JSON Lines
                        elif isinstance(value, int) and not isinstance(value, bool):
                            assert got[name] == value
    assert not [p for p in out.rglob(".pellumo-partial-*")]


def test_export_options_that_need_something(cli, make_db, tmp_path):
    path = make_db("sample")
    blocker = tmp_path / "blocker"
    (blocker / "pyarrow").mkdir(parents=True)
    (blocker / "pyarrow" / "__init__.py").write_text("raise ImportError('blocked for the test')\n")
    env = dict(cli.env, PYTHONPATH=os.pathsep.join([str(blocker), cli.env["PYTHONPATH"]]))
    for fmt in ("parquet", "csv"):
        done = subprocess.run([sys.executable, "-m", "pellumo_cli", "export", path, tmp_path / "out", "--format", fmt],
                              env=env, capture_output=True, timeout=300)
        assert (done.returncode, done.stderr.decode()) == (
            1, f"pellumo: error: --format {fmt} needs pyarrow: pip install 'pellumo[parquet]'\n")
    # JSON Lines with engine values need no pyarrow: the module writes them.
    done = subprocess.run([sys.executable, "-m", "pellumo_cli", "export", path, tmp_path / "jsonl", "--values",
                           "engine", "--table", "Users"], env=env, capture_output=True, timeout=300)
    assert done.returncode == 0, done.stderr
    assert (tmp_path / "jsonl" / "Users.jsonl").read_bytes() == cli("dump", path, "Users", "--values", "engine").stdout
    pytest.importorskip("pyarrow")
    try:
        pellumo.EseDatabase(path).arrow("Users", values="engine")
        engine = True
    except TypeError:
        engine = False
    done = cli("export", path, tmp_path / "out", "--format", "parquet", "--values", "engine", "--table", "Users")
    if engine:
        assert (done.returncode, split_summary(done.stderr)[0]) == (0, [])
    else:
        assert done.returncode == 1
        assert done.stderr.decode().startswith("pellumo: error: --values engine is not supported by this build")


@pytest.fixture(scope="module")
def many_big_files(tmp_path_factory):
    """16 copies of a 100,000-record database in in/hostNN/big.edb: an export
    of them all takes a while, so that it can be interrupted part-way."""
    if FIXTURE_TOOL is None:
        pytest.skip("the fixture tool is not built")
    root = tmp_path_factory.mktemp("in")
    big = root / "big.edb"
    subprocess.run([str(FIXTURE_TOOL), "bench-million", str(big), "--records", "100000"], check=True)
    copies = []
    for i in range(16):
        copy = root / f"host{i:02d}" / "big.edb"
        copy.parent.mkdir()
        shutil.copyfile(big, copy)
        copies.append(copy)
    big.unlink()
    return root, copies


def interrupt_while_writing(cli, argv, out):
    """Runs the command, sends Ctrl-C once a file is being written under
    OUT's private folders, and checks that it stops promptly with status
    130, no output and no traceback, leaving no private folder behind."""
    proc = subprocess.Popen([sys.executable, "-m", "pellumo_cli", *map(str, argv)], env=cli.env,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    deadline = time.monotonic() + 120
    while time.monotonic() < deadline:  # until a table is being written
        if any(p.is_file() and p.stat().st_size > 0 for p in out.rglob(".pellumo-partial-*/*")):
            break
        time.sleep(0.02)
    started = time.monotonic()
    proc.send_signal(signal.SIGINT)
    stdout, stderr = proc.communicate(timeout=60)
    assert time.monotonic() - started < 10  # promptly
    assert (proc.returncode, stdout) == (130, b"")
    assert b"Traceback" not in stderr
    assert not list(out.rglob(".pellumo-partial-*"))


@pytest.mark.parametrize("fmt", ["jsonl", "parquet"])
def test_export_interrupted(cli, many_big_files, tmp_path, fmt):
    if fmt == "parquet":
        pytest.importorskip("pyarrow")
    root, copies = many_big_files
    out = tmp_path / "out"
    interrupt_while_writing(cli, ["export", *copies, out, "--format", fmt, "--jobs", "2"], out)
    # Whatever was finished is whole; nothing else sits under a final name.
    finished = [p for p in out.rglob("*") if p.is_file() and p.name != "manifest.json"]
    for output in finished:
        table = output.stem
        source = root / output.parent.relative_to(out)
        if fmt == "jsonl":
            assert output.read_bytes() == exported(str(source), table, tmp_path)
        else:
            import pyarrow.parquet as pq

            assert pq.read_metadata(output).num_rows == len(pellumo.EseDatabase(str(source)).read_table(table))
    check_interrupted_manifest(out, finished)


def check_interrupted_manifest(out, finished):
    """The manifest of an interrupted export: not complete, and listing
    exactly the outputs that were finished, with their hashes."""
    manifest = json.loads((out / "manifest.json").read_text())
    assert manifest["complete"] is False
    listed = {t["output"]: t for entry in manifest["inputs"] for t in entry["tables"]}
    assert sorted(listed) == sorted(p.relative_to(out).as_posix() for p in finished)
    for output in finished:
        assert listed[output.relative_to(out).as_posix()]["output_sha256"] == \
            hashlib.sha256(output.read_bytes()).hexdigest()


def test_ctrl_c_on_a_terminal_leaves_the_manifest_of_what_was_finished(cli, many_big_files, tmp_path):
    """Ctrl-C typed on the export's terminal (the terminal sends SIGINT to
    the whole foreground group, the JSON export's child processes too):
    status 130, the progress line cleared, no traceback, and a manifest
    that says the run did not finish and lists exactly what it finished."""
    root, copies = many_big_files
    out = tmp_path / "out"
    pid, leader = pty.fork()
    if pid == 0:  # the child: its terminal is the pty
        try:
            os.execve(sys.executable, [sys.executable, "-m", "pellumo_cli", "export", *map(str, copies), str(out)],
                      cli.env)
        finally:
            os._exit(127)
    terminal = bytearray()

    def drain(seconds):
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            ready = select.select([leader], [], [], 0.05)[0]
            if not ready:
                continue
            try:
                chunk = os.read(leader, 4096)
            except OSError:  # the terminal's other end closed
                return False
            if not chunk:
                return False
            terminal.extend(chunk)
        return True

    try:
        deadline = time.monotonic() + 120
        while time.monotonic() < deadline and not any(out.glob("*/*/*.jsonl")):  # a table finished
            drain(0.05)
        assert any(out.glob("*/*/*.jsonl")), bytes(terminal)
        os.write(leader, b"\x03")  # Ctrl-C
        started = time.monotonic()
        while drain(0.2) and time.monotonic() - started < 60:
            pass
        _, wait_status = os.waitpid(pid, 0)
    finally:
        os.close(leader)
    assert time.monotonic() - started < 10
    assert os.waitstatus_to_exitcode(wait_status) == 130
    shown = bytes(terminal).decode(errors="replace")
    assert "Traceback" not in shown and "records/s" in shown  # the progress line was drawn
    assert not list(out.rglob(".pellumo-partial-*"))
    finished = [p for p in out.rglob("*") if p.is_file() and p.name != "manifest.json"]
    assert finished
    check_interrupted_manifest(out, finished)

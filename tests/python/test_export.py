"""export_table and export_all over fixture databases: the exact bytes of each
line, the files made and left behind, and the errors of bad tables, bad paths
and hostile table names."""

import json
import os
import stat
import subprocess
import threading

import pytest

from conftest import FIXTURE_TOOL
from jsonl_mapping import assert_same_values, json_object, line_text
from pellumo import EseDatabase

FORMATS = [
    pytest.param({}, id="4k"),
    pytest.param({"page_size": 8192}, id="8k"),
    pytest.param({"page_size": 32768, "format_version": 0x620, "format_revision": 0x11}, id="32k-large-tags"),
]

# The Floats table of the export-json scenario: (Double, Single) as written.
FLOAT_LINES = [
    ("1.0", "1.0"),
    ("1e+16", "0.10000000149011612"),            # a 32-bit 0.1 widened exactly
    ("0", "0"),                                  # NaN
    ("0", "0"),                                  # -inf, inf
    ("0", "0"),                                  # inf, -inf
    ("-0.0", "-0.0"),
    ("0.0", "0.5"),
    ("1000000000000000.0", "1.0000000116860974e-7"),
    ("12.5", "-3.25"),
    ("0.00001", "16777216.0"),
    ("1.5e-7", "3.0000000054977558e+38"),
    ("2.5e+100", "1.401298464324817e-45"),
    ("-123456.789", "100.0"),
    ("5e-6", "1.0000000272564224e+16"),
]

# Bytes 0x01..0x1F, then '"', '\', '/', 0x7F and windows-1252 0xE9.
TEXT_LINE = (r'{"Value":"\u0001\u0002\u0003\u0004\u0005\u0006\u0007\b\t\n\u000b\f\r\u000e\u000f'
             r'\u0010\u0011\u0012\u0013\u0014\u0015\u0016\u0017\u0018\u0019\u001a\u001b\u001c\u001d'
             r'\u001e\u001f\"\\/' + "\x7f\u00e9\"}\n")


def read_bytes(path):
    with open(path, "rb") as f:
        return f.read()


def read_lines(path):
    return read_bytes(path).decode("utf-8").splitlines(keepends=True)


def open_fds():
    return len(os.listdir("/proc/self/fd"))


@pytest.fixture
def area(tmp_path):
    """An empty directory for the files a test writes (the databases lie in tmp_path)."""
    path = tmp_path / "area"
    path.mkdir()
    return path


@pytest.fixture
def json_db(make_db):
    return EseDatabase(make_db("export-json"))


def test_docstrings_and_member_order():
    assert EseDatabase.export_table.__text_signature__ == "($self, table_name, output_path)"
    assert EseDatabase.export_table.__doc__ == (
        "Export a table to JSONL format.\n\nArgs:\n    table_name: Name of the table to export\n"
        "    output_path: Path to the output JSONL file\n\n"
        "Raises:\n    ValueError: If the table doesn't exist\n    IOError: If there's an error writing the file")
    assert EseDatabase.export_all.__text_signature__ == "($self, output_dir)"
    assert EseDatabase.export_all.__doc__ == (
        "Export all tables to JSONL files in a directory.\n\n"
        "Args:\n    output_dir: Directory to write JSONL files to\n\n"
        "Raises:\n    IOError: If there's an error creating the directory or writing files")
    members = [n for n in vars(EseDatabase) if not n.startswith("__") or n in ("__enter__", "__exit__")]
    assert members.index("get_table_schema") + 1 == members.index("export_table")
    assert members.index("carve_utf16le_strings_scoped") + 1 == members.index("export_all")
    assert members.index("export_all") + 1 == members.index("__enter__")


@pytest.mark.parametrize("call, cls, pattern", [
    (lambda db, p: db.export_table("Members"), TypeError,
     r"^EseDatabase\.export_table\(\) missing required argument 'output_path' \(pos 2\)$"),
    (lambda db, p: db.export_table("Members", p, p), TypeError,
     r"^EseDatabase\.export_table\(\) takes at most 2 arguments \(3 given\)$"),
    (lambda db, p: db.export_table("Members", path=p), TypeError,
     r"^EseDatabase\.export_table\(\) got an unexpected keyword argument 'path'$"),
    (lambda db, p: db.export_table("Members", p, table_name="Members"), TypeError,
     r"^argument for EseDatabase\.export_table\(\) given by name \('table_name'\) and position \(1\)$"),
    (lambda db, p: db.export_table(b"Members", p), TypeError,
     r"^argument 'table_name': 'bytes' object cannot be converted to 'str'$"),
    (lambda db, p: db.export_table("Members", os.fsencode(p)), TypeError,
     r"^argument 'output_path': 'bytes' object cannot be converted to 'str'$"),
    (lambda db, p: db.export_all(), TypeError,
     r"^EseDatabase\.export_all\(\) missing required argument 'output_dir' \(pos 1\)$"),
    (lambda db, p: db.export_all(p, p), TypeError, r"^EseDatabase\.export_all\(\) takes at most 1 argument"),
    (lambda db, p: db.export_all(dir=p), TypeError,
     r"^EseDatabase\.export_all\(\) got an unexpected keyword argument 'dir'$"),
    (lambda db, p: db.export_all(None), TypeError,
     r"^argument 'output_dir': 'NoneType' object cannot be converted to 'str'$"),
    (lambda db, p: db.export_all(p + "\udcff"), UnicodeEncodeError, r"surrogates not allowed"),
])
def test_bad_calls_write_nothing(json_db, area, call, cls, pattern):
    target = str(area / "out")
    with pytest.raises(cls, match=pattern):
        call(json_db, target)
    assert os.listdir(area) == []


def test_keywords(json_db, area):
    json_db.export_table(output_path=str(area / "m.jsonl"), table_name="Members")
    json_db.export_all(output_dir=str(area / "all"))
    assert read_bytes(area / "m.jsonl") == read_bytes(area / "all" / "Members.jsonl")


@pytest.mark.parametrize("options", FORMATS)
def test_exact_lines(make_db, area, options):
    db = EseDatabase(make_db("export-json", **options))
    out = str(area / "t.jsonl")
    # Members sorted by byte order: capitals first.
    assert db.export_table("Members", out) is None
    assert read_bytes(out) == b'{"C":-3,"a":2,"b":1}\n'
    db.export_table("Floats", out)
    assert read_lines(out) == ['{"Double":%s,"Single":%s}\n' % pair for pair in FLOAT_LINES]
    db.export_table("Bytes", out)
    assert read_bytes(out) == b'{"Ident":"f3f2f1f0-f5f4-f7f6-f8f9-fafbfcfdfeff","Long":"deadbeef","Raw":"00ab"}\n'
    db.export_table("Text", out)
    assert read_bytes(out) == TEXT_LINE.encode("utf-8")
    # A record of no columns is an empty object.
    db.export_table("NoColumns", out)
    assert read_bytes(out) == b"{}\n{}\n"


def test_every_column_type_agrees_with_read_table(make_db, area):
    db = EseDatabase(make_db("python-values"))
    for table in db.get_tables():
        out = area / f"{table}.jsonl"
        db.export_table(table, str(out))
        rows = db.read_table(table)
        lines = read_lines(out)
        assert len(lines) == len(rows), table
        for line, row in zip(lines, rows):
            assert line == line_text(row) + "\n"
            assert_same_values(json.loads(line), json_object(row))
    values = read_lines(area / "Values.jsonl")
    # NaN and the infinities become 0; hex and GUID text.
    assert '"Double":0,' in values[1] and '"Single":0,' in values[1]
    assert '"Double":0,' in values[2] and '"Single":0,' in values[2]
    assert '"Ident":"03020100-0504-0706-0809-0a0b0c0d0e0f"' in values[0]
    assert '"Raw":"0001ff"' in values[0]


def test_names_decoded_and_deduplicated(make_db, area):
    db = EseDatabase(make_db("python-values"))
    out = area / "d.jsonl"
    db.export_table("Duplicates", str(out))
    # "Dup\xff" and "Dup\xfe" both decode to "Dup\ufffd": the later column
    # ("later", a long binary) wins. "Caf\xc3\xa9\x80" keeps its é.
    assert read_bytes(out).decode("utf-8") == (
        '{"Caf\u00e9\ufffd":9,"Dup\ufffd":"6c61746572","Name":"first"}\n'
        '{"Caf\u00e9\ufffd":null,"Dup\ufffd":null,"Name":null}\n')


def test_empty_table_gives_an_empty_file(make_db, area):
    db = EseDatabase(make_db("python-values"))
    out = area / "n.jsonl"
    out.write_bytes(b"old contents\n")
    db.export_table("Nothing", str(out))
    assert read_bytes(out) == b""


def test_file_mode_and_truncation(json_db, area):
    out = area / "m.jsonl"
    out.write_bytes(b"x" * 100_000)
    old = os.umask(0o027)
    try:
        json_db.export_table("Members", str(out))
        json_db.export_table("Members", str(area / "new.jsonl"))
    finally:
        os.umask(old)
    assert read_bytes(out) == b'{"C":-3,"a":2,"b":1}\n'
    assert stat.S_IMODE(os.stat(out).st_mode) == 0o644  # kept: an existing file is only truncated
    assert stat.S_IMODE(os.stat(area / "new.jsonl").st_mode) == 0o640  # 0666 less the umask


@pytest.mark.parametrize("name", ["members", "Member", "", "Members\0", "Nope"])
def test_unknown_table_creates_nothing(json_db, area, name):
    out = area / "t.jsonl"
    with pytest.raises(ValueError) as raised:
        json_db.export_table(name, str(out))
    assert type(raised.value) is ValueError
    assert raised.value.args == (f"Table not found: {name}",)
    assert not out.exists()
    # An existing file is not even truncated.
    out.write_bytes(b"keep")
    with pytest.raises(ValueError):
        json_db.export_table(name, str(out))
    assert read_bytes(out) == b"keep"


@pytest.mark.parametrize("options", FORMATS)
def test_broken_leaf_chains_export_every_record(make_db, area, options):
    db = EseDatabase(make_db("python-broken-chain", **options))
    out = area / "c.jsonl"
    # Chained links outside the file, Looped back to its first leaf: the
    # links are not believed and the tree leads to every leaf.
    db.export_table("Chained", str(out))
    assert read_bytes(out) == b"".join(b'{"Id":%d}\n' % i for i in range(1, 8))
    db.export_table("Looped", str(out))
    assert read_bytes(out) == b"".join(b'{"Id":%d}\n' % i for i in range(1, 7))


def test_output_errors(json_db, area):
    (area / "file").write_bytes(b"")
    cases = [
        (area / "missing" / "t.jsonl", "Failed to create output file: No such file or directory (os error 2)"),
        (area, "Failed to create output file: Is a directory (os error 21)"),
        (area / "file" / "t.jsonl", "Failed to create output file: Not a directory (os error 20)"),
        ("/dev/full", "Write error: No space left on device (os error 28)"),
    ]
    for path, text in cases:
        for table in ["Members", "Floats"]:
            with pytest.raises(OSError) as raised:
                json_db.export_table(table, str(path))
            assert type(raised.value) is OSError
            assert raised.value.args == (text,)
            # An output failure, not damage met reading the table.
            assert (raised.value.kind, raised.value.reading_record) == ("io", False)
    assert sorted(os.listdir(area)) == ["file"]


@pytest.mark.skipif(os.geteuid() == 0, reason="root may write anywhere")
def test_permission_denied(json_db, area):
    locked = area / "locked"
    locked.mkdir(mode=0o500)
    with pytest.raises(OSError, match=r"^Failed to create output file: Permission denied \(os error 13\)$"):
        json_db.export_table("Members", str(locked / "t.jsonl"))
    with pytest.raises(OSError, match=r"^Failed to create output directory: Permission denied \(os error 13\)$"):
        json_db.export_all(str(locked / "sub"))


def test_no_descriptor_is_leaked(make_db, area):
    db = EseDatabase(make_db("python-broken-chain"))
    before = open_fds()
    for _ in range(50):
        db.export_table("Values", str(area / "v.jsonl"))
        db.export_table("Chained", str(area / "c.jsonl"))
        with pytest.raises(OSError):
            db.export_table("Values", "/dev/full")
        with pytest.raises(OSError):
            db.export_table("Values", str(area))
        with pytest.raises(ValueError):
            db.export_table("Nope", str(area / "n.jsonl"))
        with pytest.raises(OSError):
            db.export_all("/dev/full/all")
    assert open_fds() == before


def test_export_all_writes_every_table_in_catalog_order(make_db, area):
    db = EseDatabase(make_db("python-values"))
    out = area / "a" / "b" / "out"
    old = os.umask(0o022)
    try:
        assert db.export_all(str(out)) is None
    finally:
        os.umask(old)
    tables = db.get_tables()
    assert sorted(os.listdir(out)) == sorted(f"{t}.jsonl" for t in tables)
    # Missing parents are made too, 0777 less the umask.
    assert stat.S_IMODE(os.stat(area / "a").st_mode) == 0o755
    assert stat.S_IMODE(os.stat(out).st_mode) == 0o755
    for table in tables:
        db.export_table(table, str(area / "one.jsonl"))
        assert read_bytes(out / f"{table}.jsonl") == read_bytes(area / "one.jsonl"), table


def test_export_all_overwrites(json_db, area):
    out = area / "out"
    out.mkdir()
    (out / "Members.jsonl").write_bytes(b"stale\n" * 1000)
    (out / "Other.txt").write_bytes(b"untouched")
    json_db.export_all(str(out) + "/")  # a trailing slash joins without a second one
    assert read_bytes(out / "Members.jsonl") == b'{"C":-3,"a":2,"b":1}\n'
    assert read_bytes(out / "Other.txt") == b"untouched"


def test_export_all_of_an_empty_catalog_only_makes_the_directory(make_db, area):
    db = EseDatabase(make_db("empty-catalog"))
    out = area / "x" / "y"
    db.export_all(str(out))
    assert out.is_dir() and os.listdir(out) == []


def test_export_all_into_the_working_directory(json_db, area, monkeypatch):
    monkeypatch.chdir(area)
    json_db.export_all("")
    assert sorted(os.listdir(area)) == sorted(f"{t}.jsonl" for t in json_db.get_tables())


def test_export_all_directory_errors(json_db, area):
    (area / "file").write_bytes(b"")
    with pytest.raises(OSError) as raised:
        json_db.export_all(str(area / "file"))
    assert raised.value.args == ("Failed to create output directory: File exists (os error 17)",)
    with pytest.raises(OSError) as raised:
        json_db.export_all(str(area / "file" / "sub"))
    assert raised.value.args == ("Failed to create output directory: Not a directory (os error 20)",)
    assert os.listdir(area) == ["file"]


def test_export_all_reads_tables_with_broken_chains_whole(make_db, area):
    db = EseDatabase(make_db("python-broken-chain"))
    assert db.get_tables() == ["MSysObjects", "Values", "Duplicates", "Chained", "Looped", "Nothing"]
    db.export_all(str(area))
    assert sorted(os.listdir(area)) == sorted(t + ".jsonl" for t in db.get_tables())
    assert read_bytes(area / "Chained.jsonl") == b"".join(b'{"Id":%d}\n' % i for i in range(1, 8))


def test_export_all_looks_up_the_listed_names(make_db, area):
    # The listed name of a table stored as "Bad\xffName" is "Bad\ufffdName",
    # whose bytes name no table.
    db = EseDatabase(make_db("odd-names"))
    with pytest.raises(ValueError) as raised:
        db.export_all(str(area))
    assert raised.value.args == ("Table not found: Bad\ufffdName",)
    assert sorted(os.listdir(area)) == ["MSysObjects.jsonl", "Users.jsonl"]


def test_unsafe_table_names_are_refused(make_db, area):
    db = EseDatabase(make_db("export-unsafe"))
    assert db.get_tables() == ["First", "sub/inner", "../evil", "Later"]
    out = area / "box" / "out"
    (out / "sub").mkdir(parents=True)
    with pytest.raises(OSError) as raised:
        db.export_all(str(out))
    assert type(raised.value) is OSError
    assert raised.value.args == ("Unsafe table name for export: ../evil",)
    # A name with a slash that stays inside goes into the existing subdirectory;
    # nothing is written above the output directory, nor after the refusal.
    assert sorted(os.listdir(out)) == ["First.jsonl", "sub"]
    assert read_bytes(out / "sub" / "inner.jsonl") == b'{"Id":1,"Name":"sub/inner"}\n'
    assert os.listdir(area / "box") == ["out"]

    # Without the subdirectory, that table fails like any uncreatable file.
    other = area / "other"
    with pytest.raises(OSError, match=r"^Failed to create output file: No such file or directory \(os error 2\)$"):
        db.export_all(str(other))
    assert os.listdir(other) == ["First.jsonl"]

    # export_table takes the caller's path as given.
    db.export_table("../evil", str(area / "evil.jsonl"))
    assert read_bytes(area / "evil.jsonl") == b'{"Id":1,"Name":"../evil"}\n'


def test_absolute_table_name_is_refused(make_db, area):
    db = EseDatabase(make_db("export-absolute"))
    for out in [str(area), ""]:
        with pytest.raises(OSError) as raised:
            db.export_all(out)
        assert raised.value.args == ("Unsafe table name for export: /abs/x",)
    assert os.listdir(area) == []
    assert not os.path.exists("/abs")


@pytest.mark.parametrize("call", ["export_table", "write_table_jsonl"])
def test_other_threads_run_while_a_table_is_written(tmp_path, call):
    """The export decodes and writes without the interpreter lock: this
    thread sees the file part-written while the exporting thread is at work.
    (Were the lock held for the whole call, it could look only before the
    file exists or once the call has returned.)"""
    if FIXTURE_TOOL is None:
        pytest.skip("the fixture tool is not built")
    path = tmp_path / "big.edb"
    subprocess.run([str(FIXTURE_TOOL), "bench-million", str(path), "--records", "50000"], check=True)
    db = EseDatabase(str(path))
    out = tmp_path / "out.jsonl"

    def export():
        if call == "export_table":
            db.export_table("bench", str(out))
            return
        fd = os.open(out, os.O_WRONLY | os.O_CREAT | os.O_TRUNC)
        try:
            db.write_table_jsonl("bench", fd)
        finally:
            os.close(fd)

    thread = threading.Thread(target=export)
    sizes = set()
    thread.start()
    while thread.is_alive():
        try:
            sizes.add(out.stat().st_size)
        except FileNotFoundError:
            pass
    thread.join()
    final = out.stat().st_size
    assert final > 1 << 20
    assert any(0 < size < final for size in sizes), sorted(sizes)

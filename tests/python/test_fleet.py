"""pellumo_fleet.scan: one Arrow stream over many database files, checked file
by file against read_table; and the schema rules behind it."""

import threading
import time
import warnings
from collections import Counter

import pytest

pa = pytest.importorskip("pyarrow")

import pellumo  # noqa: E402
from conftest import INSTALLED, ROOT  # noqa: E402

if not INSTALLED:
    import sys

    sys.path.insert(0, str(ROOT / "python"))

from fleet_corpus import reference  # noqa: E402
import pellumo_fleet  # noqa: E402
from pellumo_fleet import SchemaConflictError, SkippedFile, expand_paths, scan  # noqa: E402
from pellumo_fleet._schema import unify  # noqa: E402


def by_source(table, source="_source"):
    return Counter(table.column(source).to_pylist())


# --- paths ---------------------------------------------------------------------------


def test_expand_paths(tmp_path):
    for rel in ["a/x.edb", "a/b/y.edb", "c/z.edb", "c/[odd].edb"]:
        (tmp_path / rel).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / rel).write_bytes(b"")
    cases = [
        (str(tmp_path / "**" / "*.edb"), ["a/b/y.edb", "a/x.edb", "c/[odd].edb", "c/z.edb"]),
        (str(tmp_path / "**"), ["a/b/y.edb", "a/x.edb", "c/[odd].edb", "c/z.edb"]),  # files only
        (str(tmp_path / "*" / "?.edb"), ["a/x.edb", "c/z.edb"]),
        (tmp_path / "a" / "x.edb", ["a/x.edb"]),  # a PathLike is one path
        ([str(tmp_path / "c" / "[odd].edb"), tmp_path / "a" / "x.edb"], ["c/[odd].edb", "a/x.edb"]),  # as given
        (iter([str(tmp_path / "nowhere.edb")]), ["nowhere.edb"]),  # existence is the reader's business
    ]
    for given, expected in cases:
        assert expand_paths(given) == [str(tmp_path / e) for e in expected], given
    errors = [
        (str(tmp_path / "*.nothing"), FileNotFoundError, "no file matches"),
        ([], ValueError, "no paths given"),
        (b"/x", TypeError, "not bytes"),
        ([b"/x"], TypeError, "not bytes"),
    ]
    for given, kind, message in errors:
        with pytest.raises(kind, match=message):
            expand_paths(given)
    # The command line reads its FILE arguments by the same rule: a pattern's
    # sorted matches (files only), and a name that exists taken as it is even
    # where it holds a wildcard.
    from pellumo_cli.export import expand_inputs

    every = str(tmp_path / "**")
    odd = str(tmp_path / "c" / "[odd].edb")
    assert expand_inputs([every, odd]) == expand_paths(every)  # the odd file once, from the pattern
    assert expand_inputs([odd]) == [odd]  # as a pattern it would match nothing
    assert expand_inputs([str(tmp_path / "*.nothing")]) == [str(tmp_path / "*.nothing")]  # reported when opened


# --- schema unification --------------------------------------------------------------


def test_unify():
    s = pa.schema
    f = pa.field
    a = s([f("Id", pa.int32(), nullable=False), f("Name", pa.string())], metadata={b"table": b"T"})
    b = s([f("Id", pa.int32(), nullable=False), f("Extra", pa.uint64(), nullable=False)])
    wide = s([f("Id", pa.int64(), nullable=False)])
    text = s([f("Id", pa.string())])
    dup = s([f("X", pa.int8()), f("X", pa.string())])

    merged = unify([("a", a), ("b", b)], None)
    assert [(x.name, x.type, x.nullable) for x in merged] == [
        ("Id", pa.int32(), False), ("Name", pa.string(), True), ("Extra", pa.uint64(), True)]
    assert merged.metadata == {b"table": b"T"}
    assert unify([("a", a), ("b", b)], ["Extra", "Id"]).names == ["Extra", "Id"]
    assert unify([("a", a), ("w", wide)], ["Id"]).field("Id").type == pa.int64()  # promoted on request
    assert unify([("d", dup)], None).field("X").type == pa.string()  # the later of two same names

    with pytest.raises(SchemaConflictError, match=r"column 'Id' is int32 in a but int64 in w; pass columns="):
        unify([("a", a), ("w", wide)], None)
    with pytest.raises(SchemaConflictError, match=r"column 'Id' is int32 in a but string in t"):
        unify([("a", a), ("t", text)], ["Id"])
    with pytest.raises(ValueError, match=r"no file has the column\(s\) 'Nope'"):
        unify([("a", a)], ["Id", "Nope"])


# --- scan over the corpus ------------------------------------------------------------


@pytest.mark.parametrize("table", ["MSysObjects", "Users", "SruDbIdMapTable", "Values", "Duplicates"])
def test_scan_counts_per_file_equal_read_table(corpus, table):
    found, missing = reference(corpus.files, table)
    if not found:
        pytest.skip(f"no file of the corpus has {table}")
    result = scan(corpus.files, table, workers=2)
    got = pa.table(result)
    assert result.files == list(found)
    assert dict(by_source(got)) == {p: len(rows) for p, rows in found.items() if rows}
    assert got.column("_source").to_pylist() == [p for p, rows in found.items() for _ in rows]  # file order
    assert result.skipped == [SkippedFile(p, reason) for p, reason in missing.items()]


@pytest.mark.parametrize("table", ["MSysObjects", "Users", "Duplicates", "SruDbIdMapTable"])
def test_scan_values_equal_read_table(corpus, table):
    found, _ = reference(corpus.files, table)
    if not found:
        pytest.skip(f"no file of the corpus has {table}")
    got = pa.table(scan(corpus.files, table, workers=3)).to_pylist()
    expected = []
    names = [n for n in scan(corpus.files, table).schema.names if n != "_source"]
    for path, rows in found.items():
        for row in rows:
            expected.append({**{n: row.get(n) for n in names}, "_source": path})
    assert got == expected


def test_scan_columns_and_source_column(corpus):
    files = [p for p in corpus.files if p.endswith("sample.edb")]
    got = pa.table(scan(files, "Users", columns=["Email", "UserId"], source_column="file", workers=1))
    assert got.column_names == ["Email", "UserId", "file"]
    expected = [{"Email": r["Email"], "UserId": r["UserId"], "file": p}
                for p in files for r in pellumo.EseDatabase(p).read_table("Users")]
    assert got.to_pylist() == expected
    bare = pa.table(scan(files, "Users", source_column=None))
    assert "_source" not in bare.column_names and bare.num_rows == len(expected)
    with pytest.raises(ValueError, match="source_column 'Email' is also a column"):
        scan(files, "Users", source_column="Email")
    with pytest.raises(ValueError, match=r"no file has the column\(s\) 'Nope'"):
        scan(files, "Users", columns=["Nope"])


def test_scan_is_deterministic_and_rereadable(corpus):
    one = pa.table(scan(corpus.files, "MSysObjects", workers=1))
    many = scan(corpus.files, "MSysObjects", workers=4)
    assert pa.table(many).equals(one)
    assert pa.table(many).equals(one)  # each stream reads the files again
    assert pa.RecordBatchReader.from_stream(many).read_all().equals(one)


def test_scan_reaches_polars_and_duckdb(corpus):
    polars = pytest.importorskip("polars")
    duckdb = pytest.importorskip("duckdb")
    result = scan(corpus.files, "MSysObjects")
    expected = {p: len(r) for p, r in reference(corpus.files, "MSysObjects")[0].items()}
    frame = polars.DataFrame(result)
    assert dict(zip(*frame.group_by("_source").len().sort("_source").to_dict(as_series=False).values())) == expected
    rows = duckdb.sql("SELECT _source, count(*) FROM result GROUP BY _source").fetchall()
    assert dict(rows) == expected


def test_skipped_files_and_on_missing_error(corpus):
    result = scan(corpus.files, "Users")
    reasons = dict(result.skipped)
    assert reasons[corpus.damaged].startswith("Failed to open database")
    assert reasons[corpus.broken] == "Table not found: Users"
    with pytest.raises(OSError, match=f"^{corpus.damaged}: Failed to open database"):
        scan([p for p in corpus.files if p.endswith("sample.edb")] + [corpus.damaged], "MSysObjects",
             on_missing="error")
    with pytest.raises(ValueError, match=r"none of the 1 files can be read for table 'Users'"):
        scan([corpus.damaged], "Users")
    for bad, message in [(dict(on_missing="ignore"), "on_missing must be"), (dict(workers=0), "workers must be"),
                         (dict(workers=True), "workers must be")]:
        with pytest.raises(ValueError, match=message):
            scan(corpus.files, "Users", **bad)
    with pytest.raises(TypeError, match="not a str"):
        scan(corpus.files, "Users", columns="Email")


def test_broken_leaf_chain_costs_no_records(corpus):
    # The broken file's Chained table links out of the file from its second
    # leaf; the link is not believed and the tree leads to every leaf.
    files = [corpus.broken] + [p for p in corpus.files if p.endswith("python-values.edb")][:1]
    db = pellumo.EseDatabase(corpus.broken)
    whole = len(db.read_table("Chained"))
    assert whole == sum(len(b) for b in _batches_until_error(db.arrow("Chained")))
    result = scan(files, "Chained")
    got = pa.table(result)
    assert by_source(got)[corpus.broken] == whole
    assert by_source(got)[files[1]] == len(pellumo.EseDatabase(files[1]).read_table("Chained"))
    assert result.skipped == []
    assert list(result.damage) == [corpus.broken]  # the link out of the file is reported, not silent


def _batches_until_error(source):
    reader = pa.RecordBatchReader.from_stream(source)
    out = []
    try:
        for batch in reader:
            out.append(batch)
    except OSError:
        pass
    return out


def test_abandoned_stream_stops_its_workers(corpus):
    before = threading.active_count()
    reader = scan(corpus.files * 3, "MSysObjects", workers=3).reader()
    reader.read_next_batch()
    reader.close()
    del reader
    deadline = time.monotonic() + 10
    while threading.active_count() > before and time.monotonic() < deadline:
        time.sleep(0.05)
    assert threading.active_count() == before


def test_scan_engine_values_equal_each_files_engine_stream(corpus):
    files = [p for p in corpus.files if p.endswith(("records.edb", "python-values.edb"))]
    for table in ("AllTypes", "Values"):
        found = {}
        for path in files:
            db = pellumo.EseDatabase(path)
            if table in db.get_tables():
                found[path] = pa.table(db.arrow(table, values="engine")).to_pylist()
        if not found:
            continue
        result = scan(list(found), table, values="engine", workers=2)
        got = pa.table(result).to_pylist()
        expected = [{**row, "_source": p} for p, rows in found.items() for row in rows]
        assert repr(got) == repr(expected), table  # repr: NaN equals itself
        # The engine's types, not the stored ones, where the table has them.
        raw = scan(list(found), table).schema
        for field in result.schema:
            if raw.field(field.name).type != field.type:
                assert pa.types.is_timestamp(field.type) or pa.types.is_list(field.type) \
                    or isinstance(field.type, pa.BaseExtensionType) or pa.types.is_int64(field.type), field
    with pytest.raises(ValueError, match="values must be 'raw' or 'engine', not 'cooked'"):
        scan(files, "Users", values="cooked")


def test_scan_collects_damage_per_file_and_warns_in_file_order(make_db):
    healthy, cut, rootless = make_db("checksummed"), make_db("truncated-tree"), make_db("truncated-root")
    files = [cut, healthy, rootless]
    result = scan(files, "Beta", workers=3)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        got = pa.table(result)
    # The records the files still hold, in file order, and nothing skipped.
    assert by_source(got) == Counter({cut: 6, healthy: len(pellumo.EseDatabase(healthy).read_table("Beta"))})
    assert result.skipped == []
    damage = {w.message.path: w.message for w in caught if issubclass(w.category, pellumo.DamageWarning)}
    assert list(damage) == [cut, rootless]
    assert result.damage == {path: damage[path].damage for path in damage}
    assert result.damage[cut]["pages_beyond_end"] == 3 and result.damage[rootless]["pages_beyond_end"] == 1
    assert "the file is truncated" in str(damage[cut])
    # A healthy read: no damage, no warning; each stream starts afresh.
    clean = scan([healthy], "Beta")
    with warnings.catch_warnings():
        warnings.simplefilter("error", pellumo.DamageWarning)
        pa.table(clean)
    assert clean.damage == {}
    # All or nothing: the warning made an error fails the stream at the damaged file.
    with warnings.catch_warnings():
        warnings.simplefilter("error", pellumo.DamageWarning)
        with pytest.raises(Exception, match=r"table Beta: 3 pages beyond the end"):
            pa.table(result)


def test_package_exports():
    assert set(pellumo_fleet.__all__) == {"Scan", "SchemaConflictError", "SkippedFile", "SkippedFileWarning",
                                          "expand_paths", "scan"}

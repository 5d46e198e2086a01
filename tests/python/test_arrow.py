"""EseDatabase.arrow: tables as Arrow streams for pyarrow, Polars and DuckDB."""

import gc
import gzip
import inspect
import math
import shutil
import struct
import threading

import pellumo
import pytest
from conftest import SAMPLES_DIR, sample_paths
from pellumo import EseDatabase

pa = pytest.importorskip("pyarrow")
pl = pytest.importorskip("polars")
duckdb = pytest.importorskip("duckdb")

MIB = 1 << 20
WIDE_ROWS = 100  # the "arrow" fixture's table Wide: a 1 MiB text in each record


def norm(value):
    return ("nan",) if isinstance(value, float) and math.isnan(value) else (type(value).__name__, value)


def same_rows(got, expected):
    """Equality of lists of dicts, value types included, NaN equal to NaN."""
    if got == expected:  # the quick way; True == 1, so the types still count
        return [type(v) for r in got for v in r.values()] == [type(v) for r in expected for v in r.values()]
    return [[(k, norm(v)) for k, v in r.items()] for r in got] == \
        [[(k, norm(v)) for k, v in r.items()] for r in expected]


def via_pyarrow(source):
    return pa.table(source).to_pylist()


def via_polars(source):
    return pl.DataFrame(source).to_dicts()


def via_duckdb(source):
    relation = duckdb.sql("SELECT * FROM source")
    names = relation.columns
    return [dict(zip(names, row, strict=True)) for row in relation.fetchall()]


CONSUMERS = {"pyarrow": via_pyarrow, "polars": via_polars, "duckdb": via_duckdb}


def has_unique_names(db, table):
    names = [c["name"] for c in db.get_table_schema(table)]
    return len(set(names)) == len(names)


def fits(value, arrow_type):
    """Whether a read_table value can be a value of the column's Arrow type."""
    if value is None or pa.types.is_binary(arrow_type):
        return True
    if pa.types.is_boolean(arrow_type):
        return isinstance(value, bool)
    if pa.types.is_integer(arrow_type):
        info = pa.types.is_signed_integer(arrow_type)
        bits = arrow_type.bit_width
        low, high = (-(1 << (bits - 1)), (1 << (bits - 1)) - 1) if info else (0, (1 << bits) - 1)
        return isinstance(value, int) and not isinstance(value, bool) and low <= value <= high
    if pa.types.is_floating(arrow_type):
        return isinstance(value, float)
    return isinstance(value, str)


# How read_table's typed value of one stored instance is laid out in the file.
STORED_FORMS = {"Boolean": "<B", "Unsigned byte": "<B", "Signed short": "<h", "Unsigned short": "<H",
                "Signed long": "<i", "Unsigned long": "<I", "Long long": "<Q", "Currency": "<Q", "DateTime": "<Q",
                "IEEE single": "<f", "IEEE double": "<d"}


def stored_bytes(value, metadata):
    """A multi-valued column's single instance as the stream's binary holds
    it, where read_table gives it typed: numbers as stored, text as UTF-8."""
    if isinstance(value, bytes) or value is None:
        return value
    kind = metadata[b"ese.type"].decode()
    if kind in STORED_FORMS:
        return struct.pack(STORED_FORMS[kind], value)
    assert kind in ("Text", "Long Text"), kind
    return value.encode("utf-8")


def as_arrow_reads(db, table, rows):
    """read_table's rows as the stream gives them: a value the column's type
    cannot hold (an "Unsigned byte" stored wider than one byte, bytes in an
    integer column) is None; binary columns take every value as bytes, and
    a multi-valued column holding one instance gives that instance as bytes
    (ntds.dit declares hundreds of such columns)."""
    fields = {field.name: field for field in pa.schema(db.arrow(table))}
    multi = {name for name, field in fields.items()
             if field.metadata and field.metadata.get(b"ese.multi_valued") == b"true"}
    return [{name: stored_bytes(value, fields[name].metadata) if name in multi
             else value if fits(value, fields[name].type) else None
             for name, value in row.items()} for row in rows]


def check_table(db, table, consumers):
    try:
        expected = as_arrow_reads(db, table, db.read_table(table))
    except OSError:
        return  # tables that fail part-way: test_error_mid_stream
    for name in consumers:
        if name != "pyarrow" and not has_unique_names(db, table):
            continue  # Polars and DuckDB refuse two columns of one name
        got = CONSUMERS[name](db.arrow(table))
        assert same_rows(got, expected), (name, table)


@pytest.fixture(scope="module")
def samples_dir(tmp_path_factory):
    target = tmp_path_factory.mktemp("arrow-samples")
    for compressed in sample_paths():
        with gzip.open(compressed, "rb") as source, open(target / compressed.name[: -len(".gz")], "wb") as out:
            shutil.copyfileobj(source, out)
    return target


@pytest.mark.skipif(not sample_paths(), reason=f"sample databases not found in {SAMPLES_DIR}")
@pytest.mark.parametrize("name", [p.name[: -len(".gz")] for p in sample_paths()])
def test_every_sample_table_equals_read_table(samples_dir, name):
    db = EseDatabase(str(samples_dir / name))
    # The 64,994-column table of large.edb is read by pyarrow alone: the
    # other consumers take minutes over that many columns.
    for table in db.get_tables():
        wide = len(db.get_table_schema(table)) > 2000
        check_table(db, table, ["pyarrow"] if wide else list(CONSUMERS))


@pytest.mark.parametrize("scenario", ["records", "python-values", "sample", "arrow"])
@pytest.mark.parametrize("page_size", [4096, 8192, 32768])
def test_every_fixture_table_equals_read_table(make_db, scenario, page_size):
    db = EseDatabase(make_db(scenario, page_size=page_size))
    for table in db.get_tables():
        if table == "Unfit":
            continue  # one stored value of a multi-valued column: test_unfit_values_are_null
        # Wide's 100 MiB of text goes through pyarrow alone, to keep the run short.
        check_table(db, table, ["pyarrow"] if table == "Wide" else list(CONSUMERS))


def test_older_format_revision(make_db):
    db = EseDatabase(make_db("records", page_size=8192, format_revision=0x0C))
    for table in db.get_tables():
        check_table(db, table, ["pyarrow"])


def test_unfit_values_are_null(make_db):
    db = EseDatabase(make_db("arrow"))
    assert db.read_table("Unfit") == [
        {"Small": 5, "Count": b"seven", "Multi": 9},
        {"Small": 300, "Count": 7, "Multi": b"\x01\x00\x00\x00\x02\x00\x00\x00"},
    ]
    # Where read_table's value does not fit the column's type it is null;
    # a multi-valued column holds bytes, one stored value included.
    assert via_pyarrow(db.arrow("Unfit")) == [
        {"Small": 5, "Count": None, "Multi": b"\x09\x00\x00\x00"},
        {"Small": None, "Count": 7, "Multi": b"\x01\x00\x00\x00\x02\x00\x00\x00"},
    ]


def test_schema_types_and_metadata(make_db):
    db = EseDatabase(make_db("records"))
    schema = pa.schema(db.arrow("AllTypes"))
    described = {c["name"]: c for c in db.get_table_schema("AllTypes")}
    assert schema.names == list(db.read_table("AllTypes")[0])
    assert schema.metadata == {b"ese.table": b"AllTypes"}
    expected_types = {
        "Id": pa.int32(), "Flag": pa.bool_(), "Byte": pa.uint8(), "Short": pa.int16(), "Count": pa.uint32(),
        "Big": pa.uint64(), "Money": pa.uint64(), "Ratio": pa.float32(), "Score": pa.float64(),
        "When": pa.uint64(), "Guid": pa.string(), "Port": pa.uint16(), "Wide": pa.uint64(),
        "Name": pa.string(), "Raw": pa.binary(), "Note": pa.string(), "Data": pa.binary(), "Multi": pa.binary(),
    }
    for name, arrow_type in expected_types.items():
        assert schema.field(name).type == arrow_type, name
    for field in schema:
        assert field.nullable
        meta = field.metadata
        assert meta[b"ese.column_id"] == str(described[field.name]["id"]).encode()
        assert meta[b"ese.type"] == described[field.name]["type"].encode()
        assert (b"ese.not_null" in meta) == (not described[field.name]["nullable"])
    assert schema.field("Title").metadata[b"ese.codepage"] == b"1200"
    assert schema.field("Multi").metadata[b"ese.multi_valued"] == b"true"


def test_empty_tables_keep_their_schema(make_db):
    db = EseDatabase(make_db("records"))
    table = pa.table(db.arrow("Empty"))
    assert table.num_rows == 0 and table.column_names == ["Id"]
    assert pl.DataFrame(db.arrow("Empty")).shape == (0, 1)
    source = db.arrow("Empty")  # noqa: F841 - DuckDB finds it by name
    assert duckdb.sql("SELECT count(*) FROM source").fetchall()[0] == (0,)


def test_every_read_opens_a_new_cursor(make_db):
    db = EseDatabase(make_db("records"))
    source = db.arrow("AllTypes", batch_rows=7)
    first = pa.table(source)
    assert pa.table(source).equals(first)
    # DuckDB asks for a new stream for every query.
    assert duckdb.sql("SELECT count(*) FROM source").fetchall()[0] == (first.num_rows,)
    assert duckdb.sql("SELECT sum(Id) FROM source").fetchall()[0] == (sum(first.column("Id").to_pylist()),)
    reader = pa.RecordBatchReader.from_stream(source)
    assert [b.num_rows for b in reader] == [7] * (first.num_rows // 7) + [first.num_rows % 7]


def test_projection(make_db):
    db = EseDatabase(make_db("records"))
    rows = db.read_table("AllTypes")
    source = db.arrow("AllTypes", columns=["Title", "Id", "Data"])
    assert source.columns == ["Title", "Id", "Data"]
    assert via_pyarrow(source) == [{k: r[k] for k in ("Title", "Id", "Data")} for r in rows]
    assert via_pyarrow(db.arrow("AllTypes", columns=("Big",))) == [{"Big": r["Big"]} for r in rows]
    assert pa.table(db.arrow("AllTypes", columns=[])).num_rows == len(rows)


@pytest.mark.parametrize("call, exception, message", [
    (lambda db: db.arrow("Nope"), ValueError, "^Table not found: Nope$"),
    (lambda db: db.arrow("AllTypes", columns=["Id", "Nope"]), ValueError, "^Column not found: Nope$"),
    (lambda db: db.arrow("AllTypes", columns=["Id", "Id"]), ValueError, "^Column named twice: Id$"),
    (lambda db: db.arrow("AllTypes", columns="Id"), TypeError, "^argument 'columns': expected a list of str"),
    (lambda db: db.arrow("AllTypes", columns=[1]), TypeError, "^argument 'columns': expected str items, not int$"),
    (lambda db: db.arrow("AllTypes", batch_rows=0), ValueError, "^batch_rows must be at least 1$"),
    (lambda db: db.arrow("AllTypes", batch_rows=-1), OverflowError, None),
    (lambda db: db.arrow("AllTypes", batch_rows="7"), TypeError, "^argument 'batch_rows': "),
    (lambda db: db.arrow("AllTypes", ["Id"]), TypeError,
     r"^EseDatabase\.arrow\(\) takes at most 1 positional argument \(2 given\)$"),
    (lambda db: db.arrow(), TypeError, r"^EseDatabase\.arrow\(\) missing required argument 'table_name'"),
    (lambda db: db.arrow("AllTypes", rows=1), TypeError, "unexpected keyword argument 'rows'"),
    (lambda db: db.arrow(b"AllTypes"), TypeError, "^argument 'table_name': "),
])
def test_bad_calls(make_db, call, exception, message):
    db = EseDatabase(make_db("records"))
    with pytest.raises(exception, match=message):
        call(db)


def test_batches_end_before_64_mib_of_text(make_db):
    db = EseDatabase(make_db("arrow"))
    body = db.read_table("Wide")[0]["Body"]
    assert len(body) == MIB
    reader = pa.RecordBatchReader.from_stream(db.arrow("Wide"))
    batches = list(reader)
    # 65536 records would fit by count; 64 values of 1 MiB fill 64 MiB.
    assert [b.num_rows for b in batches] == [64, WIDE_ROWS - 64]
    for batch in batches:
        assert batch.column("Body").buffers()[2].size <= 64 * MIB
        assert batch.column("Body").to_pylist() == [body] * batch.num_rows
    assert [b.num_rows for b in pa.RecordBatchReader.from_stream(db.arrow("Wide", batch_rows=30))] == [30, 30, 30, 10]


def test_buffers_are_aligned_and_validity_only_where_nulls_are(make_db):
    db = EseDatabase(make_db("records"))
    for batch in pa.RecordBatchReader.from_stream(db.arrow("AllTypes", batch_rows=5)):
        for column in batch.columns:
            validity = column.buffers()[0]
            assert (validity is None) == (column.null_count == 0)
            for buffer in column.buffers():
                if buffer is not None and buffer.size:
                    assert buffer.address % 64 == 0
        batch.validate(full=True)


def test_stream_outlives_its_database_object(make_db):
    db = EseDatabase(make_db("records"))
    expected = db.read_table("LongValues")
    source = db.arrow("LongValues")
    capsule = db.arrow("LongValues").__arrow_c_stream__()
    del db
    gc.collect()
    assert via_pyarrow(source) == expected

    class Holder:
        def __arrow_c_stream__(self, requested_schema=None):
            return capsule

    del source
    gc.collect()
    assert pa.RecordBatchReader.from_stream(Holder()).read_all().to_pylist() == expected


def test_broken_leaf_chain_streams_every_record(make_db):
    db = EseDatabase(make_db("python-broken-chain"))
    # Chained's second leaf links outside the file: the link is not believed
    # and the tree leads to every leaf.
    expected = db.read_table("Chained")
    assert [r["Id"] for r in expected] == list(range(1, 8))
    reader = pa.RecordBatchReader.from_stream(db.arrow("Chained", batch_rows=3))
    assert [b.num_rows for b in reader] == [3, 3, 1]
    assert pa.table(db.arrow("Chained")).to_pylist() == expected
    source = db.arrow("Chained")
    assert pl.DataFrame(source)["Id"].to_list() == list(range(1, 8))
    assert duckdb.sql("SELECT count(*) FROM source").fetchall() == [(7,)]


def test_streams_read_on_two_threads(make_db):
    paths = [make_db("records"), make_db("records")]
    expected = EseDatabase(paths[0]).read_table("AllTypes")
    results = [None, None]

    def read(i):
        results[i] = pa.table(EseDatabase(paths[i]).arrow("AllTypes", batch_rows=4)).to_pylist()

    threads = [threading.Thread(target=read, args=(i,)) for i in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert results == [expected, expected]


def test_object_type_and_attributes(make_db):
    db = EseDatabase(make_db("records"))
    source = db.arrow(table_name="AllTypes", batch_rows=100)
    kind = type(source)
    assert kind.__name__ == "ArrowTableSource" and kind.__module__ == "pellumo"
    assert not hasattr(pellumo, "ArrowTableSource")
    with pytest.raises(TypeError):
        kind()
    assert source.table_name == "AllTypes" and source.batch_rows == 100
    assert source.columns == [c["name"] for c in sorted(db.get_table_schema("AllTypes"), key=lambda c: c["id"])]
    assert repr(source) == f"<pellumo.ArrowTableSource table='AllTypes' columns={len(source.columns)} batch_rows=100>"
    assert str(inspect.signature(db.arrow)) == ("(table_name, *, columns=None, values='raw', batch_rows=65536, "
                                            "raw_columns=None, warn=True)")
    # The capsules carry the names the interface fixes.
    assert "arrow_schema" in repr(source.__arrow_c_schema__())
    assert "arrow_array_stream" in repr(source.__arrow_c_stream__(requested_schema=None))
    # pandas goes through pyarrow.
    frame = pa.table(source).to_pandas()
    assert list(frame["Id"]) == [r["Id"] for r in db.read_table("AllTypes")]

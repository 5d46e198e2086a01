"""values="engine": what the database engine's API returns, beside the stored
values; on the fixture's Engine table (every rule, both tag layouts) and on
the real samples."""

import datetime as dt
import gzip
import json
import math
import shutil
import uuid

import pytest
from conftest import SAMPLES_DIR, sample_paths
from pellumo import EseDatabase
from test_cli import cli  # noqa: F401 - the fixture

UTC = dt.timezone.utc
GUID_1 = uuid.UUID(bytes_le=bytes(range(16)))
GUID_AB = uuid.UUID(bytes=b"\xab" * 16)

# Engine rows of the fixture's Engine table (the record flagged deleted, Id 99,
# is not among them).
ENGINE_ROWS = [
    {"Id": 1, "When": dt.datetime(2000, 1, 1, 12, tzinfo=UTC), "Money": -50000, "Big": -1, "Ident": GUID_1,
     "Level": 7, "Name": "first", "Label": "unlabelled", "Tags": ["red", "green", ""], "Pair": [1, 65535],
     "Docs": [b"packed first", b"kept in the long-value tree"], "Note": "n/a", "Computed": None},
    {"Id": 2, "When": dt.datetime(2021, 7, 23, 10, 30, 54, 934540, tzinfo=UTC), "Money": 50000, "Big": 1,
     "Ident": GUID_AB, "Level": None, "Name": "second", "Label": None, "Tags": ["solo"], "Pair": None, "Docs": None,
     "Note": None, "Computed": None},
    {"Id": 3, "When": None, "Money": None, "Big": None, "Ident": None, "Level": 7, "Name": None,
     "Label": "unlabelled", "Tags": None, "Pair": None, "Docs": None, "Note": "n/a", "Computed": None},
]


@pytest.fixture(params=[4096, 32768], ids=["small-pages", "large-pages"])
def engine_db(request, make_db):
    return make_db("engine-values", page_size=request.param)


def test_engine_rows_apply_every_rule(engine_db):
    db = EseDatabase(engine_db)
    rows = list(db.iter_table("Engine", values="engine"))
    assert rows == ENGINE_ROWS
    for row, expected in zip(rows, ENGINE_ROWS, strict=True):
        assert list(row) == list(expected)  # column order kept
        for name, value in row.items():
            assert type(value) is type(expected[name]), name


def test_raw_rows_are_unchanged_and_keep_the_deleted_record(engine_db):
    db = EseDatabase(engine_db)
    raw = db.read_table("Engine")
    assert [r["Id"] for r in raw] == [1, 2, 99, 3]
    assert list(db.iter_table("Engine")) == raw
    assert list(db.iter_table("Engine", values="raw")) == raw
    assert list(db.iter_table("Engine", columns=None, values="raw")) == raw
    assert raw[0]["Big"] == 2**64 - 1 and raw[0]["Tags"] == b"\x06\x00\x09\x00\x0e\x00redgreen"


@pytest.mark.parametrize("values", ["raw", "engine"])
def test_columns_project_in_the_order_given(engine_db, values):
    db = EseDatabase(engine_db)
    full = list(db.iter_table("Engine", values=values))
    wanted = ["Tags", "Id", "When"]
    projected = list(db.iter_table("Engine", columns=wanted, values=values))
    assert [list(r) for r in projected] == [wanted] * len(full)
    assert projected == [{k: r[k] for k in wanted} for r in full]
    assert list(db.iter_table("Engine", columns=(), values=values)) == [{}] * len(full)


@pytest.mark.parametrize("kwargs, error, message", [
    ({"columns": ["Id", "Nope"]}, ValueError, "Column not found: Nope"),
    ({"columns": ["Id", "Id"]}, ValueError, "Column named twice: Id"),
    ({"columns": ["id"]}, ValueError, "Column not found: id"),
    ({"columns": "Id"}, TypeError, "argument 'columns'"),
    ({"columns": [1]}, TypeError, "argument 'columns'"),
    ({"values": "Engine"}, ValueError, "Invalid values: 'Engine' (expected: raw, engine)"),
    ({"values": b"engine"}, TypeError, "argument 'values'"),
    ({"value": "engine"}, TypeError, "value"),
])
def test_bad_options_raise_at_the_call(engine_db, kwargs, error, message):
    db = EseDatabase(engine_db)
    with pytest.raises(error) as raised:
        db.iter_table("Engine", **kwargs)
    assert message in str(raised.value)


def test_options_are_keyword_only(engine_db):
    with pytest.raises(TypeError):
        EseDatabase(engine_db).iter_table("Engine", None, "engine")


def test_arrow_engine_schema_and_values(engine_db):
    pa = pytest.importorskip("pyarrow")
    db = EseDatabase(engine_db)
    table = pa.table(db.arrow("Engine", values="engine"))
    types = {f.name: f.type for f in table.schema}
    assert types["When"] == pa.timestamp("us", tz="UTC")
    assert types["Money"] == pa.int64() and types["Big"] == pa.int64()
    assert types["Tags"] == pa.list_(pa.string()) and types["Pair"] == pa.list_(pa.uint16())
    assert types["Docs"] == pa.list_(pa.binary())
    assert types["Ident"] == pa.uuid()  # the canonical extension type, arrow.uuid
    assert types["Ident"].storage_type == pa.binary(16)
    assert table.column("Ident").combine_chunks().storage.to_pylist() == [GUID_1.bytes, GUID_AB.bytes, None]
    rows = table.to_pylist()
    for row in rows:
        row["Ident"] = row["Ident"] if row["Ident"] is None or isinstance(row["Ident"], uuid.UUID) \
            else uuid.UUID(bytes=row["Ident"])
    assert rows == ENGINE_ROWS
    # The raw profile is untouched by the engine reading.
    raw = pa.table(db.arrow("Engine"))
    assert raw.column("Big").to_pylist() == [2**64 - 1, 1, None, None]
    assert raw.num_rows == 4


def test_arrow_engine_with_stored_columns(engine_db):
    pa = pytest.importorskip("pyarrow")
    db = EseDatabase(engine_db)
    stored = {r["Id"]: r for r in db.read_table("Engine")}
    table = pa.table(db.arrow("Engine", values="engine", raw_columns=["When", "Big"]))
    engine = pa.table(db.arrow("Engine", values="engine"))
    # The same records as the engine reading (the deleted one left out); the
    # named columns as stored, the others as the engine reads them.
    assert table.column("Id").to_pylist() == [1, 2, 3]
    assert table.schema.field("When").type == pa.uint64() and table.schema.field("Big").type == pa.uint64()
    assert table.column("When").to_pylist() == [stored[i]["When"] for i in (1, 2, 3)]
    assert table.column("Big").to_pylist() == [stored[i]["Big"] for i in (1, 2, 3)]
    for name in engine.column_names:
        if name not in ("When", "Big"):
            assert table.column(name).equals(engine.column(name)), name
    # A chosen subset, in the order given; raw under the raw profile changes nothing.
    picked = pa.table(db.arrow("Engine", columns=["Money", "When"], values="engine", raw_columns=["When"]))
    assert picked.column_names == ["Money", "When"] and picked.column("Money").to_pylist() == [-50000, 50000, None]
    plain = pa.table(db.arrow("Engine", raw_columns=["When"]))
    assert plain.equals(pa.table(db.arrow("Engine")))


@pytest.mark.parametrize("kwargs, error, message", [
    ({"raw_columns": ["Nope"]}, ValueError, "^Column not found: Nope$"),
    ({"columns": ["Id"], "raw_columns": ["When"]}, ValueError, "^Column not found: When$"),
    ({"raw_columns": ["When", "When"]}, ValueError, "^Column named twice: When$"),
    ({"raw_columns": "When"}, TypeError, "^argument 'raw_columns': expected a list of str or None, not str$"),
    ({"raw_columns": [1]}, TypeError, "^argument 'raw_columns': expected str items, not int$"),
])
def test_arrow_raw_columns_bad_calls(engine_db, kwargs, error, message):
    with pytest.raises(error, match=message):
        EseDatabase(engine_db).arrow("Engine", values="engine", **kwargs)


def test_polars_and_duckdb_read_the_engine_schema(engine_db):
    pl = pytest.importorskip("polars")
    duckdb = pytest.importorskip("duckdb")
    db = EseDatabase(engine_db)
    frame = pl.DataFrame(db.arrow("Engine", values="engine"))
    assert frame.schema["When"] == pl.Datetime("us", "UTC")
    assert frame.schema["Tags"] == pl.List(pl.String)
    assert frame["Tags"].to_list() == [r["Tags"] for r in ENGINE_ROWS]
    assert frame["Money"].to_list() == [r["Money"] for r in ENGINE_ROWS]
    source = db.arrow("Engine", columns=["Id", "Ident", "When", "Pair"], values="engine")  # noqa: F841 - read by DuckDB
    got = duckdb.sql("select Id, Ident, epoch_us(\"When\"), Pair from source order by Id").fetchall()
    assert got == [(1, GUID_1, 946728000000000, [1, 65535]),
                   (2, GUID_AB, 1627036254934540, None),
                   (3, None, None, None)]


def test_dump_values_engine_writes_json_lines(cli, engine_db):  # noqa: F811 - the imported fixture
    done = cli("dump", engine_db, "Engine", "--values", "engine")
    assert done.returncode == 0, done.stderr
    lines = [json.loads(line) for line in done.stdout.decode().splitlines()]
    assert [list(line) for line in lines] == [sorted(r) for r in ENGINE_ROWS]
    assert lines[0]["When"] == "2000-01-01T12:00:00Z"
    assert lines[1]["When"] == "2021-07-23T10:30:54.934540Z"
    assert lines[0]["Ident"] == str(GUID_1)
    assert lines[0]["Docs"] == [b"packed first".hex(), b"kept in the long-value tree".hex()]
    assert lines[0]["Tags"] == ["red", "green", ""] and lines[0]["Money"] == -50000
    limited = cli("dump", engine_db, "Engine", "--values", "engine", "--limit", "1")
    assert limited.stdout.decode().splitlines() == done.stdout.decode().splitlines()[:1]
    raw = cli("dump", engine_db, "Engine", "--values", "raw")
    assert raw.stdout == cli("dump", engine_db, "Engine").stdout
    assert len(raw.stdout.splitlines()) == 4


# --- the samples ----------------------------------------------------------------

SAMPLES = sample_paths()
ENGINE_TYPES = {"DateTime", "GUID", "Long long", "Currency"}


@pytest.fixture(scope="module")
def samples(tmp_path_factory):
    if not SAMPLES:
        pytest.skip(f"sample databases not found in {SAMPLES_DIR}")
    folder = tmp_path_factory.mktemp("samples")
    out = {}
    for compressed in SAMPLES:
        name = compressed.name[: -len(".gz")]
        if name == "large.edb":
            continue  # 65,000 columns: read by test_samples.py; nothing here for the engine to change
        with gzip.open(compressed, "rb") as source, open(folder / name, "wb") as target:
            shutil.copyfileobj(source, target)
        out[name] = EseDatabase(str(folder / name))
    return out


def _same(a, b):
    return a == b or (isinstance(a, float) and isinstance(b, float) and math.isnan(a) and math.isnan(b))


def engine_changes(db):
    """Per rule, the cells the engine reading changed, after checking that it
    agrees with the raw reading on every other cell."""
    counts = {}
    for table in db.get_tables():
        types = {c["name"]: c["type"] for c in db.get_table_schema(table)}
        raw = list(db.iter_table(table))
        engine = list(db.iter_table(table, values="engine"))
        assert len(engine) <= len(raw)
        hidden = len(raw) - len(engine)
        if hidden:
            counts["deleted rows"] = counts.get("deleted rows", 0) + hidden
            continue  # records are no longer paired one to one
        for r, e in zip(raw, engine, strict=True):
            assert list(r) == list(e)
            for name, value in r.items():
                got = e[name]
                if isinstance(got, list):
                    rule = "multi-value"
                elif value is None and got is not None:
                    rule = "default"
                elif types[name] == "DateTime" and value is not None:
                    assert got is None or (isinstance(got, dt.datetime) and got.tzinfo is UTC)
                    rule = "date"
                elif types[name] == "GUID" and value is not None:
                    assert got == uuid.UUID(value)
                    rule = "guid"
                elif types[name] in ("Long long", "Currency") and value is not None:
                    assert got == (value - 2**64 if value >= 2**63 else value)
                    rule = "signed" if got != value else None
                else:
                    assert _same(got, value), (table, name)
                    rule = None
                if rule:
                    counts[rule] = counts.get(rule, 0) + 1
    return counts


def test_engine_agrees_with_raw_wherever_no_rule_applies(samples):
    counts = {name: engine_changes(db) for name, db in samples.items()}
    assert counts["multi.edb"].get("multi-value", 0) > 0
    assert counts["default.edb"].get("default", 0) > 0
    assert counts["SRUDB.dat"].get("date", 0) > 0 and counts["Current.mdb"].get("date", 0) > 0
    for name in ("binary.edb", "text.edb"):
        assert counts[name] == {}, name


def test_multi_valued_samples(samples):
    db = samples["multi.edb"]
    first = next(db.iter_table("multi", values="engine"))
    assert first["Bit"] == [False, True]
    assert first["Short"] == [0, -32767, 32767]
    assert first["LongLong"] == [0, -9223372036854775807, 9223372036854775807]
    assert [d.year for d in first["DateTime"]] == [1661, 2077, 2517]
    assert first["DateTime"][0] == dt.datetime(1661, 4, 18, 12, 30, tzinfo=UTC)
    assert all(isinstance(g, uuid.UUID) for g in first["GUID"])
    assert first["UnsignedShort"] == [0, 65535]  # the two-values layout
    assert first["LongCompressedASCII"][0].startswith("Some very long compressed ASCII text")
    for column in ("LongBinary", "LongASCII", "LongUnicode"):  # separated instances
        assert len(first[column]) == 3 and all(len(v) > 100 for v in first[column]), column
    second = list(db.iter_table("multi", values="engine"))[1]
    fox = "\U0001f98a"
    assert second["LongUnicode"] == [f"Tiny {fox} 1", f"Tiny {fox * 2}", f"Tiny {fox * 3}"]


def test_dates_of_the_samples(samples):
    basic = [r["DateTime"] for r in samples["basic.edb"].iter_table("basic", values="engine")]
    assert basic == [dt.datetime(1999, 3, 1, tzinfo=UTC), dt.datetime(1337, 6, 9, tzinfo=UTC)]
    # User Access Logging stores FILETIMEs in its DateTime columns.
    ual = samples["Current.mdb"]
    for table in ual.get_tables():
        columns = [c["name"] for c in ual.get_table_schema(table) if c["type"] == "DateTime"]
        for row in ual.iter_table(table, columns=columns, values="engine"):
            for value in row.values():
                assert value is None or 2000 <= value.year <= 2030, table
    # SRUM's TimeStamp is an OLE date; its EndTime and StartTime are Long long FILETIMEs.
    srum = samples["SRUDB.dat"]
    stamps = 0
    for table in srum.get_tables():
        names = {c["name"]: c["type"] for c in srum.get_table_schema(table)}
        if names.get("TimeStamp") != "DateTime":
            continue
        for row in srum.iter_table(table, columns=["TimeStamp"], values="engine"):
            assert 2000 <= row["TimeStamp"].year <= 2030
            assert row["TimeStamp"].microsecond % 1000 == 0  # whole milliseconds, as an OLE date holds them
            stamps += 1
    assert stamps > 0


def test_defaults_of_the_sample(samples):
    db = samples["default.edb"]
    raw = db.read_table("default")[0]
    engine = next(db.iter_table("default", values="engine"))
    defaulted = {name for name in raw if raw[name] is None and engine[name] is not None}
    assert defaulted == {"LongBinary", "LongASCII", "LongUnicode"}
    assert engine["LongASCII"].startswith("Long default ASCII")
    assert engine["LongUnicode"].startswith("Long default Unicode \U0001f98a")
    assert engine["LongBinary"].startswith(b"Long default binary")


def _equal_cells(a, b):
    if isinstance(a, list) and isinstance(b, list):
        return len(a) == len(b) and all(_equal_cells(x, y) for x, y in zip(a, b, strict=True))
    return _same(a, b)


def test_arrow_engine_profile_matches_iter_table_on_the_samples(samples):
    pa = pytest.importorskip("pyarrow")
    for name, db in samples.items():
        for table in db.get_tables():
            arrow_table = pa.table(db.arrow(table, values="engine", batch_rows=7))
            arrow_table.validate(full=True)
            rows = list(db.iter_table(table, values="engine"))
            assert arrow_table.num_rows == len(rows), (name, table)
            for got, want in zip(arrow_table.to_pylist(), rows, strict=True):
                for column, value in want.items():
                    assert _equal_cells(got[column], value), (name, table, column)


# --- engine values written as JSON by the module --------------------------------


def _reference_json(value):
    """What an engine value is in the JSON the module writes, from the
    Python object iter_table(values="engine") gives."""
    if isinstance(value, float):
        return value if math.isfinite(value) else 0
    if isinstance(value, bytes):
        return value.hex()
    if isinstance(value, dt.datetime):
        return value.astimezone(UTC).replace(tzinfo=None).isoformat() + "Z"
    if isinstance(value, uuid.UUID):
        return str(value)
    if isinstance(value, list):
        return [_reference_json(item) for item in value]
    return value


def _agrees(got, want):
    """JSON values equal; a float as the shortest text of its own width (a
    32-bit float is written with the digits of a 32-bit float)."""
    if isinstance(want, float) and isinstance(got, (int, float)) and not isinstance(got, bool):
        return math.isclose(got, want, rel_tol=1e-7, abs_tol=1e-45)
    if isinstance(want, list) and isinstance(got, list):
        return len(got) == len(want) and all(_agrees(g, w) for g, w in zip(got, want))
    return type(got) is type(want) and got == want


def assert_engine_jsonl_matches_iter_table(db, table):
    import io

    out = io.BytesIO()
    written = db.write_table_jsonl(table, out, values="engine")
    lines = out.getvalue().decode().splitlines()
    records = list(db.iter_table(table, values="engine"))
    assert written == len(lines) == len(records), table
    for line, record in zip(lines, records):
        got = json.loads(line)
        assert list(got) == sorted(record), table  # members sorted by name
        for name, value in record.items():
            assert _agrees(got[name], _reference_json(value)), (table, name, got[name], value)


@pytest.mark.parametrize("scenario, table, page_size", [
    ("engine-values", "Engine", 4096), ("engine-values", "Engine", 32768), ("records", "AllTypes", None),
    ("python-values", "Values", None), ("python-values", "Values", 32768),
])
def test_engine_json_lines_are_the_engine_values(make_db, scenario, table, page_size):
    db = EseDatabase(make_db(scenario, page_size=page_size))
    assert_engine_jsonl_matches_iter_table(db, table)


@pytest.mark.filterwarnings("ignore::pellumo.DamageWarning")  # the torn WebCache: its own tests
def test_engine_json_lines_of_every_sample_table(samples):
    for name, db in samples.items():
        for table in db.get_tables():
            assert_engine_jsonl_matches_iter_table(db, table)


def test_engine_json_lines_options(engine_db):
    import io

    db = EseDatabase(engine_db)
    out = io.BytesIO()
    assert db.write_table_jsonl("Engine", out, 2, values="engine") == 2
    assert len(out.getvalue().splitlines()) == 2
    with pytest.raises(ValueError, match="values"):
        db.write_table_jsonl("Engine", io.BytesIO(), values="cooked")
    raw = io.BytesIO()
    db.write_table_jsonl("Engine", raw, values="raw")
    plain = io.BytesIO()
    db.write_table_jsonl("Engine", plain)
    assert raw.getvalue() == plain.getvalue() and len(raw.getvalue().splitlines()) == 4  # the deleted one too


def test_export_jsonl_and_csv_with_engine_values(cli, engine_db, tmp_path):  # noqa: F811 - the imported fixture
    dumped = cli("dump", engine_db, "Engine", "--values", "engine")
    done = cli("export", engine_db, tmp_path / "jsonl", "--values", "engine", "--table", "Engine")
    assert done.returncode == 0, done.stderr
    assert (tmp_path / "jsonl" / "Engine.jsonl").read_bytes() == dumped.stdout
    pa_csv = pytest.importorskip("pyarrow.csv")
    done = cli("export", engine_db, tmp_path / "csv", "--format", "csv", "--values", "engine", "--table", "Engine")
    assert done.returncode == 0, done.stderr
    rows = pa_csv.read_csv(tmp_path / "csv" / "Engine.csv",
                           convert_options=pa_csv.ConvertOptions(strings_can_be_null=True)).to_pylist()
    assert [r["Ident"] for r in rows] == [None if r["Ident"] is None else str(r["Ident"]) for r in ENGINE_ROWS]
    assert [r["Id"] for r in rows] == [r["Id"] for r in ENGINE_ROWS]


def test_csv_writes_uuid_text_whatever_pyarrow_made_of_the_type():
    pa = pytest.importorskip("pyarrow")
    from pellumo_cli.export import _csv_converter

    class OtherUuid(pa.ExtensionType):  # a class another package might register under the name
        def __init__(self):
            super().__init__(pa.binary(16), "arrow.uuid")

        def __arrow_ext_serialize__(self):
            return b""

        @classmethod
        def __arrow_ext_deserialize__(cls, storage_type, serialized):
            return cls()

    storage = pa.array([GUID_1.bytes, None], pa.binary(16))
    text = [str(GUID_1), None]
    cases = [
        (pa.field("u", pa.uuid()), pa.ExtensionArray.from_storage(pa.uuid(), storage), text),
        (pa.field("u", OtherUuid()), pa.ExtensionArray.from_storage(OtherUuid(), storage), text),
        # No class registered: the storage, the extension's name in the metadata.
        (pa.field("u", pa.binary(16), metadata={"ARROW:extension:name": "arrow.uuid"}), storage, text),
        (pa.field("u", pa.binary(16)), storage, [GUID_1.bytes.hex(), None]),  # 16 bytes, no UUID: hex
    ]
    for field, array, expected in cases:
        batch = pa.RecordBatch.from_arrays([array], schema=pa.schema([field]))
        convert, schema = _csv_converter(batch.schema)
        assert schema.field("u").type == pa.string(), field
        assert convert(batch).column(0).to_pylist() == expected, field

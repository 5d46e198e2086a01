"""The fixture tool's JSON mode, read back through pellumo: every column type
in every area, long values, multi-values, keys, deleted records, code pages,
on every page size and format the reader distinguishes; and the errors a bad
description gets."""

import math
import uuid
from datetime import datetime, timezone

import pytest
from fixture_json import FORMATS, Column, Index, Record, Stored, Table, filetime, ole_date, write_database
from pellumo import EseDatabase

WHEN = datetime(2024, 3, 1, 12, 30, 15, 250000, tzinfo=timezone.utc)
GUID = "d10ca2fe-6fcf-4f6d-848e-b2e99266fa89"

EVERY_TYPE = [
    # (column, stored value, what values="engine" gives back)
    (Column("Flag", "bit"), True, True),
    (Column("Tiny", "unsigned_byte"), 200, 200),
    (Column("Small", "short"), -1234, -1234),
    (Column("Count", "long"), -2_000_000_000, -2_000_000_000),
    (Column("Money", "currency"), -150000, -150000),
    (Column("Single", "ieee_single"), 0.5, 0.5),
    (Column("Double", "ieee_double"), -1e300, -1e300),
    (Column("Ole", "datetime"), ole_date(WHEN), WHEN),
    (Column("Unsigned", "unsigned_long"), 4_000_000_000, 4_000_000_000),
    (Column("Big", "long_long"), -(2**62), -(2**62)),
    (Column("Ident", "guid"), GUID, uuid.UUID(GUID)),
    (Column("Word", "unsigned_short"), 65535, 65535),
    (Column("Label", "text", codepage=1252), "caf\u00e9 \u20ac", "caf\u00e9 \u20ac"),
    (Column("Wide", "text"), "\u65e5\u672c \U0001F600", "\u65e5\u672c \U0001F600"),
    (Column("Ascii", "text", codepage=20127), "plain", "plain"),
    (Column("Raw", "binary"), b"\x00\x01\xff", b"\x00\x01\xff"),
    (Column("Notes", "long_text"), "tagged text", "tagged text"),
    (Column("Blob", "long_binary"), b"\x10" * 40, b"\x10" * 40),
    (Column("TaggedLong", "long", tagged=True), 77, 77),
    (Column("TaggedGuid", "guid", tagged=True), uuid.UUID(GUID), uuid.UUID(GUID)),
    (Column("Fixed", "binary", id=13, width=4), b"ab", b"ab\x00\x00"),
]


@pytest.mark.parametrize("page_size, version, revision", FORMATS)
def test_every_type_reads_back_in_every_format(tmp_path, page_size, version, revision):
    columns = [c for c, _, _ in EVERY_TYPE]
    values = {c.name: v for c, v, _ in EVERY_TYPE}
    empty = {"Count": 1}
    path = write_database(tmp_path / "t.edb", [Table("Types", columns, [values, empty])],
                          page_size=page_size, format_version=version, format_revision=revision)
    db = EseDatabase(path)
    assert db.page_size == page_size
    assert db.get_tables() == ["MSysObjects", "Types"]
    schema = {c["name"]: c for c in db.get_table_schema("Types")}
    # Ids by area, in declaration order: fixed 1..., variable 128..., tagged 256...
    assert [schema[n]["id"] for n in ("Flag", "Label", "Raw", "Notes")] == [1, 128, 131, 256]
    assert schema["Fixed"]["id"] == 13 and schema["Fixed"]["type"] == "Binary"
    full, sparse = db.iter_table("Types", values="engine")
    for column, _, want in EVERY_TYPE:
        got = full[column.name]
        assert type(got) is type(want) and got == want, (column.name, got, want)
        assert sparse[column.name] == (1 if column.name == "Count" else None), column.name


def test_datetime_integer_is_stored_bits(tmp_path):
    ticks = filetime(WHEN, extra_ticks=7)
    path = write_database(tmp_path / "t.edb", [Table("T", [Column("When", "datetime")], [{"When": ticks}])])
    assert EseDatabase(path).read_table("T") == [{"When": ticks}]


@pytest.mark.parametrize("page_size, version, revision", FORMATS)
def test_long_values_multi_values_and_compression(tmp_path, page_size, version, revision):
    big_text = "a long value, " * 400
    big_blob = bytes(range(256)) * 30
    columns = [Column("Id", "long"), Column("Body", "long_text"), Column("Data", "long_binary"),
               Column("Tags", "text", multi_valued=True), Column("Packed", "long_text")]
    records = [
        {"Id": 1, "Body": big_text, "Data": big_blob, "Tags": ["red", "green", "blue"],
         "Packed": Stored("compressible text " * 20, compress="xpress")},
        {"Id": 2, "Body": Stored("small but apart", separate=True), "Data": Stored(big_blob, compress="lz4"),
         "Tags": ["only"], "Packed": Stored("seven bit", compress="seven_bit")},
        {"Id": 3, "Tags": []},
    ]
    for wide in (False, True):
        path = write_database(tmp_path / f"lv-{wide}.edb",
                              [Table("T", columns, records, primary_key=["Id"], wide_long_value_ids=wide)],
                              page_size=page_size, format_version=version, format_revision=revision)
        rows = list(EseDatabase(path).iter_table("T", values="engine"))
        assert [r["Body"] for r in rows] == [big_text, "small but apart", None]
        assert [r["Data"] for r in rows] == [big_blob, big_blob, None]
        assert [r["Tags"] for r in rows] == [["red", "green", "blue"], ["only"], None]
        assert [r["Packed"] for r in rows] == ["compressible text " * 20, "seven bit", None]


def test_records_follow_the_primary_key(tmp_path):
    ids = [5, -3, 1_000_000, 0, -2_000_000_000, 7]
    table = Table("T", [Column("Id", "long"), Column("Name", "text")],
                  [{"Id": i, "Name": f"n{i}"} for i in ids], primary_key=["Id"], max_leaf_records=2,
                  indexes=[Index("ByName", ["Name"])])
    db = EseDatabase(write_database(tmp_path / "t.edb", [table]))
    assert [r["Id"] for r in db.read_table("T")] == sorted(ids)
    report = db.check()
    assert not report["damaged"], report
    assert {t["kind"] for t in report["trees"] if t["table"] == "T"} == {"table", "index"}


def test_without_a_primary_key_records_keep_their_order(tmp_path):
    names = ["zeta", "alpha", "mid"]
    db = EseDatabase(write_database(tmp_path / "t.edb", [Table("T", [Column("Name", "text")],
                                                                 [{"Name": n} for n in names])]))
    assert [r["Name"] for r in db.read_table("T")] == names


@pytest.mark.parametrize("page_size, version, revision", FORMATS)
def test_deleted_records_are_found_by_recovery_only(tmp_path, page_size, version, revision):
    columns = [Column("Id", "long", not_null=True), Column("Name", "text")]
    records = [
        Record({"Id": 1, "Name": "kept"}),
        Record({"Id": 2, "Name": "flagged"}, state="deleted_node"),
        Record({"Id": 3, "Name": "merged away"}, state="emptied_page"),
        Record({"Id": 1, "Name": "older kept"}, state="emptied_page"),
    ]
    path = write_database(tmp_path / "t.edb", [Table("T", columns, records, primary_key=["Id"])],
                          page_size=page_size, format_version=version, format_revision=revision)
    db = EseDatabase(path)
    assert [r["Name"] for r in db.iter_table("T", values="engine")] == ["kept"]
    found = {(r["Name"], r["_source"], r["_status"]) for r in db.recover("T")}
    assert found == {("flagged", "deleted_node", "deleted"), ("merged away", "emptied_page", "deleted"),
                     ("older kept", "emptied_page", "superseded")}


def test_repeated_records_step_their_columns(tmp_path):
    columns = [Column("Id", "long"), Column("When", "datetime"), Column("Ticks", "long_long"), Column("Name", "text")]
    start = ole_date(WHEN)
    record = Record({"Id": 10, "When": start, "Ticks": 2**63 - 2, "Name": "same"}, repeat=5,
                    step={"Id": 3, "When": 0.5, "Ticks": 1})
    db = EseDatabase(write_database(tmp_path / "t.edb", [Table("T", columns, [record], primary_key=["Id"])]))
    rows = db.read_table("T")
    assert [r["Id"] for r in rows] == [10, 13, 16, 19, 22]
    # Long long read raw is unsigned: the steps run past 2**63 as 64-bit integers do.
    assert [r["Ticks"] for r in rows] == [2**63 - 2 + k for k in range(5)]
    dates = [r["When"] for r in db.iter_table("T", values="engine")]
    assert [(d - dates[0]).total_seconds() for d in dates] == [0, 43200, 86400, 129600, 172800]
    assert {r["Name"] for r in rows} == {"same"}


def test_defaults_and_not_null(tmp_path):
    columns = [Column("Id", "long", not_null=True), Column("Level", "short", tagged=True, default=3),
               Column("Name", "text", default="none")]
    db = EseDatabase(write_database(tmp_path / "t.edb", [Table("T", columns, [{"Id": 1}])]))
    assert [c["nullable"] for c in db.get_table_schema("T")] == [False, True, True]
    assert next(db.iter_table("T", values="engine")) == {"Id": 1, "Level": 3, "Name": "none"}
    assert db.read_table("T") == [{"Id": 1, "Level": None, "Name": None}]


def test_bytes_are_stored_as_given_in_any_column(tmp_path):
    columns = [Column("Id", "long"), Column("Name", "text"), Column("Tail", "long_text")]
    record = {"Id": b"\x78\x56\x34\x12", "Name": "a\x00b".encode("utf-16-le") + b"\x00\x00",
              "Tail": b"z\x00\x00\x00"}
    db = EseDatabase(write_database(tmp_path / "t.edb", [Table("T", columns, [record])]))
    assert db.read_table("T") == [{"Id": 0x12345678, "Name": "a\x00b\x00", "Tail": "z\x00"}]


def test_many_tables_and_wide_schemas(tmp_path):
    # A catalog over several pages: hundreds of columns, GUID table names.
    days = [Column(f"Day{n}", "unsigned_short", tagged=True) for n in range(1, 367)]
    guids = [f"{{{uuid.UUID(int=n)}}}".upper() for n in range(1, 30)]
    tables = [Table("CLIENTS", [Column("Name", "long_text")] + days, [{"Name": "x", "Day1": 4, "Day366": 9}])]
    tables += [Table(g, [Column("AutoIncId", "long")], [{"AutoIncId": 1}]) for g in guids]
    db = EseDatabase(write_database(tmp_path / "t.edb", tables))
    assert db.get_tables()[1:] == ["CLIENTS"] + guids
    row = db.read_table("CLIENTS")[0]
    assert (row["Day1"], row["Day2"], row["Day366"]) == (4, None, 9)
    assert len(row) == 367


def test_single_float_is_widened_exactly(tmp_path):
    db = EseDatabase(write_database(tmp_path / "t.edb", [Table("T", [Column("F", "ieee_single")],
                                                                 [{"F": 0.1}, {"F": float("nan")}])]))
    first, second = db.read_table("T")
    assert first["F"] == 0.10000000149011612 and math.isnan(second["F"])


BAD_TABLES = [
    ("unknown column", Table("T", [Column("A", "long")], [{"B": 1}]), 'table T record 1: no column "B"'),
    ("unknown type", Table("T", [Column("A", "longest")]), "unknown column type 'longest'"),
    ("out of range", Table("T", [Column("A", "short")], [{"A": 40000}]), "40000 does not fit the column's type"),
    ("bad guid", Table("T", [Column("A", "guid")], [{"A": "not-a-guid"}]), "a GUID is written"),
    ("binary as str", Table("T", [Column("A", "binary")], [{"A": "text"}]), 'binary values are given as {"hex"'),
    ("no cp1252 byte", Table("T", [Column("A", "text", codepage=1252)], [{"A": "\u65e5"}]),
     "has no byte in code page 1252"),
    ("duplicate key", Table("T", [Column("A", "long")], [{"A": 1}, {"A": 1}], primary_key=["A"]),
     "another record has the same primary key"),
    ("gap in fixed ids", Table("T", [Column("A", "long", id=1), Column("B", "long", id=3)]),
     "fixed column ids must run 1, 2, 3"),
    ("long in fixed area", Table("T", [Column("A", "long_text", id=2)]), "needs a tagged id"),
    ("list in plain column", Table("T", [Column("A", "long")], [{"A": [1, 2]}]),
     "an array is for multi-valued columns"),
    ("separate in variable", Table("T", [Column("A", "text")], [{"A": Stored("x", separate=True)}]),
     "only tagged columns hold separated or compressed values"),
    ("bad state", Table("T", [Column("A", "long")], [Record({"A": 1}, state="gone")]),  # type: ignore[arg-type]
     "state is live, deleted_node or emptied_page"),
    ("column twice", Table("T", [Column("A", "long"), Column("A", "short")]), "table T column A: declared twice"),
    ("step of a missing column", Table("T", [Column("A", "long")], [Record({"A": 1}, repeat=2, step={"B": 1})]),
     'step names "B", which the record does not give'),
]


@pytest.mark.parametrize("table, message", [pytest.param(t, m, id=i) for i, t, m in BAD_TABLES])
def test_bad_tables_are_refused_with_a_reason(tmp_path, table, message):
    with pytest.raises(RuntimeError, match="from-json failed") as caught:
        write_database(tmp_path / "t.edb", [table])
    assert message in str(caught.value)
    assert not (tmp_path / "t.edb").exists()

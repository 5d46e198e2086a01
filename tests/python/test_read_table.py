"""read_table over fixture databases: the Python value of every column type,
the shape of the record dicts, lookups and the errors of a damaged leaf chain."""

import math

import pytest

from pellumo import EseDatabase

STORED_LONG_BINARY = bytes((i * 7) & 0xFF for i in range(3000))

# The rows of the table Values in the python-values scenario, converted.
# NaN compares unequal to itself, so those cells hold the NAN marker.
NAN = object()
VALUES_ROWS = [
    {
        "Flag": True,                          # stored byte 0x02
        "Tiny": 255,
        "Small": -1,
        "Count": -2147483648,
        "Money": 18446744073709551615,          # Currency: the raw 64 bits, unsigned
        "Single": 0.10000000149011612,          # 0.1f widened exactly
        "Double": -2.5,
        "When": 0x01D9A3B4C5D6E7F8,            # DateTime: the raw 64 bits
        "Unsigned": 4294967295,
        "Big": 18446744073709551615,            # Long long -1 reads unsigned
        "Ident": "03020100-0504-0706-0809-0a0b0c0d0e0f",
        "Word": 65535,
        "Huge": 0x8000000000000001,             # type 18 holds unsigned 64-bit integers
        "Label": "caf\u00e9",                   # windows-1252 0xE9
        "Wide": "Gr\u00fc\u00dfe",              # UTF-16LE
        "Raw": b"\x00\x01\xff",
        "Sized": 0x1234,                        # "Unsigned byte" of 2 bytes
        "Notes": "Notes kept in the long-value tree, in UTF-16.",
        "Blob": b"inline long binary",
        "Stored": STORED_LONG_BINARY,
        "Multi": b"\x01\x02\x03\x04",
        "Packed": "packed seven-bit text",
    },
    {
        "Flag": False, "Tiny": 0, "Small": -32768, "Count": 2147483647, "Money": 0, "Single": NAN,
        "Double": math.inf, "When": 0, "Unsigned": 0, "Big": 9223372036854775807,
        "Ident": "abababab-abab-abab-abab-abababababab", "Word": 0, "Huge": 0,
        "Label": None,                          # empty data is no value
        "Wide": None, "Raw": None,
        "Sized": 0xFEDCBA9876543210,            # 8 bytes: unsigned 64-bit
        "Notes": None, "Blob": None, "Stored": None, "Multi": None, "Packed": None,
    },
    {
        "Flag": None, "Tiny": None, "Small": None, "Count": 3, "Money": None, "Single": -math.inf,
        "Double": NAN, "When": None, "Unsigned": None, "Big": None, "Ident": None, "Word": None, "Huge": None,
        "Label": None, "Wide": None, "Raw": None,
        "Sized": b"\x01\x02\x03",               # 3 bytes: no integer width
        "Notes": None, "Blob": None, "Stored": None, "Multi": b"mv", "Packed": None,
    },
    dict.fromkeys(["Flag", "Tiny", "Small", "Count", "Money", "Single", "Double", "When", "Unsigned", "Big",
                   "Ident", "Word", "Huge", "Label", "Wide", "Raw", "Sized", "Notes", "Blob", "Stored", "Multi",
                   "Packed"]),
]

FORMATS = [
    pytest.param({}, id="4k"),
    pytest.param({"page_size": 8192}, id="8k"),
    pytest.param({"page_size": 32768, "format_version": 0x620, "format_revision": 0x11}, id="32k-large-tags"),
]


@pytest.fixture
def values_db(make_db):
    return EseDatabase(make_db("python-values"))


def assert_row(row, expected):
    assert list(row) == list(expected)
    for name, want in expected.items():
        got = row[name]
        if want is NAN:
            assert type(got) is float and math.isnan(got), name
        else:
            # bool is an int subclass and 0 == 0.0: compare the types too.
            assert type(got) is type(want) and got == want, (name, got, want)


@pytest.mark.parametrize("options", FORMATS)
def test_value_of_every_column_type(make_db, options):
    db = EseDatabase(make_db("python-values", **options))
    rows = db.read_table("Values")
    assert len(rows) == len(VALUES_ROWS)
    expected_rows = [dict(r) for r in VALUES_ROWS]
    if options.get("page_size", 4096) > 8192:
        # Large pages give every tagged value a flag byte: the empty Blob is
        # present and empty, not null.
        expected_rows[2]["Blob"] = b""
    for row, expected in zip(rows, expected_rows):
        assert_row(row, expected)
    # The booleans are the interpreter's singletons.
    assert rows[0]["Flag"] is True and rows[1]["Flag"] is False


def test_records_hold_every_column_in_id_order(values_db):
    for table in ["Values", "Chained", "Looped"]:
        schema = values_db.get_table_schema(table)
        names = [c["name"] for c in sorted(schema, key=lambda c: c["id"])]
        rows = values_db.read_table(table)
        assert rows
        assert all(list(row) == names for row in rows)


def test_column_names_are_made_once_per_call(values_db):
    rows = values_db.read_table("Values")
    first = list(rows[0])
    for row in rows[1:]:
        assert all(a is b for a, b in zip(first, row))


def test_names_that_decode_alike(values_db):
    # "Dup\xff" (id 1) and "Dup\xfe" (id 256) both decode to "Dup\ufffd": the
    # later column's value replaces the earlier one in the first one's place.
    assert values_db.read_table("Duplicates") == [
        {"Dup\ufffd": b"later", "Name": "first", "Caf\u00e9\ufffd": 9},
        {"Dup\ufffd": None, "Name": None, "Caf\u00e9\ufffd": None},
    ]


def test_records_across_leaf_pages(values_db):
    assert values_db.read_table("Chained") == [{"Id": i} for i in range(1, 8)]
    assert values_db.read_table(table_name="Looped") == [{"Id": i} for i in range(1, 7)]


def test_table_without_records(values_db, make_db):
    assert values_db.read_table("Nothing") == []
    assert [c["name"] for c in values_db.get_table_schema("Nothing")] == ["Id", "Text"]
    sample = EseDatabase(make_db("sample"))
    assert sample.read_table("Empty") == []


def test_results_are_new_objects(values_db):
    first = values_db.read_table("Chained")
    first[0]["Id"] = -1
    first.append(None)
    second = values_db.read_table("Chained")
    assert second is not first
    assert second == [{"Id": i} for i in range(1, 8)]


def test_catalog_table_reads(values_db):
    rows = values_db.read_table("MSysObjects")
    tables = [r["Name"] for r in rows if r["Type"] == 1]
    assert tables == values_db.get_tables()
    columns = [r["Name"] for r in rows if r["Type"] == 2 and r["ObjidTable"] == rows[0]["ObjidTable"]]
    assert "Name" in columns


@pytest.mark.parametrize("name", ["values", "VALUES", " Values", "Values ", "", "Nope", "Values\0"])
def test_unknown_table(values_db, name):
    with pytest.raises(ValueError) as raised:
        values_db.read_table(name)
    assert type(raised.value) is ValueError
    assert raised.value.args == (f"Table not found: {name}",)
    assert raised.value.kind == "table_not_found"


def test_undecodable_table_name(make_db):
    db = EseDatabase(make_db("odd-names"))
    listed = db.get_tables()[-1]
    assert listed == "Bad\ufffdName"
    # The listed name encodes to other bytes than the stored one.
    with pytest.raises(ValueError, match="^Table not found: Bad\ufffdName$"):
        db.read_table(listed)
    assert db.read_table("Users") == []


def test_empty_catalog(make_db):
    db = EseDatabase(make_db("empty-catalog"))
    with pytest.raises(ValueError, match="^Table not found: MSysObjects$"):
        db.read_table("MSysObjects")


@pytest.mark.parametrize("options", FORMATS)
def test_broken_leaf_chains_cost_nothing(make_db, options):
    db = EseDatabase(make_db("python-broken-chain", **options))
    # Chained's second leaf links far outside the file and Looped's last leaf
    # back to its first: neither link is believed, the tree leads on.
    assert [r["Id"] for r in db.read_table("Chained")] == list(range(1, 8))
    assert [r["Id"] for r in db.read_table("Looped")] == list(range(1, 7))
    assert len(db.read_table("Values")) == 4

"""get_tables and get_table_schema over the fixture databases."""

import pytest

from pellumo import EseDatabase

# (name, type, id, nullable) of each column of the sample's Users table, as
# the fixture declares them; UserId alone carries the not-null flag 0x1.
USERS_SCHEMA = [
    ("UserId", "Signed long", 1, False),
    ("Created", "DateTime", 2, True),
    ("Active", "Boolean", 3, True),
    ("Balance", "Currency", 4, True),
    ("Score", "Double precision FP", 5, True),
    ("UserGuid", "GUID", 6, True),
    ("Name", "Text", 128, True),
    ("Email", "Text", 129, True),
    ("Bio", "Long Text", 256, True),
    ("Avatar", "Long Binary", 257, True),
]

EVENTS_TYPES = ["Long long", "DateTime", "Unsigned byte", "Signed short", "Unsigned short", "Unsigned long",
                "Single precision FP", "Text", "Binary", "Long Text", "Long Binary"]


@pytest.fixture
def sample(make_db):
    return EseDatabase(make_db("sample"))


@pytest.mark.parametrize("scenario, tables", [
    ("sample", ["MSysObjects", "Users", "Events", "Settings", "Empty"]),
    ("tables12", ["MSysObjects"] + [f"Table{i:02}" for i in range(1, 12)]),
    ("empty-catalog", []),
    ("odd-names", ["MSysObjects", "Users", "Bad\ufffdName"]),
    # Stale records left in reserved tags are not tables.
    ("reserved-tags", ["MSysObjects", "Users", "Events"]),
])
def test_tables_in_catalog_order(make_db, scenario, tables):
    db = EseDatabase(make_db(scenario))
    listed = db.get_tables()
    assert listed == tables
    assert all(type(name) is str for name in listed)
    # Each call builds a new list.
    assert db.get_tables() is not listed
    assert repr(db).endswith(f", tables={len(tables)}, page_size=4096)")


@pytest.mark.parametrize("page_size, format_version, format_revision", [
    (8192, None, None),
    (32768, 0x620, 0x11),  # large-page tag format
    (16384, 0x620, 0x10),  # large pages in the small-page tag format
])
def test_tables_whatever_the_page_format(make_db, page_size, format_version, format_revision):
    db = EseDatabase(make_db("sample", page_size=page_size, format_version=format_version,
                             format_revision=format_revision))
    assert db.get_tables() == ["MSysObjects", "Users", "Events", "Settings", "Empty"]
    assert [column["name"] for column in db.get_table_schema("Users")] == [c[0] for c in USERS_SCHEMA]


def test_schema_entries(sample):
    schema = sample.get_table_schema("Users")
    assert [list(column) for column in schema] == [["name", "type", "id", "nullable"]] * len(USERS_SCHEMA)
    assert [(c["name"], c["type"], c["id"], c["nullable"]) for c in schema] == USERS_SCHEMA
    assert all(type(c["id"]) is int and type(c["nullable"]) is bool for c in schema)
    assert [c["type"] for c in sample.get_table_schema("Events")] == EVENTS_TYPES
    assert sample.get_table_schema(table_name="Empty") == [
        {"name": "Id", "type": "Signed long", "id": 1, "nullable": True}]


def test_schema_dicts_are_independent(sample):
    first = sample.get_table_schema("Settings")
    first[0]["name"] = "changed"
    first.append(None)
    second = sample.get_table_schema("Settings")
    assert [c["name"] for c in second] == ["SettingId", "Key", "Value", "Blob"]


def test_catalog_table_describes_itself(sample):
    columns = {c["name"]: c for c in sample.get_table_schema("MSysObjects")}
    assert columns["ObjidTable"] == {"name": "ObjidTable", "type": "Signed long", "id": 1, "nullable": False}
    assert columns["Name"]["type"] == "Text"
    assert columns["Name"]["id"] == 128


@pytest.mark.parametrize("name", [
    "users",           # lookups compare bytes: no case folding
    "USERS",
    " Users",          # nor trimming
    "Users ",
    "",
    "Nonexistent",
    "MSysObjects\0",
    "Us\u00e9rs",
])
def test_unknown_table(sample, name):
    with pytest.raises(ValueError) as raised:
        sample.get_table_schema(name)
    assert type(raised.value) is ValueError
    assert raised.value.args == (f"Table not found: {name}",)


def test_undecodable_name_is_listed_but_not_found(make_db):
    db = EseDatabase(make_db("odd-names"))
    listed = db.get_tables()[-1]
    assert listed == "Bad\ufffdName"
    # The listed text encodes to other bytes than the stored name.
    with pytest.raises(ValueError) as raised:
        db.get_table_schema(listed)
    assert str(raised.value) == "Table not found: Bad\ufffdName"
    assert db.get_table_schema("Users") == [{"name": "Name", "type": "Text", "id": 128, "nullable": True}]


def test_empty_catalog(make_db):
    db = EseDatabase(make_db("empty-catalog"))
    assert db.get_tables() == []
    with pytest.raises(ValueError, match="^Table not found: MSysObjects$"):
        db.get_table_schema("MSysObjects")

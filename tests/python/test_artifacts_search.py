"""The search kind: Windows.edb as items, files, activities, browser history
and the gatherer's table, checked on property stores with the real schemas
of Windows 10 and 8 (the same properties under other prefixes), on the
older store of Windows 7 and Vista with its encoded strings, and on the
sample file."""

import gzip
import shutil
import sys
import uuid

import pyarrow as pa
import pyarrow.compute as pc
import pytest
import search_fixture as fixture
from conftest import INSTALLED, ROOT, SAMPLES_DIR
from fixture_json import FORMATS, write_database

if not INSTALLED:
    sys.path.insert(0, str(ROOT / "python"))

import pellumo  # noqa: E402
import pellumo_artifacts  # noqa: E402

TS = pa.timestamp("ns", tz="UTC")


@pytest.fixture(scope="module", params=["windows10", "windows8"])
def store(request, tmp_path_factory):
    path = tmp_path_factory.mktemp(request.param) / "Windows.edb"
    return pellumo_artifacts.open(write_database(path, fixture.modern_tables(request.param), page_size=32768))


def by_id(table, key="WorkID"):
    return {row[key]: row for row in table.to_pylist()}


@pytest.mark.parametrize("page_size, version, revision", FORMATS)
def test_every_table_in_every_format(tmp_path, page_size, version, revision):
    path = write_database(tmp_path / "Windows.edb", fixture.modern_tables(), page_size=page_size,
                          format_version=version, format_revision=revision)
    artifact = pellumo_artifacts.open(path)
    assert artifact.kind == "search"
    assert {name: t.num_rows for name, t in artifact.tables().items()} == fixture.EXPECTED


def test_items_are_named_by_property(store):
    items = store.table("items")
    names = set(items.column_names)
    assert {"WorkID", "System_Search_GatherTime", "System_Search_AutoSummary", "InvertedOnlyMD5"} <= names
    assert not [n for n in names if n[:1].isdigit()]  # no prefix left


@pytest.mark.parametrize(
    "prop, arrow_type",
    [
        ("System_Search_GatherTime", TS),
        ("System_DateModified", TS),
        ("System_ActivityHistory_StartTime", TS),
        ("System_Size", pa.uint64()),
        ("System_ThumbnailCacheId", pa.uint64()),
        ("System_ActivityHistory_ActiveDuration", pa.duration("ns")),
        ("System_Kind", pa.list_(pa.string())),
        ("System_Search_AutoSummary", pa.string()),
        ("InvertedOnlyMD5", pa.binary()),
        ("System_IsFolder", pa.bool_()),
    ],
)
def test_property_types(store, prop, arrow_type):
    assert store.table("items").schema.field(prop).type == arrow_type


def test_property_values(store):
    items = by_id(store.table("items"))
    assert items[1]["System_DateModified"].value == fixture.ns(fixture.MODIFIED)
    assert items[1]["System_Search_GatherTime"].value == fixture.ns(fixture.GATHERED)
    assert items[1]["System_Size"] == 174
    assert items[1]["System_ThumbnailCacheId"] == 0x1122334455667788
    assert items[1]["System_ItemPathDisplay"] == "C:\\Users\\Analyst\\Documents\\plan.txt"  # NUL gone
    assert items[2]["System_Kind"] == ["folder", "searchfolder"]
    assert items[4]["System_ActivityHistory_ActiveDuration"].total_seconds() == 11
    assert items[1]["Undecoded"] == []


def test_values_that_do_not_decode_stay_bytes_and_are_counted(store):
    item = by_id(store.table("items"))[3]
    assert item["System_Kind"] is None and item["System_ItemDate"] is None
    assert dict(item["Undecoded"]) == {"System_Kind": b"p\x00r\x00o", "System_ItemDate": b"\x01\x02\x03\x04"}
    warnings = "\n".join(store.warnings)
    assert "System_Kind" in warnings and "System_ItemDate" in warnings


def test_files(store):
    files = by_id(store.table("files"))
    assert sorted(files) == [1, 2, 3]
    plan = files[1]
    assert (plan["Path"], plan["Size"], plan["MimeType"], plan["ItemType"], plan["Content"]) == (
        "C:\\Users\\Analyst\\Documents\\plan.txt", 174, "text/plain", ".txt", "Quarterly plan")
    assert [plan[c].value for c in ("Modified", "Created", "Accessed", "Gathered")] == [
        fixture.ns(fixture.MODIFIED), fixture.ns(fixture.CREATED), fixture.ns(fixture.ACCESSED), fixture.ns(fixture.GATHERED)]
    # No display path in the store: the gatherer's scope chain gives it.
    assert files[3]["Path"] == "C:\\Users\\Analyst\\Downloads\\tool.exe"
    assert files[2]["IsFolder"] is True


def test_activities(store):
    (activity,) = store.table("activities").to_pylist()
    assert activity["WorkID"] == 4 and activity["AppName"] == "Notepad"
    assert activity["AppId"].endswith("\\notepad.exe") and activity["ActivityId"] == fixture.ACTIVITY_ID
    assert (activity["Start"].value, activity["End"].value) == (fixture.ns(fixture.START), fixture.ns(fixture.END))
    assert activity["Duration"].total_seconds() == 11


def test_browser_history(store):
    history = by_id(store.table("browser_history"))
    assert history[5]["Url"] == "https://intranet.example.com/wiki" and history[5]["Title"] == "Team wiki"
    assert history[5]["Visited"].value == fixture.ns(fixture.VISITED) and history[5]["UserSid"] == fixture.SID
    assert history[6]["Url"] == "https://www.example.org/" and history[6]["Title"] == "Example"
    assert history[6]["Visited"].value == fixture.ns(fixture.VISITED + 10_000_000)


def test_gather(store):
    gather = by_id(store.table("gather"), "DocumentID")
    assert gather[3]["Path"] == "C:\\Users\\Analyst\\Downloads\\tool.exe"
    assert gather[3]["Url"] == "file:C:/[e42a59ae-c23e-44ec-838b-1c85bbbf5240]/Users/Analyst/Downloads/tool.exe"
    assert gather[3]["LastModified"].value == fixture.ns(fixture.MODIFIED)  # stored big-endian
    assert gather[2]["LastModified"] is None  # 1: the gatherer's marker, no time
    assert gather[99]["Path"] is None
    assert any("loop" in w for w in store.warnings)


def test_timeline(store):
    timeline = store.timeline()
    files = timeline.filter(pc.equal(timeline["Table"], "files"))
    assert {"Modified", "Created", "Accessed", "Gathered"} <= set(files["TimeField"].to_pylist())
    assert "C:\\Users\\Analyst\\Documents\\plan.txt" in files["Summary"].to_pylist()
    activities = timeline.filter(pc.equal(timeline["Table"], "activities"))
    assert set(activities["TimeField"].to_pylist()) == {"Start", "End"}


def test_recovered_items_are_flagged(store):
    recovered = pellumo_artifacts.open(store.path, recovered=True)
    for name in ("items", "files"):
        table = recovered.table(name)
        flagged = table.filter(table["_recovered"])
        assert flagged["WorkID"].to_pylist() == [7], name
        assert recovered.schema(name) == table.schema, name
    path_column = "System_ItemPathDisplay"
    assert recovered.table("items").filter(recovered.table("items")["_recovered"])[path_column].to_pylist() == [
        "C:\\Users\\Analyst\\secret.txt"]


def test_the_schema_does_not_depend_on_records(store):
    fresh = pellumo_artifacts.open(store.path)
    for name in fresh.table_names:
        assert fresh.schema(name) == store.table(name).schema, name


# ---------------------------------------------------------------------------------------
# The older store: big-endian (Windows 7) and little-endian (Vista) numbers,
# strings obfuscated and packed.


@pytest.mark.parametrize("big_endian", [True, False], ids=["windows7", "vista"])
def test_legacy_store(tmp_path, big_endian):
    path = write_database(tmp_path / "Windows.edb", fixture.legacy_tables(big_endian))
    artifact = pellumo_artifacts.open(path)
    items = by_id(artifact.table("items"))
    first, second = items[10], items[11]
    assert first["System_Search_GatherTime"].value == fixture.ns(fixture.GATHERED)
    assert first["System_DateModified"].value == fixture.ns(fixture.MODIFIED)
    assert first["System_Size"] == 4096 and first["System_ThumbnailCacheId"] == 0x0102030405060708
    assert first["System_Image_HorizontalSize"] == 1024
    assert (first["System_ItemFolderNameDisplay"], first["System_Search_AutoSummary"], first["System_Title"],
            first["System_Author"]) == (fixture.LEGACY_FOLDER, fixture.LEGACY_SUMMARY, fixture.LEGACY_TITLE, "Analyst")
    assert (second["System_ItemFolderNameDisplay"], second["System_Author"]) == ("Users", "Admin")
    assert second["System_Size"] is None  # '********': unknown
    assert second["System_Search_AutoSummary"] is None and [k for k, _ in second["Undecoded"]] == [
        "System_Search_AutoSummary"]
    files = by_id(artifact.table("files"))
    assert files[10]["Content"] == fixture.LEGACY_SUMMARY and files[10]["Size"] == 4096


# ---------------------------------------------------------------------------------------
# The sample: a Windows 10 index.


@pytest.fixture(scope="module")
def sample(tmp_path_factory):
    source = SAMPLES_DIR / "Windows.edb.gz"
    if not source.is_file():
        pytest.skip(f"sample {source} is absent")
    path = tmp_path_factory.mktemp("sample") / "Windows.edb"
    with gzip.open(source) as f, open(path, "wb") as out:
        shutil.copyfileobj(f, out)
    return str(path)


def test_sample_every_item(sample):
    artifact = pellumo_artifacts.open(sample)
    tables = artifact.tables()
    db = pellumo.EseDatabase(sample)
    stored = pa.table(db.arrow("SystemIndex_PropertyStore", columns=["WorkID"], values="engine"))
    items = tables["items"]
    assert items["WorkID"].to_pylist() == stored["WorkID"].to_pylist()
    assert not any(map(len, items["Undecoded"].to_pylist()))  # every value of every item decodes
    assert not [w for w in artifact.warnings if "could not be decoded" in w]
    files = tables["files"]
    assert files.num_rows == pc.sum(pc.equal(items["System_Search_Store"], "file")).as_py()
    # The gatherer's scope chain gives each item's path on disk: the one its
    # URL names (the display path may show a folder's localized name).
    gather = by_id(tables["gather"], "DocumentID")
    urls = dict(zip(items["WorkID"].to_pylist(), items["System_ItemUrl"].to_pylist(), strict=True))
    on_disk = {w: u[len("file:"):].replace("/", "\\") for w, u in urls.items() if u.startswith("file:")}
    assert len(on_disk) > 900 and all(gather[w]["Path"] == path for w, path in on_disk.items())
    activities = tables["activities"]
    assert activities.num_rows == 6 and set(activities["AppName"].to_pylist()) == {"Notepad"}
    assert all(isinstance(v, uuid.UUID) for v in activities["ActivityId"].to_pylist())
    assert all(d.total_seconds() > 0 for d in activities["Duration"].to_pylist())
    assert artifact.timeline().num_rows > 0

"""pellumo_artifacts on File History catalogs: paths from the string table,
attributes by name, FILETIMEs, backup sets' times, in every page format."""

import sys

import pytest

pa = pytest.importorskip("pyarrow")

from artifact_fixtures import FH_CREATED, FH_SET_TIMES, file_history_tables  # noqa: E402
from conftest import INSTALLED, ROOT  # noqa: E402
from fixture_json import FORMATS, write_database  # noqa: E402

if not INSTALLED:
    sys.path.insert(0, str(ROOT / "python"))

import pellumo_artifacts  # noqa: E402


@pytest.mark.parametrize("page_size, version, revision", FORMATS)
def test_namespace(tmp_path, page_size, version, revision):
    path = write_database(tmp_path / "Catalog1.edb", file_history_tables(), page_size=page_size,
                          format_version=version, format_revision=revision)
    art = pellumo_artifacts.open(path)
    assert art.kind == "file_history"
    assert art.table_names == ["namespace", "file", "library", "backupset", "string", "global"]
    table = art.table("namespace")
    assert table.column_names == ["id", "parentId", "childId", "Path", "status", "fileAttrib", "Attributes",
                                  "fileCreated", "fileModified", "usn", "tCreated", "tCreatedTime", "tVisible",
                                  "tVisibleTime", "fileRecordId"]
    rows = table.to_pylist()
    assert [r["Path"] for r in rows] == ["C:\\Users\\alice\\Documents", "C:\\Users\\alice\\Documents\\report.docx",
                                        "C:\\Users\\alice\\Documents\\?UP", None]
    assert [r["Attributes"] for r in rows] == ["DIRECTORY", "READONLY|ARCHIVE", "ARCHIVE|0x80000000", ""]
    assert table.schema.field("fileCreated").type == pa.timestamp("ns", tz="UTC")
    expected = int(FH_CREATED.timestamp()) * 10**9 + FH_CREATED.microsecond * 1000 + 300
    assert table.column("fileCreated")[0].value == expected
    assert [r["tCreatedTime"] for r in rows] == [FH_SET_TIMES[1], FH_SET_TIMES[1], FH_SET_TIMES[2], None]
    assert [r["tVisibleTime"] for r in rows] == [FH_SET_TIMES[2], None, None, None]
    assert [r["usn"] for r in rows] == [1000, 2000, None, None]
    assert sorted(art.warnings) == [
        "table namespace: parentId or childId values the string table does not hold, Path left null: 1",
        "table namespace: tVisible values naming no backup set: 1"]


def test_other_tables_and_timeline(tmp_path):
    art = pellumo_artifacts.open(write_database(tmp_path / "Catalog2.edb", file_history_tables()))
    file = art.table("file").to_pylist()[0]
    assert (file["fileSize"], file["tQueuedTime"], file["tUpdatedTime"]) == (18234, FH_SET_TIMES[1], FH_SET_TIMES[2])
    assert art.table("library").to_pylist()[0]["Path"] == "C:\\Users\\alice\\Documents"
    assert art.table("backupset").column("timestamp").to_pylist() == list(FH_SET_TIMES.values())
    assert art.table("global").to_pylist() == [{"id": 1, "key": "Version", "value": "6"}]
    for name in art.table_names:
        assert art.schema(name) == art.table(name).schema, name
    rows = art.timeline().to_pylist()
    assert {(r["Table"], r["TimeField"]) for r in rows} == {("namespace", "fileCreated"),
                                                           ("namespace", "fileModified"), ("backupset", "timestamp")}
    assert "path: C:\\Users\\alice\\Documents\\report.docx" in {r["Summary"] for r in rows}


def test_recovered_entries(tmp_path):
    art = pellumo_artifacts.open(write_database(tmp_path / "Catalog1.edb", file_history_tables(recovered_rows=True)),
                                 recovered=True)
    rows = art.table("namespace").to_pylist()
    assert [(r["id"], r["_recovered"]) for r in rows] == [(1, False), (2, False), (3, False), (4, False), (5, True)]
    assert rows[-1]["Path"] == "C:\\Users\\alice\\report.docx" and rows[-1]["tCreatedTime"] == FH_SET_TIMES[2]

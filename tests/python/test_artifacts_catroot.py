"""pellumo_artifacts on catroot's catdb: one row per digest with the catalogs
listing it, from SHA-1 and SHA-256 tables, in every page format."""

import sys

import pytest

pa = pytest.importorskip("pyarrow")

from artifact_fixtures import catroot_tables  # noqa: E402
from conftest import INSTALLED, ROOT  # noqa: E402
from fixture_json import FORMATS, Column, Table, write_database  # noqa: E402

if not INSTALLED:
    sys.path.insert(0, str(ROOT / "python"))

import pellumo_artifacts  # noqa: E402

EXPECTED = [
    {"Algorithm": "sha1", "Digest": "00" * 19 + "01",
     "CatalogNames": ["Microsoft-Windows-Client-Features-Package.cat",
                      "Package_1_for_KB5005112~31bf3856ad364e35~amd64~~10.0.1.7.cat"]},
    {"Algorithm": "sha1", "Digest": "ab" * 20, "CatalogNames": ["oem12.cat"]},
    {"Algorithm": "sha256", "Digest": "0f" * 32, "CatalogNames": []},
    {"Algorithm": "sha256", "Digest": "ff" * 32, "CatalogNames": ["oem12.cat"]},
]


@pytest.mark.parametrize("page_size, version, revision", FORMATS)
def test_catalog_hashes(tmp_path, page_size, version, revision):
    path = write_database(tmp_path / "catdb", catroot_tables(), page_size=page_size, format_version=version,
                          format_revision=revision)
    art = pellumo_artifacts.open(path)
    assert art.kind == "catroot" and art.table_names == ["catalog_hashes"]
    table = art.table("catalog_hashes")
    assert table.schema == pa.schema([("Algorithm", pa.string()), ("Digest", pa.string()),
                                      ("CatalogNames", pa.list_(pa.string()))])
    assert table.to_pylist() == EXPECTED
    assert art.schema("catalog_hashes") == table.schema
    assert art.warnings == []


def test_recovered_digests(tmp_path):
    art = pellumo_artifacts.open(write_database(tmp_path / "catdb", catroot_tables(recovered_rows=True)),
                                 recovered=True)
    rows = art.table("catalog_hashes").to_pylist()
    assert [(r["Digest"][:4], r["_recovered"]) for r in rows] == [
        ("0000", False), ("abab", False), ("cdcd", True), ("0f0f", False), ("ffff", False)]
    assert rows[2]["CatalogNames"] == ["gone.cat"]
    assert art.schema("catalog_hashes") == art.table("catalog_hashes").schema


def test_multi_valued_names_and_odd_digests(tmp_path):
    columns = [Column("HashCatNameTable_HashCol", "binary"), Column("HashCatNameTable_CatNameCol", "text",
                                                                    multi_valued=True)]
    records = [{"HashCatNameTable_HashCol": b"\x12\x34", "HashCatNameTable_CatNameCol": ["b.cat", "a.cat"]}]
    art = pellumo_artifacts.open(write_database(tmp_path / "catdb", [Table("HashCatNameTableSHA1", columns,
                                                                            records)]))
    assert art.table("catalog_hashes").to_pylist() == [
        {"Algorithm": "sha1", "Digest": "1234", "CatalogNames": ["a.cat", "b.cat"]}]
    assert art.warnings == ["table HashCatNameTableSHA1: digests that are not 20 bytes, kept as they are: 1"]

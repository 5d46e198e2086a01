"""Real databases written by the Windows database engine: every one opens and
describes its catalog."""

import gzip
import shutil

import pytest

from conftest import SAMPLES_DIR, sample_paths
from pellumo import EseDatabase

TYPE_NAMES = {
    "NULL", "Boolean", "Unsigned byte", "Signed short", "Signed long", "Currency", "Single precision FP",
    "Double precision FP", "DateTime", "Binary", "Text", "Long Binary", "Long Text", "Obsolete",
    "Unsigned long", "Long long", "GUID", "Unsigned short", "Max",
}

SAMPLES = sample_paths()


@pytest.fixture
def sample_db(request, tmp_path):
    compressed = request.param
    path = tmp_path / compressed.name[: -len(".gz")]
    with gzip.open(compressed, "rb") as source, open(path, "wb") as target:
        shutil.copyfileobj(source, target)
    return EseDatabase(str(path))


@pytest.mark.skipif(not SAMPLES, reason=f"sample databases not found in {SAMPLES_DIR}")
@pytest.mark.parametrize("sample_db", SAMPLES, ids=[p.name for p in SAMPLES], indirect=True)
def test_sample_catalog(sample_db):
    tables = sample_db.get_tables()
    assert tables[0] == "MSysObjects"
    assert len(set(tables)) == len(tables)
    assert repr(sample_db).endswith(f", tables={len(tables)}, page_size={sample_db.page_size})")
    assert sample_db.page_size in (4096, 8192, 16384, 32768)
    for table in tables:
        schema = sample_db.get_table_schema(table)
        for column in schema:
            assert list(column) == ["name", "type", "id", "nullable"]
            assert column["type"] in TYPE_NAMES
            assert isinstance(column["id"], int) and column["id"] >= 0
            assert isinstance(column["nullable"], bool)
        assert len({column["name"] for column in schema}) == len(schema)
    msysobjects = {column["name"]: column for column in sample_db.get_table_schema("MSysObjects")}
    assert msysobjects["Name"]["type"] == "Text"
    assert msysobjects["ObjidTable"]["type"] == "Signed long"

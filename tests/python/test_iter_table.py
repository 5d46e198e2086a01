"""EseDatabase.iter_table: the records of read_table, one at a time."""

import gc
import gzip
import inspect
import math
import shutil

import pytest

from conftest import SAMPLES_DIR, sample_paths
from pellumo import EseDatabase


def same_records(left, right):
    """Equality that treats NaN as equal to NaN (read_table passes NaN through)."""
    def norm(value):
        return ("nan",) if isinstance(value, float) and math.isnan(value) else value
    return [[(k, norm(v)) for k, v in r.items()] for r in left] == \
        [[(k, norm(v)) for k, v in r.items()] for r in right]


@pytest.mark.parametrize("scenario", ["sample", "python-values", "records"])
@pytest.mark.parametrize("page_size", [4096, 32768])
def test_yields_what_read_table_returns(make_db, scenario, page_size):
    db = EseDatabase(make_db(scenario, page_size=page_size))
    for table in db.get_tables():
        try:
            expected = db.read_table(table)
        except OSError:
            continue  # tables that fail part-way are checked below
        assert same_records(list(db.iter_table(table)), expected), table


def test_signature_and_iterator_protocol(make_db):
    db = EseDatabase(make_db("python-values"))
    assert str(inspect.signature(db.iter_table)) == "(table_name, *, columns=None, values='raw')"
    assert EseDatabase.iter_table.__doc__.startswith("Iterate over the records of a table")
    it = db.iter_table(table_name="Values")
    assert iter(it) is it
    assert type(it).__name__ == "TableIterator"
    with pytest.raises(TypeError):
        type(it)()


def test_unknown_table_raises_at_the_call(make_db):
    db = EseDatabase(make_db("python-values"))
    with pytest.raises(ValueError, match=r"^Table not found: values$"):
        db.iter_table("values")
    with pytest.raises(TypeError, match="table_name"):
        db.iter_table(b"Values")


@pytest.mark.parametrize("table, count", [("Chained", 7), ("Looped", 6)])
def test_broken_leaf_chains_yield_every_record(make_db, table, count):
    db = EseDatabase(make_db("python-broken-chain"))
    expected = db.read_table(table)
    assert [r["Id"] for r in expected] == list(range(1, count + 1))
    it = db.iter_table(table)
    assert list(it) == expected
    assert next(it, None) is None


def test_keeps_the_database_alive(make_db):
    db = EseDatabase(make_db("python-values"))
    expected = db.read_table("Values")
    it = db.iter_table("Values")
    del db
    gc.collect()
    assert same_records(list(it), expected)
    assert next(it, None) is None


@pytest.mark.skipif(not sample_paths(), reason=f"sample databases not found in {SAMPLES_DIR}")
@pytest.mark.parametrize("sample", sample_paths(), ids=lambda p: p.name)
def test_samples_match_read_table(tmp_path, sample):
    path = tmp_path / sample.name[:-3]
    with gzip.open(sample, "rb") as src, open(path, "wb") as dst:
        shutil.copyfileobj(src, dst)
    db = EseDatabase(str(path))
    for table in db.get_tables():
        assert same_records(list(db.iter_table(table)), db.read_table(table)), table

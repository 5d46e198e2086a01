"""read_table on real databases written by the Windows database engine: every
table of every sample reads, and known values come out as the engine stored
them."""

import gzip
import shutil
import warnings

import pytest

from conftest import SAMPLES_DIR, sample_paths
from pellumo import DamageWarning, EseDatabase

SAMPLES = sample_paths()
SAMPLE_NAMES = {p.name[: -len(".gz")] for p in SAMPLES}

pytestmark = pytest.mark.skipif(not SAMPLES, reason=f"sample databases not found in {SAMPLES_DIR}")


@pytest.fixture(scope="module")
def samples_dir(tmp_path_factory):
    """The samples decompressed once for this module."""
    target = tmp_path_factory.mktemp("samples")
    for compressed in SAMPLES:
        with gzip.open(compressed, "rb") as source, open(target / compressed.name[: -len(".gz")], "wb") as out:
            shutil.copyfileobj(source, out)
    return target


def open_sample(samples_dir, name):
    if name not in SAMPLE_NAMES:
        pytest.skip(f"{name} is not among the samples in {SAMPLES_DIR}")
    return EseDatabase(str(samples_dir / name))


@pytest.mark.parametrize("name", sorted(SAMPLE_NAMES))
def test_every_table_reads(samples_dir, name):
    db = open_sample(samples_dir, name)
    for table in db.get_tables():
        rows = db.read_table(table)
        columns = sorted(db.get_table_schema(table), key=lambda c: c["id"])
        names = list(dict.fromkeys(c["name"] for c in columns))
        assert all(list(row) == names for row in rows), table
    # The raw catalog also lists nodes flagged deleted (Windows.edb has
    # dropped tables' records there), which the table list leaves out; the
    # engine reading hides them as the engine's own cursors do.
    catalog = db.iter_table("MSysObjects", values="engine")
    assert [r["Name"] for r in catalog if r["Type"] == 1] == db.get_tables()


def only_row(db, table):
    rows = db.read_table(table)
    assert len(rows) == 1
    return rows[0]


def test_text_sample(samples_dir):
    row = only_row(open_sample(samples_dir, "text.edb"), "text")
    # Seven-bit compressed inside the record.
    assert row["MaxLongCompressedASCII"] == "Max long compressed ASCII text that can be a bit longer " + "a" * 900
    # A compressed chunk of the long-value tree.
    assert row["LongCompressedASCII"] == "Long compressed ASCII text " + "a" * 1024
    # A NULL fixed column: its filler bytes are not a value.
    assert row["NullableFixedASCII"] is None
    assert row["ASCII"] == "Simple ASCII text"
    assert row["Unicode"] == "Simple Unicode text \U0001F98A"


def test_binary_sample(samples_dir):
    row = only_row(open_sample(samples_dir, "binary.edb"), "binary")
    assert row["MaxLongCompressedBinary"] == b"test max long compressed binary data " + b"a" * 900
    assert type(row["LongCompressedBinary"]) is bytes
    assert len(row["LongCompressedBinary"]) == 1033
    assert row["LongCompressedBinary"].startswith(b"test long compressed binary data ")
    assert row["Binary"] == b"test binary data"
    assert row["NullableBinary"] is None


def test_srum_sample(samples_dir):
    db = open_sample(samples_dir, "SRUDB.dat")
    blobs = [r["IdBlob"] for r in db.read_table("SruDbIdMapTable") if r["IdBlob"] is not None]
    assert blobs and all(type(b) is bytes for b in blobs)
    # Application and user names are kept inside the record as UTF-16 data.
    texts = [b.decode("utf-16-le") for b in blobs if len(b) % 2 == 0]
    assert any("System Reserved" in t for t in texts)
    locales = {r["LocaleName"] for r in db.read_table("MSysObjects")}
    assert "en-US".encode("utf-16-le") in locales


def test_large_page_sample(samples_dir):
    db = open_sample(samples_dir, "large.edb")
    rows = db.read_table("large")
    assert len(rows) == 16
    present = 0
    for row in rows:
        for name, value in row.items():
            if name.startswith("Column") and value is not None:
                assert value == int(name[len("Column"):]), name
                present += 1
    # Every tagged column holds its number in one of the records.
    assert present == len(rows[0]) - 1


def test_webcache_value_beside_a_torn_page(samples_dir):
    # The long-value tree of BlobEntry_1 has a torn leaf. The certificates
    # of records 3 and 7 lie whole on the sound leaves either side of it:
    # one opens its leaf (its id is the branch key left of it), the other
    # closes its leaf (the branch key right of it lies past its id).
    db = open_sample(samples_dir, "WebCacheV01.dat")
    rows = db.read_table("BlobEntry_1")
    for i in (3, 7):
        data = rows[i]["Data"]
        assert type(data) is bytes and len(data) == 8858, i
        assert data[4:8] == b"CERT"
    # What the torn leaf held stays unresolved, never empty or cut short.
    assert all(r["Data"] is None or len(r["Data"]) > 1000 for r in rows)


def _read_every_way(db, table, tmp_path):
    """The table through each reading method, each to its end."""
    db.read_table(table)
    for _ in db.iter_table(table, values="engine"):
        pass
    db.export_table(table, str(tmp_path / "table.jsonl"))
    try:
        import pyarrow as pa
    except ImportError:
        return
    pa.table(db.arrow(table))


@pytest.mark.parametrize("name", sorted(SAMPLE_NAMES))
def test_damage_warning_as_an_error_over_every_sample(samples_dir, tmp_path, name):
    """Files the engine wrote whole read without a DamageWarning on every
    path, the warning being an error; the torn WebCacheV01.dat raises it on
    the tables whose trees check() finds damaged, and only there."""
    db = open_sample(samples_dir, name)
    raised = {}
    with warnings.catch_warnings():
        warnings.simplefilter("error", DamageWarning)
        for table in db.get_tables():
            try:
                _read_every_way(db, table, tmp_path)
            except DamageWarning as warning:
                raised[table] = warning
    if name != "WebCacheV01.dat":
        assert raised == {}
        return
    damaged = {t["table"] if t["kind"] in ("long_value", "index") else t["name"]
               for t in db.check()["trees"] if t["pages_refused"] and t["kind"] in ("table", "long_value")}
    assert raised and set(raised) == damaged
    for table, warning in raised.items():
        assert (warning.path, warning.table) == (str(samples_dir / name), table)
        assert str(warning).endswith(f"run `pellumo check {samples_dir / name}` for details")

"""The export of every table of every sample database: each line parses back
with the json module, and its values are read_table's under the export's
mapping (bytes as hex, non-finite floats as 0, members sorted by name bytes,
a later duplicate name winning), down to the exact text."""

import gzip
import json
import shutil

import pytest

from conftest import SAMPLES_DIR, sample_paths
from jsonl_mapping import assert_same_values, json_object, line_text, member_order
from pellumo import EseDatabase

SAMPLES = sample_paths()

pytestmark = pytest.mark.skipif(not SAMPLES, reason=f"sample databases not found in {SAMPLES_DIR}")


@pytest.fixture(scope="module")
def samples_dir(tmp_path_factory):
    """The samples decompressed once for this module."""
    target = tmp_path_factory.mktemp("samples")
    for compressed in SAMPLES:
        with gzip.open(compressed, "rb") as source, open(target / compressed.name[: -len(".gz")], "wb") as out:
            shutil.copyfileobj(source, out)
    return target


@pytest.mark.parametrize("name", sorted(p.name[: -len(".gz")] for p in SAMPLES))
def test_export_agrees_with_read_table(samples_dir, tmp_path, name):
    db = EseDatabase(str(samples_dir / name))
    out = tmp_path / "out"
    db.export_all(str(out))
    tables = db.get_tables()
    assert tables
    checked = 0
    for table in tables:
        rows = db.read_table(table)
        with open(out / f"{table}.jsonl", "rb") as f:
            data = f.read()
        assert data.count(b"\n") == len(rows), table
        lines = data.decode("utf-8").split("\n")
        assert lines.pop() == ""  # every line ends in a line feed
        order = member_order(rows[0]) if rows else None
        for line, row in zip(lines, rows):
            # Parsed back, the values are read_table's under the mapping...
            assert_same_values(json.loads(line), json_object(row, order))
            # ...and the text is byte for byte what the rules give.
            assert line == line_text(row, order), table
            checked += 1
        # export_table writes the same file.
        db.export_table(table, str(tmp_path / "one.jsonl"))
        with open(tmp_path / "one.jsonl", "rb") as f:
            assert f.read() == data, table
    assert checked > 0

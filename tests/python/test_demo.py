"""The main job: scripts/demo.py on the generated sample database."""

import json
import os
import subprocess
import sys

from conftest import ROOT
from pellumo import EseDatabase


def test_sample_database_content(make_db):
    db = EseDatabase(make_db("sample"))
    users = db.read_table("Users")
    assert [u["Name"] for u in users] == ["Alice", "Bob", "Chlo\u00e9"]
    assert users[0]["Bio"] == "A biography long enough to live in the long-value tree."
    assert users[0]["Avatar"] == bytes((i * 7) & 0xFF for i in range(3000))
    assert users[1]["Bio"] is None and users[1]["Email"] == "bob@example.org"
    events = db.read_table("Events")
    assert [e["Message"] for e in events] == ["The system has rebooted without cleanly shutting down first."] * 3
    hits = db.carve_utf16le_strings()
    assert [(h["table"], h["region_kind"], h["text"]) for h in hits] == \
        [("Users", "slack", "deleted.user@example.com")]


def test_demo_prints_tables_records_export_and_carving(make_db, module_dir, tmp_path):
    path = make_db("sample", name="sample.edb")
    env = dict(os.environ, PYTHONPATH=str(module_dir))
    done = subprocess.run([sys.executable, str(ROOT / "scripts" / "demo.py"), path, str(tmp_path / "out")],
                          capture_output=True, text=True, env=env, timeout=120)
    assert done.returncode == 0, done.stderr
    out = done.stdout
    assert out.startswith(f"EseDatabase(path='{path}', tables=5, page_size=4096)")
    assert "first 3 records of Users:" in out and "'Name': 'Alice'," in out
    folder = tmp_path / "out" / "sample-jsonl"
    assert f"exported the tables as JSON Lines to {folder}/" in out
    lines = (folder / "Users.jsonl").read_text(encoding="utf-8").splitlines()
    assert [json.loads(line)["Name"] for line in lines] == ["Alice", "Bob", "Chlo\u00e9"]
    assert "'deleted.user@example.com'" in out

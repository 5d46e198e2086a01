"""Repeated calls, successful and failing, leak neither Python objects nor
mappings nor descriptors (checked in a fresh interpreter)."""

import os
import subprocess
import sys
from pathlib import Path

from conftest import write_header_file

LEAK_CHECK = Path(__file__).parent / "isolated" / "leak_check.py"


def test_no_growth_over_repeated_calls(make_db, module_dir, tmp_path):
    database = make_db("sample")
    damaged = write_header_file(tmp_path / "damaged.edb", signature=0x1234)
    records = make_db("python-broken-chain")
    remains = make_db("recovery")
    env = dict(os.environ, PYTHONPATH=str(module_dir))
    # Two halves of 300 rounds: enough for what the interpreter fills up to
    # a bound to settle, so that only growth with every round remains.
    done = subprocess.run([sys.executable, str(LEAK_CHECK), database, damaged, "600", records, remains],
                          capture_output=True, text=True, env=env, timeout=600)
    assert done.returncode == 0, done.stdout + done.stderr
    assert done.stdout.startswith("no growth after 600 rounds")

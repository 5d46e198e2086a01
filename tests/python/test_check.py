"""check(), `pellumo check`, and inputs a file system can hand over: special
files, a file cut while it is open, Ctrl-C during a long call."""

import gzip
import json
import os
import signal
import socket
import subprocess
import sys
import textwrap
import time
from pathlib import Path

import pytest
from conftest import SAMPLES_DIR, sample_paths
from pellumo import EseDatabase

CLI_SOURCE_DIR = Path(__file__).resolve().parents[2] / "python"

LARGE = {"page_size": 32768, "format_version": 0x620, "format_revision": 0x14}
FORMATS = [pytest.param({}, id="4k"), pytest.param(LARGE, id="32k")]

# Per scenario: the (tree kind, reason) pairs refused, unresolved long
# values, deleted nodes, and Alpha's Ids.
ALL = list(range(1, 13))
DAMAGE = [
    ("checksummed", set(), 0, 0, ALL),
    ("bad-checksum", {("table", "checksum")}, 0, 0, [1, 2, 5, 6, 7, 8, 9, 10, 11, 12]),
    ("foreign-child", {("table", "foreign_owner")}, 0, 0, ALL),
    ("foreign-chain", {("table", "foreign_owner")}, 0, 0, ALL),
    ("emptied-page", {("table", "empty")}, 0, 0, [1, 2, 3, 4, 7, 8, 9, 10, 11, 12]),
    ("torn-long-value", {("long_value", "checksum")}, 1, 0, ALL),
    ("deleted-nodes", set(), 0, 3, ALL),
    ("unused-catalog-types", set(), 0, 0, ALL),
]


@pytest.fixture
def cli(module_dir):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(module_dir), str(CLI_SOURCE_DIR)]))

    def run(*argv, **kwargs):
        kwargs.setdefault("capture_output", True)
        return subprocess.run([sys.executable, "-m", "pellumo_cli", *map(str, argv)], env=env, timeout=300, **kwargs)

    run.env = env
    return run


@pytest.mark.parametrize("options", FORMATS)
@pytest.mark.parametrize("scenario, refused, unresolved, deleted, ids", DAMAGE)
def test_check_reports_each_kind_of_damage(make_db, options, scenario, refused, unresolved, deleted, ids):
    db = EseDatabase(make_db(scenario, **options))
    report = db.check()
    assert set(report) == {"header", "trees", "unreached_pages", "orphan_pages", "damaged"}
    header = report["header"]
    assert header["page_size"] == options.get("page_size", 4096)
    assert (header["state"], header["state_code"], header["shadow_header_matches"]) == ("clean", 3, True)
    assert header["total_pages"] == db.total_pages
    got = {(t["kind"], r["reason"]) for t in report["trees"] for r in t["pages_refused"]}
    assert got == refused
    assert sum(t["unresolved_long_values"] for t in report["trees"]) == unresolved
    assert sum(t["deleted_nodes"] for t in report["trees"]) == deleted
    assert report["damaged"] == bool(refused)
    assert [t["damaged"] for t in report["trees"]] == [bool(t["pages_refused"]) or t["unresolved_long_values"] > 0
                                                        for t in report["trees"]]
    kinds = [(t["kind"], t["name"]) for t in report["trees"]]
    assert kinds[0] == ("catalog", "MSysObjects")
    assert ("table", "Alpha") in kinds and ("long_value", "LV") in kinds and ("table", "Beta") in kinds
    for tree in report["trees"]:
        assert tree["error"] is None
        assert tree["pages_visited"] >= 1
        for page in tree["pages_refused"]:
            assert 0 < page["page"] <= db.total_pages and page["parent"] > 0
    # What a read gives: the refused page costs only its own records.
    assert [r["Id"] for r in db.read_table("Alpha")] == ids


def test_empty_tagged_value_is_not_null(make_db):
    # Large pages give every tagged value a flag byte: present, nothing after
    # it, is an empty value.
    db = EseDatabase(make_db("python-values", page_size=32768, format_version=0x620, format_revision=0x11))
    assert db.read_table("Values")[2]["Blob"] == b""
    assert EseDatabase(make_db("python-values")).read_table("Values")[2]["Blob"] is None


def test_temporary_database_has_no_catalog(make_db):
    with pytest.raises(OSError) as raised:
        EseDatabase(make_db("temporary"))
    assert type(raised.value) is OSError
    assert str(raised.value) == "Failed to open database: Corrupt structure: page 4 refused (foreign_owner)"


@pytest.mark.parametrize("page_size", [4096, 32768])
def test_trees_past_page_100000(tmp_path, page_size):
    from conftest import FIXTURE_TOOL
    if FIXTURE_TOOL is None:
        pytest.skip("the fixture tool is not built")
    path = tmp_path / "far.edb"
    subprocess.run([str(FIXTURE_TOOL), "far-tree", str(path), "--page-size", str(page_size)], check=True)
    db = EseDatabase(str(path))
    assert db.total_pages > 100000
    rows = db.read_table("Alpha")
    assert [r["Id"] for r in rows] == ALL
    assert [len(r["Blob"]) for r in rows if r["Id"] % 3 == 0] == [739, 778, 817, 856]
    assert [r["Id"] for r in db.read_table("Beta")] == ALL


# --- the command line ------------------------------------------------------------


def test_cli_check_summary_and_status(cli, make_db):
    clean = cli("check", make_db("checksummed"))
    assert (clean.returncode, clean.stderr) == (0, b"")
    text = clean.stdout.decode()
    # The state is how the engine shut down; the verdict is about damage:
    # the report never calls the two by one word.
    assert "state clean shutdown, shadow header agrees" in text
    assert "table Alpha: " in text and "long_value LV of Alpha: " in text
    assert text.endswith("\nno damage found\n")
    assert text.count("clean") == 1

    damaged = cli("check", make_db("bad-checksum"))
    assert damaged.returncode == 3
    text = damaged.stdout.decode()
    assert "1 refused (checksum at page " in text and "look like lost pages" not in text
    assert text.endswith("\ndamage found\n")

    truncated = cli("check", make_db("truncated-tree"))
    assert truncated.returncode == 3
    assert "table Beta: 4 pages, 3 refused (out_of_range at page " in truncated.stdout.decode()

    as_json = cli("check", "--json", make_db("foreign-chain"))
    assert as_json.returncode == 3
    report = json.loads(as_json.stdout)
    assert report["damaged"] is True
    assert {r["reason"] for t in report["trees"] for r in t["pages_refused"]} == {"foreign_owner"}

    missing = cli("check", "/nonexistent/x.edb")
    assert missing.returncode == 1
    assert missing.stderr.startswith(b"pellumo: error: ")


@pytest.mark.skipif(not sample_paths(), reason=f"sample databases not found in {SAMPLES_DIR}")
def test_cli_check_of_every_sample(cli, tmp_path):
    # The WebCache was copied from a running system: left dirty, with torn
    # pages inside its trees. Every other sample is sound.
    damaged = {"WebCacheV01.dat"}
    for gz in sample_paths():
        path = tmp_path / gz.stem
        path.write_bytes(gzip.decompress(gz.read_bytes()))
        done = cli("check", "--json", path)
        report = json.loads(done.stdout)
        assert report["damaged"] == (path.name in damaged), gz.name
        assert done.returncode == (3 if path.name in damaged else 0), gz.name
        assert report["header"]["state"] == ("dirty" if path.name in damaged else "clean"), gz.name


# --- odd inputs ---------------------------------------------------------------------


def test_special_files_fail_at_once(tmp_path):
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    sock_path = tmp_path / "sock"
    server = socket.socket(socket.AF_UNIX)
    server.bind(str(sock_path))
    try:
        for path in (fifo, sock_path, Path("/dev/null")):
            started = time.monotonic()
            with pytest.raises(OSError) as raised:
                EseDatabase(str(path))
            assert type(raised.value) is OSError
            assert str(raised.value) == "Failed to open database: IO error: Not a regular file or block device"
            assert time.monotonic() - started < 5
        with pytest.raises(OSError, match="Is a directory"):
            EseDatabase(str(tmp_path))
    finally:
        server.close()


TRUNCATE = textwrap.dedent("""
    import os, sys
    from pellumo import EseDatabase
    path = sys.argv[1]
    db = EseDatabase(path)
    before = len(db.read_table("Alpha"))
    os.truncate(path, 3 * db.page_size)      # another program cuts the file
    outcomes = []
    for call in (lambda: db.read_table("Alpha"), lambda: list(db.iter_table("Beta")), db.check,
                 lambda: db.carve_utf16le_strings_scoped("all")):
        try:
            call()
            outcomes.append("ok")
        except OSError as error:
            outcomes.append(str(error))
    print(before, outcomes)
""")


def test_file_cut_while_open_raises_instead_of_killing(module_dir, make_db):
    path = make_db("checksummed", page_size=32768, format_version=0x620, format_revision=0x14)
    env = dict(os.environ, PYTHONPATH=str(module_dir))
    done = subprocess.run([sys.executable, "-c", TRUNCATE, path], capture_output=True, text=True, env=env,
                          timeout=120)
    assert done.returncode == 0, done.stderr
    before, outcomes = done.stdout.split(" ", 1)
    assert before == "12"
    assert outcomes.strip() == str(["File changed size while open"] * 4)


INTERRUPT = textwrap.dedent("""
    import os, signal, sys, threading
    from pellumo import EseDatabase
    db = EseDatabase(sys.argv[1])
    threading.Timer(0.3, lambda: os.kill(os.getpid(), signal.SIGINT)).start()
    try:
        while True:
            db.read_table("bench")
    except KeyboardInterrupt:
        print("interrupted")
""")


@pytest.fixture(scope="module")
def big_db(tmp_path_factory):
    """A table large enough that reading it takes seconds."""
    from conftest import FIXTURE_TOOL
    if FIXTURE_TOOL is None:
        pytest.skip("the fixture tool is not built")
    path = tmp_path_factory.mktemp("big") / "big.edb"
    subprocess.run([str(FIXTURE_TOOL), "bench-million", str(path), "--records", "400000"], check=True)
    return str(path)


def test_long_read_notices_ctrl_c(module_dir, big_db):
    path = big_db
    env = dict(os.environ, PYTHONPATH=str(module_dir))
    started = time.monotonic()
    done = subprocess.run([sys.executable, "-c", INTERRUPT, path], capture_output=True, text=True, env=env,
                          timeout=120)
    assert (done.returncode, done.stdout) == (0, "interrupted\n"), done.stderr
    assert time.monotonic() - started < 60


def test_cli_ctrl_c_exits_130_without_traceback(cli, big_db):
    path = big_db
    # Nobody reads the dump at first: the command is in the middle of it,
    # blocked on a full pipe, when Ctrl-C comes.
    proc = subprocess.Popen([sys.executable, "-m", "pellumo_cli", "dump", path, "bench"], env=cli.env,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    time.sleep(1.5)
    proc.send_signal(signal.SIGINT)
    sent = time.monotonic()
    _, stderr = proc.communicate(timeout=30)
    assert proc.returncode == 130
    assert time.monotonic() - sent < 5
    assert b"Traceback" not in stderr

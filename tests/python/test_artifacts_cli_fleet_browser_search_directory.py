"""The webcache, search and ntds kinds through `pellumo artifacts` (found in
folders by their file names, written as Parquet, CSV and JSON Lines: lists,
maps, UUIDs, nested times and durations included, no secret anywhere) and
through pellumo_fleet ("artifact:<kind>/<table>" over many files)."""

import csv
import json
import sys

import pytest

pa = pytest.importorskip("pyarrow")
import pyarrow.parquet as pq  # noqa: E402
import ntds_fixture  # noqa: E402
import search_fixture  # noqa: E402
import webcache_fixture  # noqa: E402
from conftest import INSTALLED, ROOT  # noqa: E402
from fixture_json import write_database  # noqa: E402
from test_cli import cli  # noqa: E402, F401 - the fixture

if not INSTALLED:
    sys.path.insert(0, str(ROOT / "python"))

import pellumo_artifacts  # noqa: E402
import pellumo_fleet  # noqa: E402

USERS_DN = "CN=Users,DC=contoso,DC=com"


@pytest.fixture(scope="module")
def evidence(tmp_path_factory):
    """A collection as found on disk: a user's WebCache, the search index and a
    domain controller's directory, each under the folder Windows keeps it in."""
    root = tmp_path_factory.mktemp("evidence")
    local = root / "ws01" / "Users" / "Analyst" / "AppData" / "Local" / "Microsoft" / "Windows" / "WebCache"
    write_database(local / "WebCacheV01.dat", webcache_fixture.webcache_tables(), page_size=32768)
    index = root / "ws01" / "ProgramData" / "Microsoft" / "Search" / "Data" / "Applications" / "Windows"
    write_database(index / "Windows.edb", search_fixture.modern_tables(), page_size=32768)
    write_database(root / "dc01" / "Windows" / "NTDS" / "ntds.dit", ntds_fixture.directory_tables(), page_size=8192)
    return root


def read_back(path, fmt):
    if fmt == "parquet":
        return pq.read_table(path).to_pylist()
    if fmt == "csv":
        with open(path, newline="", encoding="utf-8") as f:
            return list(csv.DictReader(f))
    return [json.loads(line) for line in path.read_text(encoding="utf-8").splitlines()]


@pytest.mark.parametrize("fmt", ["parquet", "csv", "jsonl"])
def test_the_command_finds_and_writes_every_table(cli, evidence, tmp_path, fmt):  # noqa: F811
    out = tmp_path / "out"
    done = cli("artifacts", evidence, out, "--format", fmt, "--timeline")
    assert done.returncode == 0, done.stderr.decode()
    ext = "." + fmt
    inputs = {
        "ws01/Users/Analyst/AppData/Local/Microsoft/Windows/WebCache/WebCacheV01.dat": "webcache",
        "ws01/ProgramData/Microsoft/Search/Data/Applications/Windows/Windows.edb": "search",
        "dc01/Windows/NTDS/ntds.dit": "ntds",
    }
    for relative in inputs:
        artifact = pellumo_artifacts.open(evidence / relative)
        written = sorted(p.name for p in (out / relative).iterdir())
        assert written == sorted([t + ext for t in artifact.table_names] + ["warnings.txt"]), relative

    web = out / "ws01/Users/Analyst/AppData/Local/Microsoft/Windows/WebCache/WebCacheV01.dat"
    history = {str(r["EntryId"]): r for r in read_back(web / f"history{ext}", fmt)}
    assert (history["3"]["UrlUser"], history["3"]["UrlTarget"]) == ("Analyst", "https://www.example.org/")
    search = out / "ws01/ProgramData/Microsoft/Search/Data/Applications/Windows/Windows.edb"
    items = {str(r["WorkID"]): r for r in read_back(search / f"items{ext}", fmt)}
    undecoded = items["3"]["Undecoded"]
    kind = items["2"]["System_Kind"]
    duration = {str(r["WorkID"]): r for r in read_back(search / f"activities{ext}", fmt)}["4"]["Duration"]
    if fmt == "csv":  # lists and maps as JSON, bytes as hex
        undecoded, kind, duration = json.loads(undecoded), json.loads(kind), int(duration)
    if fmt == "parquet":
        undecoded = [[k, v.hex()] for k, v in undecoded]
        duration = duration.total_seconds() * 1e9
    assert sorted(map(tuple, undecoded)) == [("System_ItemDate", "01020304"), ("System_Kind", "700072006f")]
    assert kind == ["folder", "searchfolder"] and duration == 11_000_000_000
    directory = out / "dc01/Windows/NTDS/ntds.dit"
    users = {r["sAMAccountName"]: r for r in read_back(directory / f"users{ext}", fmt)}
    flags = users["Administrator"]["UacFlags"]
    assert (json.loads(flags) if fmt == "csv" else flags) == ["NORMAL_ACCOUNT", "DONT_EXPIRE_PASSWORD"]
    assert users["Administrator"]["DN"] == f"CN=Administrator,{USERS_DN}"
    if fmt != "parquet":
        assert users["Administrator"]["whenCreated"] == "2023-03-14T09:26:53.000000000Z"
    # No table of any input holds a secret's bytes (unicodePwd is 0x13 * 36).
    for path in out.rglob("*" + ext):
        assert ("13" * 36) not in path.read_bytes().decode("latin-1"), path
        assert b"\x13" * 36 not in path.read_bytes(), path
    timeline = read_back(out / f"timeline{ext}", fmt)
    assert {r["Artifact"] for r in timeline} == set(inputs.values())


def test_fleet_scans_artifact_tables(tmp_path):
    paths = []
    for host in ("dc01", "dc02"):
        paths.append(write_database(tmp_path / host / "ntds.dit", ntds_fixture.directory_tables(), page_size=8192))
    write_database(tmp_path / "ws01" / "WebCacheV01.dat", webcache_fixture.webcache_tables(), page_size=32768)
    result = pellumo_fleet.scan(str(tmp_path / "**" / "*.*"), "artifact:ntds/users")
    users = pa.table(result)
    alone = pellumo_artifacts.open(paths[0]).table("users")
    assert users.num_rows == 2 * alone.num_rows
    assert users.column_names == alone.column_names + ["_source"]
    assert sorted(set(users["_source"].to_pylist())) == sorted(paths)
    assert [s.reason for s in result.skipped] == ["not a ntds artifact (a webcache one)"]
    history = pa.table(pellumo_fleet.scan(str(tmp_path / "**" / "*.*"), "artifact:webcache/history"))
    assert history.num_rows == webcache_fixture.EXPECTED_ROWS["history"]

"""The webcache kind: WebCacheV01.dat as one table per container family,
checked on a database with the real schema written by the fixture writer
(every page size and format) and on the sample file."""

import gzip
import shutil
import sys

import pyarrow as pa
import pyarrow.compute as pc
import pytest
import webcache_fixture as fixture
from conftest import INSTALLED, ROOT, SAMPLES_DIR
from fixture_json import FORMATS, write_database

if not INSTALLED:
    sys.path.insert(0, str(ROOT / "python"))

import pellumo  # noqa: E402
import pellumo_artifacts  # noqa: E402


@pytest.fixture(scope="module")
def webcache_path(tmp_path_factory):
    path = tmp_path_factory.mktemp("webcache") / "WebCacheV01.dat"
    return write_database(path, fixture.webcache_tables(), page_size=32768)


@pytest.fixture(scope="module")
def webcache(webcache_path):
    return pellumo_artifacts.open(webcache_path)


def rows_by(table, key):
    return {row[key]: row for row in table.to_pylist()}


@pytest.mark.parametrize("page_size, version, revision", FORMATS)
def test_every_family_table_in_every_format(tmp_path, page_size, version, revision):
    path = write_database(tmp_path / "WebCacheV01.dat", fixture.webcache_tables(), page_size=page_size,
                          format_version=version, format_revision=revision)
    artifact = pellumo_artifacts.open(path)
    assert artifact.kind == "webcache"
    assert artifact.table_names == list(fixture.EXPECTED_ROWS)
    assert {name: t.num_rows for name, t in artifact.tables().items()} == fixture.EXPECTED_ROWS


def test_containers_text_and_times(webcache):
    containers = rows_by(webcache.table("containers"), "ContainerId")
    assert containers[2]["Name"] == "History"
    assert containers[2]["Directory"].endswith("\\History\\")
    assert containers[2]["LastAccessTime"].value == fixture.T_NS  # every 100-ns digit kept
    assert webcache.table("containers").schema.field("LastScavengeTime").type == pa.timestamp("ns", tz="UTC")


@pytest.mark.parametrize(
    "table, entry, target, user",
    [
        ("history", 3, "https://www.example.org/", "Analyst"),
        ("history", 4, "file:///C:/Users/Analyst/Documents/plan.docx", "Analyst"),
        ("history", 5, "https://intranet.local/", "svc-backup"),
        ("history_daily", 13, "https://news.example.com/", "Analyst"),
        ("history_daily", 14, ":Host: news.example.com", "Analyst"),
        ("history_daily", 15, "https://mail.example.com/inbox", "Analyst"),
        ("cookies", 6, "example.org/", "analyst"),
        ("content", 1, "https://www.example.org/", None),
        ("iecompat", 7, "iecompat:example.org|EngineBoth", None),
    ],
)
def test_url_markers_give_target_and_user(webcache, table, entry, target, user):
    row = rows_by(webcache.table(table).filter(pc.is_valid(webcache.table(table)["Url"])), "EntryId")[entry]
    assert (row["UrlTarget"], row["UrlUser"]) == (target, user)
    assert not row["Url"].endswith("\x00")  # the stored URL, without its terminator


def test_entries_carry_their_container(webcache):
    daily = webcache.table("history_daily")
    assert sorted(set(zip(daily["ContainerId"].to_pylist(), daily["ContainerName"].to_pylist(), strict=True))) == [
        (16, "MSHist012021111520211122"),
        (19, "MSHist012021112220211129"),
    ]
    compat = webcache.table("iecompat")
    assert sorted(compat["ContainerName"].to_pylist()) == ["iecompat", "iecompatua"]


def test_filetimes_never_zero_and_out_of_range(webcache):
    content = rows_by(webcache.table("content"), "EntryId")
    assert content[1]["ExpiryTime"] is None  # "never"
    assert content[2]["CreationTime"] is None  # 0
    assert content[1]["CreationTime"].value == fixture.T_NS
    assert content[2]["AccessedTime"] is None  # beyond 2262: null, and counted
    assert any("AccessedTime" in w for w in webcache.warnings)


def test_response_headers_as_text_where_text(webcache):
    content = rows_by(webcache.table("content"), "EntryId")
    assert content[1]["ResponseHeadersText"].startswith("HTTP/1.1 200 OK\r\nContent-Type: text/html")
    assert not content[1]["ResponseHeadersText"].endswith("\x00")
    assert content[2]["ResponseHeadersText"] is None and content[2]["ResponseHeaders"] == b"\x00\x01binary\xff"
    history = rows_by(webcache.table("history"), "EntryId")
    assert history[3]["ResponseHeadersText"] is None and history[3]["ResponseHeaders"] == fixture.HISTORY_BLOB


def test_downloads_decode_url_and_path(webcache):
    downloads = rows_by(webcache.table("downloads"), "EntryId")
    assert (downloads[10]["DownloadUrl"], downloads[10]["DownloadPath"]) == (fixture.DOWNLOAD_URL, fixture.DOWNLOAD_PATH)
    assert (downloads[11]["DownloadUrl"], downloads[11]["DownloadPath"]) == (None, None)
    assert any("downloads" in w and "ResponseHeaders" in w for w in webcache.warnings)


def test_cookies_of_containers_and_partitions(webcache):
    cookies = webcache.table("cookies")
    by_table = {}
    for row in cookies.to_pylist():
        by_table.setdefault(row["SourceTable"], []).append(row)
    assert sorted(by_table) == ["Container_3", "CookieEntryEx_4"]
    partition = {row["EntryId"]: row for row in by_table["CookieEntryEx_4"]}
    assert partition[1]["Domain"] == "www.example.org" and partition[1]["PartitionId"] == "M"
    assert (partition[1]["CookieName"], partition[1]["CookieValue"]) == ("session", "abc123")
    assert partition[2]["CookieValue"] is None and partition[2]["Value"] == b"\x01\x02\x03"
    assert partition[2]["Expires"] is None and partition[1]["Expires"].value == fixture.T_NS
    assert partition[1]["ContainerId"] is None


def test_unlisted_and_missing_containers(webcache):
    other = rows_by(webcache.table("other"), "EntryId")
    assert other[16]["ContainerId"] == 30 and other[16]["ContainerName"] is None
    assert other[9]["ContainerName"] == "feedplat"
    warnings = "\n".join(webcache.warnings)
    assert "Container_30" in warnings and "7" in warnings


def test_timeline_has_access_modification_and_creation(webcache):
    timeline = webcache.timeline()
    history = timeline.filter(pc.equal(timeline["Table"], "history"))
    assert set(history["TimeField"].to_pylist()) == {"AccessedTime", "ModifiedTime"}
    assert "https://www.example.org/" in history["Summary"].to_pylist()
    content = timeline.filter(pc.equal(timeline["Table"], "content"))
    assert "CreationTime" in content["TimeField"].to_pylist()


def test_recovered_entries_are_flagged(webcache_path):
    recovered = pellumo_artifacts.open(webcache_path, recovered=True)
    history = recovered.table("history")
    flagged = history.filter(history["_recovered"]).to_pylist()
    assert [(row["EntryId"], row["UrlTarget"], row["UrlUser"]) for row in flagged] == [
        (17, "https://deleted.example.net/", "Analyst")]
    assert history.num_rows == fixture.EXPECTED_ROWS["history"] + 1
    assert not pc.any(recovered.table("content")["_recovered"]).as_py()
    assert recovered.schema("history") == history.schema


def test_the_schema_does_not_depend_on_records(webcache, webcache_path):
    fresh = pellumo_artifacts.open(webcache_path)
    for name in fresh.table_names:
        assert fresh.schema(name) == webcache.table(name).schema, name


# ---------------------------------------------------------------------------------------
# The sample: a dirty WebCache with torn pages.


@pytest.fixture(scope="module")
def sample(tmp_path_factory):
    source = SAMPLES_DIR / "WebCacheV01.dat.gz"
    if not source.is_file():
        pytest.skip(f"sample {source} is absent")
    path = tmp_path_factory.mktemp("sample") / "WebCacheV01.dat"
    with gzip.open(source) as f, open(path, "wb") as out:
        shutil.copyfileobj(f, out)
    return str(path)


def test_sample_every_container_entry_lands_in_one_family(sample):
    artifact = pellumo_artifacts.open(sample)
    tables = artifact.tables()
    db = pellumo.EseDatabase(sample)
    stored = 0
    for name in db.get_tables():
        if name.startswith("Container_"):
            stored += pa.table(db.arrow(name, columns=["EntryId"], values="engine")).num_rows
    families = [t for t in artifact.table_names if t != "containers"]
    cookie_rows = pc.sum(pc.starts_with(tables["cookies"]["SourceTable"], "CookieEntryEx_")).as_py() or 0
    assert sum(tables[t].num_rows for t in families) - cookie_rows == stored
    history = tables["history"]
    assert set(history["UrlUser"].drop_null().to_pylist()) == {"Administrator"}
    assert history["UrlTarget"].drop_null().to_pylist()[0].startswith("file:///")
    assert tables["content"]["ResponseHeadersText"].drop_null().to_pylist()[0].startswith("HTTP/1.1")
    assert any("have no Container_N table" in w for w in artifact.warnings)
    assert artifact.timeline().num_rows > 0

"""pellumo_artifacts on BITS' qmgr.db: jobs and files decoded from their blobs
in both layouts, a blob that does not parse kept raw, files matched to their
jobs, deleted jobs recovered, in every page format."""

import sys

import pytest

pa = pytest.importorskip("pyarrow")

from artifact_fixtures import (  # noqa: E402
    BITS_CREATED,
    BITS_DONE,
    BITS_MODIFIED,
    EVIL_URL,
    FILE_A,
    FILE_B,
    FILE_GONE,
    FILE_ORPHAN,
    JOB_BROKEN,
    JOB_GONE,
    JOB_SERVER,
    JOB_WIN10,
    bits_tables,
    job_blob,
)
from conftest import INSTALLED, ROOT  # noqa: E402
from fixture_json import FORMATS, write_database  # noqa: E402

if not INSTALLED:
    sys.path.insert(0, str(ROOT / "python"))

import pellumo_artifacts  # noqa: E402
from pellumo_artifacts.bits import decode_job  # noqa: E402


def ns(when, ticks=0):
    return int(when.timestamp()) * 10**9 + when.microsecond * 1000 + ticks * 100


@pytest.mark.parametrize("page_size, version, revision", FORMATS)
def test_jobs(tmp_path, page_size, version, revision):
    path = write_database(tmp_path / "qmgr.db", bits_tables(), page_size=page_size, format_version=version,
                          format_revision=revision)
    art = pellumo_artifacts.open(path)
    assert art.kind == "bits" and art.table_names == ["jobs", "files"]
    jobs = art.table("jobs")
    assert jobs.column_names == ["JobId", "Name", "Description", "Type", "Priority", "State", "OwnerSid",
                                 "CreationTime", "ModifiedTime", "CompletionTime", "CommandLine", "Arguments",
                                 "FileIds", "Id", "Blob"]
    rows = {r["JobId"]: r for r in jobs.to_pylist()}
    win10, server, broken = rows[JOB_WIN10], rows[JOB_SERVER], rows[JOB_BROKEN]
    assert (win10["Name"], win10["Description"], win10["Type"], win10["Priority"], win10["State"]) == \
        ("Updater", "nightly", "download", "normal", "transferred")
    assert win10["CommandLine"] == "C:\\Windows\\System32\\cmd.exe" and win10["Arguments"] == "/c " + "x" * 900
    assert win10["OwnerSid"] == "S-1-5-21-1004336348-1177238915-682003330-1001"
    assert win10["FileIds"] == [FILE_A]
    times = jobs.filter(pa.compute.equal(jobs.column("JobId"), JOB_WIN10))
    assert times.column("CreationTime")[0].value == ns(BITS_CREATED, 4)
    assert win10["ModifiedTime"] == BITS_MODIFIED and win10["CompletionTime"] == BITS_DONE
    # The layout without the marker; times not yet set are null.
    assert (server["Name"], server["Type"], server["Priority"], server["State"]) == ("Sync", "upload", "low", "error")
    assert server["CommandLine"] is None and server["FileIds"] == [FILE_B]
    assert server["CreationTime"] == BITS_CREATED and server["CompletionTime"] is None
    # A blob that does not parse: the row stays, with its raw blob.
    assert broken["Name"] is None and broken["Blob"] == b"\x01\x02\x03 not a job"
    assert art.warnings == ["table jobs: blobs that do not parse, kept raw: 1"]
    assert art.schema("jobs") == jobs.schema


def test_files(tmp_path):
    art = pellumo_artifacts.open(write_database(tmp_path / "qmgr.db", bits_tables()))
    files = {r["FileId"]: r for r in art.table("files").to_pylist()}
    a, b, orphan = files[FILE_A], files[FILE_B], files[FILE_ORPHAN]
    assert (a["JobId"], a["SourceUrl"], a["DestinationPath"], a["BytesTotal"], a["BytesTransferred"]) == \
        (JOB_WIN10, EVIL_URL, "C:\\Users\\Public\\a.exe", 73802, 73802)
    assert a["TemporaryPath"] == "C:\\Users\\Public\\BIT1A2B.tmp"
    assert a["VolumeGuid"] == "\\\\?\\Volume{6c3a2d1e-0000-0000-0000-100000000000}\\"
    assert (b["JobId"], b["BytesTotal"], b["BytesTransferred"]) == (JOB_SERVER, None, 0)   # size not yet known
    assert orphan["JobId"] is None and orphan["SourceUrl"] == "http://example.org/x"
    assert art.schema("files") == art.table("files").schema


def test_recovered_jobs_are_decoded(tmp_path):
    art = pellumo_artifacts.open(write_database(tmp_path / "qmgr.db", bits_tables(recovered_rows=True)),
                                 recovered=True)
    jobs = {r["JobId"]: r for r in art.table("jobs").to_pylist()}
    assert jobs[JOB_GONE]["Name"] == "Deleted job" and jobs[JOB_GONE]["_recovered"] is True
    assert jobs[JOB_WIN10]["_recovered"] is False
    files = {r["FileId"]: r for r in art.table("files").to_pylist()}
    assert files[FILE_GONE]["JobId"] == JOB_GONE and files[FILE_GONE]["_recovered"] is True
    for name in art.table_names:
        assert art.schema(name) == art.table(name).schema


def test_timeline(tmp_path):
    art = pellumo_artifacts.open(write_database(tmp_path / "qmgr.db", bits_tables()))
    rows = art.timeline().to_pylist()
    assert [(r["TimeField"], r["Summary"]) for r in rows if "Updater" in r["Summary"]] == [
        (field, f"job: Updater; url: {EVIL_URL}; path: C:\\Users\\Public\\a.exe")
        for field in ("CreationTime", "ModifiedTime", "CompletionTime")]
    assert len(rows) == 4   # Sync has only its creation time; the broken job none


@pytest.mark.parametrize("blob, job_id, expect", [
    (job_blob(JOB_WIN10, name="n"), JOB_WIN10, "n"),
    (job_blob(JOB_WIN10, name="n", marker=False), JOB_WIN10, "n"),
    # Found by where the GUID stands, whatever precedes the record.
    (b"\x00" * 40 + job_blob(JOB_WIN10, name="n", marker=False), JOB_WIN10, "n"),
    # Cut inside the name: no job.
    (job_blob(JOB_WIN10, name="a long name")[:60], JOB_WIN10, None),
    # Another job's blob under this Id.
    (job_blob(JOB_SERVER, name="n"), JOB_WIN10, None),
    # A count that runs past the blob.
    (job_blob(JOB_WIN10, name="n")[:36] + b"\xff\xff\xff\x7f", JOB_WIN10, None),
])
def test_decode_job_cases(blob, job_id, expect):
    import uuid

    job = decode_job(blob, uuid.UUID(job_id).bytes_le)
    assert (job["Name"] if job else None) == expect

"""BITS: the Background Intelligent Transfer Service's job database (qmgr.db,
in ProgramData\\Microsoft\\Network\\Downloader, Windows 10 and later).

Table Jobs holds one record per job and table Files one per file transfer,
each as a GUID (Id) and a serialised structure (Blob). Text in the blobs is
counted: a 32-bit count of UTF-16 code units, the terminating NUL included,
then the units.

Job blob: (a 16-byte structure marker in the layouts that carry one), then
the job's type, priority and state (32 bits each, BG_JOB_TYPE,
BG_JOB_PRIORITY and BG_JOB_STATE) and 32 further bits, the job's GUID (the
record's Id), its name, description, the command line and arguments of the
program run when the job completes or fails, the owner's SID as text, 32
bits of notification flags, the number of files and their GUIDs (the Ids of
their Files records). Further fields, whose layout varies between versions,
lead to three FILETIMEs: created, modified, completed (0: not yet); they are
found as the first three consecutive 8-byte values past the file list that
are FILETIMEs of the years 1990-2200 or 0, the first not 0.

File blob: (a marker likewise), the destination path, the source URL, the
temporary file's path, the size in bytes (all ones: not yet known), the
bytes transferred, one byte, the volume's path and its \\\\?\\Volume{GUID}\\
name.

Both layouts (with and without the marker, as Windows 10/11 and Server
builds write them) are told apart by where the job's own GUID stands, or, for
files, by which reading gives sound counted text. A blob that parses
neither way gives a row with the raw Blob, nulls elsewhere, and a warning.

What is documented and what is inferred:

- Documented by Microsoft (the BITS API reference, bits.h and the
  BitsClientJob WMI class): a job is identified by a GUID made when it is
  created; its type, priority and state take the values of BG_JOB_TYPE
  (download 0, upload 1, upload-reply 2), BG_JOB_PRIORITY (foreground 0 to
  low 3) and BG_JOB_STATE (queued 0 to cancelled 8), as TYPES, PRIORITIES
  and STATES here; a job has a display name and a description, an owner
  (a SID), a notification command line run when it completes or fails, and
  creation, last-modification and completion times as FILETIMEs; a file has
  a remote name (the URL), a local name (the destination) and a progress of
  bytes total and transferred, the total BG_SIZE_UNKNOWN (all ones) until it
  is known.
- Described by public forensic write-ups (Mandiant's 2021 study of attacker
  use of BITS): Windows 10 and later keep the queue in the ESE database
  qmgr.db, whose tables Jobs and Files hold one record per job and per file
  as the GUID (Id) and a serialised structure (Blob).
- Inferred, and not confirmed by a write-up this decoder could check: the
  byte layout of the blobs as set out above (the order of the fields, the
  16-byte marker, the 32 bits after the state, the file's temporary path and
  volume fields), and where the three times lie: they are found by scanning
  for FILETIMEs rather than read at a known offset. Every blob that does
  not fit this reading still gives its row, with the raw Blob and a warning.

Tables: jobs (JobId, Name, Description, Type, Priority, State, OwnerSid,
CreationTime, ModifiedTime, CompletionTime, CommandLine, Arguments, FileIds,
and the stored Id and Blob) and files (FileId, JobId where a job lists it,
SourceUrl, DestinationPath, TemporaryPath, BytesTotal, BytesTransferred,
VolumeGuid, Id, Blob). Blobs are decoded value by value in Python: qmgr.db
holds tens to hundreds of jobs.
"""

from __future__ import annotations

import struct
import uuid
from typing import Any

from pellumo_artifacts._arrow import pa, pc
from pellumo_artifacts._base import RECOVERED_COLUMN, Catalog, Kind, TimelineSpec
from pellumo_artifacts._convert import TIMESTAMP_NS, filetime_to_timestamp, join_present
from pellumo_artifacts._registry import register

MARKER_SIZE = 16
TYPES = {0: "download", 1: "upload", 2: "upload_reply"}
PRIORITIES = {0: "foreground", 1: "high", 2: "normal", 3: "low"}
STATES = {0: "queued", 1: "connecting", 2: "transferring", 3: "suspended", 4: "error", 5: "transient_error",
          6: "transferred", 7: "acknowledged", 8: "cancelled"}
UNKNOWN_SIZE = 0xFFFFFFFFFFFFFFFF
# FILETIMEs of 1990-01-01 and 2200-01-01: the times a job can carry.
_TIME_MIN = 122_756_256_000_000_000
_TIME_MAX = 189_025_920_000_000_000

JOB_FIELDS = pa.schema([
    pa.field("JobId", pa.string()), pa.field("Name", pa.string()), pa.field("Description", pa.string()),
    pa.field("Type", pa.string()), pa.field("Priority", pa.string()), pa.field("State", pa.string()),
    pa.field("OwnerSid", pa.string()), pa.field("CreationTime", TIMESTAMP_NS),
    pa.field("ModifiedTime", TIMESTAMP_NS), pa.field("CompletionTime", TIMESTAMP_NS),
    pa.field("CommandLine", pa.string()), pa.field("Arguments", pa.string()),
    pa.field("FileIds", pa.list_(pa.string())),
])
FILE_FIELDS = pa.schema([
    pa.field("FileId", pa.string()), pa.field("JobId", pa.string()), pa.field("SourceUrl", pa.string()),
    pa.field("DestinationPath", pa.string()), pa.field("TemporaryPath", pa.string()),
    pa.field("BytesTotal", pa.uint64()), pa.field("BytesTransferred", pa.uint64()),
    pa.field("VolumeGuid", pa.string()),
])


class _Bad(Exception):
    """The bytes are not the structure being read."""


class _Reader:
    def __init__(self, data: bytes, at: int = 0) -> None:
        self.data = data
        self.at = at

    def take(self, n: int) -> bytes:
        if n < 0 or self.at + n > len(self.data):
            raise _Bad
        out = self.data[self.at:self.at + n]
        self.at += n
        return out

    def u32(self) -> int:
        value: int = struct.unpack("<I", self.take(4))[0]
        return value

    def u64(self) -> int:
        value: int = struct.unpack("<Q", self.take(8))[0]
        return value

    def guid(self) -> str:
        return str(uuid.UUID(bytes_le=self.take(16)))

    def text(self) -> str:
        units = self.u32()
        if units == 0:
            return ""
        raw = self.take(2 * units)
        if raw[-2:] != b"\0\0":
            raise _Bad  # counted text ends in its NUL
        return raw[:-2].decode("utf-16-le", errors="replace").rstrip("\0")


def _enum(table: dict[int, str], value: int) -> str:
    return table.get(value, str(value))


def decode_job(blob: bytes, job_id: bytes | None) -> dict[str, Any] | None:
    """The job fields of a Jobs blob, or None when it does not parse.
    job_id: the record's Id in stored (little-endian GUID) order."""
    starts = []
    if job_id is not None:
        at = blob.find(job_id)
        if at >= 16:
            starts.append(at - 16)
    starts += [s for s in (MARKER_SIZE, 0) if s not in starts]
    for start in starts:
        try:
            return _job_at(blob, start, job_id)
        except (_Bad, struct.error):
            continue
    return None


def _job_at(blob: bytes, start: int, job_id: bytes | None) -> dict[str, Any]:
    r = _Reader(blob, start)
    job_type, priority, state, _ = r.u32(), r.u32(), r.u32(), r.u32()
    if job_type > 16 or priority > 16 or state > 64:
        raise _Bad
    id_bytes = r.take(16)
    if job_id is not None and id_bytes != job_id:
        raise _Bad
    out: dict[str, Any] = {"JobId": str(uuid.UUID(bytes_le=id_bytes)), "Type": _enum(TYPES, job_type),
                           "Priority": _enum(PRIORITIES, priority), "State": _enum(STATES, state)}
    out["Name"], out["Description"], out["CommandLine"], out["Arguments"] = r.text(), r.text(), r.text(), r.text()
    out["OwnerSid"] = r.text()
    r.u32()  # notification flags
    count = r.u32()
    if count > (len(blob) - r.at) // 16:
        raise _Bad
    out["FileIds"] = [r.guid() for _ in range(count)]
    times = _find_times(blob, r.at)
    out["CreationTime"], out["ModifiedTime"], out["CompletionTime"] = times
    for key in ("Description", "CommandLine", "Arguments", "OwnerSid"):
        out[key] = out[key] or None
    return out


def _find_times(blob: bytes, start: int) -> tuple[int | None, int | None, int | None]:
    """The first three consecutive FILETIME-or-0 values past `start`, the
    first a FILETIME; (None, None, None) when there are none."""
    def fits(v: int) -> bool:
        return v == 0 or _TIME_MIN <= v <= _TIME_MAX

    for at in range(start, len(blob) - 23):
        first = struct.unpack_from("<Q", blob, at)[0]
        if not _TIME_MIN <= first <= _TIME_MAX:
            continue
        second, third = struct.unpack_from("<QQ", blob, at + 8)
        if fits(second) and fits(third):
            return first, second or None, third or None
    return None, None, None


def decode_file(blob: bytes) -> dict[str, Any] | None:
    """The fields of a Files blob, or None when it does not parse."""
    for start in (0, MARKER_SIZE):
        try:
            r = _Reader(blob, start)
            destination, source, temporary = r.text(), r.text(), r.text()
            if not source and not destination:
                raise _Bad
            total, transferred = r.u64(), r.u64()
            r.take(1)
            r.text()  # the volume's path
            volume = r.text()
            return {"DestinationPath": destination or None, "SourceUrl": source or None,
                    "TemporaryPath": temporary or None, "BytesTotal": None if total == UNKNOWN_SIZE else total,
                    "BytesTransferred": None if transferred == UNKNOWN_SIZE else transferred,
                    "VolumeGuid": volume or None}
        except (_Bad, struct.error):
            continue
    return None


def _guid_bytes_le(storage: bytes | None) -> bytes | None:
    """An arrow.uuid value (UUID byte order) as the GUID is stored in blobs."""
    return None if storage is None else uuid.UUID(bytes=storage).bytes_le


@register
class Bits(Kind):
    name = "bits"
    looked_for = "tables Jobs and Files of Id and Blob"
    file_names = ("qmgr.db",)
    priority = 30

    @classmethod
    def detect(cls, catalog: Catalog) -> bool:
        return catalog.has_columns("Jobs", "Id", "Blob") and catalog.has_columns("Files", "Id", "Blob")

    def __init__(self, *args: Any, **kwargs: Any) -> None:
        super().__init__(*args, **kwargs)
        self._jobs: Any = None

    def table_names(self) -> list[str]:
        return ["jobs", "files"]

    def build(self, name: str) -> Any:
        return self._jobs_table() if name == "jobs" else self._files_table()

    def _rows(self, table: str) -> tuple[Any, list[bytes | None], list[bytes | None]]:
        rows = self.source.read(table, ["Id", "Blob"])
        ids = rows.column("Id")
        storage = [_guid_bytes_le(v) for v in (ids.combine_chunks().storage if ids.num_chunks else
                                               pa.array([], pa.binary(16))).to_pylist()]
        return rows, storage, rows.column("Blob").to_pylist()

    def _jobs_table(self) -> Any:
        if self._jobs is not None:
            return self._jobs
        rows, ids, blobs = self._rows("Jobs")
        decoded = []
        for job_id, blob in zip(ids, blobs, strict=True):
            job = decode_job(blob, job_id) if blob is not None else None
            if job is None:
                self.warnings.count("table jobs: blobs that do not parse, kept raw", 1)
                job = {"JobId": str(uuid.UUID(bytes_le=job_id)) if job_id else None}
            decoded.append(job)
        columns = {}
        for f in JOB_FIELDS:
            values = [d.get(f.name) for d in decoded]
            if f.type == TIMESTAMP_NS:
                columns[f.name] = filetime_to_timestamp(pa.array(values, pa.uint64()), self.warnings,
                                                        f"table jobs column {f.name}")
            else:
                columns[f.name] = pa.array(values, f.type)
        self._jobs = self._with_stored(pa.table(columns, schema=JOB_FIELDS), rows)
        return self._jobs

    def _files_table(self) -> Any:
        rows, ids, blobs = self._rows("Files")
        owner: dict[str, str] = {}
        jobs = self._jobs_table()
        for job_id, files in zip(jobs.column("JobId").to_pylist(), jobs.column("FileIds").to_pylist(), strict=True):
            for file_id in files or ():
                owner.setdefault(file_id, job_id)
        decoded = []
        for file_id, blob in zip(ids, blobs, strict=True):
            fields = decode_file(blob) if blob is not None else None
            if fields is None:
                self.warnings.count("table files: blobs that do not parse, kept raw", 1)
                fields = {}
            text_id = str(uuid.UUID(bytes_le=file_id)) if file_id else None
            fields["FileId"] = text_id
            fields["JobId"] = owner.get(text_id) if text_id else None
            decoded.append(fields)
        columns = {f.name: pa.array([d.get(f.name) for d in decoded], f.type) for f in FILE_FIELDS}
        return self._with_stored(pa.table(columns, schema=FILE_FIELDS), rows)

    @staticmethod
    def _with_stored(decoded: Any, rows: Any) -> Any:
        """The decoded columns, then the stored Id and Blob (and _recovered)."""
        for name in [c for c in ("Id", "Blob", RECOVERED_COLUMN) if c in rows.column_names]:
            decoded = decoded.append_column(rows.schema.field(name), rows.column(name))
        return decoded

    def timeline_specs(self) -> list[TimelineSpec]:
        return [TimelineSpec("jobs", ["CreationTime", "ModifiedTime", "CompletionTime"], self._job_summary)]

    def _job_summary(self, jobs: Any) -> Any:
        """job: Name; url: the first file's URL; path: its destination."""
        files = self.build("files")
        url: dict[str, str] = {}
        path: dict[str, str] = {}
        for job_id, source, destination in zip(files.column("JobId").to_pylist(),
                                               files.column("SourceUrl").to_pylist(),
                                               files.column("DestinationPath").to_pylist(), strict=True):
            if job_id is not None and job_id not in url:
                url[job_id], path[job_id] = source, destination
        ids = jobs.column("JobId").to_pylist()
        parts = [pc.binary_join_element_wise("job: ", jobs.column("Name"), ""),
                 pc.binary_join_element_wise("url: ", pa.array([url.get(i) for i in ids], pa.string()), ""),
                 pc.binary_join_element_wise("path: ", pa.array([path.get(i) for i in ids], pa.string()), "")]
        return join_present(parts, "; ")


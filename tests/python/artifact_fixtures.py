"""Artifact databases with the real applications' schemas, for the tests of
pellumo_artifacts, its command and the fleet: the tables, columns and types
as the applications create them, filled with records whose resolved values
the tests know."""

from __future__ import annotations

import struct
import uuid
from datetime import datetime, timezone

from fixture_json import Column, Record, Table, filetime, ole_date

# --- SRUM ----------------------------------------------------------------------------

APPLICATION = "{D10CA2FE-6FCF-4F6D-848E-B2E99266FA89}"
NETWORK_DATA = "{973F5D5C-1D90-4944-BE8E-24B94231A174}"
CONNECTIVITY = "{DD6636C4-8929-4683-974E-22C046A43763}"
APP_TIMELINE = "{5C8CF1C7-7257-4F13-B223-970EF5939312}"
ENERGY_LT = "{FEE4E14F-02A9-4550-B5CE-5FA2DA202E37}LT"
UNKNOWN_GUID = "{01234567-89AB-CDEF-0123-456789ABCDEF}"

SVCHOST = "\\Device\\HarddiskVolume3\\Windows\\System32\\svchost.exe"
PHOTOS = "Microsoft.Windows.Photos_2021.21090.10008.0_x64__8wekyb3d8bbwe"
USER_SID = "S-1-5-21-1004336348-1177238915-682003330-1001"
SRUM_HOUR = datetime(2021, 11, 16, 19, 0, tzinfo=timezone.utc)
CONNECT_START = datetime(2021, 11, 16, 18, 17, 44, 200939, tzinfo=timezone.utc)


def sid_bytes(text: str) -> bytes:
    """A SID's binary form: revision, count, 48-bit authority big-endian,
    32-bit sub-authorities little-endian."""
    parts = text.split("-")
    subs = [int(p) for p in parts[3:]]
    return bytes([int(parts[1]), len(subs)]) + int(parts[2]).to_bytes(6, "big") + struct.pack(f"<{len(subs)}I", *subs)


def utf16z(text: str) -> bytes:
    """Text as SRUM stores names: UTF-16LE with its terminating NUL."""
    return (text + "\0").encode("utf-16-le")


# IdIndex -> (IdType, IdBlob)
SRUM_IDS: dict[int, tuple[int, bytes | None]] = {
    1: (0, utf16z(SVCHOST)),
    2: (3, sid_bytes(USER_SID)),
    3: (2, utf16z(PHOTOS)),
    4: (0, None),                      # an entry without a blob
    5: (3, b"\x01\x05\x00\x00"),        # a SID cut short
    6: (3, sid_bytes("S-1-5-18")),
}
UNRESOLVED_APP = 99
UNRESOLVED_USER = 98


def _srum_ext(name: str, extra: list[Column]) -> list[Column]:
    return [Column("AutoIncId", "long", not_null=True), Column("TimeStamp", "datetime"),
            Column("AppId", "long"), Column("UserId", "long")] + extra


def srum_tables(*, rows: int = 1, recovered_rows: bool = False) -> list[Table]:
    """A SRUDB.dat: the id map, four known extensions, the long-term energy
    table, one unknown GUID table and the checkpoint table (no extension).
    `rows` repeats the application table's records (AutoIncId and TimeStamp
    stepped). recovered_rows adds deleted records for recovery."""
    ids = Table("SruDbIdMapTable", [Column("IdType", "unsigned_byte"), Column("IdIndex", "long", not_null=True),
                                    Column("IdBlob", "long_binary")],
                [{"IdType": t, "IdIndex": i, "IdBlob": b} for i, (t, b) in SRUM_IDS.items()],
                primary_key=["IdIndex"])
    if recovered_rows:
        # An entry whose live row is gone: recovered rows may resolve through it.
        ids.records = list(ids.records) + [Record({"IdType": 0, "IdIndex": 7, "IdBlob": utf16z("gone.exe")},
                                                  state="deleted_node")]
    hour = ole_date(SRUM_HOUR)
    app_columns = _srum_ext(APPLICATION, [Column("ForegroundCycleTime", "long_long"),
                                          Column("BackgroundCycleTime", "long_long"),
                                          Column("FaceTime", "long_long"),
                                          Column("ForegroundBytesRead", "long_long"),
                                          Column("ForegroundBytesWritten", "long_long")])
    base = [
        {"AutoIncId": 1, "TimeStamp": hour, "AppId": 1, "UserId": 2, "ForegroundCycleTime": 5_000_000_000,
         "ForegroundBytesRead": 4096},
        {"AutoIncId": 2, "TimeStamp": hour, "AppId": 3, "UserId": 2, "FaceTime": 12},
        {"AutoIncId": 3, "TimeStamp": hour, "AppId": UNRESOLVED_APP, "UserId": 6},
        {"AutoIncId": 4, "TimeStamp": hour, "AppId": 4, "UserId": UNRESOLVED_USER},
        {"AutoIncId": 5, "TimeStamp": hour, "AppId": 1, "UserId": 5},
    ]
    app_records: list[Record] = []
    if rows == 1:
        app_records = [Record(r) for r in base]
    else:
        app_records = [Record(dict(base[0], AutoIncId=1), repeat=rows, step={"AutoIncId": 1, "TimeStamp": 1 / 24})]
    if recovered_rows:
        app_records.append(Record({"AutoIncId": 100, "TimeStamp": hour, "AppId": 7, "UserId": 2},
                                  state="deleted_node"))
        app_records.append(Record({"AutoIncId": 101, "TimeStamp": hour, "AppId": 1, "UserId": 2},
                                  state="emptied_page"))
    application = Table(APPLICATION, app_columns, app_records, primary_key=["AutoIncId"])
    network = Table(NETWORK_DATA, _srum_ext(NETWORK_DATA, [
        Column("InterfaceLuid", "long_long"), Column("L2ProfileId", "long"), Column("L2ProfileFlags", "long"),
        Column("BytesSent", "long_long"), Column("BytesRecvd", "long_long")]),
        [{"AutoIncId": 1, "TimeStamp": hour, "AppId": 1, "UserId": 6, "InterfaceLuid": 1689399632855040,
          "BytesSent": 1234, "BytesRecvd": 98765}], primary_key=["AutoIncId"])
    connectivity = Table(CONNECTIVITY, _srum_ext(CONNECTIVITY, [
        Column("InterfaceLuid", "long_long"), Column("L2ProfileId", "long"), Column("ConnectedTime", "long"),
        Column("ConnectStartTime", "long_long"), Column("L2ProfileFlags", "long")]),
        [{"AutoIncId": 1, "TimeStamp": hour, "AppId": 1, "UserId": 2, "ConnectedTime": 3615,
          "ConnectStartTime": filetime(CONNECT_START, extra_ticks=5)},
         {"AutoIncId": 2, "TimeStamp": hour, "AppId": 1, "UserId": 2, "ConnectedTime": 0, "ConnectStartTime": 0},
         # Past the year 30000: no timestamp holds it.
         {"AutoIncId": 3, "TimeStamp": hour, "AppId": 1, "UserId": 2, "ConnectStartTime": 9_000_000_000_000_000_000}],
        primary_key=["AutoIncId"])
    timeline = Table(APP_TIMELINE, _srum_ext(APP_TIMELINE, [
        Column("Flags", "long"), Column("EndTime", "long_long"), Column("DurationMS", "long"),
        Column("appname", "text")]),  # a column whose name the resolved one must not take
        [{"AutoIncId": 1, "TimeStamp": hour, "AppId": 3, "UserId": 2, "EndTime": filetime(SRUM_HOUR),
          "DurationMS": 60000, "appname": "stored\0\0"}], primary_key=["AutoIncId"])
    energy = Table(ENERGY_LT, _srum_ext(ENERGY_LT, [Column("ActiveAcTime", "long"), Column("CsAcTime", "long")]),
                   [{"AutoIncId": 1, "TimeStamp": hour, "AppId": 1, "UserId": 6, "ActiveAcTime": 10}],
                   primary_key=["AutoIncId"])
    unknown = Table(UNKNOWN_GUID, _srum_ext(UNKNOWN_GUID, [Column("Value", "long")]),
                    [{"AutoIncId": 1, "TimeStamp": hour, "AppId": 3, "UserId": 2, "Value": 7}],
                    primary_key=["AutoIncId"])
    checkpoint = Table("SruDbCheckpointTable", [Column("ProviderId", "guid"), Column("CheckpointId", "long"),
                                                Column("NextIncId", "long")], [])
    return [ids, checkpoint, application, network, connectivity, timeline, energy, unknown]


# --- User Access Logging ---------------------------------------------------------------

FILE_SERVER = "10a9226f-50ee-49d8-a393-9a501d47ce04"
UNNAMED_ROLE = "ad495fc3-0eaa-413d-ba7d-8b13fa7ec598"
TENANT = "2417e4c3-5467-40c5-809b-12b59a86c102"
UAL_INSERT = datetime(2024, 1, 5, 10, 30, 55, 980808, tzinfo=timezone.utc)
UAL_LAST_2024 = datetime(2024, 12, 31, 23, 0, tzinfo=timezone.utc)    # a leap year: day 366 is 31 December
UAL_LAST_2021 = datetime(2021, 11, 22, 15, 56, 27, 94593, tzinfo=timezone.utc)


def ual_client_columns() -> list[Column]:
    days = [Column(f"Day{n}", "unsigned_short", tagged=True) for n in range(1, 367)]
    return [Column("RoleGuid", "guid"), Column("TenantId", "guid"), Column("TotalAccesses", "unsigned_long"),
            Column("InsertDate", "datetime"), Column("LastAccess", "datetime"), Column("Address", "binary"),
            Column("AuthenticatedUserName", "long_text"), Column("ClientName", "long_text")] + days


# Each client: (values, {day: count})
UAL_CLIENTS = [
    ({"RoleGuid": FILE_SERVER, "TenantId": TENANT, "TotalAccesses": 12, "InsertDate": filetime(UAL_INSERT, 7),
      "LastAccess": filetime(UAL_LAST_2024), "Address": bytes([10, 0, 0, 5]),
      "AuthenticatedUserName": "corp\\alice\0", "ClientName": "ws01.corp.local\0"}, {1: 2, 60: 4, 366: 6}),
    ({"RoleGuid": UNNAMED_ROLE, "TenantId": TENANT, "TotalAccesses": 3, "InsertDate": filetime(UAL_INSERT),
      "LastAccess": filetime(UAL_LAST_2021), "Address": bytes(15) + b"\x01",
      "AuthenticatedUserName": "corp\\dc01$"}, {326: 1, 366: 2}),
    ({"RoleGuid": FILE_SERVER, "TotalAccesses": 1, "Address": bytes.fromhex("20010db8000000000000000000000001"),
      "AuthenticatedUserName": "corp\\bob"}, {10: 1}),
    ({"RoleGuid": FILE_SERVER, "TotalAccesses": 0, "LastAccess": filetime(UAL_LAST_2021),
      "Address": b"\x01\x02\x03", "AuthenticatedUserName": "corp\\odd"}, {}),
]
ROLE_NAMES = {FILE_SERVER: ("File Server", "Windows Server"),
              "7fb09bd3-7fe6-435e-8348-7d8aefb6cea3": ("Print and Document Services", "Windows Server")}


def ual_tables(*, recovered_rows: bool = False) -> list[Table]:
    """Current.mdb: CLIENTS, ROLE_ACCESS, VIRTUALMACHINES, DNS."""
    records = []
    for values, days in UAL_CLIENTS:
        records.append(Record(dict(values, **{f"Day{d}": n for d, n in days.items()})))
    if recovered_rows:
        records.append(Record({"RoleGuid": FILE_SERVER, "TotalAccesses": 9, "LastAccess": filetime(UAL_LAST_2021),
                               "Address": bytes([192, 168, 1, 9]), "AuthenticatedUserName": "corp\\mallory",
                               "Day5": 9}, state="deleted_node"))
    clients = Table("CLIENTS", ual_client_columns(), records)
    roles = Table("ROLE_ACCESS", [Column("RoleGuid", "guid"), Column("FirstSeen", "datetime"),
                                  Column("LastSeen", "datetime")],
                  [{"RoleGuid": FILE_SERVER, "FirstSeen": filetime(UAL_INSERT, 3), "LastSeen": filetime(UAL_LAST_2024)},
                   {"RoleGuid": UNNAMED_ROLE, "FirstSeen": filetime(UAL_INSERT), "LastSeen": 0}])
    vms = Table("VIRTUALMACHINES", [Column("VmGuid", "guid"), Column("BIOSGuid", "guid"),
                                    Column("CreationTime", "datetime"), Column("LastSeenActive", "datetime"),
                                    Column("SerialNumber", "long_text")],
                [{"VmGuid": TENANT, "CreationTime": filetime(UAL_INSERT), "SerialNumber": "VMware-56 4d\0\0"}])
    dns = Table("DNS", [Column("LastSeen", "datetime"), Column("Address", "long_text"),
                        Column("HostName", "long_text")],
                [{"LastSeen": filetime(UAL_LAST_2021), "Address": "10.10.10.100\0", "HostName": "gc\0"}])
    return [roles, clients, dns, vms]


def system_identity_tables() -> list[Table]:
    """SystemIdentity.mdb: SYSTEM_IDENTITY, CHAINED_DATABASES, ROLE_IDS."""
    identity = Table("SYSTEM_IDENTITY", [
        Column("CreationTime", "datetime"), Column("PhysicalProcessorCount", "unsigned_byte"),
        Column("MaximumMemory", "long_long"), Column("OSMajor", "unsigned_byte"), Column("OSMinor", "unsigned_byte"),
        Column("OSBuildNumber", "unsigned_short"), Column("OSDaylightInEffect", "bit"),
        Column("SystemManufacturer", "long_text"), Column("SystemDNSHostName", "long_text"),
        Column("SystemDomainName", "long_text"), Column("OSLastBootUpTime", "long_text")],
        [{"CreationTime": filetime(UAL_INSERT), "PhysicalProcessorCount": 2, "MaximumMemory": 8 << 30, "OSMajor": 10,
          "OSMinor": 0, "OSBuildNumber": 17763, "OSDaylightInEffect": True,
          "SystemManufacturer": "VMware, Inc." + "\0" * 40, "SystemDNSHostName": "FS01\0\0",
          "SystemDomainName": "corp.local\0", "OSLastBootUpTime": "20240105072036.500000-420\0"}])
    chained = Table("CHAINED_DATABASES", [Column("Year", "unsigned_short"), Column("FileName", "text")],
                    [{"Year": 2021, "FileName": "{6AF6D1A1-E592-4F95-827C-0FF92FA893A9}.mdb\0"}])
    role_ids = Table("ROLE_IDS", [Column("RoleGuid", "guid"), Column("ProductName", "long_text"),
                                  Column("RoleName", "long_text")],
                     [{"RoleGuid": g, "ProductName": p + "\0", "RoleName": n + "\0"}
                      for g, (n, p) in ROLE_NAMES.items()])
    return [identity, chained, role_ids]


# --- catroot --------------------------------------------------------------------------


def _hash_table(name: str) -> list[Column]:
    return [Column(f"{name}_HashCol", "binary"), Column(f"{name}_CatNameCol", "text")]


# (algorithm, digest, catalog name) of every record
CATROOT_ROWS = [
    ("sha1", bytes.fromhex("00" * 19 + "01"), "Package_1_for_KB5005112~31bf3856ad364e35~amd64~~10.0.1.7.cat\0"),
    ("sha1", bytes.fromhex("00" * 19 + "01"), "Microsoft-Windows-Client-Features-Package.cat"),
    ("sha1", bytes.fromhex("ab" * 20), "oem12.cat"),
    ("sha1", bytes.fromhex("ab" * 20), "oem12.cat"),            # the same listing twice
    ("sha256", bytes.fromhex("ff" * 32), "oem12.cat"),
    ("sha256", bytes.fromhex("0f" * 32), None),                   # a record naming no catalog
]


def catroot_tables(*, recovered_rows: bool = False) -> list[Table]:
    sha1 = Table("HashCatNameTableSHA1", _hash_table("HashCatNameTable"),
                 [{"HashCatNameTable_HashCol": d, "HashCatNameTable_CatNameCol": n}
                  for a, d, n in CATROOT_ROWS if a == "sha1"])
    if recovered_rows:
        sha1.records = list(sha1.records) + [
            Record({"HashCatNameTable_HashCol": bytes.fromhex("cd" * 20), "HashCatNameTable_CatNameCol": "gone.cat"},
                   state="deleted_node")]
    sha256 = Table("HashCatNameTableSHA256", _hash_table("HashCatNameTable"),
                   [{"HashCatNameTable_HashCol": d, "HashCatNameTable_CatNameCol": n}
                    for a, d, n in CATROOT_ROWS if a == "sha256"])
    attributes = Table("CatNameAttrTable", [Column("CatNameAttrTable_CatNameCol", "text"),
                                            Column("CatNameAttrTable_AttrCol", "long_binary")],
                       [{"CatNameAttrTable_CatNameCol": "oem12.cat", "CatNameAttrTable_AttrCol": b"\x01\x02"}])
    return [attributes, sha1, sha256]


# --- File History ------------------------------------------------------------------------

FH_STRINGS = {1: "C:\\Users\\alice\\Documents", 2: "report.docx", 3: "?UP", 4: "C:\\Users\\alice", 5: "Documents"}
FH_SET_TIMES = {1: datetime(2023, 5, 1, 9, 0, tzinfo=timezone.utc), 2: datetime(2023, 5, 1, 10, 0, tzinfo=timezone.utc)}
FH_CREATED = datetime(2022, 12, 24, 8, 15, 30, 123456, tzinfo=timezone.utc)


def file_history_tables(*, recovered_rows: bool = False) -> list[Table]:
    strings = Table("string", [Column("id", "long"), Column("string", "long_text")],
                    [{"id": i, "string": s} for i, s in FH_STRINGS.items()], primary_key=["id"])
    sets = Table("backupset", [Column("id", "long"), Column("timestamp", "long_long")],
                 [{"id": i, "timestamp": filetime(t)} for i, t in FH_SET_TIMES.items()], primary_key=["id"])
    ns_columns = [Column("id", "long"), Column("parentId", "long"), Column("childId", "long"),
                  Column("status", "short"), Column("fileAttrib", "long"), Column("fileCreated", "long_long"),
                  Column("fileModified", "long_long"), Column("usn", "long_long"), Column("tCreated", "long"),
                  Column("tVisible", "long"), Column("fileRecordId", "long_long")]
    created = filetime(FH_CREATED, 3)
    namespace = [
        {"id": 1, "parentId": 4, "childId": 5, "fileAttrib": 0x10, "fileCreated": created, "fileModified": created,
         "usn": 1000, "tCreated": 1, "tVisible": 2},
        {"id": 2, "parentId": 1, "childId": 2, "fileAttrib": 0x21, "fileCreated": created,
         "fileModified": filetime(FH_SET_TIMES[1]), "usn": 2000, "tCreated": 1, "tVisible": 0},
        {"id": 3, "parentId": 1, "childId": 3, "fileAttrib": -0x80000000 + 0x20, "tCreated": 2, "tVisible": 7},
        {"id": 4, "parentId": 99, "childId": 2, "fileAttrib": 0},
    ]
    records = [Record(r) for r in namespace]
    if recovered_rows:
        records.append(Record({"id": 5, "parentId": 4, "childId": 2, "fileCreated": created, "tCreated": 2},
                              state="deleted_node"))
    ns = Table("namespace", ns_columns, records, primary_key=["id"])
    files = Table("file", [Column("id", "long"), Column("childId", "long"), Column("state", "short"),
                           Column("status", "short"), Column("fileSize", "long_long"), Column("tQueued", "long"),
                           Column("tCaptured", "long"), Column("tUpdated", "long")],
                  [{"id": 1, "childId": 2, "state": 0, "status": 2, "fileSize": 18234, "tQueued": 1,
                    "tCaptured": 1, "tUpdated": 2}], primary_key=["id"])
    library = Table("library", [Column("id", "long"), Column("parentId", "long"), Column("childId", "long"),
                                Column("tCreated", "long"), Column("tVisible", "long")],
                    [{"id": 1, "parentId": 4, "childId": 5, "tCreated": 1, "tVisible": 2}], primary_key=["id"])
    settings = Table("global", [Column("id", "long"), Column("key", "text"), Column("value", "long_text")],
                     [{"id": 1, "key": "Version", "value": "6\0"}], primary_key=["id"])
    return [settings, strings, sets, ns, files, library]


# --- BITS --------------------------------------------------------------------------------

# A 16-byte structure marker that blobs of one layout open with (its value
# plays no part in decoding).
BITS_MARKER = uuid.UUID("4cd3bf5e-5c8a-4ab1-9a34-19b0fbc8e0a2").bytes_le
BITS_CREATED = datetime(2024, 2, 3, 4, 5, 6, 789012, tzinfo=timezone.utc)
BITS_MODIFIED = datetime(2024, 2, 3, 4, 15, 0, tzinfo=timezone.utc)
BITS_DONE = datetime(2024, 2, 3, 4, 16, 0, tzinfo=timezone.utc)


def counted(text: str | None) -> bytes:
    """Counted text: the UTF-16 code units, NUL included, then the units."""
    if text is None:
        return struct.pack("<I", 0)
    units = (text + "\0").encode("utf-16-le")
    return struct.pack("<I", len(units) // 2) + units


def job_blob(job_id: str, *, name: str, description: str | None = None, job_type: int = 0, priority: int = 2,
             state: int = 6, command: str | None = None, arguments: str | None = None,
             owner: str = "S-1-5-21-1004336348-1177238915-682003330-1001", files: tuple[str, ...] = (),
             times: tuple[int, int, int] | None = None, marker: bool = True) -> bytes:
    out = BITS_MARKER if marker else b""
    out += struct.pack("<IIII", job_type, priority, state, 0) + uuid.UUID(job_id).bytes_le
    out += counted(name) + counted(description) + counted(command) + counted(arguments) + counted(owner)
    out += struct.pack("<II", 0x3, len(files)) + b"".join(uuid.UUID(f).bytes_le for f in files)
    # Fields between the file list and the times: error count, retry delay,
    # no-progress timeout (small numbers, never FILETIMEs).
    out += struct.pack("<III", 0, 600, 1209600)
    created, modified, done = times or (filetime(BITS_CREATED, 4), filetime(BITS_MODIFIED), filetime(BITS_DONE))
    return out + struct.pack("<QQQ", created, modified, done) + b"\x00" * 20


def file_blob(*, destination: str, url: str, temporary: str, total: int, transferred: int,
              volume: str = "\\\\?\\Volume{6c3a2d1e-0000-0000-0000-100000000000}\\", marker: bool = True) -> bytes:
    out = BITS_MARKER if marker else b""
    out += counted(destination) + counted(url) + counted(temporary)
    return out + struct.pack("<QQB", total, transferred, 1) + counted("C:\\") + counted(volume) + b"\x00" * 8


JOB_WIN10 = "8e0fb1a3-0000-4000-8000-000000000001"
JOB_SERVER = "8e0fb1a3-0000-4000-8000-000000000002"
JOB_BROKEN = "8e0fb1a3-0000-4000-8000-000000000003"
JOB_GONE = "8e0fb1a3-0000-4000-8000-000000000004"
FILE_A = "f11e0000-0000-4000-8000-00000000000a"
FILE_B = "f11e0000-0000-4000-8000-00000000000b"
FILE_ORPHAN = "f11e0000-0000-4000-8000-00000000000c"
FILE_GONE = "f11e0000-0000-4000-8000-00000000000d"
EVIL_URL = "http://203.0.113.7/payload.exe"


def bits_tables(*, recovered_rows: bool = False) -> list[Table]:
    columns = [Column("Id", "guid", not_null=True), Column("Blob", "long_binary")]
    jobs = [
        {"Id": JOB_WIN10, "Blob": job_blob(JOB_WIN10, name="Updater", description="nightly\0", files=(FILE_A,),
                                           command="C:\\Windows\\System32\\cmd.exe",
                                           arguments="/c " + "x" * 900, marker=True)},
        {"Id": JOB_SERVER, "Blob": job_blob(JOB_SERVER, name="Sync", job_type=1, priority=3, state=4,
                                            files=(FILE_B,), times=(filetime(BITS_CREATED), 0, 0), marker=False)},
        {"Id": JOB_BROKEN, "Blob": b"\x01\x02\x03 not a job"},
    ]
    files = [
        {"Id": FILE_A, "Blob": file_blob(destination="C:\\Users\\Public\\a.exe", url=EVIL_URL,
                                         temporary="C:\\Users\\Public\\BIT1A2B.tmp", total=73802, transferred=73802)},
        {"Id": FILE_B, "Blob": file_blob(destination="D:\\share\\b.dat", url="https://example.com/b.dat",
                                         temporary="D:\\share\\BIT9F.tmp", total=0xFFFFFFFFFFFFFFFF, transferred=0,
                                         marker=False)},
        {"Id": FILE_ORPHAN, "Blob": file_blob(destination="C:\\x", url="http://example.org/x", temporary="C:\\t",
                                              total=5, transferred=5)},
    ]
    job_records = [Record(j) for j in jobs]
    file_records = [Record(f) for f in files]
    if recovered_rows:
        job_records.append(Record({"Id": JOB_GONE, "Blob": job_blob(JOB_GONE, name="Deleted job",
                                                                     files=(FILE_GONE,))}, state="deleted_node"))
        file_records.append(Record({"Id": FILE_GONE, "Blob": file_blob(destination="C:\\gone.ps1", url=EVIL_URL,
                                                                       temporary="C:\\g.tmp", total=9,
                                                                       transferred=9)}, state="deleted_node"))
    return [Table("Jobs", columns, job_records, primary_key=["Id"]),
            Table("Files", columns, file_records, primary_key=["Id"])]

"""A WebCache database (WebCacheV01.dat) with the real schema, for the tests:
the Containers table, Container_N tables of several container families
(history with its user markers, daily history, content with HTTP headers,
cookies, DOM store, downloads with their UTF-16 headers, compatibility
lists, the rest), a cookie partition table and PartitionsEx.

`webcache_tables()` returns the tables and `EXPECTED` what the artifact
layer must make of them."""

from datetime import datetime, timezone

from fixture_json import Column, Record, Table, filetime

NEVER = 0x7FFF_FFFF_FFFF_FFFF
WHEN = datetime(2021, 11, 29, 21, 5, 33, 499739, tzinfo=timezone.utc)
T = filetime(WHEN, 7)  # keeps a digit a datetime cannot hold
T_NS = (T - 116_444_736_000_000_000) * 100
BEYOND_2262 = 2**62  # a FILETIME no timestamp[ns] holds


def _containers_columns():
    return [
        Column("ContainerId", "long_long", id=1),
        Column("SetId", "unsigned_long", id=2),
        Column("Flags", "unsigned_long", id=3),
        Column("Size", "long_long", id=4),
        Column("Limit", "long_long", id=5),
        Column("LastScavengeTime", "long_long", id=6),
        Column("EntryMaxAge", "unsigned_long", id=7),
        Column("LastAccessTime", "long_long", id=8),
        Column("Name", "text", id=128),
        Column("PartitionId", "long_text", id=256),
        Column("Directory", "long_text", id=257),
        Column("SecureDirectories", "long_text", id=258),
        Column("SecureUsage", "long_binary", id=259),
        Column("Group", "long_binary", id=260),
    ]


def _entry_columns():
    return [
        Column("EntryId", "long_long", id=1),
        Column("ContainerId", "long_long", id=2),
        Column("CacheId", "long_long", id=3),
        Column("UrlHash", "long_long", id=4),
        Column("SecureDirectory", "unsigned_long", id=5),
        Column("FileSize", "long_long", id=6),
        Column("Type", "unsigned_long", id=7),
        Column("Flags", "unsigned_long", id=8),
        Column("AccessCount", "unsigned_long", id=9),
        Column("SyncTime", "long_long", id=10),
        Column("CreationTime", "long_long", id=11),
        Column("ExpiryTime", "long_long", id=12),
        Column("ModifiedTime", "long_long", id=13),
        Column("AccessedTime", "long_long", id=14),
        Column("PostCheckTime", "long_long", id=15),
        Column("SyncCount", "unsigned_long", id=16),
        Column("ExemptionDelta", "unsigned_long", id=17),
        Column("Url", "long_text", id=256),
        Column("Filename", "long_text", id=257),
        Column("FileExtension", "long_text", id=258),
        Column("RequestHeaders", "long_binary", id=259),
        Column("ResponseHeaders", "long_binary", id=260),
        Column("RedirectUrl", "long_text", id=261),
        Column("Group", "long_binary", id=262),
        Column("ExtraData", "long_binary", id=263),
    ]


def _cookie_columns():
    return [
        Column("EntryId", "long_long", id=1),
        Column("MinimizedRDomainHash", "long_long", id=2),
        Column("MinimizedRDomainLength", "unsigned_long", id=3),
        Column("Flags", "unsigned_long", id=4),
        Column("Expires", "long_long", id=5),
        Column("LastModified", "long_long", id=6),
        Column("Reserved", "long_long", id=7),
        Column("CookieHash", "long_binary", id=256),
        Column("RDomain", "long_text", id=257),
        Column("Path", "long_text", id=258),
        Column("Name", "long_binary", id=259),
        Column("Value", "long_binary", id=260),
    ]


# Container id -> (name, directory); 7 is listed but has no table.
CONTAINERS = {
    1: "Content",
    2: "History",
    3: "Cookies",
    4: "iecompat",
    5: "iecompatua",
    7: "EmieSiteList",
    9: "feedplat",
    12: "iedownload",
    15: "DOMStore",
    16: "MSHist012021111520211122",
    19: "MSHist012021112220211129",
}
DOWNLOAD_URL = "https://downloads.example.org/tools/setup-2.1.exe"
DOWNLOAD_PATH = "C:\\Users\\Analyst\\Downloads\\setup-2.1.exe"
DOWNLOAD_HEADERS = (
    bytes.fromhex("40000000020000000100000000000000") + b"\x11\x22\x33" + f"{DOWNLOAD_URL}\0".encode("utf-16-le")
    + f"{DOWNLOAD_PATH}\0\0".encode("utf-16-le")
)
HTTP_HEADERS = b"HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: 1234\r\n\r\n\x00"
HISTORY_BLOB = bytes.fromhex("79000000750000003153505300") + b"\x01\x02"


def _entry(entry_id, container_id, url, **values):
    row = {
        "EntryId": entry_id,
        "ContainerId": container_id,
        "CacheId": 0,
        "UrlHash": 1000 + entry_id,
        "SecureDirectory": 0,
        "FileSize": 0,
        "Type": 1,
        "Flags": 0,
        "AccessCount": 1,
        "SyncTime": T,
        "CreationTime": 0,
        "ExpiryTime": NEVER,
        "ModifiedTime": T,
        "AccessedTime": T,
        "PostCheckTime": 0,
        "SyncCount": 0,
        "ExemptionDelta": 0,
        "Url": url,
    }
    row.update(values)
    return row


def webcache_tables():
    containers = Table(
        "Containers",
        _containers_columns(),
        [
            {
                "ContainerId": cid,
                "SetId": 0,
                "Flags": 64,
                "Size": 0,
                "Limit": 1024,
                "LastScavengeTime": 0,
                "EntryMaxAge": 0,
                "LastAccessTime": T,
                "Name": f"{name}\0",
                "PartitionId": "M\0",
                "Directory": f"C:\\Users\\Analyst\\AppData\\Local\\Microsoft\\Windows\\{name}\\\0",
            }
            for cid, name in CONTAINERS.items()
        ],
        primary_key=["ContainerId"],
    )
    entries = {
        1: [
            _entry(1, 1, "https://www.example.org/\0", ResponseHeaders=HTTP_HEADERS, Filename="index[1].htm\0",
                   CreationTime=T),
            _entry(2, 1, "https://cdn.example.org/app.js\0", ResponseHeaders=b"\x00\x01binary\xff",
                   AccessedTime=BEYOND_2262),
        ],
        2: [
            _entry(3, 2, "Visited: Analyst@https://www.example.org/\0", ResponseHeaders=HISTORY_BLOB),
            _entry(4, 2, "Visited: Analyst@file:///C:/Users/Analyst/Documents/plan.docx\0"),
            _entry(5, 2, "Visited: svc-backup@https://intranet.local/\0"),
            # Deleted: only a read with recovered records shows it.
            Record(_entry(17, 2, "Visited: Analyst@https://deleted.example.net/\0"), state="deleted_node"),
        ],
        3: [_entry(6, 3, "Cookie:analyst@example.org/\0")],
        4: [_entry(7, 4, "iecompat:example.org|EngineBoth\0", ResponseHeaders=b"\xe5\xa9\x99\x00\x01")],
        5: [_entry(8, 5, "iecompatua:Firefox Token\0")],
        9: [_entry(9, 9, "feedplat:https://feeds.example.org/\0", ResponseHeaders=b"Suggested Sites\0\0")],
        12: [
            _entry(10, 12, "iedownload:" + DOWNLOAD_URL + "\0", ResponseHeaders=DOWNLOAD_HEADERS),
            _entry(11, 12, "iedownload:broken\0", ResponseHeaders=b"\x01\x02\x03\x04"),
        ],
        15: [_entry(12, 15, "DOMStore:https://www.example.org/\0", Filename="www.example[1].xml\0")],
        16: [
            _entry(13, 16, ":2021111520211122: Analyst@https://news.example.com/\0"),
            _entry(14, 16, ":2021111520211122: Analyst@:Host: news.example.com\0"),
        ],
        19: [_entry(15, 19, ":2021112220211129: Analyst@https://mail.example.com/inbox\0")],
        # A container table the Containers table does not list.
        30: [_entry(16, 30, "https://orphan.example/\0")],
    }
    tables = [containers]
    for cid, rows in entries.items():
        tables.append(Table(f"Container_{cid}", _entry_columns(), rows, primary_key=["EntryId"]))
    tables.append(Table(
        "PartitionsEx",
        [
            Column("TableId", "long_long", id=1),
            Column("PartitionType", "unsigned_long", id=2),
            Column("SetId", "unsigned_long", id=3),
            Column("LastScavengeTime", "long_long", id=4),
            Column("PartitionId", "long_text", id=256),
            Column("Directory", "long_text", id=257),
        ],
        [{"TableId": 4, "PartitionType": 3, "SetId": 0, "LastScavengeTime": 0, "PartitionId": "M\0",
          "Directory": "C:\\Users\\Analyst\\AppData\\Local\\Microsoft\\Windows\\INetCookies\\ESE\\\0"}],
        primary_key=["TableId"],
    ))
    tables.append(Table(
        "CookieEntryEx_4",
        _cookie_columns(),
        [
            {"EntryId": 1, "MinimizedRDomainHash": 7, "MinimizedRDomainLength": 11, "Flags": 0x2000,
             "Expires": T, "LastModified": T, "RDomain": "org.example.www\0", "Path": "/\0",
             "Name": b"session\x00", "Value": b"abc123\x00"},
            {"EntryId": 2, "MinimizedRDomainHash": 8, "MinimizedRDomainLength": 9, "Flags": 0,
             "Expires": NEVER, "LastModified": 0, "RDomain": "com.example\0", "Path": "/app\0",
             "Name": b"pref\x00", "Value": b"\x01\x02\x03"},
        ],
        primary_key=["EntryId"],
    ))
    return tables


# table -> number of rows the artifact table has
EXPECTED_ROWS = {
    "containers": len(CONTAINERS),
    "history": 3,
    "history_daily": 3,
    "content": 2,
    "cookies": 1 + 2,
    "dom_store": 1,
    "downloads": 2,
    "iecompat": 2,
    "other": 2,  # feedplat, and the unlisted Container_30
}

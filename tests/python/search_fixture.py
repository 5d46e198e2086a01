"""Windows Search databases (Windows.edb) with the real schemas, for the
tests: the property store of Windows 10 and of Windows 8 (the same
properties under other numeric prefixes), and the older SystemIndex_0A of
Windows 7 (big-endian numbers) and Vista (little-endian), whose strings are
stored obfuscated and packed in each of the ways the indexer packs them.
The gatherer tables give the paths of items the store has no path for."""

import struct
import uuid
from datetime import datetime, timezone

from fixture_json import Column, Record, Table, filetime
from search_encoding import huffman_compress, obfuscate, run_length

SID = "S-1-5-21-2290304894-658537038-505560459-1001"
MODIFIED = filetime(datetime(2022, 2, 5, 19, 47, 56, tzinfo=timezone.utc), 8)
CREATED = filetime(datetime(2019, 12, 7, 9, 3, 44, tzinfo=timezone.utc), 1)
ACCESSED = filetime(datetime(2022, 2, 8, 20, 50, 15, tzinfo=timezone.utc), 3)
GATHERED = filetime(datetime(2022, 2, 8, 20, 50, 47, tzinfo=timezone.utc), 5)
START = filetime(datetime(2022, 2, 5, 19, 53, 29, tzinfo=timezone.utc))
END = START + 110_000_000  # 11 seconds later
ACTIVITY_ID = uuid.UUID("eb17bac7-c6b5-43e0-5dc6-62fc02033171")
VISITED = filetime(datetime(2022, 2, 6, 8, 0, 0, tzinfo=timezone.utc))


def ns(ticks: int) -> int:
    """A FILETIME as nanoseconds since 1970 (what timestamp[ns] holds)."""
    return (ticks - 116_444_736_000_000_000) * 100


# property -> (ESE type, stored prefix on Windows 10, on Windows 8)
PROPERTIES = {
    "System_Search_Rank": ("long", "27F", "27F"),
    "System_Search_GatherTime": ("binary", "4631F", "4436F"),
    "System_Size": ("binary", "13F", "13F"),
    "System_FileAttributes": ("unsigned_long", "14F", "14F"),
    "System_DateModified": ("binary", "15F", "15F"),
    "System_DateCreated": ("binary", "16F", "16F"),
    "System_DateAccessed": ("binary", "17F", "17F"),
    "InvertedOnlyMD5": ("binary", "0F", "0F"),
    "System_ItemPathDisplay": ("long_text", "4447", "4258"),
    "System_ItemUrl": ("long_text", "33", "33"),
    "System_ItemNameDisplay": ("long_text", "4443", "4254"),
    "System_ItemType": ("long_text", "4450", "4261"),
    "System_MIMEType": ("long_text", "4472", "4283"),
    "System_Search_AutoSummary": ("long_text", "4625", "4436"),
    "System_Search_Store": ("long_text", "4637", "4448"),
    "System_IsFolder": ("bit", "4434", "4245"),
    "System_FileOwner": ("long_text", "4396", "4207"),
    "System_Kind": ("long_binary", "4456", "4267"),
    "System_ThumbnailCacheId": ("binary", "4678", "4489"),
    "System_ActivityHistory_StartTime": ("binary", "4139", "3950"),
    "System_ActivityHistory_EndTime": ("binary", "4130", "3941"),
    "System_ActivityHistory_ActiveDuration": ("binary", "4121", "3932"),
    "System_Activity_AppDisplayName": ("long_text", "4105", "3916"),
    "System_ActivityHistory_AppId": ("long_text", "4123", "3934"),
    "System_ActivityHistory_Id": ("guid", "4132", "3943"),
    "System_ActivityHistory_AppActivityId": ("long_text", "4122", "3933"),
    "System_Activity_DisplayText": ("long_text", "4115", "3926"),
    "System_Activity_ContentUri": ("long_text", "4112", "3923"),
    "System_Link_TargetUrl": ("long_text", "4468", "4279"),
    "System_Title": ("long_text", "4682", "4493"),
    "System_Link_DateVisited": ("binary", "4462", "4273"),
    "System_ItemDate": ("binary", "4438", "4249"),
}
FIXED_IDS = {"System_Search_Rank": 2, "System_Search_GatherTime": 3, "System_Size": 4, "System_FileAttributes": 5,
             "System_DateModified": 6, "System_DateCreated": 7, "System_DateAccessed": 8, "InvertedOnlyMD5": 9}


def _le(ticks: int) -> bytes:
    return ticks.to_bytes(8, "little")


def _utf16(*items: str) -> bytes:
    return "\0".join(items).encode("utf-16-le")


# Each item: WorkID -> properties.
ITEMS = {
    1: {
        "System_Search_GatherTime": _le(GATHERED), "System_Size": (174).to_bytes(8, "little"),
        "System_FileAttributes": 32, "System_DateModified": _le(MODIFIED), "System_DateCreated": _le(CREATED),
        "System_DateAccessed": _le(ACCESSED), "InvertedOnlyMD5": bytes(range(16)),
        "System_ItemPathDisplay": "C:\\Users\\Analyst\\Documents\\plan.txt\0",
        "System_ItemUrl": "file:C:/Users/Analyst/Documents/plan.txt", "System_ItemNameDisplay": "plan.txt",
        "System_ItemType": ".txt", "System_MIMEType": "text/plain", "System_Search_AutoSummary": "Quarterly plan",
        "System_Search_Store": "file", "System_IsFolder": False, "System_FileOwner": "DESKTOP\\Analyst",
        "System_Kind": _utf16("document"), "System_ThumbnailCacheId": (0x1122334455667788).to_bytes(8, "little"),
    },
    2: {
        "System_Search_GatherTime": _le(GATHERED), "System_FileAttributes": 16,
        "System_DateModified": _le(MODIFIED), "System_DateCreated": _le(CREATED),
        "System_DateAccessed": _le(ACCESSED), "System_ItemPathDisplay": "C:\\Users\\Analyst\\Documents",
        "System_ItemUrl": "file:C:/Users/Analyst/Documents", "System_ItemType": "Directory",
        "System_Search_Store": "file", "System_IsFolder": True, "System_Kind": _utf16("folder", "searchfolder"),
    },
    # No display path: the gatherer's tables give it.
    3: {
        "System_Search_GatherTime": _le(GATHERED), "System_Size": (2048).to_bytes(8, "little"),
        "System_ItemDate": b"\x01\x02\x03\x04",  # not a FILETIME: kept as bytes, counted
        "System_ItemUrl": "file:C:/Users/Analyst/Downloads/tool.exe", "System_ItemType": ".exe",
        "System_Search_Store": "file", "System_IsFolder": False,
        "System_Kind": b"p\x00r\x00o",  # odd length: no UTF-16 text, counted
    },
    4: {
        "System_Search_GatherTime": _le(GATHERED), "System_ItemType": "ActivityHistoryItem",
        "System_Search_Store": "winrt",
        "System_ItemUrl": f"winrt://{{{SID}}}/LS/Desktop/ActivityData/ActivityHistory/{{{ACTIVITY_ID}}}",
        "System_ActivityHistory_StartTime": _le(START), "System_ActivityHistory_EndTime": _le(END),
        "System_ActivityHistory_ActiveDuration": (110_000_000).to_bytes(8, "little"),
        "System_Activity_AppDisplayName": "Notepad",
        "System_ActivityHistory_AppId": "{1AC14E77-02E7-4E5D-B744-2EB1AE5198B7}\\notepad.exe",
        "System_ActivityHistory_Id": ACTIVITY_ID, "System_ActivityHistory_AppActivityId": "ECB32AF3\\plan.txt",
        "System_Activity_DisplayText": "plan.txt",
        "System_Activity_ContentUri": "file:///C:/Users/Analyst/Documents/plan.txt",
    },
    5: {
        "System_Search_GatherTime": _le(GATHERED), "System_Search_Store": "iehistory",
        "System_ItemUrl": f"iehistory://{{{SID}}}/https://intranet.example.com/wiki",
        "System_Title": "Team wiki", "System_Link_DateVisited": _le(VISITED),
    },
    6: {
        "System_Search_GatherTime": _le(GATHERED), "System_Search_Store": "iehistory",
        "System_ItemUrl": f"iehistory://{{{SID}}}/https://www.example.org/",
        "System_Link_TargetUrl": "https://www.example.org/", "System_ItemNameDisplay": "Example",
        "System_ItemDate": _le(VISITED + 10_000_000),
    },
}
EXPECTED = {"items": 6, "files": 3, "activities": 1, "browser_history": 2, "gather": 4}


def _gather_tables():
    paths = Table(
        "SystemIndex_GthrPth",
        [Column("Scope", "unsigned_long", id=1), Column("Parent", "unsigned_long", id=2),
         Column("Name", "long_text", id=256)],
        [
            {"Scope": 2, "Parent": 1, "Name": "file:"},
            {"Scope": 3, "Parent": 2, "Name": "C:"},
            {"Scope": 4, "Parent": 3, "Name": "/"},
            {"Scope": 5, "Parent": 4, "Name": "[e42a59ae-c23e-44ec-838b-1c85bbbf5240]/"},
            {"Scope": 6, "Parent": 5, "Name": "Users/"},
            {"Scope": 7, "Parent": 6, "Name": "Analyst/"},
            {"Scope": 8, "Parent": 7, "Name": "Downloads/"},
            {"Scope": 9, "Parent": 7, "Name": "Documents/"},
            # A scope that is its own grandparent: no path, a warning.
            {"Scope": 20, "Parent": 21, "Name": "loop/"},
            {"Scope": 21, "Parent": 20, "Name": "back/"},
        ],
        primary_key=["Scope"],
    )
    gather = Table(
        "SystemIndex_Gthr",
        [Column("ScopeID", "unsigned_long", id=1, not_null=True), Column("DocumentID", "unsigned_long", id=2),
         Column("SDID", "unsigned_long", id=3), Column("LastModified", "binary", id=4, width=8),
         Column("TransactionFlags", "long", id=5), Column("FileName", "long_text", id=256)],
        [
            {"ScopeID": 8, "DocumentID": 3, "SDID": 7, "LastModified": MODIFIED.to_bytes(8, "big"),
             "TransactionFlags": 0, "FileName": "tool.exe"},
            {"ScopeID": 9, "DocumentID": 1, "SDID": 7, "LastModified": MODIFIED.to_bytes(8, "big"),
             "TransactionFlags": 0, "FileName": "plan.txt"},
            {"ScopeID": 7, "DocumentID": 2, "SDID": 7, "LastModified": b"\0" * 7 + b"\x01",
             "TransactionFlags": 0, "FileName": "Documents"},
            {"ScopeID": 20, "DocumentID": 99, "SDID": 7, "LastModified": None, "TransactionFlags": 0,
             "FileName": "lost"},
        ],
        primary_key=["ScopeID", "DocumentID"],
    )
    return [paths, gather]


def modern_tables(version: str = "windows10"):
    """The property store of Windows 10 (`windows10`) or 8 (`windows8`)."""
    which = 1 if version == "windows10" else 2
    columns = [Column("WorkID", "unsigned_long", id=1, not_null=True)]
    tagged_id = 256
    for prop, stored in PROPERTIES.items():
        ese_type, prefix = stored[0], stored[which]
        name = f"{prefix}-{prop}"
        if prop in FIXED_IDS:
            width = 16 if prop == "InvertedOnlyMD5" else 8
            columns.append(Column(name, ese_type, id=FIXED_IDS[prop], width=width if ese_type == "binary" else None))
        else:
            columns.append(Column(name, ese_type, id=tagged_id, tagged=ese_type in ("bit", "guid")))
            tagged_id += 1
    names = {prop: f"{stored[which]}-{prop}" for prop, stored in PROPERTIES.items()}
    rows = []
    for work_id, props in ITEMS.items():
        row = {"WorkID": work_id}
        row.update({names[p]: v for p, v in props.items()})
        rows.append(row)
    # Deleted: only a read with recovered records shows it.
    deleted = {"WorkID": 7, names["System_ItemPathDisplay"]: "C:\\Users\\Analyst\\secret.txt",
               names["System_Search_Store"]: "file", names["System_DateModified"]: _le(MODIFIED)}
    rows.append(Record(deleted, state="deleted_node"))
    store = Table("SystemIndex_PropertyStore", columns, rows, primary_key=["WorkID"])
    return [store, *_gather_tables()]


# The older store: property -> (ESE type, how values are written).
LEGACY_TITLE = "Budget 2010 – draft"
LEGACY_SUMMARY = "Minutes of the planning meeting, Zürich"
LEGACY_FOLDER = "Documents"


def legacy_tables(big_endian: bool = True):
    """SystemIndex_0A as Windows 7 (big-endian) or Vista (little-endian)
    wrote it, with each packing of encoded strings."""
    order = "big" if big_endian else "little"

    def number(value: int, width: int = 8) -> bytes:
        return value.to_bytes(width, order)

    def huffman_packed(kind: int, payload: bytes) -> bytes:
        return obfuscate(bytes([kind]) + struct.pack("<H", len(payload)) + huffman_compress(list(payload)))

    columns = [
        Column("DocID", "long", id=1, not_null=True),
        Column("System_Search_GatherTime", "binary", id=2, width=8),
        Column("System_Size", "binary", id=3, width=8),
        Column("System_FileAttributes", "unsigned_long", id=4),
        Column("System_DateModified", "binary", id=5, width=8),
        Column("System_ItemFolderNameDisplay", "binary", id=128),
        Column("System_ItemPathDisplay", "long_text", id=256),
        Column("System_Search_AutoSummary", "long_binary", id=257),
        Column("System_Title", "long_binary", id=258),
        Column("System_Author", "long_binary", id=259),
        Column("System_ThumbnailCacheId", "binary", id=260),
        Column("System_Search_Store", "long_text", id=261),
        Column("System_ItemUrl", "long_text", id=262),
        Column("System_Image_HorizontalSize", "binary", id=263),
    ]
    rows = [
        {
            "DocID": 10, "System_Search_GatherTime": number(GATHERED), "System_Size": number(4096),
            "System_FileAttributes": 32, "System_DateModified": number(MODIFIED),
            "System_ItemFolderNameDisplay": obfuscate(b"\x01" + LEGACY_FOLDER.encode("latin-1")),
            "System_ItemPathDisplay": "C:\\Users\\Analyst\\Documents\\budget.xlsx",
            "System_Search_AutoSummary": obfuscate(b"\x00" + run_length(LEGACY_SUMMARY)),
            "System_Title": huffman_packed(0x02, run_length(LEGACY_TITLE)),
            "System_Author": obfuscate(b"\x04" + "Analyst".encode("utf-16-le")),
            "System_ThumbnailCacheId": number(0x0102030405060708), "System_Search_Store": "file",
            "System_ItemUrl": "file:C:/Users/Analyst/Documents/budget.xlsx",
            "System_Image_HorizontalSize": number(1024, 4),
        },
        {
            "DocID": 11, "System_Search_GatherTime": number(GATHERED), "System_Size": b"********",
            "System_FileAttributes": 16, "System_DateModified": number(MODIFIED),
            "System_ItemFolderNameDisplay": huffman_packed(0x03, b"Users"),
            "System_ItemPathDisplay": "C:\\Users\\Analyst\\Documents", "System_Search_Store": "file",
            "System_Author": huffman_packed(0x06, "Admin".encode("utf-16-le")),
            "System_Search_AutoSummary": obfuscate(b"\x08junk"),  # an unknown packing: bytes, counted
            "System_ItemUrl": "file:C:/Users/Analyst/Documents",
            "System_Image_HorizontalSize": number(768, 4),
        },
    ]
    return [Table("SystemIndex_0A", columns, rows, primary_key=["DocID"]), *_gather_tables()]

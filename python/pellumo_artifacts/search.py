"""Windows Search (Windows.edb): the indexer's record of files, activities
and browsing, as named and typed tables.

The property store has one column per property, named by the property with a
numeric prefix that differs between Windows versions (`4625-System_Search_
AutoSummary`, `4631F-System_Search_GatherTime`), so columns are matched by
the part after the first dash. Windows 8 and later keep the table
SystemIndex_PropertyStore keyed by WorkID; XP, Vista and 7 keep
SystemIndex_0A keyed by DocID, with big-endian numbers (Vista: little-endian)
and encoded strings (see _search_values).
"""

from __future__ import annotations

import re
from collections.abc import Callable, Mapping, Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np

from pellumo_artifacts import _bytes_columns as bc
from pellumo_artifacts import _search_values as sv
from pellumo_artifacts._arrow import pa, pc
from pellumo_artifacts._base import Catalog, Kind, TimelineSpec
from pellumo_artifacts._convert import claim_name
from pellumo_artifacts._registry import register

# Reads a table of the database (only the columns named, when given) as a
# pyarrow.Table of engine values.
Reader = Callable[..., Any]
# A table's columns as EseDatabase.get_table_schema describes them.
SchemaOf = Callable[[str], Sequence[Mapping[str, Any]]]

KIND = "search"
TABLE_NAMES = ("items", "files", "activities", "browser_history", "gather")

MODERN_STORE = "SystemIndex_PropertyStore"
LEGACY_STORE = "SystemIndex_0A"
GATHER = "SystemIndex_Gthr"
GATHER_PATHS = "SystemIndex_GthrPth"

RECOVERED = "_recovered"
# The items column that keeps, per row, the bytes of every value that could
# not be decoded, by property name.
UNDECODED = "Undecoded"
UNDECODED_TYPE = pa.map_(pa.string(), pa.binary())

_PREFIX = re.compile(r"^[0-9]+[A-Za-z]?-")

# 8-byte binary properties that are durations in 100-ns units, not times.
_DURATIONS = frozenset(
    {
        "System_ActivityHistory_ActiveDuration",
        "System_Document_TotalEditingTime",
        "System_Media_Duration",
    }
)
# Binary properties that hold unsigned integers (sizes, counts, ids), with
# the type each has whatever width a store wrote it in.
_INTEGERS: dict[str, pa.DataType] = {
    "System_Size": pa.uint64(),
    "System_FileFRN": pa.uint64(),
    "System_ThumbnailCacheId": pa.uint64(),
    "System_TransferPosition": pa.uint64(),
    "System_TransferSize": pa.uint64(),
    "System_TransferOrder": pa.uint64(),
    "System_ActivityHistory_Importance": pa.uint64(),
    "System_StorageProviderStatus": pa.uint64(),
    "System_FileAttributes": pa.uint32(),
    "System_Search_AccessCount": pa.uint32(),
    "System_SDID": pa.uint32(),
    "__SDID": pa.uint32(),
}
# Binary properties that are digests or opaque ids: never decoded.
_OPAQUE = frozenset(
    {
        "InvertedOnlyMD5",
        "InvertedOnlyPids",
        "System_Null",
        "System_Activity_ContentVisualPropertiesHash",
        "System_Search_QueryPropertyHits",
        "System_Message_ConversationIndex",
        "System_Contact_AccountPictureDynamicVideo",
        "System_Contact_AccountPictureLarge",
        "System_Contact_AccountPictureSmall",
        "System_GPS_Latitude",
        "System_GPS_Longitude",
        "System_GPS_DestLatitude",
        "System_GPS_DestLongitude",
        "System_ThumbnailStream",
    }
)
_TIME_WORD = re.compile(r"(Date|Time)(?!Zone)")
# Properties of the older stores that are numbers in binary columns.
_LEGACY_NUMBER = re.compile(r"(Size|Width|Height|Depth|Rate|Count|Number|Year|Bitrate|Resolution|Flags)$")
# Windows 7 writes '********' where a 64-bit value is unknown.
_UNKNOWN_64 = b"*" * 8




def property_name(column: str) -> str:
    """`4625-System_Search_AutoSummary` -> `System_Search_AutoSummary`;
    names without a numeric prefix are kept."""
    return _PREFIX.sub("", column, count=1)


def _is_time_property(prop: str) -> bool:
    if prop in _DURATIONS or prop in _INTEGERS:
        return False
    last = prop.rsplit("_", 1)[-1]
    return bool(_TIME_WORD.search(last))


@dataclass
class _Column:
    stored: str  # the column's name in the database
    prop: str  # the property it holds (the name without prefix)
    ese_type: str


@dataclass
class Decoded:
    """One property column as the tables show it, with the bytes of the
    values that could not be decoded (null where decoded)."""

    values: pa.Array
    undecoded: pa.Array | None = None
    failures: int = 0


def _undecoded_map(n: int, failures: Sequence[tuple[str, pa.Array]]) -> pa.Array:
    """map<property, bytes> per row from the columns' undecoded values (null
    where decoded): few rows have any, so the map is built from them alone."""
    rows: list[np.ndarray[Any, Any]] = []
    keys: list[pa.Array] = []
    items: list[pa.Array] = []
    for name, undecoded in failures:
        where = np.nonzero(np.asarray(undecoded.is_valid().to_numpy(zero_copy_only=False), dtype=bool))[0]
        rows.append(where)
        keys.append(pa.array([name] * len(where), pa.string()))
        items.append(undecoded.take(pa.array(where)).cast(pa.binary()))
    if not rows:
        return pa.MapArray.from_arrays(
            pa.array(np.zeros(n + 1, np.int32)), pa.array([], pa.string()), pa.array([], pa.binary())
        )
    row = np.concatenate(rows)
    order = np.argsort(row, kind="stable")
    offsets = np.concatenate(([0], np.cumsum(np.bincount(row, minlength=n)))).astype(np.int32)
    all_keys = pa.concat_arrays(keys).take(pa.array(order))
    all_items = pa.concat_arrays(items).take(pa.array(order))
    return pa.MapArray.from_arrays(pa.array(offsets), all_keys, all_items)


class SearchStore:
    """The property store of one Windows.edb and how its values are read."""

    def __init__(self, read: Reader, schema: SchemaOf, table_names: Sequence[str]) -> None:
        self.read_table = read
        self.legacy = MODERN_STORE not in set(table_names)
        self.table = LEGACY_STORE if self.legacy else MODERN_STORE
        self.table_names = list(table_names)
        self.columns: list[_Column] = []
        for column in schema(self.table):
            prop = property_name(column["name"])
            if self.legacy and prop == "DocID":
                prop = "WorkID"
            self.columns.append(_Column(column["name"], prop, column["type"]))
        self.by_prop: dict[str, _Column] = {}
        for col in self.columns:
            # Two columns of one property (a store upgraded in place) are
            # rare; the first keeps the name, the later one its own.
            self.by_prop.setdefault(col.prop, col)
        self._big_endian: bool | None = None

    # -- reading -------------------------------------------------------------------------

    def read(self, props: Sequence[str] | None = None) -> tuple[pa.Table, list[_Column]]:
        """The stored columns of `props` (all when None) as engine values."""
        if props is None:
            cols = list(self.columns)
        else:
            cols = [self.by_prop[p] for p in props if p in self.by_prop]
        table = self.read_table(self.table, [c.stored for c in cols])
        return table, cols

    def big_endian(self) -> bool:
        """Whether the store wrote its binary numbers big-endian: never for
        Windows 8 and later; for the older stores, whichever byte order
        makes their 8-byte times plausible dates."""
        if self._big_endian is None:
            self._big_endian = False
            if self.legacy:
                times = [c for c in self.columns if c.ese_type == "Binary" and _is_time_property(c.prop)]
                if times:
                    table, _ = self.read([c.prop for c in times])
                    little = sum(bc.plausible_filetimes(col, big_endian=False) for col in table.columns)
                    big = sum(bc.plausible_filetimes(col, big_endian=True) for col in table.columns)
                    self._big_endian = big > little
        return self._big_endian

    # -- decoding ------------------------------------------------------------------------

    def decode(self, col: _Column, values: pa.ChunkedArray | pa.Array) -> Decoded:
        array = bc.as_array(values)
        if col.ese_type in ("Text", "Long Text"):
            return Decoded(bc.strip_nuls(array))
        if col.ese_type in ("Currency", "Long long") and col.prop in _INTEGERS:
            # Windows 7 keeps System_Size in a 64-bit column, big-endian.
            if self.big_endian() and pa.types.is_integer(array.type):
                swapped = np.asarray(array.fill_null(0).to_numpy(zero_copy_only=False), dtype=np.int64).byteswap()
                array = pa.array(swapped, pa.int64(), mask=np.asarray(array.is_null().to_numpy(zero_copy_only=False)))
            unknown = pc.equal(array.cast(pa.int64()), int.from_bytes(_UNKNOWN_64, "little"))
            array = pc.if_else(unknown, pa.nulls(len(array), array.type), array)
            return Decoded(array.cast(_INTEGERS[col.prop], safe=False))
        if col.ese_type not in ("Binary", "Long Binary") or col.prop in _OPAQUE:
            return Decoded(array)
        # Times, durations and numbers are known by name, so the column has
        # its type even where no row holds a value.
        if col.prop in _DURATIONS:
            return self._durations(array)
        if _is_time_property(col.prop):
            return self._times(array)
        if col.prop in _INTEGERS:
            return self._integers(array, _INTEGERS[col.prop])
        if self.legacy:
            if col.ese_type == "Binary" and _LEGACY_NUMBER.search(col.prop):
                # Image sizes, bit rates, counts: numbers in binary columns.
                return self._integers(array, pa.uint64())
            # Most strings of the older stores are encoded (see _search_values).
            return _decode_per_value(array, _encoded_string, pa.string())
        if col.ese_type == "Long Binary":
            # Multi-valued strings: UTF-16LE items with a NUL between them.
            return _string_lists(array)
        return Decoded(array)

    def _failed(self, array: pa.Array, values: pa.Array, failed: np.ndarray[Any, Any], count: int) -> Decoded:
        if count == 0:
            return Decoded(values)
        return Decoded(values, bc.keep_failed(array, failed), count)

    def _times(self, array: pa.Array) -> Decoded:
        unknown = pc.equal(array, pa.scalar(_UNKNOWN_64, array.type))
        cleaned = pc.if_else(unknown, pa.nulls(len(array), array.type), array)
        times, failed, count = bc.filetimes_from_bytes(cleaned, big_endian=self.big_endian())
        return self._failed(array, times, failed, count)

    def _integers(self, array: pa.Array, out_type: pa.DataType) -> Decoded:
        unknown = pc.equal(array, pa.scalar(_UNKNOWN_64, array.type))
        array_known = pc.if_else(unknown, pa.nulls(len(array), array.type), array)
        out = pa.nulls(len(array), out_type)
        failed = np.asarray(array_known.is_valid().to_numpy(zero_copy_only=False), dtype=bool)
        for width in (1, 2, 4, 8):
            if width * 8 > out_type.bit_width:
                break
            numbers, wrong_width, _ = bc.integers(array_known, width, big_endian=self.big_endian())
            fits = pc.is_valid(numbers)
            out = pc.if_else(fits, numbers.cast(out_type), out)
            failed &= ~np.asarray(fits.to_numpy(zero_copy_only=False), dtype=bool)
        return self._failed(array, out, failed, int(np.count_nonzero(failed)))

    def _durations(self, array: pa.Array) -> Decoded:
        numbers, failed, count = bc.integers(array, 8, signed=True, big_endian=self.big_endian())
        ns = pc.multiply_checked(numbers, 100).cast(pa.duration("ns"))
        return self._failed(array, ns, failed, count)



def _string_lists(array: pa.Array) -> Decoded:
    """Multi-valued strings decoded for the whole column; the few values
    with characters beyond the first plane one by one."""
    lists, failed, slow = bc.utf16_string_lists(array)
    if slow.any():
        where = np.nonzero(slow)[0]
        decoded = [_plain_string_list(v) for v in array.take(pa.array(where)).to_pylist()]
        failed[where[[d is None for d in decoded]]] = True
        one_by_one = pa.array(decoded, pa.list_(pa.string()))
        index = np.zeros(len(array), np.int64)
        index[where] = np.arange(len(where))
        lists = pc.if_else(pa.array(slow), one_by_one.take(pa.array(index)), lists)
    count = int(np.count_nonzero(failed))
    if count == 0:
        return Decoded(lists)
    return Decoded(lists, bc.keep_failed(array, failed), count)


def _plain_string_list(data: bytes) -> list[str] | None:
    items = sv.string_list(data)
    if items is None or not all(sv.looks_like_text(item) for item in items):
        return None
    return items


def _encoded_string(data: bytes) -> str | None:
    text = sv.decode_encoded_string(data)
    if text is None or not sv.looks_like_text(text):
        # Some strings of the older stores are plain UTF-16LE.
        text = sv.utf16_text(data)
        if text is None or not sv.looks_like_text(text):
            return None
    return text


def _decode_per_value(array: pa.Array, decode: Callable[[bytes], Any], out_type: pa.DataType) -> Decoded:
    """Decodes each non-null value (strings need Python's codecs); the values
    that do not decode are null, their bytes kept and counted."""
    out: list[Any] = []
    failed = np.zeros(len(array), bool)
    for i, value in enumerate(array.to_pylist()):
        decoded = None if value is None else decode(value)
        if value is not None and decoded is None:
            failed[i] = True
        out.append(decoded)
    values = pa.array(out, type=out_type)
    count = int(np.count_nonzero(failed))
    if count == 0:
        return Decoded(values)
    return Decoded(values, bc.keep_failed(array, failed), count)


def _with_recovered(table: pa.Table, columns: dict[str, pa.Array]) -> pa.Table:
    """The table with the `_recovered` flag of its rows, when read with it."""
    if RECOVERED in columns:
        return table.append_column(RECOVERED, columns[RECOVERED])
    return table




_SID_IN_URL = r"\{(?P<sid>S-1-[0-9-]+)\}"
_VOLUME_SEGMENT = re.compile(r"/\[[0-9A-Fa-f-]{36}\](?=/|$)")
_MAX_PATH_DEPTH = 512


def _windows_path(url: str) -> str:
    """A gatherer path (`file:C:/[volume guid]/Users/x/`) in the form the
    shell shows (`C:\\Users\\x\\`); other schemes are kept as they are."""
    if not url.lower().startswith("file:"):
        return url
    rest = _VOLUME_SEGMENT.sub("", url[5:], count=1)
    return rest.replace("/", "\\")


class SearchTables:
    """The tables of one Windows Search database; each is built when first
    asked for, reading only the columns it needs."""

    def __init__(self, read: Reader, schema: SchemaOf, table_names: Sequence[str], warnings: Any) -> None:
        self.read = read
        self.store = SearchStore(read, schema, table_names)
        self.warnings = warnings
        self._items: pa.Table | None = None
        self._scopes: dict[int, str] | None = None

    # -- items ---------------------------------------------------------------------------

    def items(self) -> pa.Table:
        if self._items is None:
            self._items = self._decoded(None, "items")
        return self._items

    def _decoded(self, props: Sequence[str] | None, table_name: str) -> pa.Table:
        """The property store, or the named properties of it, decoded. The
        items table (props None) also gets UNDECODED: per row, the property
        name and bytes of each value that could not be decoded."""
        raw, cols = self.store.read(props)
        taken: set[str] = set()
        names: list[str] = []
        arrays: list[pa.Array] = []
        failures: list[tuple[str, pa.Array]] = []
        for col in cols:
            decoded = self.store.decode(col, raw[col.stored])
            name = claim_name(taken, col.prop)
            names.append(name)
            arrays.append(decoded.values)
            if decoded.undecoded is not None:
                failures.append((name, decoded.undecoded))
                self.warnings.add(
                    f"{table_name}: {decoded.failures} value(s) of {name} could not be decoded"
                    f" (their bytes are in {UNDECODED})"
                )
        if props is None:
            names.append(claim_name(taken, UNDECODED))
            arrays.append(_undecoded_map(raw.num_rows, failures))
        if RECOVERED in raw.column_names:
            names.append(RECOVERED)
            arrays.append(bc.as_array(raw[RECOVERED]))
        return pa.Table.from_arrays(arrays, names=names) if names else pa.table({})

    def _properties(self, props: Sequence[str]) -> dict[str, pa.Array]:
        """The decoded values of `props` (typed nulls for properties this
        store does not have), from the items when they are built already."""
        if self._items is not None:
            source = self._items
        else:
            wanted = [p for p in props if p in self.store.by_prop]
            source = self._decoded(wanted, "items")
        n = source.num_rows
        out: dict[str, pa.Array] = {}
        for prop in (*props, RECOVERED):
            if prop in source.column_names:
                out[prop] = bc.as_array(source[prop])
            elif prop == RECOVERED:
                continue
            else:
                out[prop] = pa.nulls(n, _DEFAULT_TYPES.get(prop, pa.string()))
        return out

    # -- files ---------------------------------------------------------------------------

    def files(self) -> pa.Table:
        props = [
            "WorkID",
            "System_Search_Store",
            "System_ItemUrl",
            "System_ItemPathDisplay",
            "System_Size",
            "System_DateModified",
            "System_DateCreated",
            "System_DateAccessed",
            "System_Search_GatherTime",
            "System_MIMEType",
            "System_ItemType",
            "System_Search_AutoSummary",
            "System_IsFolder",
            "System_FileOwner",
        ]
        p = self._properties(props)
        store = p["System_Search_Store"]
        url = p["System_ItemUrl"]
        is_file = pc.fill_null(
            pc.or_kleene(
                pc.equal(pc.utf8_lower(store), "file"),
                pc.and_kleene(pc.is_null(store), pc.starts_with(pc.utf8_lower(url), "file:")),
            ),
            False,
        )
        work_ids = p["WorkID"]
        path = pc.coalesce(p["System_ItemPathDisplay"], self._gathered_paths(work_ids))
        table = pa.table(
            {
                "WorkID": work_ids,
                "Path": path,
                "Size": p["System_Size"],
                "Modified": p["System_DateModified"],
                "Created": p["System_DateCreated"],
                "Accessed": p["System_DateAccessed"],
                "Gathered": p["System_Search_GatherTime"],
                "MimeType": p["System_MIMEType"],
                "ItemType": p["System_ItemType"],
                "Content": p["System_Search_AutoSummary"],
                "IsFolder": p["System_IsFolder"],
                "Owner": p["System_FileOwner"],
            }
        )
        table = _with_recovered(table, p)
        return table.filter(is_file)

    # -- activities ----------------------------------------------------------------------

    def activities(self) -> pa.Table:
        props = [
            "WorkID",
            "System_ItemType",
            "System_ActivityHistory_StartTime",
            "System_ActivityHistory_EndTime",
            "System_ActivityHistory_ActiveDuration",
            "System_Activity_AppDisplayName",
            "System_ActivityHistory_AppId",
            "System_ActivityHistory_Id",
            "System_ActivityHistory_AppActivityId",
            "System_Activity_DisplayText",
            "System_Activity_ContentUri",
        ]
        p = self._properties(props)
        is_activity = pc.fill_null(pc.equal(p["System_ItemType"], "ActivityHistoryItem"), False)
        table = pa.table(
            {
                "WorkID": p["WorkID"],
                "Start": p["System_ActivityHistory_StartTime"],
                "End": p["System_ActivityHistory_EndTime"],
                "Duration": p["System_ActivityHistory_ActiveDuration"],
                "AppName": p["System_Activity_AppDisplayName"],
                "AppId": p["System_ActivityHistory_AppId"],
                "ActivityId": p["System_ActivityHistory_Id"],
                "AppActivityId": p["System_ActivityHistory_AppActivityId"],
                "DisplayText": p["System_Activity_DisplayText"],
                "ContentUri": p["System_Activity_ContentUri"],
            }
        )
        table = _with_recovered(table, p)
        return table.filter(is_activity)

    # -- browser history -----------------------------------------------------------------

    def browser_history(self) -> pa.Table:
        props = [
            "WorkID",
            "System_Search_Store",
            "System_ItemType",
            "System_ItemUrl",
            "System_Link_TargetUrl",
            "System_Title",
            "System_ItemNameDisplay",
            "System_Link_DateVisited",
            "System_ItemDate",
        ]
        p = self._properties(props)
        store = pc.utf8_lower(p["System_Search_Store"])
        in_store = pc.or_kleene(pc.equal(store, "iehistory"), pc.equal(store, "winrt"))
        not_activity = pc.fill_null(pc.not_equal(p["System_ItemType"], "ActivityHistoryItem"), True)
        keep = pc.fill_null(pc.and_kleene(in_store, not_activity), False)
        item_url = p["System_ItemUrl"]
        # iehistory://{S-1-5-21-...}/https://... : the visited URL follows the SID.
        visited_url = pc.replace_substring_regex(item_url, pattern=r"^[A-Za-z]+://\{S-1-[0-9-]+\}/", replacement="")
        sid = pc.struct_field(pc.extract_regex(item_url, pattern=_SID_IN_URL), [0])
        table = pa.table(
            {
                "WorkID": p["WorkID"],
                "Url": pc.coalesce(p["System_Link_TargetUrl"], visited_url),
                "Title": pc.coalesce(p["System_Title"], p["System_ItemNameDisplay"]),
                "Visited": pc.coalesce(p["System_Link_DateVisited"], p["System_ItemDate"]),
                "UserSid": sid,
            }
        )
        table = _with_recovered(table, p)
        return table.filter(keep)

    # -- gatherer ------------------------------------------------------------------------

    def _scope_urls(self) -> dict[int, str]:
        """Each gatherer scope's full URL: its name after its parents'."""
        if self._scopes is None:
            self._scopes = {}
            if GATHER_PATHS in self.store.table_names:
                rows = self.read(GATHER_PATHS).to_pylist()
                parents: dict[int, tuple[int | None, str]] = {}
                for row in rows:
                    scope = row.get("Scope")
                    if scope is None:
                        continue
                    parents[int(scope)] = (row.get("Parent"), (row.get("Name") or "").rstrip("\x00"))
                broken = 0
                for scope in parents:
                    parts: list[str] = []
                    seen: set[int] = set()
                    current: int | None = scope
                    looped = False
                    while current is not None and current in parents:
                        if current in seen or len(seen) >= _MAX_PATH_DEPTH:
                            looped = True
                            break
                        seen.add(current)
                        parent, name = parents[current]
                        parts.append(name)
                        current = parent
                    if looped:
                        broken += 1  # no path rather than a wrong one
                    else:
                        self._scopes[scope] = "".join(reversed(parts))
                if broken:
                    self.warnings.add(f"gather: {broken} scope(s) of {GATHER_PATHS} loop back on themselves")
        return self._scopes

    def _gather_columns(self) -> tuple[pa.Table, pa.Array, pa.Array]:
        raw = self.read(GATHER)
        scopes = self._scope_urls()
        keys = list(scopes)
        scope_ids = raw["ScopeID"] if "ScopeID" in raw.column_names else pa.nulls(raw.num_rows, pa.uint32())
        index = pc.index_in(scope_ids, value_set=pa.array(keys, pa.int64()).cast(scope_ids.type))
        urls = pc.take(pa.array([scopes[k] for k in keys], pa.string()), index)
        paths = pc.take(pa.array([_windows_path(scopes[k]) for k in keys], pa.string()), index)
        name = (
            bc.strip_nuls(raw["FileName"]) if "FileName" in raw.column_names else pa.nulls(raw.num_rows, pa.string())
        )
        name = pc.fill_null(name, "")
        url = pc.binary_join_element_wise(urls, name, "")
        path = pc.binary_join_element_wise(paths, name, "")
        return raw, url, path

    def gather(self) -> pa.Table:
        if GATHER not in self.store.table_names:
            return pa.table({})
        raw, url, path = self._gather_columns()
        columns: dict[str, Any] = {}
        for name in raw.column_names:
            values = raw[name]
            if pa.types.is_string(values.type) or pa.types.is_large_string(values.type):
                values = bc.strip_nuls(values)
            if name == "LastModified" and pa.types.is_binary(values.type):
                # Stored big-endian in every version, unlike the store's times.
                times, failed, count = bc.filetimes_from_bytes(bc.as_array(values), big_endian=True)
                if count:
                    self.warnings.add(f"gather: {count} LastModified value(s) are no time (kept as null)")
                values = times
            columns[name] = values
        taken = {n.casefold() for n in columns}
        columns[claim_name(taken, "Url")] = url
        columns[claim_name(taken, "Path")] = path
        return pa.table(columns)

    def _gathered_paths(self, work_ids: pa.Array) -> pa.Array:
        """The gatherer's path of each WorkID (its DocumentID), or null."""
        if GATHER not in self.store.table_names or not len(work_ids):
            return pa.nulls(len(work_ids), pa.string())
        raw, _, path = self._gather_columns()
        docs = raw["DocumentID"]
        index = pc.index_in(work_ids, value_set=bc.as_array(docs).cast(work_ids.type))
        return pc.take(path, index)

    def table(self, name: str) -> pa.Table:
        builders: dict[str, Callable[[], pa.Table]] = {
            "items": self.items,
            "files": self.files,
            "activities": self.activities,
            "browser_history": self.browser_history,
            "gather": self.gather,
        }
        return builders[name]()


_DEFAULT_TYPES: dict[str, pa.DataType] = {
    "WorkID": pa.uint32(),
    "System_Size": pa.uint64(),
    "System_DateModified": bc.TIMESTAMP_NS,
    "System_DateCreated": bc.TIMESTAMP_NS,
    "System_DateAccessed": bc.TIMESTAMP_NS,
    "System_Search_GatherTime": bc.TIMESTAMP_NS,
    "System_ActivityHistory_StartTime": bc.TIMESTAMP_NS,
    "System_ActivityHistory_EndTime": bc.TIMESTAMP_NS,
    "System_ActivityHistory_ActiveDuration": pa.duration("ns"),
    "System_Link_DateVisited": bc.TIMESTAMP_NS,
    "System_ItemDate": bc.TIMESTAMP_NS,
    "System_IsFolder": pa.bool_(),
    "System_ActivityHistory_Id": pa.uuid() if hasattr(pa, "uuid") else pa.string(),
}


def _column(table: Any, name: str) -> Any:
    if name in table.column_names:
        return bc.as_array(table[name])
    return pa.nulls(table.num_rows, pa.string())


def _activity_summary(table: Any) -> Any:
    """`Notepad: plan.txt`: the application and what it worked on."""
    return pc.binary_join_element_wise(
        pc.fill_null(_column(table, "AppName"), ""), pc.fill_null(_column(table, "DisplayText"), ""), ": "
    )


@register
class Search(Kind):
    name = KIND
    looked_for = f"table {MODERN_STORE} or {LEGACY_STORE}"
    file_names = ("Windows.edb",)

    @classmethod
    def detect(cls, catalog: Catalog) -> bool:
        return catalog.has_table(MODERN_STORE) or catalog.has_table(LEGACY_STORE)

    def __init__(self, *args: Any, **kwargs: Any) -> None:
        super().__init__(*args, **kwargs)
        self._tables = SearchTables(
            self.source.read, self.source.db.get_table_schema, self.source.catalog.tables, self.warnings
        )

    def table_names(self) -> list[str]:
        names = ["items", "files", "activities", "browser_history"]
        if self.source.catalog.has_table(GATHER):
            names.append("gather")
        return names

    def build(self, name: str) -> Any:
        return self._tables.table(name)

    def timeline_specs(self) -> list[TimelineSpec]:
        return [
            TimelineSpec("files", ("Modified", "Created", "Accessed", "Gathered"), lambda t: _column(t, "Path")),
            TimelineSpec("activities", ("Start", "End"), _activity_summary),
            TimelineSpec("browser_history", ("Visited",), lambda t: _column(t, "Url")),
            TimelineSpec("gather", ("LastModified",), lambda t: _column(t, "Path")),
        ]

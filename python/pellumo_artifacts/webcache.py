"""WebCache (WebCacheV01.dat): the browser cache, history, cookies and
downloads of Internet Explorer and the Edge versions built on it.

The table Containers lists each container (id, name, folder); the entries
of container N live in table Container_N, all with one layout. Containers
of one purpose share a name (`History`, `Content`, `Cookies`, `iedownload`),
daily history containers are named `MSHist01<from><to>`, so the entries
are gathered into one table per purpose. Times are FILETIMEs in 64-bit
integer columns; URLs of history entries carry a marker naming the user
(`Visited: user@https://...`, `:2021111520211122: user@https://...`).
"""

from __future__ import annotations

import re
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np

from pellumo_artifacts import _bytes_columns as bc
from pellumo_artifacts._arrow import pa, pc
from pellumo_artifacts._base import Catalog, Kind, TimelineSpec
from pellumo_artifacts._convert import claim_name
from pellumo_artifacts._registry import register

# Reads a table of the database (only the columns named, when given) as a
# pyarrow.Table of engine values.
Reader = Callable[..., Any]

KIND = "webcache"
CONTAINERS = "Containers"
PARTITIONS = "PartitionsEx"
TABLE_NAMES = (
    "containers",
    "history",
    "history_daily",
    "content",
    "cookies",
    "dom_store",
    "downloads",
    "iecompat",
    "other",
)
# The tables of container entries, and which container names each gathers
# (compared without regard to case). history_daily gathers the MSHist…
# containers, other every container no family claims.
_FAMILIES: dict[str, tuple[str, ...]] = {
    "history": ("history",),
    "content": ("content",),
    "cookies": ("cookies",),
    "dom_store": ("domstore",),
    "downloads": ("iedownload",),
    "iecompat": ("iecompat", "iecompatua"),
}
_DAILY_PREFIX = "mshist"
FAMILY_TABLES = ("history", "history_daily", "content", "cookies", "dom_store", "downloads", "iecompat", "other")

_CONTAINER_TABLE = re.compile(r"^Container_([0-9]+)$")
_COOKIE_TABLE = re.compile(r"^CookieEntryEx_([0-9]+)$")
# 64-bit integer columns that hold FILETIMEs, by name.
_TIME_NAMES = frozenset({"Expires", "LastModified"})
# `Visited: user@url`, `:2021111520211122: user@url`, `Cookie:user@domain/`.
_USER_MARKER = r"^(?:Visited: ?|Cookie: ?|:[0-9]{16}: ?)(?P<user>[^@]*)@(?P<target>.*)$"
_URL_LIKE = re.compile(r"[A-Za-z][A-Za-z0-9+.-]{1,31}://[^\x00\ufffd]+", re.ASCII)
_PATH_LIKE = re.compile(r"(?:(?<![A-Za-z])[A-Za-z]:\\|\\\\[A-Za-z0-9])[^\x00\ufffd]*", re.ASCII)




def family_of(container_name: str | None) -> str:
    """The table a container's entries go to, by the container's name."""
    if container_name is None:
        return "other"
    name = container_name.rstrip("\x00").lower()
    if name.startswith(_DAILY_PREFIX):
        return "history_daily"
    for family, names in _FAMILIES.items():
        if name in names:
            return family
    return "other"


def _is_time_column(name: str, arrow_type: pa.DataType) -> bool:
    return pa.types.is_int64(arrow_type) and (name.endswith("Time") or name in _TIME_NAMES)


def download_locations(headers: bytes) -> tuple[str | None, str | None]:
    """The source URL and the saved-to path a download entry's response
    headers hold: UTF-16LE strings separated by NULs after a binary header.
    Strings are looked for at both byte alignments, in the order stored; the
    binary head may run into the first string, so each is found by its
    shape (`scheme://...`, `X:\\...` or `\\\\server\\...`)."""
    found: list[tuple[int, str, str]] = []
    for start in (0, 1):
        body = headers[start:]
        body = body[: len(body) - len(body) % 2]
        text = body.decode("utf-16-le", errors="replace")
        for kind, pattern in (("url", _URL_LIKE), ("path", _PATH_LIKE)):
            for match in pattern.finditer(text):
                value = match.group(0)
                if value.isprintable():
                    found.append((start + match.start() * 2, kind, value))
    url = next((value for _, kind, value in sorted(found) if kind == "url"), None)
    path = next((value for _, kind, value in sorted(found) if kind == "path"), None)
    return url, path


def _text_where_text(values: pa.Array) -> pa.Array:
    """Binary values that are text (UTF-8, no control characters but tab,
    CR, LF and trailing NULs) as strings; null where they are not."""
    array = bc.as_array(values)
    if pa.types.is_large_binary(array.type):
        array = array.cast(pa.binary())
    n = len(array)
    if n == 0 or array.null_count == n:
        return pa.nulls(n, pa.string())
    offsets = np.frombuffer(array.buffers()[1], dtype=np.int32, count=n + 1, offset=array.offset * 4)
    data = array.buffers()[2]
    raw = np.frombuffer(data, dtype=np.uint8) if data is not None else np.zeros(0, np.uint8)
    start, stop = int(offsets[0]), int(offsets[-1])
    window = raw[start:stop]
    bad_byte = ((window < 0x20) & (window != 0x09) & (window != 0x0A) & (window != 0x0D) & (window != 0x00)) | (
        window == 0x7F
    )
    # A NUL is allowed only in the NULs that end a value: count bad bytes,
    # and NULs followed by anything but NUL within the same value.
    bad = np.concatenate(([0], np.cumsum(bad_byte, dtype=np.int64)))
    nul = window == 0
    inner_nul = nul[:-1] & ~nul[1:] if len(window) > 1 else np.zeros(0, bool)
    inner = np.concatenate(([0], np.cumsum(inner_nul, dtype=np.int64), [0]))
    rel = offsets - start
    bad_count = bad[rel[1:]] - bad[rel[:-1]]
    # inner NULs counted at positions [begin, end-1) of each value
    last = np.maximum(rel[1:] - 1, rel[:-1])
    inner_count = inner[last] - inner[rel[:-1]]
    present = np.asarray(array.is_valid().to_numpy(zero_copy_only=False), dtype=bool)
    textual = present & (bad_count == 0) & (inner_count == 0)
    candidates = pc.if_else(pa.array(textual), array, pa.nulls(n, array.type))
    try:
        text = candidates.cast(pa.string())
    except pa.ArrowInvalid:
        # Some candidate is not UTF-8: sort them one by one (rare).
        decoded: list[str | None] = []
        for value in candidates.to_pylist():
            if value is None:
                decoded.append(None)
                continue
            try:
                decoded.append(value.decode("utf-8"))
            except UnicodeDecodeError:
                decoded.append(None)
        text = pa.array(decoded, pa.string())
    return pc.utf8_rtrim(text, characters="\x00")




class _Silent:
    """Warnings nobody reads (the template pass has no rows to warn about)."""

    def add(self, line: str) -> None:
        pass

    def count(self, what: str, n: int) -> None:
        pass


@dataclass
class _Container:
    container_id: int
    name: str | None
    table: str | None  # its Container_N table, None when missing
    family: str = "other"


class WebCacheTables:
    """The tables of one WebCache database, each built when first asked for."""

    def __init__(self, read: Reader, table_names: Sequence[str], warnings: Any, read_empty: Reader) -> None:
        self.read = read
        # Reads a table's columns and no records: what a family's columns
        # are depends on the tables the file has, never on their rows.
        self.read_empty = read_empty
        self.table_names = list(table_names)
        self.warnings = warnings
        self._containers: pa.Table | None = None
        self._by_family: dict[str, list[_Container]] | None = None

    # -- the Containers table ------------------------------------------------------------

    def containers(self) -> pa.Table:
        if self._containers is None:
            raw = self.read(CONTAINERS)
            self._containers = self._convert(raw, "containers")
        return self._containers

    def _families(self) -> dict[str, list[_Container]]:
        if self._by_family is not None:
            return self._by_family
        listed = self.containers()
        ids = listed["ContainerId"].to_pylist() if "ContainerId" in listed.column_names else []
        names = listed["Name"].to_pylist() if "Name" in listed.column_names else [None] * len(ids)
        tables: dict[int, str] = {}
        for table in self.table_names:
            match = _CONTAINER_TABLE.match(table)
            if match:
                tables[int(match.group(1))] = table
        containers: dict[int, _Container] = {}
        for container_id, name in zip(ids, names, strict=True):
            if container_id is None or container_id in containers:
                continue
            containers[container_id] = _Container(container_id, name, tables.get(container_id))
        unlisted = sorted(set(tables) - set(containers))
        for container_id in unlisted:
            containers[container_id] = _Container(container_id, None, tables[container_id])
        if unlisted:
            self.warnings.add(
                "webcache: table(s) " + ", ".join(tables[i] for i in unlisted) + f" have no entry in {CONTAINERS}"
            )
        missing = sorted(i for i, c in containers.items() if c.table is None)
        if missing:
            self.warnings.add(
                f"webcache: container(s) {', '.join(str(i) for i in missing)} of {CONTAINERS} have no Container_N table"
            )
        by_family: dict[str, list[_Container]] = {name: [] for name in FAMILY_TABLES}
        for container in sorted(containers.values(), key=lambda c: c.container_id):
            container.family = family_of(container.name)
            by_family[container.family].append(container)
        self._by_family = by_family
        return by_family

    # -- conversions ---------------------------------------------------------------------

    def _convert(self, raw: pa.Table, table_name: str) -> pa.Table:
        """Text without trailing NULs, FILETIME columns as timestamps."""
        columns: dict[str, Any] = {}
        for name in raw.column_names:
            values = raw[name]
            if pa.types.is_string(values.type) or pa.types.is_large_string(values.type):
                values = bc.strip_nuls(values)
            elif _is_time_column(name, values.type):
                times, _, count = bc.filetimes_from_int64(bc.as_array(values))
                if count:
                    self.warnings.add(f"{table_name}: {count} {name} value(s) are no time (kept as null)")
                values = times
            columns[name] = values
        return pa.table(columns) if columns else raw

    def _entries(self, container: _Container, table: str, family: str) -> pa.Table:
        raw = self.read(table)
        converted = self._convert(raw, family)
        n = converted.num_rows
        taken = {name.casefold() for name in converted.column_names}
        if "containerid" in taken:
            stored = converted["ContainerId"]
            converted = converted.set_column(
                converted.column_names.index("ContainerId"),
                "ContainerId",
                pc.fill_null(bc.as_array(stored).cast(pa.int64()), container.container_id),
            )
        else:
            converted = converted.append_column(
                claim_name(taken, "ContainerId"), pa.array([container.container_id] * n, pa.int64())
            )
        name = container.name.rstrip("\x00") if container.name is not None else None
        converted = converted.append_column(claim_name(taken, "ContainerName"), pa.array([name] * n, pa.string()))
        converted = converted.append_column(claim_name(taken, "SourceTable"), pa.array([table] * n, pa.string()))
        return self._url_columns(converted, family, taken)

    def _url_columns(self, table: pa.Table, family: str, taken: set[str]) -> pa.Table:
        if "Url" in table.column_names:
            url = bc.as_array(table["Url"])
            parts = pc.extract_regex(url, pattern=_USER_MARKER)
            user = pc.struct_field(parts, [0])
            target = pc.coalesce(pc.struct_field(parts, [1]), url)
            table = table.append_column(claim_name(taken, "UrlTarget"), target)
            table = table.append_column(claim_name(taken, "UrlUser"), user)
        if "ResponseHeaders" in table.column_names:
            headers = bc.as_array(table["ResponseHeaders"])
            if family == "downloads":
                urls: list[str | None] = []
                paths: list[str | None] = []
                failures = 0
                for value in headers.to_pylist():
                    if value is None:
                        urls.append(None)
                        paths.append(None)
                        continue
                    url_value, path_value = download_locations(value)
                    if url_value is None and path_value is None:
                        failures += 1
                    urls.append(url_value)
                    paths.append(path_value)
                if failures:
                    self.warnings.add(
                        f"downloads: {failures} ResponseHeaders value(s) hold no download URL or path"
                    )
                table = table.append_column(claim_name(taken, "DownloadUrl"), pa.array(urls, pa.string()))
                table = table.append_column(claim_name(taken, "DownloadPath"), pa.array(paths, pa.string()))
            else:
                table = table.append_column(claim_name(taken, "ResponseHeadersText"), _text_where_text(headers))
        return table

    def _partitions(self) -> dict[int, str]:
        """PartitionId (`M`, `L` or an app container's SID) by partition
        table id: the number the *Ex_N tables carry."""
        if PARTITIONS not in self.table_names:
            return {}
        rows = self.read(PARTITIONS, ["TableId", "PartitionId"]).to_pylist()
        return {
            int(row["TableId"]): (row["PartitionId"] or "").rstrip("\x00")
            for row in rows
            if row["TableId"] is not None
        }

    def _cookie_entries(self, table: str, partition_id: int, partitions: dict[int, str]) -> pa.Table:
        raw = self.read(table)
        converted = self._convert(raw, "cookies")
        n = converted.num_rows
        taken = {name.casefold() for name in converted.column_names}
        # These cookies belong to a partition, not to a container.
        converted = converted.append_column(claim_name(taken, "ContainerId"), pa.nulls(n, pa.int64()))
        converted = converted.append_column(claim_name(taken, "ContainerName"), pa.nulls(n, pa.string()))
        converted = converted.append_column(claim_name(taken, "SourceTable"), pa.array([table] * n, pa.string()))
        converted = converted.append_column(
            claim_name(taken, "PartitionId"), pa.array([partitions.get(partition_id)] * n, pa.string())
        )
        for stored, added in (("Name", "CookieName"), ("Value", "CookieValue")):
            if stored in converted.column_names:
                converted = converted.append_column(
                    claim_name(taken, added), _text_where_text(bc.as_array(converted[stored]))
                )
        if "RDomain" in converted.column_names:
            # Stored with its labels reversed (com.example.www).
            labels = pc.split_pattern(bc.as_array(converted["RDomain"]), ".")
            domain = pc.binary_join(_reverse_lists(labels), ".")
            converted = converted.append_column(claim_name(taken, "Domain"), domain)
        return converted

    def family(self, family: str) -> pa.Table:
        parts: list[pa.Table] = [self._family_template(family)]
        for container in self._families()[family]:
            if container.table is not None:
                parts.append(self._entries(container, container.table, family))
        if family == "cookies":
            partitions = self._partitions()
            for table in self.table_names:
                match = _COOKIE_TABLE.match(table)
                if match:
                    parts.append(self._cookie_entries(table, int(match.group(1)), partitions))
        # The template comes first: it fixes the columns and their order.
        return pa.concat_tables(parts, promote_options="permissive")

    def _family_template(self, family: str) -> pa.Table:
        """No rows, and the columns of every container table of the file
        (plus the cookie tables', for cookies) with the added ones."""
        parts: list[pa.Table] = []
        quiet = WebCacheTables(self.read_empty, self.table_names, _Silent(), self.read_empty)
        for table in self.table_names:
            if _CONTAINER_TABLE.match(table):
                parts.append(quiet._entries(_Container(0, None, table), table, family))
        if family == "cookies":
            for table in self.table_names:
                match = _COOKIE_TABLE.match(table)
                if match:
                    parts.append(quiet._cookie_entries(table, int(match.group(1)), {}))
        if not parts:
            return pa.table({"ContainerId": pa.array([], pa.int64()), "ContainerName": pa.array([], pa.string()),
                             "SourceTable": pa.array([], pa.string())})
        return pa.concat_tables(parts, promote_options="permissive")

    def table(self, name: str) -> pa.Table:
        if name == "containers":
            return self.containers()
        if name in FAMILY_TABLES:
            return self.family(name)
        raise KeyError(name)


def _reverse_lists(lists: pa.Array | pa.ChunkedArray) -> pa.Array:
    """Each list's items in reverse order, without a Python object per item."""
    array = bc.as_array(lists)
    offsets = np.asarray(array.offsets.to_numpy(zero_copy_only=False), dtype=np.int64)
    lengths = np.diff(offsets)
    total = int(offsets[-1] - offsets[0])
    if total == 0:
        return array
    item_list = np.repeat(np.arange(len(array)), lengths)
    position = np.arange(total) + offsets[0]
    start = offsets[:-1][item_list]
    end = offsets[1:][item_list]
    reversed_index = end - 1 - (position - start)
    values = array.flatten().take(pa.array(reversed_index - offsets[0]))
    return pa.ListArray.from_arrays(pa.array(offsets - offsets[0], pa.int32()), values, mask=array.is_null())



def _url_summary(table: Any) -> Any:
    """The URL of each entry (its target, markers removed); for the cookies
    of a partition, name, domain and path."""
    n = table.num_rows
    if "UrlTarget" in table.column_names:
        summary = bc.as_array(table["UrlTarget"])
    else:
        summary = pa.nulls(n, pa.string())
    if "Domain" in table.column_names:
        cookie = pc.binary_join_element_wise(
            pc.fill_null(bc.as_array(table["CookieName"]), "") if "CookieName" in table.column_names
            else pa.array([""] * n, pa.string()),
            pc.binary_join_element_wise(
                bc.as_array(table["Domain"]),
                pc.fill_null(bc.as_array(table["Path"]), "") if "Path" in table.column_names
                else pa.array([""] * n, pa.string()),
                "",
            ),
            "@",
        )
        summary = pc.coalesce(summary, cookie)
    return summary


@register
class WebCache(Kind):
    name = KIND
    looked_for = f"table {CONTAINERS}"
    file_names = ("WebCacheV*.dat",)

    @classmethod
    def detect(cls, catalog: Catalog) -> bool:
        return catalog.has_table(CONTAINERS)

    def __init__(self, *args: Any, **kwargs: Any) -> None:
        super().__init__(*args, **kwargs)
        self._tables = WebCacheTables(
            self.source.read, self.source.catalog.tables, self.warnings, self.source.schema_only().read
        )

    def table_names(self) -> list[str]:
        return list(TABLE_NAMES)

    def build(self, name: str) -> Any:
        return self._tables.table(name)

    def timeline_specs(self) -> list[TimelineSpec]:
        times = ("AccessedTime", "ModifiedTime", "CreationTime", "LastModified")
        return [TimelineSpec(family, times, _url_summary) for family in FAMILY_TABLES]

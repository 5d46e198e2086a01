"""Conversions every kind shares, written over whole Arrow arrays: trailing
NULs off text, FILETIMEs and OLE dates to timestamps, SIDs, GUIDs and IP
addresses to text, new column names that collide with none, and the
warnings a conversion leaves.

Per-value Python runs only over the distinct values of a column (SIDs, IP
addresses and GUIDs repeat endlessly in these databases) or over small id
tables; everything proportional to a table's rows is pyarrow compute."""

from __future__ import annotations

import ipaddress
import struct
import uuid
from collections.abc import Callable, Iterable
from typing import Any

import numpy as np

from pellumo_artifacts._arrow import pa, pc

# FILETIME: 100-ns ticks since 1601-01-01 UTC. 116444736000000000 ticks lie
# between 1601 and the Unix epoch.
FILETIME_UNIX_EPOCH = 116_444_736_000_000_000
# A timestamp[ns] holds 1677-09-21 to 2262-04-11: the FILETIMEs in between.
_NS_MIN_TICKS = FILETIME_UNIX_EPOCH - 2**63 // 100 + 1
_NS_MAX_TICKS = FILETIME_UNIX_EPOCH + (2**63 - 1) // 100
TIMESTAMP_NS = pa.timestamp("ns", tz="UTC")
TIMESTAMP_US = pa.timestamp("us", tz="UTC")


class Warnings:
    """What building an artifact's tables met, as lines a person reads.
    Counted problems (values that would not convert) are summed per table
    and column into one line each, so a million bad values are one warning."""

    def __init__(self) -> None:
        self._lines: list[str] = []
        self._seen: set[str] = set()
        self._counts: dict[str, int] = {}
        self._damage: list[dict[str, Any]] = []

    def add_damage(self, path: str, table: str, damage: dict[str, Any], text: str) -> None:
        """A database table read that met damage (a DamageWarning's path,
        table, damage and text): kept whole, and its text as a line."""
        self._damage.append({"path": path, "table": table, **damage})
        self.add(text)

    def damage(self) -> list[dict[str, Any]]:
        """Every damaged read so far: path, table and the damage counts."""
        return [dict(d) for d in self._damage]

    def add(self, line: str) -> None:
        if line not in self._seen:
            self._seen.add(line)
            self._lines.append(line)

    def count(self, what: str, n: int) -> None:
        """Adds n to the count of `what` ("table t column c: values that are no FILETIME")."""
        if n > 0:
            self._counts[what] = self._counts.get(what, 0) + n

    def lines(self) -> list[str]:
        counted = [f"{what}: {n:,}" for what, n in self._counts.items()]
        return self._lines + counted


def _ends_with_nul(text: Any) -> bool:
    """Whether any value of a text array (or chunked array) ends with NUL:
    read from the last byte of each value, so that text without one, nearly
    all of it, is not copied to be stripped of nothing."""
    for chunk in text.chunks if isinstance(text, pa.ChunkedArray) else [text]:
        n = len(chunk)
        if n == 0 or chunk.null_count == n:
            continue
        width = np.int64 if pa.types.is_large_string(chunk.type) else np.int32
        offsets = np.frombuffer(chunk.buffers()[1], width, count=n + 1, offset=chunk.offset * np.dtype(width).itemsize)
        data_buffer = chunk.buffers()[2]
        if data_buffer is None or data_buffer.size == 0:
            continue
        data = np.frombuffer(data_buffer, np.uint8)
        ends = offsets[1:].astype(np.int64)
        filled = ends > offsets[:-1]
        if bool((data[np.maximum(ends - 1, 0)][filled] == 0).any()):
            return True
    return False


def strip_trailing_nul(array: Any) -> Any:
    """Text with its trailing NUL characters removed (a C string's
    terminator, or the padding of a fixed buffer); other arrays unchanged.
    Lists of text are stripped item by item."""
    t = array.type
    if pa.types.is_string(t) or pa.types.is_large_string(t):
        return pc.utf8_rtrim(array, characters="\x00") if _ends_with_nul(array) else array
    if pa.types.is_list(t) and (pa.types.is_string(t.value_type) or pa.types.is_large_string(t.value_type)):
        chunks = array.chunks if isinstance(array, pa.ChunkedArray) else [array]
        if not any(_ends_with_nul(c.values) for c in chunks):
            return array
        fixed = [pa.ListArray.from_arrays(c.offsets, strip_trailing_nul(c.values), mask=c.is_null()) for c in chunks]
        return pa.chunked_array(fixed, type=t)
    return array


def strip_table_text(table: Any) -> Any:
    """Every text column of the table with its trailing NULs removed. The
    table is rebuilt once: replacing columns one by one costs the width of
    the table each time (a directory's datatable has over a thousand)."""
    columns = [table.column(i) for i in range(table.num_columns)]
    stripped = [strip_trailing_nul(c) if c.null_count < len(c) else c for c in columns]
    if all(a is b for a, b in zip(stripped, columns, strict=True)):
        return table
    return pa.Table.from_arrays(stripped, schema=table.schema)


def filetime_to_timestamp(array: Any, warnings: Warnings | None = None, what: str = "") -> Any:
    """FILETIMEs (int64 or uint64 ticks) as timestamp[ns, UTC], every digit
    kept. 0, the FILETIME of "never", is null; a value a timestamp[ns]
    cannot hold (before 1677 or after 2262) is null and counted in
    `warnings` under `what`."""
    ticks = pc.cast(array, pa.int64(), safe=False)
    never = pc.equal(ticks, 0)
    valid = pc.and_(pc.greater_equal(ticks, _NS_MIN_TICKS), pc.less_equal(ticks, _NS_MAX_TICKS))
    valid = pc.and_(valid, pc.invert(never))
    if warnings is not None:
        bad = pc.sum(pc.and_(pc.invert(valid), pc.invert(never)).cast(pa.int64())).as_py() or 0
        warnings.count(f"{what}: values that are no FILETIME a timestamp can hold, left null", bad)
    safe_ticks = pc.if_else(valid, ticks, FILETIME_UNIX_EPOCH)
    ns = pc.multiply(pc.subtract(safe_ticks, FILETIME_UNIX_EPOCH), 100)
    ns = pc.if_else(valid, ns, pa.scalar(None, pa.int64()))
    return pc.cast(ns, TIMESTAMP_NS)


def to_timestamp_ns(array: Any) -> Any:
    """Any timestamp array as timestamp[ns, UTC]; values a timestamp[ns]
    cannot hold become null (the timeline's single time type)."""
    t = array.type
    if t == TIMESTAMP_NS:
        return array
    unit_ns = {"s": 1_000_000_000, "ms": 1_000_000, "us": 1_000, "ns": 1}[t.unit]
    raw = pc.cast(array, pa.int64())
    limit = (2**63 - 1) // unit_ns
    fits = pc.and_(pc.greater_equal(raw, -limit), pc.less_equal(raw, limit))
    ns = pc.multiply(pc.if_else(fits, raw, 0), unit_ns)
    ns = pc.if_else(fits, ns, pa.scalar(None, pa.int64()))
    return pc.cast(ns, TIMESTAMP_NS)


def map_distinct(array: Any, fn: Callable[[Any], Any], out_type: Any) -> Any:
    """fn applied to each distinct non-null value of `array` (as a Python
    object), spread back over the rows: the per-value Python costs the
    number of distinct values, not rows. fn returning None gives null."""
    if isinstance(array, pa.ChunkedArray):
        array = array.combine_chunks() if array.num_chunks != 1 else array.chunk(0)
    if isinstance(array.type, pa.BaseExtensionType):
        array = array.storage
    encoded = pc.dictionary_encode(array)
    mapped = pa.array([fn(v) for v in encoded.dictionary.to_pylist()], type=out_type)
    return mapped.take(encoded.indices)


def sid_text(blob: bytes | None) -> str | None:
    """A binary SID as text (S-1-5-21-...); None when the bytes are no SID:
    revision 1, a sub-authority count, the 48-bit authority big-endian, then
    that many 32-bit sub-authorities little-endian, and nothing after."""
    if blob is None or len(blob) < 8 or blob[0] != 1:
        return None
    count = blob[1]
    if len(blob) != 8 + 4 * count:
        return None
    authority = int.from_bytes(blob[2:8], "big")
    # Authorities of 2**32 and more are written in hexadecimal.
    parts = ["S", "1", str(authority) if authority < 2**32 else f"0x{authority:012X}"]
    parts += [str(v) for v in struct.unpack_from(f"<{count}I", blob, 8)]
    return "-".join(parts)


def utf16_text(blob: bytes | None) -> str | None:
    """UTF-16LE bytes as text, trailing NULs removed; an odd last byte and
    bad surrogates become U+FFFD."""
    if blob is None:
        return None
    return blob.decode("utf-16-le", errors="replace").rstrip("\x00")


def ip_text(blob: bytes | None) -> str | None:
    """4 bytes as dotted IPv4, 16 as IPv6 in its compressed form (::1);
    None for any other length."""
    if blob is None:
        return None
    if len(blob) == 4:
        return str(ipaddress.IPv4Address(blob))
    if len(blob) == 16:
        return str(ipaddress.IPv6Address(blob))
    return None


def guid_text(value: bytes | None) -> str | None:
    """The 16 bytes of an arrow.uuid value (UUID byte order) as canonical text."""
    return None if value is None else str(uuid.UUID(bytes=value))


def uuid_storage(array: Any) -> Any:
    """The fixed_size_binary(16) under an arrow.uuid array (for joins and
    comparisons, which extension types do not take part in)."""
    if isinstance(array, pa.ChunkedArray):
        return pa.chunked_array([uuid_storage(c) for c in array.chunks], type=pa.binary(16)) \
            if isinstance(array.type, pa.BaseExtensionType) else array
    return array.storage if isinstance(array.type, pa.BaseExtensionType) else array


def free_name(existing: Iterable[str], wanted: str) -> str:
    """`wanted`, or wanted_2, wanted_3, ...: the first that no name in
    `existing` equals when letter case is ignored (DuckDB and many
    spreadsheets fold case, so AppName and appname would be one column)."""
    taken = {name.casefold() for name in existing}
    name, n = wanted, 1
    while name.casefold() in taken:
        n += 1
        name = f"{wanted}_{n}"
    return name


def claim_name(taken: set[str], wanted: str) -> str:
    """free_name for names given out one after another: `taken` holds the
    casefolded names given so far and gets the new one."""
    name, n = wanted, 1
    while name.casefold() in taken:
        n += 1
        name = f"{wanted}_{n}"
    taken.add(name.casefold())
    return name


def add_column(table: Any, wanted: str, array: Any) -> tuple[Any, str]:
    """The table with `array` appended under a free name; the name used."""
    name = free_name(table.column_names, wanted)
    return table.append_column(name, array), name


def count_null_where(mask: Any) -> int:
    """The number of true values of a boolean array (nulls not counted)."""
    return int(pc.sum(pc.cast(pc.fill_null(mask, False), pa.int64())).as_py() or 0)


_HEX_PAIRS = pa.array([f"{i:02x}" for i in range(256)], pa.string())


def hex_text(array: Any) -> Any:
    """Binary values as lowercase hexadecimal text, without per-value Python:
    each byte becomes its two digits through a 256-entry table, and the
    digits of one value are joined."""
    if isinstance(array, pa.ChunkedArray):
        return pa.chunked_array([hex_text(c) for c in array.chunks], type=pa.string())
    if not pa.types.is_binary(array.type):
        array = pc.cast(array, pa.binary())
    if array.offset:
        array = pa.concat_arrays([array])  # a slice: its own buffers, offsets from 0
    _, offsets_buffer, data_buffer = array.buffers()
    offsets = pa.Array.from_buffers(pa.int32(), len(array) + 1, [None, offsets_buffer])
    size = offsets[-1].as_py() - offsets[0].as_py() if len(array) else 0
    data = pa.Array.from_buffers(pa.uint8(), size, [None, data_buffer]) if size else pa.array([], pa.uint8())
    digits = pa.ListArray.from_arrays(offsets, _HEX_PAIRS.take(data), mask=array.is_null())
    return pc.binary_join(digits, "")


def join_present(parts: list[Any], separator: str) -> Any:
    """The parts' values joined with `separator`, row by row, null parts left
    out; null where every part is. (pyarrow's own null_handling="skip" drops
    the rows whose parts are all null, shortening the array.)"""
    joined = parts[0]
    for part in parts[1:]:
        both = pc.binary_join_element_wise(joined, part, separator)
        joined = pc.if_else(pc.is_null(joined), part, pc.if_else(pc.is_null(part), joined, both))
    return joined

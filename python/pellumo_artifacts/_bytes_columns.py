"""Whole-column conversions of values the databases keep as bytes.

WebCache, Windows Search and the directory store times and integers in
binary columns, and text in binary columns. Tables of these run to millions
of rows, so each conversion here works on a whole Arrow array at once: the
bytes of all values are viewed as one NumPy buffer, never one Python object
per value. A value that does not have the expected shape comes back null and
is flagged in the returned mask, so the caller can keep its bytes and count it.
"""

from __future__ import annotations

from typing import Any

import numpy as np

from pellumo_artifacts._arrow import pa, pc

# 100-ns intervals from 1601-01-01 to 1970-01-01.
FILETIME_UNIX_EPOCH = 116_444_736_000_000_000
FILETIME_NEVER = 0x7FFF_FFFF_FFFF_FFFF
# Below one day after 1601 a FILETIME is a marker (the gatherer writes 1 on
# the roots of its scopes), not a time anyone recorded.
FILETIME_MARKERS_BELOW = 864_000_000_000
_NS_MIN = -(2**63)
_NS_MAX = 2**63 - 1
# FILETIMEs whose nanoseconds since 1970 fit in int64 (1677 to 2262).
_FT_MIN = FILETIME_UNIX_EPOCH + _NS_MIN // 100 + 1
_FT_MAX = FILETIME_UNIX_EPOCH + _NS_MAX // 100

TIMESTAMP_NS = pa.timestamp("ns", tz="UTC")


def as_array(values: pa.Array | pa.ChunkedArray) -> pa.Array:
    """One contiguous array (a chunked column is combined first)."""
    if isinstance(values, pa.ChunkedArray):
        if values.num_chunks == 1:
            return values.chunk(0)
        return pa.concat_arrays(values.chunks) if values.num_chunks else pa.array([], values.type)
    return values


def valid_mask(values: pa.Array | pa.ChunkedArray) -> np.ndarray[Any, np.dtype[np.bool_]]:
    """Per row: whether the value is not null. Read from the validity bitmap
    itself: converting a boolean array to NumPy costs several times more."""
    array = as_array(values)
    n = len(array)
    if array.null_count == 0:
        return np.ones(n, bool)
    bitmap = array.buffers()[0]
    if bitmap is None or array.null_count == n:  # the null type has no bitmap
        return np.zeros(n, bool)
    bits = np.unpackbits(np.frombuffer(bitmap, np.uint8), bitorder="little")
    return bits[array.offset : array.offset + n].astype(bool)


def fixed_width_bytes(values: pa.Array, width: int) -> tuple[np.ndarray[Any, Any], np.ndarray[Any, Any], int]:
    """The values of a binary array that are exactly `width` bytes long, as
    an (n, width) uint8 matrix, with the mask of those rows and the number of
    non-null values of another length."""
    values = as_array(values)
    n = len(values)
    if n == 0:
        return np.zeros((0, width), np.uint8), np.zeros(0, bool), 0
    if pa.types.is_large_binary(values.type):
        values = values.cast(pa.binary())
    offsets = np.frombuffer(values.buffers()[1], dtype=np.int32, count=n + 1, offset=values.offset * 4)
    lengths = np.diff(offsets)
    present = valid_mask(values)
    good = present & (lengths == width)
    wrong = int(np.count_nonzero(present & ~good))
    data = values.buffers()[2]
    raw = np.frombuffer(data, dtype=np.uint8) if data is not None else np.zeros(0, np.uint8)
    if good.all():
        # Every value has the width: the bytes are one contiguous block.
        start = int(offsets[0])
        return raw[start : start + n * width].reshape(n, width), good, 0
    matrix = np.zeros((n, width), np.uint8)
    count = int(np.count_nonzero(good))
    if count:
        # Keeping only the values of the width packs their bytes together.
        kept = values.filter(pa.array(good))
        kept_offsets = np.frombuffer(kept.buffers()[1], dtype=np.int32, count=count + 1, offset=kept.offset * 4)
        kept_raw = np.frombuffer(kept.buffers()[2], dtype=np.uint8)
        start = int(kept_offsets[0])
        matrix[good] = kept_raw[start : start + count * width].reshape(count, width)
    return matrix, good, wrong


def integers(
    values: pa.Array, width: int, *, signed: bool = False, big_endian: bool = False
) -> tuple[pa.Array, np.ndarray[Any, Any], int]:
    """Integers held as `width` bytes (1, 2, 4 or 8). Returns the int array
    (null where a value has another length), the mask of the non-null values
    that could not be read and their count."""
    matrix, good, _ = fixed_width_bytes(values, width)
    kind = "i" if signed else "u"
    dtype = np.dtype(f"{'>' if big_endian else '<'}{kind}{width}")
    numbers = np.ascontiguousarray(matrix).view(dtype).reshape(-1).astype(dtype.newbyteorder("="))
    present = valid_mask(values)
    failed = present & ~good
    arrow_type = pa.from_numpy_dtype(numbers.dtype)
    return pa.array(numbers, type=arrow_type, mask=~good), failed, int(np.count_nonzero(failed))


def filetimes_from_int64(values: pa.Array) -> tuple[pa.Array, np.ndarray[Any, Any], int]:
    """FILETIMEs (signed 64-bit) as timestamp[ns, UTC]. 0 (and the markers
    below one day after 1601) and the "never" value 0x7FFFFFFFFFFFFFFF are
    null; a time outside what nanoseconds since 1970 can hold is null and
    flagged (mask, count)."""
    values = as_array(values)
    if values.type != pa.int64():
        values = values.cast(pa.int64())
    raw = np.asarray(values.fill_null(0).to_numpy(zero_copy_only=False), dtype=np.int64)
    present = valid_mask(values)
    empty = ((raw >= 0) & (raw < FILETIME_MARKERS_BELOW)) | (raw == FILETIME_NEVER)
    in_range = (raw >= _FT_MIN) & (raw <= _FT_MAX)
    ok = present & ~empty & in_range
    failed = present & ~empty & ~in_range
    ns = np.where(ok, (raw - FILETIME_UNIX_EPOCH) * 100, 0)
    return pa.array(ns, type=TIMESTAMP_NS, mask=~ok), failed, int(np.count_nonzero(failed))


def filetimes_from_bytes(values: pa.Array, *, big_endian: bool = False) -> tuple[pa.Array, np.ndarray[Any, Any], int]:
    """8-byte FILETIMEs as timestamp[ns, UTC]; other lengths and times out
    of range are null and flagged."""
    numbers, failed_shape, _ = integers(values, 8, signed=True, big_endian=big_endian)
    times, failed_range, _ = filetimes_from_int64(numbers)
    failed = failed_shape | failed_range
    return times, failed, int(np.count_nonzero(failed))


def plausible_filetimes(values: pa.Array, *, big_endian: bool) -> int:
    """How many 8-byte values read as a FILETIME between 1980 and 2100: the
    measure that tells which byte order a store wrote."""
    numbers, _, _ = integers(values, 8, signed=True, big_endian=big_endian)
    raw = np.asarray(numbers.fill_null(0).to_numpy(zero_copy_only=False), dtype=np.int64)
    low = FILETIME_UNIX_EPOCH + 315_532_800 * 10_000_000  # 1980-01-01
    high = FILETIME_UNIX_EPOCH + 4_102_444_800 * 10_000_000  # 2100-01-01
    return int(np.count_nonzero((raw >= low) & (raw < high)))


def strip_nuls(values: pa.Array | pa.ChunkedArray) -> pa.Array | pa.ChunkedArray:
    """Text without the trailing NUL characters C strings leave behind."""
    if pa.types.is_list(values.type) or pa.types.is_large_list(values.type):
        array = as_array(values)
        flat = pc.utf8_rtrim(array.flatten(), characters="\x00")
        return type(array).from_arrays(array.offsets, flat, mask=array.is_null())
    return pc.utf8_rtrim(values, characters="\x00")


def _utf8_of_units(units: np.ndarray[Any, Any]) -> tuple[np.ndarray[Any, Any], np.ndarray[Any, Any]]:
    """UTF-8 bytes of UTF-16 code units that hold no surrogate, and the byte
    position where each unit's encoding starts (one past the end last)."""
    if not (units >= 0x80).any():
        # ASCII, by far the most common: one byte per unit.
        return units.astype(np.uint8), np.arange(len(units) + 1, dtype=np.int64)
    width = np.where(units < 0x80, 1, np.where(units < 0x800, 2, 3)).astype(np.int64)
    starts = np.concatenate(([0], np.cumsum(width)))
    out = np.zeros(int(starts[-1]), np.uint8)
    at = starts[:-1]
    one, two, three = width == 1, width == 2, width == 3
    out[at[one]] = units[one]
    u = units[two].astype(np.uint32)
    out[at[two]] = 0xC0 | (u >> 6)
    out[at[two] + 1] = 0x80 | (u & 0x3F)
    u = units[three].astype(np.uint32)
    out[at[three]] = 0xE0 | (u >> 12)
    out[at[three] + 1] = 0x80 | ((u >> 6) & 0x3F)
    out[at[three] + 2] = 0x80 | (u & 0x3F)
    return out, starts


def utf16_string_lists(values: pa.Array) -> tuple[pa.Array, np.ndarray[Any, Any], np.ndarray[Any, Any]]:
    """UTF-16LE values holding NUL-separated strings (a multi-valued string
    property) as list<string>, trailing NULs dropped, decoded for the whole
    column at once. Returns the lists (null where a value is null or not
    decoded), the mask of values that are no text (odd length, a control
    character) and the mask of values holding surrogates, which the caller
    decodes one by one (rare: characters beyond the first plane)."""
    array = as_array(values)
    if pa.types.is_large_binary(array.type):
        array = array.cast(pa.binary())
    n = len(array)
    out_type = pa.list_(pa.string())
    present = valid_mask(array)
    if n == 0 or not present.any():
        return pa.nulls(n, out_type), np.zeros(n, bool), np.zeros(n, bool)
    offsets = np.frombuffer(array.buffers()[1], dtype=np.int32, count=n + 1, offset=array.offset * 4)
    lengths = np.diff(offsets).astype(np.int64)
    odd = present & (lengths % 2 == 1)
    chosen = present & ~odd
    rows = np.nonzero(chosen)[0]
    kept = array.filter(pa.array(chosen))  # even lengths only: the units are aligned
    m = len(kept)
    k_offsets = np.frombuffer(kept.buffers()[1], dtype=np.int32, count=m + 1, offset=kept.offset * 4).astype(np.int64)
    data = kept.buffers()[2]
    raw = np.frombuffer(data, dtype=np.uint8) if data is not None else np.zeros(0, np.uint8)
    start = int(k_offsets[0])
    units = raw[start : int(k_offsets[-1])].view("<u2").astype(np.uint16)
    unit_len = np.diff(k_offsets) // 2
    unit_start = np.concatenate(([0], np.cumsum(unit_len)))
    value_of = np.repeat(np.arange(m), unit_len)
    position = np.arange(len(units)) - unit_start[:-1][value_of]
    # Trailing NULs are dropped: each value ends after its last other unit.
    last = np.full(m, -1, np.int64)
    nonzero = np.nonzero(units != 0)[0]
    np.maximum.at(last, value_of[nonzero], position[nonzero])
    inside = position <= last[value_of]
    bad_unit = inside & (((units < 0x20) & (units != 0) & (units != 9) & (units != 10) & (units != 13))
                         | ((units >= 0x7F) & (units < 0xA0)) | (units == 0xFFFD))
    surrogate_unit = inside & (units >= 0xD800) & (units < 0xE000)
    bad = np.zeros(m, bool)
    bad[value_of[bad_unit]] = True
    surrogate = np.zeros(m, bool)
    surrogate[value_of[surrogate_unit]] = True
    surrogate &= ~bad
    good = ~bad & ~surrogate
    # Decode the good values: separators split items, the rest is text.
    take = inside & good[value_of]
    separator = take & (units == 0)
    char = take & ~separator
    encoded, byte_at = _utf8_of_units(np.where(char, units, 0)[char])
    # Item boundaries in unit space: each good value's start, and after each separator.
    char_before = np.concatenate(([0], np.cumsum(char)))
    item_count = np.zeros(m, np.int64)
    np.add.at(item_count, value_of[separator], 1)
    item_count = np.where(good & (last >= 0), item_count + 1, 0)
    value_begin = unit_start[:-1]
    # Starts of items (as unit indices): value starts, then unit after each separator.
    starts_unit = np.concatenate((value_begin[item_count > 0], np.nonzero(separator)[0] + 1))
    owner = np.concatenate((np.nonzero(item_count > 0)[0], value_of[separator]))
    order = np.lexsort((starts_unit, owner))
    starts_unit = starts_unit[order]
    item_bytes = byte_at[char_before[starts_unit]]
    strings_offsets = np.concatenate((item_bytes, [len(encoded)])).astype(np.int32)
    # An item ends where the next begins, less its separator: the separator
    # encodes to no byte, so the next item's start is this one's end.
    strings = pa.StringArray.from_buffers(
        len(starts_unit), pa.py_buffer(strings_offsets), pa.py_buffer(encoded.tobytes())
    )
    list_offsets = np.concatenate(([0], np.cumsum(item_count))).astype(np.int32)
    decoded = pa.ListArray.from_arrays(pa.array(list_offsets), strings, mask=pa.array(~good))
    full_index = np.zeros(n, np.int64)
    full_index[rows] = np.arange(m)
    full_valid = np.zeros(n, bool)
    full_valid[rows] = good
    result = decoded.take(pa.array(full_index, mask=~full_valid))
    failed = odd.copy()
    failed[rows[bad]] = True
    needs_python = np.zeros(n, bool)
    needs_python[rows[surrogate]] = True
    return result, failed, needs_python


def keep_failed(values: pa.Array, failed: np.ndarray[Any, Any]) -> pa.Array:
    """The original values where `failed` is set, null elsewhere."""
    return pc.if_else(pa.array(failed), as_array(values), pa.nulls(len(failed), as_array(values).type))

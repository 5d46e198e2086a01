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


def _numpy_bool(mask: pa.Array) -> np.ndarray[Any, np.dtype[np.bool_]]:
    return np.asarray(mask.fill_null(False).to_numpy(zero_copy_only=False), dtype=bool)


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
    lengths = pc.binary_length(values)
    fits = pc.equal(lengths, width)
    good = _numpy_bool(fits)
    present = _numpy_bool(values.is_valid())
    wrong = int(np.count_nonzero(present & ~good))
    matrix = np.zeros((n, width), np.uint8)
    if good.any():
        offsets = np.frombuffer(values.buffers()[1], dtype=np.int32, count=n + 1, offset=values.offset * 4)
        data = values.buffers()[2]
        raw = np.frombuffer(data, dtype=np.uint8) if data is not None else np.zeros(0, np.uint8)
        starts = offsets[:-1][good]
        index = starts[:, None] + np.arange(width)[None, :]
        matrix[good] = raw[index]
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
    present = _numpy_bool(as_array(values).is_valid())
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
    present = _numpy_bool(values.is_valid())
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


def keep_failed(values: pa.Array, failed: np.ndarray[Any, Any]) -> pa.Array:
    """The original values where `failed` is set, null elsewhere."""
    return pc.if_else(pa.array(failed), as_array(values), pa.nulls(len(failed), as_array(values).type))

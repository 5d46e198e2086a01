"""Values of the directory database, converted a whole column at a time.

- SIDs are stored as in memory (revision, sub-authority count, 48-bit
  big-endian authority, 32-bit little-endian sub-authorities) except that
  the directory writes the last sub-authority, the RID, big-endian so that
  the SIDs of one domain sort by RID.
- Times of the generalized-time syntax (whenCreated, whenChanged, the
  time_col of every row, link deletion times) are seconds since 1601.
- Large-integer times (pwdLastSet, lastLogonTimestamp, accountExpires...)
  are FILETIMEs; 0 and 0x7FFFFFFFFFFFFFFF mean none.
- GUIDs are 16 bytes, the first three fields little-endian.
- Distinguished names are built from each row's RDN and its parent's DN
  (PDNT_col), with the characters RFC 4514 reserves escaped; the line feed
  a deleted object's name carries is written `\\0A`, as the directory does.
"""

from __future__ import annotations

from collections.abc import Callable
from typing import Any

import numpy as np

from pellumo_artifacts import _bytes_columns as bc
from pellumo_artifacts._arrow import pa, pc

SECONDS_1601_TO_1970 = 11_644_473_600

# userAccountControl bits (Microsoft's names, without the ADS_UF_ prefix).
UAC_FLAGS: tuple[tuple[int, str], ...] = (
    (0x00000001, "SCRIPT"),
    (0x00000002, "ACCOUNTDISABLE"),
    (0x00000008, "HOMEDIR_REQUIRED"),
    (0x00000010, "LOCKOUT"),
    (0x00000020, "PASSWD_NOTREQD"),
    (0x00000040, "PASSWD_CANT_CHANGE"),
    (0x00000080, "ENCRYPTED_TEXT_PWD_ALLOWED"),
    (0x00000100, "TEMP_DUPLICATE_ACCOUNT"),
    (0x00000200, "NORMAL_ACCOUNT"),
    (0x00000800, "INTERDOMAIN_TRUST_ACCOUNT"),
    (0x00001000, "WORKSTATION_TRUST_ACCOUNT"),
    (0x00002000, "SERVER_TRUST_ACCOUNT"),
    (0x00010000, "DONT_EXPIRE_PASSWORD"),
    (0x00020000, "MNS_LOGON_ACCOUNT"),
    (0x00040000, "SMARTCARD_REQUIRED"),
    (0x00080000, "TRUSTED_FOR_DELEGATION"),
    (0x00100000, "NOT_DELEGATED"),
    (0x00200000, "USE_DES_KEY_ONLY"),
    (0x00400000, "DONT_REQ_PREAUTH"),
    (0x00800000, "PASSWORD_EXPIRED"),
    (0x01000000, "TRUSTED_TO_AUTH_FOR_DELEGATION"),
    (0x04000000, "PARTIAL_SECRETS_ACCOUNT"),
)

# msDS-Behavior-Version of a domain or forest.
FUNCTIONAL_LEVELS = {
    0: "Windows2000",
    1: "Windows2003Interim",
    2: "Windows2003",
    3: "Windows2008",
    4: "Windows2008R2",
    5: "Windows2012",
    6: "Windows2012R2",
    7: "Windows2016",
    10: "Windows2025",
}


def flag_names(values: pa.Array, flags: tuple[tuple[int, str], ...]) -> pa.Array:
    """list<string> of the names of the bits set in each integer (bits
    without a name as `0x...`). Accounts share a handful of values, so each
    distinct value is named once."""
    array = bc.as_array(values)
    encoded = pc.dictionary_encode(array)
    named: list[list[str]] = []
    for value in encoded.dictionary.to_pylist():
        bits = int(value) & 0xFFFFFFFF
        names = [name for bit, name in flags if bits & bit]
        known = 0
        for bit, _ in flags:
            known |= bit
        names += [f"0x{1 << i:08X}" for i in range(32) if bits & ~known & (1 << i)]
        named.append(names)
    return pa.array(named, pa.list_(pa.string())).take(encoded.indices)


def dstime(values: pa.Array) -> tuple[pa.Array, int]:
    """Seconds since 1601 as timestamp[ns, UTC]; 0 is null; times beyond
    what nanoseconds hold are null and counted."""
    array = bc.as_array(values).cast(pa.int64())
    raw = np.asarray(array.fill_null(0).to_numpy(zero_copy_only=False), dtype=np.int64)
    present = bc.valid_mask(array)
    unix = raw - SECONDS_1601_TO_1970
    limit = (2**63 - 1) // 1_000_000_000
    ok = present & (raw != 0) & (np.abs(unix) <= limit)
    bad = present & (raw != 0) & ~ok
    ns = np.where(ok, unix, 0) * 1_000_000_000
    return pa.array(ns, bc.TIMESTAMP_NS, mask=~ok), int(np.count_nonzero(bad))


def _sid_prefix(head: bytes) -> str:
    """`S-1-<authority>-<sub-authorities but the last>` of a SID's bytes
    without its last 4 (the RID)."""
    count = head[1]
    parts = ["S", str(head[0]), str(int.from_bytes(head[2:8], "big"))]
    parts += [str(int.from_bytes(head[8 + 4 * k : 12 + 4 * k], "little")) for k in range(count - 1)]
    return "-".join(parts)


def sids(values: pa.Array) -> tuple[pa.Array, pa.Array, int]:
    """Stored SIDs as text (`S-1-5-21-…-1104`) and their RIDs (the last
    sub-authority, read big-endian); values that are no SID are null and
    counted. The SIDs of a directory share a few domain prefixes: each
    prefix is written once, and only the RIDs row by row."""
    array = bc.as_array(values)
    if pa.types.is_large_binary(array.type):
        array = array.cast(pa.binary())
    n = len(array)
    text = pa.nulls(n, pa.string())
    rids = pa.nulls(n, pa.uint32())
    present = bc.valid_mask(array)
    done = np.zeros(n, bool)
    if present.any():
        lengths = np.asarray(pc.binary_length(array).fill_null(0).to_numpy(zero_copy_only=False), dtype=np.int64)
        for length in np.unique(lengths[present]):
            length = int(length)
            if length < 12 or (length - 8) % 4 or (length - 8) // 4 > 15:
                continue
            matrix, rows, _ = bc.fixed_width_bytes(array, length)
            count = (length - 8) // 4
            valid = rows & (matrix[:, 0] == 1) & (matrix[:, 1] == count)
            if not valid.any():
                continue
            where = np.nonzero(valid)[0]
            part = matrix[where]
            rid = part[:, length - 4 : length].astype(np.uint32)
            rid_values = (rid[:, 0] << 24) | (rid[:, 1] << 16) | (rid[:, 2] << 8) | rid[:, 3]
            heads = pa.FixedSizeBinaryArray.from_buffers(
                pa.binary(length - 4), len(part), [None, pa.py_buffer(np.ascontiguousarray(part[:, : length - 4]))]
            )
            encoded = pc.dictionary_encode(heads)
            prefixes = pa.array([_sid_prefix(h) for h in encoded.dictionary.to_pylist()], pa.string())
            joined = pc.binary_join_element_wise(
                prefixes.take(encoded.indices), pa.array(rid_values).cast(pa.string()), "-"
            )
            text = _scatter(text, where, joined)
            rids = _scatter(rids, where, pa.array(rid_values, pa.uint32()))
            done[where] = True
    failures = int(np.count_nonzero(present & ~done))
    return text, rids, failures


def _scatter(target: pa.Array, where: np.ndarray[Any, Any], values: pa.Array) -> pa.Array:
    """`target` with positions `where` replaced by `values` (in order)."""
    mask = np.zeros(len(target), bool)
    mask[where] = True
    index = np.full(len(target), 0, np.int64)
    index[where] = np.arange(len(where))
    spread = values.take(pa.array(index)) if len(values) else pa.nulls(len(target), values.type)
    return pc.if_else(pa.array(mask), spread, target)


def guids(values: pa.Array) -> tuple[pa.Array, int]:
    """16-byte GUIDs as UUIDs (Arrow's uuid type); others null and counted."""
    matrix, good, wrong = bc.fixed_width_bytes(values, 16)
    order = [3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15]
    canonical = np.ascontiguousarray(matrix[:, order])
    storage = pa.FixedSizeBinaryArray.from_buffers(
        pa.binary(16), len(canonical), [None, pa.py_buffer(canonical.tobytes())]
    )
    storage = pc.if_else(pa.array(good), storage, pa.nulls(len(storage), pa.binary(16)))
    return pa.ExtensionArray.from_storage(pa.uuid(), storage), wrong


_RFC4514_SPECIAL = r'([\\,+"<>;=#])'
_RESERVED_BYTES = np.zeros(256, bool)
_RESERVED_BYTES[list(b'\\,+"<>;=#\n\r')] = True


def _needs_escape(values: pa.Array) -> np.ndarray[Any, Any]:
    """Per value: whether it holds a character a DN reserves, or starts or
    ends with a space. Read from the UTF-8 bytes at once: every reserved
    character is ASCII, and no byte of a longer UTF-8 sequence is."""
    n = len(values)
    if n == 0 or values.null_count == n:
        return np.zeros(n, bool)
    offsets = np.frombuffer(values.buffers()[1], np.int32, count=n + 1, offset=values.offset * 4).astype(np.int64)
    data_buffer = values.buffers()[2]
    data = np.frombuffer(data_buffer, np.uint8) if data_buffer is not None else np.zeros(0, np.uint8)
    if len(data) == 0:
        return np.zeros(n, bool)
    hits = np.nonzero(_RESERVED_BYTES[data[offsets[0] : offsets[-1]]])[0] + offsets[0]
    out = np.zeros(n, bool)
    out[np.searchsorted(offsets, hits, side="right") - 1] = True
    filled = offsets[1:] > offsets[:-1]
    first = data[np.minimum(offsets[:-1], len(data) - 1)]
    last = data[np.maximum(offsets[1:] - 1, 0)]
    out |= filled & ((first == 0x20) | (last == 0x20))
    needs: np.ndarray[Any, Any] = out & bc.valid_mask(values)
    return needs


def escape_rdn_values(values: pa.Array) -> pa.Array:
    """RDN values with the characters a DN reserves escaped (only the values
    that hold one are rewritten: most names need nothing)."""
    values = bc.as_array(values)
    if pa.types.is_large_string(values.type):
        values = values.cast(pa.string())
    needs_np = _needs_escape(values)
    if not needs_np.any():
        return values
    needs = pa.array(needs_np)
    chosen = values.filter(needs)
    escaped = pc.replace_substring_regex(chosen, pattern=_RFC4514_SPECIAL, replacement=r"\\\1")
    escaped = pc.replace_substring(escaped, pattern="\n", replacement="\\0A")
    escaped = pc.replace_substring(escaped, pattern="\r", replacement="\\0D")
    escaped = pc.replace_substring_regex(escaped, pattern=r"^ ", replacement=r"\\ ")
    escaped = pc.replace_substring_regex(escaped, pattern=r" $", replacement=r"\\ ")
    return _scatter(values, np.nonzero(needs_np)[0], escaped)


def row_positions(keys: pa.Array | pa.ChunkedArray) -> Callable[[pa.Array | pa.ChunkedArray], np.ndarray[Any, Any]]:
    """A lookup from key values to the row holding them (-1 where none
    does; the first row of a repeated key). DNTs are row numbers of a kind,
    dense from 1: a position array indexed by key answers without hashing;
    keys spread too thinly for one are hashed."""
    values = np.asarray(bc.as_array(keys).cast(pa.int64()).fill_null(-1).to_numpy(zero_copy_only=False))
    valid = values >= 0
    top = int(values.max()) if len(values) else -1
    if top < 4 * len(values) + 1024:
        positions = np.full(top + 2, -1, np.int64)
        order = np.nonzero(valid)[0][::-1]
        positions[values[order]] = order

        def dense(wanted: pa.Array | pa.ChunkedArray) -> np.ndarray[Any, Any]:
            w = np.asarray(bc.as_array(wanted).cast(pa.int64()).fill_null(-1).to_numpy(zero_copy_only=False))
            inside = (w >= 0) & (w < len(positions))
            return np.where(inside, positions[np.where(inside, w, 0)], -1)

        return dense
    value_set = pa.array(np.where(valid, values, -1))

    def hashed(wanted: pa.Array | pa.ChunkedArray) -> np.ndarray[Any, Any]:
        w = bc.as_array(wanted).cast(pa.int64())
        found = pc.index_in(w, value_set=value_set)
        out = np.asarray(found.fill_null(-1).to_numpy(zero_copy_only=False), dtype=np.int64)
        return np.where(np.asarray(w.fill_null(-1).to_numpy(zero_copy_only=False)) >= 0, out, -1)

    return hashed


def distinguished_names(
    dnt: pa.Array, pdnt: pa.Array, rdn: pa.Array, *, max_depth: int = 256
) -> tuple[pa.Array, int]:
    """The DN of every row from its RDN (`CN=Users`) and its parent's DN.

    A row whose parent is 0 or absent from the rows is a root: its DN is
    its RDN alone (the root object itself, whose RDN is null, has the empty
    DN). Rows on a parent chain that loops or runs deeper than `max_depth`
    get no DN and are counted."""
    n = len(dnt)
    if n == 0:
        return pa.array([], pa.string()), 0
    parent_np = row_positions(dnt)(pdnt)
    rdn_a = bc.as_array(rdn)
    # state: where a row's DN is, as an index into the concatenated levels.
    # Levels hold an empty DN as null, so that a child of an empty DN gets
    # its RDN and a row without an RDN its parent's DN by taking the first
    # value present.
    state = np.full(n, -1, np.int64)
    chunks: list[pa.Array] = []
    total = 0
    # Roots: no parent among the rows.
    roots = np.nonzero(parent_np < 0)[0]
    if len(roots):
        chunks.append(rdn_a.take(pa.array(roots)))
        state[roots] = np.arange(len(roots))
        total = len(roots)
    known_parent = parent_np >= 0
    safe_parent = np.where(known_parent, parent_np, 0)
    level_start = 0
    for _ in range(max_depth):
        # A row joins the level after its parent's: every parent of this
        # level is in the previous one, so one take from it gives their DNs.
        frontier = np.nonzero((state < 0) & known_parent & (state[safe_parent] >= level_start))[0]
        if len(frontier) == 0:
            break
        parent_dn = chunks[-1].take(pa.array(state[parent_np[frontier]] - level_start))
        own = rdn_a.take(pa.array(frontier))
        # A null on either side leaves the other; both null stay null. (The
        # join's own "skip" mode is not used: it gives no rows at all when
        # every input is null.)
        dn = pc.coalesce(pc.binary_join_element_wise(own, parent_dn, ","), own, parent_dn)
        level_start = total
        chunks.append(bc.as_array(dn))
        state[frontier] = total + np.arange(len(frontier))
        total += len(frontier)
    unresolved = state < 0
    # Resolved rows whose DN is empty point at one "" past the levels.
    empty = np.zeros(total + 1, bool)
    offset = 0
    for chunk in chunks:
        empty[offset : offset + len(chunk)] = ~bc.valid_mask(chunk)
        offset += len(chunk)
    index = np.where(unresolved, 0, state)
    index = np.where(empty[index] & ~unresolved, total, index)
    store = pa.chunked_array([*chunks, pa.array([""], pa.string())], pa.string())
    result = store.take(pa.array(index, mask=unresolved))
    return bc.as_array(result), int(np.count_nonzero(unresolved))

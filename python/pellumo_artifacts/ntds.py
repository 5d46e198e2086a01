"""Active Directory (ntds.dit): every directory object, and the users,
computers, groups, memberships and domain analysts ask about.

`datatable` holds one row per object, one column per attribute
(`ATT<syntax letter><attribute id>`, see _ntds_schema); `link_table` holds
the linked attributes (group members, managers...) as pairs of row ids
(DNTs) with the link's base id (linkID / 2). Directories of several GB are
common, so every table reads only the columns it needs through
EseDatabase.arrow, and converts whole columns at a time.

Secret attributes (password hashes, their history, Kerberos keys, the
password encryption key list, trust and LSA secrets) are never read.
"""

from __future__ import annotations

import weakref
from collections.abc import Callable, Sequence
from typing import Any

import numpy as np

from pellumo_artifacts import _bytes_columns as bc
from pellumo_artifacts import _ntds_schema as ns
from pellumo_artifacts import _ntds_values as nv
from pellumo_artifacts._arrow import pa, pc
from pellumo_artifacts._base import Catalog, Kind, Source, TimelineSpec
from pellumo_artifacts._convert import claim_name
from pellumo_artifacts._registry import register

# Reads a table of the database (only the columns named, when given) as a
# pyarrow.Table of engine values.
Reader = Callable[..., Any]

KIND = "ntds"
RECOVERED = "_recovered"
TABLE_NAMES = ("objects", "users", "computers", "groups", "memberships", "links", "domain")

_DN_COLUMNS = ("DNT_col", "PDNT_col", "RDNtyp_col")
# Large-integer attributes that hold FILETIMEs.
FILETIME_ATTRIBUTES = frozenset(
    {
        "pwdLastSet",
        "lastLogon",
        "lastLogonTimestamp",
        "lastLogoff",
        "accountExpires",
        "badPasswordTime",
        "lockoutTime",
        "creationTime",
        "lastSetTime",
        "priorSetTime",
        "msDS-LastSuccessfulInteractiveLogonTime",
        "msDS-LastFailedInteractiveLogonTime",
        "msDS-ApproximateLastLogonTimeStamp",
        "ms-Mcs-AdmPwdExpirationTime",
        "msLAPS-PasswordExpirationTime",
    }
)
# Octet-string attributes that hold one GUID.
GUID_ATTRIBUTES = frozenset(
    {
        "objectGUID",
        "schemaIDGUID",
        "attributeSecurityGUID",
        "invocationId",
        "msDS-OptionalFeatureGUID",
        "msDFSR-ContentSetGuid",
        "msDFSR-ReplicationGroupGuid",
    }
)
_GENERALIZED_TIME = "l"
_LARGE_INTEGER = "q"
_SID = "r"
_OCTETS = "k"
_BOOLEAN = "i"
_DN = "b"
_IA5 = ("f", "g")

_CLASS_USER = "user"
_CLASS_COMPUTER = "computer"
_CLASS_GROUP = "group"
_CLASS_DOMAIN = "domainDNS"
_CLASS_CROSS_REF = "crossRef"
_MEMBER_LINK_BASE = 1  # member: linkID 2






def _first_items(values: pa.Array) -> tuple[pa.Array, int]:
    """The first item of each list (null for a null or empty list), and how
    many lists hold more than one item."""
    array = bc.as_array(values)
    n = len(array)
    offsets = np.asarray(array.offsets.to_numpy(zero_copy_only=False), dtype=np.int64)
    lengths = np.diff(offsets)
    many = int(np.count_nonzero(lengths > 1))
    flat = array.values.slice(int(offsets[0]), int(offsets[-1] - offsets[0])) if n else array.flatten()
    if many == 0 and flat.null_count == 0:
        # Lists of one item or none: most attributes of most objects. The
        # items are the answer as they lie (every list of one), or are spread
        # to their rows without copying the values themselves.
        present = lengths == 1
        if array.null_count:
            present &= bc.valid_mask(array)
        if len(flat) == n and present.all():
            return flat, 0
        if int(np.count_nonzero(present)) == len(flat):
            spread = _spread(flat, present)
            if spread is not None:
                return spread, 0
    if len(flat) == 0:
        return pa.nulls(n, array.type.value_type), many
    start = np.clip(offsets[:-1] - offsets[0], 0, len(flat) - 1)
    missing = lengths == 0
    if array.null_count:
        missing |= ~bc.valid_mask(array)
    return flat.take(pa.array(start, mask=missing)), many


def _spread(items: pa.Array, present: np.ndarray[Any, Any]) -> pa.Array | None:
    """`items` (none null) placed in order at the rows where `present` is
    true, the other rows null; None for a type this does not lay out.
    Strings and bytes keep their data buffer: only the offsets are made."""
    n = len(present)
    validity = pa.array(present).buffers()[1]
    t = items.type
    if pa.types.is_string(t) or pa.types.is_binary(t):
        item_offsets = np.frombuffer(items.buffers()[1], dtype=np.int32, count=len(items) + 1, offset=items.offset * 4)
        # Row i starts where the items before it end: a null row is empty.
        before = np.concatenate(([0], np.cumsum(present)))
        row_offsets = np.ascontiguousarray(item_offsets[before], dtype=np.int32)
        return pa.Array.from_buffers(t, n, [validity, pa.py_buffer(row_offsets), items.buffers()[2]],
                                     null_count=n - len(items))
    if pa.types.is_integer(t) or pa.types.is_floating(t):
        out = np.zeros(n, dtype=t.to_pandas_dtype())
        out[present] = items.to_numpy(zero_copy_only=False)
        return pa.Array.from_buffers(t, n, [validity, pa.py_buffer(out)], null_count=n - len(items))
    return None


def _rebuild(lists: pa.Array, flat: pa.Array) -> pa.Array:
    """A list array with the offsets and nulls of `lists` and new items."""
    array = bc.as_array(lists)
    offsets = np.asarray(array.offsets.to_numpy(zero_copy_only=False), dtype=np.int64)
    rebased = pa.array((offsets - offsets[0]).astype(np.int32))
    return pa.ListArray.from_arrays(rebased, flat, mask=array.is_null())


def _has_item(lists: pa.Array, value: str) -> np.ndarray[Any, Any]:
    """Per row: whether its list (of text) holds `value`. Compared on the
    UTF-8 bytes at once: the items of `value`'s length, as a matrix."""
    array = bc.as_array(lists)
    n = len(array)
    out = np.zeros(n, bool)
    items = array.values
    if len(items) == 0:
        return out
    if pa.types.is_large_string(items.type):
        items = items.cast(pa.string())
    wanted = np.frombuffer(value.encode("utf-8"), np.uint8)
    list_offsets = np.frombuffer(array.buffers()[1], np.int32, count=n + 1, offset=array.offset * 4).astype(np.int64)
    first, last = int(list_offsets[0]), int(list_offsets[-1])
    item_offsets = np.frombuffer(items.buffers()[1], np.int32, count=len(items) + 1,
                                 offset=items.offset * 4).astype(np.int64)[first : last + 1]
    data_buffer = items.buffers()[2]
    data = np.frombuffer(data_buffer, np.uint8) if data_buffer is not None else np.zeros(0, np.uint8)
    lengths = np.diff(item_offsets)
    same_length = np.nonzero(lengths == len(wanted))[0]
    if items.null_count:
        same_length = same_length[bc.valid_mask(items)[first:last][same_length]]
    if len(same_length) == 0:
        return out
    if len(wanted):
        starts = item_offsets[same_length]
        hits = same_length[(data[starts[:, None] + np.arange(len(wanted))] == wanted).all(axis=1)]
    else:
        hits = same_length
    # The list each hit item is in: lists are the runs between their offsets.
    rows = np.searchsorted(list_offsets, hits + first, side="right") - 1
    out[rows] = True
    held: np.ndarray[Any, Any] = out & bc.valid_mask(array)
    return held


class DirectoryNames:
    """The DN of every object, by DNT."""

    def __init__(self, dnt: pa.Array, dn: pa.Array) -> None:
        self.dn = dn
        # The first row of a DNT wins (recovered copies come after the live rows).
        self._positions = nv.row_positions(dnt)
        # Whether every row has a DNT of its own: then the DNs of those rows,
        # in their order, are `dn` itself.
        self.own_rows = bool(np.array_equal(self._positions(dnt), np.arange(len(dn))))

    def rows_of(self, dnts: pa.Array) -> np.ndarray[Any, Any]:
        """The row of each DNT (-1: none)."""
        rows: np.ndarray[Any, Any] = self._positions(dnts)
        return rows

    def lookup(self, dnts: pa.Array) -> pa.Array:
        found = self._positions(dnts)
        return self.dn.take(pa.array(np.maximum(found, 0), mask=found < 0))


class NtdsTables:
    """The tables of one directory database, each built when asked for."""

    def __init__(self, read: Reader, schema: ns.Schema, stored_columns: Sequence[str], warnings: Any) -> None:
        self.read = read
        self.warnings = warnings
        self.stored_columns = list(stored_columns)
        self.schema = schema
        self._names: DirectoryNames | None = None
        self._names_source: pa.Table | None = None  # the table the DNs were built from
        self._objects: pa.Table | None = None
        self._links: pa.Table | None = None
        self._rids: pa.Array | None = None
        self._class_masks: dict[tuple[str, tuple[tuple[int, int, int], ...]], np.ndarray[Any, Any]] = {}
        # Attribute name -> stored column.
        self.column_of: dict[str, str] = {}
        for column in self.stored_columns:
            name = self.schema.ldap_name(column)
            if name is not None:
                self.column_of.setdefault(name, column)
        self.readable = [c for c in self.stored_columns if not self.schema.is_secret(c)]

    # -- names ---------------------------------------------------------------------------

    def _name_columns(self) -> list[str]:
        cols = [c for c in _DN_COLUMNS if c in self.stored_columns]
        rdn_column = self.column_of.get("name", ns.column_name("m", ns.ATT_NAME))
        if rdn_column in self.stored_columns:
            cols.append(rdn_column)
        return cols

    def names(self, table: pa.Table | None = None) -> DirectoryNames:
        """DNs of every object, from `table` when it holds the columns they
        are built from (the objects' own read), else from their own read."""
        if self._names is None:
            cols = self._name_columns()
            if table is None or not all(c in table.column_names for c in cols):
                table = self.read(ns.DATATABLE, cols)
            else:
                self._names_source = table
            rdn_column = self.column_of.get("name", ns.column_name("m", ns.ATT_NAME))
            n = table.num_rows
            dnt = table["DNT_col"] if "DNT_col" in table.column_names else pa.nulls(n, pa.int32())
            pdnt = bc.as_array(table["PDNT_col"]) if "PDNT_col" in table.column_names else pa.nulls(n, pa.int32())
            value = table[rdn_column] if rdn_column in table.column_names else pa.nulls(n, pa.string())
            if pa.types.is_list(value.type):
                value, _ = _first_items(value)
            value = bc.as_array(value)
            kind = table["RDNtyp_col"] if "RDNtyp_col" in table.column_names else pa.nulls(n, pa.int32())
            rdn = pc.binary_join_element_wise(self._rdn_types(kind), nv.escape_rdn_values(value), "=")
            # The root object (PDNT 0) names no one: its DN is empty.
            is_root = pc.fill_null(pc.equal(pdnt, 0), False)
            rdn = pc.if_else(is_root, pa.nulls(n, pa.string()), rdn)
            dn, unresolved = nv.distinguished_names(dnt, pc.fill_null(pdnt, 0), rdn)
            # Rows without a parent at all (the $NOT_AN_OBJECT rows) have no DN.
            dn = pc.if_else(pc.is_null(pdnt), pa.nulls(n, pa.string()), dn)
            if unresolved:
                self.warnings.add(f"objects: {unresolved} object(s) sit on a parent chain that loops; no DN")
            self._names = DirectoryNames(dnt, dn)
            # A parent is there when its row is and has a DN (no DN is copied to tell).
            found = self._names.rows_of(pdnt)
            parents = (found >= 0) & bc.valid_mask(dn)[np.maximum(found, 0)]
            pdnt_np = np.asarray(pdnt.cast(pa.int64()).fill_null(0).to_numpy(zero_copy_only=False))
            orphans = int(np.count_nonzero(~parents & (pdnt_np != 0)))
            if orphans:
                self.warnings.add(f"objects: {orphans} object(s) have a parent that is not in {ns.DATATABLE}")
        return self._names

    def _rdn_types(self, kind: pa.Array | pa.ChunkedArray) -> pa.Array:
        ids = list(self.schema.attributes)
        labels = []
        for attid in ids:
            name = self.schema.attributes[attid].ldap_name
            labels.append(name.upper() if len(name) <= 2 else name)
        index = pc.index_in(bc.as_array(kind).cast(pa.int64()), value_set=pa.array(ids, pa.int64()))
        named = pa.array(labels, pa.string()).take(index)
        # An RDN type the schema does not name is written as its id.
        return pc.coalesce(named, bc.as_array(kind).cast(pa.string()))

    # -- attribute conversion ------------------------------------------------------------

    def convert(self, table: pa.Table, table_name: str) -> pa.Table:
        """Attribute columns named and typed, DN and the added columns. Each
        column is converted batch by batch, as read: no table-sized copy."""
        names = self.names(table)
        n = table.num_rows
        taken: set[str] = set()
        out_names: list[str] = []
        out_values: list[Any] = []
        extra: list[tuple[str, Any]] = []
        for column in table.column_names:
            parsed = ns.parse_column(column)
            if parsed is None:
                out_names.append(claim_name(taken, column))
                out_values.append(table[column])
                continue
            letter, attid = parsed
            attribute = self.schema.attributes.get(attid)
            name = attribute.ldap_name if attribute is not None else column
            stored = table[column]
            chunks = stored.chunks or [pa.array([], stored.type)]
            single = attribute.single_valued if attribute is not None else not pa.types.is_list(stored.type)
            converted: list[pa.Array] = []
            classes: list[pa.Array] = []
            flags: list[pa.Array] = []
            rids: list[pa.Array] = []
            for chunk in chunks:
                values = self._convert_chunk(chunk, letter, name, single, table_name, names)
                converted.append(values)
                if attid == ns.ATT_OBJECT_CLASS:
                    classes.append(self._class_names(chunk))
                if name == "userAccountControl":
                    flags.append(nv.flag_names(values, nv.UAC_FLAGS))
                if name == "objectSid":
                    found = self._rids if self._rids is not None and len(self._rids) == len(chunk) else None
                    rids.append(found if found is not None else pa.nulls(len(chunk), pa.uint32()))
                    self._rids = None
            out_names.append(claim_name(taken, name))
            out_values.append(pa.chunked_array(converted))
            if classes:
                extra.append(("ObjectClassNames", pa.chunked_array(classes)))
            if flags:
                extra.append(("UacFlags", pa.chunked_array(flags)))
            if rids:
                extra.append(("RID", pa.chunked_array(rids)))
        if "DNT_col" in table.column_names:
            if table is self._names_source and names.own_rows:
                extra.insert(0, ("DN", pa.chunked_array([names.dn], pa.string())))
            else:
                dnts = table["DNT_col"].chunks or [pa.array([], pa.int32())]
                extra.insert(0, ("DN", pa.chunked_array([names.lookup(c) for c in dnts])))
        for name, values in extra:
            out_names.append(claim_name(taken, name))
            out_values.append(values)
        if not out_names:
            return pa.table({"DN": pa.nulls(n, pa.string())})
        return pa.Table.from_arrays(out_values, names=out_names)

    def _convert_chunk(
        self, values: pa.Array, letter: str, name: str, single: bool, table_name: str, names: DirectoryNames
    ) -> pa.Array:
        n = len(values)
        is_list = pa.types.is_list(values.type)
        if values.null_count == n:
            # Most attributes are absent from most rows: an empty column
            # only needs the type it would have.
            item_type = values.type.value_type if is_list else values.type
            out_type = self._converted_type(letter, name, item_type)
            return pa.nulls(n, pa.list_(out_type) if is_list and not single else out_type)
        if is_list and single:
            firsts, many = _first_items(values)
            self.warnings.count(f"{table_name}: values of single-valued {name} that hold several items", many)
            return self._convert_values(firsts, letter, name, table_name, names)
        if is_list:
            return _rebuild(values, self._convert_values(values.flatten(), letter, name, table_name, names))
        return self._convert_values(values, letter, name, table_name, names)

    @staticmethod
    def _converted_type(letter: str, name: str, value_type: pa.DataType) -> pa.DataType:
        """The type _convert_values gives values of `value_type`."""
        integer = pa.types.is_integer(value_type)
        binary = pa.types.is_binary(value_type)
        if letter == _DN and integer:
            return pa.string()
        if letter == _BOOLEAN and integer:
            return pa.bool_()
        if letter == _GENERALIZED_TIME and integer:
            return bc.TIMESTAMP_NS
        if letter == _LARGE_INTEGER and name in FILETIME_ATTRIBUTES and integer:
            return bc.TIMESTAMP_NS
        if letter == _SID and binary:
            return pa.string()
        if letter == _OCTETS and name in GUID_ATTRIBUTES and binary:
            return pa.uuid()
        if letter in _IA5 and binary:
            return pa.string()
        return value_type

    def _convert_values(
        self, values: pa.Array, letter: str, name: str, table_name: str, names: DirectoryNames
    ) -> pa.Array:
        values = bc.as_array(values)
        if letter == _DN and pa.types.is_integer(values.type):
            return names.lookup(values)
        if letter == _BOOLEAN and pa.types.is_integer(values.type):
            return pc.not_equal(values, 0)
        if letter == _GENERALIZED_TIME and pa.types.is_integer(values.type):
            times, bad = nv.dstime(values)
            self.warnings.count(f"{table_name}: values of {name} that are no time (left null)", bad)
            return times
        if letter == _LARGE_INTEGER and name in FILETIME_ATTRIBUTES and pa.types.is_integer(values.type):
            times, _, bad = bc.filetimes_from_int64(values)
            self.warnings.count(f"{table_name}: values of {name} that are no time (left null)", bad)
            return times
        if letter == _SID and pa.types.is_binary(values.type):
            text, rids, bad = nv.sids(values)
            self.warnings.count(f"{table_name}: values of {name} that are no SID (left null)", bad)
            if name == "objectSid":
                self._rids = rids
            return text
        if letter == _OCTETS and name in GUID_ATTRIBUTES and pa.types.is_binary(values.type):
            uuids, bad = nv.guids(values)
            self.warnings.count(f"{table_name}: values of {name} that are no GUID (left null)", bad)
            return uuids
        if letter in _IA5 and pa.types.is_binary(values.type):
            return bc.strip_nuls(_ascii_text(values))
        return values

    def _class_names(self, values: pa.ChunkedArray) -> pa.Array:
        array = bc.as_array(values)
        if not pa.types.is_list(array.type):
            array = pa.ListArray.from_arrays(pa.array(np.arange(len(array) + 1, dtype=np.int32)), array)
        flat = array.flatten()
        ids = np.array(sorted(self.schema.classes), dtype=np.int64)
        names = pa.array([self.schema.classes[int(i)] for i in ids], pa.string())
        raw = np.asarray(flat.cast(pa.int64()).fill_null(-1).to_numpy(zero_copy_only=False)) & 0xFFFFFFFF
        if len(ids):
            position = np.clip(np.searchsorted(ids, raw), 0, len(ids) - 1)
            found = ids[position] == raw
            named = names.take(pa.array(position, mask=~found))
        else:
            named = pa.nulls(len(flat), pa.string())
        if named.null_count > flat.null_count:
            # A class the schema does not name is written as its id.
            named = pc.coalesce(named, flat.cast(pa.string()))
        return _rebuild(array, named)

    # -- objects -------------------------------------------------------------------------

    def _read_datatable(self, columns: Sequence[str] | None) -> pa.Table:
        wanted = self.readable if columns is None else [c for c in columns if c in self.readable]
        return self.read(ns.DATATABLE, wanted)

    def objects(self, raw: pa.Table | None = None) -> pa.Table:
        """Every object; from `raw` when given (a read of datatable that may
        hold columns this schema names secret: they are dropped unread)."""
        if self._objects is None:
            if raw is None:
                raw = self._read_datatable(None)
            else:
                readable = set(self.readable) | {RECOVERED}
                raw = raw.select([c for c in raw.column_names if c in readable])
            self._objects = self.convert(raw, "objects")
        return self._objects

    def _subset(self, attributes: Sequence[str]) -> pa.Table:
        """The named attributes of every object (from the objects table when
        it is built, else reading only their columns), plus DN and the
        added columns."""
        if self._objects is not None:
            source = self._objects
            wanted = ("DNT_col", "DN", "ObjectClassNames", "UacFlags", "RID", *attributes, RECOVERED)
            present = set(source.column_names)
            return source.select([a for a in wanted if a in present])
        # The columns DNs are built from come along: one pass gives both.
        columns = self._name_columns()
        for attribute in ("objectClass", *attributes):
            column = self.column_of.get(attribute)
            if column is not None and column not in columns:
                columns.append(column)
        return self.convert(self._read_datatable(columns), "objects")

    def _accounts(self, attributes: Sequence[str], keep: Callable[[pa.Table], np.ndarray[Any, Any]]) -> pa.Table:
        source = self._subset(attributes)
        n = source.num_rows
        mask = keep(source)
        columns: dict[str, Any] = {"DN": source["DN"] if "DN" in source.column_names else pa.nulls(n, pa.string())}
        for attribute in attributes:
            if attribute in source.column_names:
                columns[attribute] = source[attribute]
            else:
                columns[attribute] = pa.nulls(n, _ATTRIBUTE_TYPES.get(attribute, pa.string()))
            if attribute == "objectSid":
                columns["SID"] = columns.pop("objectSid")
                columns["RID"] = source["RID"] if "RID" in source.column_names else pa.nulls(n, pa.uint32())
            if attribute == "userAccountControl":
                uac = columns[attribute]
                columns["Enabled"] = pc.equal(pc.bit_wise_and(uac, 0x2), 0)
                columns["UacFlags"] = (
                    source["UacFlags"] if "UacFlags" in source.column_names else nv.flag_names(uac, nv.UAC_FLAGS)
                )
        if RECOVERED in source.column_names:
            columns[RECOVERED] = source[RECOVERED]
        return pa.table(columns).filter(pa.array(mask))

    def _is_of(self, table: pa.Table, cls: str) -> np.ndarray[Any, Any]:
        """Per row of `table`: whether the object is of class `cls`. Kept
        for the class lists it was computed from (the objects table's, which
        every account table is cut from), known by their buffers."""
        if "ObjectClassNames" not in table.column_names:
            return np.zeros(table.num_rows, bool)
        chunks = table["ObjectClassNames"].chunks
        key = (cls, tuple((c.buffers()[1].address, c.offset, len(c)) for c in chunks))
        mask = self._class_masks.get(key)
        if mask is None:
            mask = np.concatenate([_has_item(c, cls) for c in chunks]) if chunks else np.zeros(0, bool)
            self._class_masks[key] = mask
        return mask

    def users(self) -> pa.Table:
        def keep(t: pa.Table) -> np.ndarray[Any, Any]:
            users: np.ndarray[Any, Any] = self._is_of(t, _CLASS_USER) & ~self._is_of(t, _CLASS_COMPUTER)
            return users

        return self._accounts(_USER_ATTRIBUTES, keep)

    def computers(self) -> pa.Table:
        return self._accounts(_COMPUTER_ATTRIBUTES, lambda t: self._is_of(t, _CLASS_COMPUTER))

    def groups(self) -> pa.Table:
        return self._accounts(_GROUP_ATTRIBUTES, lambda t: self._is_of(t, _CLASS_GROUP))

    # -- links ---------------------------------------------------------------------------

    def links(self) -> pa.Table:
        if self._links is None:
            self._links = self._read_links()
        return self._links

    def _read_links(self) -> pa.Table:
        raw = self.read(ns.LINK_TABLE)
        names = self.names()
        n = raw.num_rows

        def column(name: str, arrow_type: pa.DataType) -> pa.Array:
            return bc.as_array(raw[name]) if name in raw.column_names else pa.nulls(n, arrow_type)

        link_dnt = column("link_DNT", pa.int32())
        backlink_dnt = column("backlink_DNT", pa.int32())
        base = column("link_base", pa.int32())
        link_names = self.schema.link_names()
        bases = list(link_names)
        attribute = pa.array([link_names[b] for b in bases], pa.string()).take(
            pc.index_in(base.cast(pa.int64()), value_set=pa.array(bases, pa.int64()))
        )
        deleted, bad_deleted = nv.dstime(column("link_deltime", pa.int64()))
        expired, bad_expired = nv.dstime(column("link_deactivetime", pa.int64()))
        if bad_deleted or bad_expired:
            self.warnings.add(f"links: {bad_deleted + bad_expired} link time(s) are no time (kept as null)")
        source_dn = names.lookup(link_dnt)
        target_dn = names.lookup(backlink_dnt)
        missing = int(pc.sum(pc.or_(pc.is_null(source_dn), pc.is_null(target_dn))).as_py() or 0)
        if missing:
            self.warnings.add(f"links: {missing} link(s) name an object that has no DN")
        return pa.table(
            {
                "link_DNT": link_dnt,
                "backlink_DNT": backlink_dnt,
                "link_base": base,
                "Attribute": attribute,
                "SourceDN": source_dn,
                "TargetDN": target_dn,
                "Deleted": pc.is_valid(deleted),
                "DeletedTime": deleted,
                "Expired": pc.is_valid(expired),
                "ExpiredTime": expired,
                **({RECOVERED: raw[RECOVERED]} if RECOVERED in raw.column_names else {}),
            }
        )

    def memberships(self) -> pa.Table:
        links = self.links()
        member = pc.fill_null(pc.equal(links["link_base"], _MEMBER_LINK_BASE), False)
        chosen = links.filter(member)
        return pa.table(
            {
                "GroupDN": chosen["SourceDN"],
                "MemberDN": chosen["TargetDN"],
                "GroupDNT": chosen["link_DNT"],
                "MemberDNT": chosen["backlink_DNT"],
                "Deleted": chosen["Deleted"],
                "DeletedTime": chosen["DeletedTime"],
                "Expired": chosen["Expired"],
                "ExpiredTime": chosen["ExpiredTime"],
                **({RECOVERED: chosen[RECOVERED]} if RECOVERED in chosen.column_names else {}),
            }
        )

    # -- domain --------------------------------------------------------------------------

    def domain(self) -> pa.Table:
        source = self._subset(_DOMAIN_ATTRIBUTES)
        # A directory has a domain or a few, and as many crossRefs: cut both
        # out before anything else.
        domains = source.filter(pa.array(self._is_of(source, _CLASS_DOMAIN)))
        refs = source.filter(pa.array(self._is_of(source, _CLASS_CROSS_REF)))
        n = domains.num_rows

        def column(table: pa.Table, name: str, arrow_type: pa.DataType) -> pa.Array:
            if name in table.column_names:
                return bc.as_array(table[name])
            return pa.nulls(table.num_rows, arrow_type)

        domain_dn = column(domains, "DN", pa.string())
        # The NetBIOS name sits on the domain's crossRef (in the configuration
        # partition), whose nCName is the domain's DN.
        netbios_of = column(refs, "nETBIOSName", pa.string()).take(
            pc.index_in(domain_dn, value_set=column(refs, "nCName", pa.string()))
        )
        level = column(domains, "msDS-Behavior-Version", pa.int32())
        levels = list(nv.FUNCTIONAL_LEVELS)
        level_name = pa.array([nv.FUNCTIONAL_LEVELS[k] for k in levels], pa.string()).take(
            pc.index_in(level.cast(pa.int64()), value_set=pa.array(levels, pa.int64()))
        )
        columns: dict[str, Any] = {
            "DN": domain_dn,
            "Name": pc.binary_join(_dc_labels(domain_dn), ".") if n else pa.nulls(0, pa.string()),
            "NetBIOSName": netbios_of,
            "SID": column(domains, "objectSid", pa.string()),
            "FunctionalLevel": level,
            "FunctionalLevelName": level_name,
            "whenCreated": column(domains, "whenCreated", bc.TIMESTAMP_NS),
            "objectGUID": column(domains, "objectGUID", pa.uuid()),
        }
        if RECOVERED in source.column_names:
            columns[RECOVERED] = column(domains, RECOVERED, pa.bool_())
        return pa.table(columns)

    def table(self, name: str) -> pa.Table:
        builders: dict[str, Callable[[], pa.Table]] = {
            "objects": self.objects,
            "users": self.users,
            "computers": self.computers,
            "groups": self.groups,
            "memberships": self.memberships,
            "links": self.links,
            "domain": self.domain,
        }
        return builders[name]()


def _dc_labels(dns: pa.Array) -> pa.Array:
    """Per DN, the values of its DC= components (contoso, com)."""
    parts = pc.split_pattern(dns, ",")
    flat = pc.list_flatten(parts)
    parents = pc.list_parent_indices(parts)
    is_dc = pc.starts_with(pc.utf8_upper(flat), "DC=")
    labels = pc.utf8_slice_codeunits(flat.filter(is_dc), 3)
    owner = np.asarray(parents.filter(is_dc).to_numpy(zero_copy_only=False), dtype=np.int64)
    counts = np.bincount(owner, minlength=len(dns)) if len(owner) else np.zeros(len(dns), np.int64)
    offsets = np.concatenate(([0], np.cumsum(counts))).astype(np.int32)
    return pa.ListArray.from_arrays(pa.array(offsets), labels, mask=pc.is_null(dns))


def _ascii_text(values: pa.Array) -> pa.Array:
    """Byte strings of the printable-string syntaxes as text."""
    try:
        return values.cast(pa.string())
    except pa.ArrowInvalid:
        return pa.array(
            [None if v is None else v.decode("utf-8", errors="replace") for v in values.to_pylist()], pa.string()
        )


_USER_ATTRIBUTES = (
    "sAMAccountName",
    "isDeleted",
    "objectSid",
    "userAccountControl",
    "userPrincipalName",
    "displayName",
    "description",
    "whenCreated",
    "whenChanged",
    "pwdLastSet",
    "lastLogon",
    "lastLogonTimestamp",
    "badPasswordTime",
    "accountExpires",
    "lockoutTime",
    "logonCount",
    "badPwdCount",
    "primaryGroupID",
    "adminCount",
    "servicePrincipalName",
    "objectGUID",
)
_COMPUTER_ATTRIBUTES = (
    "sAMAccountName",
    "isDeleted",
    "objectSid",
    "userAccountControl",
    "dNSHostName",
    "operatingSystem",
    "operatingSystemVersion",
    "description",
    "whenCreated",
    "whenChanged",
    "pwdLastSet",
    "lastLogon",
    "lastLogonTimestamp",
    "primaryGroupID",
    "servicePrincipalName",
    "objectGUID",
)
_GROUP_ATTRIBUTES = (
    "sAMAccountName",
    "isDeleted",
    "objectSid",
    "groupType",
    "description",
    "whenCreated",
    "whenChanged",
    "adminCount",
    "objectGUID",
)
_DOMAIN_ATTRIBUTES = ("objectSid", "msDS-Behavior-Version", "whenCreated", "objectGUID", "nCName", "nETBIOSName")
_ATTRIBUTE_TYPES: dict[str, pa.DataType] = {
    "objectSid": pa.string(),
    "userAccountControl": pa.int32(),
    "whenCreated": bc.TIMESTAMP_NS,
    "whenChanged": bc.TIMESTAMP_NS,
    "pwdLastSet": bc.TIMESTAMP_NS,
    "lastLogon": bc.TIMESTAMP_NS,
    "lastLogonTimestamp": bc.TIMESTAMP_NS,
    "badPasswordTime": bc.TIMESTAMP_NS,
    "accountExpires": bc.TIMESTAMP_NS,
    "lockoutTime": bc.TIMESTAMP_NS,
    "logonCount": pa.int32(),
    "badPwdCount": pa.int32(),
    "primaryGroupID": pa.int32(),
    "adminCount": pa.int32(),
    "groupType": pa.int32(),
    "servicePrincipalName": pa.list_(pa.string()),
    "description": pa.list_(pa.string()),
    "objectGUID": pa.uuid(),
    "isDeleted": pa.bool_(),
}


def _account_summary(table: Any) -> Any:
    """`jsmith (CN=Smith\\, John,CN=Users,DC=contoso,DC=com)`."""
    n = table.num_rows
    name = bc.as_array(table["sAMAccountName"]) if "sAMAccountName" in table.column_names else pa.nulls(n, pa.string())
    dn = bc.as_array(table["DN"]) if "DN" in table.column_names else pa.nulls(n, pa.string())
    with_dn = pc.binary_join_element_wise(pc.fill_null(name, ""), pc.binary_join_element_wise("(", dn, ")", ""), " ")
    return pc.coalesce(with_dn, name, dn)


def _membership_summary(table: Any) -> Any:
    return pc.binary_join_element_wise(
        pc.fill_null(bc.as_array(table["MemberDN"]), "?"), pc.fill_null(bc.as_array(table["GroupDN"]), "?"), " in "
    )


def _domain_summary(table: Any) -> Any:
    return pc.coalesce(bc.as_array(table["Name"]), bc.as_array(table["DN"]))


_ACCOUNT_TIMES = (
    "whenCreated",
    "whenChanged",
    "pwdLastSet",
    "lastLogon",
    "lastLogonTimestamp",
    "badPasswordTime",
    "lockoutTime",
    "accountExpires",
)


@register
class Ntds(Kind):
    name = KIND
    looked_for = f"tables {ns.DATATABLE} and {ns.LINK_TABLE}"
    file_names = ("ntds.dit",)

    @classmethod
    def detect(cls, catalog: Catalog) -> bool:
        return catalog.has_table(ns.DATATABLE) and catalog.has_table(ns.LINK_TABLE)

    def __init__(self, *args: Any, **kwargs: Any) -> None:
        super().__init__(*args, **kwargs)
        self._tables: NtdsTables | None = None

    def _directory(self) -> NtdsTables:
        if self._tables is None:
            catalog = self.source.catalog
            columns = catalog.columns(ns.DATATABLE)
            schema = _SCHEMAS.get(catalog)
            if schema is None:
                # The directory's schema is in its records, so even the pass
                # that learns the tables' columns without records reads them;
                # once per database.
                full = Source(self.source.path, self.source.db, catalog, self.warnings)
                schema = ns.read_schema(full.read, columns)
                _SCHEMAS[catalog] = schema
                for line in schema.warnings:
                    self.warnings.add(line)
            self._tables = NtdsTables(self.source.read, schema, columns, self.warnings)
        return self._tables

    def table_names(self) -> list[str]:
        return list(TABLE_NAMES)

    def build(self, name: str) -> Any:
        catalog = self.source.catalog
        if name == "objects" and self._tables is None and catalog not in _SCHEMAS and not self.source.empty:
            # The objects read holds the schema's rows too: one pass over the
            # table gives both. Secrets of the base schema are left unread by
            # their fixed ids; those only the schema names are dropped after.
            columns = catalog.columns(ns.DATATABLE)
            raw = self.source.read(ns.DATATABLE, [c for c in columns if not ns.is_base_secret(c)])
            schema = ns.schema_from_table(raw)
            _SCHEMAS[catalog] = schema
            for line in schema.warnings:
                self.warnings.add(line)
            self._tables = NtdsTables(self.source.read, schema, columns, self.warnings)
            return self._tables.objects(raw)
        return self._directory().table(name)

    def timeline_specs(self) -> list[TimelineSpec]:
        return [
            TimelineSpec("users", _ACCOUNT_TIMES, _account_summary),
            TimelineSpec("computers", _ACCOUNT_TIMES, _account_summary),
            TimelineSpec("groups", ("whenCreated", "whenChanged"), _account_summary),
            TimelineSpec("memberships", ("DeletedTime", "ExpiredTime"), _membership_summary),
            TimelineSpec("domain", ("whenCreated",), _domain_summary),
        ]


# The schema read from each database's records, by its catalog (shared by
# an artifact's tables and the pass that learns their columns).
_SCHEMAS: weakref.WeakKeyDictionary[Catalog, ns.Schema] = weakref.WeakKeyDictionary()

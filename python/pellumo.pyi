"""Read-only access to Microsoft ESE (Extensible Storage Engine) database files."""

from collections.abc import Iterable, Iterator, Sequence
from datetime import datetime
from os import PathLike
from types import TracebackType
from typing import (
    Any,
    Final,
    Literal,
    Protocol,
    SupportsIndex,
    TypeAlias,
    TypedDict,
    final,
    overload,
    type_check_only,
)
from uuid import UUID

__version__: Final[str]

# The aliases and dict types below exist for type checkers only (hence the
# leading underscore): import them under `if typing.TYPE_CHECKING:`.

# One column value of a record. DateTime, Currency and 64-bit unsigned columns
# arrive as the raw unsigned 64-bit integer; binary, multi-valued and long
# binary columns as bytes; GUIDs as 36-character lowercase text.
_Value: TypeAlias = int | float | str | bytes | bool | None

# A record: column name -> value, every column of the table in ascending
# column id, absent columns as None.
_Record: TypeAlias = dict[str, _Value]

# One value read with values="engine": Long long and Currency signed, DateTime
# an aware UTC datetime (None when the bytes are no date), GUID a uuid.UUID,
# a multi-valued column a list of its instances.
_EngineScalar: TypeAlias = int | float | str | bytes | bool | datetime | UUID | None
_EngineValue: TypeAlias = _EngineScalar | list[_EngineScalar]
_EngineRecord: TypeAlias = dict[str, _EngineValue]

# Which values the readers return: the stored ones, or the engine's.
_Values: TypeAlias = Literal["raw", "engine"]

# Where carve_utf16le_strings_scoped looks: unused bytes of every page, whole
# pages, the stored values of tags, or long-value pages only (whole or unused
# bytes).
_CarveScope: TypeAlias = Literal["slack", "all", "tag_data", "lv_all", "lv_slack"]

# Where recover finds records: nodes flagged deleted, holes between a page's
# records, the free tail of a page, tag slots past a page's count, pages
# emptied by a merge, pages released to a space tree, and (asked for by name)
# the pages of dropped tables whose records are the table's.
_RecoverySource: TypeAlias = Literal[
    "deleted_node", "hole", "tail", "stale_tag", "emptied_page", "free_page", "dropped_table"
]

@type_check_only
class _BytesWriter(Protocol):
    """Anything write_table_jsonl can hand bytes to: a binary file, a socket
    file, io.BytesIO."""

    def write(self, data: bytes, /) -> object: ...

@type_check_only
class _ColumnDescription(TypedDict):
    """One entry of get_table_schema()."""

    name: str
    type: str
    id: int
    nullable: bool

@type_check_only
class _CarvedString(TypedDict):
    """One hit of the carving methods. The hit's first byte lies at file offset
    (page + 1) * page_size + offset."""

    page: int
    offset: int
    slack_start: int
    slack_end: int
    region_kind: Literal["slack", "all", "tag_data"]
    page_flags: int
    page_type: Literal["long_value", "space_tree", "index", "leaf", "branch"]
    table: str | None
    text: str

@type_check_only
class _RefusedPage(TypedDict):
    """A page a tree walk refused, and why: its checksum does not match, it
    belongs to another object, it is of another kind of tree, it is flagged
    empty or holds no entry, the walk reached it before, it lies outside the
    file, or it sits below more branch levels than any tree has. parent is the
    page whose entry or sibling link led there (0 for a root)."""

    page: int
    parent: int
    reason: Literal["checksum", "foreign_owner", "wrong_tree_type", "empty", "revisit", "out_of_range", "too_deep"]

@type_check_only
class _TreeCheck(TypedDict):
    """One tree of check(): the catalog, a table, a long-value tree or an
    index. error is set (and nothing else counted) when the walk could not
    start because its root was refused."""

    kind: Literal["catalog", "table", "long_value", "index"]
    name: str
    table: str
    root_page: int
    object_id: int
    pages_visited: int
    pages_refused: list[_RefusedPage]
    deleted_nodes: int
    unreadable_tags: int
    undecodable_records: int
    unresolved_long_values: int
    error: str | None
    damaged: bool

@type_check_only
class _CheckHeader(TypedDict):
    """The file header as check() reads it. state is "new", "dirty",
    "clean", "being_converted", "force_detach" or "unknown" (state_code holds
    the stored number); shadow_header_matches says whether the shadow copy of
    the header holds the same bytes."""

    format_version: int
    format_revision: int
    page_size: int
    total_pages: int
    state: str
    state_code: int
    shadow_header_matches: bool

@type_check_only
class _CheckReport(TypedDict):
    """The result of check(). unreached_pages counts pages no walk reached
    (free pages and space trees among them); orphan_pages lists those that
    look like live pages of a tree the catalog names. damaged: a page was
    refused, a tag, record or long value could not be read, a root was
    refused, or the shadow header differs."""

    header: _CheckHeader
    trees: list[_TreeCheck]
    unreached_pages: int
    orphan_pages: list[int]
    damaged: bool

@type_check_only
class _Damage(TypedDict):
    """What one read of a table could not read: pages its walk refused (by
    check()'s reason name in reasons; pages_beyond_end of them lie past the
    end of the file), entries skipped, records too short to decode (read as
    nulls) and long values left unresolved (read as None)."""

    pages_refused: int
    reasons: dict[str, int]
    pages_beyond_end: int
    entries_skipped: int
    records_undecodable: int
    values_unresolved: int

class DamageWarning(RuntimeWarning):
    """Issued once per table read that met damage, naming the file, the table
    and what could not be read. The values returned are what the file still
    holds; warnings.simplefilter("error", DamageWarning) makes it an
    exception. path, table and damage describe the read. The open issues
    one too, naming table MSysObjects, when it could not read the whole
    catalog (see EseDatabase)."""

    path: str
    table: str
    damage: _Damage

@type_check_only
class _DroppedTable(TypedDict):
    """One entry of dropped_tables(). schema is "catalog" (its column
    definitions were recovered from deleted catalog records), the name of the
    live table whose layout every one of its records fits, or None (its
    records cannot be read); pages counts the leaf pages it owns, those of its
    index and long-value trees included where a recovered catalog record ties
    them to it; records, how many recover_dropped gives."""

    objid: int
    pages: int
    name: str | None
    schema: str | None
    records: int

@final
class EseDatabase:
    """An ESE database file opened read-only; the file stays mapped until the
    object is destroyed.

    The path is a str, bytes or os.PathLike, as open() takes it (names that
    are not UTF-8 included). Raises FileNotFoundError when the path does not
    exist, OSError when the file is not a readable ESE database, TypeError
    when path is none of those types.

    The catalog is read here. Where its walk refused pages (torn, beyond the
    end of the file, of another tree, ...) or skipped entries, the tables
    listed there are missing from get_tables() and every listing, and the
    open issues one DamageWarning naming table MSysObjects with the counts
    (an exception where a filter makes it an error); catalog_damage_warning
    keeps it, open(path, warn=False) does not issue it."""

    def __new__(cls, path: str | bytes | PathLike[str] | PathLike[bytes]) -> EseDatabase: ...
    @property
    def path(self) -> str:
        """The path as given, as os.fsdecode gives it."""
    @property
    def page_size(self) -> int: ...
    @property
    def total_pages(self) -> int: ...
    @property
    def format_version(self) -> int:
        """The file format version from the database header."""
    @property
    def format_revision(self) -> int:
        """The file format revision from the database header."""
    @property
    def state(self) -> int:
        """The database state from the header: 1 just created, 2 dirty
        shutdown, 3 clean shutdown, 4 being converted, 5 force detach."""
    @property
    def catalog_damage_warning(self) -> DamageWarning | None:
        """The DamageWarning about what the open could not read of the
        catalog (a new, equal one each time), or None."""
    def get_tables(self) -> list[str]:
        """Table names in catalog order."""
    def read_table(self, table_name: str) -> list[_Record]:
        """Every record of the table. ValueError: no such table (names are
        compared exactly); OSError: a record cannot be read."""
    def get_table_schema(self, table_name: str) -> list[_ColumnDescription]:
        """The table's columns. ValueError: no such table."""
    def export_table(self, table_name: str, output_path: str) -> None:
        """Writes the table to output_path as JSON Lines, without holding the
        interpreter lock (other threads run meanwhile). ValueError: no such
        table; OSError: the file cannot be written or a record cannot be read."""
    def carve_utf16le_strings(
        self, needle: str | None = None, min_chars: SupportsIndex = 6, max_hits: SupportsIndex = 1000
    ) -> list[_CarvedString]:
        """UTF-16LE strings from the unused bytes of every page; the same as
        carve_utf16le_strings_scoped("slack", ...)."""
    def carve_utf16le_strings_scoped(
        self,
        scope: _CarveScope,
        needle: str | None = None,
        min_chars: SupportsIndex = 6,
        max_hits: SupportsIndex = 1000,
    ) -> list[_CarvedString]:
        """UTF-16LE strings of at least min_chars characters (containing needle,
        when given) from the ranges the scope selects, at most max_hits.
        ValueError: unknown scope; OverflowError: a negative count."""
    def export_all(self, output_dir: str) -> None:
        """Writes every table to output_dir/<table>.jsonl, creating the
        directory, without holding the interpreter lock. The first failure
        (OSError, ValueError) stops the export."""
    @overload
    def iter_table(
        self, table_name: str, *, columns: Sequence[str] | None = None, values: Literal["raw"] = "raw"
    ) -> Iterator[_Record]:
        """The records read_table would return, one at a time (only `columns`,
        in that order, when given). values="engine": the values the database
        engine returns (lists, defaults, signed numbers, datetime, uuid.UUID),
        records flagged deleted left out. ValueError at the call for an
        unknown table or column, a column named twice or an unknown `values`;
        OSError where a record cannot be read."""
    @overload
    def iter_table(
        self, table_name: str, *, columns: Sequence[str] | None = None, values: Literal["engine"]
    ) -> Iterator[_EngineRecord]: ...
    @overload
    def iter_table(
        self, table_name: str, *, columns: Sequence[str] | None = None, values: _Values = "raw"
    ) -> Iterator[_Record] | Iterator[_EngineRecord]: ...
    def arrow(
        self,
        table_name: str,
        *,
        columns: Sequence[str] | None = None,
        values: _Values = "raw",
        batch_rows: SupportsIndex = 65536,
        raw_columns: Sequence[str] | None = None,
        warn: bool = True,
    ) -> _ArrowTableSource:
        """The table as Arrow record batches for pyarrow, Polars, DuckDB and
        pandas (the Arrow PyCapsule interface). values="engine": list<T> for
        multi-valued columns, timestamp[us, UTC], arrow.uuid, int64 for Long
        long and Currency, records flagged deleted left out. raw_columns: columns
        typed and valued as stored whatever `values` says (a DateTime's 64 bits
        as uint64), from the same records as the others. A stream that met
        damage issues a DamageWarning at its end (made an error, it fails the
        stream's end: the consumer raises); warn=False leaves that to the
        caller (damage, damage_warning). ValueError: no such table or column,
        a column named twice, an unknown `values`, batch_rows 0."""
    def write_table_jsonl(
        self,
        table_name: str,
        file: int | _BytesWriter,
        limit: SupportsIndex | None = None,
        values: _Values = "raw",
    ) -> int:
        """Writes the table's records as JSON Lines (the bytes export_table
        writes) to a file descriptor (left open) or to an object's write(),
        stopping after limit records when given; returns the number written.
        values="engine": the engine's values (multi-values as arrays, dates
        as ISO 8601 UTC text ending in Z, GUIDs as UUID text, defaults,
        signed numbers), records flagged deleted left out. Lines are made
        without the interpreter lock (write() takes it back). ValueError: no
        such table, an unknown `values`; OSError: a record cannot be read
        (after the lines before it) or the descriptor cannot be written."""
    def check(self) -> _CheckReport:
        """An integrity report of the whole file: the header, then every tree
        walked as every read walks it (each page checked: checksum, owner, tree
        type, entries, revisits). OSError: the file changed size while open."""
    def recover(
        self,
        table_name: str,
        *,
        sources: _RecoverySource | Iterable[_RecoverySource] | None = None,
        values: _Values = "raw",
        raw_columns: Sequence[str] | None = None,
    ) -> Iterator[_Record]:
        """Deleted and superseded records of the table that the file still
        holds: its columns plus _status ("deleted", "superseded", "unkeyed",
        "dropped"), _source, _page and _offset (file offset of the record's
        bytes). The source "dropped_table", only when named, adds the records
        of dropped tables whose records are this table's, in their own columns
        and with _objid. values="engine": the columns as
        iter_table(values="engine") gives live records (lists for
        multi-valued columns, defaults, signed numbers, datetime, uuid.UUID),
        except raw_columns, kept as stored. ValueError at the call for an
        unknown table, source or column name or an unknown `values`."""
    def dropped_tables(self) -> list[_DroppedTable]:
        """The tables the catalog no longer lists whose leaf pages the file
        still holds (emptied or not), by object id. A live table listed on a
        catalog page the file lost may be among them (named, with its columns,
        where the shadow catalog still lists it): the open warned about those
        pages; this warns (table MSysObjects) only about what its own reads of
        the catalog and its shadow met beyond them."""
    def recover_dropped(self, objid: int) -> Iterator[_Record]:
        """The records of the dropped table with that object id, decoded with
        its schema, plus _objid, _page, _offset and _schema; long values from
        its own long-value tree where a recovered catalog record names one,
        else None. ValueError at the call when no dropped table has that id."""
    @classmethod
    def open(cls, path: str | bytes | PathLike[str] | PathLike[bytes], *, warn: bool = True) -> EseDatabase:
        """Opens the file as EseDatabase(path) does; warn=False leaves the
        catalog's DamageWarning to the caller (catalog_damage_warning)."""
    def __enter__(self) -> EseDatabase: ...
    def __exit__(
        self,
        _exc_type: type[BaseException] | None,
        _exc_value: BaseException | None,
        _traceback: TracebackType | None,
    ) -> Literal[False]: ...

@final
@type_check_only
class _ArrowTableSource:
    """The records of one table as Arrow record batches, as returned by
    EseDatabase.arrow; not importable from the module. Each stream opens a new
    cursor; the object and its capsules keep the database file open."""

    @property
    def table_name(self) -> str: ...
    @property
    def columns(self) -> list[str]: ...
    @property
    def batch_rows(self) -> int: ...
    @property
    def damage(self) -> _Damage:
        """What the latest stream could not read; complete once it is exhausted."""
    @property
    def damage_warning(self) -> DamageWarning | None:
        """The DamageWarning about the latest stream, not issued; None without damage."""
    def __arrow_c_schema__(self) -> Any:
        """An 'arrow_schema' PyCapsule."""
    def __arrow_c_stream__(self, requested_schema: object | None = None) -> Any:
        """An 'arrow_array_stream' PyCapsule over a new cursor."""

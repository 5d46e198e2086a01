"""File History: the catalog of Windows' file backups (Catalog1.edb and its
copy Catalog2.edb, in the backup target's Configuration folder).

- string: id -> text. Names and folder paths are stored once here.
- namespace: one record per file or folder backed up: parentId and childId
  name strings (the parent's string is the whole parent folder path, the
  child's the entry's own name); fileCreated and fileModified are FILETIMEs;
  fileAttrib the file attributes, usn the change journal number; tCreated
  and tVisible the backup sets in which the entry appeared and was last
  seen.
- file: the backed-up copies (size, state, the backup sets that queued,
  captured and updated them); library: the libraries backed up;
  backupset: id -> timestamp (a FILETIME); global: settings as key/value.

Tables offered (those present): namespace (with Path, the parent's text and
the child's joined with a backslash, markers such as ?UP kept as stored, and
Attributes, the attribute flags by name), file, library, backupset, string
and global. FILETIMEs become timestamp[ns, UTC]; a column that names a
backup set (tCreated, tVisible, tQueued, tCaptured, tUpdated) gains the
set's time beside it (tCreatedTime, ...).
"""

from __future__ import annotations

from typing import Any

from pellumo_artifacts._arrow import pa, pc
from pellumo_artifacts._base import Catalog, Kind, TimelineSpec
from pellumo_artifacts._convert import (
    count_null_where,
    filetime_to_timestamp,
    free_name,
    map_distinct,
)
from pellumo_artifacts._registry import register

TABLES = ("namespace", "file", "library", "backupset", "string", "global")
FILETIME_COLUMNS = ("fileCreated", "fileModified", "timestamp")
BACKUP_SET_COLUMNS = ("tCreated", "tVisible", "tQueued", "tCaptured", "tUpdated")
# Windows file attribute flags (FILE_ATTRIBUTE_*), in flag order.
ATTRIBUTES = [(0x1, "READONLY"), (0x2, "HIDDEN"), (0x4, "SYSTEM"), (0x10, "DIRECTORY"), (0x20, "ARCHIVE"),
              (0x40, "DEVICE"), (0x80, "NORMAL"), (0x100, "TEMPORARY"), (0x200, "SPARSE_FILE"),
              (0x400, "REPARSE_POINT"), (0x800, "COMPRESSED"), (0x1000, "OFFLINE"),
              (0x2000, "NOT_CONTENT_INDEXED"), (0x4000, "ENCRYPTED"), (0x8000, "INTEGRITY_STREAM"),
              (0x10000, "VIRTUAL"), (0x20000, "NO_SCRUB_DATA"), (0x40000, "RECALL_ON_OPEN"),
              (0x80000, "PINNED"), (0x100000, "UNPINNED"), (0x400000, "RECALL_ON_DATA_ACCESS")]


def attribute_names(value: int | None) -> str | None:
    """FILE_ATTRIBUTE_* flags as names joined with "|"; unknown bits in hex."""
    if value is None:
        return None
    value &= 0xFFFFFFFF
    names = [name for bit, name in ATTRIBUTES if value & bit]
    rest = value & ~sum(bit for bit, _ in ATTRIBUTES)
    if rest:
        names.append(f"0x{rest:x}")
    return "|".join(names)


@register
class FileHistory(Kind):
    name = "file_history"
    looked_for = "tables namespace, string and backupset"
    file_names = ("Catalog*.edb",)
    priority = 40

    @classmethod
    def detect(cls, catalog: Catalog) -> bool:
        return all(catalog.has_table(t) for t in ("namespace", "string", "backupset"))

    def __init__(self, *args: Any, **kwargs: Any) -> None:
        super().__init__(*args, **kwargs)
        self._strings: tuple[Any, Any] | None = None
        self._sets: tuple[Any, Any] | None = None
        self._paths: dict[str, str] = {}

    def table_names(self) -> list[str]:
        return [t for t in TABLES if self.source.catalog.has_table(t)]

    # --- lookups -----------------------------------------------------------------

    def _string_lookup(self) -> tuple[Any, Any]:
        if self._strings is None:
            table = self.source.read("string", ["id", "string"])
            self._strings = _first_of_each(table, "id", "string")
        return self._strings

    def _set_lookup(self) -> tuple[Any, Any]:
        if self._sets is None:
            table = self._times(self.source.read("backupset", ["id", "timestamp"]), "backupset")
            self._sets = _first_of_each(table, "id", "timestamp")
        return self._sets

    def _times(self, table: Any, name: str) -> Any:
        for column in FILETIME_COLUMNS:
            if column in table.column_names and pa.types.is_integer(table.schema.field(column).type):
                i = table.column_names.index(column)
                converted = filetime_to_timestamp(table.column(i), self.warnings, f"table {name} column {column}")
                table = table.set_column(i, pa.field(column, converted.type), converted)
        return table

    # --- tables ------------------------------------------------------------------

    def build(self, name: str) -> Any:
        table = self._times(self.source.read(name), name)
        if name in ("namespace", "library") and "parentId" in table.column_names \
                and "childId" in table.column_names:
            path = self._path(name, table)
            at = table.column_names.index("childId") + 1
            self._paths[name] = free_name(table.column_names, "Path")
            table = table.add_column(at, self._paths[name], path)
        if "fileAttrib" in table.column_names:
            at = table.column_names.index("fileAttrib") + 1
            names = map_distinct(pc.cast(table.column("fileAttrib"), pa.int64()), attribute_names, pa.string())
            table = table.add_column(at, free_name(table.column_names, "Attributes"), names)
        if name != "backupset":
            for column in BACKUP_SET_COLUMNS:
                if column in table.column_names and pa.types.is_integer(table.schema.field(column).type):
                    table = self._set_time(name, table, column)
        return table

    def _path(self, name: str, table: Any) -> Any:
        ids, texts = self._string_lookup()
        parents = texts.take(pc.index_in(pc.cast(table.column("parentId"), pa.int64()), value_set=ids))
        children = texts.take(pc.index_in(pc.cast(table.column("childId"), pa.int64()), value_set=ids))
        missing = count_null_where(pc.or_(pc.and_(pc.is_valid(table.column("parentId")), pc.is_null(parents)),
                                          pc.and_(pc.is_valid(table.column("childId")), pc.is_null(children))))
        self.warnings.count(f"table {name}: parentId or childId values the string table does not hold, Path "
                            "left null", missing)
        return pc.binary_join_element_wise(parents, children, "\\")

    def _set_time(self, name: str, table: Any, column: str) -> Any:
        ids, times = self._set_lookup()
        keys = pc.cast(table.column(column), pa.int64())
        positions = pc.index_in(keys, value_set=ids)
        # 0 names no backup set: the entry has not been (or is no longer) in one.
        missing = count_null_where(pc.and_(pc.and_(pc.is_valid(keys), pc.not_equal(keys, 0)),
                                           pc.is_null(positions)))
        self.warnings.count(f"table {name}: {column} values naming no backup set", missing)
        at = table.column_names.index(column) + 1
        return table.add_column(at, free_name(table.column_names, f"{column}Time"), times.take(positions))

    # --- timeline ----------------------------------------------------------------

    def timeline_specs(self) -> list[TimelineSpec]:
        names = self.table_names()
        specs = []
        if "namespace" in names:
            specs.append(TimelineSpec("namespace", ["fileCreated", "fileModified"], self._path_summary("namespace")))
        if "backupset" in names:
            specs.append(TimelineSpec("backupset", ["timestamp"],
                                      lambda t: pc.binary_join_element_wise(
                                          "backup set ", pc.cast(t.column("id"), pa.string()), "")))
        return specs

    def _path_summary(self, name: str) -> Any:
        def summary(table: Any) -> Any:
            column = self._paths.get(name)
            if column is None:
                return pa.nulls(table.num_rows, pa.string())
            return pc.binary_join_element_wise("path: ", table.column(column), "")
        return summary


def _first_of_each(table: Any, key: str, value: str) -> tuple[Any, Any]:
    """(keys, values): the first row of each key (live rows come before
    recovered ones), keys as int64, for index_in lookups."""
    keys = pc.cast(table.column(key), pa.int64()).combine_chunks()
    first = pc.equal(pc.index_in(keys, value_set=keys), pa.array(range(len(keys)), pa.int32()))
    return pc.filter(keys, first), pc.filter(table.column(value), first).combine_chunks()

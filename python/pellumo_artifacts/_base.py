"""The contract between the artifact layer and the kinds of artifact it knows.

A *kind* is one application's database (SRUM, User Access Logging, BITS,
...) turned into the tables an analyst reads. Each kind is a subclass of
`Kind` in its own module of this package, registered with `@register`
(pellumo_artifacts._registry). Every public module of the package is
imported when the kinds are first needed, so a new kind is a new module and
nothing else: no list to edit, no other kind touched.

What a kind provides (class attributes and methods of `Kind`):

- `name`: the kind's name, `Artifact.kind` ("srum"); also the `<kind>` of
  the fleet's "artifact:<kind>/<table>" table names.
- `looked_for`: what `detect` looks for, in words ("table SruDbIdMapTable"):
  the error for a file of no known kind lists every kind's.
- `detect(catalog) -> bool` (classmethod): whether a database is of this kind,
  judged from its tables and columns only (never the file name). Kinds are
  asked in order of `priority` (lower first), then name; the first that says
  yes wins, so a kind whose test is a subset of another's takes a larger
  priority number.
- `file_names`: shell patterns (matched without regard to letter case) of
  the file names the command line looks for in a folder ("SRUDB.dat").
- `companion_names`: file names of other databases of the same artifact,
  looked for beside the file opened ("SystemIdentity.mdb").
- `table_names() -> list[str]`: the tables this database offers, in the
  order they are listed; cheap (from the catalog, no records read).
- `build(name) -> pyarrow.Table`: one table, built when first asked for (the
  Artifact caches it). Built from `self.source.read(...)`, which gives the
  database's tables as Arrow in engine values, with text already stripped
  of trailing NULs and, when the artifact was opened with recovered=True,
  the recovered records appended under a boolean `_recovered` column that
  the kind carries through. No per-row Python on tables that can be large:
  pyarrow compute, joins, and `_convert.map_distinct` for per-value decoding.
  Columns the database holds keep their names; columns the kind adds take
  names from `_convert.free_name`, so none collides case-insensitively.
  Times: FILETIMEs as timestamp[ns, UTC] (`_convert.filetime_to_timestamp`),
  OLE dates as the engine gives them (timestamp[us, UTC]). A value that does
  not convert is null and counted in `self.warnings`.
  `build` must give the same schema whatever the rows: the layer builds
  every table once over empty inputs (`Source.empty`) to learn its schema
  without reading records, so arrays are made with explicit types.
- `timeline_specs() -> list[TimelineSpec]`: which time columns of which
  tables go into the timeline, and the one-line summary of their rows.

A kind reports what it meets through `self.warnings` (`_convert.Warnings`):
ids that do not resolve, tables it does not know, blobs that do not parse.
The layer adds damage met while reading (`Source.read`): each database
table read that refused pages, skipped entries or left values unresolved is
a line of the warnings and an entry of `Warnings.damage()`, and is issued as
the module issues it (a pellumo.DamageWarning).
"""

from __future__ import annotations

import abc
import os
import uuid
import warnings
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from typing import Any, ClassVar

import pellumo

from pellumo_artifacts._arrow import pa
from pellumo_artifacts._convert import Warnings, strip_table_text

RECOVERED_COLUMN = "_recovered"


class Catalog:
    """The tables of a database and, asked for, their columns."""

    def __init__(self, db: pellumo.EseDatabase) -> None:
        self._db = db
        self._tables = db.get_tables()
        self._present = set(self._tables)
        self._columns: dict[str, list[str]] = {}
        self._types: dict[str, dict[str, str]] = {}

    @property
    def tables(self) -> list[str]:
        """Table names in catalog order."""
        return list(self._tables)

    def has_table(self, name: str) -> bool:
        return name in self._present

    def columns(self, table: str) -> list[str]:
        """The table's column names ([] when there is no such table)."""
        if table not in self._present:
            return []
        self._describe(table)
        return list(self._columns[table])

    def column_types(self, table: str) -> dict[str, str]:
        """Column name -> the type's display name ("DateTime", "Long long", ...)."""
        if table not in self._present:
            return {}
        self._describe(table)
        return dict(self._types[table])

    def _describe(self, table: str) -> None:
        if table not in self._columns:
            schema = self._db.get_table_schema(table)
            self._columns[table] = [c["name"] for c in schema]
            self._types[table] = {c["name"]: c["type"] for c in schema}

    def has_columns(self, table: str, *names: str) -> bool:
        present = set(self.columns(table))
        return self.has_table(table) and all(n in present for n in names)


class Source:
    """One database file as kinds read it.

    `read` gives a table in engine values as a pyarrow.Table: text without
    trailing NULs, records flagged deleted left out and, with `recovered`,
    the records `EseDatabase.recover` finds appended (column `_recovered`
    true on them, false on live rows). Damage that stops a table early keeps
    the records before it and becomes a warning. With `empty` set (the
    schema pass) every read is an empty table of the same schema."""

    def __init__(self, path: str, db: pellumo.EseDatabase, catalog: Catalog, warnings: Warnings, *,
                 recovered: bool = False, empty: bool = False) -> None:
        self.path = path
        self.db = db
        self.catalog = catalog
        self.warnings = warnings
        self.recovered = recovered
        self.empty = empty

    def schema_only(self) -> Source:
        """The same file for the schema pass: every read empty, nothing warned."""
        return Source(self.path, self.db, self.catalog, Warnings(), recovered=self.recovered, empty=True)

    def read(self, table: str, columns: Sequence[str] | None = None, *,
             raw_columns: Sequence[str] = ()) -> Any:
        """The table's records (only `columns`, in that order, when given).
        raw_columns: columns read as stored (values="raw": DateTime as its
        64 bits, for FILETIMEs kept in DateTime columns) rather than as the
        engine reads them. ValueError for a table or column the file lacks."""
        wanted = list(columns) if columns is not None else None
        # The damage is taken from the stream rather than issued by it, so that
        # it is both in the artifact's warnings and issued (_read_stream).
        kwargs: dict[str, Any] = {"columns": wanted, "values": "engine", "warn": False}
        if raw_columns:
            kwargs["raw_columns"] = list(raw_columns)
        stream = self.db.arrow(table, **kwargs)
        if self.empty:
            result = pa.schema(stream).empty_table()
        else:
            result = self._read_stream(table, stream)
        result = strip_table_text(result)
        if not self.recovered:
            return result
        result = result.append_column(RECOVERED_COLUMN, pa.repeat(pa.scalar(False), result.num_rows))
        if self.empty:
            return result
        found = recovered_table(self.db, table, result.schema, set(raw_columns), self.warnings)
        if found.num_rows == 0:
            return result
        return pa.concat_tables([result, strip_table_text(found)])

    def _read_stream(self, table: str, stream: Any) -> Any:
        reader = pa.RecordBatchReader.from_stream(stream)
        batches = []
        while True:
            try:
                batches.append(reader.read_next_batch())
            except StopIteration:
                break
            except (OSError, pa.ArrowException) as error:
                rows = sum(b.num_rows for b in batches)
                self.warnings.add(f"{self.path}: table {table} stopped after {rows:,} records: {error}")
                break
        found = stream.damage_warning
        if found is not None:
            self.warnings.add_damage(found.path, found.table, dict(found.damage), str(found))
            # As the module issues it: once per table read, an exception
            # where the caller made DamageWarning an error.
            warnings.warn(found, stacklevel=2)
        return pa.Table.from_batches(batches, schema=reader.schema)


# --- recovered records -------------------------------------------------------------
#
# EseDatabase.recover(values="engine") gives records in the values the engine
# reading gives live rows (lists for multi-valued columns, datetime, UUID,
# signed numbers). They are few, so they are brought to the Arrow types of
# the live table here, value by value.


def _arrow_value(t: Any, value: Any) -> Any:
    """An engine value as pyarrow builds type `t` (its storage type for an
    extension type) from it."""
    if value is None:
        return None
    if isinstance(t, pa.BaseExtensionType) and "uuid" in str(t.extension_name):
        return value.bytes if isinstance(value, uuid.UUID) else None
    return value


def recovered_table(db: pellumo.EseDatabase, table: str, schema: Any, raw_columns: set[str],
                    warnings: Warnings) -> Any:
    """The recovered records of `table` with the columns of `schema` (whose
    last column is `_recovered`), in engine types; raw_columns as stored."""
    records = list(db.recover(table, values="engine", raw_columns=sorted(raw_columns)))
    data_fields = [f for f in schema if f.name != RECOVERED_COLUMN]
    arrays = []
    for field in data_fields:
        t = field.type
        if pa.types.is_list(t) or pa.types.is_large_list(t):
            lists: list[Any] = []
            undivided = 0
            for r in records:
                value = r.get(field.name)
                if value is not None and not isinstance(value, list):
                    # Multi-value bytes whose layout does not hold together.
                    undivided += 1
                    value = None
                lists.append(None if value is None else [_arrow_value(t.value_type, v) for v in value])
            if undivided:
                warnings.add(f"table {table}: the multi-valued column {field.name} of {undivided} recovered "
                             "records does not divide into its values; left null")
            try:
                arrays.append(pa.array(lists, type=t))
            except (pa.ArrowInvalid, pa.ArrowTypeError, OverflowError, TypeError):
                warnings.add(f"table {table}: values of column {field.name} in recovered records do not fit "
                             f"{t}; left null")
                arrays.append(pa.nulls(len(records), t))
            continue
        values = [_arrow_value(t, r.get(field.name)) for r in records]
        storage_type = t.storage_type if isinstance(t, pa.BaseExtensionType) else t
        try:
            array = pa.array(values, type=storage_type)
        except (pa.ArrowInvalid, pa.ArrowTypeError, OverflowError, TypeError):
            warnings.add(f"table {table}: values of column {field.name} in recovered records do not fit "
                         f"{t}; left null")
            array = pa.nulls(len(records), storage_type)
        if isinstance(t, pa.BaseExtensionType):
            array = pa.ExtensionArray.from_storage(t, array)
        arrays.append(array)
    arrays.append(pa.repeat(pa.scalar(True), len(records)))
    return pa.Table.from_arrays(arrays, schema=schema)


# --- kinds -------------------------------------------------------------------------


@dataclass(frozen=True)
class TimelineSpec:
    """Rows of one table in the timeline: one per record and time column
    holding a time. `summary` gives, for the whole built table, one line of
    text per row (a pyarrow string array). `source`: the file the table
    comes from when it is a companion's (default: the artifact's own)."""

    table: str
    time_columns: Sequence[str]
    summary: Callable[[Any], Any]
    source: str | None = None


class Kind(abc.ABC):
    """One kind of artifact; see the module's description for the contract."""

    name: ClassVar[str]
    looked_for: ClassVar[str]
    file_names: ClassVar[tuple[str, ...]] = ()
    companion_names: ClassVar[tuple[str, ...]] = ()
    priority: ClassVar[int] = 100

    def __init__(self, source: Source, companions: Sequence[Source] = ()) -> None:
        self.source = source
        self.companions = list(companions)
        self.warnings = source.warnings

    @classmethod
    @abc.abstractmethod
    def detect(cls, catalog: Catalog) -> bool:
        """Whether the database is of this kind, from its tables and columns."""

    @abc.abstractmethod
    def table_names(self) -> list[str]:
        """The tables offered, in listing order."""

    @abc.abstractmethod
    def build(self, name: str) -> Any:
        """The table `name` (one of table_names()) as a pyarrow.Table."""

    def timeline_specs(self) -> list[TimelineSpec]:
        """The time columns that go into the timeline; none by default."""
        return []

    def companion(self, test: Callable[[Catalog], bool]) -> Source | None:
        """The first companion whose catalog passes `test`."""
        return next((c for c in self.companions if test(c.catalog)), None)


def same_file(a: str, b: str) -> bool:
    try:
        return os.path.samefile(a, b)
    except OSError:
        return os.path.abspath(a) == os.path.abspath(b)
